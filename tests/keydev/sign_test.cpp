// Signing with a key slot: ECDSA over SHA-1 of data or a file and the signing
// time, and SM2 over a caller's digest. Every signature is checked with the
// crypto library against the public key that the matrix file gives for the
// signer, and must fail after one changed byte.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <functional>

#include "dev_fixture.h"
#include "kmx/kmxsoft.h"
#include "kmx/sig_oracle.h"
#include "tools/imgbuild/imgbuild.h"
#include "common/reference_curves.h"

using namespace devt;

namespace {

const Bytes kId = {'s', 'i', 'g', 'n', 'e', 'r', '-', '7'};
constexpr uint8_t kSlot = REAL_NAME;

struct Signer {
    unsigned curve;
    std::string matrixId;
    std::string image;
    std::string pks;
};

// The decoded fields of a DataSig.
struct Sig {
    int64_t version = -1;
    std::string matrixId, signerId;
    int64_t signTime = -1;
    int mdNid = NID_undef;
    Bytes signVal, R;
};

Sig decode(const Bytes& der)
{
    Sig out;
    DataSig* s = nullptr;
    EXPECT_EQ(string2DataSig(der.data(), static_cast<int>(der.size()), &s), 0);
    if (!s) return out;
    ASN1_INTEGER_get_int64(&out.version, s->version);
    Bytes m = kmxt::field(s->matrixId), id = kmxt::field(s->signerId);
    out.matrixId.assign(m.begin(), m.end());
    out.signerId.assign(id.begin(), id.end());
    ASN1_INTEGER_get_int64(&out.signTime, s->signTime);
    out.mdNid = OBJ_obj2nid(s->mdOid);
    out.signVal = kmxt::field(s->signVal);
    out.R = kmxt::field(s->R);
    DataSig_free(s);
    return out;
}

// Big-endian content octets of a positive time, minimal length.
Bytes time_octets(int64_t t)
{
    Bytes out;
    for (; t > 0; t >>= 8) out.insert(out.begin(), static_cast<uint8_t>(t & 0xFF));
    return out;
}

Bytes sha1_of(const Bytes& content, int64_t t)
{
    Bytes all = content;
    Bytes oct = time_octets(t);
    all.insert(all.end(), oct.begin(), oct.end());
    Bytes out(20);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(all.data(), all.size(), out.data(), &n, EVP_sha1(), nullptr), 1);
    return out;
}

// SM2 verification of r || s over e with the public key (0x04 || X || Y), by
// the verification equation on sm2p256v1.
bool sm2_verifies(const Bytes& pub, const Bytes& e, const Bytes& rs)
{
    if (rs.size() != 64 || e.size() != 32) return false;
    EC_GROUP* g = refcurve::group(5);
    BN_CTX* ctx = BN_CTX_new();
    EC_POINT* Q = EC_POINT_new(g);
    EC_POINT* P = EC_POINT_new(g);
    BIGNUM* r = BN_bin2bn(rs.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + 32, 32, nullptr);
    BIGNUM* ebn = BN_bin2bn(e.data(), 32, nullptr);
    BIGNUM *t = BN_new(), *x = BN_new(), *R = BN_new();
    const BIGNUM* n = EC_GROUP_get0_order(g);
    bool ok = g && ctx && Q && P && r && s && ebn && t && x && R &&
              EC_POINT_oct2point(g, Q, pub.data(), pub.size(), ctx) == 1 && !BN_is_zero(r) &&
              BN_cmp(r, n) < 0 && !BN_is_zero(s) && BN_cmp(s, n) < 0 &&
              BN_mod_add(t, r, s, n, ctx) == 1 && !BN_is_zero(t) &&
              EC_POINT_mul(g, P, s, Q, t, ctx) == 1 &&
              EC_POINT_get_affine_coordinates(g, P, x, nullptr, ctx) == 1 &&
              BN_mod_add(R, ebn, x, n, ctx) == 1 && BN_cmp(R, r) == 0;
    BN_free(r);
    BN_free(s);
    BN_free(ebn);
    BN_free(t);
    BN_free(x);
    BN_free(R);
    EC_POINT_free(P);
    EC_POINT_free(Q);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return ok;
}

