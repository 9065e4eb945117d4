// path over trees that change while they are searched, that are deeper than
// any path the system opens, or whose folders and candidates cannot be read:
// what the search could not look at is named on standard error and path ends
// with status 1 unless it installed the host's image; it is never "no
// match" with status 0.
#include "config_tool_fixture.h"
#include "io_faults.h"

#include "config/image_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TARN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_ASAN 1
#endif
#endif

using namespace config_text;

namespace {

// Runs a function each time the search enters the folder of a given path.
class OnEntering {
public:
    OnEntering(std::string path, std::function<void()> fn) : path_(std::move(path)), fn_(std::move(fn))
    {
        ImageSearch_SetObserver(&OnEntering::seen, this);
    }
    ~OnEntering() { ImageSearch_SetObserver(nullptr, nullptr); }
    OnEntering(const OnEntering&) = delete;
    OnEntering& operator=(const OnEntering&) = delete;
    int fired() const { return fired_; }

private:
    static void seen(void* ctx, const std::string& path)
    {
        auto* self = static_cast<OnEntering*>(ctx);
        if (path == self->path_) {
            ++self->fired_;
            self->fn_();
        }
    }
    std::string path_;
    std::function<void()> fn_;
    int fired_ = 0;
};

std::string message(const char* fmt, const std::string& a, int err)
{
    char buf[2048];
    std::snprintf(buf, sizeof buf, fmt, a.c_str(), std::strerror(err));
    return buf;
}

class PathSearchTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        cid = make_cid(2, "\x0a\x0b", 'm');
        write_file(env.key_dat, cid);
        ident = cid;
        ident[1] = '\x31';
        ident[2] = '\x32';
        write_file(env.config_file, "info=Eve(Lab)\nResult=1\n");
        tree = tmp.file("tree");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    }

    // Two folders in the tree, by the order in which the search meets them.
    void two_folders(std::string* first, std::string* second)
    {
        ASSERT_EQ(mkdir((tree + "/p").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/q").c_str(), 0755), 0);
        const std::vector<std::string> order = dir_entries(tree);
        ASSERT_EQ(order.size(), 2u);
        *first = tree + "/" + order[0];
        *second = tree + "/" + order[1];
    }

    void expect_host_installed()
    {
        expect_installed(env.image_path(), fake_image(ident));
        EXPECT_EQ(read_file(env.key_dat), ident);
        EXPECT_EQ(config_text(), "info=Eve(Lab)\nResult=11\n");
    }

    void expect_nothing_installed()
    {
        EXPECT_FALSE(file_exists(env.image_path()));
        EXPECT_EQ(read_file(env.key_dat), cid);
        EXPECT_EQ(config_text(), "info=Eve(Lab)\nResult=1\n");
    }

    std::string cid, ident, tree;
};

} // namespace

// A folder of 30,000 empty sub-folders is moved out of the tree while the
// search is inside it (at its 100th sub-folder): the search ends that folder,
// finds its parent again and goes on, so the host's image in the folder met
// after it is installed.
TEST_F(PathSearchTest, FolderMovedWhileItIsSearchedDoesNotEndTheSearch)
{
    std::string moved, later;
    two_folders(&moved, &later);
    for (int i = 0; i < 30000; ++i)
        ASSERT_EQ(mkdir((moved + "/s" + std::to_string(i)).c_str(), 0755), 0) << i;
    write_file(later + "/host.vkd", fake_image(ident));
    const std::vector<std::string> subs = dir_entries(moved);
    ASSERT_EQ(subs.size(), 30000u);

    const std::string away = tmp.file("away");
    OnEntering hook(moved + "/" + subs[99], [&] { ASSERT_EQ(rename(moved.c_str(), away.c_str()), 0); });
    const PathOutcome o = run_path(tree);
    EXPECT_EQ(hook.fired(), 1);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    expect_host_installed();
    EXPECT_FALSE(file_exists(moved));
}

