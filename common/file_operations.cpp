#include "common/file_operations.h"

#include "common/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Formats one message into the module's 256-byte buffer and logs it at level 2.
__attribute__((format(printf, 1, 2))) void log_error(const char* fmt, ...)
{
    char msg[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, 255, fmt, ap);
    va_end(ap);
    log_string(LOG_ERROR, msg);
}

// "[file function line] " in front of a message; func is the public operation.
#define LOG_FAIL_IN(func, fmt, ...) \
    log_error("[%s %s %d] " fmt, LOG_SOURCE_FILE, func, __LINE__, ##__VA_ARGS__)
#define LOG_FAIL(fmt, ...) LOG_FAIL_IN(__func__, fmt, ##__VA_ARGS__)

bool seek_to(const char* func, FILE* fp, long long offset, int whence)
{
    if (fseeko(fp, static_cast<off_t>(offset), whence) != 0) {
        int e = errno;
        LOG_FAIL_IN(func, "fseek offset %lld err:%d, %s.\n", offset, e, std::strerror(e));
        return false;
    }
    return true;
}

// The positioned read and write: what names the direction in the message,
// transfer moves the bytes and returns how many.
template <typename Transfer>
int transfer_at(const char* func, const char* what, FILE* fp, long long offset, unsigned long len,
                const void* data, bool ignore_offset, unsigned long& done, Transfer transfer)
{
    done = 0;
    if (fp == nullptr) {
        LOG_FAIL_IN(func, "fp is NULL.\n");
        return -1;
    }
    if (data == nullptr && len > 0) {
        LOG_FAIL_IN(func, "data is NULL.\n");
        return -1;
    }
    if (!ignore_offset && !seek_to(func, fp, offset, SEEK_SET))
        return 1;
    errno = 0;
    done = len > 0 ? transfer() : 0;
    if (done == 0) {
        int e = errno;
        LOG_FAIL_IN(func, "%s file err:%d, %s.\n", what, e, std::strerror(e));
        return 1;
    }
    return 0;
}

// The file a write through path lands on: path itself, or the end of its
// chain of symbolic links, whether that exists or not. False for a loop, a
// chain too long, or a path whose status cannot be read.
bool write_target(const char* path, std::string& target)
{
    std::string cur = path;
    for (int hops = 0; hops <= 40; ++hops) {
        if (char* real = realpath(cur.c_str(), nullptr)) {
            target = real;
            std::free(real);
            return true;
        }
        struct stat ls;
        if (lstat(cur.c_str(), &ls) != 0) {
            if (errno != ENOENT)
                return false;
            target = cur; // a new file
            return true;
        }
        if (!S_ISLNK(ls.st_mode)) {
            target = cur;
            return true;
        }
        // A dangling link: go on with what it names, relative to its folder.
        char buf[PATH_MAX];
        ssize_t n = readlink(cur.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            return false;
        std::string next(buf, static_cast<size_t>(n));
        size_t slash = cur.find_last_of('/');
        if (next[0] != '/' && slash != std::string::npos)
            next = cur.substr(0, slash + 1) + next;
        cur = next;
    }
    return false;
}

// Folder and name of a path ("." for a bare name).
void split_path(const std::string& path, std::string& dir, std::string& base)
{
    size_t slash = path.find_last_of('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Creates target's temporary file (close-on-exec) and holds an exclusive
// flock on it until the descriptor is closed, after the rename: a lock that
// can be taken on a temporary file thus means that the save which made it
// has died. A save that lost its new file to another save's clean-up in the
// moment between creating and locking it (the name is gone or names another
// file once the lock is held) starts over with a new name. -1 on failure.
int create_locked_temporary(const std::string& target, std::string& tmp)
{
    std::string dir, base;
    split_path(target, dir, base);
    for (int attempt = 0; attempt < 8; ++attempt) {
        tmp = dir + "/" + SAVE_TEMPORARY_PREFIX + base + SAVE_TEMPORARY_MARKER + "XXXXXX";
        int fd = mkostemp(&tmp[0], O_CLOEXEC);
        if (fd < 0)
            return -1;
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        // Without flock (a file system that has none) nobody can take the
        // lock either, so nobody removes this file: go on unlocked.
        struct stat mine, named;
        if (fstat(fd, &mine) == 0 && lstat(tmp.c_str(), &named) == 0 && same_file(mine, named))
            return fd;
        close(fd);   // the name is not this file's any more: leave it alone
    }
    return -1;
}

// Removes the temporary files that killed saves of target left in its folder:
// regular files (never links, folders or other kinds) of this process's
// user, named by the private pattern of target's temporaries, on which
// nobody holds the save's lock. A save in progress holds that lock from just
// after it creates its file until the rename, whichever program it runs in
// and whether or not it holds the configuration lock, so its file is never
// taken; and no name that a person gives a file (a backup beside it, say)
// has the pattern.
void remove_dead_temporaries(const std::string& target)
{
    std::string dir, base;
    split_path(target, dir, base);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent* e = readdir(d)) {
        if (!is_save_temporary_name(e->d_name, base.c_str()))
            continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat before, opened, after;
        if (lstat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode) ||
            before.st_uid != geteuid())
            continue;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Removed only while the lock is held here and the name still names
        // the file that was locked, so a save's renamed file or a newer
        // temporary under a reused name is never removed.
        if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && same_file(before, opened) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &after) == 0 &&
            same_file(opened, after))
            unlink(path.c_str());
        close(fd);
    }
    closedir(d);
}

} // namespace

