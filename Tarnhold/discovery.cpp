#include "Tarnhold/discovery.h"

#include "Tarnhold/frames.h"
#include "common/ConfigBox.h"
#include "common/config_lock.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::map<std::string, std::string> g_mapDevice;
std::vector<std::string> g_vecMac;
std::string g_strUserDes;

int GetNetCardCount(const char* path, std::map<std::string, std::string>& devices)
{
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) {
        std::fprintf(stderr, "Open /proc/net/dev failed!errno:%d\n", errno);
        return 0;
    }
    int count = 0;
    int lineNo = 0;
    char line[512];
    bool midLine = false; // the rest of a line longer than the buffer
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        const bool startsLine = !midLine;
        midLine = std::strchr(line, '\n') == nullptr;
        if (!startsLine)
            continue;
        if (++lineNo <= 2)
            continue;
        char name[128] = {};
        if (std::sscanf(line, "%127s", name) != 1 || name[0] == '\0')
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
    std::fclose(fp);
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

void InitUUID(const char* keyDat, const std::vector<std::string>& macs)
{
    ReadCID(keyDat);
    if (g_szCID[0] != 0)
        return;
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
        return;
    }
    GUID guid;
    uuid_t raw;
    uuid_generate(raw);
    std::memcpy(&guid, raw, sizeof guid);
    const std::string text = GuidToString(guid);
    const size_t tail = (6 - i) * 6;
    g_szCID[0] = static_cast<char>(i);
    std::memcpy(g_szCID + 3 + 6 * i, text.data() + text.size() - tail, tail);
    SaveCID(keyDat);
}

bool ReadUserDes(const char* configFile, const char* lockDir, std::string& des)
{
    std::string v;
    {
        ConfigLock lock(lockDir);
        CConfigBox box;
        box.load(configFile);
        v = box.get_property("info", "");
    }
    if (v == "0") {
        std::puts("请填写使用者信息！");
        return false;
    }
    des = v;
    return true;
}
