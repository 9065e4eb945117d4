// Small helpers shared by the key-matrix / private-key instructions
// (ins_matrix.cpp) and the cryptographic instructions (ins_crypto.cpp).
#pragma once

#include <cstdint>

// Status word for a failed Chip_ operation: SW_WRONG_DATA for a point that is not on
// the curve, SW_UNKNOWN for any other failure (no group, arithmetic, allocation).
// Never SW_OK.
uint16_t ChipToStatus(int chipResult);

// 1 while the inner key is loaded (sInnerKey holds 16 bytes), else 0.
int InnerKeyHeld();

// Element size of a curve: its field length rounded up to a multiple of 16
// (0 for a serial number without a curve).
uint32_t CurveBlockLen(uint8_t serial);

// A CRC-16 as the card stores and checks it: low byte first.
inline void PutCrc(uint8_t* p, uint16_t crc)
{
    p[0] = uint8_t(crc);
    p[1] = uint8_t(crc >> 8);
}
inline uint16_t GetCrc(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
