// Instructions that compute with keys and data: SM4 with the card's symmetric
// key or the session key (0x50, 0x52), SHA-1 and SM3 (0x54, 0x56), ECDSA
// (0xC2, 0xC4), digital envelopes (0xC6, 0xC8), ECDH (0xCC) and SM2 (0x70,
// 0x72, 0x74, 0x76).
//
// Results are computed into local buffers and reach the reply only on
// success; private keys and shared points on the stack are wiped afterwards.
#include <openssl/crypto.h>

#include <cstring>

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm2.h"
#include "smcrypto/sm3.h"
#include "smcrypto/sm4.h"
#include "vcard/InsDat.h"
#include "vcard/acos.h"
#include "vcard/cosecc.h"
#include "vcard/cosstate.h"
#include "vcard/esha.h"
#include "vcard/ins_keys.h"

namespace {

constexpr uint8_t CURVE_PRIME256V1 = 4;
constexpr uint8_t CURVE_SM2P256V1 = 5;
constexpr uint32_t SM2_OVERHEAD = 97;   // C1 (65) and C3 (32)

// A private key fetched from its key file, wiped when it goes out of scope.
struct CardKey {
    uint8_t d[32] = {0};
    uint8_t curve = 0;
    uint32_t L = 0;
    ~CardKey() { OPENSSL_cleanse(d, sizeof d); }
};

// Fetches the key of private-key file fid under the inner key. Without a
// loaded inner key every key would unwrap to garbage: SW_CONDITIONS_NOT_SATISFIED.
uint16_t FetchKey(uint8_t fid, CardKey* key)
{
    if (!InnerKeyHeld())
        return SW_CONDITIONS_NOT_SATISFIED;
    uint16_t st = GetPrivateKey(fid, sInnerKey.buf, key->d, &key->curve);
    if (st != SW_OK)
        return st;
    key->L = GetParamLen(key->curve);
    return key->L == 0 ? SW_KEY_NOT_FOUND : SW_OK;
}

// The same for the SM2 instructions, which use the key as an sm2p256v1
// scalar: only 32-byte keys (curves 4 and 5) qualify.
uint16_t FetchSm2Key(uint8_t fid, CardKey* key)
{
    uint16_t st = FetchKey(fid, key);
    if (st == SW_OK && key->curve != CURVE_PRIME256V1 && key->curve != CURVE_SM2P256V1)
        st = SW_WRONG_P1P2;
    return st;
}

void SetSessionKey(const uint8_t* point)
{
    sSessonKey.len = 16;
    std::memcpy(sSessonKey.buf, point, 16);
}

// One-shot, start, update or final of a SHA-1 or SM3 stream.
uint16_t Hash(bool sha1)
{
    const uint8_t D = sha1 ? 20 : 32;
    uint8_t& state = sha1 ? sSha1Status : sSM3Status;
    const uint8_t* data = sIFP.data;
    const uint32_t len = sIFP.Lc;
    if (data == nullptr || len == 0)
        return SW_WRONG_LENGTH;
    uint8_t digest[32];
    switch (sIFP.P1) {
    case 0:
        if (sIFP.Le != D)
            return uint16_t(SW_WRONG_LE | D);
        if (state != HASH_IDLE)
            return SW_WRONG_P1P2;
        if (sha1)
            ESHA1(data, len, digest);
        else
            SM3(data, int(len), digest);
        break;
    case 1:
        if (state != HASH_IDLE)
            return SW_WRONG_P1P2;
        state = HASH_STARTED;
        if (sha1) {
            ESHA1_Init(&sSha1Ctx);
            ESHA1_Update(&sSha1Ctx, data, len);
        } else {
            SM3_Init(&sSM3Ctx);
            SM3_Update(&sSM3Ctx, data, len);
        }
        return SW_OK;
    case 2:
        if (state != HASH_STARTED && state != HASH_UPDATING)
            return SW_WRONG_P1P2;
        state = HASH_UPDATING;
        if (sha1)
            ESHA1_Update(&sSha1Ctx, data, len);
        else
            SM3_Update(&sSM3Ctx, data, len);
        return SW_OK;
    case 3:
        if (sIFP.Le != D)
            return uint16_t(SW_WRONG_LE | D);
        if (state != HASH_STARTED && state != HASH_UPDATING)
            return SW_WRONG_P1P2;
        state = HASH_IDLE;
        if (sha1) {
            ESHA1_Update(&sSha1Ctx, data, len);
            ESHA1_Final(sSha1Ctx, digest);
        } else {
            SM3_Update(&sSM3Ctx, data, len);
            SM3_Final(sSM3Ctx, digest);
        }
        break;
    default:
        return SW_WRONG_P1P2;
    }
    std::memcpy(sIFP.reply, digest, D);
    sIFP.Le = D;
    return SW_OK;
}

uint16_t Sm2Sign()
{
    CardKey key;
    uint16_t st = FetchSm2Key(sIFP.P1, &key);
    if (st != SW_OK)
        return st;
    if (sIFP.data == nullptr || sIFP.Lc != 32)
        return SW_WRONG_LENGTH;
    uint8_t sig[64];
    if (SM2_Sign(key.d, sIFP.data, sig) != 0)
        return SW_UNKNOWN;
    std::memcpy(sIFP.reply, sig, sizeof sig);
    sIFP.Le = uint8_t(2 * key.L);
    return SW_OK;
}

uint16_t Sm2Verify()
{
    if (sIFP.data == nullptr || sIFP.Lc != 32 + 64 + 64)
        return SW_WRONG_LENGTH;
    const uint8_t* e = sIFP.data;
    const uint8_t* pub = sIFP.data + 32;
    const uint8_t* sig = sIFP.data + 96;
    return SM2_Verify(pub, e, sig) == 0 ? SW_OK : SW_SIGNATURE_INVALID;
}

uint16_t Sm2Encrypt()
{
    if (sIFP.data == nullptr || sIFP.Lc <= 64)
        return SW_WRONG_LENGTH;
    const uint32_t m = uint32_t(sIFP.Lc) - 64;
    uint8_t out[256];
    int outLen = 255;
    int rc = SM2_Encrypt(sIFP.data, sIFP.data + 64, m, out, &outLen);
    if (rc == SM2_ERR_POINT)
        return SW_WRONG_DATA;
    if (rc != SM2_OK || outLen <= 0 || outLen > 255)
        return SW_UNKNOWN;
    std::memcpy(sIFP.reply, out, size_t(outLen));
    sIFP.Le = uint8_t(outLen);
    return SW_OK;
}

// 0x76: the card's step of an SM2 challenge. A ciphertext that SM2 refuses
// (C3 does not match, C1 off the curve) answers SW_WRONG_DATA with no data, so no
// unchecked plaintext ever leaves the card.
uint16_t Sm2Decrypt()
{
    CardKey key;
    uint16_t st = FetchSm2Key(sIFP.P1, &key);
    if (st != SW_OK)
        return st;
    if (sIFP.data == nullptr || sIFP.Lc <= SM2_OVERHEAD)
        return SW_WRONG_LENGTH;
    secret_array<256> out;
    uint32_t outLen = 0;
    int rc = SM2_Decrypt(key.d, sIFP.data, sIFP.Lc, out.data(), &outLen);
    uint16_t sw = SW_WRONG_DATA;
    if (rc == SM2_OK && outLen == sIFP.Lc - SM2_OVERHEAD) {
        std::memcpy(sIFP.reply, out.data(), outLen);
        sIFP.Le = uint8_t(outLen);
        sw = SW_OK;
    }
    return sw;
}

}  // namespace

