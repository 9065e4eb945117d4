// Identity-key layer, software part: matrix heads, identity mapping and key
// calculation, SM2 encryption to an identity, envelopes, the multi-recipient
// encrypted file and the symmetric helpers.
#pragma once

#include "kmx/kmx.h"

// Matrix head: u32 little-endian DER length n (<= 252), the MATRIX DER, zero
// fill to 256 bytes; elements follow from byte 256.
constexpr int KMX_HEAD_SIZE = 256;
constexpr int KMX_HEAD_MAX_DER = 252;
constexpr int KMX_MAX_COL = 32;
constexpr long KMX_MAX_ELEMENTS = 65536;
constexpr int KMX_MAX_MATRIX_ID = 32;

// The checked fields of a matrix head. group is owned (free with
// KMX_Matrix_Info_free).
struct KMX_Matrix_Info {
    int row;
    int col;
    int L;          // field length of the curve
    int serial;     // curve serial number
    EC_GROUP* group;
};

// Reads the 256-byte head of a matrix file (shorter files leave zeros): 0 or
// 11008. Exactly one of path and memory must be given (11001).
int KMX_Read_Head(const char* path, const unsigned char* memory, unsigned char head[KMX_HEAD_SIZE]);
// Decodes and checks a head: 0, 12005 (bad length field, DER, row, col or
// matrixId) or 16006 (curve outside the table). *out receives the record;
// info, when given, its checked fields.
int KMX_Decode_Head(const unsigned char head[KMX_HEAD_SIZE], MATRIX** out,
                    KMX_Matrix_Info* info = nullptr);
// The checked fields of a decoded record (also the check of Matrix_is_valid):
// 0, 11001, 12005 or 16006. On success info->group must be freed.
int KMX_Matrix_Get_Info(const MATRIX* m, KMX_Matrix_Info* info);
void KMX_Matrix_Info_free(KMX_Matrix_Info* info);

// One envelope per recipient (see KMX_Cal_SKey).
struct EnvelopeSlot {
    EC_POINT* Q;
    unsigned char env[68];
    int envLen;
};

// Recipient of the multi-recipient encrypted file.
struct AddresseeEntry {
    char id[128];          // zero-terminated, at most 127 bytes
    char matrixName[32];   // zero-terminated, at most 31 bytes
};

