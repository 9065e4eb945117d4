#include "smcrypto/sm4.h"

#include "smcrypto/secret_bytes.h"
#include "smcrypto/status.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

const unsigned char SboxTable[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

const uint32_t FK[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

const uint32_t CK[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279,
};

constexpr uint32_t rol(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// Round transform T folded with the S-box: Ttab[b][x] = L(S(x) << (24 - 8b)).
struct t_tables {
    uint32_t t[4][256];
    constexpr t_tables(const unsigned char (&s)[256]) : t()
    {
        for (unsigned x = 0; x < 256; ++x) {
            uint32_t b = (uint32_t)s[x] << 24;
            uint32_t l = b ^ rol(b, 2) ^ rol(b, 10) ^ rol(b, 18) ^ rol(b, 24);
            t[0][x] = l;
            t[1][x] = rol(l, 24);
            t[2][x] = rol(l, 16);
            t[3][x] = rol(l, 8);
        }
    }
};
const t_tables Ttab(SboxTable);

inline uint32_t load_be(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

inline void store_be(uint32_t v, unsigned char* p)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

inline uint32_t sm4Sbox(uint32_t a)
{
    return (uint32_t)SboxTable[a >> 24] << 24 | (uint32_t)SboxTable[(a >> 16) & 0xff] << 16 |
           (uint32_t)SboxTable[(a >> 8) & 0xff] << 8 | SboxTable[a & 0xff];
}

// T: S-box then the linear transform L, by table.
inline uint32_t sm4Lt(uint32_t a)
{
    return Ttab.t[0][a >> 24] ^ Ttab.t[1][(a >> 16) & 0xff] ^ Ttab.t[2][(a >> 8) & 0xff] ^
           Ttab.t[3][a & 0xff];
}

inline uint32_t sm4F(uint32_t x0, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t rk)
{
    return x0 ^ sm4Lt(x1 ^ x2 ^ x3 ^ rk);
}

// Key-schedule transform T' (S-box, then L').
inline uint32_t sm4CalciRK(uint32_t ka)
{
    uint32_t b = sm4Sbox(ka);
    return b ^ rol(b, 13) ^ rol(b, 23);
}

void sm4_setkey(uint32_t rk[32], const unsigned char key[16])
{
    uint32_t k[4];
    cleanse_on_exit wipeK(k, sizeof k);
    for (int i = 0; i < 4; ++i)
        k[i] = load_be(key + 4 * i) ^ FK[i];
    for (int i = 0; i < 32; ++i) {
        uint32_t n = k[0] ^ sm4CalciRK(k[1] ^ k[2] ^ k[3] ^ CK[i]);
        rk[i] = n;
        k[0] = k[1];
        k[1] = k[2];
        k[2] = k[3];
        k[3] = n;
    }
}

void reverse_keys(uint32_t rk[32])
{
    for (int i = 0; i < 16; ++i) {
        uint32_t t = rk[i];
        rk[i] = rk[31 - i];
        rk[31 - i] = t;
    }
}

// 32 rounds and the reverse transform over one block. The whole block is read
// before any output byte is written, so in and out may overlap.
void sm4_one_round(const uint32_t rk[32], const unsigned char in[16], unsigned char out[16])
{
    uint32_t x0 = load_be(in), x1 = load_be(in + 4), x2 = load_be(in + 8), x3 = load_be(in + 12);
    for (int i = 0; i < 32; i += 4) {
        x0 = sm4F(x0, x1, x2, x3, rk[i]);
        x1 = sm4F(x1, x2, x3, x0, rk[i + 1]);
        x2 = sm4F(x2, x3, x0, x1, rk[i + 2]);
        x3 = sm4F(x3, x0, x1, x2, rk[i + 3]);
    }
    store_be(x3, out);
    store_be(x2, out + 4);
    store_be(x1, out + 8);
    store_be(x0, out + 12);
}

inline void xor16(unsigned char* dst, const unsigned char* a, const unsigned char* b)
{
    for (int i = 0; i < 16; ++i)
        dst[i] = a[i] ^ b[i];
}

void make_keys(uint32_t rk[32], const unsigned char key[16], bool decrypt)
{
    sm4_setkey(rk, key);
    if (decrypt)
        reverse_keys(rk);
}

// One CBC step with the given keys; chain holds the previous ciphertext block.
void cbc_block(const uint32_t rk[32], bool encrypt, unsigned char chain[16],
               const unsigned char* in, unsigned char* out)
{
    unsigned char blk[16];
    cleanse_on_exit wipeBlock(blk, sizeof blk);
    if (encrypt) {
        xor16(blk, in, chain);
        sm4_one_round(rk, blk, out);
        std::memcpy(chain, out, 16);
    } else {
        unsigned char c[16];
        std::memcpy(c, in, 16);
        sm4_one_round(rk, c, blk);
        xor16(out, blk, chain);
        std::memcpy(chain, c, 16);
    }
}

// memcpy that accepts a null pointer with a length of 0.
inline void copy_bytes(unsigned char* dst, const unsigned char* src, size_t n)
{
    if (n)
        std::memcpy(dst, src, n);
}

inline bool is_cbc(uint32_t mode) { return ((mode >> 4) & 0xF) == 0x1; }
inline bool is_encrypt(uint32_t mode) { return (mode & 0xF) == 1; }

// One block of the context's mode (ECB or CBC) in its direction.
void ctx_block(_sm4_ctx_* ctx, const unsigned char* in, unsigned char* out)
{
    if (is_cbc(ctx->mode))
        cbc_block(ctx->rk, is_encrypt(ctx->mode), ctx->iv, in, out);
    else
        sm4_one_round(ctx->rk, in, out);
}

} // namespace

void sm4_crypt_ecb(const unsigned char key[16], int mode, int length, const unsigned char* in,
                   unsigned char* out)
{
    uint32_t rk[32];
    cleanse_on_exit wipeKeys(rk, sizeof rk);
    make_keys(rk, key, mode == 0);
    for (; length >= 16; length -= 16, in += 16, out += 16)
        sm4_one_round(rk, in, out);
}

void sm4_crypt_cbc(const unsigned char key[16], int mode, int length, unsigned char iv[16],
                   const unsigned char* in, unsigned char* out)
{
    uint32_t rk[32];
    cleanse_on_exit wipeKeys(rk, sizeof rk);
    make_keys(rk, key, mode == 0);
    for (; length >= 16; length -= 16, in += 16, out += 16)
        cbc_block(rk, mode != 0, iv, in, out);
}

static void sm4_oneshot(int mode, const unsigned char* key, const unsigned char* iv,
                        const unsigned char* in, uint32_t len, unsigned char* out)
{
    if (len == 0 || len % 16 != 0)
        return;
    if (iv) {
        // The caller's IV is read, not updated.
        unsigned char chain[16];
        std::memcpy(chain, iv, 16);
        sm4_crypt_cbc(key, mode, (int)len, chain, in, out);
    } else {
        sm4_crypt_ecb(key, mode, (int)len, in, out);
    }
}

void SM4_Encrypt(const unsigned char* key, const unsigned char* iv, const unsigned char* in,
                 uint32_t len, unsigned char* out)
{
    sm4_oneshot(1, key, iv, in, len, out);
}

void SM4_Decrypt(const unsigned char* key, const unsigned char* iv, const unsigned char* in,
                 uint32_t len, unsigned char* out)
{
    sm4_oneshot(0, key, iv, in, len, out);
}

int SM4_Init(_sm4_ctx_* ctx, const unsigned char* key, const unsigned char* iv, int mode)
{
    if (!ctx || !key)
        return ST_BAD_ARGUMENT;
    uint32_t m = (uint32_t)mode;
    if ((m & 0xF) > 1)
        return ST_UNKNOWN_CIPHER;
    if (is_cbc(m) && !iv)
        return ST_BAD_ARGUMENT;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->mode = m;
    make_keys(ctx->rk, key, !is_encrypt(m));
    if (is_cbc(m))
        std::memcpy(ctx->iv, iv, 16);
    return ST_OK;
}

namespace {

// Bytes off .. off+n of the stream formed by the context's buffer followed by
// the input.
void gather(const _sm4_ctx_* ctx, const unsigned char* in, uint64_t off, uint32_t n,
            unsigned char* dst)
{
    uint32_t b = ctx->buffered;
    if (off < b) {
        uint32_t first = b - (uint32_t)off < n ? b - (uint32_t)off : n;
        copy_bytes(dst, ctx->buf + off, first);
        copy_bytes(dst + first, in, n - first);
    } else {
        copy_bytes(dst, in + (off - b), n);
    }
}

// Runs nout blocks of the stream (buffer, then input) through the context's
// mode into out and keeps the rem bytes after them as the new buffer. Every
// block is read before the block ahead of it is written, so out may be the
// input buffer itself.
void run_stream(_sm4_ctx_* ctx, const unsigned char* in, unsigned char* out, uint32_t nout,
                uint32_t rem)
{
    unsigned char cur[16], nxt[16];
    cleanse_on_exit wipeCur(cur, sizeof cur), wipeNxt(nxt, sizeof nxt);
    if (ctx->buffered == 0) {
        for (uint32_t k = 0; k < nout; ++k)
            ctx_block(ctx, in + 16 * (size_t)k, out + 16 * (size_t)k);
        copy_bytes(nxt, in + 16 * (size_t)nout, rem);
    } else {
        if (nout == 0)
            gather(ctx, in, 0, rem, nxt);
        else
            gather(ctx, in, 0, 16, cur);
        for (uint32_t k = 0; k < nout; ++k) {
            uint64_t off = 16 * ((uint64_t)k + 1);
            gather(ctx, in, off, k + 1 < nout ? 16 : rem, nxt);
            ctx_block(ctx, cur, out + 16 * (size_t)k);
            std::memcpy(cur, nxt, 16);
        }
    }
    copy_bytes(ctx->buf, nxt, rem);
    ctx->buffered = rem;
}

// A context as SM4_Init and the streaming functions leave it: encryption
// holds 0 to 15 bytes, decryption none or one whole block.
bool sound_context(const _sm4_ctx_& ctx)
{
    return is_encrypt(ctx.mode) ? ctx.buffered < 16 : (ctx.buffered == 0 || ctx.buffered == 16);
}

} // namespace

int SM4_Update(_sm4_ctx_* ctx, const unsigned char* in, uint32_t len, unsigned char* out,
               uint32_t* outlen)
{
    if (!ctx || !outlen || (len && !in))
        return ST_BAD_ARGUMENT;
    if (!sound_context(*ctx)) {
        *outlen = 0;
        return ST_BAD_ARGUMENT;
    }
    uint64_t total = (uint64_t)ctx->buffered + len;
    if (is_encrypt(ctx->mode)) {
        uint32_t nout = (uint32_t)(total / 16);
        if (nout && !out) {
            *outlen = 0;
            return ST_BAD_ARGUMENT;
        }
        run_stream(ctx, in, out, nout, (uint32_t)(total % 16));
        *outlen = nout * 16;
        return ST_OK;
    }

    if (len % 16 != 0) {
        *outlen = 0;
        return ST_BAD_ARGUMENT;
    }
    if (len == 0) {
        // Nothing new: the held block stays held.
        *outlen = 0;
        return ST_OK;
    }
    // The last block is held back for SM4_Final.
    uint32_t nout = (uint32_t)(total / 16) - 1;
    if (nout && !out) {
        *outlen = 0;
        return ST_BAD_ARGUMENT;
    }
    run_stream(ctx, in, out, nout, 16);
    *outlen = nout * 16;
    return ST_OK;
}

int SM4_Final(_sm4_ctx_ ctx, unsigned char* out, int* outlen)
{
    if (!outlen || !sound_context(ctx))
        return ST_BAD_ARGUMENT;
    unsigned char blk[16];
    // The copy holds the round keys and the last plaintext bytes.
    cleanse_on_exit wipeBlock(blk, sizeof blk), wipeCtx(&ctx, sizeof ctx);
    if (is_encrypt(ctx.mode)) {
        if (*outlen < 16) {
            *outlen = 16;
            return ST_BUFFER_TOO_SMALL;
        }
        if (!out)
            return ST_BAD_ARGUMENT;
        unsigned p = 16 - ctx.buffered;
        std::memcpy(blk, ctx.buf, ctx.buffered);
        std::memset(blk + ctx.buffered, (int)p, p);
        ctx_block(&ctx, blk, out);
        *outlen = 16;
        return ST_OK;
    }

    std::memset(blk, 0, sizeof blk);
    std::memcpy(blk, ctx.buf, ctx.buffered);
    ctx_block(&ctx, blk, blk);
    // PKCS#7: p of 1 to 16 and each of the last p bytes equal to p. Every
    // byte is looked at whatever p is, so the time taken does not tell
    // which byte was wrong.
    unsigned p = blk[15];
    unsigned bad = (unsigned)(p - 1) >> 4;   // p = 0 wraps, p > 16 is >= 16
    for (unsigned i = 0; i < 16; ++i) {
        unsigned in_pad = (unsigned)((15 - i) - p) >> 31;  // 15 - i < p
        bad |= in_pad & (unsigned)(blk[i] != p);
    }
    bad |= ctx.buffered == 0;   // no block was ever given
    int rc = ST_OK;
    int n = 16 - (int)p;
    if (bad)
        rc = ST_DECRYPT_FAILED;
    else if (*outlen < n) {
        *outlen = n;
        rc = ST_BUFFER_TOO_SMALL;
    } else if (n && !out)
        rc = ST_BAD_ARGUMENT;
    else {
        copy_bytes(out, blk, (size_t)n);
        *outlen = n;
    }
    return rc;
}
