// Tarnhold: the host's link-layer authentication daemon. It answers the
// access switch's identity requests and SM2 challenges on a packet socket
// and records each outcome as "Result" in config.ini.

#include "Tarnhold/handler.h"
#include "Tarnhold/frames.h"
#include "Tarnhold/result.h"
#include "Tarnhold/startup.h"
#include "common/ConfigBox.h"
#include "common/log.h"
#include "common/paths.h"
#include "keydev/kmxdev.h"

#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

class SocketEffects : public DaemonEffects {
public:
    SocketEffects(int sock, CConfigBox& box) : sock_(sock), box_(box) {}

    long send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst) override
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
    int decrypt(unsigned char* block, unsigned char* out, size_t& len) override
    {
        char keyFile[1024];
        std::snprintf(keyFile, sizeof keyFile, "%s", CERT_IMAGE_FILE);
        return kmx_decryption(block, out, len, keyFile);
    }
    bool key_file_exists() override { return access(CERT_IMAGE_FILE, F_OK) == 0; }
    unsigned interface_index(const std::string& name) override { return if_nametoindex(name.c_str()); }
    void write_result(int v) override { WriteResult(box_, v, MAVO_CONFIG_FILE, MAVO_DIR); }
    void log(int level, const char* line) override
    {
        if (g_bLoadLog)
            log_string(level, line);
    }
    void console(const char* text) override
    {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
    void console_error(const char* text) override { std::perror(text); }
    void host_name(unsigned char* field) override
    {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        SetHostNameField(name, field);
    }

private:
    int sock_;
    CConfigBox& box_;
};

} // namespace

int main()
{
    CConfigBox iniConfig;
    DaemonState state;
    int sock = -1;
    int rc = PrepareDaemon(DefaultStartupEnv(), state, sock);
    if (rc >= 0)
        return rc;
    rc = Detach();
    if (rc >= 0)
        _exit(rc); // a parent: its buffers were flushed before the fork

    SocketEffects fx(sock, iniConfig);
    static unsigned char buffer[RECV_BUFFER_SIZE];
    for (;;) {
        std::puts("----------");
        std::memset(buffer, 0, sizeof buffer);
        long n = recvfrom(sock, buffer, sizeof buffer, 0, nullptr, nullptr);
        if (HandleFrame(buffer, n, state, fx) == FrameOutcome::NoInterface) {
            close(sock);
            log_close();
            return 1;
        }
    }
}
