#include "common/config_info.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct SettingsCase {
    const char* name;
    std::string file;
    int rc;
    std::string version;
    unsigned int log_level;
    unsigned int max_row_num;
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

const std::string kPlain = "Version=1.0\nLogLevel = 2\nMaxRowNum=1000\n";

} // namespace

class SettingsReader : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsReader, ReadsKeyWordsAsSubstrings)
{
    const SettingsCase& c = GetParam();
    TmpDir dir;
    write_file(dir.file("config.ini"), c.file);
    CONFIG_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(read_config_info(dir.file("config.ini").c_str(), &info), c.rc);
    EXPECT_EQ(std::string(info.version, strnlen(info.version, sizeof info.version)), c.version);
    EXPECT_EQ(info.log_level, c.log_level);
    EXPECT_EQ(info.max_row_num, c.max_row_num);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsReader,
    ::testing::Values(
        SettingsCase{"plain", kPlain, 0, "1.0", 2, 1000},
        SettingsCase{"semicolon_ends_value",
                     "Version=2.1 ;beta\nLogLevel=3;debug\nMaxRowNum=\t 50;rows\n", 0, "2.1 ", 3, 50},
        SettingsCase{"empty_value", "Version=1\nLogLevel=\nMaxRowNum=7\n", 0, "1", 0, 7},
        // The comment line holds the key word; its "=" is on the next line.
        SettingsCase{"key_word_in_comment",
                     "Version=1\nLogLevel=1\n# MaxRowNum is the row limit\nMaxRowNum=50\n", 0, "1",
                     1, 50},
        SettingsCase{"longer_word_first", "MyVersion=9\nVersion=1.0\nLogLevel=1\nMaxRowNum=5\n",
                     0, "9", 1, 5},
        // "MaxRowNum" first occurs inside the LogLevel line's comment.
        SettingsCase{"key_word_inside_value",
                     "Version=1\nLogLevel=4;see MaxRowNum\nMaxRowNum=60\n", 0, "1", 4, 60},
        SettingsCase{"last_line_without_line_end", "Version=1\nLogLevel=2\nMaxRowNum=50", 0, "1",
                     2, 0},
        SettingsCase{"carriage_return_kept", "Version=1.0\r\nLogLevel=2\r\nMaxRowNum=9\r\n", 0,
                     "1.0\r", 2, 9},
        SettingsCase{"version_cut_to_30", "Version=" + std::string(40, 'v') + "\nLogLevel=1\nMaxRowNum=2\n",
                     0, std::string(30, 'v'), 1, 2},
        // 200 characters are cut to 127 before the conversion: the digits
        // after position 127 are never seen.
        SettingsCase{"value_cut_to_127",
                     "Version=1\nLogLevel=1\nMaxRowNum=" + std::string(126, '0') + "7" +
                         std::string(73, '9') + "\n",
                     0, "1", 1, 7},
        SettingsCase{"non_numeric", "Version=x\nLogLevel=high\nMaxRowNum=many\n", 0, "x", 0, 0},
        SettingsCase{"key_word_missing", "Version=2\nLogLevel=1\n", -1, "2", 1, 0},
        SettingsCase{"equals_missing", "Version=2\nLogLevel=1\nMaxRowNum 5\n", -1, "2", 1, 0},
        SettingsCase{"first_key_word_missing", "LogLevel=1\nMaxRowNum=5\n", -1, "", 0, 0},
        // Only the first 10239 bytes are read.
        SettingsCase{"beyond_read_size",
                     "Version=1\nLogLevel=1\n" + std::string(10239 - 21, '#') + "\nMaxRowNum=5\n",
                     -1, "1", 1, 0},
        SettingsCase{"just_inside_read_size",
                     "Version=1\nLogLevel=1\n" + std::string(10239 - 21 - 12, '#') + "MaxRowNum=5\n",
                     0, "1", 1, 5}),
    CaseName());

TEST(SettingsReader, MissingOrEmptyFileLeavesRecordUntouched)
{
    TmpDir dir;
    write_file(dir.file("empty.ini"), "");
    for (const std::string& path : {dir.file("empty.ini"), dir.file("missing.ini"), dir.path()}) {
        CONFIG_INFO info;
        std::memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(read_config_info(path.c_str(), &info), -1) << path;
        EXPECT_EQ(info.log_level, 0x5A5A5A5Au) << path;
        EXPECT_EQ(static_cast<unsigned char>(info.version[31]), 0x5Au) << path;
    }
}

TEST(SettingsReader, PrintShowsTheThreeFields)
{
    CONFIG_INFO info{};
    std::strcpy(info.version, "1.2");
    info.log_level = 3;
    info.max_row_num = 500;
    testing::internal::CaptureStdout();
    print_config_info(info);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] config_info.version: 1.2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] config_info.LogLevel: 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] config_info.max_row_num: 500\n"), std::string::npos) << out;
}
