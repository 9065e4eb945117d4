// Signature verification against the signer's public key from a public
// matrix: signatures made by the key device (ECDSA_Sign, COS_SM2Sign), by
// the crypto library with the signer's isk, and what one changed byte of
// data, time, signer or signature does to them.
#include <openssl/sha.h>
#include <sys/stat.h>

#include "sig_oracle.h"
#include "signer_fixture.h"
#include "smcrypto/sm2.h"

using namespace kmxt;

namespace {

constexpr long kTime = 1700000000;

// ECDSA DataSig over data || time content made by the card with slot 1.
Bytes card_sign(const Bytes& data, long t)
{
    Bytes in = data;
    const Bytes tc = time_content(t);
    in.insert(in.end(), tc.begin(), tc.end());
    unsigned char d[SHA_DIGEST_LENGTH];
    SHA1(in.data(), in.size(), d);
    Bytes out(512);
    int outLen = static_cast<int>(out.size());
    EXPECT_EQ(ECDSA_Sign(1, NID_sha1, d, sizeof d, t, out.data(), &outLen), 0);
    out.resize(outLen > 0 ? static_cast<size_t>(outLen) : 0);
    return out;
}

int verify(const std::string& pks, const Bytes& data, const Bytes& sig)
{
    return KMX_Verify_Data(pks.c_str(), data.data(), static_cast<int>(data.size()), sig.data(),
                           static_cast<int>(sig.size()));
}

void set_text(ASN1_STRING* s, const std::string& v)
{
    ASN1_STRING_set(s, v.data(), static_cast<int>(v.size()));
}

class Verification : public SignerCard {};
class VerificationCurves : public SignerCard, public ::testing::WithParamInterface<unsigned> {};

// Every curve of the table, secp64r1 and secp112r1 included, whose orders
// are shorter than the SHA-1 digest that the card signs whole.
TEST_P(VerificationCurves, CardSignatureHoldsForDataAndFileAndFailsAfterAnyChange)
{
    make(GetParam());
    const Bytes data = bytes("pay 100 to bob, not 900");
    const Bytes sig = card_sign(data, kTime);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(verify(pks_, data, sig), 0);
    const std::string file = path("data.bin");
    write_file(file, data);
    EXPECT_EQ(KMX_Verify_File(pks_.c_str(), file.c_str(), sig.data(), static_cast<int>(sig.size())),
              0);

    Bytes changed = data;
    changed[4] ^= 0x01;
    EXPECT_EQ(verify(pks_, changed, sig), ST_BAD_SIGNATURE) << "data";
    write_file(file, changed);
    EXPECT_EQ(KMX_Verify_File(pks_.c_str(), file.c_str(), sig.data(), static_cast<int>(sig.size())),
              ST_BAD_SIGNATURE)
        << "file";

    const int L = ecurve_param_len(GetParam());
    struct Case {
        const char* what;
        Bytes sig;
        int want;
    } cases[] = {
        {"time", altered(sig, [](DataSig* s) { ASN1_INTEGER_set_int64(s->signTime, kTime + 1); }),
         ST_BAD_SIGNATURE},
        {"signer", altered(sig, [](DataSig* s) { set_text(s->signerId, "alice@tarm"); }),
         ST_BAD_SIGNATURE},
        {"r", altered(sig, [](DataSig* s) { s->signVal->data[3] ^= 0x10; }), ST_BAD_SIGNATURE},
        {"s", altered(sig, [L](DataSig* s) { s->signVal->data[2 * L - 1] ^= 0x01; }),
         ST_BAD_SIGNATURE},
        // Read past its end, a short value would take its s from whatever follows.
        {"short", altered(sig, [L](DataSig* s) { s->signVal->length = 2 * L - 1; }),
         ST_BAD_SIGNATURE},
        {"long", altered(sig, [L](DataSig* s) {
             Bytes v = field(s->signVal);
             v.push_back(0);
             ASN1_STRING_set(s->signVal, v.data(), static_cast<int>(v.size()));
         }),
         ST_BAD_SIGNATURE},
        {"matrix id", altered(sig, [](DataSig* s) { set_text(s->matrixId, "SIGTESU"); }),
         ST_MATRIX_ID_MISMATCH},
    };
    for (const Case& c : cases)
        EXPECT_EQ(verify(pks_, data, c.sig), c.want) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Curves, VerificationCurves, ::testing::Range(0u, 6u));

// A signature made by the library with the signer's isk over SHA-256 (the
// digest fits prime256v1's order, so the library's e is the whole digest).
TEST_F(Verification, LibrarySignatureOverSha256HoldsFromFileAndMemory)
{
    make(4);
    const Bytes data(5000, 0x3C);   // more than one 4096-byte piece
    Bytes in = data;
    const Bytes tc = time_content(kTime);
    in.insert(in.end(), tc.begin(), tc.end());
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(in.data(), in.size(), d);
    BIGNUM* isk = isk_of(secret_, kSigner);
    EC_GROUP* g = ecurve_new_group(4);
    EC_KEY* key = nullptr;
    Bytes rs(64);
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        key = EC_KEY_new();
        EC_KEY_set_group(key, g);
        EC_KEY_set_private_key(key, isk);
        ECDSA_SIG* s = ECDSA_do_sign(d, sizeof d, key);
        ASSERT_NE(s, nullptr);
        BN_bn2binpad(ECDSA_SIG_get0_r(s), rs.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(s), rs.data() + 32, 32);
        ECDSA_SIG_free(s);
        EC_KEY_free(key);
#pragma GCC diagnostic pop
    }
    EC_GROUP_free(g);
    BN_free(isk);
    const Bytes sig = make_sig(matrixId_, kSigner, kTime, NID_sha256, rs);
    EXPECT_EQ(verify(pks_, data, sig), 0);

