// The daemon's socket side on the real kernel: in a private network
// namespace with a veth pair, the interface list, the MAC reads, a packet
// socket of the protocol and the handler's replies through PacketEffects,
// received by a "switch" socket on the peer interface.

#include "Tarnhold/discovery.h"
#include "Tarnhold/handler.h"
#include "Tarnhold/msg.h"
#include "Tarnhold/packet_effects.h"
#include "Tarnhold/startup.h"
#include "common/ConfigBox.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kSkip = 77;

bool find_ip(std::string* path)
{
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) {
            *path = p;
            return true;
        }
    return false;
}

Bytes mac_bytes(const std::string& text)
{
    Bytes m(6);
    for (int i = 0; i < 6; ++i)
        m[i] = static_cast<unsigned char>(std::stoul(text.substr(3 * i, 2), nullptr, 16));
    return m;
}

Bytes request(const Bytes& dst, const Bytes& src, int type, const Bytes& data, size_t total)
{
    Bytes f(std::max(total, 26 + data.size()), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    msg::put_be16(f.data() + 12, msg::ETHER_TYPE);
    msg::put_be16(f.data() + 14, static_cast<uint16_t>(f.size()));
    std::memcpy(f.data() + 16, msg::MARKER, msg::MARKER_LEN);
    f[24] = static_cast<unsigned char>(type);
    f[25] = static_cast<unsigned char>(data.size());
    std::copy(data.begin(), data.end(), f.begin() + 26);
    return f;
}

// Receives on sock until a frame of the protocol whose record type is want
// arrives; a receive timeout of the socket guards against a lost frame.
bool receive_type(int sock, int want, Bytes* out)
{
    for (int i = 0; i < 64; ++i) {
        unsigned char buf[2048];
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n < 0)
            return false;
        if (n >= 26 && buf[24] == want) {
            out->assign(buf, buf + n);
            return true;
        }
    }
    return false;
}

