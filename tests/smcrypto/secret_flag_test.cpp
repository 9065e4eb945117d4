// The SM2 operations multiply only with scalars marked for constant-time
// arithmetic: the signing and encryption nonces and the private key.
#include <gtest/gtest.h>

#include <cstring>

#include <openssl/obj_mac.h>

#include "common/scalar_probe.h"
#include "smcrypto/sm2.h"

namespace {

// d = 1..., and its public key from the library's own multiplication.
struct Sm2Key {
    unsigned char d[32];
    unsigned char pub[64];
};

Sm2Key make_key()
{
    Sm2Key k;
    for (int i = 0; i < 32; ++i)
        k.d[i] = static_cast<unsigned char>(0x11 + 7 * i);
    k.d[0] = 0x3A;   // below n
    BN_CTX* ctx = BN_CTX_new();
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM* d = BN_bin2bn(k.d, 32, nullptr);
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    unsigned char oct[65] = {0};
    bool ok = ctx && g && d && P && EC_POINT_mul(g, P, d, nullptr, nullptr, ctx) == 1 &&
              EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, oct, sizeof oct, ctx) == 65;
    EXPECT_TRUE(ok);
    std::memcpy(k.pub, oct + 1, 64);
    EC_POINT_free(P);
    BN_clear_free(d);
    EC_GROUP_free(g);
    BN_CTX_free(ctx);
    return k;
}

}  // namespace

TEST(SecretScalarFlag, Sm2SignEncryptDecryptMultiplyOnlyMarkedScalars)
{
    Sm2Key key = make_key();
    unsigned char e[32], sig[64], msg[40], c[40 + 97], back[40];
    std::memset(e, 0x5E, sizeof e);
    std::memset(msg, 0x4D, sizeof msg);
    // Once outside a window: the curve is built then, with checks of its own.
    ASSERT_EQ(SM2_Sign(key.d, e, sig), 0);

    struct row {
        const char* name;
        int (*run)(const Sm2Key&, unsigned char*, unsigned char*, unsigned char*, unsigned char*,
                   unsigned char*);
    };
    const row rows[] = {
        {"sign",
         [](const Sm2Key& k, unsigned char* e, unsigned char* sig, unsigned char*, unsigned char*,
            unsigned char*) { return SM2_Sign(k.d, e, sig); }},
        {"encrypt",
         [](const Sm2Key& k, unsigned char*, unsigned char*, unsigned char* m, unsigned char* c,
            unsigned char*) {
             int n = 40 + 97;
             return SM2_Encrypt(k.pub, m, 40, c, &n);
         }},
        {"decrypt",
         [](const Sm2Key& k, unsigned char*, unsigned char*, unsigned char*, unsigned char* c,
            unsigned char* out) {
             uint32_t n = 40;
             return SM2_Decrypt(k.d, c, 40 + 97, out, &n);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scalar_probe::Window w;
        ASSERT_EQ(r.run(key, e, sig, msg, c, back), 0);
        EXPECT_GT(scalar_probe::scalars, 0);
        EXPECT_EQ(scalar_probe::unmarked, 0);
    }
    EXPECT_EQ(0, std::memcmp(msg, back, sizeof msg));

    // The probe does see an unmarked scalar: verification multiplies with
    // the public s and t.
    scalar_probe::Window w;
    ASSERT_EQ(SM2_Verify(key.pub, e, sig), 0);
    EXPECT_GT(scalar_probe::unmarked, 0);
}
