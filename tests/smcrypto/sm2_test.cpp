#include "smcrypto/sm2.h"
#include "smcrypto/status.h"
#include "sm_test_util.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/param_build.h>

#include <cstring>
#include <memory>

namespace {

// --- An independent SM2 toolkit from the library's own sm2p256v1 curve ---

struct Lib {
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    BN_CTX* ctx = BN_CTX_new();
    ~Lib()
    {
        EC_GROUP_free(g);
        BN_CTX_free(ctx);
    }
    const BIGNUM* n() const { return EC_GROUP_get0_order(g); }
};

Lib& lib()
{
    static Lib l;
    return l;
}

using bn_ptr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using pt_ptr = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;

bn_ptr bn(const bytes& b) { return bn_ptr(BN_bin2bn(b.data(), (int)b.size(), nullptr), BN_free); }
bn_ptr bn_new() { return bn_ptr(BN_new(), BN_free); }
pt_ptr pt_new() { return pt_ptr(EC_POINT_new(lib().g), EC_POINT_free); }

bytes bn32(const BIGNUM* b)
{
    bytes out(32);
    BN_bn2binpad(b, out.data(), 32);
    return out;
}

bytes point_xy(const EC_POINT* p)
{
    bn_ptr x = bn_new(), y = bn_new();
    EC_POINT_get_affine_coordinates(lib().g, p, x.get(), y.get(), lib().ctx);
    bytes out = bn32(x.get()), yb = bn32(y.get());
    out.insert(out.end(), yb.begin(), yb.end());
    return out;
}

// k.G, or k.P when P (64 bytes X || Y) is given.
bytes mul(const bytes& k, const bytes& P = {})
{
    pt_ptr r = pt_new();
    bn_ptr kb = bn(k);
    if (P.empty()) {
        EC_POINT_mul(lib().g, r.get(), kb.get(), nullptr, nullptr, lib().ctx);
    } else {
        pt_ptr q = pt_new();
        bytes oct = {0x04};
        oct.insert(oct.end(), P.begin(), P.end());
        EC_POINT_oct2point(lib().g, q.get(), oct.data(), oct.size(), lib().ctx);
        EC_POINT_mul(lib().g, r.get(), nullptr, q.get(), kb.get(), lib().ctx);
    }
    return point_xy(r.get());
}

struct KeyPair {
    bytes d, pub;
};

KeyPair new_key()
{
    bn_ptr d = bn_new();
    do
        BN_rand_range(d.get(), lib().n());
    while (BN_is_zero(d.get()));
    KeyPair kp{bn32(d.get()), {}};
    kp.pub = mul(kp.d);
    return kp;
}

// The system's key derivation: SM3(z || ct), ct from 0, four bytes little-endian.
bytes kdf(const bytes& z, size_t klen)
{
    bytes out;
    for (uint32_t ct = 0; out.size() < klen; ++ct) {
        bytes in = z;
        for (int i = 0; i < 4; ++i)
            in.push_back((unsigned char)(ct >> (8 * i)));
        bytes h = ossl_sm3(in.data(), in.size());
        out.insert(out.end(), h.begin(), h.end());
    }
    out.resize(klen);
    return out;
}

bytes c3_of(const bytes& xy2, const bytes& m)
{
    bytes in(xy2.begin(), xy2.begin() + 32);
    in.insert(in.end(), m.begin(), m.end());
    in.insert(in.end(), xy2.begin() + 32, xy2.end());
    return ossl_sm3(in.data(), in.size());
}

// C1 || C2 || C3 made with scalar k.
bytes ref_encrypt(const bytes& pub, const bytes& m, const bytes& k)
{
    bytes c1 = mul(k), xy2 = mul(k, pub), t = kdf(xy2, m.size());
    bytes c = {0x04};
    c.insert(c.end(), c1.begin(), c1.end());
    for (size_t i = 0; i < m.size(); ++i)
        c.push_back(m[i] ^ t[i]);
    bytes c3 = c3_of(xy2, m);
    c.insert(c.end(), c3.begin(), c3.end());
    return c;
}

// Decrypts C1 || C2 || C3; false when C3 does not match.
bool ref_decrypt(const bytes& d, const bytes& c, bytes& m)
{
    if (c.size() < 97)
        return false;
    bytes c1(c.begin() + 1, c.begin() + 65);
    bytes xy2 = mul(d, c1);
    size_t len = c.size() - 97;
    bytes t = kdf(xy2, len);
    m.assign(len, 0);
    for (size_t i = 0; i < len; ++i)
        m[i] = c[65 + i] ^ t[i];
    return c3_of(xy2, m) == bytes(c.end() - 32, c.end());
}

// --- The library's SM2 signatures (EVP_PKEY of type SM2) ---

using pkey_ptr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

pkey_ptr sm2_pkey(const KeyPair& kp, bool with_private)
{
    bytes oct = {0x04};
    oct.insert(oct.end(), kp.pub.begin(), kp.pub.end());
    OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
    bn_ptr d = bn(kp.d);
    OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, oct.data(), oct.size());
    if (with_private)
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_PRIV_KEY, d.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* pk = nullptr;
    EVP_PKEY_fromdata_init(pc);
    EVP_PKEY_fromdata(pc, &pk, with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(pc);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(b);
    return pkey_ptr(pk, EVP_PKEY_free);
}

bytes sig_to_der(const bytes& sig)
{
    ECDSA_SIG* s = ECDSA_SIG_new();
    ECDSA_SIG_set0(s, BN_bin2bn(sig.data(), 32, nullptr), BN_bin2bn(sig.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(s, &der);
    bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(s);
    return out;
}

bytes der_to_sig(const bytes& der)
{
    const unsigned char* p = der.data();
    ECDSA_SIG* s = d2i_ECDSA_SIG(nullptr, &p, (long)der.size());
    bytes out = bn32(ECDSA_SIG_get0_r(s)), sb = bn32(ECDSA_SIG_get0_s(s));
    out.insert(out.end(), sb.begin(), sb.end());
    ECDSA_SIG_free(s);
    return out;
}

// Library sign (sign = true, returns r || s) or verify (returns {1} on success)
// of msg under the distinguishing ID.
bytes lib_sm2(const KeyPair& kp, const std::string& id, const bytes& msg, bool sign,
              const bytes& sig = {})
{
    pkey_ptr pk = sm2_pkey(kp, sign);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new(pk.get(), nullptr);
    EVP_PKEY_CTX_set1_id(pc, id.data(), id.size());
    EVP_MD_CTX_set_pkey_ctx(md, pc);
    bytes out;
    if (sign) {
        EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, pk.get());
        size_t n = 0;
        EVP_DigestSign(md, nullptr, &n, msg.data(), msg.size());
        bytes der(n);
        if (EVP_DigestSign(md, der.data(), &n, msg.data(), msg.size()) == 1) {
            der.resize(n);
            out = der_to_sig(der);
        }
    } else {
        EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pk.get());
        bytes der = sig_to_der(sig);
        if (EVP_DigestVerify(md, der.data(), der.size(), msg.data(), msg.size()) == 1)
            out = {1};
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pc);
    return out;
}

bytes our_e(const KeyPair& kp, const std::string& id, const bytes& msg)
{
    bytes z(32), e(32);
    SM2_GetZ((const unsigned char*)id.data(), (uint8_t)id.size(), kp.pub.data(), z.data());
    SM2_GetE(msg.data(), (int)msg.size(), z.data(), e.data());
    return e;
}

// --- The standard's example key and random scalar ---

const bytes kStdD = from_hex("3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
const bytes kStdK = from_hex("59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1BC21");
const std::string kStdId = "1234567812345678";

KeyPair std_key() { return {kStdD, mul(kStdD)}; }

bytes str(const char* s) { return bytes(s, s + std::strlen(s)); }

TEST(Sm2, StandardSignatureExample)
{
    KeyPair kp = std_key();
    EXPECT_EQ(to_hex(kp.pub),
              "09F9DF311E5421A150DD7D161E4BC5C672179FAD1833FC076BB08FF356F35020"
              "CCEA490CE26775A52DC6EA718CC1AA600AED05FBF35E084A6632F6072DA9AD13");
    bytes z(32), e(32);
    SM2_GetZ((const unsigned char*)kStdId.data(), 16, kp.pub.data(), z.data());
    EXPECT_EQ(to_hex(z), "B2E14C5C79C6DF5B85F4FE7ED8DB7A262B9DA7E07CCB0EA9F4747B8CCDA8A4F3");
    bytes m = str("message digest");
    SM2_GetE(m.data(), (int)m.size(), z.data(), e.data());
    EXPECT_EQ(to_hex(e), "F0B43E94BA45ACCAACE692ED534382EB17E6AB5A19CE7B31F4486FDFC0D28640");

    bytes sig(64);
    SM2_TestFixNextK(kStdK.data());
    ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
    EXPECT_EQ(to_hex(sig), "F5A03B0648D2C4630EEAC513E1BB81A15944DA3827D5B74143AC7EACEEE720B3"
                           "B1B6AA29DF212FD8763182BC0D421CA1BB9038FD1F7F42D4840B69C485BBC1AA");
    EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), sig.data()), ST_OK);
}

