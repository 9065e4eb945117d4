// The card's elliptic-curve operations on the six curves of the shared curve
// table (smcrypto/ecurve.h), selected by the one-byte curve serial number.
//
// Formats for a curve of parameter length L: a scalar is L bytes big-endian;
// a point is X then Y, L bytes each, without the 0x04 prefix; an ECDSA
// signature is r then s, L bytes each. Output buffers belong to the caller,
// who zero-fills them first; a result shorter than its field is written
// right-aligned. Every operation builds its group afresh and keeps nothing.
//
// The Chip_ operations and EGetRand answer one of the CHIP_ results below
// and leave every output untouched unless they answer CHIP_OK. Points given
// from outside are checked to lie on the curve.
#pragma once

#include <cstdint>
#include <openssl/types.h>  // BIGNUM

// The curve group is only named here; users that work on it include <openssl/ec.h>.
typedef struct ec_group_st EC_GROUP;

enum : int {
    CHIP_OK = 0,
    CHIP_FAIL = 1,        // no group (serial above 5), allocation or arithmetic failure,
                          // a result at infinity; for Chip_ECDSA_Verify: invalid signature
    CHIP_BAD_POINT = 2,   // a given point does not lie on the curve
};

// Largest parameter length of the table (bytes).
constexpr unsigned ECC_MAX_L = 32;
// Most indices that Chip_CalIsk accepts.
constexpr unsigned ECC_MAX_ISK_INDICES = 40;

// Parameter length L of the serial number, 0 above 5.
uint8_t GetParamLen(uint8_t serial);
// A new group for the serial number (free with ECC_Disable); null above 5 or
// when it cannot be built. *L (when L is given) receives GetParamLen(serial),
// also when no group is made.
EC_GROUP* ECC_Enable(uint8_t serial, uint8_t* L);
void ECC_Disable(EC_GROUP* group);
// Big-endian bytes of a non-negative number right-aligned in width bytes (the
// leading bytes are left as they were). 0, or -1 when it does not fit (nothing
// written).
int EBN_bn2bin(const BIGNUM* number, uint8_t* out, uint8_t width);

// mode 0: d := random scalar in [1, n-1], P := d·G. mode != 0: P := d·P for the
// given d and P (P checked to lie on the curve). d is L bytes, P 2·L bytes.
int Chip_GenKey(uint8_t serial, uint8_t mode, uint8_t* d, uint8_t* P);
// Random k: kG := k·G and kP := k·P (digital envelope made for P).
int Chip_GenDE(uint8_t serial, const uint8_t* P, uint8_t* kG, uint8_t* kP);
// out := (d^-1 mod n)·P (opens an envelope made with Chip_GenDE for d·G).
int Chip_OpenDE(uint8_t serial, const uint8_t* P, const uint8_t* d, uint8_t* out);
// out := d·P.
int Chip_ECDH(uint8_t serial, const uint8_t* P, const uint8_t* d, uint8_t* out);
// ECDSA over the first 20 bytes of digest (taken as a big-endian number, not
// cut to the order's bit length); signature r then s, L bytes each.
int Chip_ECDSA_Sign(uint8_t serial, const uint8_t* digest, const uint8_t* d, uint8_t* signature);
// CHIP_OK when the signature is valid for Q; CHIP_FAIL when invalid or when
// the group or numbers could not be made; CHIP_BAD_POINT when Q is off the curve.
int Chip_ECDSA_Verify(uint8_t serial, const uint8_t* digest, const uint8_t* Q,
                      const uint8_t* signature);
// Identity secret key: the sum mod n of the key-matrix elements named by the
// count/2 little-endian 16-bit indices (at most 40), each read from the image
// at 0x10000 + B·i (B = L rounded up to 16) and SM4-ECB-decrypted under the
// 16-byte inner key. CHIP_FAIL without output when an element is not written
// (its first four stored bytes all 0x00 or all 0xFF), lies beyond the image's
// end or beyond the matrix area, or for more than 40 indices. out: L bytes.
int Chip_CalIsk(uint8_t serial, const uint8_t* indices, uint32_t count,
                const uint8_t* innerKey, uint8_t* out);
// count random bytes: numbers below the group order, L bytes each, appended.
int EGetRand(uint8_t serial, uint8_t* out, uint8_t count);
