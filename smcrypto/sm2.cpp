#include "smcrypto/sm2.h"
#include "smcrypto/sm2_seam.h"

#include "smcrypto/ecurve.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm3.h"
#include "smcrypto/status.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <cstring>
#include <initializer_list>
#include <mutex>

// Null unless a test program links its seams.
bool tarn_seam_sm2_take_k(unsigned char k[32]) __attribute__((weak));

namespace {

constexpr unsigned char hexval(char c)
{
    return (unsigned char)(c <= '9' ? c - '0' : c - 'A' + 10);
}

struct curve_bytes {
    unsigned char v[6][32];
    constexpr curve_bytes(const char* const (&hex)[6]) : v()
    {
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 32; ++j)
                v[i][j] = (unsigned char)(hexval(hex[i][2 * j]) << 4 | hexval(hex[i][2 * j + 1]));
    }
};

// p, a, b, Gx, Gy, n of sm2p256v1, 32 bytes each, big-endian.
constexpr curve_bytes params(ECURVE_SM2_PARAM_HEX);
enum { P_P, P_A, P_B, P_GX, P_GY, P_N };

// Work areas: the user-hash input, the digest input, the encryption mask and
// the decryption mask.
constexpr unsigned kZArea = 256, kEArea = 256, kEncMax = SM2_MAX_ENCRYPT, kDecMax = SM2_MAX_DECRYPT;
constexpr unsigned kC1 = 65, kC3 = 32, kOverhead = kC1 + kC3;

// Serial number of sm2p256v1 in the curve table.
constexpr unsigned kSm2Serial = 5;

// The module's curve group, present only while one operation runs.
EC_GROUP* ecgroup = nullptr;

// Building the curve from its parameters costs a few per cent of an
// operation, so it is built once and each operation works on a copy.
const EC_GROUP* curve_template()
{
    static std::mutex lock;
    static EC_GROUP* built = nullptr;
    std::lock_guard<std::mutex> g(lock);
    if (!built)
        built = ecurve_new_group(kSm2Serial);   // tried again after a failure
    return built;
}

bool SM2_Enable()
{
    const EC_GROUP* t = curve_template();
    ecgroup = t ? EC_GROUP_dup(t) : nullptr;
    return ecgroup != nullptr;
}

void SM2_Disable()
{
    EC_GROUP_free(ecgroup);
    ecgroup = nullptr;
}

bool SM2_bn2bin(const BIGNUM* a, unsigned char out[32])
{
    return BN_bn2binpad(a, out, 32) == 32;
}

// The group, a big-number context and the points of one operation; all of
// them, and the group slot, are freed on every way out. The points are
// cleared as they go: k·P of encryption and d·C1 of decryption are the
// shared secret.
struct op_scope {
    BN_CTX* ctx = nullptr;
    EC_POINT* pt[3] = {nullptr, nullptr, nullptr};
    bool group_ok;

    op_scope() : group_ok(SM2_Enable())
    {
        if (group_ok) {
            ctx = BN_CTX_new();
            if (ctx)
                BN_CTX_start(ctx);
        }
    }
    ~op_scope()
    {
        for (EC_POINT* p : pt)
            EC_POINT_clear_free(p);
        if (ctx) {
            BN_CTX_end(ctx);
            BN_CTX_free(ctx);
        }
        SM2_Disable();
    }
    op_scope(const op_scope&) = delete;
    op_scope& operator=(const op_scope&) = delete;

    // n big numbers from the context; false when any is missing.
    bool bns(std::initializer_list<BIGNUM**> out)
    {
        if (!ctx)
            return false;
        for (BIGNUM** b : out)
            if (!(*b = BN_CTX_get(ctx)))
                return false;
        return true;
    }
    bool points(int n)
    {
        for (int i = 0; i < n; ++i)
            if (!(pt[i] = EC_POINT_new(ecgroup)))
                return false;
        return true;
    }
};

// A coordinate given as 32 bytes must lie below p.
bool below_p(const unsigned char c[32]) { return std::memcmp(c, params.v[P_P], 32) < 0; }

// Loads X || Y into pt; false unless it is a point of the curve.
bool load_point(const unsigned char xy[64], EC_POINT* pt, BIGNUM* x, BIGNUM* y, BN_CTX* ctx)
{
    if (!below_p(xy) || !below_p(xy + 32))
        return false;
    if (!BN_bin2bn(xy, 32, x) || !BN_bin2bn(xy + 32, 32, y))
        return false;
    return EC_POINT_set_affine_coordinates(ecgroup, pt, x, y, ctx) == 1 &&
           EC_POINT_is_on_curve(ecgroup, pt, ctx) == 1;
}

