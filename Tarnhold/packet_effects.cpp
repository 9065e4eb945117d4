#include "Tarnhold/packet_effects.h"

#include "Tarnhold/frames.h"
#include "Tarnhold/result.h"
#include "Tarnhold/startup.h"
#include "common/log.h"
#include "keydev/kmxdev.h"

#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

long ReceiveFrame(int sock, unsigned char* buf, size_t cap, int* ifindex)
{
    struct sockaddr_ll from;
    std::memset(&from, 0, sizeof from);
    socklen_t fromLen = sizeof from;
    const long n = recvfrom(sock, buf, cap, 0, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
    *ifindex = n >= 0 ? from.sll_ifindex : 0;
    return n;
}

PacketEffects::PacketEffects(int sock, CConfigBox& box, std::string configFile, std::string lockDir,
                             std::string image)
    : sock_(sock), box_(box), configFile_(std::move(configFile)), lockDir_(std::move(lockDir)),
      image_(std::move(image))
{
}

long PacketEffects::send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst)
{
    struct sockaddr_ll device;
    std::memset(&device, 0, sizeof device);
    device.sll_family = AF_PACKET;
    device.sll_protocol = 0;
    device.sll_ifindex = ifindex;
    device.sll_halen = 6;
    std::memcpy(device.sll_addr, dst, 6);
    return sendto(sock_, frame, len, 0, reinterpret_cast<const struct sockaddr*>(&device), sizeof device);
}

int PacketEffects::decrypt(unsigned char* block, unsigned char* out, size_t& len)
{
    std::vector<char> keyFile(image_.begin(), image_.end());
    keyFile.push_back('\0');
    return kmx_decryption(block, out, len, keyFile.data());
}

bool PacketEffects::key_file_exists()
{
    return access(image_.c_str(), F_OK) == 0;
}

unsigned PacketEffects::interface_index(const std::string& name)
{
    return if_nametoindex(name.c_str());
}

void PacketEffects::write_result(int v)
{
    if (WriteResult(box_, v, configFile_.c_str(), lockDir_.c_str()))
        return;
    // The outcome is not recorded (the file cannot be read or saved, or the
    // save was refused): the log says so and the daemon goes on answering.
    char line[LOG_MAX_TEXT + 1];
    std::snprintf(line, sizeof line, "[%s %s %d] 认证结果 Result=%d 未能写入 %s！\n", LOG_SOURCE_FILE, "main",
                  __LINE__, v, configFile_.c_str());
    log(LOG_ERROR, line);
}

void PacketEffects::log(int level, const char* line)
{
    if (g_bLoadLog)
        log_string(level, line);
}

void PacketEffects::console(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void PacketEffects::console_error(const char* text)
{
    std::perror(text);
}

void PacketEffects::host_name(unsigned char* field)
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    SetHostNameField(name, field);
}
