#include "Tarnhold/startup.h"

#include "Tarnhold/discovery.h"
#include "common/log.h"
#include "common/machine_id.h"
#include "common/paths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>

bool g_bLoadLog = false;

int OpenPacketSocket()
{
    return socket(AF_PACKET, SOCK_RAW, htons(msg::ETHER_TYPE));
}

StartupEnv DefaultStartupEnv()
{
    StartupEnv env;
    env.configFile = MAVO_CONFIG_FILE;
    env.lockDir = MAVO_DIR;
    env.logFile = MAVO_LOG_FILE;
    env.procNetDev = PROC_NET_DEV;
    env.keyDat = MAVO_KEY_DAT_FILE;
    env.image = CERT_IMAGE_FILE;
    env.openSocket = OpenPacketSocket;
    env.readMacs = [](int sock, std::map<std::string, std::string>& d, std::vector<std::string>& m) {
        return ReadMacAddresses(sock, d, m);
    };
    return env;
}

namespace {

// A text and a line end on standard output, flushed.
void say(const std::string& text)
{
    std::cout << text << std::endl;
}

int open_socket_or_fail(const StartupEnv& env)
{
    int sock = env.openSocket();
    if (sock < 0) {
        say("sock err = " + std::to_string(sock));
        std::perror("socket");
        log_close();
        g_bLoadLog = false;
    }
    return sock;
}

// Ends start-up for a file of the daemon's own that it cannot do without:
// the text on the console and, when a log is open, as an error line there;
// then the log is closed. The exit status 1.
int fail_start(int line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int fail_start(int line, const char* fmt, ...)
{
    char text[LOG_MAX_TEXT + 1];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    say(text);
    if (g_bLoadLog) {
        char wrapped[LOG_MAX_TEXT + 1];
        std::snprintf(wrapped, sizeof wrapped, "[%s %s %d] %s\n", LOG_SOURCE_FILE, "main", line, text);
        log_string(LOG_ERROR, wrapped);
    }
    log_close();
    g_bLoadLog = false;
    return 1;
}

} // namespace

int PrepareDaemon(const StartupEnv& env, DaemonState& state, int& sock)
{
    sock = -1;
    CONFIG_INFO info;
    std::memset(&info, 0, sizeof info);
    if (read_config_info(env.configFile, &info) != 0) {
        std::printf("[%s %s %d] read_config_info fail.\n", LOG_SOURCE_FILE, "main", __LINE__);
        std::fflush(stdout);
    } else {
        g_bLoadLog = true;
        set_log_file_name(env.logFile);
        set_log_max_row(info.max_row_num);
        log_set_level(static_cast<int>(info.log_level));
        if (log_init() != 0)
            g_bLoadLog = false;
    }

    int count = GetNetCardCount(env.procNetDev, g_mapDevice);
    std::printf("NetCardCount: %d\n", count);
    std::fflush(stdout);

    int first = open_socket_or_fail(env);
    if (first < 0)
        return 1;
    bool bGetMac = env.readMacs(first, g_mapDevice, g_vecMac);
    if (!bGetMac) {
        say("bGetMac err = " + std::to_string(static_cast<int>(bGetMac)));
        close(first);
        log_close();
        g_bLoadLog = false;
        return 1;
    }
    close(first);

    // The identifier is the identity the host's image is issued to: one that
    // cannot be read is not replaced by a new one, and a new one that cannot
    // be kept would be replaced at the next start. Either way the daemon
    // does not start without it.
    int err = 0;
    switch (LoadOrMakeCID(env.keyDat, g_vecMac, &err)) {
    case CidOutcome::Unreadable:
        return fail_start(__LINE__, kStartFileNotRead, env.keyDat, err, std::strerror(err));
    case CidOutcome::NotSaved:
        return fail_start(__LINE__, kStartCidNotSaved, env.keyDat);
    default:
        break;
    }

    // A configuration file that is there but cannot be read would leave the
    // daemon without its description for its whole run.
    if (!ReadUserDes(env.configFile, env.lockDir, g_strUserDes, &err)) {
        if (err != 0)
            return fail_start(__LINE__, kStartFileNotRead, env.configFile, err, std::strerror(err));
        std::fflush(stdout);
        log_close();
        g_bLoadLog = false;
        return 0;
    }

    if (access(env.image, F_OK) != 0) {
        std::puts("不存在证书，请导入证书！");
        std::fflush(stdout);
        log_close();
        g_bLoadLog = false;
        return 0;
    }

    sock = open_socket_or_fail(env);
    if (sock < 0)
        return 1;

    state.devices = g_mapDevice;
    state.macs = g_vecMac;
    std::memcpy(state.cid, g_szCID, sizeof state.cid);
    state.des = g_strUserDes;
    state.bGetDevice = false;
    std::memset(state.mac, 0, sizeof state.mac);
    state.ifindex = 0;
    return -1;
}

namespace {

// Forks with both standard streams flushed first, so that nothing buffered
// is written twice. Returns -1 in the child, the status the caller must end
// with otherwise.
int fork_once()
{
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        say("启动失败");
        return 1;
    }
    if (pid > 0)
        return 0;
    return -1;
}

} // namespace

int Detach()
{
    int rc = fork_once();
    if (rc >= 0)
        return rc;
    if (setsid() < 0) {
        std::perror("setsid err:");
        say("启动失败");
        return 1;
    }
    rc = fork_once();
    if (rc >= 0)
        return rc;
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        say("无法打开/dev/null , 启动失败");
        return 1;
    }
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO)
        close(fd);
    umask(0);
    return -1;
}
