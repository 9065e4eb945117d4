// The folder lock that guards config.ini: exclusive across processes, held
// across a save that renames a new file over the old one, released on scope
// exit; a missing folder leaves the object unlocked.
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "test_util.h"

#include <sys/file.h>
#include <fcntl.h>

namespace {

// 1 when another process can take the folder's lock at once.
int lock_free_in_child(const std::string& dir)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
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
        // The rename replaced the file, not the folder: still held.
        EXPECT_EQ(lock_free_in_child(dir.path()), 0);
    }
    EXPECT_EQ(lock_free_in_child(dir.path()), 1);
    EXPECT_EQ(read_file(ini), "info=0\nResult=1\n");
}

TEST(ConfigLock, MissingFolderLeavesItUnlocked)
{
    TmpDir dir;
    ConfigLock lock((dir.path() + "/none").c_str());
    EXPECT_FALSE(lock.locked());
    ConfigLock none(nullptr);
    EXPECT_FALSE(none.locked());
}
