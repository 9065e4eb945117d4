#include "common/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

ConfigLock::ConfigLock(const char* dir) : _fd(-1)
{
    if (dir == nullptr || dir[0] == '\0')
        return;
    const std::string path = std::string(dir) + "/" + CONFIG_LOCK_NAME;
    // Never through a link, never waiting on a FIFO put in its place.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                  0600);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)) {
        close(fd);
        return;
    }
    int rc;
    do
        rc = flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return;
    }
    _fd = fd;
}

ConfigLock::~ConfigLock()
{
    if (_fd >= 0) {
        flock(_fd, LOCK_UN);
        close(_fd);
    }
}
