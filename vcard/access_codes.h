// Access codes of the service instructions: 16 bytes each, compared with the
// data of the reset (0x02) and the debug read (0x08). The card keeps them in
// two masked halves and assembles them only when it needs them, so neither
// code stands in the binary as one run of bytes.
#pragma once

#include <cstdint>

constexpr unsigned ACCESS_CODE_LEN = 16;

namespace access_codes_detail {
constexpr uint8_t kMask[ACCESS_CODE_LEN] = {0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xF0, 0x64, 0x9D,
                                            0x31, 0xE6, 0x48, 0xB5, 0x0F, 0x7C, 0xA2, 0xD9};
// Reset code ("Tarn card Reset!") XOR kMask.
constexpr uint8_t kReset[ACCESS_CODE_LEN] = {0x0E, 0xA2, 0x65, 0xE0, 0x0B, 0x93, 0x05, 0xEF,
                                             0x55, 0xC6, 0x1A, 0xD0, 0x7C, 0x19, 0xD6, 0xF8};
// Debug code ("Tarn card Debug!") XOR kMask.
constexpr uint8_t kDebug[ACCESS_CODE_LEN] = {0x0E, 0xA2, 0x65, 0xE0, 0x0B, 0x93, 0x05, 0xEF,
                                             0x55, 0xC6, 0x0C, 0xD0, 0x6D, 0x09, 0xC5, 0xF8};
}  // namespace access_codes_detail

// Writes the 16-byte reset access code into out.
inline void BuildResetCode(uint8_t out[ACCESS_CODE_LEN])
{
    for (unsigned i = 0; i < ACCESS_CODE_LEN; ++i)
        out[i] = access_codes_detail::kReset[i] ^ access_codes_detail::kMask[i];
}

// Writes the 16-byte debug access code into out.
inline void BuildDebugCode(uint8_t out[ACCESS_CODE_LEN])
{
    for (unsigned i = 0; i < ACCESS_CODE_LEN; ++i)
        out[i] = access_codes_detail::kDebug[i] ^ access_codes_detail::kMask[i];
}