TEST(Sm2, StandardEncryptionExampleWithThisKdf)
{
    KeyPair kp = std_key();
    bytes m = str("encryption standard");
    bytes c(m.size() + 97);
    int len = (int)c.size();
    SM2_TestFixNextK(kStdK.data());
    ASSERT_EQ(SM2_Encrypt(kp.pub.data(), m.data(), (uint32_t)m.size(), c.data(), &len), SM2_OK);
    ASSERT_EQ(len, (int)m.size() + 97);
    EXPECT_EQ(to_hex(c.data(), 65),
              "04"
              "04EBFC718E8D179862043226" "8E77FEB6415E2EDE0E073C0F4F640ECD2E149A73"
              "E858F9D81E5430A57B36DAAB8F950A3C64E6EE6A63094D99283AFF767E124DF0");
    EXPECT_EQ(to_hex(c.data() + 65, m.size()), "213DD135FE450FCA2F2BBD51BC71DC68B7D284");
    EXPECT_EQ(to_hex(c.data() + 65 + m.size(), 32),
              "59983C18F809E262923C53AEC295D30383B54E39D609D160AFCB1908D0BD8766");
    EXPECT_EQ(c, ref_encrypt(kp.pub, m, kStdK));
    bytes back(m.size());
    uint32_t bl = 0;
    ASSERT_EQ(SM2_Decrypt(kp.d.data(), c.data(), (uint32_t)c.size(), back.data(), &bl), SM2_OK);
    EXPECT_EQ(back, m);
}

