// Selection, the keyed hashes against OpenSSL by hand, the key derivation,
// time encodings, random bytes and CRC-16.
#include "kmx_fixture.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

using namespace kmxt;

namespace {

Bytes evp(const char* name, const Bytes& a, const Bytes& b = {})
{
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_DigestInit_ex(c, md, nullptr);
    EVP_DigestUpdate(c, a.data(), a.size());
    EVP_DigestUpdate(c, b.data(), b.size());
    EVP_DigestFinal_ex(c, out, &n);
    EVP_MD_free(md);
    EVP_MD_CTX_free(c);
    return Bytes(out, out + n);
}

// The scheme's keyed SM3 by hand with OpenSSL's SM3: K0 || data inner,
// (K0 ^ 0x5C) || inner outer.
Bytes keyed_sm3_oracle(Bytes key, const Bytes& data)
{
    if (key.size() > 64)
        key = evp("SM3", key);
    Bytes k0(64, 0);
    std::copy(key.begin(), key.end(), k0.begin());
    Bytes inner = evp("SM3", k0, data);
    for (auto& b : k0)
        b ^= 0x5C;
    return evp("SM3", k0, inner);
}

Bytes run_hmac(const char* name, const Bytes& key, const Bytes& data, int cap = 64, int* st = nullptr)
{
    Bytes out(64);
    int n = cap;
    int s = KMX_HMAC(name, key.empty() ? nullptr : key.data(), static_cast<int>(key.size()),
                     data.data(), static_cast<int>(data.size()), out.data(), &n);
    if (st)
        *st = s;
    else
        EXPECT_EQ(s, 0);
    out.resize(s == 0 ? n : 0);
    return out;
}

} // namespace

TEST(KeyedSm3, MatchesTheHandComputedConstruction)
{
    Bytes data = bytes("identity\0with zero"), longData(1000, 0xA5);
    data.push_back(0);
    for (size_t keyLen : {1u, 16u, 32u, 63u, 64u, 65u, 200u}) {
        Bytes key(keyLen);
        for (size_t i = 0; i < keyLen; ++i)
            key[i] = static_cast<unsigned char>(i * 7 + 1);
        for (const Bytes* d : {&data, &longData})
            EXPECT_EQ(hex(run_hmac("SM3", key, *d)), hex(keyed_sm3_oracle(key, *d))) << keyLen;
    }
    // Not RFC 2104 HMAC-SM3.
    Bytes key = bytes("matrix-A"), msg = bytes("alice");
    unsigned char std_mac[32];
    unsigned n = 0;
    HMAC(EVP_sm3(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), std_mac, &n);
    EXPECT_NE(hex(run_hmac("SM3", key, msg)), hex(std_mac, n));
}

