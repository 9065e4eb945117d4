#include "smcrypto/little.h"

#include <cstring>

// -1 until detected, then 0 on a little-endian host and 1 on a big-endian one.
int32_t isBigEndian = -1;

static void SetEndian()
{
    uint32_t probe = 0x11223344;
    unsigned char b[4];
    std::memcpy(b, &probe, 4);
    isBigEndian = b[0] == 0x44 ? 0 : 1;
}

uint32_t swap32(uint32_t v)
{
    if (isBigEndian == -1)
        SetEndian();
    if (!isBigEndian)
        return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

uint16_t swap16(uint16_t v)
{
    if (isBigEndian == -1)
        SetEndian();
    if (!isBigEndian)
        return v;
    return (uint16_t)((v >> 8) | (v << 8));
}
