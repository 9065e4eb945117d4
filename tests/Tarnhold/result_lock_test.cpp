// A "Result" write whose configuration lock cannot be taken saves nothing
// (a save without the lock could undo the tool's "info"), says so in the
// log at level 2 and returns false; the write after it, with the lock back,
// saves as usual.
#include "Tarnhold/result.h"
#include "Tarnhold/startup.h"
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "common/lock_holder.h"
#include "common/log.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

namespace {

class ResultLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("config.ini");
        log = outside.file("log");
        ASSERT_EQ(set_log_file_name(log.c_str()), 0);
        log_set_level(0);
        set_log_max_row(100000);
        ASSERT_EQ(log_init(), 0);
        g_bLoadLog = true;
    }
    void TearDown() override
    {
        log_close();
        g_bLoadLog = false;
    }

    TmpDir dir, outside;
    std::string ini, log;
};


TEST_F(ResultLock, LockNotTakenSavesNothingAndIsLogged)
{
    const std::string folder = dir.file(CONFIG_LOCK_FOLDER);
    const std::string victim = outside.file("victim");
    const struct {
        const char* name;
        std::function<void()> make, undo;
        int error;
    } cases[] = {
        {"lock file a link to a regular file elsewhere",
         [&] {
             write_file(victim, "victim");
             ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(symlink(victim.c_str(), config_lock_path(dir.path().c_str()).c_str()), 0);
         },
         [&] {
             EXPECT_EQ(read_file(victim), "victim");
             unlink(config_lock_path(dir.path().c_str()).c_str());
             rmdir(folder.c_str());
         },
         ELOOP},
        {"lock folder open to others",
         [&] {
             ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
         },
         [&] { rmdir(folder.c_str()); }, EPERM},
        {"lock folder a file", [&] { write_file(folder, ""); }, [&] { unlink(folder.c_str()); }, ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(ini, "info=Li Lei\nResult=0\n");
        c.make();
        CConfigBox box;
        EXPECT_FALSE(WriteResult(box, 3, ini.c_str(), dir.path().c_str()));
        EXPECT_EQ(read_file(ini), "info=Li Lei\nResult=0\n");
        const std::string line = std::string("] [result.cpp WriteResult ");
        const std::string text = "Can't lock " + config_lock_path(dir.path().c_str()) + " err:" +
                                 std::to_string(c.error) + ", " + std::strerror(c.error) + ".\n";
        const std::string logged = read_file(log);
        EXPECT_NE(logged.find("[ERROR: "), std::string::npos) << logged;
        EXPECT_NE(logged.find(line), std::string::npos) << logged;
        EXPECT_NE(logged.find(text), std::string::npos) << logged;
        c.undo();
        EXPECT_TRUE(WriteResult(box, 2, ini.c_str(), dir.path().c_str()));
        EXPECT_EQ(read_file(ini), "info=Li Lei\nResult=2\n");
        std::filesystem::remove_all(folder);
    }
}

// Another holder who keeps the lock: the write gives up after the wait.
TEST_F(ResultLock, HolderWhoKeepsTheLockIsWaitedForOnlySoLong)
{
    write_file(ini, "info=Li Lei\nResult=0\n");
    {
        LockHolder holder(dir.path());
        ASSERT_TRUE(holder.held());
        CConfigBox box;
        EXPECT_FALSE(WriteResult(box, 1, ini.c_str(), dir.path().c_str()));
        EXPECT_EQ(read_file(ini), "info=Li Lei\nResult=0\n");
        EXPECT_NE(read_file(log).find("err:" + std::to_string(EWOULDBLOCK) + ", "), std::string::npos)
            << read_file(log);
    }
    CConfigBox box;
    EXPECT_TRUE(WriteResult(box, 1, ini.c_str(), dir.path().c_str()));
    EXPECT_EQ(read_file(ini), "info=Li Lei\nResult=1\n");
}

// Without a log in use nothing is written anywhere, and the write still
// fails.
TEST_F(ResultLock, WithoutTheLogTheFailureIsOnlyReturned)
{
    g_bLoadLog = false;
    write_file(ini, "Result=0\n");
    write_file(dir.file(CONFIG_LOCK_FOLDER), "");
    const std::string before = read_file(log);
    CConfigBox box;
    EXPECT_FALSE(WriteResult(box, 1, ini.c_str(), dir.path().c_str()));
    EXPECT_EQ(read_file(log), before);
    EXPECT_EQ(read_file(ini), "Result=0\n");
}

} // namespace
