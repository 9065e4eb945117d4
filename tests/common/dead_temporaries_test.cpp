// A save that is killed between creating its temporary file and the rename
// leaves that file behind (".FILE.saving-" and six letters or digits); the
// next successful save of the same file removes it, for config.ini and
// Key.dat alike. What it must not touch: the operator's own files beside
// it, whatever their names (backups, dated copies, the bare "FILE." and six
// letters pattern included), the temporary of a save still in progress (its
// lock is held), another user's file, links, folders, and other files'
// temporaries.
#include "common/ConfigBox.h"
#include "common/file_operations.h"
#include "common/machine_id.h"
#include "common/test_util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Writer {
    const char* name;
    const char* file;
    // Saves the file at path once with new content; true on success.
    std::function<bool(const std::string& path)> save;
};

const Writer kWriters[] = {
    {"config_ini", "config.ini",
     [](const std::string& path) {
         CConfigBox box;
         if (!box.load(path))
             return false;
         box.set_property("Result", "11");
         return box.save();
     }},
    {"key_dat", "Key.dat",
     [](const std::string& path) {
         std::memset(g_szCID, 0x41, sizeof g_szCID);
         return SaveCID(path.c_str());
     }},
};

void PrintTo(const Writer& w, std::ostream* os) { *os << w.name; }

class DeadTemporaries : public ::testing::TestWithParam<Writer> {
protected:
    void SetUp() override
    {
        target = tmp.file(GetParam().file);
        write_file(target, "Result=0\n");
    }
    std::string file(const std::string& name) const { return tmp.file(name); }
    bool save() { return GetParam().save(target); }

    TmpDir tmp;
    std::string target;
};

// The private pattern of a save's temporary file of base.
std::string temporary(const std::string& base, const std::string& six)
{
    return "." + base + ".saving-" + six;
}

TEST_P(DeadTemporaries, NextSaveRemovesWhatKilledSavesLeft)
{
    const std::string base = GetParam().file;
    const std::vector<std::string> dead = {temporary(base, "a1B2c3"), temporary(base, "ZZZZZZ"),
                                           temporary(base, "000000")};
    for (const std::string& n : dead) {
        ASSERT_TRUE(is_save_temporary_name(n.c_str(), base.c_str())) << n;
        write_file(file(n), "half a save");
    }
    ASSERT_TRUE(save());
    for (const std::string& n : dead)
        EXPECT_FALSE(file_exists(file(n))) << n;
    EXPECT_EQ(dir_names(tmp.path()), std::vector<std::string>{base});
}

TEST_P(DeadTemporaries, LeavesEverythingThatIsNotADeadTemporaryOfThisFile)
{
    const std::string base = GetParam().file;
    const std::string other = std::string(base) == "Key.dat" ? "config.ini" : "Key.dat";
    // The operator's copies (a dot and six letters or digits, as people name
    // backups and dated copies), and names one character off the private
    // pattern, or of another file.
    const std::vector<std::string> names = {
        base + ".backup", base + ".241210", base + ".orig01", base + ".a1B2c3", base + ".XXXXXX",
        temporary(base, "a1B2c"), temporary(base, "a1B2c3d"), temporary(base, "a1-2c3"),
        base + ".saving-a1B2c3", "." + base + "_saving-a1B2c3", temporary("x" + base, "a1B2c3"),
        temporary(other, "a1B2c3"), temporary(base, "a1B2c3") + ".bak"};
    for (const std::string& n : names) {
        EXPECT_FALSE(is_save_temporary_name(n.c_str(), base.c_str())) << n;
        write_file(file(n), "keep");
    }
    // The pattern, but not a regular file: a link (to a file outside that
    // must survive), a dangling link, a folder.
    TmpDir outside;
    write_file(outside.file("victim"), "victim");
    ASSERT_EQ(symlink(outside.file("victim").c_str(), file(temporary(base, "L1nk00")).c_str()), 0);
    ASSERT_EQ(symlink("nowhere", file(temporary(base, "L1nk01")).c_str()), 0);
    ASSERT_EQ(mkdir(file(temporary(base, "D1r000")).c_str(), 0755), 0);
    // The pattern, a regular file, but another user's.
    const std::string foreign = file(temporary(base, "Oth3r0"));
    write_file(foreign, "not ours");
    ASSERT_EQ(chown(foreign.c_str(), geteuid() + 1, getegid()), geteuid() == 0 ? 0 : -1);
    // A save in progress: its temporary is locked by the saving process.
    write_file(file(temporary(base, "L1ve00")), "being written");
    int live = open(file(temporary(base, "L1ve00")).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX), 0);

    ASSERT_TRUE(save());
    for (const std::string& n : names)
        EXPECT_EQ(read_file(file(n)), "keep") << n;
    EXPECT_TRUE(file_exists(file(temporary(base, "L1nk00"))));
    EXPECT_TRUE(file_exists(file(temporary(base, "L1nk01"))));
    EXPECT_EQ(read_file(outside.file("victim")), "victim");
    EXPECT_TRUE(file_exists(file(temporary(base, "D1r000"))));
    if (geteuid() == 0) {
        EXPECT_EQ(read_file(foreign), "not ours") << "another user's file";
    }
    EXPECT_EQ(read_file(file(temporary(base, "L1ve00"))), "being written") << "a live save's file";

    // Once its saver is gone, the next save takes it.
    close(live);
    ASSERT_TRUE(save());
    EXPECT_FALSE(file_exists(file(temporary(base, "L1ve00"))));
    for (const std::string& n : names)
        EXPECT_EQ(read_file(file(n)), "keep") << n;
}

// The saving side holds the lock on its own temporary until the rename: a
// clean-up that runs while a save is between writing and renaming (here: in
// another process, under a folder listing taken mid-save) cannot take its
// file, so every save of two processes saving in turn succeeds.
TEST_P(DeadTemporaries, TwoProcessesSavingTogetherNeverLoseASave)
{
    int status = 0;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 300; ++i)
            if (!save())
                _exit(1);
        _exit(0);
    }
    bool all = true;
    for (int i = 0; i < 300; ++i)
        all = save() && all;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(all);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(dir_names(tmp.path()), std::vector<std::string>{GetParam().file});
}

INSTANTIATE_TEST_SUITE_P(Files, DeadTemporaries, ::testing::ValuesIn(kWriters),
                         [](const ::testing::TestParamInfo<Writer>& i) { return std::string(i.param.name); });

} // namespace
