// SM4 block cipher: ECB/CBC over whole blocks, one-shot, and streaming with
// PKCS#7 padding.
#pragma once

#include <cstdint>

// Mode words of SM4_Init: low four bits 1 encrypt / 0 decrypt; bits 4..7 = 1 CBC.
enum : int {
    SM4_ECB_DECRYPT = 0x00,
    SM4_ECB_ENCRYPT = 0x01,
    SM4_CBC_DECRYPT = 0x10,
    SM4_CBC_ENCRYPT = 0x11,
};

struct _sm4_ctx_ {
    uint32_t mode;            // as given to SM4_Init
    uint32_t buffered;        // encrypt: 0..15 waiting; decrypt: 0 or 16 (held block)
    unsigned char buf[16];
    uint32_t rk[32];          // round keys, reversed for decryption
    unsigned char iv[16];     // CBC chaining block; zero in ECB
};

// length must be a multiple of 16; in and out may be the same buffer or
// overlap with out starting before in.
void sm4_crypt_ecb(const unsigned char key[16], int mode, int length,
                   const unsigned char* in, unsigned char* out);
// iv is updated to the last ciphertext block.
void sm4_crypt_cbc(const unsigned char key[16], int mode, int length, unsigned char iv[16],
                   const unsigned char* in, unsigned char* out);

// CBC when iv is given, ECB otherwise; nothing at all unless len % 16 == 0.
void SM4_Encrypt(const unsigned char* key, const unsigned char* iv,
                 const unsigned char* in, uint32_t len, unsigned char* out);
void SM4_Decrypt(const unsigned char* key, const unsigned char* iv,
                 const unsigned char* in, uint32_t len, unsigned char* out);

// The streaming functions answer 11001 for a missing context, key, length
// argument, or input or output that the call would need, and for a context
// that no SM4_Init filled (a held byte count out of its range); nothing is
// written then.
int SM4_Init(_sm4_ctx_* ctx, const unsigned char* key, const unsigned char* iv, int mode);
int SM4_Update(_sm4_ctx_* ctx, const unsigned char* in, uint32_t len,
               unsigned char* out, uint32_t* outlen);
// Works on its own copy of the context. outlen: capacity in, length out.
// Decryption strips PKCS#7 padding: a last byte p of 1 to 16 with each of
// the last p bytes equal to p, else 14003 with nothing written (a wrong key
// or a damaged last block); so does a decryption that was given no block.
int SM4_Final(_sm4_ctx_ ctx, unsigned char* out, int* outlen);
