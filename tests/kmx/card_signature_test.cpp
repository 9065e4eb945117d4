// Signatures made by the key device (ECDSA_Sign): the record it builds, the
// signature checked by the crypto library against the identity's public key,
// and its refusals.
#include <openssl/sha.h>

#include "sig_oracle.h"
#include "signer_fixture.h"

using namespace kmxt;

namespace {

Bytes sha1_of(const std::string& s)
{
    Bytes d(SHA_DIGEST_LENGTH);
    SHA1(reinterpret_cast<const unsigned char*>(s.data()), s.size(), d.data());
    return d;
}

class CardSignature : public SignerCard {};

// Curves whose order is at least as long as a SHA-1 digest, so that the
// library's truncation leaves the digest whole.
class CardSignatureCurves : public SignerCard,
                            public ::testing::WithParamInterface<unsigned> {};

TEST_P(CardSignatureCurves, RecordCarriesTheSlotsIdentityAndALibraryCheckedSignature)
{
    const unsigned curve = GetParam();
    make(curve);
    const Bytes digest = sha1_of("a message to sign");
    const long t = 1700000123;
    Bytes out(512);
    int outLen = static_cast<int>(out.size());
    ASSERT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, t, out.data(), &outLen), 0);
    out.resize(outLen);

    DataSig* s = nullptr;
    ASSERT_EQ(string2DataSig(out.data(), outLen, &s), 0);
    EXPECT_EQ(ASN1_INTEGER_get(s->version), 1);
    EXPECT_EQ(field(s->matrixId), bytes("SIGTEST"));
    EXPECT_EQ(field(s->signerId), kSigner);
    EXPECT_EQ(ASN1_INTEGER_get(s->signTime), t);
    EXPECT_EQ(OBJ_obj2nid(s->mdOid), NID_sha1);
    EXPECT_EQ(ASN1_STRING_length(s->R), 0);
    const Bytes rs = field(s->signVal);
    DataSig_free(s);
    ASSERT_EQ(rs.size(), static_cast<size_t>(2 * ecurve_param_len(curve)));

    const Bytes pub = pubkey_of(pks_, kSigner);
    EXPECT_TRUE(ecdsa_library_verifies(curve, pub, digest, rs));
    Bytes other = digest;
    other[7] ^= 0x01;
    EXPECT_FALSE(ecdsa_library_verifies(curve, pub, other, rs));
}

INSTANTIATE_TEST_SUITE_P(Curves, CardSignatureCurves, ::testing::Values(0u, 3u, 4u, 5u));

TEST_F(CardSignature, RefusesBadArguments)
{
    make(5);
    const Bytes digest(256, 0x5A);
    unsigned char out[512];
    struct Case {
        const char* what;
        unsigned char slot;
        int nid;
        const unsigned char* digest;
        int len;
        int want;
    } cases[] = {
        {"empty digest", 1, NID_sha1, digest.data(), 0, ST_BAD_ARGUMENT},
        {"negative length", 1, NID_sha1, digest.data(), -20, ST_BAD_ARGUMENT},
        // 276 would reach the card as 20 if it were narrowed to one byte.
        {"length above one byte", 1, NID_sha1, digest.data(), 276, ST_BAD_ARGUMENT},
        {"no digest", 1, NID_sha1, nullptr, 20, ST_BAD_ARGUMENT},
        {"no digest identifier", 1, NID_undef, digest.data(), 20, ST_NO_DIGEST},
        {"a cipher, not a digest", 1, NID_aes_128_cbc, digest.data(), 20, ST_NO_DIGEST},
        {"card refuses 19 bytes", 1, NID_sha1, digest.data(), 19, ST_DIGEST_LENGTH},
        {"slot above 15", 16, NID_sha1, digest.data(), 20, ST_KEY_SLOT},
    };
    for (const Case& c : cases) {
        int outLen = sizeof out;
        EXPECT_EQ(ECDSA_Sign(c.slot, c.nid, c.digest, c.len, 1, out, &outLen), c.want) << c.what;
    }
    int outLen = sizeof out;
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 1, out, nullptr), ST_BAD_ARGUMENT);
    EXPECT_NE(ECDSA_Sign(3, NID_sha1, digest.data(), 20, 1, out, &outLen), 0) << "empty slot";
}

TEST_F(CardSignature, ShortRoomAnswersTheExactLength)
{
    make(4);
    const Bytes digest = sha1_of("room");
    int need = 0;
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 5, nullptr, &need), ST_BUFFER_TOO_SMALL);
    ASSERT_GT(need, 0);
    Bytes out(need);
    int outLen = need - 1;
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 5, out.data(), &outLen),
              ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLen, need);
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 5, out.data(), &outLen), 0);
    EXPECT_EQ(outLen, need);
}

TEST_F(CardSignature, NegativeTimeIsKeptAsASigned32BitValue)
{
    make(5);
    const Bytes digest = sha1_of("time");
    Bytes out(512);
    struct Case {
        long given;
        long kept;
    } cases[] = {{-5, -5}, {0x7FFFFFFFL, 0x7FFFFFFFL}, {0x80000000L, -0x80000000L}};
    for (const Case& c : cases) {
        int outLen = static_cast<int>(out.size());
        ASSERT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, c.given, out.data(), &outLen), 0);
        int stamp = 0;
        ASSERT_EQ(KMX_GetSignTimestamp(out.data(), outLen, &stamp), 0);
        EXPECT_EQ(stamp, c.kept) << c.given;
    }
}

TEST_F(CardSignature, ExpiredKeyCardIsRefused)
{
    make(5);
    // Rewrite slot 1's public record with a validity that ended a day ago.
    uint32_t tries = 0;
    ASSERT_EQ(COS_VerifyPin(0, DEFAULT_PIN_TYPE0, &tries), 0u);
    ASSERT_EQ(COS_VerifyPin(1, DEFAULT_PIN_TYPE1, &tries), 0u);
    unsigned char rec[512];
    uint16_t recLen = sizeof rec;
    ASSERT_EQ(COS_ReadPubKey(1, rec, &recLen), 0u);
    const unsigned char* p = rec;
    KeyCard* kc = d2i_KeyCard(nullptr, &p, recLen);
    ASSERT_NE(kc, nullptr);
    const long now = static_cast<long>(time(nullptr));
    ASN1_INTEGER_set_int64(kc->notBefore, now - 10 * 86400);
    ASN1_INTEGER_set_int64(kc->notAfter, now - 86400);
    unsigned char* q = rec;
    const int n = i2d_KeyCard(kc, &q);
    KeyCard_free(kc);
    ASSERT_GT(n, 0);
    ASSERT_EQ(COS_WritePubKey(1, rec, static_cast<uint16_t>(n)), 0u);

    const Bytes digest = sha1_of("late");
    unsigned char out[512];
    int outLen = sizeof out;
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, digest.data(), 20, 1, out, &outLen), ST_KEYCARD_EXPIRED);
}

} // namespace
