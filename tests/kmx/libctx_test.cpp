// The identity-key layer's own library context: its providers, one fetch per
// algorithm, and a layer that keeps working when the process's default
// context can do nothing.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kmx/kmx.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/ecurve.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// True when p is one of the providers loaded into ctx.
bool provider_of(const OSSL_PROVIDER* p, OSSL_LIB_CTX* ctx)
{
    struct Find {
        const OSSL_PROVIDER* p;
        bool found;
    } f{p, false};
    OSSL_PROVIDER_do_all(
        ctx,
        [](OSSL_PROVIDER* q, void* arg) {
            auto* f = static_cast<Find*>(arg);
            f->found = f->found || q == f->p;
            return 1;
        },
        &f);
    return p && f.found;
}

TEST(LibCtx, OwnContextWithBothProvidersAndOneFetchPerAlgorithm)
{
    OSSL_LIB_CTX* ctx = KMX_Lib_Ctx();
    ASSERT_NE(ctx, nullptr);
    EXPECT_NE(ctx, OSSL_LIB_CTX_get0_global_default());
    EXPECT_EQ(OSSL_PROVIDER_available(ctx, "default"), 1);
    EXPECT_EQ(OSSL_PROVIDER_available(ctx, "legacy"), 1);
    // Nothing was loaded into the process's default context on the layer's
    // behalf.
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);

    for (int nid : {NID_sha1, NID_sha256, NID_sm3, NID_md4, NID_ripemd160}) {
        SCOPED_TRACE(OBJ_nid2sn(nid));
        const EVP_MD* md = KMX_Get_md(nid);
        ASSERT_NE(md, nullptr);
        EXPECT_EQ(KMX_Get_md(nid), md);   // kept, not fetched again
        EXPECT_EQ(EVP_MD_get_type(md), nid);
        EXPECT_TRUE(provider_of(EVP_MD_get0_provider(md), ctx));
        EXPECT_FALSE(provider_of(EVP_MD_get0_provider(md), nullptr));
    }
    for (int nid : {NID_aes_256_cbc, NID_des_ede3_cbc, NID_rc4, NID_bf_cbc, NID_sm4_cbc}) {
        SCOPED_TRACE(OBJ_nid2sn(nid));
        const EVP_CIPHER* c = KMX_Get_cipher(OBJ_nid2obj(nid));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(KMX_Get_cipher(OBJ_nid2obj(nid)), c);
        EXPECT_EQ(EVP_CIPHER_get_nid(c), nid);
        EXPECT_TRUE(provider_of(EVP_CIPHER_get0_provider(c), ctx));
        EXPECT_FALSE(provider_of(EVP_CIPHER_get0_provider(c), nullptr));
    }
    EXPECT_EQ(KMX_Get_cipher(nullptr), KMX_Get_cipher(OBJ_nid2obj(NID_aes_256_cbc)));

    // A caller's built-in table object is swapped for the layer's own fetch.
    EXPECT_EQ(KMX_Own_md(EVP_sha256()), KMX_Get_md(NID_sha256));
    EXPECT_EQ(KMX_Own_md(KMX_Get_md(NID_sm3)), KMX_Get_md(NID_sm3));
    EXPECT_EQ(KMX_Own_cipher(EVP_aes_128_cbc()), KMX_Get_cipher(OBJ_nid2obj(NID_aes_128_cbc)));
    EXPECT_EQ(KMX_Own_md(nullptr), nullptr);

    // Curve groups of the layer are made in its context.
    ASN1_OBJECT* p256 = OBJ_nid2obj(NID_X9_62_prime256v1);
    EC_GROUP* g = KMX_Get_ecgroup(p256);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(EC_GROUP_get_curve_name(g), NID_X9_62_prime256v1);
    EC_GROUP_free(g);
}

// Everything below runs in a process of its own whose default context holds
// only the "null" provider (no digests, ciphers or random generator). The
// expected values come from a context of the test's own.
struct Oracle {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* def = ctx ? OSSL_PROVIDER_load(ctx, "default") : nullptr;
    OSSL_PROVIDER* legacy = ctx ? OSSL_PROVIDER_load(ctx, "legacy") : nullptr;
    ~Oracle()
    {
        if (legacy)
            OSSL_PROVIDER_unload(legacy);
        if (def)
            OSSL_PROVIDER_unload(def);
        OSSL_LIB_CTX_free(ctx);
    }

    Bytes digest(const char* name, const Bytes& in) const
    {
        EVP_MD* md = EVP_MD_fetch(ctx, name, nullptr);
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned n = 0;
        if (!md || EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr) != 1)
            n = 0;
        EVP_MD_free(md);
        out.resize(n);
        return out;
    }
    Bytes hmac(const char* mdName, const Bytes& key, const Bytes& in) const
    {
        Bytes out(EVP_MAX_MD_SIZE);
        size_t n = 0;
        if (!EVP_Q_mac(ctx, "HMAC", nullptr, mdName, nullptr, key.data(), key.size(), in.data(),
                       in.size(), out.data(), out.size(), &n))
            n = 0;
        out.resize(n);
        return out;
    }
    Bytes encrypt(const char* name, const Bytes& key, const Bytes& iv, const Bytes& in) const
    {
        EVP_CIPHER* c = EVP_CIPHER_fetch(ctx, name, nullptr);
        EVP_CIPHER_CTX* x = EVP_CIPHER_CTX_new();
        Bytes out(in.size() + 2 * EVP_MAX_BLOCK_LENGTH);
        int n1 = 0, n2 = 0;
        bool ok = c && x && EVP_EncryptInit_ex(x, c, nullptr, key.data(), iv.data()) == 1 &&
                  EVP_EncryptUpdate(x, out.data(), &n1, in.data(), (int)in.size()) == 1 &&
                  EVP_EncryptFinal_ex(x, out.data() + n1, &n2) == 1;
        EVP_CIPHER_CTX_free(x);
        EVP_CIPHER_free(c);
        out.resize(ok ? n1 + n2 : 0);
        return out;
    }
};

