// The staged output of the encrypted-file writers: the new content takes the
// output's name as one step and nothing is ever written into a file that is
// already there. An existing file's mode (and owner, as root) carries over;
// a link is replaced, never followed; a new file gets the mode its writer
// asks for less the umask (which is never changed), or exactly 0600 for
// plaintext. Another user's entry in a sticky folder open to others, and any
// file plaintext could be read from by others, are refused untouched.
#include "kmx/atomic_out.h"

#include "common/test_util.h"
#include "kmx/entry_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr uid_t kOther = 65534;

bool write_through(const std::string& path, mode_t new_mode, const std::string& content)
{
    AtomicOut out(path.c_str(), new_mode);
    return out.open() && out.write(content.data(), content.size()) && out.commit();
}

std::string existing(const TmpDir& d, mode_t mode)
{
    write_file(d.file("out"), "old content");
    chmod(d.file("out").c_str(), mode);
    return "";
}

struct Staged {
    const char* name;
    mode_t new_mode;   // AtomicOut's mode for a new file
    mode_t umask;
    // Puts what the output's name holds before the write; returns the path
    // of a file that must stay exactly as it was ("" for none).
    std::function<std::string(const TmpDir& d)> before;
    mode_t mode_after;
};

} // namespace

TEST(AtomicOut, ContentTakesTheNameAndAnExistingFileKeepsItsMode)
{
    const auto target = [](const TmpDir& d, mode_t mode) {
        write_file(d.file("target"), "old content");
        chmod(d.file("target").c_str(), mode);
        return d.file("target");
    };
    const Staged cases[] = {
        {"existing 0600 stays 0600", 0666, 022, [](const TmpDir& d) { return existing(d, 0600); }, 0600},
        {"existing 0640 stays 0640", 0666, 0, [](const TmpDir& d) { return existing(d, 0640); }, 0640},
        {"existing 0604 stays 0604", 0666, 077, [](const TmpDir& d) { return existing(d, 0604); }, 0604},
        {"plaintext over a private file of ours", 0600, 022, [](const TmpDir& d) { return existing(d, 0600); },
         0600},
        {"plaintext over a file only its group may write", 0600, 022,
         [](const TmpDir& d) { return existing(d, 0620); }, 0620},
        {"new plaintext under umask 0", 0600, 0, [](const TmpDir&) { return std::string(); }, 0600},
        {"new plaintext under umask 022", 0600, 022, [](const TmpDir&) { return std::string(); }, 0600},
        {"new plaintext under umask 0277", 0600, 0277, [](const TmpDir&) { return std::string(); }, 0600},
        {"new ordinary file under umask 022", 0666, 022, [](const TmpDir&) { return std::string(); }, 0644},
        {"new ordinary file under umask 027", 0666, 027, [](const TmpDir&) { return std::string(); }, 0640},
        {"link to a 0600 file is replaced",
         0666, 022,
         [&](const TmpDir& d) {
             const std::string t = target(d, 0600);
             symlink("target", d.file("out").c_str());
             return t;
         },
         0644},
        {"link to a file, plaintext",
         0600, 0,
         [&](const TmpDir& d) {
             const std::string t = target(d, 0644);
             symlink(t.c_str(), d.file("out").c_str());
             return t;
         },
         0600},
        {"link that leads nowhere is replaced",
         0666, 022,
         [](const TmpDir& d) {
             symlink("nowhere", d.file("out").c_str());
             return d.file("nowhere");   // must stay missing
         },
         0644},
        {"link loop is replaced",
         0666, 022,
         [](const TmpDir& d) {
             symlink("out", d.file("out").c_str());
             return std::string();
         },
         0644},
        {"second name of a 0640 file: only this name gets the content",
         0666, 022,
         [&](const TmpDir& d) {
             const std::string t = target(d, 0640);
             link(t.c_str(), d.file("out").c_str());
             return t;
         },
         0640},
    };
    for (const Staged& c : cases) {
        SCOPED_TRACE(c.name);
        TmpDir d;
        const std::string kept = c.before(d);
        EntrySnapshot kept_before = snapshot(kept);
        struct stat was;
        if (lstat(d.file("out").c_str(), &was) == 0 && S_ISREG(was.st_mode) && kept_before.present &&
            was.st_ino == kept_before.st.st_ino)
            --kept_before.st.st_nlink;   // the output's name no longer leads to it
        std::vector<std::string> names = dir_names(d.path());
        if (!file_exists(d.file("out")))
            names.push_back("out");
        std::sort(names.begin(), names.end());
        {
            UmaskGuard mask(c.umask);
            ASSERT_TRUE(write_through(d.file("out"), c.new_mode, "new content"));
            EXPECT_EQ(umask(c.umask), c.umask) << "the umask is left as it was";
        }
        struct stat after;
        ASSERT_EQ(lstat(d.file("out").c_str(), &after), 0);
        EXPECT_TRUE(S_ISREG(after.st_mode));
        EXPECT_EQ(after.st_mode & 07777, c.mode_after);
        EXPECT_EQ(after.st_nlink, 1u);
        EXPECT_EQ(read_file(d.file("out")), "new content");
        if (!kept.empty()) {
            EXPECT_EQ(snapshot(kept), kept_before) << "a linked file is not touched";
        }
        EXPECT_EQ(dir_names(d.path()), names) << "nothing left beside it";
    }
}