// Folders moved or replaced at the point where the search is inside them,
// searched with search_image_tree: what it lists and which gaps it reports.
//   tree/A (met first)                 tree/last/top.vkd (met second)
//   A/inner/in.vkd (met first in A)    A/rest/rest.vkd (met second in A)
TEST(ImageSearchMoves, FoldersMovedWhileTheSearchIsInsideThem)
{
    struct Case {
        const char* name;
        // What is done to the tree when the search enters A/inner.
        void (*change)(const std::string& a, const std::string& inner, const std::string& away);
        bool rest_listed;
        bool gap; // A reported as not re-entered
    };
    const Case cases[] = {
        // inner leaves A: A is found again from the top by its name.
        {"InnerMovedOut",
         [](const std::string&, const std::string& inner, const std::string& away) {
             rename(inner.c_str(), (away + "/inner").c_str());
         },
         true, false},
        // A leaves the tree: it is searched to its end where it is now.
        {"ParentMovedOut",
         [](const std::string& a, const std::string&, const std::string& away) {
             rename(a.c_str(), (away + "/A").c_str());
         },
         true, false},
        // inner leaves A and another folder takes A's name: A cannot be
        // reached again, its entries still to come are lost, and that is said.
        {"InnerMovedOutAndParentReplaced",
         [](const std::string& a, const std::string& inner, const std::string& away) {
             rename(inner.c_str(), (away + "/inner").c_str());
             rename(a.c_str(), (away + "/A").c_str());
             mkdir(a.c_str(), 0755);
             write_file(a + "/impostor.vkd", "image");
         },
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TmpDir tmp;
        const std::string tree = tmp.file("tree"), away = tmp.file("away");
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(away.c_str(), 0755), 0);
        // Of each pair of folders, the one met first takes the first role.
        for (const char* n : {"x", "y"})
            ASSERT_EQ(mkdir((tree + "/" + n).c_str(), 0755), 0);
        std::vector<std::string> top = dir_entries(tree);
        const std::string a = tree + "/" + top[0], last = tree + "/" + top[1];
        write_file(last + "/top.vkd", "image");
        for (const char* n : {"x", "y"})
            ASSERT_EQ(mkdir((a + "/" + n).c_str(), 0755), 0);
        std::vector<std::string> in_a = dir_entries(a);
        const std::string inner = a + "/" + in_a[0], rest = a + "/" + in_a[1];
        write_file(inner + "/in.vkd", "image");
        write_file(rest + "/rest.vkd", "image");

        std::vector<std::string> list;
        std::vector<std::string> gaps;
        SearchVisitor v;
        v.candidate = [&](int, const char*, const std::string& path) {
            list.push_back(path);
            return true;
        };
        v.gap = [&](SearchGap g, const std::string& path, int err) {
            gaps.push_back(std::to_string(static_cast<int>(g)) + ":" + path + ":" + std::to_string(err));
        };
        OnEntering hook(inner, [&] { c.change(a, inner, away); });
        testing::internal::CaptureStdout();
        const SearchEnd end = search_image_tree(tree.c_str(), ".vkd", v);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(hook.fired(), 1);
        EXPECT_EQ(end, SearchEnd::Finished);

        std::vector<std::string> want = {inner + "/in.vkd"};
        if (c.rest_listed)
            want.push_back(rest + "/rest.vkd");
        want.push_back(last + "/top.vkd");
        EXPECT_EQ(list, want);
        if (c.gap) {
            EXPECT_EQ(gaps, std::vector<std::string>{
                                std::to_string(static_cast<int>(SearchGap::NotReentered)) + ":" + a + ":0"});
            EXPECT_EQ(printed, "can't open dir.\n");
        } else {
            EXPECT_EQ(gaps, std::vector<std::string>{});
            EXPECT_EQ(printed, "");
        }
    }
}

