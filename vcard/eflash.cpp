#include "vcard/eflash.h"

#include "smcrypto/pwrite_all.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {

char m_vFlashFile[FLASH_PATH_MAX];

}  // extern "C"

namespace {

// The bound image is held open from its binding until another is bound: its
// inode cannot be freed while the card is bound to it, so no other file can
// ever carry its device and inode numbers, and "same device and inode" does
// mean "the file that was bound". s_held is -1 while the bound path named no
// regular file; every access then fails.
int s_held = -1;
uint64_t s_dev = 0, s_ino = 0;

// Opens the bound image for one access. The name is not trusted: it is
// opened without following a link and without waiting (a FIFO put in its
// place opens at once), and the access goes on only when what opened is
// the very file that the card holds. -1 otherwise, as for an image that
// cannot be opened.
int open_bound(int access)
{
    if (s_held < 0)
        return -1;
    int fd = open(m_vFlashFile, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_dev) != s_dev ||
        static_cast<uint64_t>(st.st_ino) != s_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes n bytes of erased flash (0xFF) at offset.
bool erase_at(int fd, off_t offset, uint64_t n)
{
    unsigned char erased[64];
    std::memset(erased, 0xFF, sizeof erased);
    bool ok = true;
    while (ok && n > 0) {
        size_t k = n < sizeof erased ? static_cast<size_t>(n) : sizeof erased;
        ok = pwrite_all(fd, erased, k, offset);
        offset += static_cast<off_t>(k);
        n -= k;
    }
    return ok;
}

}  // namespace

extern "C" {

int SetDataFileFd(const char* path, int fd)
{
    struct stat st;
    const bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd >= 0 && !regular) {
        close(fd);
        fd = -1;
    }
    size_t n = path != nullptr ? strnlen(path, FLASH_PATH_MAX) : FLASH_PATH_MAX;
    if (n >= FLASH_PATH_MAX) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // The held file is still allocated, so a file with its numbers is that
    // file; a file renamed over the bound path is another image.
    const uint64_t dev = regular ? static_cast<uint64_t>(st.st_dev) : 0;
    const uint64_t ino = regular ? static_cast<uint64_t>(st.st_ino) : 0;
    if (std::strcmp(path, m_vFlashFile) == 0 && regular == (s_held >= 0) && dev == s_dev &&
        ino == s_ino) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    if (s_held >= 0)
        close(s_held);
    std::memcpy(m_vFlashFile, path, n + 1);
    s_held = fd;
    s_dev = dev;
    s_ino = ino;
    return 1;
}

int SetDataFile(const char* path)
{
    // The name's own entry: a link is bound as a path that names no image,
    // which no access opens.
    int fd = path != nullptr ? open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    return SetDataFileFd(path, fd);
}

int Init_Flash(void)
{
    int fd = open_bound(O_WRONLY);
    if (fd < 0)
        return -1;
    bool ok = erase_at(fd, 0, FLASH_FS_SIZE);
    if (close(fd) != 0)
        ok = false;
    return ok ? 0 : -1;
}

int FlashRead(uint32_t offset, void* buffer, uint32_t n)
{
    unsigned char* out = static_cast<unsigned char*>(buffer);
    int fd = open_bound(O_RDONLY);
    if (fd < 0) {
        std::memset(out, 0xFF, n);
        return -1;
    }
    // One access reads the few bytes it needs, nothing more. A short read
    // is continued; only the end of the image (a read of 0 bytes) stops it.
    size_t got = 0;
    bool failed = false;
    while (got < n) {
        ssize_t r = pread(fd, out + got, n - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            failed = true;
            break;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    // A read that failed is a failed flash access: its bytes are unknown,
    // never erased flash, and none of what was read is handed out.
    if (failed) {
        std::memset(out, 0xFF, n);
        return -1;
    }
    // What lies beyond the end of the image reads as erased flash.
    if (got < n)
        std::memset(out + got, 0xFF, n - got);
    return 0;
}

int FlashWrite(uint32_t offset, const void* buffer, uint32_t n)
{
    int fd = open_bound(O_WRONLY);
    if (fd < 0)
        return -1;
    // A write behind the end of the image would leave a hole that reads as
    // zeros, where erased flash reads 0xFF: the bytes in between are erased
    // first, so that they read after the write as they did before it.
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && st.st_size < static_cast<off_t>(offset))
        ok = erase_at(fd, st.st_size, static_cast<uint64_t>(offset) - static_cast<uint64_t>(st.st_size));
    ok = ok && pwrite_all(fd, buffer, n, static_cast<off_t>(offset));
    if (close(fd) != 0)
        ok = false;
    return ok ? 0 : -1;
}

}  // extern "C"
