// Symmetric encryption by cipher name, digests, HMAC and Base64.
#include "kmx/kmxsoft.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm3.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/sm3.h"
#include "smcrypto/sm4.h"

namespace {

enum class Sm4Mode { None, Ecb, Cbc };

Sm4Mode sm4_mode(const char* name)
{
    if (std::strcmp(name, "SM4-ECB") == 0)
        return Sm4Mode::Ecb;
    if (std::strcmp(name, "SM4-CBC") == 0)
        return Sm4Mode::Cbc;
    return Sm4Mode::None;
}

// Library cipher named by text, through its object (name -> NID -> object).
const EVP_CIPHER* cipher_by_name(const char* name)
{
    int nid = OBJ_txt2nid(name);
    if (nid == NID_undef)
        return nullptr;
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    return obj ? KMX_Get_cipher(obj) : nullptr;
}

struct Material {
    unsigned char b[64];
    ~Material() { OPENSSL_cleanse(b, sizeof b); }
};

// Key material for a cipher: key first, IV after it.
int derive(const unsigned char* keyData, int keyDataLen, int n, Material* m)
{
    return KMX_KDF(keyData, keyDataLen, m->b, n);
}

int evp_crypt(bool enc, const EVP_CIPHER* cipher, const unsigned char* in, int inLen,
              const unsigned char* key, const unsigned char* iv, unsigned char* out, int* outLen)
{
    const int fail = enc ? ST_ENCRYPT_FAILED : ST_DECRYPT_FAILED;
    if (!(cipher = KMX_Own_cipher(cipher)))
        return fail;
    // Room for what the cipher writes: the input, a block held back by the
    // update and the final block or padding. Key-wrap modes add up to 15
    // bytes with a block size of 8, more than a whole number of blocks, so
    // the room does not rest on the block size the cipher reports.
    size_t cap = static_cast<size_t>(inLen) + 2 * EVP_MAX_BLOCK_LENGTH;
    std::unique_ptr<unsigned char[]> work(new (std::nothrow) unsigned char[cap]);
    if (!work)
        return ST_NO_MEMORY;
    ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n1 = 0, n2 = 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, enc ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), work.get(), &n1, in, inLen) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), work.get() + n1, &n2) != 1) {
        OPENSSL_cleanse(work.get(), cap);
        return fail;
    }
    int total = n1 + n2;
    int st = ST_OK;
    if (*outLen < total)
        st = ST_BUFFER_TOO_SMALL;
    else
        std::memcpy(out, work.get(), total);
    *outLen = total;
    OPENSSL_cleanse(work.get(), cap);
    return st;
}

} // namespace

namespace {

// A cipher of the library by name, its key and IV derived from the key data.
int library_crypt(bool enc, const char* cipherName, const unsigned char* in, int inLen,
                  const unsigned char* keyData, int keyDataLen, unsigned char* out, int* outLen)
{
    const EVP_CIPHER* c = cipher_by_name(cipherName);
    if (!c)
        return ST_UNKNOWN_CIPHER;
    Material m;
    int kl = EVP_CIPHER_get_key_length(c), il = EVP_CIPHER_get_iv_length(c);
    int st = derive(keyData, keyDataLen, kl + il, &m);
    if (st)
        return st;
    const unsigned char* iv = il ? m.b + kl : nullptr;
    return enc ? Openssl_Encrypt(c, in, inLen, m.b, iv, out, outLen)
               : Openssl_Decrypt(c, in, inLen, m.b, iv, out, outLen);
}

} // namespace

int Openssl_Encrypt(const EVP_CIPHER* cipher, const unsigned char* in, int inLen,
                    const unsigned char* key, const unsigned char* iv, unsigned char* out,
                    int* outLen)
{
    if (!cipher || !in || inLen < 1 || !key || !out || !outLen)
        return ST_BAD_ARGUMENT;
    return evp_crypt(true, cipher, in, inLen, key, iv, out, outLen);
}

int Openssl_Decrypt(const EVP_CIPHER* cipher, const unsigned char* in, int inLen,
                    const unsigned char* key, const unsigned char* iv, unsigned char* out,
                    int* outLen)
{
    // No content is not an argument error: the cipher decides (a padded
    // block cipher fails with 14003, a stream cipher gives 0 bytes). The
    // envelopes a key device makes carry empty content.
    if (!cipher || !in || inLen < 0 || !key || !out || !outLen)
        return ST_BAD_ARGUMENT;
    return evp_crypt(false, cipher, in, inLen, key, iv, out, outLen);
}

