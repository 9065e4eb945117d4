// Helpers shared by the card command builders (not part of the interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cardapi/cosapi.h"
#include "smcrypto/ecurve.h"
#include "vcard/card_protocol.h"

namespace cosapi {

// Clears the whole frame and sets its header.
inline void frame_init(_apdu_frame_& f, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2)
{
    // Also wipes what the frame held before.
    OPENSSL_cleanse(&f, sizeof f);
    f.CLA = cla;
    f.INS = ins;
    f.P1 = p1;
    f.P2 = p2;
}

// Appends data to the frame's command data (the builders keep within 256).
inline void frame_put(_apdu_frame_& f, const void* data, size_t n)
{
    memcpy(f.data + f.Lc, data, n);
    f.Lc = static_cast<uint8_t>(f.Lc + n);
}

// One exchange for a command that reads its answer whatever the status.
// The refusals before anything is sent (no device, a device type without a
// driver, a frame too long to send) leave the frame as it was filled; its
// answer part is emptied then, so that the command data is never read back
// as an answer.
inline uint32_t transfer_answer(_apdu_frame_& f)
{
    uint32_t st = COS_Transfer(&f);
    if (st == ST_NO_DEVICE || st == ST_DEVICE_TYPE || st == ST_BAD_ARGUMENT) {
        f.Le = 0;
        memset(f.data, 0, sizeof f.data);
    }
    return st;
}

// The capacity rule: a nonzero status is returned at once; an answer longer
// than the capacity writes the needed length and gives 1018 without copying;
// otherwise the answer is copied and its length written back. The capacity
// is compared as a signed number where the length is a signed one.
template <typename L>
uint32_t copy_back(uint32_t st, const _apdu_frame_& f, uint8_t* out, L* len)
{
    if (st != ST_OK) return st;
    if (static_cast<long long>(*len) < static_cast<long long>(f.Le)) {
        *len = static_cast<L>(f.Le);
        return ST_BUFFER_TOO_SMALL;
    }
    memcpy(out, f.data, f.Le);
    *len = static_cast<L>(f.Le);
    return ST_OK;
}

// Length of a PIN (counted up to 17 characters, enough to tell it is too
// long) and the check of its 8 to 16 characters.
constexpr size_t PIN_MIN = PIN_LEN_MIN;
constexpr size_t PIN_MAX = PIN_LEN_MAX;
inline size_t pin_length(const char* pin) { return strnlen(pin, PIN_MAX + 1); }
inline bool pin_length_ok(size_t n) { return n >= PIN_MIN && n <= PIN_MAX; }

// The current local date as yyyymmdd.
uint32_t GetCurDate();
// Appends a 32-bit number least significant byte first.
void frame_put_le32(_apdu_frame_& f, uint32_t v);

// Byte length of one coordinate or scalar of curve t (0 for an unknown one).
inline unsigned GetParamLen(uint8_t t) { return ecurve_param_len(t); }

}  // namespace cosapi
