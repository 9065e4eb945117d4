#pragma once
// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection), written
// out bit by bit so that tests do not check the CRC code with itself.

#include <cstddef>
#include <cstdint>

inline uint16_t crc16_xmodem(const unsigned char* p, size_t n, uint16_t crc = 0)
{
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}
