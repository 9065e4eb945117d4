// The SM primitives fed seeded random and malformed inputs: every call
// answers one of its result codes and writes nothing beyond the output
// length it states.

#include "smcrypto/ecurve.h"
#include "smcrypto/sm2.h"
#include "smcrypto/sm3.h"
#include "smcrypto/sm4.h"
#include "smcrypto/status.h"
#include "sm_test_util.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstring>
#include <random>

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardLen = 64;

bytes seeded_bytes(std::mt19937& rng, size_t n)
{
    bytes b(n);
    for (auto& c : b)
        c = (unsigned char)rng();
    return b;
}

// An output area of n bytes followed by guard bytes.
struct Guarded {
    bytes area;
    size_t n;
    explicit Guarded(size_t len, unsigned char fill = 0x3C) : area(len + kGuardLen, kGuard), n(len)
    {
        std::fill(area.begin(), area.begin() + (long)len, fill);
    }
    unsigned char* data() { return area.data(); }
    bool guard_intact() const
    {
        for (size_t i = n; i < area.size(); ++i)
            if (area[i] != kGuard)
                return false;
        return true;
    }
};

const bytes kP = from_hex(ECURVE_SM2_PARAM_HEX[0]);

bytes ossl_sm4_raw(bool cbc, const bytes& key, const bytes& iv, const bytes& ct)
{
    return ossl_sm4(cbc, false, false, key, iv, ct);
}

bytes ossl_sm4_padded(bool cbc, const bytes& key, const bytes& iv, const bytes& pt)
{
    return ossl_sm4(cbc, true, true, key, iv, pt);
}

// A key pair made by the crypto library's own sm2p256v1 curve from a fixed d.
struct Key {
    bytes d, pub;
};

Key fixed_key()
{
    Key k;
    k.d = from_hex("3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* q = EC_POINT_new(g);
    BIGNUM* d = BN_bin2bn(k.d.data(), 32, nullptr);
    BIGNUM* x = BN_new();
    BIGNUM* y = BN_new();
    EC_POINT_mul(g, q, d, nullptr, nullptr, nullptr);
    EC_POINT_get_affine_coordinates(g, q, x, y, nullptr);
    k.pub.resize(64);
    BN_bn2binpad(x, k.pub.data(), 32);
    BN_bn2binpad(y, k.pub.data() + 32, 32);
    BN_free(x);
    BN_free(y);
    BN_free(d);
    EC_POINT_free(q);
    EC_GROUP_free(g);
    return k;
}

// The generator, X || Y.
const bytes kG = from_hex("32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
                          "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");

// Ways of filling the 64 coordinate bytes of C1 (or of a public key).
enum PointKind { RANDOM, X_IS_P, Y_IS_P, X_ABOVE_P, ALL_ZERO, ALL_FF, GENERATOR, KEY_POINT };
const char* const kPointNames[] = {"random",  "x=p",    "y=p",       "x>p",
                                   "zero",    "all-ff", "generator", "key-point"};

bytes point_of(PointKind k, std::mt19937& rng, const Key& key)
{
    bytes xy = seeded_bytes(rng, 64);
    switch (k) {
    case RANDOM:
        break;
    case X_IS_P:
        xy = kG;
        std::memcpy(xy.data(), kP.data(), 32);
        break;
    case Y_IS_P:
        xy = kG;
        std::memcpy(xy.data() + 32, kP.data(), 32);
        break;
    case X_ABOVE_P:
        std::memset(xy.data(), 0xFF, 32);
        break;
    case ALL_ZERO:
        std::fill(xy.begin(), xy.end(), 0);
        break;
    case ALL_FF:
        std::fill(xy.begin(), xy.end(), 0xFF);
        break;
    case GENERATOR:
        xy = kG;
        break;
    case KEY_POINT:
        xy = key.pub;
        break;
    }
    return xy;
}

} // namespace

// Lengths 0 .. 258 (one beyond the largest ciphertext the work area takes),
// a first byte of 0x04 or not, C1 of every kind, random C2 and C3: a result
// code, the plaintext length untouched, nothing written beyond clen - 97.
TEST(Sm2Robust, DecryptOfRandomCiphertexts)
{
    const Key key = fixed_key();
    TARN_SEED(seed, 20240611);
    std::mt19937 rng(seed);
    for (uint32_t clen = 0; clen <= 258; ++clen) {
        PointKind kind = (PointKind)(clen % 8);
        bytes c = seeded_bytes(rng, clen);
        if (clen >= 65 && clen % 3 != 0) {
            c[0] = 0x04;
            bytes xy = point_of(kind, rng, key);
            std::memcpy(c.data() + 1, xy.data(), 64);
        }
        size_t room = clen >= 97 ? clen - 97 : 0;
        Guarded out(room);
        uint32_t outlen = 0xC0FFEE;
        int rc = SM2_Decrypt(key.d.data(), clen ? c.data() : nullptr, clen, out.data(), &outlen);
        SCOPED_TRACE("seed " + std::to_string(seed) + " clen " + std::to_string(clen) + " C1 " +
                     kPointNames[kind]);
        EXPECT_EQ(rc, SM2_ERR_DECRYPT);
        EXPECT_EQ(outlen, 0xC0FFEEu);
        EXPECT_TRUE(out.guard_intact());
    }
}