    // The same through the memory route, whose matrix must be whole.
    const Bytes matrix = read_file(pks_);
    const unsigned char* p = sig.data();
    DataSig* ds = d2i_DataSig(nullptr, &p, static_cast<long>(sig.size()));
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(KMX_Verify_Sign(nullptr, matrix.data(), static_cast<long>(matrix.size()), d, 32, ds), 0);
    EXPECT_EQ(KMX_Verify_Sign(nullptr, matrix.data(), static_cast<long>(matrix.size()) - 1, d, 32,
                              ds),
              ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Verify_Sign(pks_.c_str(), matrix.data(), static_cast<long>(matrix.size()), d, 32,
                              ds),
              ST_BAD_ARGUMENT)
        << "both matrices";
    EXPECT_EQ(KMX_Verify_Sign(pks_.c_str(), nullptr, 0, d, 20, ds), ST_DIGEST_LENGTH);
    DataSig_free(ds);
}

TEST_F(Verification, EmptyDataSignsTheTimeAlone)
{
    make(5);
    const Bytes sig = card_sign({}, kTime);
    EXPECT_EQ(KMX_Verify_Data(pks_.c_str(), nullptr, 0, sig.data(), static_cast<int>(sig.size())), 0);
    const std::string file = path("empty.bin");
    write_file(file, {});
    EXPECT_EQ(KMX_Verify_File(pks_.c_str(), file.c_str(), sig.data(), static_cast<int>(sig.size())),
              0);
}

