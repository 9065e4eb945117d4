#include "Tarnhold/packet_effects.h"

#include "Tarnhold/frames.h"
#include "Tarnhold/result.h"
#include "Tarnhold/startup.h"
#include "common/log.h"
#include "keydev/kmxdev.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

namespace {

// The master index from the kernel's answer (len bytes in buf) to the link
// request for ifindex with sequence number seq; -1 with errno set when the
// answer is an error or is not the one asked for.
int ParseLinkMaster(const unsigned char* buf, size_t len, int ifindex, uint32_t seq)
{
    for (auto* h = reinterpret_cast<const struct nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
        if (h->nlmsg_seq != seq)
            continue;
        if (h->nlmsg_type == NLMSG_ERROR) {
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr)))
                break;
            const int err = -static_cast<const struct nlmsgerr*>(NLMSG_DATA(h))->error;
            if (err == ENODEV)
                return 0; // gone: it is a port of nothing
            errno = err > 0 ? err : EPROTO;
            return -1;
        }
        if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifinfomsg)))
            break;
        const auto* ifi = static_cast<const struct ifinfomsg*>(NLMSG_DATA(h));
        if (ifi->ifi_index != ifindex)
            break;
        int attrLen = static_cast<int>(IFLA_PAYLOAD(h));
        for (auto* a = IFLA_RTA(ifi); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
            if (a->rta_type == IFLA_MASTER && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
                uint32_t master;
                std::memcpy(&master, RTA_DATA(a), sizeof master);
                return static_cast<int>(master);
            }
        }
        return 0;
    }
    errno = EPROTO;
    return -1;
}

} // namespace

int InterfaceMaster(int ifindex)
{
    // Asked by index, so the answer is about the very interface whose index
    // the caller holds; a socket connected to the kernel hears nobody else.
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    struct sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    struct {
        struct nlmsghdr h;
        struct ifinfomsg ifi;
    } req;
    std::memset(&req, 0, sizeof req);
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof req.ifi);
    req.h.nlmsg_type = RTM_GETLINK;
    req.h.nlmsg_flags = NLM_F_REQUEST;
    req.h.nlmsg_seq = 1;
    req.ifi.ifi_family = AF_UNSPEC;
    req.ifi.ifi_index = ifindex;
    int result = -1;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&kernel), sizeof kernel) == 0 &&
        send(fd, &req, req.h.nlmsg_len, 0) == static_cast<ssize_t>(req.h.nlmsg_len)) {
        // One link's description; an answer that does not fit is refused,
        // never read in part.
        std::vector<unsigned char> buf(64 * 1024);
        ssize_t n;
        do
            n = recv(fd, buf.data(), buf.size(), MSG_TRUNC);
        while (n < 0 && errno == EINTR);
        if (n > static_cast<ssize_t>(buf.size()))
            errno = EMSGSIZE;
        else if (n >= 0)
            result = ParseLinkMaster(buf.data(), static_cast<size_t>(n), ifindex, req.h.nlmsg_seq);
    }
    const int e = errno;
    close(fd);
    errno = e;
    return result;
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

int PacketEffects::interface_master(int ifindex)
{
    return InterfaceMaster(ifindex);
}
