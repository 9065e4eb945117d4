// Frames of the simulated switch: building the requests and taking the
// daemon's replies apart. Pure functions over byte buffers (no sockets), so
// a fuzz target can call parse_reply directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace switchsim {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

constexpr uint16_t kEtherType = 0x876D;
constexpr char kMarker[9] = "akqwakqw";
constexpr size_t kHeadLen = 24;
constexpr size_t kChallengeLen = 276;
constexpr size_t kBlockLen = 250;
constexpr size_t kPlainField = 128;
constexpr size_t kHostField = 60;
constexpr size_t kCidLen = 39;

enum RecordType : uint8_t {
    kRequestSm2 = 1,
    kResponseSm2 = 2,
    kRequestRsa = 3,
    kResponseRsa = 4,
    kResponseIp = 5,
    kResponseId = 6,
    kRequestErr = 7,
    kRequestMac = 8,
    kResponseMac = 9,
    kResponseDes = 10,
};

// A request: header, then one record (type, length byte, data).
// declaredLen < 0: the header's length field holds the frame's true length;
// recLen < 0: the record's length byte holds data.size() (mod 256).
struct Request {
    Mac dst{};
    Mac src{};
    uint16_t etherType = kEtherType;
    std::string marker = kMarker;   // 8 bytes are sent (cut or zero-padded)
    uint8_t type = kRequestMac;
    Bytes data;
    int declaredLen = -1;
    int recLen = -1;
    bool typeOnly = false;          // stop after the type byte (25 bytes)
};
Bytes build_request(const Request& r);

// One reply of the daemon, as far as its structure goes.
struct Reply {
    Mac dst{};
    Mac src{};
    uint16_t etherType = 0;
    uint16_t declaredLen = 0;
    bool markerOk = false;
    uint8_t type = 0;               // kResponseSm2 or kResponseMac
    // SM2 reply
    Bytes plain;                    // the 128-byte plaintext field
    Bytes hostField;                // the 60-byte host-name field
    // identity reply
    std::vector<Mac> macs;
    Bytes cid;                      // 39 bytes
    // both
    Bytes desc;
};

// Takes a received frame apart. Returns false with the reason in why when
// the frame is not a well-formed reply: wrong ethertype or marker, a length
// field that differs from the received length, a record type or length byte
// out of place, or (SM2 reply) a last byte that is not zero. Never reads
// outside [p, p + n).
bool parse_reply(const uint8_t* p, size_t n, Reply& out, std::string& why);

std::string to_hex(const uint8_t* p, size_t n);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }
bool from_hex(const std::string& s, Bytes& out);
bool parse_mac(const std::string& s, Mac& out);   // "02:00:00:00:00:01", '-' or none
std::string mac_text(const Mac& m);

// The 60-byte host-name field that a host named name sends: the name, then
// zero bytes (cut to 60 bytes without terminator when it is longer).
Bytes host_field(const std::string& name);

} // namespace switchsim
