#include "kmx/atomic_out.h"

#include "smcrypto/pwrite_all.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// Six letters or digits for a temporary name; the name is created with
// O_EXCL, so a clash only costs another try.
std::string random_suffix()
{
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char r[6] = {};
    if (getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
        static unsigned counter = 0;
        const unsigned long v = static_cast<unsigned long>(getpid()) * 7919u + ++counter;
        for (size_t i = 0; i < sizeof r; ++i)
            r[i] = static_cast<unsigned char>(v >> (5 * i));
    }
    std::string s;
    for (unsigned char c : r)
        s += kChars[c % (sizeof kChars - 1)];
    return s;
}


// A sticky folder that others may write to (such as /tmp): an entry there
// belongs to whoever made it, and one of another user's is never taken, as
// the kernel's link and regular-file protections would have it, whatever
// they are set to.
bool shared_sticky(const struct stat& ds)
{
    return (ds.st_mode & S_ISVTX) && (ds.st_mode & (S_IWGRP | S_IWOTH));
}

// Opens the folder dir (O_PATH) one name at a time. A name that is a link is
// followed by the kernel only when it is not another user's link in a
// shared sticky folder: there it is refused, as the kernel's link
// protection would. Such a link cannot be swapped by anyone else once
// looked at, since only its owner (us or the folder's owner) may remove it.
int open_folder(const std::string& dir)
{
    int cur = ::open(!dir.empty() && dir[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t pos = 0;
    while (cur >= 0 && pos < dir.size()) {
        size_t end = dir.find('/', pos);
        if (end == std::string::npos)
            end = dir.size();
        const std::string name = dir.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == ".")
            continue;
        int next = openat(cur, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
            struct stat ds, ls;
            if (fstat(cur, &ds) == 0 && fstatat(cur, name.c_str(), &ls, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(ls.st_mode) &&
                !(shared_sticky(ds) && ls.st_uid != geteuid() && ls.st_uid != ds.st_uid))
                next = openat(cur, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            else
                errno = EACCES;
        }
        const int e = errno;
        close(cur);
        cur = next;
        errno = e;
    }
    return cur;
}

}  // namespace

AtomicOut::~AtomicOut()
{
    abandon();
    if (dir_ >= 0)
        close(dir_);
}

bool AtomicOut::open()
{
    abandon();
    if (dir_ >= 0)
        close(dir_);
    dir_ = -1;
    named_ = keep_ = false;

    const size_t slash = target_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    base_ = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (base_.empty() || base_ == "." || base_ == "..")
        return false;
    // The folder is taken once; its name is not looked at again.
    dir_ = open_folder(dir);
    struct stat ds;
    if (dir_ < 0 || fstat(dir_, &ds) != 0)
        return false;
    const uid_t me = geteuid();
    const bool shared = shared_sticky(ds);

    struct stat ls;
    if (fstatat(dir_, base_.c_str(), &ls, AT_SYMLINK_NOFOLLOW) == 0) {
        if (shared && ls.st_uid != me && ls.st_uid != ds.st_uid)
            return false;
        if (S_ISREG(ls.st_mode)) {
            // Plaintext goes only over a file of our own that nobody else
            // may read: it keeps that file's mode and owner.
            if (is_private() && (ls.st_uid != me || (ls.st_mode & (S_IRGRP | S_IROTH))))
                return false;
            keep_ = true;
            old_ = ls;
        } else if (!S_ISLNK(ls.st_mode)) {
            return false;   // a folder, a FIFO, a device: never opened
        }
        // A link is replaced like a missing output: it is never followed.
        named_ = true;
    } else if (errno != ENOENT) {
        return false;
    }

    // Private while it is written; an existing output's mode and owner come
    // just before the rename. A new ordinary output is created with its own
    // mode, less the umask.
    const mode_t mode = keep_ || is_private() ? 0600 : new_mode_;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + base_ + "." + random_suffix();
        int fd = openat(dir_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        tmp_ = name;
        fd_ = fd;
        off_ = 0;
        return true;
    }
    return false;
}

bool AtomicOut::write(const void* data, size_t n)
{
    // Written straight to the descriptor: no library buffer keeps a copy of
    // what may be plaintext.
    if (n == 0)
        return true;
    if (fd_ < 0 || !pwrite_all(fd_, data, n, off_))
        return false;
    off_ += static_cast<off_t>(n);
    return true;
}

bool AtomicOut::commit()
{
    if (fd_ < 0)
        return false;
    bool ok = true;
    if (keep_) {
        // Owner first: a change of owner clears the set-id bits.
        if (old_.st_uid != geteuid() || old_.st_gid != getegid())
            (void)!fchown(fd_, old_.st_uid, old_.st_gid);   // only root may give files away
        ok = fchmod(fd_, old_.st_mode & 07777) == 0;
    } else if (is_private()) {
        ok = fchmod(fd_, new_mode_ & 07777) == 0;   // whatever the umask
    }
    ok = ok && fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (ok && named_) {
        ok = renameat(dir_, tmp_.c_str(), dir_, base_.c_str()) == 0;
    } else if (ok) {
        // Nothing was there: whatever has appeared since is not replaced.
        int r = renameat2(dir_, tmp_.c_str(), dir_, base_.c_str(), RENAME_NOREPLACE);
        if (r != 0 && errno == EINVAL)
            r = renameat(dir_, tmp_.c_str(), dir_, base_.c_str());
        ok = r == 0;
    }
    if (ok)
        tmp_.clear();
    return ok;
}

void AtomicOut::abandon()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!tmp_.empty() && dir_ >= 0)
        unlinkat(dir_, tmp_.c_str(), 0);
    tmp_.clear();
}