class SignTest : public DevTest {
protected:
    void SetUp() override
    {
        DevTest::SetUp();
        if (HasFatalFailure()) return;
        for (unsigned curve : {0u, 5u}) {
            Signer s{curve, "SIG" + std::to_string(curve), path("host" + std::to_string(curve) + ".vkd"), ""};
            std::string secret, err;
            ASSERT_EQ(imgbuild::make_soft_matrix(curve, s.matrixId, 16, 4, dir_, &s.pks, &secret, &err), 0)
                << err;
            imgbuild::HostSpec spec;
            spec.identity = kId;
            spec.route = imgbuild::Route::Soft;
            spec.slot = kSlot;
            spec.secretMatrix = secret;
            ASSERT_EQ(imgbuild::make_host(spec, s.image, &err), 0) << err;
            signers_.push_back(s);
        }
    }

    const Signer& sm2_signer() const { return signers_[1]; }

    std::vector<Signer> signers_;
};

// Each ECDSA signer and input: the DataSig names the signer, carries SHA-1
// and a signing time of this moment, and its value verifies over SHA-1 of the
// content and the time octets.
TEST_F(SignTest, EcdsaSignaturesVerifyAndFailAfterOneChangedByte)
{
    Bytes big(10000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
    struct Case {
        const char* what;
        bool file;
        Bytes content;
        bool nullData;
    };
    const Case cases[] = {
        {"data", false, Bytes{'h', 'e', 'l', 'l', 'o'}, false},
        {"null data of length 0", false, Bytes{}, true},
        {"file of several blocks", true, big, false},
        {"empty file", true, Bytes{}, false},
    };
    for (const Signer& sg : signers_) {
        const Bytes pub = kmxt::pubkey_of(sg.pks, kId);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", curve " + std::to_string(sg.curve));
            session(sg.image);
            Bytes der(512);
            int len = static_cast<int>(der.size());
            const int64_t before = time(nullptr);
            uint32_t st;
            if (c.file) {
                const std::string f = path("input.bin");
                write_file(f, c.content);
                st = DevSignFile(kSlot, f.c_str(), der.data(), &len);
            } else {
                st = DevSignData(kSlot, c.nullData ? nullptr : c.content.data(),
                                 static_cast<uint32_t>(c.content.size()), der.data(), &len);
            }
            const int64_t after = time(nullptr);
            ASSERT_EQ(st, 0u);
            der.resize(static_cast<size_t>(len));

            const Sig s = decode(der);
            EXPECT_EQ(s.version, 1);
            EXPECT_EQ(s.matrixId, sg.matrixId);
            EXPECT_EQ(s.signerId, std::string(kId.begin(), kId.end()));
            EXPECT_EQ(s.mdNid, NID_sha1);
            EXPECT_TRUE(s.R.empty());
            EXPECT_GE(s.signTime, before);
            EXPECT_LE(s.signTime, after);

            const Bytes digest = sha1_of(c.content, s.signTime);
            EXPECT_TRUE(kmxt::ecdsa_library_verifies(sg.curve, pub, digest, s.signVal));
            Bytes changedSig = s.signVal;
            changedSig[changedSig.size() - 1] ^= 1;
            EXPECT_FALSE(kmxt::ecdsa_library_verifies(sg.curve, pub, digest, changedSig));
            Bytes changed = c.content;
            if (!changed.empty()) {
                changed[changed.size() / 2] ^= 0x40;
                EXPECT_FALSE(kmxt::ecdsa_library_verifies(sg.curve, pub, sha1_of(changed, s.signTime),
                                                          s.signVal));
            }
            EXPECT_FALSE(kmxt::ecdsa_library_verifies(sg.curve, pub, sha1_of(c.content, s.signTime + 1),
                                                      s.signVal));

            // The identity-key layer's verifiers accept it, and refuse it
            // after one changed byte of the content or the signature.
            const int derLen = static_cast<int>(der.size());
            if (c.file) {
                EXPECT_EQ(KMX_Verify_File(sg.pks.c_str(), path("input.bin").c_str(), der.data(), derLen), 0);
                if (!changed.empty()) {
                    write_file(path("input.bin"), changed);
                    EXPECT_NE(KMX_Verify_File(sg.pks.c_str(), path("input.bin").c_str(), der.data(), derLen), 0);
                }
            } else {
                EXPECT_EQ(KMX_Verify_Data(sg.pks.c_str(), c.nullData ? nullptr : c.content.data(),
                                          static_cast<int>(c.content.size()), der.data(), derLen),
                          0);
                if (!changed.empty()) {
                    EXPECT_NE(KMX_Verify_Data(sg.pks.c_str(), changed.data(), static_cast<int>(changed.size()),
                                              der.data(), derLen),
                              0);
                }
            }
            Bytes derChanged = der;
            derChanged[der.size() - 3] ^= 1;  // inside the signature value, before the empty R
            EXPECT_NE(KMX_Verify_Data(sg.pks.c_str(), c.content.data(), static_cast<int>(c.content.size()),
                                      derChanged.data(), derLen),
                      0);
        }
    }
}

