// The three PINs of a blank card (8 bytes each). The card builds them at run
// time with BuildDefaultPin; tests and the image builder take them from here.
// PIN type 2 is the user PIN that the application facade presents.
#pragma once

#include <cstdint>
#include <cstring>

constexpr unsigned DEFAULT_PIN_LEN = 8;

#define DEFAULT_PIN_TYPE0 "12345678"
#define DEFAULT_PIN_TYPE1 "87654321"
#define DEFAULT_PIN_TYPE2 "40736158"   // user PIN
#define DEFAULT_USER_PIN DEFAULT_PIN_TYPE2

// Writes the 8 bytes of the default PIN of PIN type 0, 1 or 2 (key record
// type + 3) into out; 0 on success, -1 for another type (nothing written).
inline int BuildDefaultPin(unsigned type, uint8_t out[DEFAULT_PIN_LEN]) {
    static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
    if (type > 2)
        return -1;
    std::memcpy(out, pins[type], DEFAULT_PIN_LEN);
    return 0;
}
