// The card's curve operations, checked against the library's own point
// arithmetic and ECDSA.
#define OPENSSL_SUPPRESS_DEPRECATED   // the library's ECDSA_do_sign/verify as an oracle
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <random>

#include "card_fixture.h"
#include "common/reference_curves.h"
#include "common/test_seed.h"
#include "smcrypto/ecurve.h"
#include "vcard/cosecc.h"
#include "common/seeded_bn.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Group {
    explicit Group(uint8_t serial) : g(refcurve::group(serial)), L(uint8_t(refcurve::field_len(g))) {}
    ~Group() { EC_GROUP_free(g); }
    EC_GROUP* g;
    uint8_t L;
};

// Independent point d·G as X || Y.
Bytes MulG(uint8_t serial, const Bytes& d)
{
    Group G(serial);
    BIGNUM* k = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
    EC_POINT* P = EC_POINT_new(G.g);
    BIGNUM *x = BN_new(), *y = BN_new();
    Bytes out(2 * G.L);
    EXPECT_EQ(EC_POINT_mul(G.g, P, k, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EC_POINT_get_affine_coordinates(G.g, P, x, y, nullptr), 1);
    BN_bn2binpad(x, out.data(), G.L);
    BN_bn2binpad(y, out.data() + G.L, G.L);
    BN_free(x);
    BN_free(y);
    BN_free(k);
    EC_POINT_free(P);
    return out;
}

struct KeyPair {
    Bytes d, P;
};

KeyPair NewKey(uint8_t serial)
{
    uint8_t L = GetParamLen(serial);
    KeyPair k{Bytes(L), Bytes(2 * L)};
    EXPECT_EQ(Chip_GenKey(serial, 0, k.d.data(), k.P.data()), CHIP_OK);
    return k;
}

const uint8_t kSerials[] = {0, 1, 2, 3, 4, 5};

}  // namespace

TEST(CardCurves, TableLengthsAndGroups)
{
    const uint8_t lengths[] = {24, 8, 14, 20, 32, 32};
    for (uint8_t s : kSerials) {
        EXPECT_EQ(GetParamLen(s), lengths[s]);
        uint8_t L = 0;
        EC_GROUP* g = ECC_Enable(s, &L);
        ASSERT_NE(g, nullptr) << int(s);
        EXPECT_EQ(L, lengths[s]);
        EXPECT_EQ(EC_GROUP_check(g, nullptr), 1) << int(s);
        EXPECT_EQ((EC_GROUP_get_degree(g) + 7) / 8, lengths[s]);
        ECC_Disable(g);
    }
    uint8_t L = 99;
    EXPECT_EQ(GetParamLen(6), 0);
    EXPECT_EQ(ECC_Enable(6, &L), nullptr);
    EXPECT_EQ(L, 0) << "L is written also without a group";
    EXPECT_EQ(ECC_Enable(255, nullptr), nullptr);
    ECC_Disable(nullptr);
}

TEST(CardCurves, NumberBytesAreRightAligned)
{
    BIGNUM* v = nullptr;
    BN_hex2bn(&v, "0102");
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(EBN_bn2bin(v, out, 4), 0);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({9, 9, 1, 2})) << "leading bytes are left";
    EXPECT_EQ(EBN_bn2bin(v, out, 1), -1) << "does not fit";
    EXPECT_EQ(Bytes(out, out + 4), Bytes({9, 9, 1, 2}));
    BN_free(v);
}