// Signatures cross-check with the library for several IDs and messages.
TEST(Sm2, SignaturesInteroperateWithLibrary)
{
    const std::string ids[] = {"", "1234567812345678", "ALICE123@YAHOO.COM",
                               std::string(62, 'x')};
    for (const auto& id : ids) {
        for (size_t mlen : {0u, 1u, 14u, 100u, 224u}) {
            SCOPED_TRACE(testing::Message() << "id " << id.size() << " msg " << mlen);
            KeyPair kp = new_key();
            bytes msg = random_bytes(mlen);
            bytes e = our_e(kp, id, msg);

            bytes sig(64);
            ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
            EXPECT_EQ(lib_sm2(kp, id, msg, false, sig), bytes{1});
            EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), sig.data()), ST_OK);

            bytes theirs = lib_sm2(kp, id, msg, true);
            ASSERT_EQ(theirs.size(), 64u);
            EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), theirs.data()), ST_OK);

            // One changed byte of e or of the signature breaks it.
            bytes e2 = e;
            e2[mlen % 32] ^= 0x01;
            EXPECT_EQ(SM2_Verify(kp.pub.data(), e2.data(), sig.data()), ST_BAD_SIGNATURE);
            bytes s2 = sig;
            s2[(mlen * 7) % 64] ^= 0x80;
            EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), s2.data()), ST_BAD_SIGNATURE);
            // Another key does not verify it.
            KeyPair other = new_key();
            EXPECT_EQ(SM2_Verify(other.pub.data(), e.data(), sig.data()), ST_BAD_SIGNATURE);
        }
    }
}

// An r with leading zero bytes is written in full, whatever the output held.
TEST(Sm2, ShortRIsLeftPadded)
{
    KeyPair kp = new_key();
    bytes e = random_bytes(32);
    bn_ptr eb = bn(e), r = bn_new();
    bytes k;
    for (int i = 0; i < 100000; ++i) {
        k = new_key().d;
        bytes x1 = mul(k);
        bn_ptr x = bn(bytes(x1.begin(), x1.begin() + 32));
        BN_mod_add(r.get(), eb.get(), x.get(), lib().n(), lib().ctx);
        if (BN_num_bytes(r.get()) < 32)
            break;
    }
    ASSERT_LT(BN_num_bytes(r.get()), 32);
    bytes sig(64, 0xFF);
    SM2_TestFixNextK(k.data());
    ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
    EXPECT_EQ(bytes(sig.begin(), sig.begin() + 32), bn32(r.get()));
    EXPECT_EQ(sig[0], 0);
    EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), sig.data()), ST_OK);
}