// The same at the level of path: a part of the tree that was lost is named
// on standard error; with the host's image met later it is installed all the
// same, without it path ends with status 1, not "no match".
TEST_F(PathSearchTest, FolderThatCannotBeReachedAgainIsReported)
{
    for (const bool host_later : {true, false}) {
        SCOPED_TRACE(host_later ? "host image later" : "no host image");
        std::filesystem::remove_all(tree);
        std::filesystem::remove_all(tmp.file("away"));
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        unlink(env.image_path().c_str());
        write_file(env.key_dat, cid);
        write_file(env.config_file, "info=Eve(Lab)\nResult=1\n");
        std::string a, later;
        two_folders(&a, &later);
        if (host_later)
            write_file(later + "/host.vkd", fake_image(ident));
        ASSERT_EQ(mkdir((a + "/inner").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((a + "/rest").c_str(), 0755), 0);
        const std::string away = tmp.file("away");
        ASSERT_EQ(mkdir(away.c_str(), 0755), 0);
        const std::vector<std::string> in_a = dir_entries(a);
        const std::string inner = a + "/" + in_a[0];
        OnEntering hook(inner, [&] {
            rename(inner.c_str(), (away + "/inner").c_str());
            rename(a.c_str(), (away + "/A").c_str());
            mkdir(a.c_str(), 0755);
        });
        const PathOutcome o = run_path(tree);
        EXPECT_EQ(hook.fired(), 1);
        char want[2048];
        std::snprintf(want, sizeof want, kFolderLost, a.c_str());
        EXPECT_EQ(o.err, want);
        EXPECT_EQ(o.out, "can't open dir.\n");
        if (host_later) {
            EXPECT_EQ(o.rc, 0);
            expect_host_installed();
        } else {
            EXPECT_EQ(o.rc, 1);
            expect_nothing_installed();
        }
    }
}

namespace {

// A chain of folders, each named name, made and removed through
// descriptors (its paths are longer than any path the system opens).
class Chain {
public:
    Chain(const std::string& top, const std::string& name, int depth) : top_(top), name_(name), depth_(depth) {}
    // Makes the chain and, in its last folder, a file file holding bytes.
    bool make(const std::string& file, const std::string& bytes)
    {
        int fd = open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; fd >= 0 && i < depth_; ++i) {
            int next = mkdirat(fd, name_.c_str(), 0755) == 0
                           ? openat(fd, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                           : -1;
            close(fd);
            fd = next;
        }
        if (fd < 0)
            return false;
        int f = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        bool ok = f >= 0 && write(f, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (f >= 0)
            close(f);
        close(fd);
        return ok;
    }
    // Removes what make made (file, then the folders from the bottom up).
    void remove(const std::string& file)
    {
        int fd = open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int depth = 0;
        for (; fd >= 0 && depth < depth_; ++depth) {
            int next = openat(fd, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                break;
            close(fd);
            fd = next;
        }
        if (fd < 0)
            return;
        unlinkat(fd, file.c_str(), 0);
        for (; depth > 0; --depth) {
            int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = up;
            if (fd < 0 || unlinkat(fd, name_.c_str(), AT_REMOVEDIR) != 0)
                break;
        }
        if (fd >= 0)
            close(fd);
    }

private:
    std::string top_, name_;
    int depth_;
};

} // namespace

// 4,000 nested folders with 255-byte names, the host's image in the last
// one (its path is some 1 MB long): path ends and installs it within an
// address space of 256 MiB, each folder opened through the one above.
TEST_F(PathSearchTest, ChainOf4000FoldersWithLongNamesTakesLittleMemory)
{
    const std::string name(255, 'n');
    Chain chain(tree, name, 4000);
    ASSERT_TRUE(chain.make("host.vkd", fake_image(ident)));

    // The search reaches the image through a path far beyond PATH_MAX.
    std::vector<std::string> found;
    recursion_scan_dir_file(tree.c_str(), found, ".vkd");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].size(), tree.size() + 4000 * 256 + std::string("/host.vkd").size());

    const PathOutcome o = run_path(tree, [] {
#ifndef TARN_ASAN
        // The sanitizer's shadow memory alone takes more address space.
        const rlim_t limit = rlim_t{256} << 20;
        struct rlimit rl = {limit, limit};
        return setrlimit(RLIMIT_AS, &rl) == 0;
#else
        return true;
#endif
    });
    chain.remove("host.vkd");
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    expect_host_installed();
    EXPECT_EQ(dir_names(tree), std::vector<std::string>{});
}

// The only candidate that is the host's image cannot be read, or the folder
// that holds it cannot be opened or listed (errors injected, so they happen
// as root too): it is named on standard error with the reason and path ends
// with status 1, nothing installed. When the host's image can be had from
// another folder as well, that one is installed.
TEST_F(PathSearchTest, CandidateOrFolderThatCannotBeRead)
{
    const struct Case {
        const char* name;
        IoFault::Kind kind;
        int err;
        bool folder; // the fault is on the folder sub, not on sub/host.vkd
    } cases[] = {
        {"CandidateReadFails", IoFault::Read, EIO, false},
        {"CandidateOpenRefused", IoFault::Open, EACCES, false},
        {"FolderListingFails", IoFault::Listing, EIO, true},
        {"FolderOpenRefused", IoFault::Open, EACCES, true},
    };
    const std::string sub = tree + "/sub", host = sub + "/host.vkd";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    write_file(host, fake_image(ident));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PathOutcome o;
        int hits = 0;
        {
            IoFault fault(c.kind, c.folder ? sub : host, c.err);
            o = run_path(tree);
            hits = fault.hits();
        }
        EXPECT_GT(hits, 0);
        EXPECT_EQ(o.rc, 1);
        if (c.folder) {
            EXPECT_EQ(o.out, "can't open dir.\n");
            EXPECT_EQ(o.err, message(kFolderNotSearched, sub, c.err));
        } else {
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(o.err, message(kCandidateNotRead, host, c.err));
        }
        expect_nothing_installed();
        EXPECT_EQ(dir_names(scratch), std::vector<std::string>{});

        // The host's image also in a folder of its own: installed, status 0.
        ASSERT_EQ(mkdir((tree + "/other").c_str(), 0755), 0);
        write_file(tree + "/other/copy.vkd", fake_image(ident));
        {
            IoFault fault(c.kind, c.folder ? sub : host, c.err);
            o = run_path(tree);
        }
        EXPECT_EQ(o.rc, 0) << o.err;
        expect_host_installed();
        ASSERT_EQ(unlink((tree + "/other/copy.vkd").c_str()), 0);
        ASSERT_EQ(rmdir((tree + "/other").c_str()), 0);
        unlink(env.image_path().c_str());
        write_file(env.key_dat, cid);
        write_file(env.config_file, "info=Eve(Lab)\nResult=1\n");
    }
}