// A genuine ciphertext of every length the work area takes decrypts into
// exactly m bytes; one beyond it is refused without a write.
TEST(Sm2Robust, DecryptWritesExactlyThePlaintext)
{
    const Key key = fixed_key();
    TARN_SEED(seed, 7);
    std::mt19937 rng(seed);
    for (uint32_t m : {0u, 1u, 31u, 32u, 33u, 158u, 159u, 160u}) {
        bytes msg = seeded_bytes(rng, m);
        bytes c(m + 97);
        int clen = (int)c.size();
        ASSERT_EQ(SM2_Encrypt(key.pub.data(), msg.data(), m, c.data(), &clen), SM2_OK) << m;
        Guarded out(m);
        uint32_t outlen = 0;
        ASSERT_EQ(SM2_Decrypt(key.d.data(), c.data(), (uint32_t)c.size(), out.data(), &outlen),
                  SM2_OK)
            << m;
        EXPECT_EQ(outlen, m);
        EXPECT_EQ(bytes(out.area.begin(), out.area.begin() + m), msg) << m;
        EXPECT_TRUE(out.guard_intact()) << m;
    }
    bytes c(161 + 97, 0x04);
    Guarded out(161);
    uint32_t outlen = 5;
    EXPECT_EQ(SM2_Decrypt(key.d.data(), c.data(), (uint32_t)c.size(), out.data(), &outlen),
              SM2_ERR_DECRYPT);
    EXPECT_EQ(outlen, 5u);
    EXPECT_EQ(out.area, Guarded(161).area);
}

// Public keys of every kind and random signatures: 14005 every time (a
// random signature holding is out of reach), never a crash.
TEST(Sm2Robust, VerifyOfRandomKeysAndSignatures)
{
    const Key key = fixed_key();
    TARN_SEED(seed, 99);
    std::mt19937 rng(seed);
    for (int i = 0; i < 64; ++i) {
        PointKind kind = (PointKind)(i % 8);
        bytes pub = point_of(kind, rng, key);
        bytes e = seeded_bytes(rng, 32);
        bytes sig = seeded_bytes(rng, 64);
        if (i % 16 == 15)
            std::memset(sig.data(), 0, 32); // r = 0
        EXPECT_EQ(SM2_Verify(pub.data(), e.data(), sig.data()), ST_BAD_SIGNATURE)
            << "seed " << seed << " case " << i << " key " << kPointNames[kind];
    }
}

