// Conversion between host order and little-endian (both directions).
#pragma once

#include <cstdint>

uint32_t swap32(uint32_t v);
uint16_t swap16(uint16_t v);
