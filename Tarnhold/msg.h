#pragma once
// Link-layer authentication frames between the access switch and the host.
//
// Every frame starts with a 24-byte header; one or more type-length-value
// records follow. The two 16-bit header fields (ethertype and frame length)
// are big-endian; everything else is bytes. Offsets count from the first byte
// of the Ethernet frame (the destination address).
//
// This header is self-contained (only <cstdint>, <cstddef>, <cstring>) so that
// test programs speaking the protocol can include it on its own.

#include <cstddef>
#include <cstdint>
#include <cstring>

// Record type codes.
enum msg_type : uint8_t {
    request_sm2 = 1,   // switch to host: SM2 challenge
    response_sm2 = 2,  // host to switch: the decrypted challenge
    request_rsa = 3,   // not served by the host
    response_rsa = 4,  // not served by the host
    response_ip = 5,   // not used
    response_id = 6,   // host to switch: host name
    request_err = 7,   // switch to host: report of a failed authentication
    request_mac = 8,   // switch to host: identity request
    response_mac = 9,  // host to switch: the host's MACs and CID
    response_des = 10, // host to switch: user description
};

namespace msg {

// Ethertype of every frame.
inline constexpr uint16_t ETHER_TYPE = 0x876D;
// Constant marker in the header (8 bytes, no terminator).
inline constexpr char MARKER[] = "akqwakqw";
inline constexpr size_t MARKER_LEN = 8;
inline constexpr size_t MAC_LEN = 6;

// Header.
inline constexpr size_t HEAD_DES_MAC = 0;   // destination MAC, 6 bytes
inline constexpr size_t HEAD_SRC_MAC = 6;   // source MAC, 6 bytes
inline constexpr size_t HEAD_TYPE = 12;     // ethertype, big-endian
inline constexpr size_t HEAD_LEN = 14;      // whole frame length, big-endian
inline constexpr size_t HEAD_MARKER = 16;   // "akqwakqw"
inline constexpr size_t HEAD_SIZE = 24;

// A record: type byte, length byte, data.
inline constexpr size_t TLV_TYPE = 0;
inline constexpr size_t TLV_LEN = 1;
inline constexpr size_t TLV_DATA = 2;

// Request: header and the first record's type and length; data from byte 26.
inline constexpr size_t REQ_TYPE = HEAD_SIZE + TLV_TYPE; // 24
inline constexpr size_t REQ_LEN = HEAD_SIZE + TLV_LEN;   // 25
inline constexpr size_t REQ_DATA = HEAD_SIZE + TLV_DATA; // 26
inline constexpr size_t REQUEST_SIZE = 26;               // shortest accepted frame

// SM2 challenge: exactly 276 bytes, one record of 250 bytes (the SM2 block:
// byte 0 the ciphertext length n, then the ciphertext).
inline constexpr size_t SM2_BLOCK_LEN = 250;
inline constexpr size_t SM2_REQUEST_SIZE = REQ_DATA + SM2_BLOCK_LEN; // 276

// SM2 reply: 219 + L bytes (L = description length).
inline constexpr size_t PLAIN_LEN = 128;   // plaintext record data
inline constexpr size_t HOSTNAME_LEN = 60; // host-name record data
inline constexpr size_t RESP_MSG_TYPE = 24;
inline constexpr size_t RESP_MSG_LEN = 25;
inline constexpr size_t RESP_MSG_DATA = 26;
inline constexpr size_t RESP_ID_TYPE = RESP_MSG_DATA + PLAIN_LEN; // 154
inline constexpr size_t RESP_ID_LEN = RESP_ID_TYPE + 1;           // 155
inline constexpr size_t RESP_ID_DATA = RESP_ID_TYPE + 2;          // 156
inline constexpr size_t RESP_DES_TYPE = RESP_ID_DATA + HOSTNAME_LEN; // 216
inline constexpr size_t RESP_DES_LEN = RESP_DES_TYPE + 1;            // 217
inline constexpr size_t RESP_DES_DATA = RESP_DES_TYPE + 2;           // 218
inline constexpr size_t RESPONSE_SIZE = RESP_DES_DATA;               // 218, without description
// The reply ends with one zero byte after the description.
inline constexpr size_t sm2_reply_size(size_t desLen) { return RESPONSE_SIZE + desLen + 1; }

// Identity reply: 67 + 6n + L bytes (n MACs). The MAC record holds the n MACs
// and then the 39-byte CID; the description record follows it.
inline constexpr size_t CID_SIZE = 39;
inline constexpr size_t MAX_DES_FOR_MAC = 128; // longest description the identity reply carries
inline constexpr size_t RESP_MAC_TYPE = 24;
inline constexpr size_t RESP_MAC_LEN = 25;
inline constexpr size_t RESP_MAC_DATA = 26;
inline constexpr size_t mac_des_type(size_t n) { return RESP_MAC_DATA + MAC_LEN * n + CID_SIZE; }
inline constexpr size_t mac_reply_size(size_t n, size_t desLen) { return mac_des_type(n) + 2 + desLen; }
// Length byte of the MAC record: (6n + 39) modulo 256.
inline constexpr uint8_t mac_record_len(size_t n) { return static_cast<uint8_t>((MAC_LEN * n + CID_SIZE) & 0xFF); }

static_assert(HEAD_SIZE == 24, "header size");
static_assert(REQUEST_SIZE == 26, "request size");
static_assert(SM2_REQUEST_SIZE == 276, "SM2 challenge size");
static_assert(RESP_ID_TYPE == 154 && RESP_DES_TYPE == 216, "SM2 reply record offsets");
static_assert(RESPONSE_SIZE == 218, "SM2 reply without description");
static_assert(sm2_reply_size(0) == 219 && sm2_reply_size(5) == 224, "SM2 reply size");
static_assert(mac_des_type(1) == 71 && mac_reply_size(1, 0) == 73, "identity reply, one MAC");
static_assert(mac_reply_size(2, 3) == 67 + 12 + 3, "identity reply size");
static_assert(mac_record_len(36) == 255 && mac_record_len(37) == 5, "MAC record length wraps");
static_assert(sizeof(MARKER) == MARKER_LEN + 1, "marker length");

// Big-endian 16-bit fields.
inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void put_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

// Fills the 24-byte header: destination and source MAC, ethertype, the low
// 16 bits of the whole frame length, the marker.
inline void put_head(uint8_t* frame, size_t frameLen, const uint8_t* desMac, const uint8_t* srcMac)
{
    std::memcpy(frame + HEAD_DES_MAC, desMac, MAC_LEN);
    std::memcpy(frame + HEAD_SRC_MAC, srcMac, MAC_LEN);
    put_be16(frame + HEAD_TYPE, ETHER_TYPE);
    put_be16(frame + HEAD_LEN, static_cast<uint16_t>(frameLen & 0xFFFF));
    std::memcpy(frame + HEAD_MARKER, MARKER, MARKER_LEN);
}

// True when the frame carries the ethertype and the marker.
inline bool head_type_ok(const uint8_t* frame) { return get_be16(frame + HEAD_TYPE) == ETHER_TYPE; }
inline bool head_marker_ok(const uint8_t* frame)
{
    return std::memcmp(frame + HEAD_MARKER, MARKER, MARKER_LEN) == 0;
}

} // namespace msg