TEST_F(SignTest, Sm2SignatureOfTheCallersDigestVerifies)
{
    const Signer& sg = sm2_signer();
    const Bytes pub = kmxt::pubkey_of(sg.pks, kId);
    Bytes e(32);
    for (size_t i = 0; i < e.size(); ++i) e[i] = static_cast<uint8_t>(0xC3 ^ (i * 11));
    const uint32_t signTime = 0xFFFFFFF0u;  // above the signed 32-bit range
    session(sg.image);

    Bytes der(512);
    int len = static_cast<int>(der.size());
    ASSERT_EQ(DevSM2Sign(kSlot, e.data(), signTime, der.data(), &len), 0u);
    der.resize(static_cast<size_t>(len));
    const Sig s = decode(der);
    EXPECT_EQ(s.version, 1);
    EXPECT_EQ(s.matrixId, sg.matrixId);
    EXPECT_EQ(s.signerId, std::string(kId.begin(), kId.end()));
    EXPECT_EQ(s.signTime, static_cast<int64_t>(signTime));
    EXPECT_EQ(s.mdNid, 672);
    EXPECT_TRUE(s.R.empty());
    ASSERT_EQ(s.signVal.size(), 64u);
    EXPECT_TRUE(sm2_verifies(pub, e, s.signVal));
    Bytes e2 = e;
    e2[31] ^= 1;
    EXPECT_FALSE(sm2_verifies(pub, e2, s.signVal));
    Bytes sv = s.signVal;
    sv[0] ^= 0x80;
    EXPECT_FALSE(sm2_verifies(pub, e, sv));

    EXPECT_EQ(KMX_SM2Verify(sg.pks.c_str(), e.data(), der.data(), static_cast<int>(der.size())), 0);
    EXPECT_NE(KMX_SM2Verify(sg.pks.c_str(), e2.data(), der.data(), static_cast<int>(der.size())), 0);

    // One byte short: 1018 and the exact length; that capacity then suffices.
    Bytes again(512, 0);
    int cap = static_cast<int>(der.size()) - 1;
    EXPECT_EQ(DevSM2Sign(kSlot, e.data(), signTime, again.data(), &cap), static_cast<uint32_t>(ST_BUFFER_TOO_SMALL));
    EXPECT_EQ(cap, static_cast<int>(der.size()));
    ASSERT_EQ(DevSM2Sign(kSlot, e.data(), signTime, again.data(), &cap), 0u);
    EXPECT_EQ(cap, static_cast<int>(der.size()));
    again.resize(static_cast<size_t>(cap));
    EXPECT_TRUE(sm2_verifies(pub, e, decode(again).signVal));

    // The same rule for the ECDSA signers.
    int small = 10;
    EXPECT_EQ(DevSignData(kSlot, e.data(), 32, again.data(), &small), static_cast<uint32_t>(ST_BUFFER_TOO_SMALL));
    EXPECT_GT(small, 10);
}

// A message signed as the verifier computes its e: SM3 of the signer's Z, the
// message and the signing time's octets.
TEST_F(SignTest, Sm2SignatureOverAComputedDigestVerifies)
{
    const Signer& sg = sm2_signer();
    const std::string id(kId.begin(), kId.end());
    const Bytes msg = {'p', 'a', 'y', ' ', '4', '2'};
    const int signTime = 1700000000;
    Bytes e(32);
    ASSERT_EQ(KMX_SM2_CalE(sg.pks.c_str(), id.c_str(), msg.data(), static_cast<int>(msg.size()), signTime,
                           e.data()),
              0);
    session(sg.image);
    Bytes der(512);
    int len = static_cast<int>(der.size());
    ASSERT_EQ(DevSM2Sign(kSlot, e.data(), static_cast<uint32_t>(signTime), der.data(), &len), 0u);
    EXPECT_EQ(KMX_SM2Verify(sg.pks.c_str(), e.data(), der.data(), len), 0);
    EXPECT_EQ(decode(Bytes(der.begin(), der.begin() + len)).signTime, signTime);

    Bytes other(32);
    Bytes changed = msg;
    changed[0] ^= 1;
    ASSERT_EQ(KMX_SM2_CalE(sg.pks.c_str(), id.c_str(), changed.data(), static_cast<int>(changed.size()),
                           signTime, other.data()),
              0);
    EXPECT_NE(KMX_SM2Verify(sg.pks.c_str(), other.data(), der.data(), len), 0);
}

