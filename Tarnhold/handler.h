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
    // The interface chosen by the first frame addressed to the host (and
    // received on the interface it is addressed to).
    bool bGetDevice = false;
    unsigned char mac[msg::MAC_LEN] = {};
    int ifindex = 0;
};

enum class FrameOutcome {
    Next,          // handled (or dropped); receive the next frame
    NoInterface,   // the chosen interface has no index: the daemon must end with status 1
};

// Handles the frame of `received` bytes (a negative count is a failed
// receive) that arrived on the interface of index arrivedOn. Bytes past
// `received` are never read. A frame counts only when it arrived on the
// interface whose MAC it is addressed to: the first such frame chooses that
// interface, and from then on only frames that arrive on it, to its MAC,
// are served.
FrameOutcome HandleFrame(const unsigned char* frame, long received, int arrivedOn, DaemonState& state,
                         DaemonEffects& fx);

// Receive buffer size; a frame is at most this long.
inline constexpr size_t RECV_BUFFER_SIZE = 2048;