// A tree that cannot be opened at all is said too; a plain file in its
// place holds nothing to search and stays "no match".
TEST_F(PathSearchTest, TopFolderThatCannotBeOpened)
{
    write_file(tree + "/host.vkd", fake_image(ident));
    PathOutcome o;
    {
        IoFault fault(IoFault::Open, tree, EACCES);
        o = run_path(tree);
    }
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "can't open dir.\n");
    EXPECT_EQ(o.err, message(kFolderNotSearched, tree, EACCES));
    expect_nothing_installed();

    const std::string plain = tmp.file("plain.vkd");
    write_file(plain, fake_image(ident));
    o = run_path(plain);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, "can't open dir.\n" + line(kNoMatch));
    EXPECT_EQ(o.err, "");
}

// The probe folder lies inside the searched tree, in a folder met after the
// first candidate: the search does not take the copies in it for candidates.
TEST_F(PathSearchTest, ProbeFolderInsideTheTreeIsNotSearched)
{
    std::string first, work;
    two_folders(&first, &work);
    const std::string other = make_cid(2, "\x0a\x0b", 'Z');
    write_file(first + "/decoy.vkd", fake_image(other));
    env.scratch_dir = work;
    const PathOutcome o = run_path(tree);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out, line(kNoMatch));
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(probed.size(), 1u);
    EXPECT_EQ(dir_names(work), std::vector<std::string>{});
    expect_nothing_installed();
}