// A missing argument is a result code, never a crash; nothing is written.
TEST(Sm2Robust, MissingArgumentsAreRefused)
{
    const Key key = fixed_key();
    bytes msg(10, 0x61), c(10 + 97), e(32, 1), sig(64, 2);
    int clen = (int)c.size();
    ASSERT_EQ(SM2_Encrypt(key.pub.data(), msg.data(), 10, c.data(), &clen), SM2_OK);

    uint32_t outlen = 77;
    Guarded out(10);
    EXPECT_EQ(SM2_Decrypt(key.d.data(), nullptr, 107, out.data(), &outlen), SM2_ERR_DECRYPT);
    EXPECT_EQ(SM2_Decrypt(nullptr, c.data(), 107, out.data(), &outlen), SM2_ERR_DECRYPT);
    EXPECT_EQ(SM2_Decrypt(key.d.data(), c.data(), 107, nullptr, &outlen), SM2_ERR_DECRYPT);
    EXPECT_EQ(SM2_Decrypt(key.d.data(), c.data(), 107, out.data(), nullptr), SM2_ERR_DECRYPT);
    EXPECT_EQ(outlen, 77u);
    EXPECT_EQ(out.area, Guarded(10).area);

    Guarded ct(107);
    int cap = 107;
    EXPECT_EQ(SM2_Encrypt(key.pub.data(), msg.data(), 10, ct.data(), nullptr), SM2_ERR_ROOM);
    EXPECT_EQ(SM2_Encrypt(key.pub.data(), msg.data(), 10, nullptr, &cap), SM2_ERR_ROOM);
    EXPECT_EQ(SM2_Encrypt(key.pub.data(), nullptr, 10, ct.data(), &cap), SM2_ERR_ROOM);
    EXPECT_EQ(SM2_Encrypt(nullptr, msg.data(), 10, ct.data(), &cap), SM2_ERR_POINT);
    EXPECT_EQ(cap, 107);
    EXPECT_EQ(ct.area, Guarded(107).area);
    // An empty message needs no message bytes.
    EXPECT_EQ(SM2_Encrypt(key.pub.data(), nullptr, 0, ct.data(), &cap), SM2_OK);
    EXPECT_EQ(cap, 97);

    EXPECT_EQ(SM2_Verify(nullptr, e.data(), sig.data()), ST_BAD_SIGNATURE);
    EXPECT_EQ(SM2_Verify(key.pub.data(), nullptr, sig.data()), ST_BAD_SIGNATURE);
    EXPECT_EQ(SM2_Verify(key.pub.data(), e.data(), nullptr), ST_BAD_SIGNATURE);
    Guarded s(64);
    EXPECT_EQ(SM2_Sign(nullptr, e.data(), s.data()), ST_BAD_ARGUMENT);
    EXPECT_EQ(SM2_Sign(key.d.data(), nullptr, s.data()), ST_BAD_ARGUMENT);
    EXPECT_EQ(SM2_Sign(key.d.data(), e.data(), nullptr), ST_BAD_ARGUMENT);
    EXPECT_EQ(s.area, Guarded(64).area);
}

// Random piecing with empty and null pieces, the context hashed again after
// every Final: always the library's digest of the bytes fed so far.
TEST(Sm3Robust, StreamingWithEmptyPiecesAndReuseAfterFinal)
{
    TARN_SEED(seed, 31);
    std::mt19937 rng(seed);
    for (int round = 0; round < 40; ++round) {
        bytes msg = seeded_bytes(rng, rng() % 700);
        _sm3_ctx_ ctx;
        SM3_Init(&ctx);
        size_t fed = 0;
        for (size_t p : random_pieces(rng, msg.size(), 130)) {
            SM3_Update(&ctx, nullptr, 0);
            SM3_Update(&ctx, msg.data() + fed, (uint32_t)p);
            fed += p;
            unsigned char d[32 + kGuardLen];
            std::memset(d, kGuard, sizeof d);
            SM3_Final(ctx, d);
            ASSERT_EQ(bytes(d, d + 32), ossl_sm3(msg.data(), fed))
                << "seed " << seed << " round " << round << " after " << fed;
            for (size_t i = 32; i < sizeof d; ++i)
                ASSERT_EQ(d[i], kGuard);
        }
    }
    unsigned char d[32];
    SM3(nullptr, 0, d);
    EXPECT_EQ(bytes(d, d + 32), ossl_sm3(nullptr, 0));
}

// A context whose buffered count no SM3_Update could leave (the caller
// overwrote it, or never ran SM3_Init) is refused, never taken as a length
// into the 64-byte buffer: Update leaves it as it is, Final writes zeros.
TEST(Sm3Robust, BrokenContextIsRefused)
{
    const bytes msg(200, 0x61);
    for (uint32_t bad : {64u, 100u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        _sm3_ctx_ ctx;
        SM3_Init(&ctx);
        SM3_Update(&ctx, msg.data(), 70);
        ctx.buffered = bad;
        const _sm3_ctx_ before = ctx;
        SM3_Update(&ctx, msg.data(), (uint32_t)msg.size());
        EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0);
        Guarded d(32);
        SM3_Final(ctx, d.data());
        EXPECT_EQ(bytes(d.data(), d.data() + 32), bytes(32, 0));
        EXPECT_TRUE(d.guard_intact());
    }
    // The largest sound count still hashes.
    _sm3_ctx_ ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, msg.data(), 63);
    ASSERT_EQ(ctx.buffered, 63u);
    unsigned char d[32];
    SM3_Final(ctx, d);
    EXPECT_EQ(bytes(d, d + 32), ossl_sm3(msg.data(), 63));
}