// A read error is not the end of a file: a directory opened as the file is
// refused instead of signing the empty content read so far.
TEST_F(SignTest, FilesThatCannotBeReadAreRefused)
{
    session(sm2_signer().image);
    mkdir(path("a-directory").c_str(), 0700);
    // A FIFO is refused at once, not waited on for a writer.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (const std::string& f : {path("a-directory"), path("missing.bin"), path("fifo")}) {
        SCOPED_TRACE(f);
        Bytes der(512);
        int len = static_cast<int>(der.size());
        EXPECT_EQ(DevSignFile(kSlot, f.c_str(), der.data(), &len), static_cast<uint32_t>(ST_FILE_OPEN));
    }
}

TEST_F(SignTest, BadArgumentsAndUnusableSlotsAreRefused)
{
    session(sm2_signer().image);
    const Bytes e(32, 0x11);
    const std::string f = path("input.bin");
    write_file(f, Bytes{1, 2, 3});
    Bytes der(512);
    int len = 0;
    struct Case {
        const char* what;
        std::function<uint32_t()> call;
        uint32_t want;
    };
    auto cap = [&]() -> int* { len = static_cast<int>(der.size()); return &len; };
    const Case cases[] = {
        {"data: slot 16", [&] { return DevSignData(16, e.data(), 32, der.data(), cap()); }, ST_KEY_SLOT},
        {"data: null with a length", [&] { return DevSignData(kSlot, nullptr, 1, der.data(), cap()); }, ST_BAD_ARGUMENT},
        {"data: no signature buffer", [&] { return DevSignData(kSlot, e.data(), 32, nullptr, cap()); }, ST_BAD_ARGUMENT},
        {"data: no length", [&] { return DevSignData(kSlot, e.data(), 32, der.data(), nullptr); }, ST_BAD_ARGUMENT},
        {"data: empty slot", [&] { return DevSignData(3, e.data(), 32, der.data(), cap()); }, ST_FILE_NOT_FOUND},
        {"file: slot 16", [&] { return DevSignFile(16, f.c_str(), der.data(), cap()); }, ST_KEY_SLOT},
        {"file: no path", [&] { return DevSignFile(kSlot, nullptr, der.data(), cap()); }, ST_BAD_ARGUMENT},
        {"file: no signature buffer", [&] { return DevSignFile(kSlot, f.c_str(), nullptr, cap()); }, ST_BAD_ARGUMENT},
        {"file: no length", [&] { return DevSignFile(kSlot, f.c_str(), der.data(), nullptr); }, ST_BAD_ARGUMENT},
        {"sm2: slot 16", [&] { return DevSM2Sign(16, e.data(), 1, der.data(), cap()); }, ST_KEY_SLOT},
        {"sm2: no digest", [&] { return DevSM2Sign(kSlot, nullptr, 1, der.data(), cap()); }, ST_BAD_ARGUMENT},
        {"sm2: no signature buffer", [&] { return DevSM2Sign(kSlot, e.data(), 1, nullptr, cap()); }, ST_BAD_ARGUMENT},
        {"sm2: no length", [&] { return DevSM2Sign(kSlot, e.data(), 1, der.data(), nullptr); }, ST_BAD_ARGUMENT},
        {"sm2: empty slot", [&] { return DevSM2Sign(3, e.data(), 1, der.data(), cap()); }, ST_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.want);
    }

    // Without the user PIN the card signs nothing.
    ASSERT_EQ(DevClose(), 0u);
    ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, sm2_signer().image.c_str()), 0u);
    EXPECT_NE(DevSignData(kSlot, e.data(), 32, der.data(), cap()), 0u);
    EXPECT_NE(DevSM2Sign(kSlot, e.data(), 1, der.data(), cap()), 0u);
}

}  // namespace
