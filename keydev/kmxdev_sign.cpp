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
#include "kmx/kmx.h"
#include "smcrypto/status.h"

namespace {

constexpr uint8_t SLOT_MAX = 15;
constexpr uint16_t PUB_RECORD_CAP = 512;
constexpr uint8_t SM2_SIG_LEN = 64;

struct CardFree {
    void operator()(KeyCard* k) const { KeyCard_free(k); }
};
struct SigFree {
    void operator()(DataSig* s) const { DataSig_free(s); }
};
using CardPtr = std::unique_ptr<KeyCard, CardFree>;
using SigPtr = std::unique_ptr<DataSig, SigFree>;

}  // namespace

extern "C" {

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
    CardPtr card(kc);
    if (dst != ST_OK) return static_cast<uint32_t>(dst);

    uint8_t rs[SM2_SIG_LEN];
    uint8_t rsLen = SM2_SIG_LEN;
    st = COS_SM2Sign(k, e, rs, &rsLen);
    if (st != ST_OK) return st;
    if (rsLen != SM2_SIG_LEN) return ST_SIGNATURE_LENGTH;

    SigPtr ds(DataSig_new());
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
