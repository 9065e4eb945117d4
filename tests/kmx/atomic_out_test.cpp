// The staged output of the encrypted-file writers: the file a write to the
// path would reach gets the new content as one step, keeping its mode, its
// owner, its symbolic link and its hard links; a new file gets the mode its
// writer asks for less the umask (which is never changed); what is not a
// regular file is refused without waiting, and nothing is left behind.
#include "kmx/atomic_out.h"

#include "common/test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Staged {
    const char* name;
    mode_t new_mode;   // AtomicOut's mode for a new file
    mode_t umask;
    // Puts what the output path holds before the write; returns the path
    // of the file that must get the content.
    std::function<std::string(const TmpDir& d)> before;
    mode_t mode_after;
};

mode_t mode_of(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string existing(const TmpDir& d, mode_t mode)
{
    write_file(d.file("out"), "old content");
    chmod(d.file("out").c_str(), mode);
    return d.file("out");
}

bool write_through(const std::string& path, mode_t new_mode, const std::string& content)
{
    AtomicOut out(path.c_str(), new_mode);
    return out.open() && out.write(content.data(), content.size()) && out.commit();
}

} // namespace

TEST(AtomicOut, ContentLandsWhereTheNameLeadsKeepingModeAndLinks)
{
    const Staged cases[] = {
        {"existing 0600 stays 0600", 0666, 022, [](const TmpDir& d) { return existing(d, 0600); }, 0600},
        {"existing 0640 stays 0640", 0600, 0, [](const TmpDir& d) { return existing(d, 0640); }, 0640},
        {"existing 0604 stays 0604", 0666, 077, [](const TmpDir& d) { return existing(d, 0604); }, 0604},
        {"new plaintext under umask 0", 0600, 0, [](const TmpDir& d) { return d.file("out"); }, 0600},
        {"new plaintext under umask 022", 0600, 022, [](const TmpDir& d) { return d.file("out"); }, 0600},
        {"new ordinary file under umask 022", 0666, 022, [](const TmpDir& d) { return d.file("out"); }, 0644},
        {"new ordinary file under umask 027", 0666, 027, [](const TmpDir& d) { return d.file("out"); }, 0640},
        {"link to a 0600 file",
         0666, 022,
         [](const TmpDir& d) {
             write_file(d.file("target"), "old content");
             chmod(d.file("target").c_str(), 0600);
             symlink("target", d.file("out").c_str());
             return d.file("target");
         },
         0600},
        {"second name of a 0640 file",
         0666, 022,
         [](const TmpDir& d) {
             write_file(d.file("first"), "old content");
             chmod(d.file("first").c_str(), 0640);
             link(d.file("first").c_str(), d.file("out").c_str());
             return d.file("first");
         },
         0640},
    };
    for (const Staged& c : cases) {
        SCOPED_TRACE(c.name);
        TmpDir d;
        const std::string target = c.before(d);
        struct stat before = {};
        const bool existed = lstat(d.file("out").c_str(), &before) == 0;
        const std::vector<std::string> names = dir_names(d.path());
        {
            UmaskGuard mask(c.umask);
            ASSERT_TRUE(write_through(d.file("out"), c.new_mode, "new content"));
            EXPECT_EQ(umask(c.umask), c.umask) << "the umask is left as it was";
        }
        EXPECT_EQ(read_file(d.file("out")), "new content");
        EXPECT_EQ(read_file(target), "new content");
        EXPECT_EQ(mode_of(target), c.mode_after);
        struct stat after;
        ASSERT_EQ(lstat(d.file("out").c_str(), &after), 0);
        if (existed) {
            EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << "a link stays a link";
            EXPECT_EQ(after.st_nlink, before.st_nlink) << "hard links stay";
            EXPECT_EQ(dir_names(d.path()), names) << "nothing left beside it";
        } else {
            EXPECT_EQ(dir_names(d.path()), std::vector<std::string>{"out"});
        }
    }
}

// A file of another user keeps its owner and group when root rewrites it.
TEST(AtomicOut, ExistingOwnerIsKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may give files away";
    TmpDir d;
    write_file(d.file("out"), "old");
    chmod(d.file("out").c_str(), 0640);
    ASSERT_EQ(chown(d.file("out").c_str(), 65534, 65534), 0);
    ASSERT_TRUE(write_through(d.file("out"), 0600, "new"));
    struct stat st;
    ASSERT_EQ(stat(d.file("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(d.file("out")), "new");
}

// What is no regular file is refused at once (a FIFO is never opened for
// writing, so nothing waits for a reader); an output that is abandoned or
// whose writer dies uncommitted stays as it was, without a leftover.
TEST(AtomicOut, RefusalsAndAbandonedOutputsChangeNothing)
{
    TmpDir d;
    ASSERT_EQ(mkfifo(d.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(d.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(symlink("nowhere", d.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop", d.file("loop").c_str()), 0);
    for (const char* name : {"fifo", "folder", "dangling", "loop"}) {
        AtomicOut out(d.file(name).c_str());
        EXPECT_FALSE(out.open()) << name;
    }
    EXPECT_FALSE(file_exists(d.file("nowhere")));
    AtomicOut missing_folder(d.file("no/such").c_str());
    EXPECT_FALSE(missing_folder.open());

    write_file(d.file("kept"), "old");
    {
        AtomicOut out(d.file("kept").c_str());
        ASSERT_TRUE(out.open());
        ASSERT_TRUE(out.write("new", 3));
        out.abandon();
        EXPECT_FALSE(out.commit());
    }
    {
        AtomicOut out(d.file("kept").c_str());
        ASSERT_TRUE(out.open());
        ASSERT_TRUE(out.write("new", 3));
    }
    EXPECT_EQ(read_file(d.file("kept")), "old");
    EXPECT_EQ(dir_names(d.path()),
              (std::vector<std::string>{"dangling", "fifo", "folder", "kept", "loop"}));
}
