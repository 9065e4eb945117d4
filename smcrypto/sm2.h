// SM2 on sm2p256v1: user hash Z, digest e, signing, verification,
// encryption and decryption (KDF counter from 0, appended little-endian;
// ciphertext C1 || C2 || C3).
//
// Formats: private key 32 bytes; public key 64 bytes X || Y; signature r || s,
// 32 bytes each; ciphertext of m bytes: 65 + m + 32 bytes.
#pragma once

#include <cstdint>

// Result codes of SM2_Encrypt / SM2_Decrypt (the module's own small numbers).
enum : int {
    SM2_OK = 0,
    SM2_ERR_ROOM = 1,       // encrypt: capacity below m + 97 (or message too long)
    SM2_ERR_BN = 2,         // big number / context allocation
    SM2_ERR_POINT = 3,      // point allocation; encrypt: public key not on the curve
    SM2_ERR_DECRYPT = 4,    // decrypt: C3 mismatch, bad C1, or bad length
};

// Limits of the work areas: SM2_GetZ and SM2_GetE write nothing beyond them;
// SM2_Encrypt answers SM2_ERR_ROOM and SM2_Decrypt SM2_ERR_DECRYPT.
constexpr unsigned SM2_MAX_ID = 62;            // ID bytes for SM2_GetZ
constexpr int SM2_MAX_E_MESSAGE = 224;         // message bytes for SM2_GetE
constexpr unsigned SM2_MAX_ENCRYPT = 192;      // message bytes for SM2_Encrypt
constexpr unsigned SM2_MAX_DECRYPT = 160;      // plaintext bytes for SM2_Decrypt (clen 97..257)

void SM2_GetZ(const unsigned char* id, uint8_t idlen, const unsigned char pub[64],
              unsigned char z[32]);
void SM2_GetE(const unsigned char* msg, int len, const unsigned char z[32], unsigned char e[32]);
// Signing and verification answer the shared status codes: 0; 15002 big
// number or context allocation (also when the curve cannot be built); 16003
// point allocation or arithmetic; signing also 11001 for a private key
// outside 1 .. n - 2 and 15003 when the random generator fails; verification
// 14005 when the signature does not hold, r or s lies outside 1 .. n - 1, or
// the public key is not a point of the curve.
int SM2_Sign(const unsigned char d[32], const unsigned char e[32], unsigned char sig[64]);
int SM2_Verify(const unsigned char pub[64], const unsigned char e[32], const unsigned char sig[64]);
// A missing argument is refused, never followed: signing answers 11001,
// verification 14005, encryption 1 (3 for a missing public key) and
// decryption 4; nothing is written.
// outlen: capacity in, m + 97 out.
int SM2_Encrypt(const unsigned char pub[64], const unsigned char* msg, uint32_t len,
                unsigned char* out, int* outlen);
// out must hold clen - 97 bytes; outlen written on success only.
int SM2_Decrypt(const unsigned char d[32], const unsigned char* c, uint32_t clen,
                unsigned char* out, uint32_t* outlen);

// Test programs only (defined in their seam library, absent from the installed
// programs): the next scalar k drawn by SM2_Sign or SM2_Encrypt is k (32 bytes,
// big-endian) instead of a random one; later draws are random again. Null
// cancels a pending value.
void SM2_TestFixNextK(const unsigned char* k);
