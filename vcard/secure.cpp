#include "vcard/secure.h"

#include <cstring>

#include <openssl/crypto.h>

#include "smcrypto/ecurve.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"

int CheckSecure(uint32_t condition, uint16_t secStatus)
{
    if (condition == 0)
        return 1;
    if (condition == 0xFFFFFFFFu)
        return 0;
    uint16_t low = uint16_t(condition & 0xFFFF);
    if (low != 0)
        return (low & secStatus) != 0 ? 1 : 0;
    uint16_t high = uint16_t(condition >> 16);
    return (high & secStatus) == high ? 1 : 0;
}

namespace {

// Key type that key number n must carry; -1 for a number outside 1..11.
int KeyTypeOf(unsigned n)
{
    if (n == 1)
        return 0;
    if (n == 2)
        return 1;
    if (n >= 3 && n <= 5)
        return 2;
    if (n == 6)
        return 3;
    if (n >= 7 && n <= 10)
        return 4;
    if (n == 11)
        return 5;
    return -1;
}

}  // namespace

int SpecP1P2Check(_cmd_frame_ cmd)
{
    switch (cmd.INS) {
    case INS_INIT_SYSTEM_KEY:
    case INS_UPDATE_SYSTEM_KEY:
        if (cmd.INS == INS_UPDATE_SYSTEM_KEY && cmd.P1 == 1)
            return 0;  // the master key is never updated
        return KeyTypeOf(cmd.P1) >= 0 && KeyTypeOf(cmd.P1) == cmd.P2 ? 1 : 0;
    case INS_VERIFY_PIN:
        return cmd.P1 == 0 || cmd.P1 == 4 ? 1 : 0;
    default:
        return 1;
    }
}

int SpecLCCheck(_cmd_frame_ cmd)
{
    int lc = cmd.Lc;
    switch (cmd.INS) {
    case INS_VERIFY_PIN: {
        int pinLen = lc - int(cmd.P1);
        return pinLen >= 8 && pinLen <= 16 ? 1 : 0;
    }
    case INS_IMPORT_MATRIX: {
        // Matrix import: whole elements of the curve's block size plus the
        // CRC. A curve without a field length is left to the handler, which
        // refuses it by its P1 (no division by a size it does not have).
        int L = ecurve_param_len(cmd.P1 >> 4);
        if (L == 0)
            return lc >= 2 ? 1 : 0;
        int blk = (L + 15) / 16 * 16;
        return lc >= 2 + blk && (lc - 2) % blk == 0 ? 1 : 0;
    }
    case INS_CAL_ISK:
        return lc % 2 == 0 ? 1 : 0;
    case INS_SM4_ENCRYPT:
    case INS_SM4_DECRYPT:
        return lc % 16 == 0 ? 1 : 0;
    default:
        return 1;
    }
}

int SpecLECheck(_cmd_frame_ cmd)
{
    if (cmd.INS != INS_GEN_MATRIX && cmd.INS != INS_EXPORT_MATRIX)
        return 1;
    // A curve without a table entry has no field length: refuse rather than
    // divide by it.
    int L = ecurve_param_len(cmd.P1 >> 4);
    if (L == 0 || cmd.Le < 2)
        return 0;
    int unit = cmd.INS == INS_GEN_MATRIX ? 2 * L : (L + 15) / 16 * 16;
    return (cmd.Le - 2) % unit == 0 ? 1 : 0;
}

uint16_t ReviseDatType(uint16_t* dataType, _cmd_frame_ cmd)
{
    if (*dataType != 4)
        return SW_OK;
    if (cmd.INS == INS_SHA1 || cmd.INS == INS_SM3) {
        if (cmd.P1 == 0 || cmd.P1 == 3)
            *dataType = 3;
        else if (cmd.P1 == 1 || cmd.P1 == 2)
            *dataType = 1;
    } else if (cmd.INS == INS_ECC_OPEN_DE) {
        if (cmd.P2 == 0)
            *dataType = 1;
        else if (cmd.P2 == 1)
            *dataType = 3;
    }
    return SW_OK;
}

void ECalMac(const uint8_t key[16], const uint8_t start[16], const uint8_t* bytes, uint8_t n,
             uint8_t mac[4])
{
    if (n > 239)
        n = 239;  // the padded length must fit in one byte
    uint8_t work[240] = {0};
    std::memcpy(work, bytes, n);
    work[n] = 0x80;
    unsigned padded = (n / 16u + 1u) * 16u;
    uint8_t chain[16];
    cleanse_on_exit wipeWork(work, sizeof work), wipeChain(chain, sizeof chain);
    std::memcpy(chain, start, 16);
    for (unsigned off = 0; off < padded; off += 16) {
        for (unsigned i = 0; i < 16; ++i)
            chain[i] ^= work[off + i];
        sm4_crypt_ecb(key, SM4_ECB_ENCRYPT, 16, chain, chain);
    }
    std::memcpy(mac, chain, 4);
}

int ReviseMacPacket(uint8_t* raw, uint8_t macKey, _len_buf_* challenge, uint16_t* status,
                    _cmd_frame_ cmd)
{
    if (challenge->len == 0) {
        *status = SW_NO_CHALLENGE;
        return 0;
    }
    if (cmd.Lc < 4) {
        *status = SW_WRONG_LENGTH;
        return 0;
    }
    unsigned m = cmd.Lc - 4u;
    // The wrapped data is deciphered in whole SM4 blocks, and the MAC input
    // (header and data) must fit the MAC's one-byte padded length.
    if (m % 8 != 0 || m % 16 != 0 || 5u + m > 239u) {
        *status = SW_WRONG_LENGTH;
        return 0;
    }
    uint32_t keyNo = macKey;
    if (cmd.INS == INS_UPDATE_SYSTEM_KEY)
        keyNo = cmd.P1 == 2 ? 1 : 2;
    _key_info_ rec;
    cleanse_on_exit wipeRec(&rec, sizeof rec);   // holds the key value
    uint16_t st = RWSystemKey(0, keyNo, &rec);
    if (st != SW_OK) {
        *status = st;
        return 0;
    }
    if (rec.no != keyNo) {
        *status = SW_KEY_NOT_FOUND;
        return 0;
    }
    uint8_t start[16] = {0};
    std::memcpy(start, challenge->buf, challenge->len < 16 ? challenge->len : 16);
    uint8_t mac[4];
    ECalMac(rec.value, start, raw, uint8_t(5 + m), mac);
    // One challenge serves one command, whatever the MAC says.
    OPENSSL_cleanse(challenge, sizeof *challenge);
    if (CRYPTO_memcmp(mac, raw + 5 + m, 4) != 0) {
        *status = SW_MAC_WRONG;
        return 0;
    }
    if (m > 0)
        sm4_crypt_ecb(rec.value, SM4_ECB_DECRYPT, int(m), raw + 5, raw + 4);
    return 1;
}