// Entries of another user (uid 65534): in a sticky folder that others may
// write to, one that is neither ours nor the folder owner's is refused,
// whatever the kernel's link protections say; plaintext never goes over a
// file of another user or one that others may read. A refused output leaves
// the entry, the file it names and the folder exactly as they were.
TEST(AtomicOut, EntriesOfOtherUsersAndSharedFolders)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may make files of another user";
    enum Kind { File, Symlink, HardLink };
    struct Case {
        const char* name;
        mode_t folder_mode;
        uid_t folder_owner;
        Kind kind;
        uid_t entry_owner;
        mode_t file_mode;   // of a file at the name
        mode_t new_mode;
        bool taken;
        uid_t owner_after;
    } const cases[] = {
        {"sticky: another user's file", 01777, 0, File, kOther, 0644, 0666, false, 0},
        {"sticky: another user's file, plaintext", 01777, 0, File, kOther, 0600, 0600, false, 0},
        {"sticky: another user's link", 01777, 0, Symlink, kOther, 0, 0666, false, 0},
        {"sticky: another user's link, plaintext", 01777, 0, Symlink, kOther, 0, 0600, false, 0},
        {"sticky: a hard link to another user's file", 01777, 0, HardLink, kOther, 0, 0666, false, 0},
        {"sticky, group-writable only: another user's file", 01770, 0, File, kOther, 0644, 0666, false, 0},
        {"sticky: our own link is replaced", 01777, 0, Symlink, 0, 0, 0600, true, 0},
        {"sticky: our own file", 01777, 0, File, 0, 0644, 0666, true, 0},
        {"sticky folder of that user: that user's file", 01777, kOther, File, kOther, 0640, 0666, true, kOther},
        {"sticky folder of that user: that user's file, plaintext", 01777, kOther, File, kOther, 0600, 0600,
         false, 0},
        {"open folder, no sticky bit: another user's link is replaced", 0777, 0, Symlink, kOther, 0, 0600, true,
         0},
        {"open folder, no sticky bit: another user's file", 0777, 0, File, kOther, 0640, 0666, true, kOther},
        {"open folder, no sticky bit: another user's file, plaintext", 0777, 0, File, kOther, 0600, 0600, false,
         0},
        {"private folder: another user's file, plaintext", 0700, 0, File, kOther, 0600, 0600, false, 0},
        {"private folder: our file readable by its group, plaintext", 0700, 0, File, 0, 0640, 0600, false, 0},
        {"private folder: our file readable by others, plaintext", 0700, 0, File, 0, 0604, 0600, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TmpDir d;
        // A root file and a file of the other user, outside the folder.
        write_file(d.file("roots"), "root's bytes");
        ASSERT_EQ(chmod(d.file("roots").c_str(), 0644), 0);
        write_file(d.file("theirs"), "their bytes");
        ASSERT_EQ(chown(d.file("theirs").c_str(), kOther, kOther), 0);
        const std::string folder = d.file("shared"), out = folder + "/out";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), c.folder_owner, c.folder_owner), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
        switch (c.kind) {
        case File:
            write_file(out, "old content");
            ASSERT_EQ(chown(out.c_str(), c.entry_owner, c.entry_owner), 0);
            ASSERT_EQ(chmod(out.c_str(), c.file_mode), 0);
            break;
        case Symlink:
            ASSERT_EQ(symlink(d.file("roots").c_str(), out.c_str()), 0);
            ASSERT_EQ(lchown(out.c_str(), c.entry_owner, c.entry_owner), 0);
            break;
        case HardLink:
            ASSERT_EQ(link(d.file("theirs").c_str(), out.c_str()), 0);
            break;
        }
        const EntrySnapshot entry = snapshot(out), roots = snapshot(d.file("roots")),
                            theirs = snapshot(d.file("theirs"));
        AtomicOut staged(out.c_str(), c.new_mode);
        const bool opened = staged.open();
        ASSERT_EQ(opened, c.taken);
        if (opened) {
            ASSERT_TRUE(staged.write("new content", 11));
            ASSERT_TRUE(staged.commit());
            struct stat st;
            ASSERT_EQ(lstat(out.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(read_file(out), "new content");
            EXPECT_EQ(st.st_uid, c.owner_after);
            EXPECT_EQ(st.st_mode & 07777, c.kind == File ? c.file_mode : 0600u);
        } else {
            EXPECT_EQ(snapshot(out), entry);
        }
        EXPECT_EQ(snapshot(d.file("roots")), roots);
        EXPECT_EQ(snapshot(d.file("theirs")), theirs);
        EXPECT_EQ(dir_names(folder), std::vector<std::string>{"out"});
    }
}