bool is_save_temporary_name(const char* name, const char* file_name)
{
    if (name == nullptr || file_name == nullptr)
        return false;
    const size_t np = std::strlen(SAVE_TEMPORARY_PREFIX), nb = std::strlen(file_name),
                 nm = std::strlen(SAVE_TEMPORARY_MARKER);
    const size_t n = std::strlen(name);
    if (nb == 0 || n != np + nb + nm + 6 || std::strncmp(name, SAVE_TEMPORARY_PREFIX, np) != 0 ||
        std::strncmp(name + np, file_name, nb) != 0 ||
        std::strncmp(name + np + nb, SAVE_TEMPORARY_MARKER, nm) != 0)
        return false;
    for (size_t i = np + nb + nm; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

int open_regular_fd(const char* file_path)
{
    if (file_path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Not blocking: a FIFO must not hold the open until some writer comes.
    int fd = open(file_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    bool got = fstat(fd, &st) == 0;
    if (!got || !S_ISREG(st.st_mode)) {
        int e = !got ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = e;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

long read_fd_up_to(int fd, char* buf, size_t cap)
{
    size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

int read_fd_whole(int fd, std::string& out)
{
    out.clear();
    try {
        char chunk[4096];
        for (;;) {
            long n = read_fd_up_to(fd, chunk, sizeof chunk);
            if (n < 0) {
                int e = errno;
                out.clear();
                return e;
            }
            out.append(chunk, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof chunk)
                return 0;
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        out.shrink_to_fit();
        return ENOMEM;
    }
}

long read_file_to_buff(const char* file_path, unsigned long len, char* data)
{
    int fd = open_regular_fd(file_path);
    if (fd < 0) {
        int e = errno;
        // A folder opens, as a stream would, but cannot be read.
        if (e == EISDIR)
            LOG_FAIL("Read file err:%d, %s.\n", e, std::strerror(e));
        else
            LOG_FAIL("Can't open %s.\n", file_path != nullptr ? file_path : "(null)");
        return -1;
    }
    long n = (len > 0 && data != nullptr) ? read_fd_up_to(fd, data, len) : 0;
    // A read error (an I/O error) is a failure, not an empty file.
    if (n < 0) {
        int e = errno;
        close(fd);
        LOG_FAIL("Read file err:%d, %s.\n", e, std::strerror(e));
        return -1;
    }
    close(fd);
    return n;
}

int read_Offset_file_to_buff(FILE* fp, long long nByteOffset, unsigned long len, char* data,
                             bool bIgnoreByteOffset, unsigned long& nRead)
{
    return transfer_at(__func__, "Read", fp, nByteOffset, len, data, bIgnoreByteOffset, nRead,
                       [&] { return std::fread(data, 1, len, fp); });
}

int write_Offset_file_to_buff(FILE* fp, long long nByteOffset, unsigned long len,
                              const char* data, bool bIgnoreByteOffset, unsigned long& nWrite)
{
    return transfer_at(__func__, "write", fp, nByteOffset, len, data, bIgnoreByteOffset, nWrite,
                       [&] { return std::fwrite(data, 1, len, fp); });
}

int set_Offset_file(FILE* fp, long long nByteOffset, emPOINTER_MOVEMETHOD emMode)
{
    if (fp == nullptr) {
        LOG_FAIL("fp is NULL.\n");
        return -1;
    }
    int whence = emMode == MO_FILE_CURRENT ? SEEK_CUR : emMode == MO_FILE_FILE_END ? SEEK_END : SEEK_SET;
    return seek_to(__func__, fp, nByteOffset, whence) ? 0 : 1;
}

bool create_dir(const char* file_path, unsigned int mode)
{
    if (file_path == nullptr)
        return false;
    if (access(file_path, F_OK) == 0)
        return true;
    int ret = mkdir(file_path, static_cast<mode_t>(mode));
    if (ret == 0)
        return true;
    int e = errno;
    log_error("create dir %s err,return code = %d.\n", file_path, ret);
    if (ret == -1)
        log_error("create dir %s err:%d, %s.\n", file_path, e, std::strerror(e));
    return false;
}

FILE* open_file(const char* file_path, emDESIRED_ACCESS emDesiredAccess,
                emDESIRED_CREATION emDesiredCreation, bool bTempFile, int& nRet)
{
    nRet = 1;
    if (file_path == nullptr)
        return nullptr;
    const char* mode = nullptr;
    int fail = 0;
    if (emDesiredCreation == RE_OPEN_EXISTING) {
        if (access(file_path, F_OK) != 0) {
            nRet = 2;
            return nullptr;
        }
        mode = emDesiredAccess == RE_FILE_NORMAL_DATA ? "r+" : "a+";
        fail = 3;
    } else if (emDesiredCreation == RE_CREATE_NEW_SERVER_RANDOM && bTempFile) {
        mode = emDesiredAccess == RE_FILE_NORMAL_DATA ? "w+" : "a+";
        fail = 4;
    } else {
        return nullptr;
    }
    FILE* fp = std::fopen(file_path, mode);
    if (fp == nullptr) {
        int e = errno;
        nRet = fail;
        LOG_FAIL("Can't open %s  err:%d, %s.\n", file_path, e, std::strerror(e));
        return nullptr;
    }
    nRet = 0;
    return fp;
}

bool replace_file_contents(const char* path, const void* data, size_t len, unsigned int new_mode)
{
    if (path == nullptr || path[0] == '\0' || (data == nullptr && len > 0))
        return false;

    // Write next to the file a symbolic link points at, so the link survives.
    std::string target;
    if (!write_target(path, target))
        return false;

    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && !S_ISREG(st.st_mode))
        return false;
    mode_t mode = exists ? (st.st_mode & 07777) : static_cast<mode_t>(new_mode & 07777);

    std::string tmp;
    int fd = create_locked_temporary(target, tmp);
    if (fd < 0)
        return false;

    bool ok = true;
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    while (ok && left > 0) {
        ssize_t w = write(fd, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            ok = false;
        else {
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
    if (ok && exists && (st.st_uid != geteuid() || st.st_gid != getegid()))
        (void)!fchown(fd, st.st_uid, st.st_gid); // best effort: only root may give files away
    ok = ok && fchmod(fd, mode) == 0;
    ok = ok && fsync(fd) == 0;
    // Renamed while the descriptor, and with it the lock, is still held: a
    // clean-up never takes the finished file for a dead save's. After fsync
    // the bytes are on disk, so closing can no longer lose them.
    ok = ok && rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok)
        unlink(tmp.c_str());
    close(fd);
    if (!ok)
        return false;
    remove_dead_temporaries(target);

    // Make the rename itself durable.
    std::string dir, base;
    split_path(target, dir, base);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}
