#include "common/file_operations.h"

#include "common/log.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Each test logs into its own folder, so the messages can be checked.
class FileOps : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_path_ = dir_.file("ops.log");
        set_log_file_name(log_path_.c_str());
        set_log_max_row(100000);
        log_set_level(0);
        ASSERT_EQ(log_init(), 0);
    }
    void TearDown() override { log_close(); }

    // The log without its "LOG START" line.
    std::string logged() const
    {
        std::string s = read_file(log_path_);
        size_t nl = s.find('\n');
        return nl == std::string::npos ? "" : s.substr(nl + 1);
    }

    TmpDir dir_;
    std::string log_path_;
};

} // namespace

TEST_F(FileOps, ReadFileToBuff)
{
    std::string path = dir_.file("data");
    write_file(path, "0123456789");
    char buf[16] = {};
    EXPECT_EQ(read_file_to_buff(path.c_str(), 4, buf), 4);
    EXPECT_STREQ(buf, "0123");
    EXPECT_EQ(read_file_to_buff(path.c_str(), sizeof buf, buf), 10);
    EXPECT_EQ(logged(), "");

    write_file(dir_.file("empty"), "");
    EXPECT_EQ(read_file_to_buff(dir_.file("empty").c_str(), sizeof buf, buf), 0);
    EXPECT_EQ(logged(), "");

    std::string missing = dir_.file("missing");
    EXPECT_EQ(read_file_to_buff(missing.c_str(), sizeof buf, buf), -1);
    std::string log = logged();
    EXPECT_EQ(log.rfind("[ERROR: ", 0), 0u) << log;
    EXPECT_NE(log.find("read_file_to_buff"), std::string::npos) << log;
    EXPECT_NE(log.find("] Can't open " + missing + ".\n"), std::string::npos) << log;

    // A folder opens for reading but cannot be read: a failure, not empty.
    EXPECT_EQ(read_file_to_buff(dir_.path().c_str(), sizeof buf, buf), -1);
    EXPECT_NE(logged().find("Read file err:21"), std::string::npos) << logged();
}