// Runs in the child, inside its own network namespace. "" on success.
std::string run_in_namespace(const std::string& ip, const std::string& dir)
{
    std::ostringstream err;
    const std::string cmd = ip + " link add tarn0 type veth peer name tarn1 && " + ip + " link set tarn0 up && " +
                            ip + " link set tarn1 up";
    if (std::system(cmd.c_str()) != 0)
        return "cannot make the veth pair";

    std::map<std::string, std::string> devices;
    std::vector<std::string> macs;
    int count = GetNetCardCount("/proc/net/dev", devices);
    if (count != 2 || devices.count("tarn0") != 1 || devices.count("tarn1") != 1)
        return "interface list: " + std::to_string(count);
    int sock = OpenPacketSocket();
    if (sock < 0)
        return "packet socket refused";
    if (!ReadMacAddresses(sock, devices, macs) || macs.size() != 2)
        return "MAC reads";
    const Bytes host = mac_bytes(devices["tarn0"]);
    const Bytes sw = mac_bytes(devices["tarn1"]);

    int swSock = socket(AF_PACKET, SOCK_RAW, htons(msg::ETHER_TYPE));
    struct sockaddr_ll at;
    std::memset(&at, 0, sizeof at);
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(msg::ETHER_TYPE);
    at.sll_ifindex = static_cast<int>(if_nametoindex("tarn1"));
    if (swSock < 0 || bind(swSock, reinterpret_cast<struct sockaddr*>(&at), sizeof at) != 0)
        return "switch socket";
    struct timeval tv = {10, 0};
    setsockopt(swSock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    DaemonState st;
    st.devices = devices;
    st.macs = macs;
    st.cid[0] = 2;
    std::memset(st.cid + 3, 'C', 36);
    st.des = "user";
    CConfigBox box;
    const std::string ini = dir + "/config.ini";
    PacketEffects fx(sock, box, ini, dir, dir + "/missing.vkd");

    // One request from the switch; the daemon receives until it has handled
    // the frame as it arrived on tarn0. The socket also sees the switch's
    // own copy leaving tarn1 (and the daemon's replies): those arrive on
    // tarn1, or carry another source, and are handled too, as the daemon
    // would, without an answer.
    const int hostIndex = static_cast<int>(if_nametoindex("tarn0"));
    auto exchange = [&](const Bytes& f, int replyType, Bytes* reply) -> std::string {
        if (send(swSock, f.data(), f.size(), 0) != static_cast<ssize_t>(f.size()))
            return "switch send";
        for (int i = 0; i < 64; ++i) {
            unsigned char buf[RECV_BUFFER_SIZE] = {};
            int on = 0;
            long n = ReceiveFrame(sock, buf, sizeof buf, &on);
            if (n < 0)
                return "daemon receive";
            if (n >= 26 && std::memcmp(buf + 6, sw.data(), 6) == 0) {
                testing::internal::CaptureStdout();
                HandleFrame(buf, n, on, st, fx);
                testing::internal::GetCapturedStdout();
                if (on != hostIndex && st.bGetDevice && st.ifindex != hostIndex)
                    return "a frame that arrived on tarn1 chose an interface";
                if (on == hostIndex)
                    break;
            }
        }
        if (replyType != 0 && !receive_type(swSock, replyType, reply))
            return "no reply of type " + std::to_string(replyType);
        return "";
    };

    Bytes reply;
    std::string e = exchange(request(host, sw, request_mac, {}, 60), response_mac, &reply);
    if (!e.empty())
        return e;
    if (reply.size() != 67 + 12 + 4 || Bytes(reply.begin(), reply.begin() + 6) != sw ||
        Bytes(reply.begin() + 6, reply.begin() + 12) != host || msg::get_be16(&reply[14]) != reply.size())
        err << "identity reply header; ";
    if (Bytes(reply.begin() + 26, reply.begin() + 32) != mac_bytes(devices.begin()->second))
        err << "identity reply MACs; ";
    if (st.ifindex != hostIndex)
        err << "chosen index " << st.ifindex << "; ";

    Bytes block(250, 0x42);
    block[0] = 120;
    e = exchange(request(host, sw, request_sm2, block, 276), response_sm2, &reply);
    if (!e.empty())
        return e;
    if (reply.size() != 223 || Bytes(reply.begin() + 26, reply.begin() + 154) != Bytes(128, 0xFF))
        err << "challenge reply; ";
    CConfigBox check;
    if (!check.load(ini) || check.get_property("Result", "") != "0")
        err << "Result after the challenge; ";

    e = exchange(request(host, sw, request_err, Bytes(3, 0xFF), 60), 0, &reply);
    if (!e.empty())
        return e;
    if (!check.load(ini) || check.get_property("Result", "") != "2")
        err << "Result after the error report; ";
    close(swSock);
    close(sock);
    return err.str();
}

// The master device of an interface, asked of the kernel: a veth end made a
// port of a bridge, moved to another bridge, taken out; an index nobody has.
std::string masters_in_namespace(const std::string& ip, const std::string&)
{
    const std::string cmd = ip + " link add tarn0 type veth peer name tarn1 && " + ip +
                            " link add tarnbr0 type bridge && " + ip + " link add tarnbr1 type bridge && " + ip +
                            " link set tarn0 master tarnbr0";
    if (std::system(cmd.c_str()) != 0)
        return "cannot make the veth pair and bridges";
    const int port = static_cast<int>(if_nametoindex("tarn0"));
    const int peer = static_cast<int>(if_nametoindex("tarn1"));
    const int br0 = static_cast<int>(if_nametoindex("tarnbr0"));
    const int br1 = static_cast<int>(if_nametoindex("tarnbr1"));
    std::ostringstream err;
    auto expect = [&](const char* what, int ifindex, int want) {
        errno = 0;
        const int got = InterfaceMaster(ifindex);
        if (got != want)
            err << what << ": " << got << " (errno " << errno << "), expected " << want << "; ";
    };
    expect("port of tarnbr0", port, br0);
    expect("veth end outside a bridge", peer, 0);
    expect("the bridge itself", br0, 0);
    if (std::system((ip + " link set tarn0 master tarnbr1").c_str()) != 0)
        return "cannot move the port";
    expect("port moved to tarnbr1", port, br1);
    if (std::system((ip + " link set tarn0 nomaster").c_str()) != 0)
        return "cannot take the port out";
    expect("port taken out", port, 0);
    expect("an index that no interface has", 0x7FFFFFF0, 0);
    return err.str();
}

// Runs body(ip, dir) in a child process inside a network namespace of its
// own; the test is skipped where no such namespace can be made.
void run_in_private_namespace(std::string (*body)(const std::string&, const std::string&))
{
    std::string ip;
    if (!find_ip(&ip))
        GTEST_SKIP() << "no ip command";
    TmpDir dir;
    write_file(dir.file("config.ini"), "info=user\nResult=11\n");
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(result[0]);
        if (unshare(CLONE_NEWNET) != 0)
            _exit(kSkip);
        std::string e = body(ip, dir.path());
        if (write(result[1], e.data(), e.size()) != static_cast<ssize_t>(e.size()))
            _exit(3);
        _exit(0);
    }
    close(result[1]);
    std::string e;
    char buf[256];
    ssize_t n;
    while ((n = read(result[0], buf, sizeof buf)) > 0)
        e.append(buf, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kSkip)
        GTEST_SKIP() << "no private network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(e, "");
}

TEST(Kernel, RepliesOnVethInPrivateNamespace)
{
    run_in_private_namespace(run_in_namespace);
}

TEST(Kernel, MasterDeviceOfAnInterface)
{
    run_in_private_namespace(masters_in_namespace);
}

} // namespace
