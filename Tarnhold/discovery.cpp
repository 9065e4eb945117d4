#include "Tarnhold/discovery.h"

#include "Tarnhold/frames.h"
#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "common/file_operations.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::map<std::string, std::string> g_mapDevice;
std::vector<std::string> g_vecMac;
std::string g_strUserDes;

int GetNetCardCount(const char* path, std::map<std::string, std::string>& devices)
{
    int fd = open_regular_fd(path);
    if (fd < 0) {
        std::fprintf(stderr, "Open /proc/net/dev failed!errno:%d\n", errno);
        return 0;
    }
    // The list is taken only when it was read whole: a read that fails part
    // way would leave interfaces out, and the identifier is made from it.
    std::string text;
    int err = read_fd_whole(fd, text);
    close(fd);
    if (err != 0) {
        std::fprintf(stderr, "Read /proc/net/dev failed!errno:%d\n", err);
        return 0;
    }
    int count = 0;
    int lineNo = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        const std::string line =
            text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        if (++lineNo <= 2)
            continue;
        char name[128] = {};
        if (std::sscanf(line.c_str(), "%127s", name) != 1 || name[0] == '\0')
            continue;
        size_t len = std::strlen(name);
        if (name[len - 1] == ':')
            name[len - 1] = '\0';
        if (std::strcmp(name, "lo") == 0 || std::strncmp(name, "vir", 3) == 0)
            continue;
        ++count;
        std::printf("NetCardCount%d: %s\n", count, name);
        devices.emplace(name, std::string());
    }
    return count;
}

bool ReadMacAddresses(int sock, std::map<std::string, std::string>& devices, std::vector<std::string>& macs)
{
    bool got = false;
    for (auto& entry : devices) {
        struct ifreq ifr;
        std::memset(&ifr, 0, sizeof ifr);
        std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%.*s", IFNAMSIZ - 1, entry.first.c_str());
        int rc = ioctl(sock, SIOCGIFHWADDR, &ifr);
        if (rc < 0) {
            std::printf("ioctl err = %d\n", rc);
            std::fflush(stdout);
            std::perror("ioctl() failed to get source MAC address ");
            continue;
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(ifr.ifr_hwaddr.sa_data);
        char text[18], plain[13];
        std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
        std::snprintf(plain, sizeof plain, "%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
        entry.second = text;
        std::printf("MAC address for interface %s is %s\n", entry.first.c_str(), text);
        macs.push_back(plain);
        got = true;
    }
    return got;
}

std::string GuidToString(const GUID& guid)
{
    char buf[33];
    std::snprintf(buf, sizeof buf, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return buf;
}

CidOutcome LoadOrMakeCID(const char* keyDat, const std::vector<std::string>& macs, int* readErr)
{
    const int err = ReadCIDStatus(keyDat);
    if (readErr != nullptr)
        *readErr = err == ENOENT ? 0 : err;
    // Only a Key.dat that is not there, or holds no identifier, may be
    // replaced: an identifier that could not be read is still the host's.
    if (err != 0 && err != ENOENT)
        return CidOutcome::Unreadable;
    if (g_szCID[0] != 0)
        return CidOutcome::Kept;
    size_t i = 0;
    for (const std::string& m : macs) {
        unsigned char mac[6] = {};
        GetMacByString(m, mac);
        std::memcpy(g_szCID + 3 + 6 * i, mac, 6);
        ++i;
        if (i > 5)
            break;
    }
    if (i > 5 || i < 1) {
        // No identifier for this host: byte 0 stays 0, so nothing is saved.
        SaveCID(keyDat);
        return CidOutcome::None;
    }
    GUID guid;
    uuid_t raw;
    uuid_generate(raw);
    std::memcpy(&guid, raw, sizeof guid);
    const std::string text = GuidToString(guid);
    const size_t tail = (6 - i) * 6;
    g_szCID[0] = static_cast<char>(i);
    std::memcpy(g_szCID + 3 + 6 * i, text.data() + text.size() - tail, tail);
    return SaveCID(keyDat) ? CidOutcome::Made : CidOutcome::NotSaved;
}

void InitUUID(const char* keyDat, const std::vector<std::string>& macs)
{
    (void)LoadOrMakeCID(keyDat, macs, nullptr);
}

bool ReadUserDes(const char* configFile, const char* lockDir, std::string& des, int* readErr)
{
    CConfigBox box;
    return ReadUserDes(box, configFile, lockDir, des, readErr);
}

bool ReadUserDes(CConfigBox& box, const char* configFile, const char* lockDir, std::string& des,
                 int* readErr)
{
    std::string v;
    int err = 0;
    {
        // The tool may be rewriting the file: read it whole, not half-replaced.
        ConfigLock lock(lockDir);
        if (!box.load(configFile) && errno != ENOENT)
            err = errno;
        v = box.get_property("info", "");
    }
    if (readErr != nullptr)
        *readErr = err;
    // A file that is there but cannot be read does not say that no user is
    // recorded, nor what the description is.
    if (err != 0)
        return false;
    if (v == "0") {
        std::puts("请填写使用者信息！");
        return false;
    }
    des = v;
    return true;
}
