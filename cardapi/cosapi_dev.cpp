// Card commands for the device itself and its PINs.
#include <ctime>

#include "cardapi/cos_frame.h"

using namespace cosapi;

namespace cosapi {

uint32_t GetCurDate()
{
    time_t now = time(nullptr);
    struct tm tmv;
    if (!localtime_r(&now, &tmv)) return 0;
    return static_cast<uint32_t>((tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday);
}

void frame_put_le32(_apdu_frame_& f, uint32_t v)
{
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    frame_put(f, b, sizeof b);
}

}  // namespace cosapi

namespace {

constexpr uint8_t PIN_TYPE_MAX = 2;
constexpr uint32_t SW_WRONG_PIN_FIRST = SW_WRONG_PIN;
constexpr uint32_t SW_WRONG_PIN_LAST = SW_WRONG_PIN | SW_TRIES_MASK;
constexpr uint32_t TRIES_UNKNOWN = 5;
constexpr uint32_t CACHE_DAYS_MIN = 1;
constexpr uint32_t CACHE_DAYS_MAX = 255;

bool is_wrong_pin(uint32_t st) { return st >= SW_WRONG_PIN_FIRST && st <= SW_WRONG_PIN_LAST; }

}  // namespace

uint32_t COS_GetSn(char* out, uint32_t* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_GET_SN, 0x00, 0x00);
    f.Le = 0x10;
    uint32_t st = COS_Transfer(&f);
    if (st != ST_OK) return st;

    int needed = 2 * f.Le;
    int cap = static_cast<int>(*len);
    if (cap < needed) {
        *len = static_cast<uint32_t>(needed);
        return ST_BUFFER_TOO_SMALL;
    }
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < f.Le; ++i) {
        out[2 * i] = hex[f.data[i] >> 4];
        out[2 * i + 1] = hex[f.data[i] & 0x0F];
    }
    if (cap > needed) out[needed] = '\0';
    *len = static_cast<uint32_t>(needed);
    return ST_OK;
}

uint32_t COS_VerifyPin(uint8_t type, const char* pin, uint32_t* tries)
{
    if (type > PIN_TYPE_MAX) return ST_PIN_TYPE;
    if (!pin || !tries) return ST_BAD_ARGUMENT;
    size_t n = pin_length(pin);
    if (!pin_length_ok(n)) return ST_PIN_LENGTH;

    _apdu_frame_ f;
    // P1 4: the PIN is followed by a 4-byte date.
    frame_init(f, CLA_PLAIN, INS_VERIFY_PIN, 0x04, static_cast<uint8_t>(type + 1));
    frame_put(f, pin, n);
    frame_put_le32(f, GetCurDate());
    uint32_t st = COS_Transfer(&f);
    if (is_wrong_pin(st)) {
        *tries = st - SW_WRONG_PIN_FIRST;
        return ST_WRONG_PIN;
    }
    *tries = st == ST_PIN_BLOCKED ? 0 : TRIES_UNKNOWN;
    return st;
}

uint32_t COS_SetCachePin(uint32_t on, uint32_t days)
{
    // The day limit travels in one byte: a value outside 1..255 would reach
    // the card as another one.
    if (on && (days < CACHE_DAYS_MIN || days > CACHE_DAYS_MAX)) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_CACHE_PIN, on ? 1 : 0, on ? static_cast<uint8_t>(days) : 0);
    return COS_Transfer(&f);
}

uint32_t COS_AutoVerify()
{
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_AUTO_VERIFY, 0x00, 0x00);
    frame_put_le32(f, GetCurDate());
    return COS_Transfer(&f);
}

uint32_t COS_Reset()
{
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_RESTORATION, 0x00, 0x00);
    f.Le = 0x10;
    return COS_Transfer(&f);
}

uint32_t COS_GetVersion(uint8_t* out, int* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_GET_VERSION, 0x00, 0x00);
    f.Le = 0x80;
    int cap = *len;
    uint32_t st = copy_back(COS_Transfer(&f), f, out, len);
    if (st == ST_OK && cap > f.Le) out[f.Le] = '\0';
    return st;
}

uint32_t COS_ModifyPin(uint8_t type, const char* oldPin, const char* newPin)
{
    if (type > PIN_TYPE_MAX) return ST_PIN_TYPE;
    if (!oldPin || !newPin) return ST_BAD_ARGUMENT;
    size_t nNew = pin_length(newPin);
    if (!pin_length_ok(nNew)) return ST_PIN_LENGTH;
    size_t nOld = pin_length(oldPin);
    if (!pin_length_ok(nOld)) return ST_PIN_LENGTH;

    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_CHANGE_PIN, static_cast<uint8_t>(nOld), static_cast<uint8_t>(type + 1));
    frame_put(f, oldPin, nOld);
    frame_put(f, newPin, nNew);
    uint32_t st = COS_Transfer(&f);
    return is_wrong_pin(st) ? static_cast<uint32_t>(ST_WRONG_PIN) : st;
}

uint32_t COS_ReloadPin(uint8_t type, const char* newPin)
{
    if (type > PIN_TYPE_MAX) return ST_PIN_TYPE;
    if (!newPin) return ST_BAD_ARGUMENT;
    size_t n = pin_length(newPin);
    if (!pin_length_ok(n)) return ST_PIN_LENGTH;

    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_RELOAD_PIN, 0x00, static_cast<uint8_t>(type + 1));
    frame_put(f, newPin, n);
    return COS_Transfer(&f);
}

uint32_t COS_UnlockPin(uint8_t type)
{
    if (type > PIN_TYPE_MAX) return ST_PIN_TYPE;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_UNLOCK_PIN, 0x00, static_cast<uint8_t>(type + 1));
    return COS_Transfer(&f);
}

uint32_t COS_GetRandom(uint8_t* out, uint8_t n)
{
    if (!out) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_GET_CHALLENGE, 0x00, 0x00);
    f.Le = n;
    uint32_t st = COS_Transfer(&f);
    // The buffer holds n bytes: never copy more, whatever the card answered.
    if (st == ST_OK) memcpy(out, f.data, f.Le < n ? f.Le : n);
    return st;
}

uint32_t COS_InnerAuth(const uint8_t* challenge, int challengeLen, uint8_t* out, int* len)
{
    constexpr int kChallenge = 16;
    if (!challenge || challengeLen != kChallenge || !out || !len) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_INTERNAL_AUTH, 0x00, 0x00);
    frame_put(f, challenge, kChallenge);
    f.Le = kChallenge;
    return copy_back(COS_Transfer(&f), f, out, len);
}

uint32_t COS_ExtAuth(uint8_t keyId, const uint8_t* cryptogram, int len)
{
    constexpr uint8_t kKeyIdMax = 4;
    constexpr int kCryptogram = 16;
    if (keyId > kKeyIdMax || !cryptogram || len < 0 || len > kCryptogram) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_EXTERNAL_AUTH, 0x00, keyId);
    frame_put(f, cryptogram, static_cast<size_t>(len));
    f.Lc = kCryptogram;  // zero-filled to 16
    return COS_Transfer(&f);
}

uint32_t COS_Block(const uint8_t* mac, int len)
{
    constexpr int kMac = 4;
    if (!mac || len != kMac) return ST_BAD_ARGUMENT;
    _apdu_frame_ f;
    frame_init(f, CLA_SECURE, INS_CARD_BLOCK, 0x00, 0x00);
    frame_put(f, mac, kMac);
    return COS_Transfer(&f);
}
