#include "config/image_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool write_all(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0)
            errno = EIO;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Opens the image folder for an installation. It must be a real folder
// (not a link) of the running user, and nobody else may write into it:
// whoever can write there can swap the installed image, so write access of
// the group and of others is taken away (older set-ups made the folder
// world-writable). -1 when it is not such a folder or cannot be made one.
int open_image_dir(const std::string& dir)
{
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0)
        return -1;
    struct stat st;
    const mode_t others_write = S_IWGRP | S_IWOTH;
    if (fstat(dfd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & others_write) != 0 && fchmod(dfd, st.st_mode & 07777 & ~others_write) != 0)) {
        close(dfd);
        return -1;
    }
    return dfd;
}

} // namespace

int open_regular_image(const char* path, off_t* size)
{
    return open_regular_image_at(AT_FDCWD, path, size);
}

int open_regular_image_at(int dir_fd, const char* path, off_t* size)
{
    errno = 0;
    if (path == nullptr || *path == '\0' || size == nullptr)
        return -1;
    // The name is taken once, without following a link at it, as a path
    // descriptor: no driver's open runs and a FIFO is not waited for, even
    // when a folder above it is swapped for a link meanwhile. Only a regular
    // file is then opened for reading, through that descriptor (the kernel
    // reopens the very file it holds, whatever its name leads to by now).
    int pfd = openat(dir_fd, path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0)
        return -1;
    struct stat st;
    if (fstat(pfd, &st) != 0) {
        const int err = errno;
        close(pfd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(pfd);
        errno = 0;
        return -1;
    }
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", pfd);
    int fd = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    // Without /proc the file cannot be reopened: a failure, never "no file".
    const int open_err = errno == ENOENT ? EACCES : errno;
    close(pfd);
    if (fd < 0) {
        errno = open_err;
        return -1;
    }
    const bool seen = fstat(fd, &st) == 0;
    if (!seen || !S_ISREG(st.st_mode) || st.st_size < IMAGE_MIN_SIZE || st.st_size > IMAGE_MAX_SIZE) {
        const int err = seen ? 0 : errno;
        close(fd);
        errno = err;
        return -1;
    }
    *size = st.st_size;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

CopyResult copy_file_fd(int src_fd, off_t size, int dst_fd)
{
    if (size < 0)
        return CopyResult::SourceRefused;
    std::vector<char> buf(64 * 1024);
    off_t off = 0;
    while (off < size) {
        const size_t want = static_cast<size_t>(std::min<off_t>(size - off, static_cast<off_t>(buf.size())));
        ssize_t n = pread(src_fd, buf.data(), want, off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return CopyResult::ReadFailed;
        if (n == 0)
            return CopyResult::SourceRefused; // ended early
        if (!write_all(dst_fd, buf.data(), static_cast<size_t>(n)))
            return CopyResult::WriteFailed;
        off += n;
    }
    // A file that grew meanwhile is not the file that was checked.
    struct stat st;
    if (fstat(src_fd, &st) != 0 || st.st_size != size)
        return CopyResult::SourceRefused;
    return CopyResult::Ok;
}

bool install_image_fd(int src_fd, off_t size, const std::string& dir, const std::string& name)
{
    if (src_fd < 0 || dir.empty() || name.empty() || name.find('/') != std::string::npos)
        return false;
    int dfd = open_image_dir(dir);
    if (dfd < 0)
        return false;
    std::string tmp_path = dir + "/." + name + ".XXXXXX";
    std::vector<char> tmpl(tmp_path.begin(), tmp_path.end());
    tmpl.push_back('\0');
    // mkostemp creates the file exclusively (never through a link), mode 0600.
    int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        close(dfd);
        return false;
    }
    std::string tmp_name(tmpl.data() + dir.size() + 1);
    // The running user owns the file, also in a folder that hands its group
    // down; nobody else may read it: the user PIN is the fixed public one,
    // so a readable image lends the host's key to every local user.
    bool ok = fchown(fd, geteuid(), getegid()) == 0 && fchmod(fd, 0600) == 0 &&
              copy_file_fd(src_fd, size, fd) == CopyResult::Ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(dfd, tmp_name.c_str(), dfd, name.c_str()) == 0;
    if (ok)
        fsync(dfd);
    else
        unlinkat(dfd, tmp_name.c_str(), 0);
    close(dfd);
    return ok;
}

bool install_image_file(const char* src, const std::string& dir, const std::string& name)
{
    off_t size = 0;
    int fd = open_regular_image(src, &size);
    if (fd < 0)
        return false;
    bool ok = install_image_fd(fd, size, dir, name);
    close(fd);
    return ok;
}
