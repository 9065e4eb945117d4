// Application facade: each call is one whole key device session over an
// image (open, work, close, also after a failure), so every call starts from
// a locked card and leaves it locked.
#include <climits>
#include <cstdint>
#include <cstring>

#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"

namespace {

// Largest identity that kmx_encryption takes from its text argument.
constexpr size_t SENDER_MAX = 64;
// Plaintext of one challenge.
constexpr int CHALLENGE_LEN = 128;

}  // namespace

int kmx_getid(char* id, size_t& dataLen, char* keyFile)
{
    uint32_t st = DevOpen(DEV_TYPE_VCARD, keyFile);
    uint32_t len = 0;
    if (st == 0) st = DevGetKeyId(0, REAL_NAME, reinterpret_cast<uint8_t*>(id), &len);
    // Also after a failed open: a device bound earlier in the process is
    // still bound then, and must not stay unlocked.
    DevClose();
    if (st == 0) dataLen = len;
    return static_cast<int>(st);
}

int kmx_decryption(unsigned char* pData, unsigned char* out, size_t& dataLen, char* keyFile)
{
    // The Dev functions take the block length as u32 and the capacity as
    // int; a value that does not fit both is refused before anything else.
    if (dataLen > static_cast<size_t>(INT_MAX)) return ST_BAD_ARGUMENT;
    const uint32_t blockLen = static_cast<uint32_t>(dataLen);
    int outLen = static_cast<int>(dataLen);

    uint32_t st = DevOpen(DEV_TYPE_VCARD, keyFile);
    uint32_t tries = 0;
    if (st == 0) st = DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries);
    if (st == 0) st = DevSM2Decrypt(REAL_NAME, pData, blockLen, out, &outLen);
    DevClose();   // in every case, as kmx_getid does
    if (st == 0) dataLen = static_cast<size_t>(outLen);
    return static_cast<int>(st);
}

int kmx_encryption(unsigned char* sender, unsigned char* pData, unsigned char* out,
                   size_t& dataLen, char* keyFile)
{
    if (!sender || !pData || !out || !keyFile) return ST_BAD_ARGUMENT;
    // The identity is text: its length is that of the text, 1 to 64 bytes.
    const size_t idLen = strnlen(reinterpret_cast<const char*>(sender), SENDER_MAX + 1);
    if (idLen == 0 || idLen > SENDER_MAX) return ST_BAD_ARGUMENT;
    if (dataLen < SM2_BLOCK_LEN) {
        dataLen = SM2_BLOCK_LEN;
        return ST_BUFFER_TOO_SMALL;
    }
    if (dataLen > static_cast<size_t>(INT_MAX)) return ST_BAD_ARGUMENT;
    int outLen = static_cast<int>(dataLen);
    int st = KMX_SM2Encrypt(keyFile, sender, static_cast<int>(idLen), pData, CHALLENGE_LEN, out,
                            &outLen);
    if (st == 0) dataLen = static_cast<size_t>(outLen);
    return st;
}