std::string hex(const Bytes& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

int g_failures = 0;

void check(bool ok, const std::string& what)
{
    if (!ok) {
        ++g_failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

void check_eq(const Bytes& got, const Bytes& want, const std::string& what)
{
    check(!want.empty() && got == want, what + ": got " + hex(got) + ", want " + hex(want));
}

void layer_with_an_empty_default_context()
{
    OSSL_PROVIDER* none = OSSL_PROVIDER_load(nullptr, "null");
    check(none != nullptr, "null provider loads");
    // The default context really can do nothing now.
    EVP_MD* probe = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    check(probe == nullptr, "default context has no SHA-256");
    EVP_MD_free(probe);
    unsigned char r[8];
    check(RAND_bytes(r, sizeof r) != 1, "default context has no generator");

    Oracle o;
    check(o.def && o.legacy, "oracle context");
    const Bytes msg = text("identity-key layer in a context of its own");
    const Bytes key = text("0123456789abcdef0123456789abcdef");
    const Bytes iv(16, 0x5A);

    struct DigestCase {
        const char* name;
    } digests[] = {{"SHA256"}, {"SHA1"}, {"MD4"}, {"RIPEMD160"}};
    for (const DigestCase& c : digests) {
        Bytes out(64);
        int n = (int)out.size();
        int st = Hash(c.name, msg.data(), (int)msg.size(), out.data(), &n);
        out.resize(st == 0 ? n : 0);
        check_eq(out, o.digest(c.name, msg), std::string("Hash ") + c.name);

        Bytes mac(64);
        n = (int)mac.size();
        st = HMac(c.name, key.data(), (int)key.size(), msg.data(), (int)msg.size(), mac.data(), &n);
        mac.resize(st == 0 ? n : 0);
        check_eq(mac, o.hmac(c.name, key, msg), std::string("HMac ") + c.name);
    }

    // A caller's built-in objects, modern and legacy, run in the layer's context.
    struct CipherCase {
        const EVP_CIPHER* given;
        const char* name;
        int keyLen;
    } ciphers[] = {
        {EVP_aes_256_cbc(), "AES-256-CBC", 32},
        {EVP_des_ede3_cbc(), "DES-EDE3-CBC", 24},
        {KMX_Get_cipher(OBJ_nid2obj(NID_bf_cbc)), "BF-CBC", 16},
    };
    for (const CipherCase& c : ciphers) {
        const Bytes k(key.begin(), key.begin() + c.keyLen);
        Bytes out(msg.size() + 32);
        int n = (int)out.size();
        int st = Openssl_Encrypt(c.given, msg.data(), (int)msg.size(), k.data(), iv.data(),
                                 out.data(), &n);
        out.resize(st == 0 ? n : 0);
        check_eq(out, o.encrypt(c.name, k, iv, msg), std::string("Openssl_Encrypt ") + c.name);
        Bytes back(out.size() + 32);
        int m = (int)back.size();
        st = Openssl_Decrypt(c.given, out.data(), (int)out.size(), k.data(), iv.data(),
                             back.data(), &m);
        back.resize(st == 0 ? m : 0);
        check_eq(back, msg, std::string("Openssl_Decrypt ") + c.name);
    }
    // Cipher by name with the derived key, the layer's SHA-256 underneath.
    Bytes ct(msg.size() + 32), pt(msg.size() + 32);
    int cn = (int)ct.size(), pn = (int)pt.size();
    check(Sym_Encrypt("AES-128-CBC", msg.data(), (int)msg.size(), key.data(), 16, ct.data(), &cn) == 0,
          "Sym_Encrypt AES-128-CBC");
    check(Sym_Decrypt("AES-128-CBC", ct.data(), cn, key.data(), 16, pt.data(), &pn) == 0 &&
              Bytes(pt.begin(), pt.begin() + pn) == msg,
          "Sym_Decrypt AES-128-CBC");

    // Random numbers and a key pair: P = priv * G.
    unsigned char rnd[32] = {0};
    check(GetRandom(rnd, sizeof rnd) == 0, "GetRandom");
    unsigned char pub[64], priv[32];
    int pubLen = sizeof pub, privLen = sizeof priv;
    check(KMX_GenSymKey("prime256v1", pub, &pubLen, priv, &privLen) == 0 && pubLen == 64,
          "KMX_GenSymKey");
    EC_GROUP* g = ecurve_new_group(4);
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    BIGNUM *d = BN_bin2bn(priv, privLen, nullptr), *x = BN_new(), *y = BN_new();
    Bytes xy(64);
    bool ok = P && d && x && y && EC_POINT_mul(g, P, d, nullptr, nullptr, nullptr) == 1 &&
              EC_POINT_get_affine_coordinates(g, P, x, y, nullptr) == 1 &&
              BN_bn2binpad(x, xy.data(), 32) == 32 && BN_bn2binpad(y, xy.data() + 32, 32) == 32;
    check_eq(ok ? xy : Bytes(), Bytes(pub, pub + 64), "KMX_GenSymKey public key");
    BN_free(x);
    BN_free(y);
    BN_clear_free(d);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    OPENSSL_cleanse(priv, sizeof priv);

    if (none)
        OSSL_PROVIDER_unload(none);
    std::exit(g_failures ? 1 : 0);
}

TEST(LibCtx, LayerWorksWhileTheDefaultContextHasNoProviders)
{
    // A fresh process: the test's own earlier work must not have woken the
    // default context's providers already.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(layer_with_an_empty_default_context(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
