// Curve, digest and cipher selection; keyed hashes, key derivation, time
// encodings, random bytes and CRC-16.
#include "kmx/kmx.h"

#include <openssl/evp.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "smcrypto/ecurve.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm3.h"

namespace {

OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;

void unload_providers()
{
    if (g_legacy)
        OSSL_PROVIDER_unload(g_legacy);
    if (g_default)
        OSSL_PROVIDER_unload(g_default);
    g_legacy = g_default = nullptr;
}

} // namespace

void KMX_Init_Providers(void)
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Loading one provider explicitly turns off the implicit default, so
        // both are loaded: default for the common algorithms, legacy for
        // DES, RC4 and the other old ciphers and digests. They are unloaded
        // at exit, before the library's own clean-up (registered earlier).
        OPENSSL_init_crypto(0, nullptr);
        g_default = OSSL_PROVIDER_load(nullptr, "default");
        g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        std::atexit(unload_providers);
    });
}

EC_GROUP* KMX_Get_ecgroup(const ASN1_OBJECT* ecOid)
{
    if (!ecOid)
        return ecurve_new_group(0);
    ecurve_secp64r1_nid();   // the scheme's own curve must be registered first
    return ecurve_new_group_by_nid(OBJ_obj2nid(ecOid));
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
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = BN_new();
    int L = 0;
    if (ctx && p && EC_GROUP_get_curve(group, p, nullptr, nullptr, ctx) == 1)
        L = (BN_num_bits(p) + 7) / 8;
    BN_free(p);
    BN_CTX_free(ctx);
    return L;
}

int KMX_Get_paramLen(const ASN1_OBJECT* ecOid)
{
    EC_GROUP* g = KMX_Get_ecgroup(ecOid);
    int L = EC_GROUP_Get_paramLen(g);
    EC_GROUP_free(g);
    return L;
}

const EVP_MD* KMX_Get_md(int nid)
{
    KMX_Init_Providers();
    if (nid == NID_undef)
        nid = NID_sha1;
    const char* sn = OBJ_nid2sn(nid);
    if (!sn)
        return nullptr;
    const EVP_MD* md = EVP_get_digestbyname(sn);
    if (!md)
        return nullptr;
    // Answer only digests that a provider can actually run.
    EVP_MD* f = EVP_MD_fetch(nullptr, sn, nullptr);
    if (!f)
        return nullptr;
    EVP_MD_free(f);
    return md;
}

const EVP_CIPHER* KMX_Get_cipher(const ASN1_OBJECT* encOid)
{
    KMX_Init_Providers();
    int nid = encOid ? OBJ_obj2nid(encOid) : NID_aes_256_cbc;
    if (nid == NID_undef)
        return nullptr;
    const char* sn = OBJ_nid2sn(nid);
    if (!sn)
        return nullptr;
    const EVP_CIPHER* c = EVP_get_cipherbyname(sn);
    if (!c)
        return nullptr;
    EVP_CIPHER* f = EVP_CIPHER_fetch(nullptr, sn, nullptr);
    if (!f)
        return nullptr;
    EVP_CIPHER_free(f);
    return c;
}

int KMX_Hash(const EVP_MD* md, const unsigned char* key, int keyLen, const unsigned char* data,
             int dataLen, unsigned char* out, int* outLen)
{
    if (!md || !data || !out || !outLen || dataLen < 1)
        return ST_BAD_ARGUMENT;
    KMX_Init_Providers();
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (key && keyLen != 0) {
        if (keyLen < 0)
            return ST_BAD_ARGUMENT;
        if (!HMAC(md, key, keyLen, data, static_cast<size_t>(dataLen), buf, &n))
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
    KMX_Init_Providers();
    const EVP_MD* md = EVP_get_digestbyname("SHA256");
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

int GetRandom(unsigned char* buf, int len)
{
    if (!buf || len < 0)
        return ST_BAD_ARGUMENT;
    if (len == 0)
        return ST_OK;
    BIGNUM* bn = BN_secure_new();
    if (!bn)
        return ST_BN_ALLOC;
    int st = ST_OK;
    if (BN_rand(bn, len * 8, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1)
        st = ST_RANDOM_FAILED;
    else if (BN_bn2binpad(bn, buf, len) != len)
        st = ST_RANDOM_FAILED;
    BN_clear_free(bn);
    return st;
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