TEST_F(Verification, RefusesMalformedInputAndRecords)
{
    make(5);
    const Bytes data = bytes("data");
    const Bytes sig = card_sign(data, kTime);
    const int n = static_cast<int>(sig.size());
    const std::string pks = pks_;
    const std::string missing = path("missing");
    EXPECT_EQ(KMX_Verify_Data(pks.c_str(), data.data(), 4, sig.data(), 47), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Verify_Data(pks.c_str(), nullptr, 4, sig.data(), n), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Verify_Data(pks.c_str(), data.data(), -1, sig.data(), n), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Verify_Data(nullptr, data.data(), 4, sig.data(), n), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_Verify_Data(missing.c_str(), data.data(), 4, sig.data(), n), ST_MATRIX_FILE_OPEN);
    EXPECT_EQ(KMX_Verify_File(pks.c_str(), missing.c_str(), sig.data(), n), ST_FILE_OPEN);
    // FIFOs as the signed file or the matrix file are refused at once.
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(KMX_Verify_File(pks.c_str(), fifo.c_str(), sig.data(), n), ST_FILE_OPEN);
    EXPECT_EQ(KMX_Verify_Data(fifo.c_str(), data.data(), 4, sig.data(), n), ST_MATRIX_FILE_OPEN);
    EXPECT_EQ(KMX_Verify_File(fifo.c_str(), pks.c_str(), sig.data(), n), ST_MATRIX_FILE_OPEN);
    Bytes junk(60, 0x30);
    EXPECT_EQ(verify(pks, data, junk), ST_BAD_DER);

    EC_GROUP* g = ecurve_new_group(5);
    Bytes nBytes(32);
    BN_bn2binpad(EC_GROUP_get0_order(g), nBytes.data(), 32);
    EC_GROUP_free(g);
    struct Case {
        const char* what;
        Bytes sig;
        int want;
    } cases[] = {
        {"r = s = 0", altered(sig, [](DataSig* s) { std::memset(s->signVal->data, 0, 64); }),
         ST_BAD_SIGNATURE},
        {"s = n", altered(sig, [&](DataSig* s) { std::memcpy(s->signVal->data + 32, nBytes.data(), 32); }),
         ST_BAD_SIGNATURE},
        {"empty signer", altered(sig, [](DataSig* s) { set_text(s->signerId, ""); }), ST_BAD_ARGUMENT},
        {"signer of 65 bytes", altered(sig, [](DataSig* s) { set_text(s->signerId, std::string(65, 'a')); }),
         ST_BAD_ARGUMENT},
        {"time content of 33 bytes", altered(sig, [](DataSig* s) {
             Bytes t(33, 0x11);
             ASN1_STRING_set(s->signTime, t.data(), 33);
         }),
         ST_BAD_ARGUMENT},
        {"unknown digest", altered(sig, [](DataSig* s) {
             ASN1_OBJECT_free(s->mdOid);
             s->mdOid = OBJ_nid2obj(NID_aes_128_cbc);
         }),
         ST_NO_DIGEST},
    };
    for (const Case& c : cases)
        EXPECT_EQ(verify(pks, data, c.sig), c.want) << c.what;
    // A 33-byte time is refused by the file route as well.
    const std::string file = path("data.bin");
    write_file(file, data);
    const Bytes& longTime = cases[4].sig;
    EXPECT_EQ(KMX_Verify_File(pks.c_str(), file.c_str(), longTime.data(),
                              static_cast<int>(longTime.size())),
              ST_BAD_ARGUMENT);
}

// ---------------------------------------------------------------- SM2

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes cal_e(const std::string& pks, const std::string& id, const Bytes& msg, int t, int* st = nullptr)
{
    Bytes e(32, 0xEE);
    const int s = KMX_SM2_CalE(pks.c_str(), id.c_str(), msg.data(), static_cast<int>(msg.size()), t,
                               e.data());
    if (st)
        *st = s;
    else
        EXPECT_EQ(s, 0);
    return e;
}

int sm2_verify(const std::string& pks, const Bytes& e, const Bytes& sig)
{
    return KMX_SM2Verify(pks.c_str(), e.data(), sig.data(), static_cast<int>(sig.size()));
}

// A card-made SM2 signature of e is checked both here and by the library
// over msg || time with the signer's text identity as distinguishing ID;
// a library-made one verifies here.
TEST_F(Verification, Sm2SignaturesAgreeWithTheLibrary)
{
    make(5);
    const Bytes msg = bytes("challenge 42");
    const int t = 1 << 30;
    const Bytes e = cal_e(pks_, text(kSigner), msg, t);
    Bytes rs(64);
    uint8_t rsLen = 64;
    ASSERT_EQ(COS_SM2Sign(1, e.data(), rs.data(), &rsLen), 0u);
    ASSERT_EQ(rsLen, 64);
    const Bytes sig = make_sig(matrixId_, kSigner, t, NID_sha256, rs);
    EXPECT_EQ(sm2_verify(pks_, e, sig), 0);

    const Bytes pub = pubkey_of(pks_, kSigner);
    Bytes signedMsg = msg;
    for (unsigned char b : {0x40, 0x00, 0x00, 0x00})
        signedMsg.push_back(b);
    EXPECT_EQ(sm2_library(pub, nullptr, text(kSigner), signedMsg, rs), Bytes{1});
    // Time 0 adds nothing.
    EXPECT_EQ(cal_e(pks_, text(kSigner), signedMsg, 0), e);

    BIGNUM* isk = isk_of(secret_, kSigner);
    const Bytes libRs = sm2_library(pub, isk, text(kSigner), signedMsg);
    BN_free(isk);
    ASSERT_EQ(libRs.size(), 64u);
    EXPECT_EQ(sm2_verify(pks_, e, make_sig(matrixId_, kSigner, t, NID_sha256, libRs)), 0);

    // One changed byte anywhere, and a short value.
    Bytes e2 = e;
    e2[31] ^= 1;
    EXPECT_EQ(sm2_verify(pks_, e2, sig), ST_BAD_SIGNATURE) << "e";
    EXPECT_EQ(sm2_verify(pks_, cal_e(pks_, text(kSigner), msg, t + 1), sig), ST_BAD_SIGNATURE)
        << "time";
    EXPECT_EQ(sm2_verify(pks_, e, altered(sig, [](DataSig* s) { set_text(s->signerId, "alice@tarm"); })),
              ST_BAD_SIGNATURE)
        << "signer";
    EXPECT_EQ(sm2_verify(pks_, e, altered(sig, [](DataSig* s) { s->signVal->data[40] ^= 4; })),
              ST_BAD_SIGNATURE)
        << "signature";
    EXPECT_EQ(sm2_verify(pks_, e, altered(sig, [](DataSig* s) { s->signVal->length = 63; })),
              ST_BAD_SIGNATURE)
        << "short";
    EXPECT_EQ(sm2_verify(pks_, e, altered(sig, [](DataSig* s) { set_text(s->signerId, std::string(65, 'a')); })),
              ST_BAD_ARGUMENT)
        << "signer of 65 bytes";

    // The internal route on the matrix's own curve, from memory.
    const Bytes matrix = read_file(pks_);
    const unsigned char* p = sig.data();
    DataSig* ds = d2i_DataSig(nullptr, &p, static_cast<long>(sig.size()));
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(KMX_Verify_SM2Sign(nullptr, matrix.data(), static_cast<long>(matrix.size()), e.data(),
                                 32, ds),
              0);
    for (int eLen : {0, 31, 33, 64})
        EXPECT_EQ(KMX_Verify_SM2Sign(pks_.c_str(), nullptr, 0, e.data(), eLen, ds), ST_BAD_ARGUMENT)
            << eLen;
    DataSig_free(ds);
}

