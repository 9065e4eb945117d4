#include "common/ConfigBox.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

struct RoundTrip {
    const char* name;
    std::string input;
    std::function<void(CConfigBox&)> edit;
    std::string expected;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

void set_result_11(CConfigBox& b) { b.set_property_as_int("Result", 11); }

} // namespace

class ConfigBoxRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ConfigBoxRoundTrip, SaveRewritesOnlyTheEditedLines)
{
    const RoundTrip& c = GetParam();
    TmpDir dir;
    std::string path = dir.file("config.ini");
    write_file(path, c.input);

    CConfigBox box;
    ASSERT_TRUE(box.load(path));
    ASSERT_TRUE(box.is_open());
    c.edit(box);
    ASSERT_TRUE(box.save());
    EXPECT_EQ(read_file(path), c.expected);
    // No temporary file is left next to it.
    EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"config.ini"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigBoxRoundTrip,
    ::testing::Values(
        RoundTrip{"comments_blank_lines_kept", "# settings\n\n  \nResult = 3 \n; note\nother\n",
                  set_result_11, "# settings\n\n  \nResult=11\n; note\nother\n"},
        RoundTrip{"crlf_lines_kept_replaced_line_loses_cr", "a=1\r\nResult=2\r\nb = 3\r\n",
                  set_result_11, "a=1\r\nResult=11\nb = 3\r\n"},
        RoundTrip{"duplicate_key_first_line_only", "Result=1\nResult=2\n", set_result_11,
                  "Result=11\nResult=2\n"},
        RoundTrip{"append_after_final_line_end", "a=1\n", set_result_11, "a=1\n\nResult=11"},
        RoundTrip{"append_without_final_line_end", "a=1", set_result_11, "a=1\nResult=11"},
        RoundTrip{"final_line_end_kept", "info=desk 4\nResult=0\n", set_result_11,
                  "info=desk 4\nResult=11\n"},
        RoundTrip{"no_final_line_end_kept", "Result=0", set_result_11, "Result=11"},
        RoundTrip{"leading_empty_lines_dropped", "\n\na=1\n\nb=2\n", set_result_11,
                  "a=1\n\nb=2\n\nResult=11"},
        RoundTrip{"empty_file", "", set_result_11, "Result=11"},
        RoundTrip{"commented_key_not_replaced", "#Result=1\nResult\n", set_result_11,
                  "#Result=1\nResult\n\nResult=11"},
        RoundTrip{"long_line_kept", std::string(5000, 'x') + "\nResult=1\n" + std::string(3000, 'y'),
                  set_result_11,
                  std::string(5000, 'x') + "\nResult=11\n" + std::string(3000, 'y')},
        RoundTrip{"bytes_pass_through", std::string("k=\xe4\xbd\xa0\x01\n", 7) + "Result=1\n",
                  set_result_11, std::string("k=\xe4\xbd\xa0\x01\n", 7) + "Result=11\n"},
        RoundTrip{"line_breaks_removed_from_value", "info=old\nResult=1\n",
                  [](CConfigBox& b) { b.set_property("info", "desk\r\n 4\n"); },
                  "info=desk 4\nResult=1\n"},
        RoundTrip{"set_properties_removes_all_and_appends", "Result=1\nx=2\n Result =2",
                  [](CConfigBox& b) { b.set_properties("Result", {"7", "8"}); },
                  "x=2\nResult=7\nResult=8"},
        RoundTrip{"set_properties_empty_removes", "a=1\nResult=1\nb=2\n",
                  [](CConfigBox& b) { b.set_properties("Result", {}); }, "a=1\nb=2\n"},
        RoundTrip{"set_properties_removes_comment_key", "#x=1\nx=2\n",
                  [](CConfigBox& b) { b.set_properties("#x", {"3"}); }, "x=2\n\n#x=3"},
        RoundTrip{"double_fixed_16_digits", "v=1\n",
                  [](CConfigBox& b) { b.set_property_as_double("v", 0.5); },
                  "v=0.5000000000000000\n"},
        RoundTrip{"negative_int", "v=1\n", [](CConfigBox& b) { b.set_property_as_int("v", -5); },
                  "v=-5\n"}),
    CaseName());