uint16_t Ins_Symmetrical()
{
    if (sIFP.INS != INS_SM4_ENCRYPT && sIFP.INS != INS_SM4_DECRYPT)
        return SW_INS_NOT_SUPPORTED;
    if (sIFP.Le != sIFP.Lc)
        return uint16_t(SW_WRONG_LE | sIFP.Lc);
    if (sIFP.data == nullptr || sIFP.Lc == 0 || sIFP.Lc % 16 != 0)
        return SW_WRONG_LENGTH;
    secret_array<16> key;
    if (sIFP.P1 == 0) {
        _key_info_ rec;
        cleanse_on_exit wipeRec(&rec, sizeof rec);
        uint16_t st = RWSystemKey(0, KEY_SYMMETRIC, &rec);
        if (st != SW_OK)
            return st;
        if (rec.no != KEY_SYMMETRIC)
            return SW_KEY_NOT_FOUND;
        std::memcpy(key.data(), rec.value, key.size());
    } else if (sIFP.P1 == 1) {
        if (sSessonKey.len != 16)
            return SW_NO_SESSION_KEY;
        std::memcpy(key.data(), sSessonKey.buf, key.size());
    } else {
        return SW_WRONG_P1P2;
    }
    const int mode = sIFP.INS == INS_SM4_ENCRYPT ? SM4_ECB_ENCRYPT : SM4_ECB_DECRYPT;
    sm4_crypt_ecb(key.data(), mode, sIFP.Lc, sIFP.data, sIFP.reply);
    return SW_OK;
}

uint16_t Ins_HASH()
{
    if (sIFP.INS != INS_SHA1 && sIFP.INS != INS_SM3)
        return SW_INS_NOT_SUPPORTED;
    return Hash(sIFP.INS == INS_SHA1);
}

uint16_t Ins_ECDSA_Sign()
{
    CardKey key;
    uint16_t st = FetchKey(sIFP.P1, &key);
    if (st != SW_OK)
        return st;
    if (sIFP.data == nullptr || sIFP.Lc < 20 || sIFP.Lc > 32)
        return SW_WRONG_LENGTH;
    uint8_t digest[32] = {0};
    std::memcpy(digest, sIFP.data, sIFP.Lc);
    uint8_t sig[2 * ECC_MAX_L] = {0};
    int rc = Chip_ECDSA_Sign(key.curve, digest, key.d, sig);
    if (rc != CHIP_OK)
        return ChipToStatus(rc);
    std::memcpy(sIFP.reply, sig, 2 * key.L);
    sIFP.Le = uint8_t(2 * key.L);
    return SW_OK;
}

