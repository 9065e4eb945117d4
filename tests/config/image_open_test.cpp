// open_regular_image opens its path once, never through a link and never
// waiting, and keeps the descriptor only for a regular file. What it opens
// is watched with inotify on a FIFO that stands for a device (opening either
// can act on it): a FIFO named through a link must never be opened. A name
// that is looked at first and opened after can be swapped in between: here
// the swap is made deterministic by a stat of this program that puts a link
// to the FIFO in place right after any look at the image's name by stat,
// or a folder above it for a link to a folder holding the FIFO.
#include "common/test_util.h"
#include "config/image_install.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

// Runs after every stat of this program while set.
std::function<void(const char* path)> g_after_stat;

} // namespace

// Every stat and fstatat of the program, the library's included: the real
// one (the system call), then the hook.
extern "C" int fstatat(int dir_fd, const char* __restrict path, struct stat* __restrict st, int flags) noexcept
{
    int rc = static_cast<int>(syscall(SYS_newfstatat, dir_fd, path, st, flags));
    if (g_after_stat) {
        int e = errno;
        g_after_stat(path);
        errno = e;
    }
    return rc;
}

extern "C" int stat(const char* path, struct stat* st) noexcept
{
    return fstatat(AT_FDCWD, path, st, 0);
}

namespace {

// Counts the opens of one file from the moment it is made.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path)
    {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0)
            inotify_add_watch(fd_, path.c_str(), IN_OPEN);
    }
    ~OpenWatch()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Opens seen since the last call.
    int opens()
    {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        ssize_t got;
        while ((got = read(fd_, buf, sizeof buf)) > 0)
            for (char* p = buf; p < buf + got; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                n += (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0;
        return n;
    }

private:
    int fd_ = -1;
};

class OpenImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = tmp.file("host.vkd");
        write_file(image, std::string(static_cast<size_t>(IMAGE_MIN_SIZE), 'i'));
        fifo = tmp.file("device");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }
    void TearDown() override { g_after_stat = nullptr; }

    // The result of open_regular_image on path (the descriptor closed).
    bool opens(const std::string& path)
    {
        off_t size = -1;
        int fd = open_regular_image(path.c_str(), &size);
        if (fd < 0)
            return false;
        EXPECT_EQ(size, IMAGE_MIN_SIZE);
        close(fd);
        return true;
    }

    TmpDir tmp;
    std::string image, fifo;
};

TEST_F(OpenImage, OnlyARegularFileNamedItselfIsOpened)
{
    ASSERT_EQ(symlink(fifo.c_str(), tmp.file("fifo-link.vkd").c_str()), 0);
    ASSERT_EQ(symlink(image.c_str(), tmp.file("image-link.vkd").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", tmp.file("zero-link.vkd").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", tmp.file("dangling.vkd").c_str()), 0);
    ASSERT_EQ(mkdir(tmp.file("folder.vkd").c_str(), 0755), 0);
    OpenWatch watch(fifo);
    ASSERT_TRUE(watch.ok());
    const struct {
        const char* name;
        std::string path;
        bool opened;
        int fifo_opens;   // -1: not looked at
    } cases[] = {
        {"regular file", image, true, 0},
        {"link to a FIFO: refused, the FIFO never opened", tmp.file("fifo-link.vkd"), false, 0},
        {"link to a regular file: refused as a link", tmp.file("image-link.vkd"), false, 0},
        {"link to a device", tmp.file("zero-link.vkd"), false, 0},
        {"dangling link", tmp.file("dangling.vkd"), false, 0},
        {"folder", tmp.file("folder.vkd"), false, 0},
        // Refused without waiting for a writer.
        {"FIFO without a writer", fifo, false, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(opens(c.path), c.opened) << c.name;
        const int seen = watch.opens();
        if (c.fifo_opens >= 0) {
            EXPECT_EQ(seen, c.fifo_opens) << c.name;
        }
    }
}

// The image's name becomes a link to the FIFO right after it is looked at
// by stat: a check by name and an open after it would open the FIFO.
TEST_F(OpenImage, ALinkSwappedInAfterALookAtTheNameIsNeverFollowed)
{
    const std::string link = tmp.file("swap");
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    bool swapped = false;
    g_after_stat = [&](const char* path) {
        if (!swapped && image == path)
            swapped = std::rename(link.c_str(), image.c_str()) == 0;
    };
    OpenWatch watch(fifo);
    ASSERT_TRUE(watch.ok());
    const bool opened = opens(image);
    g_after_stat = nullptr;
    EXPECT_EQ(watch.opens(), 0) << "the FIFO behind the swapped-in link was opened";
    struct stat st;
    ASSERT_EQ(lstat(image.c_str(), &st), 0);
    if (swapped) {
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_FALSE(opened);
    } else {
        EXPECT_TRUE(S_ISREG(st.st_mode)) << "no look at the name: the file opened is the one named";
        EXPECT_TRUE(opened);
    }
}

// A folder above the name swapped for a link after a look at the name: the
// open that follows no link at the name itself still walks through links
// above it, so only a path descriptor may be taken before the file is known
// to be regular.
TEST_F(OpenImage, AFolderSwappedForALinkAfterALookIsNeverOpenedThrough)
{
    const std::string real = tmp.file("real"), devices = tmp.file("devices");
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(devices.c_str(), 0700), 0);
    write_file(real + "/host.vkd", std::string(static_cast<size_t>(IMAGE_MIN_SIZE), 'i'));
    const std::string device = devices + "/host.vkd";
    ASSERT_EQ(mkfifo(device.c_str(), 0600), 0);
    const std::string via = tmp.file("via"), swap = tmp.file("swap");
    ASSERT_EQ(symlink(real.c_str(), via.c_str()), 0);
    ASSERT_EQ(symlink(devices.c_str(), swap.c_str()), 0);
    const std::string name = via + "/host.vkd";
    bool swapped = false;
    g_after_stat = [&](const char* path) {
        if (!swapped && name == path)
            swapped = std::rename(swap.c_str(), via.c_str()) == 0;
    };
    OpenWatch watch(device);
    ASSERT_TRUE(watch.ok());
    const bool opened = opens(name);
    g_after_stat = nullptr;
    EXPECT_EQ(watch.opens(), 0) << "the FIFO behind the swapped-in folder link was opened";
    if (!swapped) {
        EXPECT_TRUE(opened) << "no look at the name: the file opened is the one named";
    }
}

} // namespace
