// Instructions that create and move key material: the secret key matrix
// (generate 0x40, export 0x42, import 0x44), identity private keys from the
// matrix (0x46), private-key import into a key slot (0x48), the transport key
// of a key application (0x4A) and the recovery of the inner secret (0x36,
// 0x38, 0x3A).
//
// Every handler computes into local buffers and copies to the reply only once
// the instruction has succeeded, so a refused command never carries key
// material; secrets on the stack are wiped before returning.
#include <openssl/crypto.h>

#include <cstring>

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"
#include "smcrypto/xor.h"
#include "vcard/InsDat.h"
#include "vcard/acos.h"
#include "vcard/cosecc.h"
#include "vcard/cosstate.h"
#include "vcard/eflash.h"
#include "vcard/esha.h"
#include "vcard/filesys.h"
#include "vcard/ins_keys.h"

namespace {

constexpr uint32_t MATRIX_AREA_SIZE = 0x10000;   // bytes of the key-matrix area

// Wipes a local buffer that held key material.
template <size_t N>
void Wipe(uint8_t (&buf)[N])
{
    OPENSSL_cleanse(buf, N);
}

// ---------------------------------------------------------------- key matrix

// One pass over count elements of the matrix area starting at byte start.
struct MatrixJob {
    uint8_t curve;
    uint32_t L;
    uint32_t blk;
    uint32_t start;
    uint32_t count;
};

uint16_t MatrixGenerate(const MatrixJob& job)
{
    uint8_t points[256] = {0};
    uint8_t work[256] = {0};
    uint16_t crc = 0;
    uint16_t sw = SW_OK;
    for (uint32_t i = 0; i < job.count; ++i) {
        uint8_t d[ECC_MAX_L] = {0};
        uint8_t P[2 * ECC_MAX_L] = {0};
        int rc = Chip_GenKey(job.curve, 0, d, P);
        if (rc != CHIP_OK) {
            Wipe(d);
            sw = ChipToStatus(rc);
            break;
        }
        std::memcpy(points + 2 * job.L * i, P, 2 * job.L);
        crc = ECalCrc16(crc, P, 2 * job.L);
        uint8_t element[32] = {0};
        std::memcpy(element, d, job.L);
        sm4_crypt_ecb(sInnerKey.buf, SM4_ECB_ENCRYPT, int(job.blk), element, work + job.blk * i);
        Wipe(element);
        Wipe(d);
    }
    if (sw == SW_OK &&
        FlashWrite(FS_MATRIX_OFF + job.start, work, job.blk * job.count) != 0)
        sw = SW_MEMORY_FAILURE;
    if (sw == SW_OK) {
        std::memcpy(sIFP.reply, points, 2 * job.L * job.count);
        PutCrc(sIFP.reply + 2 * job.L * job.count, crc);
    }
    Wipe(work);
    return sw;
}

uint16_t MatrixExport(const MatrixJob& job)
{
    uint8_t stored[256];
    uint8_t out[256] = {0};
    if (FlashRead(FS_MATRIX_OFF + job.start, stored, job.blk * job.count) != 0)
        return SW_MEMORY_FAILURE;
    uint16_t crc = 0;
    for (uint32_t i = 0; i < job.count; ++i) {
        uint8_t plain[32];
        sm4_crypt_ecb(sInnerKey.buf, SM4_ECB_DECRYPT, int(job.blk), stored + job.blk * i, plain);
        crc = ECalCrc16(crc, plain, job.blk);
        sm4_crypt_ecb(sSessonKey.buf, SM4_ECB_ENCRYPT, int(job.blk), plain, out + job.blk * i);
        Wipe(plain);
    }
    std::memcpy(sIFP.reply, out, job.blk * job.count);
    PutCrc(sIFP.reply + job.blk * job.count, crc);
    return SW_OK;
}

uint16_t MatrixImport(const MatrixJob& job)
{
    uint8_t work[256];
    uint16_t crc = 0;
    for (uint32_t i = 0; i < job.count; ++i) {
        uint8_t plain[32];
        sm4_crypt_ecb(sSessonKey.buf, SM4_ECB_DECRYPT, int(job.blk), sIFP.data + job.blk * i, plain);
        crc = ECalCrc16(crc, plain, job.blk);
        sm4_crypt_ecb(sInnerKey.buf, SM4_ECB_ENCRYPT, int(job.blk), plain, work + job.blk * i);
        Wipe(plain);
    }
    uint16_t sw = SW_OK;
    if (crc != GetCrc(sIFP.data + job.blk * job.count))
        sw = SW_CRC_FAILED;
    else if (FlashWrite(FS_MATRIX_OFF + job.start, work, job.blk * job.count) != 0)
        sw = SW_MEMORY_FAILURE;
    Wipe(work);
    return sw;
}

// ---------------------------------------------------------------- private keys

// 0x46: identity private key from the matrix elements named in the data.
uint16_t CalculateIdentityKey()
{
    if (!InnerKeyHeld())
        return SW_CONDITIONS_NOT_SATISFIED;
    if (sIFP.data == nullptr || sIFP.Lc % 2 != 0)
        return SW_WRONG_LENGTH;
    uint8_t out[ECC_MAX_L] = {0};
    cleanse_on_exit wipeOut(out, sizeof out);   // also when the calculation fails
    if (Chip_CalIsk(sIFP.P1, sIFP.data, sIFP.Lc, sInnerKey.buf, out) != CHIP_OK)
        return SW_KEY_NOT_FOUND;
    uint8_t L = GetParamLen(sIFP.P1);
    std::memcpy(sIFP.reply, out, L);
    sIFP.Le = L;
    Wipe(out);
    return SW_OK;
}

// Writes the curve of key file fid into the curve table (file 4). A missing
// table is created and filled in one step: when its 16 bytes cannot be
// written (a full card) it is removed again, so the next import starts
// afresh. A table shorter than 16 bytes (left so by a card that did not
// remove it) counts as zeros behind what it holds and is written whole.
uint16_t SetKeyCurve(uint8_t fid, uint8_t curve, uint8_t* was = nullptr)
{
    _file_info_ table{};
    uint8_t curves[CURVE_TABLE_LEN] = {0};
    uint16_t st = SelectFile(FID_CURVES, &table);
    const bool created = st == SW_FILE_NOT_FOUND;
    if (created)
        st = SelectOrCreate(FID_CURVES, CURVES_FILE_SIZE, &table);
    const uint16_t held = table.used < CURVE_TABLE_LEN ? table.used : CURVE_TABLE_LEN;
    if (st == FS_OK && held > 0)
        st = ReadCOSFile(table, 0, curves, held);
    if (st == FS_OK) {
        if (was)
            *was = curves[fid - FID_PRIVKEY];
        curves[fid - FID_PRIVKEY] = curve;
        st = WriteCOSFile(table, 0, curves, CURVE_TABLE_LEN);
    }
    if (st != FS_OK && created)
        DeleteCOSFile(FID_CURVES);
    return st;
}

// 0x48: private-key import. Every check runs before anything is written, so
// a refused import leaves the slot's key and its curve label as they were.
uint16_t ImportPrivateKey()
{
    const uint8_t fid = sIFP.P1;
    const uint8_t curve = sIFP.P2 >> 4;
    const bool plain = (sIFP.P2 & 0x0F) != 0;
    if (fid < FID_PRIVKEY || fid > FID_PRIVKEY + 15)
        return SW_WRONG_P1P2;
    const uint8_t L = GetParamLen(curve);
    if (L == 0)
        return SW_WRONG_P1P2;
    if (sIFP.data == nullptr || sIFP.Lc < 2 || uint32_t(sIFP.Lc) - 2 != L)
        return SW_WRONG_LENGTH;   // a scalar of another length would be stored as another key
    const uint32_t n = uint32_t(sIFP.Lc) - 2;

    uint8_t scalar[32] = {0};
    cleanse_on_exit wipeScalar(scalar, sizeof scalar);
    if (plain) {
        std::memcpy(scalar, sIFP.data, n);
    } else {
        uint8_t tk[TRANSPORT_KEY_LEN];
        cleanse_on_exit wipeTk(tk, sizeof tk);
        uint16_t st = ReadCardFile(FID_TRANSPORT, 0, tk, TRANSPORT_KEY_LEN);
        if (st == SW_FILE_NOT_FOUND)
            return SW_NO_SESSION_KEY;
        if (st != FS_OK)
            return st;
        Key_XOR(sIFP.data, int(n), tk, TRANSPORT_KEY_LEN, scalar);
        Wipe(tk);
    }
    uint16_t sw = SW_OK;
    if (ECalCrc16(0, scalar, L) != GetCrc(sIFP.data + n))
        sw = SW_CRC_FAILED;

    uint8_t secret[INNER_SECRET_LEN];
    if (sw == SW_OK) {
        uint16_t st = LoadInnerKey(1, nullptr, secret, sUsrPin);
        if (st != FS_OK) {
            sw = st;
        } else {
            sInnerKey.len = 16;
            std::memcpy(sInnerKey.buf, secret, 16);
        }
        Wipe(secret);
    }

    _file_info_ keyFile{};
    if (sw == SW_OK) {
        uint16_t st = SelectOrCreate(fid, PRIVKEY_FILE_SIZE, &keyFile);
        if (st != FS_OK)
            sw = st;
    }
    if (sw == SW_OK && fid == FID_PRIVKEY && keyFile.used > 0) {
        // Key slot 0 takes its key once.
        uint8_t held[PRIVKEY_FILE_SIZE];
        uint16_t len = keyFile.used < PRIVKEY_FILE_SIZE ? keyFile.used : PRIVKEY_FILE_SIZE;
        uint16_t st = ReadCOSFile(keyFile, 0, held, len);
        if (st != FS_OK)
            sw = st;
        else if (!BufIsZero(held, len))
            sw = SW_CONDITIONS_NOT_SATISFIED;
        Wipe(held);
    }
    uint8_t oldCurve = curve;
    if (sw == SW_OK) {
        uint16_t st = SetKeyCurve(fid, curve, &oldCurve);
        if (st != FS_OK)
            sw = st;
    }
    if (sw == SW_OK) {
        const uint32_t blk = CurveBlockLen(curve);
        uint8_t enc[32];
        sm4_crypt_ecb(sInnerKey.buf, SM4_ECB_ENCRYPT, int(blk), scalar, enc);
        uint16_t st = WriteCOSFile(keyFile, 0, enc, uint16_t(blk));
        if (st != FS_OK) {
            // The slot keeps its old key only when the new one is known not
            // to have landed; its curve label then goes back to the old key's.
            uint8_t now[32];
            uint16_t rd = ReadCardFile(fid, 0, now, uint16_t(blk));
            const bool landed = rd == FS_OK && CRYPTO_memcmp(now, enc, blk) == 0;
            if (landed)
                st = FS_OK;
            else if (rd != SW_MEMORY_FAILURE && oldCurve != curve)
                SetKeyCurve(fid, oldCurve);
            Wipe(now);
        }
        if (st != FS_OK)
            sw = st;
        Wipe(enc);
    }
    Wipe(scalar);
    return sw;
}

// 0x4A: key application on curve 0. The host's point Q gets k·Q back with the
// CRC of k·G; the card keeps the first 16 bytes of k·G as the transport key.
uint16_t ApplyTransportKey()
{
    constexpr uint8_t curve = 0;
    const uint32_t L = GetParamLen(curve);
    if (sIFP.data == nullptr || sIFP.Lc != 2 * L)
        return SW_WRONG_LENGTH;
    if (sIFP.Le != 2 * L + 2)
        return uint16_t(SW_WRONG_LE | (2 * L + 2));
    uint8_t kG[2 * ECC_MAX_L] = {0};
    uint8_t kQ[2 * ECC_MAX_L] = {0};
    int rc = Chip_GenDE(curve, sIFP.data, kG, kQ);
    uint16_t sw = rc == CHIP_OK ? SW_OK : ChipToStatus(rc);
    _file_info_ tkFile;
    if (sw == SW_OK) {
        uint16_t st = SelectOrCreate(FID_TRANSPORT, TRANSPORT_FILE_SIZE, &tkFile);
        if (st == FS_OK)
            st = WriteCOSFile(tkFile, 0, kG, TRANSPORT_KEY_LEN);
        if (st != FS_OK)
            sw = st;
    }
    if (sw == SW_OK) {
        std::memcpy(sIFP.reply, kQ, 2 * L);
        PutCrc(sIFP.reply + sIFP.Le - 2, ECalCrc16(0, kG, 2 * L));
    }
    Wipe(kG);
    return sw;
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

uint16_t ChipToStatus(int chipResult)
{
    return chipResult == CHIP_BAD_POINT ? SW_WRONG_DATA : SW_UNKNOWN;
}

int InnerKeyHeld() { return sInnerKey.len == 16 ? 1 : 0; }

uint32_t CurveBlockLen(uint8_t serial)
{
    return uint32_t(GetAdustLen(GetParamLen(serial), 16));
}

// ---------------------------------------------------------------- handlers

uint16_t Ins_Matrix()
{
    const uint8_t ins = sIFP.INS;
    if (ins != INS_GEN_MATRIX && ins != INS_EXPORT_MATRIX && ins != INS_IMPORT_MATRIX)
        return SW_INS_NOT_SUPPORTED;
    if (ins != INS_IMPORT_MATRIX)
        std::memset(sIFP.reply, 0, sIFP.Le);
    if (!InnerKeyHeld())
        return SW_CONDITIONS_NOT_SATISFIED;

    MatrixJob job{};
    job.curve = sIFP.P1 >> 4;
    job.L = GetParamLen(job.curve);
    if (job.L == 0)
        return SW_WRONG_P1P2;   // no curve: refused before any division by its size
    job.blk = CurveBlockLen(job.curve);

    if (ins == INS_GEN_MATRIX) {
        const uint32_t unit = 2 * job.L;
        if (sIFP.Le < 2 + unit || (sIFP.Le - 2) % unit != 0)
            return uint16_t(SW_WRONG_LE | (unit + 2));
        job.count = (sIFP.Le - 2) / unit;
    } else if (ins == INS_EXPORT_MATRIX) {
        if (sSessonKey.len != 16)
            return SW_NO_SESSION_KEY;
        if (sIFP.Le < 2 + job.blk || (sIFP.Le - 2) % job.blk != 0)
            return uint16_t(SW_WRONG_LE | (job.blk + 2));
        job.count = (sIFP.Le - 2) / job.blk;
    } else {
        if (sSessonKey.len != 16)
            return SW_NO_SESSION_KEY;
        if (sIFP.data == nullptr || sIFP.Lc < 2 + job.blk || (sIFP.Lc - 2) % job.blk != 0)
            return SW_WRONG_LENGTH;
        job.count = (sIFP.Lc - 2) / job.blk;
    }

    const uint32_t index = (uint32_t(sIFP.P1 & 0x0F) << 8) | sIFP.P2;
    job.start = job.blk * index;
    if (job.start > MATRIX_AREA_SIZE || job.start + job.blk * job.count > MATRIX_AREA_SIZE)
        return SW_WRONG_P1P2;

    if (ins == INS_GEN_MATRIX)
        return MatrixGenerate(job);
    if (ins == INS_EXPORT_MATRIX)
        return MatrixExport(job);
    return MatrixImport(job);
}

uint16_t Ins_Private_Key()
{
    switch (sIFP.INS) {
    case INS_CAL_ISK:
        return CalculateIdentityKey();
    case INS_WRITE_PRIKEY:
        return ImportPrivateKey();
    case INS_APPLY_PRIKEY:
        return ApplyTransportKey();
    default:
        return SW_INS_NOT_SUPPORTED;
    }
}

uint16_t Ins_Get_erG()
{
    uint8_t envelope[ENVELOPE_LEN];
    uint16_t st = ReadCardFile(FID_INNERKEY, ENVELOPE_OFF, envelope, ENVELOPE_LEN);
    if (st != FS_OK)
        return st;
    std::memcpy(sIFP.reply, envelope, ENVELOPE_LEN);
    sIFP.Le = ENVELOPE_LEN;
    return SW_OK;
}

// 0x38: stores the recovered inner secret under a new user PIN. The secret is
// checked against the CRC and SHA-1 that file 2 keeps of it before anything is
// written, so a wrong secret cannot destroy the keys it protects. The PIN cache
// (keyed by file 2's ciphertext) is switched off first, then file 2 is
// rewritten before the PIN record; a failed record write puts file 2 back
// under the old PIN while the record still holds it.
uint16_t Ins_Restore_rG()
{
    if (sIFP.data == nullptr || sIFP.Lc < INNER_SECRET_LEN + 8 || sIFP.Lc > INNER_SECRET_LEN + 16)
        return SW_WRONG_LENGTH;
    const uint8_t* secret = sIFP.data;
    const uint8_t* pin = sIFP.data + INNER_SECRET_LEN;
    const uint32_t pinLen = sIFP.Lc - INNER_SECRET_LEN;

    _file_info_ f2;
    uint16_t st = SelectFile(FID_INNERKEY, &f2);
    if (st != FS_OK)
        return st;
    _inner_key_info_ rec;
    st = ReadCOSFile(f2, 0, reinterpret_cast<uint8_t*>(&rec), sizeof rec);
    if (st != FS_OK)
        return st;
    uint8_t digest[20];
    cleanse_on_exit wipeDigest(digest, sizeof digest);
    ESHA1(secret, INNER_SECRET_LEN, digest);
    if (ECalCrc16(0, secret, INNER_SECRET_LEN) != GetCrc(rec.crc) ||
        CRYPTO_memcmp(digest, rec.sha1, sizeof digest) != 0)
        return SW_CRC_FAILED;

    _key_info_ pinRec;
    st = RWSystemKey(0, KEY_USER_PIN, &pinRec);
    if (st != SW_OK)
        return st;

    // The PIN cache goes off first: its block is keyed by file 2's cipher
    // text, and a block left beside a new cipher text would cost the user
    // PIN a try at every automatic verification.
    if (sDevInfo.cacheOn != 0 || sDevInfo.cacheDays != 0) {
        sDevInfo.cacheOn = 0;
        sDevInfo.cacheDays = 0;
        st = RWDeviceStatus(1, &sDevInfo);
        if (st != FS_OK)
            return st;
    }
    const uint8_t noCache[FS_PINCACHE_SIZE] = {0};
    if (FlashWrite(FS_PINCACHE_OFF, noCache, FS_PINCACHE_SIZE) != 0)
        return SW_MEMORY_FAILURE;

    uint8_t pinKey[16] = {0};
    std::memcpy(pinKey, pin, pinLen);
    uint8_t enc[INNER_SECRET_LEN];
    sm4_crypt_ecb(pinKey, SM4_ECB_ENCRYPT, INNER_SECRET_LEN, secret, enc);
    Wipe(pinKey);
    st = WriteCOSFile(f2, 0, enc, INNER_SECRET_LEN);
    if (st != FS_OK) {
        WriteCOSFile(f2, 0, rec.secret, INNER_SECRET_LEN);   // the record still holds the old PIN
        return st;
    }

    const _key_info_ oldRec = pinRec;
    ESHA1(pin, pinLen, digest);
    std::memcpy(reinterpret_cast<uint8_t*>(&pinRec) + 12, digest, sizeof digest);
    pinRec.tries = pinRec.maxTries;
    st = RWSystemKey(1, KEY_USER_PIN, &pinRec);
    if (st != SW_OK && !PinRecordHolds(KEY_USER_PIN, pinRec)) {
        // File 2 goes back under the old PIN only while the record is known
        // to hold the old PIN still.
        if (PinRecordHolds(KEY_USER_PIN, oldRec))
            WriteCOSFile(f2, 0, rec.secret, INNER_SECRET_LEN);
        return st;
    }
    return SW_OK;
}

uint16_t Ins_Get_eID()
{
    _file_info_ id;
    if (SelectFile(FID_IDENTITY, &id) != FS_OK)
        return SW_RECORD_LENGTH;
    if (id.used < IDENTITY_MIN_USED || id.used > IDENTITY_MAX_USED)
        return SW_RECORD_LENGTH;
    const uint16_t n = id.used - IDENTITY_TEXT_OFF;
    if (sIFP.Le < n)
        return uint16_t(SW_WRONG_LE | n);
    uint8_t text[IDENTITY_MAX_USED];
    uint16_t st = ReadCOSFile(id, IDENTITY_TEXT_OFF, text, n);
    if (st != FS_OK)
        return st;
    std::memcpy(sIFP.reply, text, n);
    sIFP.Le = uint8_t(n);
    return SW_OK;
}
