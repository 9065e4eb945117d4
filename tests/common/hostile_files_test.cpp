// The readers and writers of the common services on paths that are not the
// plain files they expect (FIFOs, devices, folders, links) and on contents
// that are not plain text. Nothing may hang, abort or write a half file.

#include "common/ConfigBox.h"
#include "common/config_info.h"
#include "common/file_operations.h"
#include "common/log.h"
#include "common/machine_id.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Only a hang reaches this: generous, so a slow or sanitised build never does.
constexpr unsigned kWatchdogSeconds = 60;

// Runs fn in a child process that is killed after kWatchdogSeconds, so a
// call that blocks fails the test instead of hanging it. Returns fn's result,
// or "hung" / "crashed".
std::string bounded(const std::function<std::string()>& fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "no pipe";
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(kWatchdogSeconds);
        std::string r = fn();
        ssize_t w = write(fds[1], r.data(), r.size());
        _exit(w == static_cast<ssize_t>(r.size()) ? 0 : 3);
    }
    close(fds[1]);
    std::string r;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return "no child";
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "hung" : "crashed";
    return r;
}

enum Kind { FIFO, FIFO_HELD_OPEN, LINK_TO_FIFO, DEV_ZERO, DEV_NULL, FOLDER, LINK_LOOP };
enum Reader { CONFIG_BOX, SETTINGS, FILE_TO_BUFF, MACHINE_ID, LOG_INIT };

struct Hostile {
    const char* name;
    Kind kind;
    Reader reader;
    const char* expected;
};

void PrintTo(const Hostile& c, std::ostream* os) { *os << c.name; }

// Puts the thing of kind k at dir/x (devices are used where they are) and
// returns the path to hand to the reader. held: a descriptor that keeps both
// ends of the FIFO open for the length of the test, or -1.
std::string make_kind(const TmpDir& dir, Kind k, int& held)
{
    held = -1;
    std::string p = dir.file("x");
    switch (k) {
    case FIFO:
        mkfifo(p.c_str(), 0644);
        return p;
    case FIFO_HELD_OPEN:
        // A writer that never writes and never closes.
        mkfifo(p.c_str(), 0644);
        held = open(p.c_str(), O_RDWR | O_NONBLOCK);
        return p;
    case LINK_TO_FIFO:
        mkfifo(dir.file("pipe").c_str(), 0644);
        symlink("pipe", p.c_str());
        return p;
    case DEV_ZERO:
        return "/dev/zero";
    case DEV_NULL:
        return "/dev/null";
    case FOLDER:
        mkdir(p.c_str(), 0755);
        return p;
    case LINK_LOOP:
        symlink("y", p.c_str());
        symlink("x", dir.file("y").c_str());
        return p;
    }
    return p;
}

std::string read_with(Reader r, const std::string& path)
{
    switch (r) {
    case CONFIG_BOX:
    {
        CConfigBox box;
        bool ok = box.load(path);
        return ok ? "loaded" : box.is_open() ? "refused but open" : "refused";
    }
    case SETTINGS:
    {
        CONFIG_INFO info;
        std::memset(&info, 0x5A, sizeof info);
        int rc = read_config_info(path.c_str(), &info);
        unsigned char first = reinterpret_cast<unsigned char*>(&info)[0];
        return rc == -1 && first == 0x5A ? "refused" : "rc " + std::to_string(rc);
    }
    case FILE_TO_BUFF:
    {
        char buf[64];
        return std::to_string(read_file_to_buff(path.c_str(), sizeof buf, buf));
    }
    case MACHINE_ID:
    {
        std::memset(g_szCID, 0x11, sizeof g_szCID);
        ReadCID(path.c_str());
        for (char c : g_szCID)
            if (c != 0x11)
                return "changed";
        return "unchanged";
    }
    case LOG_INIT:
    {
        set_log_file_name(path.c_str());
        set_log_max_row(100);
        testing::internal::CaptureStdout();
        int rc = log_init();
        log_close();
        testing::internal::GetCapturedStdout();
        return rc == 0 ? "opened" : "refused";
    }
    }
    return "";
}

} // namespace

