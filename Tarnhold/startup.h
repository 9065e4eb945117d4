#pragma once
// Start-up of the daemon: log, interfaces and MACs, machine identifier, user
// description, key device image, packet socket; then detaching. Every file
// and the socket opener come in as parameters, so the steps run on temporary
// files; main passes the fixed paths.

#include "Tarnhold/handler.h"
#include "common/config_info.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct StartupEnv {
    const char* configFile;
    const char* lockDir;
    const char* logFile;
    const char* procNetDev;
    const char* keyDat;
    const char* image;
    // Opens a packet socket for the protocol; -1 on failure.
    std::function<int()> openSocket;
    // Reads the MAC addresses of the listed interfaces on sock.
    std::function<bool(int, std::map<std::string, std::string>&, std::vector<std::string>&)> readMacs;
};

// Start-up failures for the daemon's own files (console, and log line at
// level 2): a file that exists but cannot be read (its path, the error
// number and its text), and a new machine identifier that cannot be saved
// (the path of Key.dat). Start-up then ends with status 1.
inline constexpr const char* kStartFileNotRead = "无法读取%s(err:%d, %s) , 启动失败";
inline constexpr const char* kStartCidNotSaved = "无法保存机器唯一标识到%s , 启动失败";

// The fixed files, the packet socket of the protocol and SIOCGIFHWADDR.
StartupEnv DefaultStartupEnv();

// socket(AF_PACKET, SOCK_RAW, 0x876D in network order).
int OpenPacketSocket();

// True while the log file is in use.
extern bool g_bLoadLog;

// Steps before detaching. Returns -1 when the daemon is to run, with the
// packet socket in sock and the host's facts in state (also left in the
// globals g_mapDevice, g_vecMac, g_szCID, g_strUserDes); otherwise the exit
// status (the log is then closed).
int PrepareDaemon(const StartupEnv& env, DaemonState& state, int& sock);

// Double fork with setsid between, standard streams onto /dev/null, umask 0.
// Returns -1 in the daemon; in every other process the status it must end
// with.
int Detach();