TEST(Sm2, VerifyRefusesOutOfRangeSignatures)
{
    KeyPair kp = new_key();
    bytes e = random_bytes(32);
    bytes sig(64);
    ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
    bytes r(sig.begin(), sig.begin() + 32), s(sig.begin() + 32, sig.end());
    bytes n = bn32(lib().n()), zero(32, 0);
    bn_ptr rn = bn(r), t = bn_new();
    BN_sub(t.get(), lib().n(), rn.get());
    bytes n_minus_r = bn32(t.get());
    struct Case {
        const char* name;
        bytes r, s;
    } cases[] = {
        {"r = 0", zero, s},       {"s = 0", r, zero},        {"r = n", n, s},
        {"s = n", r, n},          {"r + s = n", r, n_minus_r}, {"r all ones", bytes(32, 0xFF), s},
    };
    for (const auto& c : cases) {
        bytes bad = c.r;
        bad.insert(bad.end(), c.s.begin(), c.s.end());
        EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), bad.data()), ST_BAD_SIGNATURE) << c.name;
    }
}

// s.G + t.P at infinity is a failed verification, not a crash.
TEST(Sm2, VerifySumAtInfinity)
{
    KeyPair kp = new_key();
    bn_ptr d = bn(kp.d), r = bn_new(), s = bn_new(), t = bn_new();
    BN_rand_range(r.get(), lib().n());
    // s = -r d / (1 + d) makes s + (r + s) d = 0 mod n.
    BN_copy(t.get(), d.get());
    BN_add_word(t.get(), 1);
    BN_mod_inverse(t.get(), t.get(), lib().n(), lib().ctx);
    BN_mod_mul(s.get(), r.get(), d.get(), lib().n(), lib().ctx);
    BN_mod_mul(s.get(), s.get(), t.get(), lib().n(), lib().ctx);
    BN_sub(s.get(), lib().n(), s.get());
    bytes sig = bn32(r.get()), sb = bn32(s.get());
    sig.insert(sig.end(), sb.begin(), sb.end());
    bytes e = random_bytes(32);
    EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), sig.data()), ST_BAD_SIGNATURE);
}

// Public keys and C1 points that are not on the curve are refused.
TEST(Sm2, PointsOffTheCurveAreRefused)
{
    KeyPair kp = new_key();
    bytes e = random_bytes(32), sig(64);
    ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
    bytes off = kp.pub;
    off[63] ^= 0x01;
    bytes zero(64, 0);
    // X + p names the same field element as X but is not a valid coordinate.
    bytes x_plus_p = kp.pub;
    {
        bn_ptr x = bn(bytes(kp.pub.begin(), kp.pub.begin() + 32)), p = bn_new();
        EC_GROUP_get_curve(lib().g, p.get(), nullptr, nullptr, lib().ctx);
        BN_add(x.get(), x.get(), p.get());
        if (BN_num_bytes(x.get()) <= 32)
            std::memcpy(x_plus_p.data(), bn32(x.get()).data(), 32);
        else
            x_plus_p = off;
    }
    const bytes bad_points[] = {off, zero, bytes(64, 0xFF), x_plus_p};
    bytes msg = random_bytes(20);
    for (const auto& P : bad_points) {
        EXPECT_EQ(SM2_Verify(P.data(), e.data(), sig.data()), ST_BAD_SIGNATURE);
        bytes out(200, 0xAB);
        int len = (int)out.size();
        EXPECT_EQ(SM2_Encrypt(P.data(), msg.data(), 20, out.data(), &len), SM2_ERR_POINT);
        EXPECT_EQ(len, 200);
        EXPECT_EQ(out, bytes(200, 0xAB));

        bytes c = ref_encrypt(kp.pub, msg, new_key().d);
        std::memcpy(c.data() + 1, P.data(), 64);
        bytes plain(20, 0xCD);
        uint32_t pl = 777;
        EXPECT_EQ(SM2_Decrypt(kp.d.data(), c.data(), (uint32_t)c.size(), plain.data(), &pl),
                  SM2_ERR_DECRYPT);
        EXPECT_EQ(pl, 777u);
        EXPECT_EQ(plain, bytes(20, 0xCD));
    }
    // C1 must be an uncompressed point.
    bytes c = ref_encrypt(kp.pub, msg, new_key().d);
    c[0] = 0x02;
    bytes plain(20);
    uint32_t pl = 0;
    EXPECT_EQ(SM2_Decrypt(kp.d.data(), c.data(), (uint32_t)c.size(), plain.data(), &pl),
              SM2_ERR_DECRYPT);
}

