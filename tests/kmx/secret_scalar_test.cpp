// The private scalars the identity-key layer computes or reads come out
// marked for constant-time arithmetic.
#include "kmx_fixture.h"

#include <functional>

#include "common/scalar_probe.h"
#include "signer_fixture.h"
#include "smcrypto/secret_bn.h"

using namespace kmxt;

namespace {

class SecretScalars : public TempDir {};

TEST_F(SecretScalars, IskFromTheMatrixAndFromAKeyCardIsMarked)
{
    TestMatrix t = make_test_matrix("mxs", 0, 16, 8);
    const std::string sec = path("mxs.sec");
    write_file(sec, t.secret);
    const Bytes id = bytes("alice");
    for (int randomR : {0, 1}) {
        SCOPED_TRACE(randomR);
        // A fresh number, unmarked until the layer marks it.
        BIGNUM* isk = BN_new();
        ASSERT_NE(isk, nullptr);
        ASSERT_EQ(Matrix_Cal_isk(sec.c_str(), randomR, id.data(), static_cast<int>(id.size()), isk,
                                 nullptr, nullptr),
                  0);
        EXPECT_TRUE(is_secret_bn(isk));
        BN_clear_free(isk);
    }

    KeyCard* k = make_keycard(0, 0);
    BIGNUM* bn = BN_new();
    ASSERT_TRUE(k && bn);
    const unsigned char v[] = {0x56, 0x78, 0x9A, 0x01, 0x02};
    ASSERT_EQ(ASN1_STRING_set(k->isk, v, sizeof v), 1);
    ASSERT_EQ(KeyCard_Get_isk(k, bn), 0);
    EXPECT_TRUE(is_secret_bn(bn));
    BN_clear_free(bn);
    KeyCard_free(k);
}

// Every point multiplication of the secret paths takes a marked scalar: the
// matrix's r·G (r drawn or derived), a fresh key pair, the envelope nonce.
TEST_F(SecretScalars, SecretPathsMultiplyOnlyMarkedScalars)
{
    TestMatrix t = make_test_matrix("mxp", 5, 16, 8);
    const std::string sec = path("mxp.sec");
    write_file(sec, t.secret);
    const Bytes id = bytes("bob");
    EC_GROUP* g = ecurve_new_group(5);
    ASSERT_NE(g, nullptr);
    EC_POINT* Q = EC_POINT_dup(EC_GROUP_get0_generator(g), g);
    ASSERT_NE(Q, nullptr);
    struct row {
        const char* name;
        std::function<int()> run;
    };
    const row rows[] = {
        {"isk, r from the identity",
         [&] {
             BIGNUM* isk = BN_new();
             int st = Matrix_Cal_isk(sec.c_str(), 0, id.data(), int(id.size()), isk, nullptr, nullptr);
             BN_clear_free(isk);
             return st;
         }},
        {"isk, r drawn",
         [&] {
             BIGNUM* isk = BN_new();
             int st = Matrix_Cal_isk(sec.c_str(), 1, id.data(), int(id.size()), isk, nullptr, nullptr);
             BN_clear_free(isk);
             return st;
         }},
        {"key pair",
         [&] {
             unsigned char pub[64], priv[32];
             int pubLen = sizeof pub, privLen = sizeof priv;
             return KMX_GenSymKey("sm2p256v1", pub, &pubLen, priv, &privLen);
         }},
        {"envelope key",
         [&] {
             EnvelopeSlot slot{Q, {}, 0};
             unsigned char key[32], k[40];
             int kLen = sizeof k;
             return KMX_Cal_SKey(g, &slot, 1, key, sizeof key, k, &kLen);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scalar_probe::Window w;
        ASSERT_EQ(r.run(), 0);
        EXPECT_GT(scalar_probe::scalars, 0);
        EXPECT_EQ(scalar_probe::unmarked, 0);
    }
    EC_POINT_free(Q);
    EC_GROUP_free(g);
}

// The card's ECDSA behind the layer's signature record (its nonce), and SM2
// encryption to an identity (its ephemeral k, for k·G and k·Q). Encryption
// also multiplies the identity's public r, the one unmarked scalar, which the
// probe must name: it sees an unmarked scalar when there is one.
class CardAndIdentityScalars : public SignerCard {};

TEST_F(CardAndIdentityScalars, SecretMultiplicationsAreMarkedAndThePublicROnlyIsNot)
{
    make(5);
    const std::string r = public_r_hex(pks_, kSigner);
    const Bytes digest(20, 0x6B);
    Bytes out(512);
    int outLen = static_cast<int>(out.size());
    {
        scalar_probe::Window w;
        ASSERT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 1700000000, out.data(), &outLen), 0);
        EXPECT_GT(scalar_probe::scalars, 0);
        EXPECT_EQ(scalar_probe::unmarked, 0) << "card ECDSA";
    }
    const Bytes msg = bytes("a challenge for alice");
    outLen = static_cast<int>(out.size());
    {
        scalar_probe::Window w;
        ASSERT_EQ(KMX_SM2Encrypt(pks_.c_str(), kSigner.data(), static_cast<int>(kSigner.size()),
                                 msg.data(), static_cast<int>(msg.size()), out.data(), &outLen),
                  0);
        EXPECT_EQ(scalar_probe::scalars, 3) << "r·G, k·G, k·Q";
        EXPECT_EQ(scalar_probe::unmarked_values, std::vector<std::string>{r});
    }
}

}  // namespace
