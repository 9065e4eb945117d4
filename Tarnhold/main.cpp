// Tarnhold: the host's link-layer authentication daemon. It answers the
// access switch's identity requests and SM2 challenges on a packet socket
// and records each outcome as "Result" in config.ini.

#include "Tarnhold/handler.h"
#include "Tarnhold/packet_effects.h"
#include "Tarnhold/startup.h"
#include "common/ConfigBox.h"
#include "common/paths.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

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

    PacketEffects fx(sock, iniConfig, MAVO_CONFIG_FILE, MAVO_DIR, CERT_IMAGE_FILE);
    static unsigned char buffer[RECV_BUFFER_SIZE];
    for (;;) {
        std::puts("----------");
        std::memset(buffer, 0, sizeof buffer);
        int arrivedOn = 0;
        long n = ReceiveFrame(sock, buffer, sizeof buffer, &arrivedOn);
        HandleFrame(buffer, n, arrivedOn, state, fx);
    }
}