struct LookUp {
    const char* name;
    std::string file;
    std::string key;
    std::string expected;
};

void PrintTo(const LookUp& c, std::ostream* os) { *os << c.name; }

class ConfigBoxLookUp : public ::testing::TestWithParam<LookUp> {};

TEST_P(ConfigBoxLookUp, GetProperty)
{
    const LookUp& c = GetParam();
    TmpDir dir;
    write_file(dir.file("c.ini"), c.file);
    CConfigBox box;
    ASSERT_TRUE(box.load(dir.file("c.ini")));
    EXPECT_EQ(box.get_property(c.key, "DEFAULT"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigBoxLookUp,
    ::testing::Values(LookUp{"blanks_trimmed", " Result = 1 \n", "Result", "1"},
                      LookUp{"tabs_and_cr_trimmed", "\tResult\t=\t1\t\r\n", "Result", "1"},
                      LookUp{"empty_value", "Result=\n", "Result", ""},
                      LookUp{"value_keeps_equals", "a=b=c\n", "a", "b=c"},
                      LookUp{"comment_ignored", "#Result=1\n", "Result", "DEFAULT"},
                      LookUp{"no_equals_ignored", "Result\n", "Result", "DEFAULT"},
                      LookUp{"empty_key", " =x\n", "", "x"},
                      LookUp{"key_argument_not_trimmed", "Result=1\n", "Result ", "DEFAULT"},
                      LookUp{"case_sensitive", "result=1\n", "Result", "DEFAULT"},
                      LookUp{"first_line_wins", "Result=1\nResult=2\n", "Result", "1"},
                      LookUp{"other_blanks_not_trimmed", "\vResult=1\n", "Result", "DEFAULT"},
                      LookUp{"line_of_5000_chars", "k=" + std::string(5000, 'v') + "\n", "k",
                             std::string(5000, 'v')}),
    CaseName());

TEST(ConfigBox, NumericAndListLookUps)
{
    TmpDir dir;
    write_file(dir.file("c.ini"), "e=\nx=abc\np=12x\nd=2.5\n"
                                  "net.a=1\nnet.b = 2\nnet.a=3\n#net.c=4\nother=5\n");
    CConfigBox box;
    ASSERT_TRUE(box.load(dir.file("c.ini")));
    EXPECT_EQ(box.get_property_as_int("e", 42), 42);
    EXPECT_EQ(box.get_property_as_int("missing", 42), 42);
    EXPECT_EQ(box.get_property_as_int("x", 42), 0);
    EXPECT_EQ(box.get_property_as_int("p", 42), 12);
    EXPECT_DOUBLE_EQ(box.get_property_as_double("d", 1.0), 2.5);
    EXPECT_DOUBLE_EQ(box.get_property_as_double("e", 1.0), 1.0);

    std::vector<std::string> values{"kept"};
    box.get_properties("net.a", values);
    EXPECT_EQ(values, (std::vector<std::string>{"kept", "1", "3"}));
    values.clear();
    box.get_properties_with_prefix("net.", values);
    EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "3"}));
    values.clear();
    box.get_properties_with_prefix("", values);
    EXPECT_EQ(values.size(), 8u);

    std::map<std::string, std::string> m{{"z", "kept"}};
    box.get_properties_map_with_prefix("net.", m);
    EXPECT_EQ(m, (std::map<std::string, std::string>{{"a", "3"}, {"b", "2"}, {"z", "kept"}}));
}

TEST(ConfigBox, KeysThatWouldBreakTheFileAreRefused)
{
    TmpDir dir;
    std::string path = dir.file("c.ini");
    write_file(path, "a=1\n");
    CConfigBox box;
    ASSERT_TRUE(box.load(path));
    for (const char* key : {"a=b", "a\n", "x\ry"}) {
        EXPECT_FALSE(box.set_property(key, "1")) << key;
        EXPECT_FALSE(box.set_properties(key, {"1"})) << key;
    }
    EXPECT_TRUE(box.save()); // nothing modified: nothing written
    EXPECT_EQ(read_file(path), "a=1\n");
}

