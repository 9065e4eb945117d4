// The image search on trees made to trip it: deeper than the number of files
// a process may hold open, names that a shell or a glob would take apart,
// links that lead back up the tree, and a folder swapped for a link while it
// is searched.

#include "config/image_search.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> search(const std::string& dir, std::string* printed)
{
    std::vector<std::string> list;
    testing::internal::CaptureStdout();
    recursion_scan_dir_file(dir.c_str(), list, ".vkd");
    std::fflush(stdout);
    *printed = testing::internal::GetCapturedStdout();
    return list;
}

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

// 300 nested folders under a limit of 64 open files: every level is still
// searched, and no descriptor is left open.
TEST(ImageSearchHostile, TreeDeeperThanTheOpenFileLimit)
{
    TmpDir tmp;
    std::string dir = tmp.path();
    std::vector<std::string> want;
    for (int depth = 1; depth <= 300; ++depth) {
        dir += "/d";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << depth;
        if (depth % 100 == 0) {
            write_file(dir + "/at" + std::to_string(depth) + ".vkd", "image");
            want.push_back(dir + "/at" + std::to_string(depth) + ".vkd");
        }
    }

    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    int before = open_descriptors();
    std::string printed;
    std::vector<std::string> list = search(tmp.path(), &printed);
    int after = open_descriptors();
    setrlimit(RLIMIT_NOFILE, &old);

    EXPECT_EQ(printed, "");
    EXPECT_EQ(list, want);
    EXPECT_EQ(after, before);
}

// Names are listed exactly as they are, nothing in them is run or expanded,
// and links (to a folder above, to themselves) are listed by name only.
TEST(ImageSearchHostile, AwkwardNamesAndLinkLoops)
{
    TmpDir tmp;
    std::string root = tmp.file("t");
    const std::vector<std::string> folders = {"a b", "q'\"", "nl\nx", "-rf", "*?[", "$(x)"};
    const std::vector<std::string> files = {
        "a b/1 .vkd",     "q'\"/$(touch pwned).vkd", "nl\nx/y\n.vkd", "-rf/-x.vkd",
        "*?[/*.vkd",      "$(x)/`touch pwned`.vkd",  " lead.vkd",    "back\\slash.vkd",
        "semi;rm -rf ~.vkd"};
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    for (const std::string& f : folders)
        ASSERT_EQ(mkdir((root + "/" + f).c_str(), 0755), 0) << f;
    std::vector<std::string> want;
    for (const std::string& f : files) {
        write_file(root + "/" + f, "image");
        want.push_back(root + "/" + f);
    }
    // Loops: a link to the folder above, a link to itself, a pair of links.
    ASSERT_EQ(symlink("..", (root + "/a b/up.vkd").c_str()), 0);
    ASSERT_EQ(symlink("self.vkd", (root + "/self.vkd").c_str()), 0);
    ASSERT_EQ(symlink("p2", (root + "/p1.vkd").c_str()), 0);
    ASSERT_EQ(symlink("p1.vkd", (root + "/p2").c_str()), 0);
    for (const char* l : {"a b/up.vkd", "self.vkd", "p1.vkd"})
        want.push_back(root + "/" + l);

    std::string printed;
    std::vector<std::string> list;
    {
        CwdGuard back;
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);
        list = search(root, &printed);
    }

    std::sort(list.begin(), list.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(printed, "");
    EXPECT_EQ(list, want);
    EXPECT_FALSE(file_exists(tmp.file("pwned")));
    EXPECT_FALSE(file_exists(root + "/pwned"));
}

// A sub-folder is swapped for a link to a folder outside the tree, and
// back, over and over while the tree is searched: the search lists the
// folder's own entries or none, never the entries behind the link.
TEST(ImageSearchHostile, FolderSwappedForALinkIsNotFollowed)
{
    TmpDir tmp;
    const std::string root = tmp.file("tree"), outside = tmp.file("outside");
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    write_file(root + "/sub/inside.vkd", "image");
    write_file(outside + "/outside.vkd", "image");
    ASSERT_EQ(symlink(outside.c_str(), (root + "/alt").c_str()), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        const std::string a = root + "/sub", b = root + "/alt";
        while (!stop.load())
            if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
                swaps.fetch_add(1);
    });
    int followed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> list;
        testing::internal::CaptureStdout();
        recursion_scan_dir_file(root.c_str(), list, ".vkd");
        testing::internal::GetCapturedStdout();
        for (const std::string& p : list)
            if (p.find("outside.vkd") != std::string::npos)
                ++followed;
    }
    stop.store(true);
    swapper.join();
    ASSERT_GT(swaps.load(), 0) << "the folder was never swapped";
    EXPECT_EQ(followed, 0);
}