// Our ciphertexts decrypt with the test decryptor, and its ciphertexts with
// ours, for every message length the work areas hold.
TEST(Sm2, EncryptionInteroperatesForEveryLength)
{
    KeyPair kp = new_key();
    for (size_t m = 0; m <= 192; ++m) {
        SCOPED_TRACE(m);
        bytes msg = random_bytes(m);
        bytes c(m + 97 + 5, 0xEE);
        int len = (int)c.size();
        ASSERT_EQ(SM2_Encrypt(kp.pub.data(), msg.data(), (uint32_t)m, c.data(), &len), SM2_OK);
        ASSERT_EQ(len, (int)(m + 97));
        EXPECT_EQ(c[m + 97], 0xEE);   // nothing beyond the ciphertext
        c.resize(m + 97);
        bytes back;
        EXPECT_TRUE(ref_decrypt(kp.d, c, back));
        EXPECT_EQ(back, msg);

        bytes theirs = ref_encrypt(kp.pub, msg, new_key().d);
        bytes plain(m + 1, 0x11);
        uint32_t pl = 999;
        int rc = SM2_Decrypt(kp.d.data(), theirs.data(), (uint32_t)theirs.size(), plain.data(), &pl);
        if (m <= SM2_MAX_DECRYPT) {
            ASSERT_EQ(rc, SM2_OK);
            EXPECT_EQ(pl, m);
            EXPECT_EQ(bytes(plain.begin(), plain.begin() + (long)m), msg);
        } else {
            // Beyond the decryption work area: refused, nothing written.
            EXPECT_EQ(rc, SM2_ERR_DECRYPT);
            EXPECT_EQ(pl, 999u);
        }
        EXPECT_EQ(plain[m], 0x11);
    }
}

TEST(Sm2, EncryptCapacityAndLengthLimits)
{
    KeyPair kp = new_key();
    bytes msg = random_bytes(200);
    struct Case {
        uint32_t m;
        int cap;
        int rc;
    } cases[] = {{10, 10 + 96, SM2_ERR_ROOM}, {10, 10 + 97, SM2_OK}, {0, 96, SM2_ERR_ROOM},
                 {0, 97, SM2_OK},             {10, -1, SM2_ERR_ROOM}, {192, 192 + 97, SM2_OK},
                 {193, 193 + 97, SM2_ERR_ROOM}, {200, 1000, SM2_ERR_ROOM}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.m << " / " << c.cap);
        bytes out(1000, 0x3C);
        int len = c.cap;
        EXPECT_EQ(SM2_Encrypt(kp.pub.data(), msg.data(), c.m, out.data(), &len), c.rc);
        if (c.rc == SM2_OK) {
            EXPECT_EQ(len, (int)c.m + 97);
        } else {
            EXPECT_EQ(len, c.cap);
            EXPECT_EQ(out, bytes(1000, 0x3C));
        }
    }
    // Encrypting nothing gives C1 || C3, which decrypts to nothing.
    bytes c(97);
    int len = 97;
    ASSERT_EQ(SM2_Encrypt(kp.pub.data(), nullptr, 0, c.data(), &len), SM2_OK);
    uint32_t pl = 5;
    unsigned char dummy = 0x42;
    EXPECT_EQ(SM2_Decrypt(kp.d.data(), c.data(), 97, &dummy, &pl), SM2_OK);
    EXPECT_EQ(pl, 0u);
    EXPECT_EQ(dummy, 0x42);
}

