// The private scalars the identity-key layer computes or reads come out
// marked for constant-time arithmetic.
#include "kmx_fixture.h"

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

}  // namespace