extern "C" {

// ------------------------------------------------- identity mapping, keys

int str2index(int row, int col, const unsigned char* key, int keyLen, const unsigned char* id,
              int idLen, unsigned short* indices);
int KMX_Cal_R(const MATRIX* matrix, const unsigned char* id, int idLen, unsigned char* rOut,
              unsigned char* ROut, int* RLen);
int FMatrix_Cal_pubkey(const char* path, const unsigned char* id, int idLen, unsigned char* out,
                       int* outLen);
int SMatrix_Cal_pubkey(const unsigned char* memory, int memoryLen, const unsigned char* id,
                       int idLen, unsigned char* out, int* outLen);
int KMX_CalPubkey(const char* path, const unsigned char* id, int idLen, unsigned char* out,
                  int* outLen);
int Matrix_Cal_isk(const char* path, int randomR, const unsigned char* id, int idLen, BIGNUM* isk,
                   unsigned char* ROut, int* RLen);
int Matrix_is_valid(const MATRIX* matrix);
// Public key of id from a matrix file or memory block (memLen bytes) as
// 0x04 || X || Y; serial (optional) receives the matrix curve.
int KMX_Matrix_Pubkey(const char* path, const unsigned char* memory, long memLen,
                      const unsigned char* id, int idLen, unsigned char* out, int* outLen,
                      int* serial);

// ------------------------------------------------- signature verification
//
// Every verification answers 0 when the signature holds and 14005 when it
// does not, else the first failure: 11001 arguments, 12005 a record that
// does not decode, 11008 a matrix file that cannot be opened, 11003 a
// signature made under another matrix, 13001 an unknown digest, 12004 a
// digest of the wrong length, 16006 a curve outside the table. A signer id
// over 64 bytes or signing-time content over 32 bytes is refused (11001).
// ECDSA takes e as the whole digest, not cut to the order's bit length, as
// the key device signs it; its signature value must be exactly 2L bytes
// and an SM2 one exactly 64 bytes (14005 otherwise).

// A DER DataSig (sigLen >= 48) over dataLen bytes of data followed by the
// signing time's content bytes. data may be null only with dataLen 0.
int KMX_Verify_Data(const char* matrixPath, const unsigned char* data, int dataLen,
                    const unsigned char* sig, int sigLen);
// The same over the whole content of a file (11006 when it cannot be read).
int KMX_Verify_File(const char* matrixPath, const char* filePath, const unsigned char* sig,
                    int sigLen);
// The SM2 signature value of a DER DataSig over a 32-byte digest e (see
// KMX_SM2_CalE); the matrix must be on sm2p256v1 (16006). Neither the
// DataSig's matrixId nor its digest nor its time is consulted.
int KMX_SM2Verify(const char* matrixPath, const unsigned char* e, const unsigned char* sig,
                  int sigLen);
// e = SM3(Z || msg || time content) for the zero-terminated identity id
// (1..62 bytes) and its public key from the matrix file (sm2p256v1, else
// 16006); signTime 0 adds no time bytes. msgLen 0..224 including the time
// bytes (11001 otherwise).
int KMX_SM2_CalE(const char* matrixPath, const char* id, const unsigned char* msg, int msgLen,
                 int signTime, unsigned char* e);

// Steps of the verifications. Digest of data || time content with the
// DataSig's digest (digest holds EVP_MAX_MD_SIZE bytes).
int Verify_Ready(const unsigned char* data, int dataLen, unsigned char* digest, int* digestLen,
                 const DataSig* dataSig);
// ECDSA / SM2 verification against the signer's public key from a matrix
// file or from memory (exactly one; a memory matrix of matrixLen bytes must
// hold its head and every element, else 11001). KMX_Verify_SM2Sign works on
// the matrix's own curve and needs eLen 32.
int KMX_Verify_Sign(const char* matrixPath, const void* matrixHead, long matrixLen,
                    const unsigned char* digest, int digestLen, const DataSig* dataSig);
int KMX_Verify_SM2Sign(const char* matrixPath, const void* matrixHead, long matrixLen,
                       const unsigned char* e, int eLen, const DataSig* dataSig);
// Verification on a given group with a given public point.
int ECDSA_Verfiy(const EC_GROUP* group, const unsigned char* digest, int digestLen,
                 const unsigned char* sig, int sigLen, const EC_POINT* Q);
int _SM2_Verify(const EC_GROUP* group, const unsigned char* e, int eLen, const unsigned char* sig,
                int sigLen, const EC_POINT* Q);

// ------------------------------------------------- key utilities
//
// Curves are named by short or long name or dotted object identifier
// ("prime256v1", "sm2p256v1", "secp64r1", ...); a curve outside the table
// answers 16006. L is the curve's field length.

// A random key pair: pub = X || Y (2L bytes), priv = the scalar big-endian
// in its minimal length (it may be shorter than L, and on a curve whose order
// is longer than its field, secp160r1, one byte longer). Room below 2L or
// below what the scalar takes (L, or L + 1 for such a scalar): both lengths
// written back (2L and that room), 1018, nothing written.
int KMX_GenSymKey(const char* curveName, unsigned char* pub, int* pubLen, unsigned char* priv,
                  int* privLen);
// The point whose x-coordinate is x (L bytes) and whose y-coordinate begins
// with yFirstByte, as X || Y into out (2L bytes). 16001 when x is on no
// point of the curve or neither root of y begins with yFirstByte.
int KMX_ECP_x2xy(const char* curveName, const unsigned char* x, unsigned char yFirstByte,
                 unsigned char* out);
// Overwrites a regular file with random 64-byte blocks and removes it. The
// file is overwritten (passes & 0x0F) times, each pass from offset 0 in
// whole blocks (a non-empty file grows to a multiple of 64 bytes) and
// flushed to the disk before the next; so 16 removes it without
// overwriting, and 0 empties it and removes it. Only a regular file is
// taken, never through a symbolic link (11006, as for a missing file). A
// failed overwrite or flush answers 11010 and leaves the file in place; a
// file that cannot be removed 11009; random bytes that cannot be had 15002
// or 15003 (the file stays). Other hard links to the file keep the
// overwritten content.
int KMX_DeleteFile(const char* path, unsigned char passes);

// ------------------------------------------------- SM2 to an identity

int KMX_SM2Encrypt(const char* matrixPath, const unsigned char* id, int idLen,
                   const unsigned char* data, int dataLen, unsigned char* out, int* outLen);
int KMX_SM2Encrypt_S(const unsigned char* matrix, int matrixLen, const unsigned char* id,
                     int idLen, const unsigned char* data, int dataLen, unsigned char* out,
                     int* outLen);

// ------------------------------------------------- envelopes

int KMX_Cal_SKey(const EC_GROUP* group, EnvelopeSlot* slots, int count, unsigned char* key,
                 int keyLen, unsigned char* kOut, int* kOutLen);
// matrixHead: the whole public matrix in memory, matrixLen bytes (ignored
// with a path).
int KMX_Encrypt_data(const char* matrixPath, const void* matrixHead, long matrixLen,
                     const unsigned char* id,
                     int idLen, const EVP_CIPHER* cipher, const unsigned char* data, int dataLen,
                     DEnvelope* env);
int KMX_Encrypt_Data(const char* matrixPath, const unsigned char* id, int idLen,
                     const unsigned char* data, int dataLen, unsigned char* out, int* outLen);
int KMX_Make_Envelope(const char* matrixPath, const unsigned char* id, int idLen,
                      const unsigned char* key, int keyLen, unsigned char* out, int* outLen);
int KMX_GenMinDE(const char* matrixPath, const void* matrixHead, long matrixLen, const char* id,
                 int idLen,
                 unsigned char* keyPoint, int* keyPointLen, unsigned char* env, int* envLen);
int KMX_GenDE(const char* matrixPath, const char* id, int idLen, unsigned char* keyPoint,
              int* keyPointLen, unsigned char* env, int* envLen);

// ------------------------------------------------- multi-recipient file

int KMX_Encrypt_File(const char* matrixDir, const AddresseeEntry* recipients, int count,
                     const char* inFile, const char* outFile, unsigned char* kOut, int* kOutLen);

// ------------------------------------------------- symmetric helpers

int Sym_Encrypt(const char* cipherName, const unsigned char* in, int inLen,
                const unsigned char* keyData, int keyDataLen, unsigned char* out, int* outLen);
int Sym_Decrypt(const char* cipherName, const unsigned char* in, int inLen,
                const unsigned char* keyData, int keyDataLen, unsigned char* out, int* outLen);
int Hash(const char* mdName, const unsigned char* data, int dataLen, unsigned char* out,
         int* outLen);
int HMac(const char* mdName, const unsigned char* key, int keyLen, const unsigned char* data,
         int dataLen, unsigned char* out, int* outLen);
int Base64Encode(const unsigned char* in, int inLen, char* out, int* outLen, int lineLen);
int Base64Decode(const char* in, int inLen, unsigned char* out, int* outLen);
int Openssl_Encrypt(const EVP_CIPHER* cipher, const unsigned char* in, int inLen,
                    const unsigned char* key, const unsigned char* iv, unsigned char* out,
                    int* outLen);
int Openssl_Decrypt(const EVP_CIPHER* cipher, const unsigned char* in, int inLen,
                    const unsigned char* key, const unsigned char* iv, unsigned char* out,
                    int* outLen);
int Openssl_Hash(const EVP_MD* md, const unsigned char* data, int dataLen, unsigned char* out,
                 int* outLen);

} // extern "C"

