// Checks of a command beyond the range tests of its instruction row: access
// conditions, instruction-specific parameter rules, case resolution and
// secure messaging (CLA 0x84: SM4 CBC-MAC under a key record, started from
// the last challenge, and in-place decryption of the wrapped data).
#pragma once

#include <cstdint>

#include "vcard/cosstate.h"

// Access condition against a security status: 1 granted, 0 refused.
// 0 always; 0xFFFFFFFF never; a non-zero low half when any of its bits is
// set; a high half alone when all of its bits are set.
int CheckSecure(uint32_t condition, uint16_t secStatus);

// Instruction-specific P1/P2 rule; 0 means the dispatcher answers SW_WRONG_P1P2.
int SpecP1P2Check(_cmd_frame_ cmd);
// Instruction-specific Lc rule; 0 means SW_WRONG_LENGTH.
int SpecLCCheck(_cmd_frame_ cmd);
// Instruction-specific Le rule; 0 means SW_WRONG_LE + the row's Le minimum.
int SpecLECheck(_cmd_frame_ cmd);
// Resolves case 4 into 1 or 3 from P1/P2; other cases stay. Returns SW_OK.
uint16_t ReviseDatType(uint16_t* dataType, _cmd_frame_ cmd);

// 4-byte MAC over n bytes (n at most 239): pad with 0x80 and zeros to the
// next multiple of 16, CBC-encrypt from the starting value, keep the first
// 4 bytes of the last block.
void ECalMac(const uint8_t key[16], const uint8_t start[16], const uint8_t* bytes, uint8_t n,
             uint8_t mac[4]);

// Secure messaging over the raw command (CLA INS P1 P2 Lc data... MAC, in the
// work area). Returns 1 when the MAC is right (the wrapped data has then been
// deciphered over the raw command from the Lc byte on), 0 with *status set
// otherwise. The challenge is consumed in both cases once the MAC was
// computed.
int ReviseMacPacket(uint8_t* raw, uint8_t macKey, _len_buf_* challenge, uint16_t* status,
                    _cmd_frame_ cmd);
