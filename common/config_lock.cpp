#include "common/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

ConfigLock::ConfigLock(const char* dir) : _fd(-1)
{
    if (dir == nullptr)
        return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
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
