// Curve, digest and cipher selection; keyed hashes, key derivation, time
// encodings, random bytes and CRC-16.
#include "kmx/kmx.h"

#include <openssl/evp.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "smcrypto/ecurve.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm3.h"

namespace {

// The layer's own library context with its providers, and every digest,
// cipher and MAC fetched from it, each kept from its first fetch to the end
// of the process.
struct LibCtx {
    OSSL_LIB_CTX* ctx = nullptr;
    OSSL_PROVIDER* def = nullptr;
    OSSL_PROVIDER* legacy = nullptr;
    std::mutex lock;                 // guards the three tables
    std::map<int, EVP_MD*> mds;      // by NID
    std::map<int, EVP_CIPHER*> ciphers;
    EVP_MAC* hmac = nullptr;
};

LibCtx* g_lib = nullptr;

void free_lib_ctx()
{
    LibCtx* l = g_lib;
    g_lib = nullptr;
    if (!l)
        return;
    for (auto& m : l->mds)
        EVP_MD_free(m.second);
    for (auto& c : l->ciphers)
        EVP_CIPHER_free(c.second);
    EVP_MAC_free(l->hmac);
    if (l->legacy)
        OSSL_PROVIDER_unload(l->legacy);
    if (l->def)
        OSSL_PROVIDER_unload(l->def);
    OSSL_LIB_CTX_free(l->ctx);
    delete l;
}

LibCtx* lib()
{
    KMX_Init_Providers();
    return g_lib;
}

} // namespace

void KMX_Init_Providers(void)
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The layer keeps its providers to itself: default for the common
        // algorithms, legacy for DES, RC4, MD4 and the other old ones. The
        // process's default context is left as it is. Without the legacy
        // module only its algorithms are missing (their names then give
        // 13001 / 11004); without a context or the default provider every
        // digest and cipher by name is missing. Everything is released at
        // exit, before the library's own clean-up (registered earlier).
        OPENSSL_init_crypto(0, nullptr);
        auto* l = new (std::nothrow) LibCtx;
        if (!l)
            return;
        l->ctx = OSSL_LIB_CTX_new();
        if (l->ctx) {
            l->def = OSSL_PROVIDER_load(l->ctx, "default");
            l->legacy = OSSL_PROVIDER_load(l->ctx, "legacy");
        }
        g_lib = l;
        std::atexit(free_lib_ctx);
    });
}

OSSL_LIB_CTX* KMX_Lib_Ctx(void)
{
    LibCtx* l = lib();
    return l ? l->ctx : nullptr;
}

EC_GROUP* KMX_Get_ecgroup(const ASN1_OBJECT* ecOid)
{
    if (!ecOid)
        return ecurve_new_group(0, KMX_Lib_Ctx());
    ecurve_secp64r1_nid();   // the scheme's own curve must be registered first
    return ecurve_new_group_by_nid(OBJ_obj2nid(ecOid), KMX_Lib_Ctx());
}

int KMX_Get_ecSn(const ASN1_OBJECT* ecOid)
{
    if (!ecOid)
        return 0;
    ecurve_secp64r1_nid();
    const ecurve_info* c = ecurve_by_nid(OBJ_obj2nid(ecOid));
    return c ? c->serial : 0;
}

int EC_GROUP_Get_paramLen(const EC_GROUP* group)
{
    if (!group)
        return 0;
    ossl::BnCtxPtr ctx(BN_CTX_new_ex(KMX_Lib_Ctx()));
    ossl::BnPtr p(BN_new());
    if (ctx && p && EC_GROUP_get_curve(group, p.get(), nullptr, nullptr, ctx.get()) == 1)
        return (BN_num_bits(p.get()) + 7) / 8;
    return 0;
}

int KMX_Get_paramLen(const ASN1_OBJECT* ecOid)
{
    ossl::GroupPtr g(KMX_Get_ecgroup(ecOid));
    return EC_GROUP_Get_paramLen(g.get());
}

const EVP_MD* KMX_Get_md(int nid)
{
    if (nid == NID_undef)
        nid = NID_sha1;
    LibCtx* l = lib();
    if (!l || !l->ctx)
        return nullptr;
    std::lock_guard<std::mutex> g(l->lock);
    auto it = l->mds.find(nid);
    if (it != l->mds.end())
        return it->second;
    // Only names the library lists as digests, and only when a provider of
    // the layer can run them.
    const char* sn = OBJ_nid2sn(nid);
    if (!sn || !EVP_get_digestbyname(sn))
        return nullptr;
    EVP_MD* md = EVP_MD_fetch(l->ctx, sn, nullptr);
    if (md)
        l->mds.emplace(nid, md);
    return md;
}

