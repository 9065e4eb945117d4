// Signing with a key slot's private key: ECDSA over the SHA-1 of data or a
// file and the signing time, and SM2 over a digest the caller computed. The
// slot's public record names the signer and the matrix.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "cardapi/cos_status.h"
#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/file_io.h"
#include "kmx/kmx.h"
#include "kmx/kmxapp.h"
#include "kmx/kmx_ptr.h"
#include "smcrypto/status.h"

namespace {

constexpr uint8_t SLOT_MAX = 15;
constexpr uint16_t PUB_RECORD_CAP = 512;
constexpr uint8_t SM2_SIG_LEN = 64;
constexpr size_t FILE_CHUNK = 4096;
// Room for the time octets of a signing time (one limit for every signer).
constexpr int TIME_OCTETS_MAX = 32;

// A SHA-1 digest under way for an ECDSA signature.
struct Sha1 {
    int nid = NID_undef;
    ossl::MdCtxPtr ctx;

    // 13001 without SHA-1, 14001 when the digest cannot start.
    uint32_t start()
    {
        nid = OBJ_txt2nid("SHA1");
        const EVP_MD* md = nid == NID_undef ? nullptr : KMX_Get_md(nid);
        if (!md) return ST_NO_DIGEST;
        ctx.reset(EVP_MD_CTX_new());
        if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return ST_DIGEST_FAILED;
        return ST_OK;
    }
    uint32_t feed(const void* data, size_t len)
    {
        return EVP_DigestUpdate(ctx.get(), data, len) == 1 ? ST_OK : ST_DIGEST_FAILED;
    }
    // Feeds the time octets of the current time, finishes the digest and has
    // slot k sign it.
    uint32_t sign(uint8_t k, uint8_t* sig, int* sigLen)
    {
        const long t = static_cast<long>(time(nullptr));
        unsigned char octets[TIME_OCTETS_MAX];
        int n = TIME_OCTETS_MAX;
        if (Time2ASN1_Integer(t, octets, &n) != ST_OK || n < 0 || n > TIME_OCTETS_MAX)
            return ST_DIGEST_FAILED;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLen = 0;
        if (feed(octets, static_cast<size_t>(n)) != ST_OK ||
            EVP_DigestFinal_ex(ctx.get(), digest, &digestLen) != 1)
            return ST_DIGEST_FAILED;
        return static_cast<uint32_t>(
            ECDSA_Sign(k, nid, digest, static_cast<int>(digestLen), t, sig, sigLen));
    }
};

}  // namespace

extern "C" {

uint32_t DevSignData(uint8_t k, const uint8_t* data, uint32_t len, uint8_t* sig, int* sigLen)
{
    if (k > SLOT_MAX) return ST_KEY_SLOT;
    if (!data && len != 0) return ST_BAD_ARGUMENT;
    if (!sig || !sigLen) return ST_BAD_ARGUMENT;
    Sha1 h;
    uint32_t st = h.start();
    if (st == ST_OK && len != 0) st = h.feed(data, len);
    if (st != ST_OK) return st;
    return h.sign(k, sig, sigLen);
}

uint32_t DevSignFile(uint8_t k, const char* path, uint8_t* sig, int* sigLen)
{
    if (!path || !sig || !sigLen) return ST_BAD_ARGUMENT;
    Sha1 h;
    uint32_t st = h.start();
    if (st != ST_OK) return st;
    ossl::FilePtr f(open_input_file(path));
    if (!f) return ST_FILE_OPEN;
    uint8_t buf[FILE_CHUNK];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f.get())) > 0) {
        st = h.feed(buf, got);
        if (st != ST_OK) return st;
    }
    // A read error is not the end of the file: never sign a truncated file.
    if (ferror(f.get())) return ST_FILE_OPEN;
    f.reset();
    return h.sign(k, sig, sigLen);
}

uint32_t DevSM2Sign(uint8_t k, const uint8_t* e, uint32_t signTime, uint8_t* sig, int* sigLen)
{
    if (k > SLOT_MAX) return ST_KEY_SLOT;
    if (!e || !sig || !sigLen) return ST_BAD_ARGUMENT;

    uint8_t der[PUB_RECORD_CAP];
    uint16_t derLen = PUB_RECORD_CAP;
    uint32_t st = COS_ReadPubKey(k, der, &derLen);
    if (st != ST_OK) return st;
    KeyCard* kc = nullptr;
    int dst = string2KeyCard(der, derLen, &kc);
    kmx::KeyCardPtr card(kc);
    if (dst != ST_OK) return static_cast<uint32_t>(dst);

    uint8_t rs[SM2_SIG_LEN];
    uint8_t rsLen = SM2_SIG_LEN;
    st = COS_SM2Sign(k, e, rs, &rsLen);
    if (st != ST_OK) return st;
    if (rsLen != SM2_SIG_LEN) return ST_SIGNATURE_LENGTH;

    kmx::DataSigPtr ds(DataSig_new());
    if (!ds) return ST_NO_MEMORY;
    ASN1_OBJECT* md = OBJ_nid2obj(NID_sha256);
    if (!md || !ASN1_INTEGER_set(ds->version, 1) ||
        !ASN1_STRING_copy(ds->matrixId, card->matrixId) ||
        !ASN1_STRING_copy(ds->signerId, card->keyId) ||
        !ASN1_INTEGER_set_int64(ds->signTime, static_cast<int64_t>(signTime)) ||
        !ASN1_OCTET_STRING_set(ds->signVal, rs, SM2_SIG_LEN))
        return ST_NO_MEMORY;
    ASN1_OBJECT_free(ds->mdOid);
    ds->mdOid = md;
    return static_cast<uint32_t>(DataSig2string(ds.get(), sig, sigLen));
}

}  // extern "C"
