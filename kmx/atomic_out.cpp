#include "kmx/atomic_out.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

bool AtomicOut::open()
{
    tmp_ = target_ + ".XXXXXX";
    int fd = mkstemp(&tmp_[0]);
    if (fd < 0) {
        tmp_.clear();
        return false;
    }
    mode_t um = umask(0);
    umask(um);
    if (fchmod(fd, 0666 & ~um) != 0 || !(f_ = fdopen(fd, "wb"))) {
        close(fd);
        abandon();
        return false;
    }
    return true;
}

bool AtomicOut::write(const void* data, size_t n)
{
    return n == 0 || (f_ && std::fwrite(data, 1, n, f_) == n);
}

bool AtomicOut::commit()
{
    if (!f_)
        return false;
    bool ok = std::fflush(f_) == 0 && fsync(fileno(f_)) == 0;
    ok = std::fclose(f_) == 0 && ok;
    f_ = nullptr;
    ok = ok && std::rename(tmp_.c_str(), target_.c_str()) == 0;
    if (ok)
        tmp_.clear();
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