const EVP_CIPHER* KMX_Get_cipher(const ASN1_OBJECT* encOid)
{
    int nid = encOid ? OBJ_obj2nid(encOid) : NID_aes_256_cbc;
    if (nid == NID_undef)
        return nullptr;
    LibCtx* l = lib();
    if (!l || !l->ctx)
        return nullptr;
    std::lock_guard<std::mutex> g(l->lock);
    auto it = l->ciphers.find(nid);
    if (it != l->ciphers.end())
        return it->second;
    const char* sn = OBJ_nid2sn(nid);
    if (!sn || !EVP_get_cipherbyname(sn))
        return nullptr;
    EVP_CIPHER* c = EVP_CIPHER_fetch(l->ctx, sn, nullptr);
    if (c)
        l->ciphers.emplace(nid, c);
    return c;
}

const EVP_MD* KMX_Own_md(const EVP_MD* md)
{
    if (!md || EVP_MD_get0_provider(md))
        return md;
    return KMX_Get_md(EVP_MD_get_type(md));
}

const EVP_CIPHER* KMX_Own_cipher(const EVP_CIPHER* cipher)
{
    if (!cipher || EVP_CIPHER_get0_provider(cipher))
        return cipher;
    ASN1_OBJECT* obj = OBJ_nid2obj(EVP_CIPHER_get_nid(cipher));
    return obj ? KMX_Get_cipher(obj) : nullptr;
}

namespace {

// RFC 2104 HMAC with md, from the layer's own HMAC.
bool hmac(const EVP_MD* md, const unsigned char* key, int keyLen, const unsigned char* data,
          size_t dataLen, unsigned char* out, unsigned int* outLen)
{
    LibCtx* l = lib();
    if (!l || !l->ctx)
        return false;
    EVP_MAC* mac;
    {
        std::lock_guard<std::mutex> g(l->lock);
        if (!l->hmac)
            l->hmac = EVP_MAC_fetch(l->ctx, "HMAC", nullptr);
        mac = l->hmac;
    }
    const char* name = EVP_MD_get0_name(md);
    if (!mac || !name)
        return false;
    ossl::MacCtxPtr c(EVP_MAC_CTX_new(mac));
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(name), 0),
        OSSL_PARAM_construct_end(),
    };
    size_t n = 0;
    if (!c || EVP_MAC_init(c.get(), key, static_cast<size_t>(keyLen), params) != 1 ||
        EVP_MAC_update(c.get(), data, dataLen) != 1 ||
        EVP_MAC_final(c.get(), out, &n, EVP_MAX_MD_SIZE) != 1)
        return false;
    *outLen = static_cast<unsigned int>(n);
    return true;
}

} // namespace

int KMX_Hash(const EVP_MD* md, const unsigned char* key, int keyLen, const unsigned char* data,
             int dataLen, unsigned char* out, int* outLen)
{
    if (!md || !data || !out || !outLen || dataLen < 1)
        return ST_BAD_ARGUMENT;
    md = KMX_Own_md(md);
    if (!md)
        return ST_DIGEST_FAILED;
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (key && keyLen != 0) {
        if (keyLen < 0)
            return ST_BAD_ARGUMENT;
        if (!hmac(md, key, keyLen, data, static_cast<size_t>(dataLen), buf, &n))
            return ST_DIGEST_FAILED;
    } else if (EVP_Digest(data, static_cast<size_t>(dataLen), buf, &n, md, nullptr) != 1) {
        return ST_DIGEST_FAILED;
    }
    if (*outLen < static_cast<int>(n)) {
        *outLen = static_cast<int>(n);
        return ST_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, buf, n);
    *outLen = static_cast<int>(n);
    return ST_OK;
}

int KMX_HMAC(const char* mdName, const unsigned char* key, int keyLen, const unsigned char* data,
             int dataLen, unsigned char* out, int* outLen)
{
    if (!mdName || !data || !out || !outLen || dataLen < 1)
        return ST_BAD_ARGUMENT;
    bool keyed = key && keyLen != 0;
    if (keyed && keyLen < 0)
        return ST_BAD_ARGUMENT;
    if (std::strcmp(mdName, "SM3") != 0) {
        const EVP_MD* md = KMX_Get_md(OBJ_txt2nid(mdName));
        if (!md)
            return ST_NO_DIGEST;
        return KMX_Hash(md, key, keyLen, data, dataLen, out, outLen);
    }
    if (*outLen < 32) {
        *outLen = 32;
        return ST_BUFFER_TOO_SMALL;
    }
    if (!keyed) {
        SM3(data, dataLen, out);
        *outLen = 32;
        return ST_OK;
    }
    // The scheme's keyed SM3: the zero-padded key block enters the inner hash
    // as it is (no 0x36 mask); the outer hash is that of HMAC.
    secret_array<64> k0;
    if (keyLen > 64)
        SM3(key, keyLen, k0.data());
    else
        std::memcpy(k0.data(), key, keyLen);
    _sm3_ctx_ c;
    cleanse_on_exit wipeCtx(&c, sizeof c);
    secret_array<32> inner;
    SM3_Init(&c);
    SM3_Update(&c, k0.data(), 64);
    SM3_Update(&c, data, static_cast<uint32_t>(dataLen));
    SM3_Final(c, inner.data());
    for (size_t i = 0; i < k0.size(); ++i)
        k0[i] ^= 0x5C;
    SM3_Init(&c);
    SM3_Update(&c, k0.data(), 64);
    SM3_Update(&c, inner.data(), 32);
    SM3_Final(c, out);
    *outLen = 32;
    return ST_OK;
}