int Sym_Encrypt(const char* cipherName, const unsigned char* in, int inLen,
                const unsigned char* keyData, int keyDataLen, unsigned char* out, int* outLen)
{
    if (!cipherName || !in || inLen < 1 || !keyData || keyDataLen < 8 || keyDataLen > 64 || !out ||
        !outLen)
        return ST_BAD_ARGUMENT;
    Material m;
    Sm4Mode mode = sm4_mode(cipherName);
    if (mode == Sm4Mode::None)
        return library_crypt(true, cipherName, in, inLen, keyData, keyDataLen, out, outLen);
    const int P = (inLen / 16 + 1) * 16;
    if (*outLen < P) {
        *outLen = P;
        return ST_BUFFER_TOO_SMALL;
    }
    int st = derive(keyData, keyDataLen, mode == Sm4Mode::Cbc ? 32 : 16, &m);
    if (st)
        return st;
    // The streaming cipher pads (PKCS#7, a whole block when inLen is a
    // multiple of 16): the update writes every whole block, the final the last.
    _sm4_ctx_ ctx;
    st = SM4_Init(&ctx, m.b, mode == Sm4Mode::Cbc ? m.b + 16 : nullptr,
                  mode == Sm4Mode::Cbc ? SM4_CBC_ENCRYPT : SM4_ECB_ENCRYPT);
    uint32_t done = 0;
    if (st == ST_OK)
        st = SM4_Update(&ctx, in, static_cast<uint32_t>(inLen), out, &done);
    int last = P - static_cast<int>(done);
    if (st == ST_OK)
        st = SM4_Final(ctx, out + done, &last);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    if (st)
        return st;
    *outLen = P;
    return ST_OK;
}

int Sym_Decrypt(const char* cipherName, const unsigned char* in, int inLen,
                const unsigned char* keyData, int keyDataLen, unsigned char* out, int* outLen)
{
    if (!cipherName || !in || !keyData || keyDataLen < 8 || keyDataLen > 64 || !out || !outLen)
        return ST_BAD_ARGUMENT;
    Material m;
    Sm4Mode mode = sm4_mode(cipherName);
    if (mode == Sm4Mode::None)
        return library_crypt(false, cipherName, in, inLen, keyData, keyDataLen, out, outLen);
    if (inLen < 16 || inLen % 16 != 0)
        return ST_BAD_ARGUMENT;
    int st = derive(keyData, keyDataLen, mode == Sm4Mode::Cbc ? 32 : 16, &m);
    if (st)
        return st;
    // Decrypt into a work buffer through the streaming cipher, whose final
    // step checks the padding: only a plaintext with sound padding reaches
    // the caller, so a wrong key is a failure, not a short garbage result,
    // and nothing is written past the caller's stated room.
    secret_buffer work(static_cast<size_t>(inLen));
    if (!work.ok())
        return ST_NO_MEMORY;
    _sm4_ctx_ ctx;
    st = SM4_Init(&ctx, m.b, mode == Sm4Mode::Cbc ? m.b + 16 : nullptr,
                  mode == Sm4Mode::Cbc ? SM4_CBC_DECRYPT : SM4_ECB_DECRYPT);
    uint32_t done = 0;
    if (st == ST_OK)
        st = SM4_Update(&ctx, in, static_cast<uint32_t>(inLen), work.data(), &done);
    int last = 16;
    if (st == ST_OK)
        st = SM4_Final(ctx, work.data() + done, &last);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    if (st) {
        OPENSSL_cleanse(work.data(), work.size());
        return st;
    }
    const int plain = static_cast<int>(done) + last;
    if (*outLen < plain)
        st = ST_BUFFER_TOO_SMALL;
    else
        std::memcpy(out, work.data(), plain);
    *outLen = plain;
    OPENSSL_cleanse(work.data(), work.size());
    return st;
}

int Openssl_Hash(const EVP_MD* md, const unsigned char* data, int dataLen, unsigned char* out,
                 int* outLen)
{
    if (!md || !data || dataLen < 1 || !out || !outLen)
        return ST_BAD_ARGUMENT;
    if (!(md = KMX_Own_md(md)))
        return ST_DIGEST_FAILED;
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, static_cast<size_t>(dataLen), buf, &n, md, nullptr) != 1)
        return ST_DIGEST_FAILED;
    if (*outLen < static_cast<int>(n)) {
        *outLen = static_cast<int>(n);
        return ST_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, buf, n);
    *outLen = static_cast<int>(n);
    return ST_OK;
}

int Hash(const char* mdName, const unsigned char* data, int dataLen, unsigned char* out,
         int* outLen)
{
    if (!mdName || !data || dataLen < 1 || !out || !outLen)
        return ST_BAD_ARGUMENT;
    if (std::strcmp(mdName, "SM3") == 0) {
        if (*outLen < 32) {
            *outLen = 32;
            return ST_BUFFER_TOO_SMALL;
        }
        SM3(data, dataLen, out);
        *outLen = 32;
        return ST_OK;
    }
    const EVP_MD* md = KMX_Get_md(OBJ_txt2nid(mdName));
    if (!md)
        return ST_NO_DIGEST;
    return Openssl_Hash(md, data, dataLen, out, outLen);
}