TEST(CardCurves, KeyGenerationAndPointMultiplication)
{
    for (uint8_t s : kSerials) {
        KeyPair k = NewKey(s);
        EXPECT_FALSE(std::all_of(k.d.begin(), k.d.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(k.P, MulG(s, k.d)) << "P = d·G on serial " << int(s);

        // Mode 1 with the same d and G gives the same point; d is kept.
        Bytes G = MulG(s, Bytes{1});
        Bytes d = k.d;
        ASSERT_EQ(Chip_GenKey(s, 1, d.data(), G.data()), CHIP_OK);
        EXPECT_EQ(G, k.P);
        EXPECT_EQ(d, k.d);
    }
}

// Failures answer a status and leave every output as it was.
TEST(CardCurves, FailuresLeaveOutputsUntouched)
{
    const Bytes junk(64, 0x5C);
    for (uint8_t s : {uint8_t(6), uint8_t(200)}) {
        Bytes d = junk, P = junk, a = junk, b = junk;
        EXPECT_EQ(Chip_GenKey(s, 0, d.data(), P.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_GenDE(s, P.data(), a.data(), b.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_OpenDE(s, P.data(), d.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_ECDH(s, P.data(), d.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_ECDSA_Sign(s, d.data(), d.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_ECDSA_Verify(s, d.data(), P.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(EGetRand(s, a.data(), 16), CHIP_FAIL);
        for (const Bytes* v : {&d, &P, &a, &b})
            EXPECT_EQ(*v, junk);
    }

    for (uint8_t s : kSerials) {
        const uint8_t L = GetParamLen(s);
        KeyPair k = NewKey(s);
        Bytes offCurve = k.P;
        offCurve[2 * L - 1] ^= 1;   // Y changed: not on the curve
        Bytes bigX(2 * L, 0xFF);    // coordinates not below p
        for (const Bytes& bad : {offCurve, bigX}) {
            Bytes d = k.d, P = bad, a = junk, b = junk;
            EXPECT_EQ(Chip_GenKey(s, 1, d.data(), P.data()), CHIP_BAD_POINT) << int(s);
            EXPECT_EQ(P, bad);
            EXPECT_EQ(d, k.d);
            EXPECT_EQ(Chip_GenDE(s, bad.data(), a.data(), b.data()), CHIP_BAD_POINT);
            EXPECT_EQ(Chip_OpenDE(s, bad.data(), k.d.data(), a.data()), CHIP_BAD_POINT);
            EXPECT_EQ(Chip_ECDH(s, bad.data(), k.d.data(), a.data()), CHIP_BAD_POINT);
            Bytes digest(20, 1), sig(2 * L);
            ASSERT_EQ(Chip_ECDSA_Sign(s, digest.data(), k.d.data(), sig.data()), CHIP_OK);
            EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), bad.data(), sig.data()), CHIP_BAD_POINT);
            EXPECT_EQ(a, junk);
            EXPECT_EQ(b, junk);
        }
        // A zero scalar has no inverse and gives the point at infinity.
        Bytes zero(L, 0), a = junk;
        EXPECT_EQ(Chip_OpenDE(s, k.P.data(), zero.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_ECDH(s, k.P.data(), zero.data(), a.data()), CHIP_FAIL);
        EXPECT_EQ(a, junk);
    }
}

TEST(CardCurves, EnvelopeOpensToTheMakersPointAndEcdhIsSymmetric)
{
    for (uint8_t s : kSerials) {
        const uint8_t L = GetParamLen(s);
        KeyPair receiver = NewKey(s), other = NewKey(s);
        Bytes kG(2 * L), kP(2 * L), opened(2 * L);
        ASSERT_EQ(Chip_GenDE(s, receiver.P.data(), kG.data(), kP.data()), CHIP_OK);
        EXPECT_NE(kG, kP);
        ASSERT_EQ(Chip_OpenDE(s, kP.data(), receiver.d.data(), opened.data()), CHIP_OK);
        EXPECT_EQ(opened, kG) << int(s);
        ASSERT_EQ(Chip_OpenDE(s, kP.data(), other.d.data(), opened.data()), CHIP_OK);
        EXPECT_NE(opened, kG) << "another key does not open it";

        Bytes ab(2 * L), ba(2 * L);
        ASSERT_EQ(Chip_ECDH(s, other.P.data(), receiver.d.data(), ab.data()), CHIP_OK);
        ASSERT_EQ(Chip_ECDH(s, receiver.P.data(), other.d.data(), ba.data()), CHIP_OK);
        EXPECT_EQ(ab, ba) << int(s);
    }
}

TEST(CardCurves, SignaturesVerifyHereAndRejectTampering)
{
    TARN_SEED(seed, 5);
    std::mt19937 rng(seed);
    for (uint8_t s : kSerials) {
        const uint8_t L = GetParamLen(s);
        KeyPair k = NewKey(s), other = NewKey(s);
        Bytes digest(32);
        for (auto& b : digest)
            b = static_cast<uint8_t>(rng());
        Bytes sig(2 * L);
        ASSERT_EQ(Chip_ECDSA_Sign(s, digest.data(), k.d.data(), sig.data()), CHIP_OK);
        EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), k.P.data(), sig.data()), CHIP_OK) << int(s);
        EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), other.P.data(), sig.data()), CHIP_FAIL);

        Bytes d2 = digest;
        d2[19] ^= 0x80;
        EXPECT_EQ(Chip_ECDSA_Verify(s, d2.data(), k.P.data(), sig.data()), CHIP_FAIL);
        d2 = digest;
        d2[0] ^= 1;
        EXPECT_EQ(Chip_ECDSA_Verify(s, d2.data(), k.P.data(), sig.data()), CHIP_FAIL);
        d2 = digest;
        d2[20] ^= 0xFF;   // only the first 20 bytes are signed
        EXPECT_EQ(Chip_ECDSA_Verify(s, d2.data(), k.P.data(), sig.data()), CHIP_OK);

        Bytes bad = sig;
        bad[L - 1] ^= 1;
        EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), k.P.data(), bad.data()), CHIP_FAIL);
        Bytes zero(2 * L, 0), ones(2 * L, 0xFF);
        EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), k.P.data(), zero.data()), CHIP_FAIL);
        EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), k.P.data(), ones.data()), CHIP_FAIL)
            << "r and s not below n";
    }
}