// Random ciphertexts decrypted with padding on, in ECB and CBC: the result is
// the library's raw decryption cut by the padding where the library's own
// unpadding accepts it, 14003 where it refuses; never a byte beyond the
// stated lengths.
TEST(Sm4Robust, DecryptOfRandomDataWithPadding)
{
    TARN_SEED(seed, 4242);
    std::mt19937 rng(seed);
    for (int round = 0; round < 400; ++round) {
        bool cbc = round % 2 == 1;
        bytes key = seeded_bytes(rng, 16), iv = seeded_bytes(rng, 16);
        size_t blocks = 1 + rng() % 6;
        bytes ct = seeded_bytes(rng, 16 * blocks);
        bytes raw = ossl_sm4_raw(cbc, key, iv, ct);
        if (round % 3 == 0) {
            // Steer a third of the cases to the edges of the padding rule:
            // a last byte of 0 .. 17, from a chosen last plaintext block.
            // With 1 .. 16 the padding bytes before it follow suit, and every
            // other sweep has its first padding byte spoiled.
            unsigned char v = (unsigned char)(round / 3 % 18);
            if (v >= 1 && v <= 16)
                std::fill(raw.end() - v, raw.end(), v);
            if (v >= 2 && v <= 16 && round / 54 % 2 == 1)
                raw[raw.size() - v] ^= 0x20;
            raw.back() = v;
            bytes chain = cbc ? (blocks > 1 ? bytes(ct.end() - 32, ct.end() - 16) : iv) : bytes();
            bytes last(raw.end() - 16, raw.end());
            if (cbc)
                for (int i = 0; i < 16; ++i)
                    last[i] ^= chain[i];
            bytes enc = ossl_sm4(false, true, false, key, {}, last);
            std::copy(enc.begin(), enc.end(), ct.end() - 16);
            ASSERT_EQ(ossl_sm4_raw(cbc, key, iv, ct), raw);
        }
        ASSERT_EQ(raw.size(), ct.size());
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));

        _sm4_ctx_ c;
        ASSERT_EQ(SM4_Init(&c, key.data(), cbc ? iv.data() : nullptr,
                           cbc ? SM4_CBC_DECRYPT : SM4_ECB_DECRYPT),
                  ST_OK);
        Guarded upd(ct.size() - 16);
        uint32_t n = 0;
        ASSERT_EQ(SM4_Update(&c, ct.data(), (uint32_t)ct.size(), upd.data(), &n), ST_OK);
        ASSERT_EQ(n, ct.size() - 16);
        EXPECT_TRUE(upd.guard_intact());
        EXPECT_EQ(bytes(upd.area.begin(), upd.area.begin() + n), bytes(raw.begin(), raw.end() - 16));

        unsigned p = raw.back();
        bool lib_ok = false;
        ossl_sm4(cbc, false, true, key, iv, ct, &lib_ok);
        Guarded fin(16);
        int cap = 16;
        int rc = SM4_Final(c, fin.data(), &cap);
        if (!lib_ok) {
            EXPECT_EQ(rc, ST_DECRYPT_FAILED);
            EXPECT_EQ(cap, 16);
            EXPECT_EQ(fin.area, Guarded(16).area);
            continue;
        }
        ASSERT_EQ(rc, ST_OK);
        ASSERT_EQ(cap, 16 - (int)p);
        EXPECT_EQ(bytes(fin.area.begin(), fin.area.begin() + cap),
                  bytes(raw.end() - 16, raw.end() - p));
        // The bytes after the stated length are the caller's.
        for (size_t i = (size_t)cap; i < 16; ++i)
            EXPECT_EQ(fin.area[i], 0x3C);
        EXPECT_TRUE(fin.guard_intact());

        // Short of room by one: 1018 and the needed length, nothing written.
        if (cap > 0) {
            Guarded small((size_t)cap - 1);
            int room = cap - 1;
            EXPECT_EQ(SM4_Final(c, small.data(), &room), ST_BUFFER_TOO_SMALL);
            EXPECT_EQ(room, cap);
            EXPECT_EQ(small.area, Guarded((size_t)cap - 1).area);
        }
    }
}

// Streaming encryption with null and empty pieces, and the context used again
// after Final: Final leaves the context as it was.
TEST(Sm4Robust, EncryptStreamingWithEmptyPiecesAndReuseAfterFinal)
{
    TARN_SEED(seed, 5);
    std::mt19937 rng(seed);
    bytes key = seeded_bytes(rng, 16), iv = seeded_bytes(rng, 16);
    bytes msg = seeded_bytes(rng, 100);
    for (int mode : {SM4_ECB_ENCRYPT, SM4_CBC_ENCRYPT}) {
        _sm4_ctx_ c;
        ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), mode), ST_OK);
        bytes out;
        size_t fed = 0;
        for (size_t p : random_pieces(rng, msg.size(), 40)) {
            uint32_t n = 0xDEAD;
            ASSERT_EQ(SM4_Update(&c, nullptr, 0, nullptr, &n), ST_OK);
            EXPECT_EQ(n, 0u);
            Guarded o((c.buffered + p) / 16 * 16);
            ASSERT_EQ(SM4_Update(&c, msg.data() + fed, (uint32_t)p, o.data(), &n), ST_OK);
            ASSERT_EQ(n, o.n);
            EXPECT_TRUE(o.guard_intact());
            out.insert(out.end(), o.area.begin(), o.area.begin() + n);
            fed += p;
            // A Final in the middle, on the context's copy, changes nothing.
            Guarded f(16);
            int cap = 16;
            ASSERT_EQ(SM4_Final(c, f.data(), &cap), ST_OK);
            EXPECT_TRUE(f.guard_intact());
        }
        Guarded f(16);
        int cap = 16;
        ASSERT_EQ(SM4_Final(c, f.data(), &cap), ST_OK);
        out.insert(out.end(), f.area.begin(), f.area.begin() + cap);
        EXPECT_EQ(out, ossl_sm4_padded(mode == SM4_CBC_ENCRYPT, key, iv, msg)) << mode;
    }
}