uint16_t Ins_ECDSA_Verify()
{
    const uint8_t digestLen = sIFP.P1;
    const uint8_t curve = sIFP.P2;
    const uint32_t L = GetParamLen(curve);
    if (L == 0)
        return SW_WRONG_P1P2;
    if (digestLen < 20 || digestLen > 32)
        return SW_WRONG_P1P2;
    // Digest, signature and public point must all be in the data.
    if (sIFP.data == nullptr || sIFP.Lc < digestLen + 4 * L)
        return SW_WRONG_LENGTH;
    const uint8_t* sig = sIFP.data + digestLen;
    const uint8_t* Q = sig + 2 * L;
    int rc = Chip_ECDSA_Verify(curve, sIFP.data, Q, sig);
    if (rc == CHIP_OK)
        return SW_OK;
    return rc == CHIP_BAD_POINT ? SW_WRONG_DATA : SW_SIGNATURE_INVALID;
}

// 0xC6: an envelope for the host's point Q: k·Q and the CRC of k·G go back,
// the first 16 bytes of k·G become the session key.
uint16_t Ins_ECC_GenDE()
{
    const uint8_t curve = sIFP.P1;
    const uint32_t L = GetParamLen(curve);
    if (L == 0)
        return SW_WRONG_P1P2;
    if (sIFP.data == nullptr || sIFP.Lc != 2 * L)
        return SW_WRONG_LENGTH;
    if (sIFP.Le != 2 * L + 2)
        return uint16_t(SW_WRONG_LE | (2 * L + 2));
    uint8_t kG[2 * ECC_MAX_L] = {0};
    cleanse_on_exit wipeKG(kG, sizeof kG);   // the session key's source
    uint8_t kQ[2 * ECC_MAX_L] = {0};
    int rc = Chip_GenDE(curve, sIFP.data, kG, kQ);
    if (rc != CHIP_OK)
        return ChipToStatus(rc);
    std::memcpy(sIFP.reply, kQ, 2 * L);
    PutCrc(sIFP.reply + 2 * L, ECalCrc16(0, kG, 2 * L));
    SetSessionKey(kG);
    return SW_OK;
}

// 0xC8: opens an envelope with the key of file P1. The opened point must match
// the envelope's CRC; P2 0 keeps it as the session key, P2 1 returns it.
uint16_t Ins_ECC_OpenDE()
{
    CardKey key;
    uint16_t st = FetchKey(sIFP.P1, &key);
    if (st != SW_OK)
        return st;
    const uint32_t L = key.L;
    if (sIFP.P2 > 1)
        return SW_WRONG_P1P2;
    if (sIFP.P2 == 1 && sIFP.Le != 2 * L)
        return uint16_t(SW_WRONG_LE | (2 * L));
    if (sIFP.data == nullptr || sIFP.Lc != 2 * L + 2)
        return SW_WRONG_LENGTH;
    uint8_t kG[2 * ECC_MAX_L] = {0};
    int rc = Chip_OpenDE(key.curve, sIFP.data, key.d, kG);
    uint16_t sw = SW_OK;
    if (rc != CHIP_OK) {
        sw = ChipToStatus(rc);
    } else {
        if (ECalCrc16(0, kG, 2 * L) != GetCrc(sIFP.data + 2 * L))
            sw = SW_CRC_FAILED;
    }
    if (sw == SW_OK) {
        if (sIFP.P2 == 0) {
            SetSessionKey(kG);
            sIFP.Le = 0;
        } else {
            std::memcpy(sIFP.reply, kG, 2 * L);
        }
    }
    OPENSSL_cleanse(kG, sizeof kG);
    return sw;
}

uint16_t Ins_ECC_ECDH()
{
    if (sIFP.Le != sIFP.Lc)
        return uint16_t(SW_WRONG_LE | sIFP.Lc);
    if (GetParamLen(sIFP.P2) == 0)
        return SW_WRONG_P1P2;
    CardKey key;
    uint16_t st = FetchKey(sIFP.P1, &key);
    if (st != SW_OK)
        return st;
    if (key.curve != sIFP.P2)
        return SW_WRONG_P1P2;
    const uint32_t L = key.L;
    if (sIFP.data == nullptr || sIFP.Lc != 2 * L)
        return SW_WRONG_LENGTH;
    uint8_t shared[2 * ECC_MAX_L] = {0};
    cleanse_on_exit wipeShared(shared, sizeof shared);
    int rc = Chip_ECDH(key.curve, sIFP.data, key.d, shared);
    if (rc != CHIP_OK)
        return ChipToStatus(rc);
    std::memcpy(sIFP.reply, shared, 2 * L);
    return SW_OK;
}

uint16_t Ins_SM2()
{
    switch (sIFP.INS) {
    case INS_SM2_SIGN:
        return Sm2Sign();
    case INS_SM2_VERIFY:
        return Sm2Verify();
    case INS_SM2_ENCRYPT:
        return Sm2Encrypt();
    case INS_SM2_DECRYPT:
        return Sm2Decrypt();
    default:
        return SW_INS_NOT_SUPPORTED;
    }
}