class HostilePath : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostilePath, ReadersNeitherHangNorReadWhatIsNotAFile)
{
    const Hostile& c = GetParam();
    TmpDir dir;
    int held = -1;
    std::string path = make_kind(dir, c.kind, held);
    if (c.kind == FIFO_HELD_OPEN) {
        ASSERT_GE(held, 0);
    }
    std::string got = bounded([&] { return read_with(c.reader, path); });
    if (held >= 0)
        close(held);
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostilePath,
    ::testing::Values(
        Hostile{"box_fifo", FIFO, CONFIG_BOX, "refused"},
        Hostile{"box_fifo_held_open", FIFO_HELD_OPEN, CONFIG_BOX, "refused"},
        Hostile{"box_link_to_fifo", LINK_TO_FIFO, CONFIG_BOX, "refused"},
        Hostile{"box_dev_zero", DEV_ZERO, CONFIG_BOX, "refused"},
        Hostile{"box_folder", FOLDER, CONFIG_BOX, "refused"},
        Hostile{"box_link_loop", LINK_LOOP, CONFIG_BOX, "refused"},
        Hostile{"settings_fifo", FIFO, SETTINGS, "refused"},
        Hostile{"settings_fifo_held_open", FIFO_HELD_OPEN, SETTINGS, "refused"},
        Hostile{"settings_dev_zero", DEV_ZERO, SETTINGS, "refused"},
        Hostile{"buff_fifo", FIFO, FILE_TO_BUFF, "-1"},
        Hostile{"buff_fifo_held_open", FIFO_HELD_OPEN, FILE_TO_BUFF, "-1"},
        Hostile{"buff_link_loop", LINK_LOOP, FILE_TO_BUFF, "-1"},
        Hostile{"cid_fifo", FIFO, MACHINE_ID, "unchanged"},
        Hostile{"cid_fifo_held_open", FIFO_HELD_OPEN, MACHINE_ID, "unchanged"},
        Hostile{"cid_dev_zero", DEV_ZERO, MACHINE_ID, "unchanged"},
        Hostile{"cid_folder", FOLDER, MACHINE_ID, "unchanged"},
        Hostile{"log_fifo", FIFO, LOG_INIT, "refused"},
        Hostile{"log_fifo_held_open", FIFO_HELD_OPEN, LOG_INIT, "refused"},
        Hostile{"log_link_to_fifo", LINK_TO_FIFO, LOG_INIT, "refused"},
        Hostile{"log_folder", FOLDER, LOG_INIT, "refused"},
        Hostile{"log_link_loop", LINK_LOOP, LOG_INIT, "refused"},
        // A device stays a valid place for the log.
        Hostile{"log_dev_null", DEV_NULL, LOG_INIT, "opened"}),
    CaseName());