// Missing arguments are 11001, never a crash.
TEST(Sm4Robust, MissingArgumentsAreRefused)
{
    bytes key(16, 1), block(32, 2);
    _sm4_ctx_ c;
    EXPECT_EQ(SM4_Init(nullptr, key.data(), nullptr, SM4_ECB_ENCRYPT), ST_BAD_ARGUMENT);
    EXPECT_EQ(SM4_Init(&c, nullptr, nullptr, SM4_ECB_ENCRYPT), ST_BAD_ARGUMENT);
    for (int mode : {SM4_ECB_ENCRYPT, SM4_ECB_DECRYPT}) {
        ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, mode), ST_OK);
        uint32_t n = 0xDEAD;
        EXPECT_EQ(SM4_Update(nullptr, block.data(), 32, block.data(), &n), ST_BAD_ARGUMENT);
        EXPECT_EQ(SM4_Update(&c, block.data(), 32, block.data(), nullptr), ST_BAD_ARGUMENT);
        EXPECT_EQ(SM4_Update(&c, nullptr, 32, block.data(), &n), ST_BAD_ARGUMENT);
        EXPECT_EQ(SM4_Update(&c, block.data(), 32, nullptr, &n), ST_BAD_ARGUMENT);
        EXPECT_EQ(c.buffered, 0u) << "a refused call must not change the context";
        EXPECT_EQ(SM4_Final(c, block.data(), nullptr), ST_BAD_ARGUMENT);
    }
    // Final without an output area: refused whenever it has bytes to give.
    ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_ECB_ENCRYPT), ST_OK);
    int cap = 16;
    EXPECT_EQ(SM4_Final(c, nullptr, &cap), ST_BAD_ARGUMENT);
    bytes last(16, 5); // a last block that unpads to 11 bytes
    bytes ct = ossl_sm4(false, true, false, key, {}, last);
    ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_ECB_DECRYPT), ST_OK);
    uint32_t n = 0xDEAD;
    ASSERT_EQ(SM4_Update(&c, ct.data(), 16, nullptr, &n), ST_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SM4_Final(c, nullptr, &cap), ST_BAD_ARGUMENT);
    // Encryption: a call that makes no whole block needs no output area.
    ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_ECB_ENCRYPT), ST_OK);
    EXPECT_EQ(SM4_Update(&c, block.data(), 15, nullptr, &n), ST_OK);
    EXPECT_EQ(n, 0u);
}

// A context that SM4_Init never filled (the caller ignored its refusal) or
// one overwritten by the caller is refused, never used as a length.
TEST(Sm4Robust, BrokenContextIsRefused)
{
    bytes key(16, 1);
    for (int mode : {SM4_ECB_ENCRYPT, SM4_ECB_DECRYPT}) {
        _sm4_ctx_ c;
        ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, mode), ST_OK);
        for (uint32_t bad : {17u, 64u, 0xFFFFFFFFu}) {
            c.buffered = bad;
            Guarded out(64);
            uint32_t n = 0xDEAD;
            unsigned char in[32] = {};
            EXPECT_EQ(SM4_Update(&c, in, 32, out.data(), &n), ST_BAD_ARGUMENT) << bad;
            int cap = 64;
            EXPECT_EQ(SM4_Final(c, out.data(), &cap), ST_BAD_ARGUMENT) << bad;
            EXPECT_EQ(out.area, Guarded(64).area) << bad;
        }
        // Encryption holds at most 15 bytes.
        if (mode == SM4_ECB_ENCRYPT) {
            c.buffered = 16;
            Guarded out(16);
            int cap = 16;
            EXPECT_EQ(SM4_Final(c, out.data(), &cap), ST_BAD_ARGUMENT);
        }
    }
}
