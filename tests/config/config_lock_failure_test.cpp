// The commands that change config.ini (info; import, update and path, which
// record "Result" 11) when the lock that guards it cannot be taken: they
// neither read nor save it, say so on standard error and end with status 1,
// never saving unlocked. An image is installed all the same. The lock back
// in order, they work as before.
#include "config_tool_fixture.h"

#include "common/config_lock.h"
#include "common/lock_holder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

using namespace config_text;

namespace {

struct Outcome {
    int rc;
    std::string out, err;
};

class LockFailure : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        folder = mavo + "/" + CONFIG_LOCK_FOLDER;
        lock_file = config_lock_path(mavo.c_str());
    }

    Outcome run_all(std::vector<std::string> words)
    {
        words.insert(words.begin(), "config");
        std::vector<char*> argv;
        for (std::string& s : words)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Outcome o;
        o.rc = config_main(static_cast<int>(words.size()), argv.data(), env);
        std::fflush(stdout);
        std::fflush(stderr);
        o.err = testing::internal::GetCapturedStderr();
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }

    std::string message(int error)
    {
        char text[512];
        std::snprintf(text, sizeof text, kConfigNotLocked, lock_file.c_str(), std::strerror(error));
        return text;
    }

    std::string folder, lock_file;
};

struct Refusal {
    const char* name;
    std::function<void(const std::string& folder, const std::string& lock_file, const std::string& elsewhere)> make;
    int error;
};

const Refusal kRefusals[] = {
    {"lock file a link to a regular file elsewhere",
     [](const std::string& f, const std::string& l, const std::string& e) {
         write_file(e, "elsewhere");
         ASSERT_EQ(mkdir(f.c_str(), 0700), 0);
         ASSERT_EQ(symlink(e.c_str(), l.c_str()), 0);
     },
     ELOOP},
    {"lock folder open to others",
     [](const std::string& f, const std::string&, const std::string&) {
         ASSERT_EQ(mkdir(f.c_str(), 0755), 0);
         ASSERT_EQ(chmod(f.c_str(), 0755), 0);
     },
     EPERM},
    {"lock folder a regular file",
     [](const std::string& f, const std::string&, const std::string&) { write_file(f, ""); }, ENOTDIR},
};

TEST_F(LockFailure, InfoSavesNothingAndSaysSo)
{
    for (const Refusal& c : kRefusals) {
        SCOPED_TRACE(c.name);
        write_file(env.config_file, "info=0\nResult=1\n");
        c.make(folder, lock_file, tmp.file("elsewhere"));
        Outcome o = run_all({"info", "Alice", "Sales"});
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, message(c.error));
        EXPECT_EQ(config_text(), "info=0\nResult=1\n");
        if (c.error == ELOOP) {
            EXPECT_EQ(read_file(tmp.file("elsewhere")), "elsewhere");
        }
        std::filesystem::remove_all(folder);
        o = run_all({"info", "Alice", "Sales"});
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(config_text(), "info=Alice(Sales)\nResult=1\n");
        std::filesystem::remove_all(folder);
    }
}

TEST_F(LockFailure, ImportInstallsButRecordsNothingAndSaysSo)
{
    const std::string src = tmp.file("host.vkd");
    write_file(src, fake_image("me"));
    for (const Refusal& c : kRefusals) {
        SCOPED_TRACE(c.name);
        write_file(env.config_file, "info=Bob(IT)\nResult=1\n");
        c.make(folder, lock_file, tmp.file("elsewhere"));
        Outcome o = run_all({"import", src});
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, message(c.error));
        expect_installed(env.image_path(), fake_image("me"));
        EXPECT_EQ(config_text(), "info=Bob(IT)\nResult=1\n");
        std::filesystem::remove_all(folder);
        unlink(env.image_path().c_str());
    }
}

TEST_F(LockFailure, PathInstallsAndKeepsTheIdentifierButRecordsNothing)
{
    const std::string cid = make_cid(2, "\x01\x02", 'q');
    write_file(env.key_dat, cid);
    std::string ident = cid;
    ident[1] = '\x55';
    const std::string tree = tmp.file("tree");
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    write_file(tree + "/host.vkd", fake_image(ident));
    write_file(env.config_file, "info=Bob(IT)\nResult=1\n");
    write_file(folder, "");
    Outcome o = run_all({"path", tree});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, message(ENOTDIR));
    expect_installed(env.image_path(), fake_image(ident));
    EXPECT_EQ(read_file(env.key_dat), ident);
    EXPECT_EQ(config_text(), "info=Bob(IT)\nResult=1\n");
}

// A holder who keeps the lock is waited for only so long.
TEST_F(LockFailure, InfoGivesUpOnAHolderWhoKeepsTheLock)
{
    write_file(env.config_file, "info=0\n");
    LockHolder holder(mavo);
    ASSERT_TRUE(holder.held());
    Outcome o = run_all({"info", "Alice", "Sales"});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, message(EWOULDBLOCK));
    EXPECT_EQ(config_text(), "info=0\n");
    holder.release();
    o = run_all({"info", "Alice", "Sales"});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(config_text(), "info=Alice(Sales)\n");
}

} // namespace
