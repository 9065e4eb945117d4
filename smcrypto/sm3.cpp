#include "smcrypto/sm3.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

const uint32_t IV[8] = {
    0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
    0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E,
};

inline uint32_t _irol_(uint32_t x, unsigned n)
{
    n &= 31;
    return n ? (x << n) | (x >> (32 - n)) : x;
}

inline uint32_t char2int(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// The word is turned whole and stored at once: written byte by byte, the
// compiler may gather the bytes of several words in a scratch area on the
// stack first, which would leave a digest (of a key, a PIN) behind.
inline void int2char(uint32_t v, unsigned char* p)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

inline uint32_t P0(uint32_t x) { return x ^ _irol_(x, 9) ^ _irol_(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ _irol_(x, 15) ^ _irol_(x, 23); }

// Round constants already rotated left by j, so the compression needs no
// rotation by a variable amount.
struct tj_table {
    uint32_t v[64];
    constexpr tj_table() : v()
    {
        for (unsigned j = 0; j < 64; ++j) {
            uint32_t t = j < 16 ? 0x79CC4519u : 0x7A879D8Au;
            unsigned n = j % 32;
            v[j] = n ? (t << n) | (t >> (32 - n)) : t;
        }
    }
};
constexpr tj_table Tj{};

// Message expansion W16..W67; word i is formed just before round i - 4 needs
// it, interleaved with the rounds (W'j = Wj ^ Wj+4 is formed in the round).
template <int i>
inline void expand(uint32_t W[68])
{
    if constexpr (i >= 16 && i < 68)
        W[i] = P1(W[i - 16] ^ W[i - 9] ^ _irol_(W[i - 3], 15)) ^ _irol_(W[i - 13], 7) ^ W[i - 6];
}

// The first sixteen words of the expansion: the block read big-endian.
inline void SM3_Extend(const unsigned char* block, uint32_t W[68])
{
    for (int j = 0; j < 16; ++j)
        W[j] = char2int(block + 4 * j);
}

// Rounds written out in groups of four with the register roles rotated, so
// no words are moved between rounds.
#define SM3_ROUND(j, A, B, C, D, E, F, G, H, FF, GG)                  \
    do {                                                             \
        expand<(j) + 4>(W);                                          \
        uint32_t a12 = _irol_(A, 12);                                \
        uint32_t ss1 = _irol_(a12 + E + Tj.v[j], 7);                 \
        uint32_t ss2 = ss1 ^ a12;                                    \
        uint32_t tt1 = FF(A, B, C) + D + ss2 + (W[j] ^ W[(j) + 4]);  \
        uint32_t tt2 = GG(E, F, G) + H + ss1 + W[j];                 \
        B = _irol_(B, 9);                                            \
        F = _irol_(F, 19);                                           \
        D = tt1;                                                     \
        H = P0(tt2);                                                 \
    } while (0)

#define FF0(x, y, z) ((x) ^ (y) ^ (z))
#define GG0(x, y, z) ((x) ^ (y) ^ (z))
#define FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

#define SM3_ROUND4(j, FF, GG)                                   \
    SM3_ROUND((j) + 0, A, B, C, D, E, F, G, H, FF, GG);         \
    SM3_ROUND((j) + 1, D, A, B, C, H, E, F, G, FF, GG);         \
    SM3_ROUND((j) + 2, C, D, A, B, G, H, E, F, FF, GG);         \
    SM3_ROUND((j) + 3, B, C, D, A, F, G, H, E, FF, GG)

// Compression of n consecutive 64-byte blocks into the chaining words.
void CF(uint32_t V[8], const unsigned char* data, size_t nblocks)
{
    uint32_t W[68];
    while (nblocks--) {
        SM3_Extend(data, W);
        uint32_t A = V[0], B = V[1], C = V[2], D = V[3];
        uint32_t E = V[4], F = V[5], G = V[6], H = V[7];
        SM3_ROUND4(0, FF0, GG0);
        SM3_ROUND4(4, FF0, GG0);
        SM3_ROUND4(8, FF0, GG0);
        SM3_ROUND4(12, FF0, GG0);
        SM3_ROUND4(16, FF1, GG1);
        SM3_ROUND4(20, FF1, GG1);
        SM3_ROUND4(24, FF1, GG1);
        SM3_ROUND4(28, FF1, GG1);
        SM3_ROUND4(32, FF1, GG1);
        SM3_ROUND4(36, FF1, GG1);
        SM3_ROUND4(40, FF1, GG1);
        SM3_ROUND4(44, FF1, GG1);
        SM3_ROUND4(48, FF1, GG1);
        SM3_ROUND4(52, FF1, GG1);
        SM3_ROUND4(56, FF1, GG1);
        SM3_ROUND4(60, FF1, GG1);
        V[0] ^= A; V[1] ^= B; V[2] ^= C; V[3] ^= D;
        V[4] ^= E; V[5] ^= F; V[6] ^= G; V[7] ^= H;
        data += 64;
    }
    // The expanded words are the message (a key, a PIN) in other form.
    OPENSSL_cleanse(W, sizeof W);
}

// Padding of a message whose last `tailLen` bytes (0 to 63, the part
// past its last whole block) are at `tail`; `msgLen` is the length of the
// whole message. The tail, 0x80, zeros and the bit length as a 64-bit
// big-endian number fill one block (tail of 0 to 55 bytes) or two (56 to 63).
// With *bufLen below that size: *bufLen := the size needed, result 1, buf
// untouched. Else the padded block(s) are written, *bufLen := their size and
// the result is 0.
int SM3_Ready(const unsigned char* tail, uint32_t tailLen, uint64_t msgLen, unsigned char* buf,
              uint32_t* bufLen)
{
    const uint32_t need = tailLen <= 55 ? 64 : 128;
    if (*bufLen < need) {
        *bufLen = need;
        return 1;
    }
    if (tailLen)
        std::memcpy(buf, tail, tailLen);
    buf[tailLen] = 0x80;
    std::memset(buf + tailLen + 1, 0, need - tailLen - 1);
    const uint64_t bits = msgLen << 3;
    for (int i = 0; i < 8; ++i)
        buf[need - 1 - i] = (unsigned char)(bits >> (8 * i));
    *bufLen = need;
    return 0;
}

// A context as SM3_Init and SM3_Update leave it holds at most 63 bytes in
// its buffer; any other count would be taken as a length into it.
bool sound_context(const _sm3_ctx_& ctx) { return ctx.buffered < 64; }

} // namespace

void SM3_Init(_sm3_ctx_* ctx)
{
    std::memset(ctx, 0, sizeof *ctx);
    std::memcpy(ctx->state, IV, sizeof IV);
}

void SM3_Update(_sm3_ctx_* ctx, const unsigned char* data, uint32_t len)
{
    if (len == 0 || !sound_context(*ctx))
        return;
    uint64_t done = 0;
    if (ctx->buffered) {
        uint32_t room = 64 - ctx->buffered;
        if (len < room) {
            std::memcpy(ctx->buf + ctx->buffered, data, len);
            ctx->buffered += len;
            return;
        }
        std::memcpy(ctx->buf + ctx->buffered, data, room);
        CF(ctx->state, ctx->buf, 1);
        done += 64;
        data += room;
        len -= room;
        ctx->buffered = 0;
    }
    uint32_t whole = len / 64;
    if (whole) {
        CF(ctx->state, data, whole);
        done += (uint64_t)whole * 64;
        data += (size_t)whole * 64;
        len -= whole * 64;
    }
    if (len)
        std::memcpy(ctx->buf, data, len);
    ctx->buffered = len;
    uint64_t total = ((uint64_t)ctx->processed_hi << 32 | ctx->processed) + done;
    ctx->processed = (uint32_t)total;
    ctx->processed_hi = (uint32_t)(total >> 32);
}

void SM3_Final(_sm3_ctx_ ctx, unsigned char out[32])
{
    if (!sound_context(ctx)) {
        std::memset(out, 0, 32);
        OPENSSL_cleanse(&ctx, sizeof ctx);
        return;
    }
    // The message length in bits is kept in 64 bits.
    uint64_t bytes = ((uint64_t)ctx.processed_hi << 32 | ctx.processed) + ctx.buffered;
    unsigned char last[128];
    uint32_t total = sizeof last;
    SM3_Ready(ctx.buf, ctx.buffered, bytes, last, &total);
    CF(ctx.state, last, total / 64);
    for (int i = 0; i < 8; ++i)
        int2char(ctx.state[i], out + 4 * i);
    OPENSSL_cleanse(last, sizeof last);
    OPENSSL_cleanse(&ctx, sizeof ctx);
}

void SM3(const unsigned char* in, int len, unsigned char out[32])
{
    uint32_t V[8];
    std::memcpy(V, IV, sizeof IV);
    // The whole blocks are compressed straight from the input; only the
    // trailing bytes go through the padding buffer.
    const size_t n = len > 0 ? (size_t)len : 0;
    const size_t whole = n / 64;
    if (whole)
        CF(V, in, whole);
    unsigned char last[128];
    uint32_t total = sizeof last;
    SM3_Ready(in + 64 * whole, (uint32_t)(n % 64), n, last, &total);
    CF(V, last, total / 64);
    for (int i = 0; i < 8; ++i)
        int2char(V[i], out + 4 * i);
    OPENSSL_cleanse(V, sizeof V);
    OPENSSL_cleanse(last, sizeof last);
}
