// Positioned write of a whole buffer, for the layers that keep files (the
// card's flash image, the identity-key layer's outputs).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all n bytes at offset off, retrying short and interrupted writes.
// False on a failure (what was written before it stays).
inline bool pwrite_all(int fd, const void* data, size_t n, off_t off)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        off += w;
    }
    return true;
}
