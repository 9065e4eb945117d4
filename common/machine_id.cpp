#include "common/machine_id.h"

#include "common/file_operations.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

char g_szCID[CID_LEN];

int ReadCIDStatus(const char* path)
{
    int fd = open_regular_fd(path);
    if (fd < 0)
        return errno;
    // Read into a scratch buffer so a read error changes nothing.
    char buf[CID_LEN];
    long n = read_fd_up_to(fd, buf, sizeof buf);
    int e = n < 0 ? errno : 0;
    close(fd);
    if (n < 0)
        return e != 0 ? e : EIO;
    std::memcpy(g_szCID, buf, static_cast<size_t>(n));
    return 0;
}

void ReadCID(const char* path)
{
    (void)ReadCIDStatus(path);
}

bool SaveCID(const char* path)
{
    if (g_szCID[0] == 0)
        return false;
    return replace_file_contents(path, g_szCID, sizeof g_szCID);
}

std::string getHex(const unsigned char* data, int len)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    if (data == nullptr || len <= 0)
        return out;
    out.reserve(static_cast<size_t>(len) * 2);
    for (int i = 0; i < len; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

int GetCurrentExcutableFilePathName(char* processdir, char* processpath, char* processname,
                                    unsigned long len)
{
    if (processdir == nullptr || processpath == nullptr || processname == nullptr || len < 2)
        return -1;
    ssize_t n = readlink("/proc/self/exe", processdir, len - 1);
    // A link that fills the buffer may have been cut.
    if (n <= 0 || static_cast<unsigned long>(n) >= len - 1)
        return -1;
    processdir[n] = '\0';
    char* slash = std::strrchr(processdir, '/');
    if (slash == nullptr)
        return -1;
    std::snprintf(processname, len, "%s", slash + 1);
    slash[1] = '\0';
    size_t dirlen = static_cast<size_t>(slash + 1 - processdir);
    std::memcpy(processpath, processdir, dirlen + 1);
    return static_cast<int>(dirlen);
}