// x || y of a finite point, 64 bytes; false at infinity.
bool point_xy(const EC_POINT* pt, BIGNUM* x, BIGNUM* y, BN_CTX* ctx, unsigned char xy[64])
{
    if (EC_POINT_is_at_infinity(ecgroup, pt))
        return false;
    return EC_POINT_get_affine_coordinates(ecgroup, pt, x, y, ctx) == 1 &&
           SM2_bn2bin(x, xy) && SM2_bn2bin(y, xy + 32);
}

// k uniformly from 1 to n - 1.
bool draw_k(BIGNUM* k, const BIGNUM* n, BN_CTX* ctx)
{
    secret_bn(k);
    unsigned char fixed[32];
    if (tarn_seam_sm2_take_k && tarn_seam_sm2_take_k(fixed)) {
        bool ok = BN_bin2bn(fixed, 32, k) && !BN_is_zero(k) && BN_cmp(k, n) < 0;
        OPENSSL_cleanse(fixed, sizeof fixed);
        if (ok)
            return true;
    }
    return random_scalar(k, n, ctx);
}

// Key derivation: H(z || ct) for ct = 0, 1, ..., ct appended as four
// little-endian bytes, until klen bytes are made.
void KDF(const unsigned char* z, unsigned zlen, unsigned klen, unsigned char* out)
{
    if (zlen > 64)
        return;
    // Both hash states hold z (the shared point).
    _sm3_ctx_ base, c;
    cleanse_on_exit wipeBase(&base, sizeof base), wipeC(&c, sizeof c);
    SM3_Init(&base);
    SM3_Update(&base, z, zlen);
    for (uint32_t ct = 0; 32 * (uint64_t)ct < klen; ++ct) {
        c = base;
        unsigned char le[4] = {(unsigned char)ct, (unsigned char)(ct >> 8),
                               (unsigned char)(ct >> 16), (unsigned char)(ct >> 24)};
        SM3_Update(&c, le, 4);
        unsigned char h[32];
        SM3_Final(c, h);
        unsigned take = klen - 32 * ct < 32 ? klen - 32 * ct : 32;
        std::memcpy(out + 32 * ct, h, take);
        OPENSSL_cleanse(h, sizeof h);
    }
}

// C3 = SM3(x2 || msg || y2).
void check_value(const unsigned char xy[64], const unsigned char* msg, unsigned m,
                 unsigned char out[32])
{
    _sm3_ctx_ c;
    SM3_Init(&c);
    SM3_Update(&c, xy, 32);
    if (m)
        SM3_Update(&c, msg, m);
    SM3_Update(&c, xy + 32, 32);
    SM3_Final(c, out);
    OPENSSL_cleanse(&c, sizeof c);
}

} // namespace

void SM2_GetZ(const unsigned char* id, uint8_t idlen, const unsigned char pub[64],
              unsigned char z[32])
{
    if (idlen > SM2_MAX_ID)
        return;
    unsigned char area[kZArea];
    unsigned bits = idlen * 8u;
    unsigned n = 0;
    area[n++] = (unsigned char)(bits >> 8);
    area[n++] = (unsigned char)bits;
    if (idlen)
        std::memcpy(area + n, id, idlen);
    n += idlen;
    for (int i = P_A; i <= P_GY; ++i, n += 32)
        std::memcpy(area + n, params.v[i], 32);
    std::memcpy(area + n, pub, 64);
    n += 64;
    SM3(area, (int)n, z);
}

void SM2_GetE(const unsigned char* msg, int len, const unsigned char z[32], unsigned char e[32])
{
    if (len < 0 || len > SM2_MAX_E_MESSAGE)
        return;
    unsigned char area[kEArea];
    std::memcpy(area, z, 32);
    if (len)
        std::memcpy(area + 32, msg, (size_t)len);
    SM3(area, 32 + len, e);
}

