#include "kmx/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* open_input_file(const char* path)
{
    if (!path)
        return nullptr;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return f;
}