// Adds the public elements the identity selects and R into PK (a fresh
// point of the matrix curve). Exactly one of path and memory. memLen is the
// size of the memory block; a negative value means the caller vouches that
// the block holds the whole matrix.
int Matrix_Cal_KMX(const char* path, const unsigned char* memory, const unsigned char* id,
                   int idLen, const unsigned char* R, int RLen, EC_POINT* PK, long memLen = -1);

// Reads and checks the head of a matrix given as a file path or in memory
// (exactly one): the statuses of KMX_Read_Head and KMX_Decode_Head. A memory
// matrix must hold its head and every element (memLen at least
// 256 + 2L * row * col), else 11001.
int KMX_Load_Matrix(const char* path, const void* memory, long memLen, MATRIX** out,
                    KMX_Matrix_Info* info);
// Public point Q of an identity: R of KMX_Cal_R, then Matrix_Cal_KMX into Q.
int KMX_Identity_Point(const char* path, const void* memory, long memLen, const MATRIX* m,
                       const unsigned char* id, int idLen, EC_POINT* Q);
// X || Y of a point, L bytes each: 0, or 16004 (infinity, no coordinates).
int KMX_Point_XY(const EC_GROUP* group, const EC_POINT* P, int L, unsigned char* out,
                 BN_CTX* ctx);
// Sets the fields of an envelope record: version 1, matrixId, addresseeId,
// encOid (object of cipherNid), env; cdata is left as it is. 12001 when a
// field cannot be set, 12005 when the cipher has no object identifier.
int KMX_Fill_DEnvelope(DEnvelope* e, const ASN1_STRING* matrixId, const unsigned char* id,
                       int idLen, int cipherNid, const unsigned char* env, int envLen);
