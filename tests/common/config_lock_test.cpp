// The lock that guards config.ini: exclusive across processes, held across a
// save that renames a new file over the old one, released on scope exit. It
// lives on a 0600 lock file of the running user, so no other user can take
// it: one who locks everything he can open in the folder stalls nobody. A
// lock file that is a link, a FIFO, a folder or another user's file is
// refused at once (never followed, waited on or locked).
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <string>

namespace {

std::string lock_file(const std::string& dir) { return dir + "/" + CONFIG_LOCK_NAME; }

// 1 when another process can take the lock at once.
int lock_free_in_child(const std::string& dir)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(lock_file(dir).c_str(), O_RDONLY);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ConfigLock, ExclusiveAcrossProcessesAndSaves)
{
    TmpDir dir;
    const std::string ini = dir.path() + "/config.ini";
    write_file(ini, "info=0\nResult=0\n");
    {
        ConfigLock lock(dir.path().c_str());
        ASSERT_TRUE(lock.locked());
        EXPECT_EQ(lock_free_in_child(dir.path()), 0);
        CConfigBox box;
        ASSERT_TRUE(box.load(ini));
        box.set_property("Result", "1");
        ASSERT_TRUE(box.save());
        // The rename replaced config.ini, not the lock file: still held.
        EXPECT_EQ(lock_free_in_child(dir.path()), 0);
    }
    EXPECT_EQ(lock_free_in_child(dir.path()), 1);
    EXPECT_EQ(read_file(ini), "info=0\nResult=1\n");
    struct stat st;
    ASSERT_EQ(lstat(lock_file(dir.path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
}

// Another user holds an exclusive flock on the folder and on every file in
// it that he can open (config.ini, Key.dat, the programs): the lock is still
// taken, and he cannot open the lock file at all.
TEST(ConfigLock, AnotherUserCannotStallIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    TmpDir dir;
    chmod(dir.path().c_str(), 0755);
    write_file(dir.file("config.ini"), "info=0\nResult=0\n");
    write_file(dir.file("Key.dat"), std::string(39, 'A'));
    write_file(dir.file("Tarnhold"), "program");
    chmod(dir.file("Tarnhold").c_str(), 0755);
    { ConfigLock first(dir.path().c_str()); }   // the lock file exists, as after any save

    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        close(done[1]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        char held = 0, lock_opened = 0;
        for (const std::string& name : dir_names(dir.path())) {
            int fd = open(dir.file(name).c_str(), O_RDONLY | O_NONBLOCK);
            if (fd < 0)
                continue;
            if (name == CONFIG_LOCK_NAME)
                lock_opened = 1;
            held += flock(fd, LOCK_EX | LOCK_NB) == 0;
        }
        int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        held += fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        char msg[2] = {held, lock_opened};
        if (write(ready[1], msg, 2) != 2)
            _exit(3);
        char b;
        (void)!read(done[0], &b, 1);   // holds everything until told to end
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char msg[2] = {0, 0};
    ASSERT_EQ(read(ready[0], msg, 2), 2);
    EXPECT_EQ(msg[0], 4) << "the folder and its three files are locked by the other user";
    EXPECT_EQ(msg[1], 0) << "the lock file opens for nobody else";
    {
        ConfigLock lock(dir.path().c_str());
        EXPECT_TRUE(lock.locked());
        CConfigBox box;
        ASSERT_TRUE(box.load(dir.file("config.ini")));
        box.set_property("Result", "1");
        EXPECT_TRUE(box.save());
    }
    close(done[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(ready[0]);
    EXPECT_EQ(read_file(dir.file("config.ini")), "info=0\nResult=1\n");
}

TEST(ConfigLock, LockFileThatIsNotOursIsRefusedAtOnce)
{
    TmpDir outside;
    write_file(outside.file("victim"), "victim");
    struct Case {
        const char* name;
        std::function<void(const std::string& lock)> make;
    } cases[] = {
        {"link to a file", [&](const std::string& l) { ASSERT_EQ(symlink(outside.file("victim").c_str(), l.c_str()), 0); }},
        {"dangling link", [&](const std::string& l) { ASSERT_EQ(symlink(outside.file("new").c_str(), l.c_str()), 0); }},
        {"FIFO", [](const std::string& l) { ASSERT_EQ(mkfifo(l.c_str(), 0600), 0); }},
        {"folder", [](const std::string& l) { ASSERT_EQ(mkdir(l.c_str(), 0700), 0); }},
        {"another user's file",
         [](const std::string& l) {
             write_file(l, "");
             if (geteuid() == 0) {
                 ASSERT_EQ(chown(l.c_str(), 65534, 65534), 0);
             }
         }},
    };
    for (const Case& c : cases) {
        if (std::string(c.name) == "another user's file" && geteuid() != 0)
            continue;
        TmpDir dir;
        c.make(lock_file(dir.path()));
        ConfigLock lock(dir.path().c_str());
        EXPECT_FALSE(lock.locked()) << c.name;
    }
    EXPECT_EQ(read_file(outside.file("victim")), "victim");
    EXPECT_FALSE(file_exists(outside.file("new"))) << "a dangling link is not followed";
}

TEST(ConfigLock, LockFileOpenToOthersIsMadePrivate)
{
    TmpDir dir;
    write_file(lock_file(dir.path()), "");
    ASSERT_EQ(chmod(lock_file(dir.path()).c_str(), 0666), 0);
    ConfigLock lock(dir.path().c_str());
    EXPECT_TRUE(lock.locked());
    struct stat st;
    ASSERT_EQ(stat(lock_file(dir.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(ConfigLock, MissingFolderLeavesItUnlocked)
{
    TmpDir dir;
    ConfigLock lock((dir.path() + "/none").c_str());
    EXPECT_FALSE(lock.locked());
    EXPECT_FALSE(file_exists(dir.path() + "/none"));
    ConfigLock none(nullptr);
    EXPECT_FALSE(none.locked());
}
