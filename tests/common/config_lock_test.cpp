// The lock that guards config.ini: exclusive across processes, held across a
// save that renames a new file over the old one, released on scope exit. It
// lives in a folder of the running user that group and others cannot enter,
// so no other user can open the lock file at all: one who locks everything
// he can open in the folder of config.ini stalls nobody. A lock folder or
// lock file that is a link, of the wrong kind, another user's, or (the
// folder) open to others is refused at once, never followed, waited on or
// locked; and a holder who keeps the lock is waited for only so long.
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "lock_holder.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <string>
#include <thread>

namespace {

std::string lock_folder(const std::string& dir) { return dir + "/" + CONFIG_LOCK_FOLDER; }
std::string lock_file(const std::string& dir) { return config_lock_path(dir.c_str()); }

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
        EXPECT_EQ(lock.error(), 0);
        EXPECT_EQ(lock.path(), dir.path() + "/.lock/config.lock");
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
    ASSERT_EQ(lstat(lock_folder(dir.path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    ASSERT_EQ(lstat(lock_file(dir.path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
}

// Another user holds an exclusive flock on the folder and on every file in
// it that he can open (config.ini, Key.dat, the programs, and a lock file
// left at the folder's top by an earlier set-up, 0644 as a script's flock
// makes it): the lock is still taken, and he can open neither the lock
// folder nor the lock file.
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
    write_file(dir.file(".config.lock"), "");
    chmod(dir.file(".config.lock").c_str(), 0644);
    { ConfigLock first(dir.path().c_str()); }   // the lock folder and file exist, as after any save

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
            if (name == CONFIG_LOCK_FOLDER)
                lock_opened = 1;
            held += flock(fd, LOCK_EX | LOCK_NB) == 0;
        }
        if (open(lock_file(dir.path()).c_str(), O_RDONLY | O_NONBLOCK) >= 0)
            lock_opened = 1;
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
    EXPECT_EQ(msg[0], 5) << "the folder and its four files are locked by the other user";
    EXPECT_EQ(msg[1], 0) << "neither the lock folder nor the lock file opens for anybody else";
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

// A holder who keeps the lock is waited for only so long: the lock is then
// not held and says so; once the holder lets go, it is taken again.
TEST(ConfigLock, WaitsForAHolderOnlySoLong)
{
    TmpDir dir;
    LockHolder holder(dir.path());
    ASSERT_TRUE(holder.held());
    {
        ConfigLock lock(dir.path().c_str(), 50);
        EXPECT_FALSE(lock.locked());
        EXPECT_EQ(lock.error(), EWOULDBLOCK);
        EXPECT_EQ(lock.path(), lock_file(dir.path()));
    }
    {
        ConfigLock lock(dir.path().c_str(), 0);
        EXPECT_FALSE(lock.locked()) << "no wait at all";
        EXPECT_EQ(lock.error(), EWOULDBLOCK);
    }
    EXPECT_EQ(lock_free_in_child(dir.path()), 0) << "a failed try leaves the holder's lock alone";
    holder.release();
    ConfigLock lock(dir.path().c_str(), 0);
    EXPECT_TRUE(lock.locked());
}

// A waiter whose holder lets go within the wait gets the lock.
TEST(ConfigLock, TakenWhenTheHolderLetsGoWithinTheWait)
{
    TmpDir dir;
    LockHolder holder(dir.path());
    ASSERT_TRUE(holder.held());
    bool locked = false;
    std::thread waiter([&] {
        ConfigLock lock(dir.path().c_str(), 600000);
        locked = lock.locked();
    });
    holder.release();
    waiter.join();
    EXPECT_TRUE(locked);
}

TEST(ConfigLock, WrongLockFolderIsRefusedAtOnce)
{
    TmpDir outside;
    ASSERT_EQ(mkdir(outside.file("folder").c_str(), 0700), 0);
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> make;
        int error;
        bool as_root_only;
    } cases[] = {
        // A link is not a folder when it is not followed.
        {"link to a private folder",
         [&](const std::string& f) { ASSERT_EQ(symlink(outside.file("folder").c_str(), f.c_str()), 0); }, ENOTDIR,
         false},
        {"dangling link", [&](const std::string& f) { ASSERT_EQ(symlink(outside.file("new").c_str(), f.c_str()), 0); },
         ENOTDIR, false},
        {"regular file", [](const std::string& f) { write_file(f, ""); }, ENOTDIR, false},
        {"FIFO", [](const std::string& f) { ASSERT_EQ(mkfifo(f.c_str(), 0600), 0); }, ENOTDIR, false},
        // Who could enter it may hold a lock file in it open.
        {"folder open to others",
         [](const std::string& f) {
             ASSERT_EQ(mkdir(f.c_str(), 0755), 0);
             ASSERT_EQ(chmod(f.c_str(), 0755), 0);
         },
         EPERM, false},
        {"folder open to its group",
         [](const std::string& f) {
             ASSERT_EQ(mkdir(f.c_str(), 0700), 0);
             ASSERT_EQ(chmod(f.c_str(), 0710), 0);
         },
         EPERM, false},
        {"another user's folder",
         [](const std::string& f) {
             ASSERT_EQ(mkdir(f.c_str(), 0700), 0);
             ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
         },
         EPERM, true},
    };
    for (const Case& c : cases) {
        if (c.as_root_only && geteuid() != 0)
            continue;
        TmpDir dir;
        c.make(lock_folder(dir.path()));
        struct stat before;
        ASSERT_EQ(lstat(lock_folder(dir.path()).c_str(), &before), 0);
        ConfigLock lock(dir.path().c_str(), 600000);
        EXPECT_FALSE(lock.locked()) << c.name;
        EXPECT_EQ(lock.error(), c.error) << c.name;
        struct stat after;
        ASSERT_EQ(lstat(lock_folder(dir.path()).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name << ": left as it was";
        EXPECT_EQ(after.st_uid, before.st_uid) << c.name;
    }
    EXPECT_TRUE(dir_names(outside.file("folder")).empty()) << "nothing made through a link";
    EXPECT_FALSE(file_exists(outside.file("new"))) << "a dangling link is not followed";
}

// The programs' own folder that only lacks its owner's rights (made under a
// umask that took them) gets them back and serves.
TEST(ConfigLock, OwnFolderLackingOwnerRightsIsMended)
{
    TmpDir dir;
    ASSERT_EQ(mkdir(lock_folder(dir.path()).c_str(), 0700), 0);
    ASSERT_EQ(chmod(lock_folder(dir.path()).c_str(), 0500), 0);
    ConfigLock lock(dir.path().c_str());
    EXPECT_TRUE(lock.locked());
    struct stat st;
    ASSERT_EQ(lstat(lock_folder(dir.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(ConfigLock, LockFileThatIsNotOursIsRefusedAtOnce)
{
    TmpDir outside;
    write_file(outside.file("victim"), "victim");
    struct Case {
        const char* name;
        std::function<void(const std::string& lock)> make;
        int error;
        bool as_root_only;
    } cases[] = {
        {"link to a file", [&](const std::string& l) { ASSERT_EQ(symlink(outside.file("victim").c_str(), l.c_str()), 0); },
         ELOOP, false},
        {"dangling link", [&](const std::string& l) { ASSERT_EQ(symlink(outside.file("new").c_str(), l.c_str()), 0); },
         ELOOP, false},
        {"FIFO", [](const std::string& l) { ASSERT_EQ(mkfifo(l.c_str(), 0600), 0); }, EINVAL, false},
        {"folder", [](const std::string& l) { ASSERT_EQ(mkdir(l.c_str(), 0700), 0); }, EISDIR, false},
        {"another user's file",
         [](const std::string& l) {
             write_file(l, "");
             ASSERT_EQ(chown(l.c_str(), 65534, 65534), 0);
         },
         EPERM, true},
    };
    for (const Case& c : cases) {
        if (c.as_root_only && geteuid() != 0)
            continue;
        TmpDir dir;
        ASSERT_EQ(mkdir(lock_folder(dir.path()).c_str(), 0700), 0);
        c.make(lock_file(dir.path()));
        ConfigLock lock(dir.path().c_str(), 600000);
        EXPECT_FALSE(lock.locked()) << c.name;
        EXPECT_EQ(lock.error(), c.error) << c.name;
    }
    EXPECT_EQ(read_file(outside.file("victim")), "victim");
    EXPECT_FALSE(file_exists(outside.file("new"))) << "a dangling link is not followed";
}

// A lock file of ours that others could read, as a script's flock makes it
// under a umask of 022, serves as it is: nobody else can enter the folder.
TEST(ConfigLock, LockFileOfOursInThePrivateFolderServesWhateverItsMode)
{
    TmpDir dir;
    ASSERT_EQ(mkdir(lock_folder(dir.path()).c_str(), 0700), 0);
    write_file(lock_file(dir.path()), "");
    ASSERT_EQ(chmod(lock_file(dir.path()).c_str(), 0644), 0);
    ConfigLock lock(dir.path().c_str());
    EXPECT_TRUE(lock.locked());
    EXPECT_EQ(lock_free_in_child(dir.path()), 0);
}

TEST(ConfigLock, MissingFolderLeavesItUnlocked)
{
    TmpDir dir;
    ConfigLock lock((dir.path() + "/none").c_str());
    EXPECT_FALSE(lock.locked());
    EXPECT_EQ(lock.error(), ENOENT);
    EXPECT_FALSE(file_exists(dir.path() + "/none"));
    ConfigLock none(nullptr);
    EXPECT_FALSE(none.locked());
    EXPECT_NE(none.error(), 0);
}
