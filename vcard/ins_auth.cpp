// Authentication instructions: get challenge, external and internal
// authentication with the SM4 keys of the key file.
#include <cstring>

#include <openssl/crypto.h>

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"
#include "vcard/InsDat.h"
#include "vcard/acos.h"
#include "vcard/cosecc.h"
#include "vcard/cosstate.h"

namespace {

constexpr uint32_t EXTERNAL_KEY_BASE = 6;   // P2 1..4 name key records 7..10

}  // namespace

uint16_t Ins_Get_Challenge()
{
    // Le may ask for up to 32 bytes; the challenge keeps the first 16.
    uint8_t fresh[32] = {0};
    unsigned want = sIFP.Le < sizeof fresh ? sIFP.Le : unsigned(sizeof fresh);
    std::memset(&sRand, 0, sizeof sRand);
    if (want > 0 && EGetRand(0, fresh, uint8_t(want)) != CHIP_OK)
        return SW_UNKNOWN;
    std::memcpy(sIFP.reply, fresh, want);
    sRand.len = want < sizeof sRand.buf ? want : unsigned(sizeof sRand.buf);
    std::memcpy(sRand.buf, fresh, sRand.len);
    OPENSSL_cleanse(fresh, sizeof fresh);
    sIFP.Le = uint8_t(want);
    return SW_OK;
}

uint16_t Ins_External_Authenticate()
{
    if (sRand.len == 0)
        return SW_NO_CHALLENGE;
    uint32_t n = EXTERNAL_KEY_BASE + sIFP.P2;
    _key_info_ rec;
    cleanse_on_exit wipeRec(&rec, sizeof rec);   // holds the key value
    uint16_t st = RWSystemKey(0, n, &rec);
    if (st != SW_OK)
        return st;
    if (rec.no != n)
        return SW_KEY_NOT_FOUND;
    if (rec.tries == 0)
        return SW_AUTH_BLOCKED;
    secret_array<16> plain;
    sm4_crypt_ecb(rec.value, SM4_ECB_DECRYPT, 16, sIFP.data, plain.data());
    uint8_t expect[16] = {0};
    std::memcpy(expect, sRand.buf, sRand.len < 16 ? sRand.len : 16);
    if (CRYPTO_memcmp(plain.data(), expect, 16) != 0) {
        // Count the failure before answering; an image that cannot take the
        // count must not allow unlimited guesses.
        rec.tries--;
        if (RWSystemKey(1, n, &rec) != SW_OK)
            return SW_MEMORY_FAILURE;
        return WrongPinStatus(rec.tries);
    }
    if (rec.tries != rec.maxTries) {
        rec.tries = rec.maxTries;
        RWSystemKey(1, n, &rec);
    }
    if (rec.secBit < 16)
        sSecStatus = uint16_t(sSecStatus | (1u << rec.secBit));
    OPENSSL_cleanse(&sRand, sizeof sRand);
    return SW_OK;
}

uint16_t Ins_Internal_Authenticate()
{
    _key_info_ rec;
    cleanse_on_exit wipeRec(&rec, sizeof rec);
    uint16_t st = RWSystemKey(0, KEY_INTERNAL, &rec);
    if (st != SW_OK)
        return st;
    if (rec.no != KEY_INTERNAL)
        return SW_KEY_NOT_FOUND;
    sm4_crypt_ecb(rec.value, SM4_ECB_ENCRYPT, 16, sIFP.data, sIFP.reply);
    return SW_OK;
}
