// The definitions of pread, readdir, open and openat in the tool's test program
// take the place of the C library's for the code linked into it; unarmed
// they pass every call through.
#undef _FORTIFY_SOURCE
#include "io_faults.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace {

struct Armed {
    std::atomic<bool> on{false};
    IoFault::Kind kind = IoFault::Open;
    dev_t dev = 0;
    ino_t ino = 0;
    int err = 0;
    int after = 0;
    std::atomic<int> hits{0};
    std::atomic<int> given{0}; // entries of the armed folder read since arming
};

Armed g_fault;

template <typename Fn> Fn real(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The armed fault of this kind applies to the file open at fd.
bool armed_for(IoFault::Kind kind, int fd)
{
    if (!g_fault.on.load() || g_fault.kind != kind || fd < 0)
        return false;
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == g_fault.dev && st.st_ino == g_fault.ino;
}

} // namespace

IoFault::IoFault(Kind kind, const std::string& path, int err, int after)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    g_fault.kind = kind;
    g_fault.dev = st.st_dev;
    g_fault.ino = st.st_ino;
    g_fault.err = err;
    g_fault.after = after;
    g_fault.hits.store(0);
    g_fault.given.store(0);
    g_fault.on.store(true);
}

IoFault::~IoFault() { g_fault.on.store(false); }

int IoFault::hits() const { return g_fault.hits.load(); }

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t off)
{
    static auto next = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    if (armed_for(IoFault::Read, fd)) {
        g_fault.hits.fetch_add(1);
        errno = g_fault.err;
        return -1;
    }
    return next(fd, buf, n, off);
}

extern "C" struct dirent* readdir(DIR* dp)
{
    static auto next = real<struct dirent* (*)(DIR*)>("readdir");
    if (armed_for(IoFault::Listing, dirfd(dp))) {
        if (g_fault.given.load() >= g_fault.after) {
            g_fault.hits.fetch_add(1);
            errno = g_fault.err;
            return nullptr;
        }
        g_fault.given.fetch_add(1);
    }
    return next(dp);
}

namespace {

mode_t mode_argument(int flags, va_list ap)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

int opened(int fd)
{
    if (!armed_for(IoFault::Open, fd))
        return fd;
    g_fault.hits.fetch_add(1);
    close(fd);
    errno = g_fault.err;
    return -1;
}

} // namespace

extern "C" int openat(int dir_fd, const char* path, int flags, ...)
{
    static auto next = real<int (*)(int, const char*, int, ...)>("openat");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return opened(next(dir_fd, path, flags, mode));
}

extern "C" int open(const char* path, int flags, ...)
{
    static auto next = real<int (*)(const char*, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return opened(next(path, flags, mode));
}
