// The card command frame shared by the command layer and the driver.
#pragma once

#include <cstdint>

#include <openssl/crypto.h>

// The card command frame. After an exchange the same frame holds the answer:
// the reply data (followed by zeros) in data and its length in Le; CLA, INS,
// P1, P2 and Lc keep the values sent. Lc 0 means no command data, Le 0 no
// expected length.
struct _apdu_frame_ {
    uint8_t CLA;
    uint8_t INS;
    uint8_t P1;
    uint8_t P2;
    uint8_t Lc;
    uint8_t data[256];
    uint8_t Le;

    // A frame carries PINs, keys and decrypted data to and from the card:
    // whatever it held is cleansed when it goes out of scope.
    ~_apdu_frame_() { OPENSSL_cleanse(this, sizeof *this); }
};
static_assert(sizeof(_apdu_frame_) == 262, "card command frame is 262 bytes");