TEST_F(FileOps, OffsetReadsAndWrites)
{
    std::string path = dir_.file("data");
    write_file(path, "abcdefgh");
    FILE* fp = std::fopen(path.c_str(), "r+");
    ASSERT_NE(fp, nullptr);
    char buf[8] = {};
    unsigned long n = 99;

    EXPECT_EQ(read_Offset_file_to_buff(fp, 2, 3, buf, false, n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buf, 3), "cde");
    // Ignoring the offset reads on from the current position; a short read
    // still succeeds.
    EXPECT_EQ(read_Offset_file_to_buff(fp, 0, 8, buf, true, n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buf, 3), "fgh");
    EXPECT_EQ(logged(), "");

    // At the end, and with len 0, nothing is read.
    EXPECT_EQ(read_Offset_file_to_buff(fp, 8, 4, buf, false, n), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(logged().find("] Read file err:"), std::string::npos);
    EXPECT_EQ(read_Offset_file_to_buff(fp, 0, 0, buf, false, n), 1);

    EXPECT_EQ(write_Offset_file_to_buff(fp, 1, 2, "XY", false, n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(write_Offset_file_to_buff(fp, -5, 2, "XY", false, n), 1);
    EXPECT_NE(logged().find("] fseek offset -5 err:22, "), std::string::npos) << logged();
    EXPECT_EQ(read_Offset_file_to_buff(fp, -1, 2, buf, false, n), 1);

    EXPECT_EQ(set_Offset_file(fp, -2, MO_FILE_FILE_END), 0);
    EXPECT_EQ(std::ftell(fp), 6);
    EXPECT_EQ(set_Offset_file(fp, -1, MO_FILE_CURRENT), 0);
    EXPECT_EQ(std::ftell(fp), 5);
    EXPECT_EQ(set_Offset_file(fp, 1, MO_FILE_BEGIN), 0);
    EXPECT_EQ(std::ftell(fp), 1);
    EXPECT_EQ(set_Offset_file(fp, -1, MO_FILE_BEGIN), 1);
    std::fclose(fp);
    EXPECT_EQ(read_file(path), "aXYdefgh");

    EXPECT_EQ(read_Offset_file_to_buff(nullptr, 0, 1, buf, false, n), -1);
    EXPECT_EQ(write_Offset_file_to_buff(nullptr, 0, 1, "x", false, n), -1);
    EXPECT_EQ(set_Offset_file(nullptr, 0, MO_FILE_BEGIN), -1);
    EXPECT_NE(logged().find("] fp is NULL.\n"), std::string::npos);
    // Each message names the operation that failed.
    for (const char* op : {"read_Offset_file_to_buff", "write_Offset_file_to_buff", "set_Offset_file"})
        EXPECT_NE(logged().find(std::string(" ") + op + " "), std::string::npos) << op;
}

TEST_F(FileOps, CreateDir)
{
    std::string sub = dir_.file("sub");
    EXPECT_TRUE(create_dir(sub.c_str(), 0750));
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // Existing paths (also a plain file) are accepted without mkdir.
    EXPECT_TRUE(create_dir(sub.c_str(), 0750));
    write_file(dir_.file("plain"), "");
    EXPECT_TRUE(create_dir(dir_.file("plain").c_str(), 0750));
    EXPECT_EQ(logged(), "");

    std::string deep = dir_.file("no/such");
    EXPECT_FALSE(create_dir(deep.c_str(), 0750));
    EXPECT_NE(logged().find("create dir " + deep + " err,return code = -1.\n"), std::string::npos);
    EXPECT_NE(logged().find("create dir " + deep + " err:2, "), std::string::npos) << logged();
    EXPECT_FALSE(create_dir(nullptr, 0750));
}

struct OpenCase {
    const char* name;
    emDESIRED_ACCESS access;
    emDESIRED_CREATION creation;
    bool temp;
    bool exists;
    int nret;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenFile : public FileOps, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFile, ByAccessAndCreation)
{
    const OpenCase& c = GetParam();
    std::string path = dir_.file("f");
    if (c.exists)
        write_file(path, "old");
    int nret = -7;
    FILE* fp = open_file(path.c_str(), c.access, c.creation, c.temp, nret);
    EXPECT_EQ(nret, c.nret);
    EXPECT_EQ(fp != nullptr, c.nret == 0);
    if (fp != nullptr) {
        std::fputs("new", fp);
        std::fclose(fp);
    }
    // Refused: the file is as before. "a+" appends; "r+" and "w+" write from
    // the start ("r+" over "old", "w+" after emptying it).
    std::string before = c.exists ? "old" : "";
    std::string expected = c.nret != 0                       ? before
                           : c.access == RE_FILE_APPEND_DATA ? before + "new"
                                                             : "new";
    EXPECT_EQ(file_exists(path) ? read_file(path) : "", expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenFile,
    ::testing::Values(
        OpenCase{"existing_normal", RE_FILE_NORMAL_DATA, RE_OPEN_EXISTING, false, true, 0},
        OpenCase{"existing_append", RE_FILE_APPEND_DATA, RE_OPEN_EXISTING, false, true, 0},
        OpenCase{"existing_missing", RE_FILE_NORMAL_DATA, RE_OPEN_EXISTING, false, false, 2},
        OpenCase{"temp_normal_truncates", RE_FILE_NORMAL_DATA, RE_CREATE_NEW_SERVER_RANDOM, true,
                 true, 0},
        OpenCase{"temp_append", RE_FILE_APPEND_DATA, RE_CREATE_NEW_SERVER_RANDOM, true, true, 0},
        OpenCase{"temp_creates", RE_FILE_NORMAL_DATA, RE_CREATE_NEW_SERVER_RANDOM, true, false, 0},
        OpenCase{"random_without_temp", RE_FILE_NORMAL_DATA, RE_CREATE_NEW_SERVER_RANDOM, false,
                 false, 1},
        OpenCase{"create_always", RE_FILE_NORMAL_DATA, RE_CREATE_ALWAYS, false, false, 1},
        OpenCase{"create_new", RE_FILE_NORMAL_DATA, RE_CREATE_NEW, false, false, 1},
        OpenCase{"open_always", RE_FILE_NORMAL_DATA, RE_OPEN_ALWAYS, false, true, 1},
        OpenCase{"truncate_existing", RE_FILE_NORMAL_DATA, RE_TRUNCATE_EXISTING, false, true, 1}),
    CaseName());

TEST_F(FileOps, OpenFileFailuresAreLogged)
{
    int nret = -7;
    // A folder exists but cannot be opened for update.
    EXPECT_EQ(open_file(dir_.path().c_str(), RE_FILE_NORMAL_DATA, RE_OPEN_EXISTING, false, nret),
              nullptr);
    EXPECT_EQ(nret, 3);
    EXPECT_NE(logged().find("] Can't open " + dir_.path() + "  err:21, "), std::string::npos)
        << logged();
    std::string missing = dir_.file("no/such");
    EXPECT_EQ(open_file(missing.c_str(), RE_FILE_NORMAL_DATA, RE_CREATE_NEW_SERVER_RANDOM, true, nret),
              nullptr);
    EXPECT_EQ(nret, 4);
    EXPECT_NE(logged().find("] Can't open " + missing + "  err:2, "), std::string::npos);
}

TEST(ReplaceFile, WritesWholeFileAndKeepsMode)
{
    TmpDir dir;
    std::string path = dir.file("f");
    ASSERT_TRUE(replace_file_contents(path.c_str(), "abc", 3, 0600));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(path), "abc");

    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    ASSERT_TRUE(replace_file_contents(path.c_str(), "", 0));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(read_file(path), "");

    // Never over a folder, never into a missing folder.
    EXPECT_FALSE(replace_file_contents(dir.path().c_str(), "x", 1));
    EXPECT_FALSE(replace_file_contents(dir.file("no/f").c_str(), "x", 1));
    EXPECT_FALSE(replace_file_contents(nullptr, "x", 1));
}