// Any changed byte of C2 or C3 gives 4; the caller's buffers stay as they were.
TEST(Sm2, DecryptRefusesTamperingAndBadLengths)
{
    KeyPair kp = new_key();
    bytes msg = random_bytes(40);
    bytes c = ref_encrypt(kp.pub, msg, new_key().d);
    for (size_t i = 65; i < c.size(); ++i) {
        bytes bad = c;
        bad[i] ^= 0x04;
        bytes plain(40, 0x99);
        uint32_t pl = 1234;
        ASSERT_EQ(SM2_Decrypt(kp.d.data(), bad.data(), (uint32_t)bad.size(), plain.data(), &pl),
                  SM2_ERR_DECRYPT)
            << i;
        ASSERT_EQ(pl, 1234u);
        ASSERT_EQ(plain, bytes(40, 0x99)) << "unverified plaintext written, byte " << i;
    }
    // The wrong key fails the same way.
    bytes plain(40, 0x99);
    uint32_t pl = 1234;
    EXPECT_EQ(SM2_Decrypt(new_key().d.data(), c.data(), (uint32_t)c.size(), plain.data(), &pl),
              SM2_ERR_DECRYPT);
    EXPECT_EQ(plain, bytes(40, 0x99));

    // Lengths outside 97..257 are refused before anything is read past them.
    bytes big(400, 0);
    std::memcpy(big.data(), c.data(), c.size());
    for (uint32_t clen : {0u, 1u, 64u, 65u, 96u, 258u, 400u}) {
        pl = 1234;
        auto area = std::make_unique<unsigned char[]>(clen ? clen : 1);
        std::memcpy(area.get(), big.data(), clen);
        EXPECT_EQ(SM2_Decrypt(kp.d.data(), area.get(), clen, plain.data(), &pl), SM2_ERR_DECRYPT)
            << clen;
        EXPECT_EQ(pl, 1234u);
    }
}

TEST(Sm2, SignRefusesKeysWithoutInverse)
{
    bn_ptr t = bn_new();
    bytes e = random_bytes(32);
    BN_copy(t.get(), lib().n());
    BN_sub_word(t.get(), 1);
    bytes n_minus_1 = bn32(t.get());
    bytes n = bn32(lib().n());
    BN_sub_word(t.get(), 1);
    bytes n_minus_2 = bn32(t.get());
    for (const bytes& d : {bytes(32, 0), n_minus_1, n, bytes(32, 0xFF)}) {
        bytes sig(64, 0x6E);
        EXPECT_EQ(SM2_Sign(d.data(), e.data(), sig.data()), ST_BAD_ARGUMENT) << to_hex(d);
        EXPECT_EQ(sig, bytes(64, 0x6E));
    }
    // The top of the range still signs.
    KeyPair kp{n_minus_2, mul(n_minus_2)};
    bytes sig(64);
    ASSERT_EQ(SM2_Sign(kp.d.data(), e.data(), sig.data()), ST_OK);
    EXPECT_EQ(SM2_Verify(kp.pub.data(), e.data(), sig.data()), ST_OK);
}

TEST(Sm2, ZAndERefuseInputsBeyondTheirWorkAreas)
{
    KeyPair kp = new_key();
    bytes id = random_bytes(255), msg = random_bytes(300);
    bytes z(32, 0x55), e(32, 0x66);
    SM2_GetZ(id.data(), 63, kp.pub.data(), z.data());
    SM2_GetZ(id.data(), 255, kp.pub.data(), z.data());
    EXPECT_EQ(z, bytes(32, 0x55));
    SM2_GetE(msg.data(), 225, z.data(), e.data());
    SM2_GetE(msg.data(), -1, z.data(), e.data());
    EXPECT_EQ(e, bytes(32, 0x66));
    // At the limits both match the library's signatures (checked above) and
    // the plain definitions.
    SM2_GetZ(id.data(), 62, kp.pub.data(), z.data());
    SM2_GetE(msg.data(), 224, z.data(), e.data());
    bytes zin = z;
    zin.insert(zin.end(), msg.begin(), msg.begin() + 224);
    EXPECT_EQ(e, ossl_sm3(zin.data(), zin.size()));
}

// A 33-byte mask is SM3(Z || 00000000) and the first byte of SM3(Z || 01000000).
TEST(Sm2, KdfCounterFromZeroLittleEndian)
{
    KeyPair kp = new_key();
    bytes msg(33, 0);   // C2 of an all-zero message is the mask itself
    bytes k = new_key().d;
    bytes c(33 + 97);
    int len = (int)c.size();
    SM2_TestFixNextK(k.data());
    ASSERT_EQ(SM2_Encrypt(kp.pub.data(), msg.data(), 33, c.data(), &len), SM2_OK);
    bytes xy2 = mul(k, kp.pub);
    bytes z0 = xy2, z1 = xy2;
    z0.insert(z0.end(), {0, 0, 0, 0});
    z1.insert(z1.end(), {1, 0, 0, 0});
    bytes want = ossl_sm3(z0.data(), z0.size());
    want.push_back(ossl_sm3(z1.data(), z1.size())[0]);
    EXPECT_EQ(bytes(c.begin() + 65, c.begin() + 98), want);
}

} // namespace
