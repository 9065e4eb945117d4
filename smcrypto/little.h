// Conversion between host order and little-endian (both directions).
#pragma once

#include <cstdint>

// Byte-order flag: -1 before detection, 0 little-endian host, 1 big-endian.
extern int32_t isBigEndian;

uint32_t swap32(uint32_t v);
uint16_t swap16(uint16_t v);