// What is no regular file or link is refused at once (a FIFO is never
// opened, so nothing waits for a reader); an output that is abandoned or
// whose writer dies uncommitted stays as it was, without a leftover.
TEST(AtomicOut, RefusalsAndAbandonedOutputsChangeNothing)
{
    TmpDir d;
    ASSERT_EQ(mkfifo(d.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(d.file("folder").c_str(), 0700), 0);
    for (const std::string& name :
         {d.file("fifo"), d.file("folder"), d.file("no/such"), d.file("folder/"), d.file("folder/.."),
          d.file("."), std::string("/")}) {
        AtomicOut out(name.c_str());
        EXPECT_FALSE(out.open()) << name;
    }

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
    EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"fifo", "folder", "kept"}));
    EXPECT_EQ(dir_names(d.file("folder")), std::vector<std::string>{});
}

// The name and its folder are looked at once: a link put at a new output's
// name after the look is not replaced (the output fails, the link and its
// file stay), and a folder renamed meanwhile still gets the output, not a
// new folder put under its old name.
TEST(AtomicOut, NamesAreNotTrustedAfterTheLook)
{
    TmpDir d;
    write_file(d.file("target"), "target's bytes");
    {
        AtomicOut out(d.file("out").c_str(), 0600);
        ASSERT_TRUE(out.open());
        ASSERT_EQ(symlink("target", d.file("out").c_str()), 0);
        const EntrySnapshot link = snapshot(d.file("out"));
        ASSERT_TRUE(out.write("new", 3));
        EXPECT_FALSE(out.commit());
        out.abandon();
        EXPECT_EQ(snapshot(d.file("out")), link);
    }
    EXPECT_EQ(read_file(d.file("target")), "target's bytes");
    EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"out", "target"}));

    ASSERT_EQ(mkdir(d.file("a").c_str(), 0700), 0);
    AtomicOut out(d.file("a/out").c_str());
    ASSERT_TRUE(out.open());
    ASSERT_EQ(rename(d.file("a").c_str(), d.file("b").c_str()), 0);
    ASSERT_EQ(mkdir(d.file("a").c_str(), 0700), 0);
    ASSERT_TRUE(out.write("new", 3));
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(read_file(d.file("b/out")), "new");
    EXPECT_EQ(dir_names(d.file("a")), std::vector<std::string>{});
}

// A folder on the way to the output that is another user's link in a sticky
// folder open to others is never walked through (the kernel's link rule,
// whatever it is set to): the root folder it names keeps its file. The same
// link of the folder's owner is followed.
TEST(AtomicOut, AnotherUsersFolderLinkInAStickyFolderIsNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may make links of another user";
    for (uid_t owner : {kOther, uid_t(0)}) {
        SCOPED_TRACE(owner);
        TmpDir d;
        const std::string sticky = d.file("sticky"), mine = d.file("mine");
        ASSERT_EQ(mkdir(sticky.c_str(), 0700), 0);
        ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
        ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
        write_file(mine + "/out", "root content");
        const std::string link = sticky + "/job";
        ASSERT_EQ(symlink(mine.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), owner, owner), 0);
        const bool ok = write_through(link + "/out", 0666, "new content");
        EXPECT_EQ(ok, owner == 0);
        EXPECT_EQ(read_file(mine + "/out"), owner == 0 ? "new content" : "root content");
    }
}