TEST(KeyedSm3, UnkeyedIsPlainSm3AndRoomIsCheckedFirst)
{
    Bytes abc = bytes("abc");
    EXPECT_EQ(hex(run_hmac("SM3", {}, abc)),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    unsigned char k = 1, out[32];
    int n = 100;
    EXPECT_EQ(KMX_HMAC("SM3", &k, 0, abc.data(), 3, out, &n), 0);   // key length 0: unkeyed
    EXPECT_EQ(hex(out, 32), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    int st = 0;
    n = 31;
    EXPECT_EQ(KMX_HMAC("SM3", &k, 1, abc.data(), 3, out, &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32);
    EXPECT_TRUE(run_hmac("SM3", {}, {}, 64, &st).empty());
    EXPECT_EQ(st, ST_BAD_ARGUMENT);   // no data
}

TEST(Hmac, MatchesRfc2202AndRfc4231)
{
    struct Case {
        const char* md;
        Bytes key, data;
        const char* mac;
    } cases[] = {
        {"SHA1", Bytes(20, 0x0b), bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"SHA1", bytes("Jefe"), bytes("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"SHA1", Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"SHA1", Bytes(80, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"SHA256", Bytes(20, 0x0b), bytes("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"SHA256", bytes("Jefe"), bytes("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"sha256", Bytes(131, 0xaa), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"SHA512", bytes("Jefe"), bytes("what do ya want for nothing?"),
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
         "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex(run_hmac(c.md, c.key, c.data)), c.mac) << c.md;
        Bytes out(64);
        int n = 64;
        ASSERT_EQ(HMac(c.md, c.key.data(), static_cast<int>(c.key.size()), c.data.data(),
                       static_cast<int>(c.data.size()), out.data(), &n),
                  0);
        EXPECT_EQ(hex(out.data(), n), c.mac);
    }
}

TEST(Hmac, DigestNamesUnknownAndNonDigest)
{
    Bytes abc = bytes("abc");
    EXPECT_EQ(hex(run_hmac("no-such-digest", {}, abc)), hex(evp("SHA1", abc)));
    EXPECT_EQ(hex(run_hmac("2.16.840.1.101.3.4.2.1", {}, abc)), hex(evp("SHA256", abc)));
    EXPECT_EQ(hex(run_hmac("MD4", {}, abc)), "a448017aaf21d8525fc10ae87aa6729d");   // legacy
    int st = 0;
    run_hmac("AES-256-CBC", {}, abc, 64, &st);
    EXPECT_EQ(st, ST_NO_DIGEST);
    Bytes out(64);
    int n = 19;
    EXPECT_EQ(KMX_HMAC("SHA1", nullptr, 0, abc.data(), 3, out.data(), &n), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 20);
}

TEST(Kdf, CopiesEqualLengthsAndHashesOtherwise)
{
    Bytes in16(16);
    for (int i = 0; i < 16; ++i)
        in16[i] = static_cast<unsigned char>(0xF0 + i);
    unsigned char out[64];
    EXPECT_EQ(KMX_KDF(in16.data(), 16, out, 7), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_KDF(in16.data(), 16, out, 65), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_KDF(in16.data(), 0, out, 16), ST_BAD_ARGUMENT);
    ASSERT_EQ(KMX_KDF(in16.data(), 16, out, 16), 0);
    EXPECT_EQ(hex(out, 16), hex(in16));
    Bytes t1 = evp("SHA256", in16), t2 = evp("SHA256", t1);
    ASSERT_EQ(KMX_KDF(in16.data(), 16, out, 32), 0);
    EXPECT_EQ(hex(out, 32), hex(t1));
    ASSERT_EQ(KMX_KDF(in16.data(), 16, out, 20), 0);
    EXPECT_EQ(hex(out, 20), hex(t1).substr(0, 40));
    ASSERT_EQ(KMX_KDF(in16.data(), 16, out, 48), 0);
    EXPECT_EQ(hex(out, 48), hex(t1) + hex(t2).substr(0, 32));
}

TEST(SmallUtilities, CrcTimeAndFixedWidthScalars)
{
    EXPECT_EQ(CalCrc16(0, reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
    EXPECT_EQ(CalCrc16(0x1234, reinterpret_cast<const unsigned char*>("x"), 0), 0x1234);
    // Continuing equals one pass.
    unsigned short c = CalCrc16(0, reinterpret_cast<const unsigned char*>("1234"), 4);
    EXPECT_EQ(CalCrc16(c, reinterpret_cast<const unsigned char*>("56789"), 5), 0x31C3);

    struct T {
        long t;
        const char* bytes;
    } times[] = {{0, ""}, {0x80, "80"}, {0x100, "0100"}, {1700000000, "6553f100"}, {0x7FFFFFFF, "7fffffff"}};
    for (const T& t : times) {
        unsigned char out[9];
        int n = -1;
        ASSERT_EQ(Time2ASN1_Integer(t.t, out, &n), 0);
        EXPECT_EQ(hex(out, n), t.bytes);
        EXPECT_EQ(out[n], 0);
    }

    BIGNUM* bn = BN_new();
    BN_hex2bn(&bn, "0100000000000000000000000000000000000000FF");   // 21 bytes
    unsigned char buf[21];
    EXPECT_EQ(KMX_bn2bin(bn, buf, 20), ST_BN_CONVERT);
    ASSERT_EQ(KMX_bn2bin(bn, buf, 21), 0);
    EXPECT_EQ(buf[0], 1);
    BN_set_word(bn, 5);
    ASSERT_EQ(KMX_bn2bin(bn, buf, 4), 0);
    EXPECT_EQ(hex(buf, 4), "00000005");
    BN_free(bn);

    unsigned char r1[32], r2[32];
    ASSERT_EQ(KMX_GetRandom(r1, 32), 0);
    ASSERT_EQ(GetRandom(r2, 32), 0);
    EXPECT_NE(hex(r1, 32), hex(r2, 32));
    // No bytes asked: success, nothing written.
    const std::string before = hex(r1, 32);
    EXPECT_EQ(GetRandom(r1, 0), 0);
    EXPECT_EQ(hex(r1, 32), before);
    EXPECT_EQ(GetRandom(r1, -1), ST_BAD_ARGUMENT);
    EXPECT_EQ(GetRandom(nullptr, 4), ST_BAD_ARGUMENT);
}

TEST(Selection, TheSixTableCurvesAndNothingElse)
{
    const int L[] = {24, 8, 14, 20, 32, 32};
    for (unsigned s = 0; s < 6; ++s) {
        const ecurve_info* c = ecurve_by_serial(s);
        ASN1_OBJECT* o = OBJ_txt2obj(c->oid, 1);   // from its dotted form
        ASSERT_NE(o, nullptr) << c->name;
        EXPECT_EQ(KMX_Get_ecSn(o), static_cast<int>(s)) << c->name;
        EXPECT_EQ(KMX_Get_paramLen(o), L[s]) << c->name;
        EC_GROUP* g = KMX_Get_ecgroup(o);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(EC_GROUP_Get_paramLen(g), L[s]);
        EC_GROUP_free(g);
        ASN1_OBJECT_free(o);
    }
    // A library curve outside the table resolves to nothing (serial 0 only
    // as the number, never a group).
    ASN1_OBJECT* other = OBJ_nid2obj(NID_secp384r1);
    EXPECT_EQ(KMX_Get_ecgroup(other), nullptr);
    EXPECT_EQ(KMX_Get_paramLen(other), 0);
    EXPECT_EQ(KMX_Get_ecSn(other), 0);
    EC_GROUP* def = KMX_Get_ecgroup(nullptr);
    EXPECT_EQ(EC_GROUP_Get_paramLen(def), 24);   // prime192v1
    EC_GROUP_free(def);
}

TEST(Selection, DigestsAndCiphersIncludingLegacyOnes)
{
    ASSERT_NE(KMX_Get_md(0), nullptr);
    EXPECT_EQ(EVP_MD_get_type(KMX_Get_md(0)), NID_sha1);
    EXPECT_NE(KMX_Get_md(NID_sm3), nullptr);
    EXPECT_NE(KMX_Get_md(NID_md4), nullptr);
    EXPECT_EQ(KMX_Get_md(NID_aes_128_cbc), nullptr);
    ASSERT_NE(KMX_Get_cipher(nullptr), nullptr);
    EXPECT_EQ(EVP_CIPHER_get_nid(KMX_Get_cipher(nullptr)), NID_aes_256_cbc);
    for (int nid : {NID_des_cbc, NID_des_ede3_cbc, NID_rc4, NID_bf_cbc, NID_sm4_cbc})
        EXPECT_NE(KMX_Get_cipher(OBJ_nid2obj(nid)), nullptr) << OBJ_nid2sn(nid);
    EXPECT_EQ(KMX_Get_cipher(OBJ_nid2obj(NID_sha256)), nullptr);
}
