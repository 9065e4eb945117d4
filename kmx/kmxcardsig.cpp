// Signatures made by the key device.
#include "kmx/kmxapp.h"

#include <openssl/objects.h>
#include <cstdint>

#include "cardapi/cosapi.h"
#include "kmx/kmx_ptr.h"

namespace {

constexpr uint16_t kPublicRecordRoom = 512;
constexpr uint8_t kSignatureRoom = 64;

// Fills a DataSig from the signer's key card and the card's signature.
int fill_datasig(DataSig* s, const KeyCard* kc, int mdNid, int32_t signTime,
                 const unsigned char* sig, int sigLen)
{
    ASN1_OBJECT* md = OBJ_nid2obj(mdNid);
    if (!md)
        return ST_NO_DIGEST;
    ASN1_OBJECT_free(s->mdOid);
    s->mdOid = md;
    if (ASN1_INTEGER_set(s->version, 1) != 1 ||
        ASN1_STRING_copy(s->matrixId, kc->matrixId) != 1 ||
        ASN1_STRING_copy(s->signerId, kc->keyId) != 1 ||
        ASN1_INTEGER_set_int64(s->signTime, signTime) != 1 ||
        ASN1_STRING_set(s->signVal, sig, sigLen) != 1 ||
        ASN1_STRING_set(s->R, nullptr, 0) != 1)
        return ST_NO_MEMORY;
    return ST_OK;
}

} // namespace

int ECDSA_Sign(unsigned char keySlot, int mdNid, const unsigned char* digest, int digestLen,
               long signTime, unsigned char* out, int* outLen)
{
    if (!digest || !outLen || digestLen < 1 || digestLen > 255)
        return ST_BAD_ARGUMENT;
    // Only a digest that names a real object and that the library can run.
    if (mdNid == NID_undef || !KMX_Get_md(mdNid) || OBJ_nid2obj(mdNid) == nullptr ||
        OBJ_length(OBJ_nid2obj(mdNid)) == 0)
        return ST_NO_DIGEST;

    unsigned char record[kPublicRecordRoom];
    uint16_t recordLen = kPublicRecordRoom;
    int st = static_cast<int>(COS_ReadPubKey(keySlot, record, &recordLen));
    if (st)
        return st;
    KeyCard* decoded = nullptr;
    st = string2KeyCard(record, recordLen, &decoded);
    kmx::KeyCardPtr kc(decoded);   // handed out also when outside its validity window
    if (st)
        return st;

    unsigned char sig[kSignatureRoom];
    uint8_t sigLen = kSignatureRoom;
    st = static_cast<int>(
        COS_ECDSA(keySlot, digest, static_cast<uint8_t>(digestLen), sig, &sigLen));

    kmx::DataSigPtr s;
    if (!st && !(s = kmx::DataSigPtr(DataSig_new())))
        st = ST_NO_MEMORY;
    if (!st)
        st = fill_datasig(s.get(), kc.get(), mdNid, static_cast<int32_t>(signTime), sig, sigLen);
    if (!st)
        st = DataSig2string(s.get(), out, outLen);
    return st;
}