int SM2_Sign(const unsigned char d_in[32], const unsigned char e_in[32], unsigned char sig[64])
{
    if (!d_in || !e_in || !sig)
        return ST_BAD_ARGUMENT;
    op_scope op;
    BIGNUM *d, *e, *k, *r, *s, *x, *y, *inv, *t;
    if (!op.group_ok || !op.bns({&d, &e, &k, &r, &s, &x, &y, &inv, &t}))
        return ST_BN_ALLOC;
    if (!op.points(1))
        return ST_POINT_ALLOC;
    BN_CTX* ctx = op.ctx;
    const BIGNUM* n = EC_GROUP_get0_order(ecgroup);
    if (!BN_bin2bn(d_in, 32, d) || !BN_bin2bn(e_in, 32, e))
        return ST_BN_ALLOC;
    // d, the nonce, 1 + d and its inverse, and every product of them are
    // secret; BN_copy keeps the mark of its target, so t stays marked.
    secret_bn(d);
    secret_bn(k);
    secret_bn(t);
    secret_bn(inv);
    secret_bn(s);
    // d must lie in 1 .. n - 2, so that 1 + d has an inverse modulo n.
    if (BN_is_zero(d) || !BN_copy(t, n) || !BN_sub_word(t, 1) || BN_cmp(d, t) >= 0)
        return ST_BAD_ARGUMENT;
    if (!BN_copy(t, d) || !BN_add_word(t, 1) || !secret_mod_inverse(inv, t, n, ctx))
        return ST_BAD_ARGUMENT;

    for (int tries = 0; tries < 64; ++tries) {
        if (!draw_k(k, n, ctx))
            return ST_RANDOM_FAILED;
        unsigned char xy[64];
        if (!EC_POINT_mul(ecgroup, op.pt[0], k, nullptr, nullptr, ctx))
            return ST_POINT_ALLOC;
        if (!point_xy(op.pt[0], x, y, ctx, xy))
            continue;   // k.G at infinity: draw again
        // r = (e + x1) mod n; again when r = 0 or r + k = n.
        if (!BN_mod_add(r, e, x, n, ctx) || !BN_add(t, r, k))
            return ST_BN_ALLOC;
        if (BN_is_zero(r) || BN_cmp(t, n) == 0)
            continue;
        // s = (1 + d)^-1 (k - r d) mod n; again when s = 0.
        if (!BN_mod_mul(t, r, d, n, ctx) || !BN_mod_sub(t, k, t, n, ctx) ||
            !BN_mod_mul(s, inv, t, n, ctx))
            return ST_BN_ALLOC;
        if (BN_is_zero(s))
            continue;
        if (!SM2_bn2bin(r, sig) || !SM2_bn2bin(s, sig + 32))
            return ST_BN_ALLOC;
        return ST_OK;
    }
    return ST_RANDOM_FAILED;
}

int SM2_Verify(const unsigned char pub[64], const unsigned char e_in[32],
               const unsigned char sig[64])
{
    // Nothing to check against: the signature does not hold.
    if (!pub || !e_in || !sig)
        return ST_BAD_SIGNATURE;
    op_scope op;
    BIGNUM *e, *r, *s, *t, *x, *y, *R;
    if (!op.group_ok || !op.bns({&e, &r, &s, &t, &x, &y, &R}))
        return ST_BN_ALLOC;
    if (!op.points(2))
        return ST_POINT_ALLOC;
    BN_CTX* ctx = op.ctx;
    const BIGNUM* n = EC_GROUP_get0_order(ecgroup);
    if (!BN_bin2bn(e_in, 32, e) || !BN_bin2bn(sig, 32, r) || !BN_bin2bn(sig + 32, 32, s))
        return ST_BN_ALLOC;
    if (BN_is_zero(r) || BN_cmp(r, n) >= 0 || BN_is_zero(s) || BN_cmp(s, n) >= 0)
        return ST_BAD_SIGNATURE;
    if (!BN_mod_add(t, r, s, n, ctx))
        return ST_BN_ALLOC;
    if (BN_is_zero(t))
        return ST_BAD_SIGNATURE;
    // A public key off the curve is refused, never multiplied.
    if (!load_point(pub, op.pt[0], x, y, ctx))
        return ST_BAD_SIGNATURE;
    if (!EC_POINT_mul(ecgroup, op.pt[1], s, op.pt[0], t, ctx))
        return ST_POINT_ALLOC;
    unsigned char xy[64];
    if (!point_xy(op.pt[1], x, y, ctx, xy))
        return ST_BAD_SIGNATURE;   // s.G + t.P at infinity
    if (!BN_mod_add(R, e, x, n, ctx))
        return ST_BN_ALLOC;
    return BN_cmp(R, r) == 0 ? ST_OK : ST_BAD_SIGNATURE;
}

