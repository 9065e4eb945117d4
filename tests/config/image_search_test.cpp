#include "config/image_search.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

std::string cwd()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

// The names of a folder in the order the file system returns them.
std::vector<std::string> dir_order(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

struct Scan {
    std::vector<std::string> list;
    std::string out; // what the search printed
};

Scan scan(const std::string& dir, const char* fix = ".vkd")
{
    Scan s;
    testing::internal::CaptureStdout();
    recursion_scan_dir_file(dir.c_str(), s.list, fix);
    std::fflush(stdout);
    s.out = testing::internal::GetCapturedStdout();
    return s;
}

// The tree
//   d/a.vkd  d/x.vkd.bak  d/.vkdrc  d/notes.txt  d/link.vkd -> sub  d/file-link -> a.vkd
//   d/sub/b.vkd  d/sub/c.txt  d/sub/deeper/e.vkd  d/empty/
class ImageSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = tmp_.file("d");
        make_dir(root_);
        make_dir(root_ + "/sub");
        make_dir(root_ + "/sub/deeper");
        make_dir(root_ + "/empty");
        for (const char* f : {"a.vkd", "x.vkd.bak", ".vkdrc", "notes.txt", "sub/b.vkd", "sub/c.txt",
                              "sub/deeper/e.vkd"})
            write_file(root_ + "/" + f, "image");
        ASSERT_EQ(symlink("sub", (root_ + "/link.vkd").c_str()), 0);
        ASSERT_EQ(symlink("a.vkd", (root_ + "/file-link").c_str()), 0);
    }

    // The expected list for the search from prefix: depth first, each folder
    // in its own directory order.
    std::vector<std::string> expected(const std::string& prefix, const std::string& rel = "") const
    {
        std::vector<std::string> out;
        std::string here = rel.empty() ? root_ : root_ + "/" + rel;
        for (const std::string& name : dir_order(here)) {
            if (name == "." || name == "..")
                continue;
            std::string rel_name = rel.empty() ? name : rel + "/" + name;
            struct stat st;
            if (lstat((root_ + "/" + rel_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                for (const std::string& p : expected(prefix, rel_name))
                    out.push_back(p);
            } else if (name.find(".vkd") != std::string::npos) {
                out.push_back(prefix + "/" + rel_name);
            }
        }
        return out;
    }

    TmpDir tmp_;
    std::string root_;
};

} // namespace

TEST_F(ImageSearch, ListsMatchingEntriesDepthFirst)
{
    Scan s = scan(root_);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.list, expected(root_));

    std::vector<std::string> sorted = s.list;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{root_ + "/.vkdrc", root_ + "/a.vkd",
                                                root_ + "/link.vkd", root_ + "/sub/b.vkd",
                                                root_ + "/sub/deeper/e.vkd",
                                                root_ + "/x.vkd.bak"}));
}

TEST_F(ImageSearch, RelativeFoldersWorkAtEveryDepth)
{
    CwdGuard back;
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    struct {
        std::string dir;
        std::string prefix;
    } cases[] = {{"d", "d"}, {"./d", "./d"}, {"d/", "d/"}, {root_ + "/", root_ + "/"}};
    for (const auto& c : cases) {
        Scan s = scan(c.dir);
        EXPECT_EQ(s.out, "") << c.dir;
        EXPECT_EQ(s.list, expected(c.prefix)) << c.dir;
        EXPECT_EQ(cwd(), tmp_.path()) << "working directory changed by " << c.dir;
    }
}

TEST_F(ImageSearch, AppendsWithoutClearing)
{
    std::vector<std::string> list{"kept"};
    recursion_scan_dir_file((root_ + "/sub").c_str(), list, "b.vkd");
    EXPECT_EQ(list, (std::vector<std::string>{"kept", root_ + "/sub/b.vkd"}));
}

TEST_F(ImageSearch, FoldersThatCannotBeOpened)
{
    struct {
        std::string dir;
        std::string out;
    } cases[] = {{root_ + "/empty", ""},
                 {root_ + "/a.vkd", "can't open dir.\n"},
                 {root_ + "/missing", "can't open dir.\n"}};
    for (const auto& c : cases) {
        Scan s = scan(c.dir);
        EXPECT_EQ(s.out, c.out) << c.dir;
        EXPECT_TRUE(s.list.empty()) << c.dir;
    }
}

// The search as an ordinary user, so a locked folder cannot be read.
Scan scan_unprivileged(const std::string& dir)
{
    Scan s;
    std::string lines = run_unprivileged(
        [&] {
            std::vector<std::string> list;
            recursion_scan_dir_file(dir.c_str(), list, ".vkd");
            std::string joined;
            for (const std::string& p : list)
                joined += p + "\n";
            return joined;
        },
        &s.out);
    for (size_t start = 0, nl; (nl = lines.find('\n', start)) != std::string::npos; start = nl + 1)
        s.list.push_back(lines.substr(start, nl - start));
    return s;
}

TEST_F(ImageSearch, UnreadableFolderIsReportedOnceAndSkipped)
{
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
    make_dir(root_ + "/locked");
    write_file(root_ + "/locked/hidden.vkd", "image");
    ASSERT_EQ(chmod((root_ + "/locked").c_str(), 0), 0);

    Scan s = scan_unprivileged(root_);
    chmod((root_ + "/locked").c_str(), 0755);
    EXPECT_EQ(s.out, "can't open dir.\n");
    std::vector<std::string> want = expected(root_);
    want.erase(std::remove(want.begin(), want.end(), root_ + "/locked/hidden.vkd"), want.end());
    EXPECT_EQ(s.list, want);
}

TEST(ImageSearchPaths, PathsLongerThan260CharactersAreFound)
{
    TmpDir tmp;
    std::string dir = tmp.path();
    for (int i = 0; i < 8; ++i) {
        dir += "/" + std::string(50, static_cast<char>('a' + i));
        make_dir(dir);
    }
    write_file(dir + "/deep.vkd", "image");
    std::vector<std::string> list;
    recursion_scan_dir_file(tmp.path().c_str(), list, ".vkd");
    ASSERT_GT(dir.size(), 400u);
    EXPECT_EQ(list, std::vector<std::string>{dir + "/deep.vkd"});
}

namespace {

void on_child(int) {}

struct ShellCase {
    const char* cmd;
    int exit_status;
};

} // namespace

TEST(PoxSystem, ReturnsShellStatusAndKeepsSigchldDisposition)
{
    const ShellCase cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"false", 1}, {"true; exit 7", 7}};
    void (*dispositions[])(int) = {SIG_IGN, on_child, SIG_DFL};
    for (auto disposition : dispositions) {
        struct sigaction before, after;
        std::memset(&before, 0, sizeof before);
        before.sa_handler = disposition;
        before.sa_flags = SA_RESTART;
        sigemptyset(&before.sa_mask);
        ASSERT_EQ(sigaction(SIGCHLD, &before, nullptr), 0);
        for (const ShellCase& c : cases) {
            // With SIGCHLD ignored the shell's status would be lost (-1).
            int status = pox_system(c.cmd);
            ASSERT_TRUE(WIFEXITED(status)) << c.cmd << " " << status;
            EXPECT_EQ(WEXITSTATUS(status), c.exit_status) << c.cmd;
            ASSERT_EQ(sigaction(SIGCHLD, nullptr, &after), 0);
            EXPECT_EQ(after.sa_handler, disposition) << c.cmd;
            EXPECT_EQ(after.sa_flags & SA_RESTART, SA_RESTART) << c.cmd;
        }
    }
    signal(SIGCHLD, SIG_DFL);
    EXPECT_EQ(pox_system(nullptr), -1);
}
