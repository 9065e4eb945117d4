// Key device session, PINs, card files and card-computed digests: thin
// wrappers over the card commands.
#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "smcrypto/status.h"

namespace {

constexpr uint16_t DEV_FILE_SIZE = 4096;
constexpr int DEV_DATA_MAX = 65535;  // lengths travel to the card in 16 bits
constexpr int RANDOM_MIN = 4;
constexpr int RANDOM_MAX = 32;
constexpr uint32_t SHA1_LEN = 20;
constexpr uint32_t SM3_LEN = 32;

uint8_t low_byte(int v)
{
    return static_cast<uint8_t>(v & 0xFF);
}

// Argument checks shared by the digests.
uint32_t digest_args(const uint8_t* data, int len, const uint8_t* out, const void* outLen)
{
    if (!data || len <= 0 || len > DEV_DATA_MAX || !out || !outLen) return ST_BAD_ARGUMENT;
    return ST_OK;
}

}  // namespace

extern "C" {

uint32_t DevOpen(uint32_t devType, const char* path)
{
    if (devType != DEV_TYPE_VCARD) return ST_DEVICE_TYPE;
    return DEV_Open(static_cast<int>(devType), path);
}

uint32_t DevClose()
{
    uint32_t st = COS_Reset();
    if (st != ST_OK) return st;
    return DEV_Close();
}

uint32_t DevReset()
{
    return COS_Reset();
}

uint32_t DevGetSn(char* out, uint32_t* len)
{
    return COS_GetSn(out, len);
}

uint32_t DevVerifyPin(int pinType, const char* pin, uint32_t* tries)
{
    return COS_VerifyPin(low_byte(pinType), pin, tries);
}

uint32_t DevSetCachePin(uint32_t on, uint32_t days)
{
    return COS_SetCachePin(on, days);
}

uint32_t DevAutoVerify()
{
    return COS_AutoVerify();
}

uint32_t DevModifyPin(int pinType, const char* oldPin, const char* newPin)
{
    return COS_ModifyPin(low_byte(pinType), oldPin, newPin);
}

uint32_t DevReloadPin(int pinType, const char* newPin)
{
    return COS_ReloadPin(low_byte(pinType), newPin);
}

uint32_t DevUnlockPin(int pinType)
{
    return COS_UnlockPin(low_byte(pinType));
}

uint32_t DevGetRandom(uint8_t* out, int n)
{
    if (!out || n < RANDOM_MIN || n > RANDOM_MAX) return ST_BAD_ARGUMENT;
    return COS_GetRandom(out, static_cast<uint8_t>(n));
}

uint32_t DevCreateFile(int fileId)
{
    return COS_CreateFile(low_byte(fileId), DEV_FILE_SIZE);
}

int DevFileIsExist(int fileId)
{
    return COS_SelectFile(low_byte(fileId), nullptr) == ST_OK ? 1 : 0;
}

uint32_t DevWriteFile(int fileId, const uint8_t* data, int len)
{
    if (!data || len <= 0) return ST_BAD_ARGUMENT;
    uint16_t used = 0;
    uint32_t st = COS_SelectFile(low_byte(fileId), &used);
    if (st != ST_OK) return st;
    // A length the file cannot take is refused before anything is written,
    // instead of filling the file up to its end and failing there. No card
    // file is larger than DEV_FILE_SIZE bytes; a file holds at least its used
    // length, otherwise the card is asked whether the file has the room.
    if (len > DEV_FILE_SIZE) return ST_FILE_TOO_LARGE;
    if (len > used) {
        st = COS_FileHasRoom(static_cast<uint16_t>(len));
        if (st != ST_OK) return st;
    }
    return COS_WriteFile(data, static_cast<uint16_t>(len));
}

uint32_t DevGetFileLen(int fileId, uint32_t* len)
{
    if (!len) return ST_BAD_ARGUMENT;
    uint16_t fileLen = 0;
    uint32_t st = COS_SelectFile(low_byte(fileId), &fileLen);
    *len = st == ST_OK ? fileLen : 0;
    return st;
}

uint32_t DevReadFile(int fileId, uint8_t* out, int* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    uint16_t fileLen = 0;
    uint32_t st = COS_SelectFile(low_byte(fileId), &fileLen);
    if (st != ST_OK) return st;
    if (static_cast<int>(fileLen) > *len) {
        *len = fileLen;
        return ST_BUFFER_TOO_SMALL;
    }
    uint16_t n = fileLen;
    st = COS_ReadFile(out, &n);
    if (st != ST_OK) return st;
    *len = fileLen;
    return ST_OK;
}

uint32_t DevDeleteFile(int fileId)
{
    return COS_DeleteFile(low_byte(fileId));
}

uint32_t DevSHA1(const uint8_t* data, int len, uint8_t* out, uint32_t* outLen)
{
    uint32_t st = digest_args(data, len, out, outLen);
    if (st != ST_OK) return st;
    if (static_cast<int>(*outLen) < static_cast<int>(SHA1_LEN)) {
        *outLen = SHA1_LEN;
        return ST_BUFFER_TOO_SMALL;
    }
    st = COS_SHA1(data, static_cast<uint16_t>(len), out, SHA1_LEN);
    if (st == ST_OK) *outLen = SHA1_LEN;
    return st;
}

uint32_t DevSM3(const uint8_t* data, int len, uint8_t* out, int* outLen)
{
    uint32_t st = digest_args(data, len, out, outLen);
    if (st != ST_OK) return st;
    if (*outLen < static_cast<int>(SM3_LEN)) {
        *outLen = SM3_LEN;
        return ST_BUFFER_TOO_SMALL;
    }
    st = COS_SM3(data, static_cast<uint16_t>(len), out, SM3_LEN);
    if (st == ST_OK) *outLen = SM3_LEN;
    return st;
}

}  // extern "C"