// Where n has at least 160 bits the library takes the 20-byte digest whole,
// so its ECDSA and the card's must agree both ways.
TEST(CardCurves, SignaturesInteroperateWithTheLibrary)
{
    TARN_SEED(seed, 9);
    std::mt19937 rng(seed);
    for (uint8_t s : {0, 3, 4, 5}) {
        const uint8_t L = GetParamLen(s);
        for (int round = 0; round < 5; ++round) {
            KeyPair k = NewKey(s);
            Bytes digest(20);
            for (auto& b : digest)
                b = static_cast<uint8_t>(rng());

            Group G(s);
            EC_KEY* key = EC_KEY_new();
            ASSERT_EQ(EC_KEY_set_group(key, G.g), 1);
            BIGNUM* d = BN_bin2bn(k.d.data(), L, nullptr);
            BIGNUM* x = BN_bin2bn(k.P.data(), L, nullptr);
            BIGNUM* y = BN_bin2bn(k.P.data() + L, L, nullptr);
            ASSERT_EQ(EC_KEY_set_private_key(key, d), 1);
            ASSERT_EQ(EC_KEY_set_public_key_affine_coordinates(key, x, y), 1);

            Bytes sig(2 * L);
            ASSERT_EQ(Chip_ECDSA_Sign(s, digest.data(), k.d.data(), sig.data()), CHIP_OK);
            ECDSA_SIG* es = ECDSA_SIG_new();
            ECDSA_SIG_set0(es, BN_bin2bn(sig.data(), L, nullptr), BN_bin2bn(sig.data() + L, L, nullptr));
            EXPECT_EQ(ECDSA_do_verify(digest.data(), 20, es, key), 1) << "serial " << int(s);
            ECDSA_SIG_free(es);

            ECDSA_SIG* theirs = ECDSA_do_sign(digest.data(), 20, key);
            ASSERT_NE(theirs, nullptr);
            Bytes sig2(2 * L);
            BN_bn2binpad(ECDSA_SIG_get0_r(theirs), sig2.data(), L);
            BN_bn2binpad(ECDSA_SIG_get0_s(theirs), sig2.data() + L, L);
            EXPECT_EQ(Chip_ECDSA_Verify(s, digest.data(), k.P.data(), sig2.data()), CHIP_OK);
            ECDSA_SIG_free(theirs);

            BN_free(d);
            BN_free(x);
            BN_free(y);
            EC_KEY_free(key);
        }
    }
}

TEST(CardCurves, RandomBytesFillTheirCountOnly)
{
    for (uint8_t count : {uint8_t(1), uint8_t(4), uint8_t(24), uint8_t(32), uint8_t(240), uint8_t(255)}) {
        Bytes out(count + 40, 0xA5);
        ASSERT_EQ(EGetRand(0, out.data(), count), CHIP_OK) << int(count);
        EXPECT_TRUE(std::all_of(out.begin() + count, out.end(), [](uint8_t b) { return b == 0xA5; }))
            << "nothing written past the count";
    }
    Bytes a(32), b(32);
    EGetRand(0, a.data(), 32);
    EGetRand(0, b.data(), 32);
    EXPECT_NE(a, b);
    Bytes r(20);
    EXPECT_EQ(EGetRand(1, r.data(), 20), CHIP_OK) << "8-byte draws on secp64r1";
}

