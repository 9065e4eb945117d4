// Card commands for SM4 with a card-held key and for the card's SHA-1 and
// SM3.
#include "cardapi/cos_frame.h"

using namespace cosapi;

namespace {

constexpr unsigned SM4_BLOCK = 16;
constexpr unsigned SM4_DATA_MAX = 240;
constexpr uint8_t SM4_MARKER = 0x80;
constexpr uint32_t HASH_PART = 128;
constexpr uint8_t SHA1_DIGEST = 20;
constexpr uint8_t SM3_DIGEST = 32;

// Part codes of a hash command (P1).
enum hash_part : uint8_t { HASH_SINGLE = 0, HASH_FIRST = 1, HASH_MIDDLE = 2, HASH_LAST = 3 };

// Hashes data on the card in parts of at most 128 bytes; the digest (the
// last part's answer) goes to out.
uint32_t card_hash(uint8_t ins, uint8_t digestLen, const uint8_t* data, uint16_t len, uint8_t* out,
                   uint8_t capacity)
{
    if (!data || !out || len == 0) return ST_BAD_ARGUMENT;
    if (capacity < digestLen) return ST_BUFFER_TOO_SMALL;

    _apdu_frame_ f;
    uint32_t st = ST_OK;
    for (uint32_t off = 0; off < len; off += HASH_PART) {
        uint32_t rest = len - off;
        uint8_t part;
        if (len <= HASH_PART)
            part = HASH_SINGLE;
        else if (off == 0)
            part = HASH_FIRST;
        else if (rest > HASH_PART)
            part = HASH_MIDDLE;
        else
            part = HASH_LAST;
        frame_init(f, CLA_PLAIN, ins, part, 0x00);
        frame_put(f, data + off, rest < HASH_PART ? rest : HASH_PART);
        if (part == HASH_SINGLE || part == HASH_LAST) f.Le = digestLen;
        st = transfer_answer(f);
        if (st != ST_OK) break;
    }
    memcpy(out, f.data, f.Le < capacity ? f.Le : capacity);
    return st;
}

}  // namespace

uint32_t COS_SM4Encrypt(uint8_t selector, const uint8_t* msg, uint8_t len, uint8_t* out, uint32_t* outLen)
{
    if (!msg || !out || !outLen) return ST_BAD_ARGUMENT;
    // Length byte, message, marker, zeros up to a whole number of blocks.
    unsigned padded = SM4_BLOCK * ((len + 1u) / SM4_BLOCK + 1u);
    if (padded > SM4_DATA_MAX) {
        *outLen = 0;
        return ST_WRONG_LENGTH;
    }
    if (static_cast<int>(*outLen) < static_cast<int>(padded)) {
        *outLen = padded;
        return ST_BUFFER_TOO_SMALL;
    }
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_SM4_ENCRYPT, selector, 0x00);
    frame_put(f, &len, 1);
    frame_put(f, msg, len);
    f.data[f.Lc] = SM4_MARKER;
    f.Lc = static_cast<uint8_t>(padded);
    f.Le = static_cast<uint8_t>(padded);
    // The length written back is what the card answered: nothing when the
    // command was never sent.
    uint32_t st = transfer_answer(f);
    unsigned alen = f.Le < padded ? f.Le : padded;
    *outLen = alen;
    if (st == ST_OK) memcpy(out, f.data, alen);
    return st;
}

uint32_t COS_SM4Decrypt(uint8_t selector, const uint8_t* cipher, uint8_t len, uint8_t* out, int* outLen)
{
    if (!cipher || !out || !outLen) return ST_BAD_ARGUMENT;
    if (len % SM4_BLOCK != 0 || len > SM4_DATA_MAX) {
        *outLen = 0;
        return ST_WRONG_LENGTH;
    }
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_SM4_DECRYPT, selector, 0x00);
    frame_put(f, cipher, len);
    f.Le = len;
    uint32_t st = COS_Transfer(&f);
    if (st != ST_OK) {
        *outLen = 0;
        return st;
    }
    // The plaintext must read: length byte n, n bytes, the marker, zeros.
    int n = f.data[0];
    if (n > len - 2 || n < len - 17 || f.data[n + 1] != SM4_MARKER) {
        *outLen = 0;
        return ST_DECRYPT_FAILED;
    }
    if (*outLen < n) {
        *outLen = n;
        return ST_BUFFER_TOO_SMALL;
    }
    memcpy(out, f.data + 1, static_cast<size_t>(n));
    if (*outLen > n) out[n] = '\0';
    *outLen = n;
    return ST_OK;
}

uint32_t COS_SHA1(const uint8_t* data, uint16_t len, uint8_t* out, uint8_t capacity)
{
    return card_hash(INS_SHA1, SHA1_DIGEST, data, len, out, capacity);
}

uint32_t COS_SM3(const uint8_t* data, uint16_t len, uint8_t* out, uint8_t capacity)
{
    return card_hash(INS_SM3, SM3_DIGEST, data, len, out, capacity);
}