// The writer that every save goes through: whatever stands at the path, the
// result is either the whole new file or the old state untouched, and no
// temporary file is left behind.
TEST(ReplaceFileHostile, LinksFifosAndLoops)
{
    TmpDir dir;
    std::string p = dir.file("f");

    // A link whose target does not exist yet: the target is created, the
    // link stays a link.
    ASSERT_EQ(symlink("target", p.c_str()), 0);
    ASSERT_TRUE(replace_file_contents(p.c_str(), "abc", 3));
    struct stat st;
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(dir.file("target")), "abc");
    // A chain of links, one of them absolute, ending in a missing file.
    ASSERT_EQ(symlink(dir.file("end").c_str(), dir.file("mid").c_str()), 0);
    ASSERT_EQ(symlink("mid", dir.file("start").c_str()), 0);
    ASSERT_TRUE(replace_file_contents(dir.file("start").c_str(), "xy", 2));
    EXPECT_EQ(read_file(dir.file("end")), "xy");
    ASSERT_EQ(lstat(dir.file("mid").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A loop of links is refused and both links stay.
    ASSERT_EQ(symlink("loop2", dir.file("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", dir.file("loop2").c_str()), 0);
    std::string r = bounded([&] {
        return std::string(replace_file_contents(dir.file("loop1").c_str(), "z", 1) ? "written"
                                                                                  : "refused");
    });
    EXPECT_EQ(r, "refused");
    char buf[PATH_MAX];
    ssize_t n = readlink(dir.file("loop1").c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "loop2");

    // A FIFO, or a link to one, is refused without waiting for a reader.
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("pipe", dir.file("to-pipe").c_str()), 0);
    for (const char* name : {"pipe", "to-pipe"}) {
        std::string path = dir.file(name);
        r = bounded([&] {
            return std::string(replace_file_contents(path.c_str(), "z", 1) ? "written" : "refused");
        });
        EXPECT_EQ(r, "refused") << name;
    }
    ASSERT_EQ(stat(dir.file("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"end", "f", "loop1", "loop2", "mid",
                                                              "pipe", "start", "target",
                                                              "to-pipe"}));
}

// A config file replaced by a FIFO between load and save: the save is
// refused, the object stays modified, nothing blocks.
TEST(ConfigBoxHostile, SaveOverAFifoIsRefused)
{
    TmpDir dir;
    std::string path = dir.file("config.ini");
    write_file(path, "Result=1\n");
    std::string r = bounded([&] {
        CConfigBox box;
        if (!box.load(path))
            return std::string("load failed");
        unlink(path.c_str());
        mkfifo(path.c_str(), 0644);
        box.set_property("Result", "2");
        if (box.save())
            return std::string("saved");
        unlink(path.c_str());
        // Still modified: a save to a plain file again writes the change.
        write_file(path, "");
        return std::string(box.save() ? "refused, then saved" : "refused twice");
    });
    EXPECT_EQ(r, "refused, then saved");
    EXPECT_EQ(read_file(path), "Result=2\n");
}

// Binary bytes, NUL bytes inside keys and values, a line of several MiB and
// no final line end all survive a load, an edit and a save byte for byte.
TEST(ConfigBoxHostile, BinaryNulAndHugeLinesRoundTrip)
{
    TmpDir dir;
    std::string path = dir.file("config.ini");
    std::string all_bytes;
    for (int b = 0; b < 256; ++b)
        if (b != '\n')
            all_bytes += static_cast<char>(b);
    const std::string nul_key("k\0ey", 4), nul_value("v\0al\0", 5);
    const std::string huge(6 << 20, 'h');
    const std::string original = all_bytes + "\n" + nul_key + "=" + nul_value + "\nbig=" + huge +
                                 "\nResult=1\n" + std::string("tail\0end", 8);
    write_file(path, original);

    CConfigBox box;
    ASSERT_TRUE(box.load(path));
    EXPECT_EQ(box.get_property(nul_key, "none"), nul_value); // NUL is not a blank
    EXPECT_EQ(box.get_property("k", "none"), "none");
    EXPECT_EQ(box.get_property("big", "").size(), huge.size());

    box.set_property("Result", std::string("2\0x", 3));
    ASSERT_TRUE(box.save());
    std::string expected = original;
    size_t at = expected.find("Result=1");
    expected.replace(at, 8, std::string("Result=2\0x", 10));
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(dir_names(dir.path()), std::vector<std::string>{"config.ini"});
}

// Each length from 0 to 300, against the C library's "%02X".
TEST(GetHexHostile, EveryLengthMatchesPrintf)
{
    unsigned char data[300];
    for (size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<unsigned char>(i * 37 + 11);
    std::string want;
    for (int len = 0; len <= 300; ++len) {
        ASSERT_EQ(getHex(data, len), want) << "len " << len;
        if (len < 300) {
            char two[3];
            std::snprintf(two, sizeof two, "%02X", data[len]);
            want += two;
        }
    }
}
