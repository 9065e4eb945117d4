#include "kmx/atomic_out.h"

#include "smcrypto/pwrite_all.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

}  // namespace

bool AtomicOut::open()
{
    abandon();
    exists_ = false;
    struct stat ls;
    if (lstat(target_.c_str(), &ls) == 0) {
        dest_ = target_;
        if (S_ISLNK(ls.st_mode)) {
            // Written where the link leads, so the link stays.
            char* real = realpath(target_.c_str(), nullptr);
            if (!real)
                return false;
            dest_ = real;
            std::free(real);
        }
        if (stat(dest_.c_str(), &old_) != 0 || !S_ISREG(old_.st_mode))
            return false;
        exists_ = true;
    } else if (errno == ENOENT) {
        dest_ = target_;
    } else {
        return false;
    }
    const size_t slash = dest_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : dest_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? dest_ : dest_.substr(slash + 1);
    // Private while it is written; an existing output's mode comes with the
    // rename. A new one is created with its own mode, less the umask.
    const mode_t mode = exists_ ? 0600 : new_mode_;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = (slash == std::string::npos ? "" : dir) + "." + base + "." + random_suffix();
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        tmp_ = name;
        f_ = fdopen(fd, "w+b");
        if (!f_) {
            close(fd);
            abandon();
            return false;
        }
        return true;
    }
    return false;
}

bool AtomicOut::write(const void* data, size_t n)
{
    return n == 0 || (f_ && std::fwrite(data, 1, n, f_) == n);
}

bool AtomicOut::commit()
{
    if (!f_)
        return false;
    const int fd = fileno(f_);
    bool ok = std::fflush(f_) == 0;
    if (ok && exists_ && old_.st_nlink > 1)
        return fsync(fd) == 0 && commit_in_place();
    if (ok && exists_) {
        // Owner first: a change of owner clears the set-id bits.
        if (old_.st_uid != geteuid() || old_.st_gid != getegid())
            (void)!fchown(fd, old_.st_uid, old_.st_gid);   // only root may give files away
        ok = fchmod(fd, old_.st_mode & 07777) == 0;
    }
    ok = ok && fsync(fd) == 0;
    ok = std::fclose(f_) == 0 && ok;
    f_ = nullptr;
    ok = ok && std::rename(tmp_.c_str(), dest_.c_str()) == 0;
    if (ok)
        tmp_.clear();
    return ok;
}

// The output has other names: the complete new content is copied into the
// file itself, so every name sees it. Room is reserved first, so a full
// file system fails before the output is touched.
bool AtomicOut::commit_in_place()
{
    int out = ::open(dest_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out < 0)
        return false;
    struct stat now, staged;
    const int in = fileno(f_);
    bool ok = fstat(out, &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == old_.st_dev &&
              now.st_ino == old_.st_ino && fstat(in, &staged) == 0;
    if (ok && staged.st_size > now.st_size &&
        fallocate(out, FALLOC_FL_KEEP_SIZE, 0, staged.st_size) != 0 && errno != EOPNOTSUPP)
        ok = false;
    std::vector<char> buf(64 * 1024);
    for (off_t off = 0; ok && off < staged.st_size;) {
        ssize_t n = pread(in, buf.data(), buf.size(), off);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0 && pwrite_all(out, buf.data(), static_cast<size_t>(n), off);
        off += n;
    }
    // The staged content may be decrypted plaintext.
    OPENSSL_cleanse(buf.data(), buf.size());
    ok = ok && ftruncate(out, staged.st_size) == 0 && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    abandon();
    return ok;
}

void AtomicOut::abandon()
{
    if (f_)
        std::fclose(f_);
    f_ = nullptr;
    if (!tmp_.empty())
        std::remove(tmp_.c_str());
    tmp_.clear();
}