TEST(ConfigBox, LoadLeavesLocaleC)
{
    std::string before = std::setlocale(LC_ALL, nullptr);
    const char* other = std::setlocale(LC_ALL, "C.UTF-8");
    if (other == nullptr)
        other = std::setlocale(LC_ALL, "POSIX");
    TmpDir dir;
    write_file(dir.file("c.ini"), "a=1\n");
    CConfigBox box;
    box.load(dir.file("c.ini"));
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
    std::setlocale(LC_ALL, "C.UTF-8");
    box.load(dir.file("missing.ini"));
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
    std::setlocale(LC_ALL, before.c_str());
}

TEST(ConfigBox, FailedLoadClosesAndNeverSaves)
{
    TmpDir dir;
    std::string path = dir.file("c.ini");
    write_file(path, "Result=1\n");
    CConfigBox box;
    EXPECT_FALSE(box.load(dir.file("missing.ini")));
    EXPECT_FALSE(box.is_open());
    EXPECT_EQ(box.get_property("Result", "none"), "none");

    ASSERT_TRUE(box.load(path));
    // A missing file after a good load keeps the lines but closes the object.
    EXPECT_FALSE(box.load(dir.file("missing.ini")));
    EXPECT_FALSE(box.is_open());
    EXPECT_EQ(box.get_property("Result", "none"), "1");
    box.set_property("Result", "5");
    box.save();
    EXPECT_EQ(read_file(path), "Result=1\n");
    EXPECT_FALSE(file_exists(dir.file("missing.ini")));

    // A directory opens but cannot be read: no hang, not open, nothing written.
    ASSERT_TRUE(box.load(path));
    EXPECT_FALSE(box.load(dir.path()));
    EXPECT_FALSE(box.is_open());
    box.set_property("Result", "6");
    box.save();
    EXPECT_EQ(read_file(path), "Result=1\n");
    EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"c.ini"});
}

TEST(ConfigBox, SaveKeepsModeAndSymbolicLink)
{
    TmpDir dir;
    std::string target = dir.file("real.ini");
    std::string link = dir.file("config.ini");
    write_file(target, "Result=1\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.ini", link.c_str()), 0);

    CConfigBox box;
    ASSERT_TRUE(box.load(link));
    box.set_property("Result", "2");
    ASSERT_TRUE(box.save());

    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(target), "Result=2\n");
}

// A write that fails part-way (here: the file-size limit, as on a full disk)
// must leave the original whole and the object still modified.
TEST(ConfigBox, FailedSaveLeavesOriginalIntact)
{
    TmpDir dir;
    std::string path = dir.file("config.ini");
    const std::string original = "# user\ninfo=desk 4\nResult=1\n";
    write_file(path, original);

    CConfigBox box;
    ASSERT_TRUE(box.load(path));
    box.set_property("info", std::string(4000, 'd'));

    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 64;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved = box.save();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"config.ini"});

    // Still modified: the next save writes the change.
    ASSERT_TRUE(box.save());
    EXPECT_EQ(read_file(path), "# user\ninfo=" + std::string(4000, 'd') + "\nResult=1\n");
}

TEST(ConfigBox, SaveIntoUnwritableFolderLeavesOriginalIntact)
{
    TmpDir dir;
    std::string path = dir.file("config.ini");
    write_file(path, "Result=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);

    // Loaded, changed and saved by a user who may not write the folder.
    std::string printed;
    std::string result = run_unprivileged(
        [&] {
            CConfigBox box;
            if (!box.load(path))
                return std::string("load failed");
            box.set_property("Result", "2");
            return std::string(box.save() ? "saved" : "refused");
        },
        &printed);
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(result, "refused");
    EXPECT_EQ(read_file(path), "Result=1\n");
    EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"config.ini"});
}
