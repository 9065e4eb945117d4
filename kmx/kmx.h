// Identity-key layer, base part: the DER records of the scheme (MATRIX,
// KeyCard, DataSig, DEnvelope), curve / digest / cipher selection, the keyed
// hashes, the key derivation, time encodings, random bytes and CRC-16.
//
// Status codes are those of smcrypto/status.h; 0 is success.
#pragma once

#include <openssl/asn1.h>
#include <openssl/types.h>  // BIGNUM, EVP_MD, EVP_CIPHER
#include <ctime>

#include "smcrypto/status.h"

// The curve types are only named here; users that work on them include <openssl/ec.h>.
typedef struct ec_group_st EC_GROUP;
typedef struct ec_point_st EC_POINT;

extern "C" {

// ---------------------------------------------------------------- records

// Head of a key matrix.
typedef struct matrix_st {
    ASN1_INTEGER* version;
    ASN1_UTF8STRING* matrixId;
    ASN1_UTF8STRING* name;
    ASN1_INTEGER* row;
    ASN1_INTEGER* col;
    ASN1_OBJECT* ecOid;
    ASN1_UTCTIME* genTime;
} MATRIX;

// An identity private key as issued by a key device.
typedef struct keycard_st {
    ASN1_INTEGER* version;
    ASN1_OBJECT* ecOid;
    ASN1_UTF8STRING* matrixId;
    ASN1_UTF8STRING* keyId;
    ASN1_INTEGER* notBefore;
    ASN1_INTEGER* notAfter;
    ASN1_OCTET_STRING* isk;   // L-byte scalar (maybe masked) + CRC-16 low byte first
    ASN1_OCTET_STRING* R;
} KeyCard;

// A signature over data or a file.
typedef struct data_sig_st {
    ASN1_INTEGER* version;
    ASN1_UTF8STRING* matrixId;
    ASN1_UTF8STRING* signerId;
    ASN1_INTEGER* signTime;
    ASN1_OBJECT* mdOid;
    ASN1_OCTET_STRING* signVal;
    ASN1_OCTET_STRING* R;
} DataSig;

// A digital envelope.
typedef struct denvelope_st {
    ASN1_INTEGER* version;
    ASN1_UTF8STRING* matrixId;
    ASN1_UTF8STRING* addresseeId;
    ASN1_OBJECT* encOid;
    ASN1_OCTET_STRING* env;     // 0x04 || X || Y of k*Q || CRC-16 of k*G
    ASN1_OCTET_STRING* cdata;
} DEnvelope;

DECLARE_ASN1_FUNCTIONS(MATRIX)
DECLARE_ASN1_FUNCTIONS(KeyCard)
DECLARE_ASN1_FUNCTIONS(DataSig)
DECLARE_ASN1_FUNCTIONS(DEnvelope)

// Decoders with a status: 0, or 12005 when the bytes do not decode (11001
// for a null output pointer). On success *out receives a new record.
int string2Matrix(const unsigned char* der, int len, MATRIX** out);
// 11002: the key card decoded but lies outside its validity window; the
// record is still handed out and must be freed by the caller.
int string2KeyCard(const unsigned char* der, int len, KeyCard** out);
int string2DataSig(const unsigned char* der, int len, DataSig** out);
int string2DEnvelope(const unsigned char* der, int len, DEnvelope** out);

// DER of a record into a caller's buffer (in/out length): 0, 1018 with the
// needed length, 11001, or 12005 when the record cannot be encoded.
int Matrix2string(const MATRIX* m, unsigned char* out, int* outLen);
int KeyCard2string(const KeyCard* k, unsigned char* out, int* outLen);
int DataSig2string(const DataSig* s, unsigned char* out, int* outLen);
int DEnvelope2string(const DEnvelope* e, unsigned char* out, int* outLen);

// 1 when now lies in [notBefore - 300, notAfter], else 0.
int KeyCard_is_valid(const KeyCard* keyCard);
// isk content without its 2-byte CRC (when it holds at least 3 bytes).
int KeyCard_Get_isk(const KeyCard* keyCard, BIGNUM* bn);
// Structural check; with a group also the key point of env (the point may
// be followed by the 2-byte CRC of an envelope value).
int DEnvelope_is_valid(const DEnvelope* envelope, const EC_GROUP* group);
int DEnvelope_Get_dhkey(const DEnvelope* envelope, const EC_GROUP* group, EC_POINT* point);

// Field accessors on DER bytes. Text: capacity in *outLen, text length out;
// a NUL follows the text when there is room for it.
int KMX_GetSignerId(const unsigned char* der, int derLen, char* out, int* outLen);
int KMX_GetSignMatrixId(const unsigned char* der, int derLen, char* out, int* outLen);
int KMX_GetSignTime(const unsigned char* der, int derLen, char* out, int* outLen);
int KMX_GetSignTimestamp(const unsigned char* der, int derLen, int* out);
int KMX_GetEncMatrixId(const unsigned char* der, int derLen, char* out, int* outLen);
int KMX_GetAddresseeId(const unsigned char* der, int derLen, char* out, int* outLen);

// -------------------------------------------------------------- selection

// Makes the layer's own library context with the default and legacy
// providers (once per process; the process's default context is not used).
void KMX_Init_Providers(void);
// That context (made on first use); every digest, cipher, MAC, curve group
// and random draw of the layer comes from it. Null only when it could not be
// made.
OSSL_LIB_CTX* KMX_Lib_Ctx(void);

// A new group for the curve named by ecOid (null: prime192v1); null for a
// curve outside the six-curve table.
EC_GROUP* KMX_Get_ecgroup(const ASN1_OBJECT* ecOid);
// Digest for a NID (0: SHA-1), fetched once and kept; null when none is
// available.
const EVP_MD* KMX_Get_md(int nid);
// Cipher for an object (null: AES-256-CBC), fetched once and kept; null
// when none is available.
const EVP_CIPHER* KMX_Get_cipher(const ASN1_OBJECT* encOid);
// The layer's own object for a digest or cipher a caller passes in: one
// fetched from the layer's context is answered as it is, a built-in table
// object (EVP_sha256(), ...) is replaced by the layer's fetch of the same
// algorithm (null when the layer has none).
const EVP_MD* KMX_Own_md(const EVP_MD* md);
const EVP_CIPHER* KMX_Own_cipher(const EVP_CIPHER* cipher);
// L of the curve of ecOid, 0 when unknown.
int KMX_Get_paramLen(const ASN1_OBJECT* ecOid);
// (bits of p + 7) / 8; 0 when it cannot be read.
int EC_GROUP_Get_paramLen(const EC_GROUP* group);
// Curve serial number 0..5 (0 for a curve outside the table).
int KMX_Get_ecSn(const ASN1_OBJECT* ecOid);

// ------------------------------------------------------- digests and MACs

// Digest (no key) or RFC 2104 HMAC with md.
int KMX_Hash(const EVP_MD* md, const unsigned char* key, int keyLen, const unsigned char* data,
             int dataLen, unsigned char* out, int* outLen);
// Keyed hash by name; "SM3" is the scheme's own keyed SM3.
int KMX_HMAC(const char* mdName, const unsigned char* key, int keyLen, const unsigned char* data,
             int dataLen, unsigned char* out, int* outLen);

// ---------------------------------------------------------- small helpers

// outLen (8..64) bytes from a secret: a copy when inLen == outLen, else
// SHA-256 based.
int KMX_KDF(const unsigned char* in, int inLen, unsigned char* out, int outLen);
// Content bytes of a time as an INTEGER magnitude (out holds >= 9 bytes).
int Time2ASN1_Integer(long t, unsigned char* out, int* outLen);
// bn as exactly len bytes, big-endian; 15001 when it does not fit.
int KMX_bn2bin(const BIGNUM* bn, unsigned char* out, int len);
// The room that a random scalar k of a curve with field length L takes in its
// minimal length: L, or more where the order is longer than the field
// (secp160r1), so that a room of this size holds any k the curve gives.
int KMX_Scalar_Room(const BIGNUM* k, int L);
// len random bytes; 11001, 15002 or 15003 on failure.
int GetRandom(unsigned char* buf, int len);
int KMX_GetRandom(unsigned char* buf, int len);
// Local time as "%d-%02d-%02d %02d:%02d:%02d" into out (>= 32 bytes).
int FormatTime(time_t t, char* out);
// CRC-16/XMODEM continued from crc.
unsigned short CalCrc16(unsigned short crc, const unsigned char* data, int len);

} // extern "C"
