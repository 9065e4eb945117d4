// Injected I/O errors for the end-to-end tests, preloaded into one program:
//
//   TARN_FAULT_READ=PATTERN[:PATTERN...]   read and pread on a descriptor
//       whose file matches fail with EIO once its position (the offset, for
//       pread) has reached TARN_FAULT_READ_AFTER bytes (default 0); a read
//       that starts before that point returns only the bytes before it. A
//       stream opened for reading on such a file (fopen, fdopen) reads
//       through the same rule, so buffered C reads fail as well.
//   TARN_FAULT_FSYNC=PATTERN[:PATTERN...]  fsync and fdatasync on a
//       descriptor whose file matches fail with EIO.
//
// A descriptor's file is the name /proc/self/fd shows for it (the folder
// links resolved, e.g. /proc/1234/net/dev for /proc/net/dev); patterns are
// fnmatch patterns without FNM_PATHNAME, so "*" also matches "/".
// Everything else passes straight to the kernel.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static int fd_matches(int fd, const char* var)
{
    const char* list = getenv(var);
    if (list == NULL || *list == '\0' || fd < 0)
        return 0;
    char link[64], name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    long n = syscall(SYS_readlink, link, name, sizeof name - 1);
    if (n <= 0)
        return 0;
    name[n] = '\0';
    char pattern[4096];
    while (*list != '\0') {
        size_t len = strcspn(list, ":");
        if (len > 0 && len < sizeof pattern) {
            memcpy(pattern, list, len);
            pattern[len] = '\0';
            if (fnmatch(pattern, name, 0) == 0)
                return 1;
        }
        list += len;
        if (*list == ':')
            ++list;
    }
    return 0;
}

static long long read_limit(void)
{
    const char* v = getenv("TARN_FAULT_READ_AFTER");
    return v != NULL ? atoll(v) : 0;
}

// How many of count bytes at position pos may be read; -1 (errno EIO) when
// none may.
static long long allowed(int fd, long long pos, size_t count)
{
    if (!fd_matches(fd, "TARN_FAULT_READ"))
        return (long long)count;
    long long limit = read_limit();
    if (pos < 0 || pos >= limit) {
        errno = EIO;
        return -1;
    }
    return (long long)count < limit - pos ? (long long)count : limit - pos;
}

ssize_t read(int fd, void* buf, size_t count)
{
    long long n = allowed(fd, (long long)syscall(SYS_lseek, fd, 0L, SEEK_CUR), count);
    if (n < 0)
        return -1;
    return (ssize_t)syscall(SYS_read, fd, buf, (size_t)n);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    long long n = allowed(fd, (long long)offset, count);
    if (n < 0)
        return -1;
    return (ssize_t)syscall(SYS_pread64, fd, buf, (size_t)n, offset);
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset)
{
    return pread(fd, buf, count, offset);
}

int fsync(int fd)
{
    if (fd_matches(fd, "TARN_FAULT_FSYNC")) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fsync, fd);
}

int fdatasync(int fd)
{
    if (fd_matches(fd, "TARN_FAULT_FSYNC")) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fdatasync, fd);
}

// Streams: the C library reads a stream's file without calling read, so a
// stream opened for reading on a file that matches is remade as a stream of
// its own whose reads go through read() above.
static ssize_t cookie_read(void* c, char* buf, size_t size)
{
    return read((int)(long)c, buf, size);
}

static int cookie_seek(void* c, off64_t* pos, int whence)
{
    long r = syscall(SYS_lseek, (int)(long)c, (long)*pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}

static int cookie_close(void* c)
{
    return (int)syscall(SYS_close, (int)(long)c);
}

static int read_only(const char* mode)
{
    return mode != NULL && mode[0] == 'r' && strchr(mode, '+') == NULL;
}

static FILE* faulty_stream(int fd, const char* mode)
{
    cookie_io_functions_t io = {cookie_read, NULL, cookie_seek, cookie_close};
    return fopencookie((void*)(long)fd, mode, io);
}

FILE* fdopen(int fd, const char* mode)
{
    if (read_only(mode) && fd_matches(fd, "TARN_FAULT_READ"))
        return faulty_stream(fd, mode);
    FILE* (*real)(int, const char*) = (FILE * (*)(int, const char*)) dlsym(RTLD_NEXT, "fdopen");
    return real != NULL ? real(fd, mode) : NULL;
}

static FILE* open_stream(const char* name, const char* path, const char* mode)
{
    FILE* (*real)(const char*, const char*) = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, name);
    if (real == NULL)
        return NULL;
    FILE* fp = real(path, mode);
    if (fp == NULL || !read_only(mode) || !fd_matches(fileno(fp), "TARN_FAULT_READ"))
        return fp;
    int fd = dup(fileno(fp));
    fclose(fp);
    return fd < 0 ? NULL : faulty_stream(fd, mode);
}

FILE* fopen(const char* path, const char* mode)
{
    return open_stream("fopen", path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    return open_stream("fopen64", path, mode);
}