int HMac(const char* mdName, const unsigned char* key, int keyLen, const unsigned char* data,
         int dataLen, unsigned char* out, int* outLen)
{
    return KMX_HMAC(mdName, key, keyLen, data, dataLen, out, outLen);
}

// ------------------------------------------------------------------ Base64

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool is_break(char c) { return c == '\r' || c == '\n'; }

// Whole 3-byte groups per line: the counter grows by 4 per group and breaks
// once it exceeds lineLen - 4.
long groups_per_line(int lineLen)
{
    long g = 1;
    while (4 * g <= lineLen - 4)
        ++g;
    return g;
}

} // namespace

int Base64Encode(const unsigned char* in, int inLen, char* out, int* outLen, int lineLen)
{
    if (!in || inLen < 1 || !out || !outLen || lineLen < 0 || lineLen == 1 || lineLen == 2)
        return ST_BAD_ARGUMENT;
    const long groups = inLen / 3, rem = inLen % 3;
    const long perLine = lineLen ? groups_per_line(lineLen) : 0;
    const long breaks = lineLen ? groups / perLine : 0;
    const long exact = groups * 4 + (rem ? 4 : 0) + 2 * breaks;
    long B = (static_cast<long>(inLen) / 3 + 1) * 4;
    if (lineLen)
        B += 2 * (B / (lineLen - 2));
    // The historic formula undercounts breaks for some line lengths; the room
    // asked is never below the exact text length plus its zero byte.
    const long need = B + 1 > exact + 1 ? B + 1 : exact + 1;
    if (need > 0x7FFFFFFF)
        return ST_BAD_ARGUMENT;
    if (*outLen < need) {
        *outLen = static_cast<int>(need);
        return ST_BUFFER_TOO_SMALL;
    }
    long o = 0, onLine = 0;
    for (long g = 0; g < groups; ++g) {
        unsigned v = (in[3 * g] << 16) | (in[3 * g + 1] << 8) | in[3 * g + 2];
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = kAlphabet[(v >> 6) & 63];
        out[o++] = kAlphabet[v & 63];
        if (lineLen && ++onLine == perLine) {
            out[o++] = '\r';
            out[o++] = '\n';
            onLine = 0;
        }
    }
    if (rem) {
        unsigned v = in[3 * groups] << 16;
        if (rem == 2)
            v |= in[3 * groups + 1] << 8;
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = rem == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    out[o] = 0;
    *outLen = static_cast<int>(o);
    return ST_OK;
}

int Base64Decode(const char* in, int inLen, unsigned char* out, int* outLen)
{
    if (!in || inLen < 4 || !out || !outLen)
        return ST_BAD_ARGUMENT;
    int breaks = 0;
    for (int i = 0; i < inLen; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (is_break(in[i]))
            ++breaks;
        else if (c != '=' && b64_value(c) < 0)
            return ST_BAD_ARGUMENT;
    }
    // A text of line breaks only holds no group and decodes to no bytes.
    if ((inLen - breaks) % 4 != 0)
        return ST_BAD_ARGUMENT;
    const long D = 3L * ((inLen - breaks) / 4);
    if (*outLen < D + 1) {
        *outLen = static_cast<int>(D + 1);
        return ST_BUFFER_TOO_SMALL;
    }
    // First pass checks the group structure, second writes: nothing reaches
    // the caller's buffer from a malformed text.
    for (int pass = 0; pass < 2; ++pass) {
        long o = 0;
        bool ended = false;   // a group with "=" was the last
        for (int i = 0; i < inLen;) {
            if (is_break(in[i])) {
                ++i;
                continue;
            }
            if (ended || i + 4 > inLen)
                return ST_BAD_ARGUMENT;
            const char* g = in + i;
            for (int j = 0; j < 4; ++j)
                if (is_break(g[j]))
                    return ST_BAD_ARGUMENT;
            if (g[0] == '=' || g[1] == '=' || (g[2] == '=' && g[3] != '='))
                return ST_BAD_ARGUMENT;
            unsigned v = 0;
            for (int j = 0; j < 4; ++j)
                v = (v << 6) | (g[j] == '=' ? 0 : b64_value(static_cast<unsigned char>(g[j])));
            if (pass) {
                out[o] = static_cast<unsigned char>(v >> 16);
                if (g[2] != '=')
                    out[o + 1] = static_cast<unsigned char>(v >> 8);
                if (g[3] != '=')
                    out[o + 2] = static_cast<unsigned char>(v);
            }
            o += 1 + (g[2] != '=') + (g[3] != '=');
            ended = g[3] == '=';
            i += 4;
        }
        if (pass) {
            out[o] = 0;
            *outLen = static_cast<int>(o);
        }
    }
    return ST_OK;
}