TEST_F(Verification, Sm2DigestLimitsAreCheckedBeforeNarrowing)
{
    make(5);
    struct Case {
        const char* what;
        std::string id;
        size_t msgLen;
        int t;
        int want;
    } cases[] = {
        {"id of 62", std::string(62, 'i'), 10, 0, 0},
        {"id of 63", std::string(63, 'i'), 10, 0, ST_BAD_ARGUMENT},
        // 318 bytes would pass as the one byte 62.
        {"id of 318", std::string(318, 'i'), 10, 0, ST_BAD_ARGUMENT},
        {"empty id", "", 10, 0, ST_BAD_ARGUMENT},
        {"message of 224", "bob", 224, 0, 0},
        {"message of 225", "bob", 225, 0, ST_BAD_ARGUMENT},
        {"220 and a 4-byte time", "bob", 220, kTime, 0},
        {"221 and a 4-byte time", "bob", 221, kTime, ST_BAD_ARGUMENT},
        {"empty message", "bob", 0, kTime, 0},
    };
    for (const Case& c : cases) {
        const Bytes msg(c.msgLen + 1, 0x61);   // one spare byte for the empty case
        Bytes e(32, 0xEE);
        const int st = KMX_SM2_CalE(pks_.c_str(), c.id.c_str(), msg.data(),
                                    static_cast<int>(c.msgLen), c.t, e.data());
        EXPECT_EQ(st, c.want) << c.what;
        if (st == 0) {
            EXPECT_NE(e, Bytes(32, 0xEE)) << c.what;
        } else {
            EXPECT_EQ(e, Bytes(32, 0xEE)) << c.what;
        }
    }
    Bytes e(32);
    EXPECT_EQ(KMX_SM2_CalE(pks_.c_str(), "bob", e.data(), -1, 0, e.data()), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_SM2_CalE(pks_.c_str(), "bob", nullptr, 0, 0, e.data()), ST_BAD_ARGUMENT);
    const std::string missing = path("missing");
    EXPECT_EQ(KMX_SM2_CalE(missing.c_str(), "bob", e.data(), 1, 0, e.data()), ST_MATRIX_FILE_OPEN);
}

// Z is defined on sm2p256v1 only: a matrix of another curve is refused
// instead of hashing a key that was never computed.
TEST_F(Verification, Sm2RoutesRefuseAMatrixOfAnotherCurve)
{
    make(4);
    Bytes e(32, 0xEE);
    const Bytes msg = bytes("m");
    EXPECT_EQ(KMX_SM2_CalE(pks_.c_str(), "alice@tarn", msg.data(), 1, 0, e.data()), ST_UNKNOWN_CURVE);
    EXPECT_EQ(e, Bytes(32, 0xEE));
    const Bytes sig = make_sig(matrixId_, kSigner, kTime, NID_sha256, Bytes(64, 0x21));
    EXPECT_EQ(sm2_verify(pks_, e, sig), ST_UNKNOWN_CURVE);
}

} // namespace
