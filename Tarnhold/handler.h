#pragma once
// Handling of one received frame. The handler is a function of the bytes
// received and the daemon's state; everything it does to the world goes
// through DaemonEffects, so it runs without a network, a key device or the
// fixed files (main wires the effects to the packet socket, the key device
// facade and config.ini).

#include "Tarnhold/msg.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class DaemonEffects {
public:
    virtual ~DaemonEffects() = default;
    // Sends one frame on the interface ifindex to the 6-byte address dst;
    // the number of bytes sent, or 0 / -1 on failure.
    virtual long send(const unsigned char* frame, size_t len, int ifindex, const unsigned char* dst) = 0;
    // Decrypts the 250-byte SM2 block into out; len holds the capacity of out
    // on entry and the plaintext length on return. 0 on success.
    virtual int decrypt(unsigned char* block, unsigned char* out, size_t& len) = 0;
    // True when the key device image exists.
    virtual bool key_file_exists() = 0;
    // Index of the named interface, 0 on failure.
    virtual unsigned interface_index(const std::string& name) = 0;
    // Index of the master device (a bridge or bond the interface is a port
    // of) of the interface of index ifindex: 0 when it has none or is gone,
    // -1 (errno set) when it cannot be read.
    virtual int interface_master(int ifindex) = 0;
    // Records "Result" = v in the configuration file.
    virtual void write_result(int v) = 0;
    // One log line (already carrying its "[file function line] " prefix).
    virtual void log(int level, const char* line) = 0;
    // Console text on standard output (carries its own line end).
    virtual void console(const char* text) = 0;
    // perror(text) on standard error.
    virtual void console_error(const char* text) = 0;
    // The 60-byte host-name field of the SM2 reply.
    virtual void host_name(unsigned char* field) = 0;
};

struct DaemonState {
    // What start-up learnt (read only here).
    std::map<std::string, std::string> devices; // name -> "XX-XX-XX-XX-XX-XX"
    std::vector<std::string> macs;              // "XXXXXXXXXXXX" in name order
    char cid[msg::CID_SIZE] = {};
    std::string des;
    // The interface chosen by the first frame addressed to the host that
    // came in through the interface its MAC names (see HandleFrame).
    bool bGetDevice = false;
    unsigned char mac[msg::MAC_LEN] = {};
    int ifindex = 0;
};

// Handles the frame of `received` bytes (a negative count is a failed
// receive) that arrived on the interface of index arrivedOn (0: unknown).
// Bytes past `received` are never read.
//
// The interface a frame names is the first in name order whose MAC it is
// addressed to, passing over one whose index cannot be had (renamed or
// removed since start-up). The frame comes in through that interface when
// it arrived on it or on its master device: a bridge or bond delivers its
// ports' frames under its own index. While nothing is chosen, the first
// frame that comes in through the interface it names chooses that
// interface for good; a frame that arrived elsewhere chooses nothing. From
// then on only frames to the chosen MAC that come in through the chosen
// interface are served, and every reply goes out on the chosen interface
// itself. The master is looked up for each frame, since a port may join or
// leave a bridge while the daemon runs.
void HandleFrame(const unsigned char* frame, long received, int arrivedOn, DaemonState& state, DaemonEffects& fx);

// Receive buffer size; a frame is at most this long.
inline constexpr size_t RECV_BUFFER_SIZE = 2048;