int KMX_KDF(const unsigned char* in, int inLen, unsigned char* out, int outLen)
{
    if (!in || inLen <= 0 || !out || outLen < 8 || outLen > 64)
        return ST_BAD_ARGUMENT;
    if (inLen == outLen) {
        std::memmove(out, in, inLen);
        return ST_OK;
    }
    const EVP_MD* md = KMX_Get_md(NID_sha256);
    if (!md)
        return ST_NO_DIGEST;
    unsigned char t[64];
    cleanse_on_exit wipeT(t, sizeof t);
    unsigned int n = 0;
    if (EVP_Digest(in, static_cast<size_t>(inLen), t, &n, md, nullptr) != 1 || n != 32)
        return ST_DIGEST_FAILED;
    if (outLen > 32 && (EVP_Digest(t, 32, t + 32, &n, md, nullptr) != 1 || n != 32))
        return ST_DIGEST_FAILED;
    std::memcpy(out, t, outLen);
    OPENSSL_cleanse(t, sizeof t);
    return ST_OK;
}

int Time2ASN1_Integer(long t, unsigned char* out, int* outLen)
{
    if (!out || !outLen)
        return ST_BAD_ARGUMENT;
    unsigned long m = t < 0 ? 0UL - static_cast<unsigned long>(t) : static_cast<unsigned long>(t);
    unsigned char be[sizeof m];
    int n = 0;
    for (; m; m >>= 8)
        be[n++] = static_cast<unsigned char>(m & 0xFF);
    for (int i = 0; i < n; ++i)
        out[i] = be[n - 1 - i];
    out[n] = 0;
    *outLen = n;
    return ST_OK;
}

int KMX_bn2bin(const BIGNUM* bn, unsigned char* out, int len)
{
    if (!bn || !out || len < 0)
        return ST_BAD_ARGUMENT;
    return BN_bn2binpad(bn, out, len) == len ? ST_OK : ST_BN_CONVERT;
}

int KMX_Scalar_Room(const BIGNUM* k, int L)
{
    const int n = k ? BN_num_bytes(k) : 0;
    return n > L ? n : L;
}

int GetRandom(unsigned char* buf, int len)
{
    if (!buf || len < 0)
        return ST_BAD_ARGUMENT;
    if (len == 0)
        return ST_OK;
    ossl::SecretBnPtr bn(BN_secure_new());
    ossl::BnCtxPtr ctx(BN_CTX_new_ex(KMX_Lib_Ctx()));
    if (!bn || !ctx)
        return ST_BN_ALLOC;
    if (BN_rand_ex(bn.get(), len * 8, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY, 0, ctx.get()) != 1 ||
        BN_bn2binpad(bn.get(), buf, len) != len)
        return ST_RANDOM_FAILED;
    return ST_OK;
}

int KMX_GetRandom(unsigned char* buf, int len) { return GetRandom(buf, len); }

int FormatTime(time_t t, char* out)
{
    if (!out)
        return -1;
    struct tm tmv;
    if (!localtime_r(&t, &tmv)) {
        out[0] = 0;
        return 0;
    }
    int n = std::snprintf(out, 32, "%d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900,
                          tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return n < 32 ? n : 31;
}

unsigned short CalCrc16(unsigned short crc, const unsigned char* data, int len)
{
    static const unsigned short table[16] = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5,
                                             0x60C6, 0x70E7, 0x8108, 0x9129, 0xA14A, 0xB16B,
                                             0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};
    if (!data || len <= 0)
        return crc;
    for (int i = 0; i < len; ++i) {
        unsigned t = crc >> 12;
        crc = static_cast<unsigned short>((crc << 4) ^ table[(data[i] >> 4) ^ t]);
        t = crc >> 12;
        crc = static_cast<unsigned short>((crc << 4) ^ table[(data[i] & 0x0F) ^ t]);
    }
    return crc;
}