int SM2_Encrypt(const unsigned char pub[64], const unsigned char* msg, uint32_t len,
                unsigned char* out, int* outlen)
{
    if (!outlen || !out || (len && !msg))
        return SM2_ERR_ROOM;
    if (len > kEncMax || *outlen < 0 || (uint32_t)*outlen < len + kOverhead)
        return SM2_ERR_ROOM;
    if (!pub)
        return SM2_ERR_POINT;
    op_scope op;
    BIGNUM *k, *x, *y;
    if (!op.group_ok || !op.bns({&k, &x, &y}))
        return SM2_ERR_BN;
    if (!op.points(3))
        return SM2_ERR_POINT;
    BN_CTX* ctx = op.ctx;
    const BIGNUM* n = EC_GROUP_get0_order(ecgroup);
    if (!load_point(pub, op.pt[0], x, y, ctx))
        return SM2_ERR_POINT;

    // The ciphertext is assembled here and copied out whole on success.
    unsigned char cbuf[kOverhead + kEncMax];
    unsigned char mask[kEncMax];
    int rc = SM2_ERR_BN;
    for (int tries = 0; tries < 64; ++tries) {
        if (!draw_k(k, n, ctx))
            break;
        unsigned char c1[64], xy2[64];
        cleanse_on_exit wipeXy2(xy2, sizeof xy2);
        if (!EC_POINT_mul(ecgroup, op.pt[1], k, nullptr, nullptr, ctx) ||
            !EC_POINT_mul(ecgroup, op.pt[2], nullptr, op.pt[0], k, ctx)) {
            rc = SM2_ERR_POINT;
            break;
        }
        if (!point_xy(op.pt[1], x, y, ctx, c1) || !point_xy(op.pt[2], x, y, ctx, xy2))
            continue;
        KDF(xy2, 64, len, mask);
        unsigned char any = 0;
        for (uint32_t i = 0; i < len; ++i)
            any |= mask[i];
        if (len && !any)
            continue;
        cbuf[0] = 0x04;
        std::memcpy(cbuf + 1, c1, 64);
        for (uint32_t i = 0; i < len; ++i)
            cbuf[kC1 + i] = msg[i] ^ mask[i];
        check_value(xy2, msg, len, cbuf + kC1 + len);
        std::memmove(out, cbuf, len + kOverhead);
        *outlen = (int)(len + kOverhead);
        rc = SM2_OK;
        break;
    }
    OPENSSL_cleanse(mask, sizeof mask);
    OPENSSL_cleanse(cbuf, sizeof cbuf);
    return rc;
}

int SM2_Decrypt(const unsigned char d_in[32], const unsigned char* c, uint32_t clen,
                unsigned char* out, uint32_t* outlen)
{
    if (!d_in || !c || !outlen || (clen > kOverhead && !out))
        return SM2_ERR_DECRYPT;
    if (clen < kOverhead || clen - kOverhead > kDecMax || c[0] != 0x04)
        return SM2_ERR_DECRYPT;
    uint32_t m = clen - kOverhead;
    op_scope op;
    BIGNUM *d, *x, *y;
    if (!op.group_ok || !op.bns({&d, &x, &y}))
        return SM2_ERR_BN;
    if (!op.points(2))
        return SM2_ERR_POINT;
    BN_CTX* ctx = op.ctx;
    // C1 comes from outside: a point off the curve is refused, never multiplied.
    if (!load_point(c + 1, op.pt[0], x, y, ctx))
        return SM2_ERR_DECRYPT;
    if (!secret_bn(BN_bin2bn(d_in, 32, d)))
        return SM2_ERR_BN;
    if (!EC_POINT_mul(ecgroup, op.pt[1], nullptr, op.pt[0], d, ctx))
        return SM2_ERR_POINT;
    secret_array<64> xy2;
    if (!point_xy(op.pt[1], x, y, ctx, xy2.data()))
        return SM2_ERR_DECRYPT;

    // The plaintext stays in a private buffer until C3 has been checked.
    secret_array<kDecMax> plain;
    KDF(xy2.data(), 64, m, plain.data());
    for (uint32_t i = 0; i < m; ++i)
        plain[i] ^= c[kC1 + i];
    unsigned char u[32];
    check_value(xy2.data(), plain.data(), m, u);
    if (CRYPTO_memcmp(u, c + kC1 + m, kC3) != 0)
        return SM2_ERR_DECRYPT;
    if (m)
        std::memmove(out, plain.data(), m);
    *outlen = m;
    return SM2_OK;
}