namespace {

// Writes matrix element i (scalar v) the way the card stores it: L bytes
// big-endian, zero-padded to B, SM4-ECB under the inner key.
void PutElement(TempImage& img, uint8_t serial, const uint8_t key[16], uint32_t i, const BIGNUM* v)
{
    const uint8_t L = GetParamLen(serial);
    const int B = (L + 15) & ~15;
    Bytes plain(B, 0), enc(B + 16);
    BN_bn2binpad(v, plain.data(), L);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(c, EVP_sm4_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_EncryptUpdate(c, enc.data(), &n1, plain.data(), B);
    EVP_EncryptFinal_ex(c, enc.data() + n1, &n2);
    EVP_CIPHER_CTX_free(c);
    ASSERT_EQ(n1 + n2, B);
    enc.resize(B);
    img.Poke(0x10000 + i * B, enc);
}

}  // namespace

TEST(CardCurves, IdentitySecretKeyOverWrittenAndUnwrittenElements)
{
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (uint8_t s : {0, 1, 4, 5}) {
        TempImage img(0x10000, 0xFF);
        img.Bind();
        Group G(s);
        const BIGNUM* n = EC_GROUP_get0_order(G.g);
        BN_CTX* ctx = BN_CTX_new();
        BIGNUM* sum = BN_new();
        BN_zero(sum);
        const uint16_t idx[] = {3, 0, 300, 3, 1023};   // repeated index counts twice
        Bytes list;
        for (uint16_t i : {uint16_t(0), uint16_t(3), uint16_t(300), uint16_t(1023)}) {
            BIGNUM* v = BN_new();
            testseed::bn_below(v, n);
            PutElement(img, s, key, i, v);
            for (uint16_t j : idx)
                if (j == i)
                    BN_mod_add(sum, sum, v, n, ctx);
            BN_free(v);
        }
        for (uint16_t i : idx) {
            list.push_back(static_cast<uint8_t>(i));
            list.push_back(static_cast<uint8_t>(i >> 8));
        }
        const uint8_t L = G.L;
        Bytes out(L, 0), want(L);
        BN_bn2binpad(sum, want.data(), L);
        ASSERT_EQ(Chip_CalIsk(s, list.data(), static_cast<uint32_t>(list.size()), key, out.data()), CHIP_OK);
        EXPECT_EQ(out, want) << "serial " << int(s);
        // An odd count ignores the last byte.
        list.push_back(0x77);
        ASSERT_EQ(Chip_CalIsk(s, list.data(), static_cast<uint32_t>(list.size()), key, out.data()), CHIP_OK);
        EXPECT_EQ(out, want);
        list.pop_back();

        const Bytes junk(L, 0x3C);
        struct Bad {
            const char* what;
            Bytes indices;
        } bad[] = {
            {"never written (0xFF)", {3, 0, 5, 0}},
            {"beyond the image's end", {0xD0, 0x07}},        // element 2000
            {"beyond the matrix area", {0xFF, 0xFF}},
            {"more than 40 indices", Bytes(82, 0)},
        };
        for (const Bad& b : bad) {
            Bytes o = junk;
            EXPECT_EQ(Chip_CalIsk(s, b.indices.data(), static_cast<uint32_t>(b.indices.size()), key, o.data()),
                      CHIP_FAIL) << b.what;
            EXPECT_EQ(o, junk) << b.what;
        }
        // Stored bytes starting with four zero bytes count as not written.
        const int B = (L + 15) & ~15;
        img.Poke(0x10000 + 7 * B, Bytes(B, 0));
        Bytes o = junk, seven = {7, 0};
        EXPECT_EQ(Chip_CalIsk(s, seven.data(), 2, key, o.data()), CHIP_FAIL);
        EXPECT_EQ(o, junk);
        Bytes forty;
        for (int j = 0; j < 40; ++j) {
            forty.push_back(3);
            forty.push_back(0);
        }
        EXPECT_EQ(Chip_CalIsk(s, forty.data(), 80, key, o.data()), CHIP_OK) << "40 indices";
        EXPECT_EQ(Chip_CalIsk(6, seven.data(), 2, key, o.data()), CHIP_FAIL);
        BN_free(sum);
        BN_CTX_free(ctx);
    }
}
