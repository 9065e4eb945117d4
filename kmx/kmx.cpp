// Records of the identity-key scheme and their field accessors.
#include "kmx/kmx.h"

#include <openssl/asn1t.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <cstring>

#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bn.h"

ASN1_SEQUENCE(MATRIX) = {
    ASN1_SIMPLE(MATRIX, version, ASN1_INTEGER),
    ASN1_SIMPLE(MATRIX, matrixId, ASN1_UTF8STRING),
    ASN1_SIMPLE(MATRIX, name, ASN1_UTF8STRING),
    ASN1_SIMPLE(MATRIX, row, ASN1_INTEGER),
    ASN1_SIMPLE(MATRIX, col, ASN1_INTEGER),
    ASN1_SIMPLE(MATRIX, ecOid, ASN1_OBJECT),
    ASN1_SIMPLE(MATRIX, genTime, ASN1_UTCTIME),
} ASN1_SEQUENCE_END(MATRIX)

ASN1_SEQUENCE(KeyCard) = {
    ASN1_SIMPLE(KeyCard, version, ASN1_INTEGER),
    ASN1_SIMPLE(KeyCard, ecOid, ASN1_OBJECT),
    ASN1_SIMPLE(KeyCard, matrixId, ASN1_UTF8STRING),
    ASN1_SIMPLE(KeyCard, keyId, ASN1_UTF8STRING),
    ASN1_SIMPLE(KeyCard, notBefore, ASN1_INTEGER),
    ASN1_SIMPLE(KeyCard, notAfter, ASN1_INTEGER),
    ASN1_SIMPLE(KeyCard, isk, ASN1_OCTET_STRING),
    ASN1_SIMPLE(KeyCard, R, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(KeyCard)

ASN1_SEQUENCE(DataSig) = {
    ASN1_SIMPLE(DataSig, version, ASN1_INTEGER),
    ASN1_SIMPLE(DataSig, matrixId, ASN1_UTF8STRING),
    ASN1_SIMPLE(DataSig, signerId, ASN1_UTF8STRING),
    ASN1_SIMPLE(DataSig, signTime, ASN1_INTEGER),
    ASN1_SIMPLE(DataSig, mdOid, ASN1_OBJECT),
    ASN1_SIMPLE(DataSig, signVal, ASN1_OCTET_STRING),
    ASN1_SIMPLE(DataSig, R, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(DataSig)

ASN1_SEQUENCE(DEnvelope) = {
    ASN1_SIMPLE(DEnvelope, version, ASN1_INTEGER),
    ASN1_SIMPLE(DEnvelope, matrixId, ASN1_UTF8STRING),
    ASN1_SIMPLE(DEnvelope, addresseeId, ASN1_UTF8STRING),
    ASN1_SIMPLE(DEnvelope, encOid, ASN1_OBJECT),
    ASN1_SIMPLE(DEnvelope, env, ASN1_OCTET_STRING),
    ASN1_SIMPLE(DEnvelope, cdata, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(DEnvelope)

IMPLEMENT_ASN1_FUNCTIONS(MATRIX)
IMPLEMENT_ASN1_FUNCTIONS(KeyCard)
IMPLEMENT_ASN1_FUNCTIONS(DataSig)
IMPLEMENT_ASN1_FUNCTIONS(DEnvelope)

namespace {

// Decodes one record of an item from the front of der into a fresh record.
template <typename T>
int decode_record(const unsigned char* der, int len, T** out, const ASN1_ITEM* item)
{
    if (!out)
        return ST_BAD_ARGUMENT;
    if (!der || len <= 0)
        return ST_BAD_DER;
    ASN1_VALUE* rec = ASN1_item_new(item);
    if (!rec)
        return ST_BAD_DER;
    const unsigned char* p = der;
    if (!ASN1_item_d2i(&rec, &p, len, item))
        return ST_BAD_DER;   // d2i has freed the record
    *out = reinterpret_cast<T*>(rec);
    return ST_OK;
}

int encode_record(const void* rec, const ASN1_ITEM* item, unsigned char* out, int* outLen)
{
    if (!rec || !outLen)
        return ST_BAD_ARGUMENT;
    int n = ASN1_item_i2d(static_cast<const ASN1_VALUE*>(rec), nullptr, item);
    if (n <= 0)
        return ST_BAD_DER;
    if (!out || *outLen < n) {
        *outLen = n;
        return ST_BUFFER_TOO_SMALL;
    }
    unsigned char* p = out;
    if (ASN1_item_i2d(static_cast<const ASN1_VALUE*>(rec), &p, item) != n)
        return ST_BAD_DER;
    *outLen = n;
    return ST_OK;
}

// Copy rule of the text accessors.
int copy_text(const ASN1_STRING* s, char* out, int* outLen)
{
    int n = s ? ASN1_STRING_length(s) : 0;
    const unsigned char* d = s ? ASN1_STRING_get0_data(s) : nullptr;
    if (*outLen < n) {
        *outLen = n;
        return ST_BUFFER_TOO_SMALL;
    }
    if (n > 0)
        std::memcpy(out, d, n);
    if (*outLen > n)
        out[n] = 0;
    *outLen = n;
    return ST_OK;
}

int sig_text(const unsigned char* der, int derLen, char* out, int* outLen, bool signer)
{
    if (!der || !out || !outLen)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(der, derLen, &s);
    if (st)
        return st;
    st = copy_text(signer ? s->signerId : s->matrixId, out, outLen);
    DataSig_free(s);
    return st;
}

int env_text(const unsigned char* der, int derLen, char* out, int* outLen, bool addressee)
{
    if (!der || !out || !outLen)
        return ST_BAD_ARGUMENT;
    DEnvelope* e = nullptr;
    int st = string2DEnvelope(der, derLen, &e);
    if (st)
        return st;
    st = copy_text(addressee ? e->addresseeId : e->matrixId, out, outLen);
    DEnvelope_free(e);
    return st;
}

// signTime as a signed 32-bit value; false when it does not read.
bool sig_time(const DataSig* s, int32_t* t)
{
    int64_t v = 0;
    if (!s->signTime || ASN1_INTEGER_get_int64(&v, s->signTime) != 1)
        return false;
    *t = static_cast<int32_t>(v);
    return true;
}

} // namespace

int string2Matrix(const unsigned char* der, int len, MATRIX** out)
{
    return decode_record(der, len, out, ASN1_ITEM_rptr(MATRIX));
}

int string2KeyCard(const unsigned char* der, int len, KeyCard** out)
{
    int st = decode_record(der, len, out, ASN1_ITEM_rptr(KeyCard));
    if (st)
        return st;
    return KeyCard_is_valid(*out) ? ST_OK : ST_KEYCARD_EXPIRED;
}

int string2DataSig(const unsigned char* der, int len, DataSig** out)
{
    return decode_record(der, len, out, ASN1_ITEM_rptr(DataSig));
}

int string2DEnvelope(const unsigned char* der, int len, DEnvelope** out)
{
    return decode_record(der, len, out, ASN1_ITEM_rptr(DEnvelope));
}

int Matrix2string(const MATRIX* m, unsigned char* out, int* outLen)
{
    return encode_record(m, ASN1_ITEM_rptr(MATRIX), out, outLen);
}

int KeyCard2string(const KeyCard* k, unsigned char* out, int* outLen)
{
    return encode_record(k, ASN1_ITEM_rptr(KeyCard), out, outLen);
}

int DataSig2string(const DataSig* s, unsigned char* out, int* outLen)
{
    return encode_record(s, ASN1_ITEM_rptr(DataSig), out, outLen);
}

int DEnvelope2string(const DEnvelope* e, unsigned char* out, int* outLen)
{
    return encode_record(e, ASN1_ITEM_rptr(DEnvelope), out, outLen);
}

int KeyCard_is_valid(const KeyCard* keyCard)
{
    if (!keyCard || !keyCard->notBefore || !keyCard->notAfter)
        return 0;
    int64_t nb = 0, na = 0;
    if (ASN1_INTEGER_get_int64(&nb, keyCard->notBefore) != 1 ||
        ASN1_INTEGER_get_int64(&na, keyCard->notAfter) != 1)
        return 0;
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (now + 300 < nb)
        return 0;
    if (na < now)
        return 0;
    return 1;
}

int KeyCard_Get_isk(const KeyCard* keyCard, BIGNUM* bn)
{
    if (!keyCard || !keyCard->isk || !bn)
        return ST_BAD_ARGUMENT;
    int n = ASN1_STRING_length(keyCard->isk);
    if (n >= 3)
        n -= 2;
    if (!secret_bn(BN_bin2bn(ASN1_STRING_get0_data(keyCard->isk), n, bn)))
        return ST_BN_CONVERT;
    return ST_OK;
}

int DEnvelope_Get_dhkey(const DEnvelope* envelope, const EC_GROUP* group, EC_POINT* point)
{
    if (!envelope || !envelope->env || !group || !point)
        return ST_BAD_ARGUMENT;
    ossl::BnCtxPtr ctx(BN_CTX_new_ex(KMX_Lib_Ctx()));
    if (!ctx)
        return ST_BAD_ARGUMENT;
    const unsigned char* d = ASN1_STRING_get0_data(envelope->env);
    int n = ASN1_STRING_length(envelope->env);
    // An envelope value carries the CRC-16 of the key point after the point.
    int L = EC_GROUP_Get_paramLen(group);
    if (L > 0 && n == 2 * L + 3 && d[0] == 0x04)
        n = 2 * L + 1;
    return (n > 0 && EC_POINT_oct2point(group, point, d, n, ctx.get()) == 1) ? ST_OK
                                                                              : ST_BAD_ENV_POINT;
}

int DEnvelope_is_valid(const DEnvelope* envelope, const EC_GROUP* group)
{
    if (!envelope || !envelope->version || !envelope->matrixId || !envelope->addresseeId)
        return 0;
    int64_t v = 0;
    if (ASN1_INTEGER_get_int64(&v, envelope->version) != 1 || v != 1)
        return 0;
    if (ASN1_STRING_length(envelope->matrixId) < 1 || ASN1_STRING_length(envelope->addresseeId) < 1)
        return 0;
    if (!envelope->encOid || OBJ_obj2nid(envelope->encOid) == NID_undef ||
        !KMX_Get_cipher(envelope->encOid))
        return 0;
    if (group) {
        ossl::PointPtr p(EC_POINT_new(group));
        if (!p || DEnvelope_Get_dhkey(envelope, group, p.get()) != ST_OK)
            return 0;
    }
    return 1;
}

int KMX_GetSignerId(const unsigned char* der, int derLen, char* out, int* outLen)
{
    return sig_text(der, derLen, out, outLen, true);
}

int KMX_GetSignMatrixId(const unsigned char* der, int derLen, char* out, int* outLen)
{
    return sig_text(der, derLen, out, outLen, false);
}

int KMX_GetSignTime(const unsigned char* der, int derLen, char* out, int* outLen)
{
    if (!der || !out || !outLen)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(der, derLen, &s);
    if (st)
        return st;
    int32_t t = 0;
    bool ok = sig_time(s, &t);
    DataSig_free(s);
    if (!ok)
        return ST_BAD_DER;
    char buf[32];
    int n = FormatTime(static_cast<time_t>(t), buf);
    if (n < 0)
        return ST_BAD_DER;
    if (*outLen < n) {
        *outLen = n;
        return ST_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, buf, n);
    if (*outLen > n)
        out[n] = 0;
    *outLen = n;
    return ST_OK;
}

int KMX_GetSignTimestamp(const unsigned char* der, int derLen, int* out)
{
    if (!der || !out)
        return ST_BAD_ARGUMENT;
    DataSig* s = nullptr;
    int st = string2DataSig(der, derLen, &s);
    if (st)
        return st;
    int32_t t = 0;
    bool ok = sig_time(s, &t);
    DataSig_free(s);
    if (!ok)
        return ST_BAD_DER;
    *out = t;
    return ST_OK;
}

int KMX_GetEncMatrixId(const unsigned char* der, int derLen, char* out, int* outLen)
{
    return env_text(der, derLen, out, outLen, false);
}

int KMX_GetAddresseeId(const unsigned char* der, int derLen, char* out, int* outLen)
{
    return env_text(der, derLen, out, outLen, true);
}
