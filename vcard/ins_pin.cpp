// PIN instructions: verify, automatic verification from the PIN cache, unlock,
// reload, change and the PIN cache switch. PIN record number = P2 + 2.
#include <cstring>

#include <openssl/crypto.h>

#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"
#include "vcard/InsDat.h"
#include "vcard/cosstate.h"
#include "vcard/eflash.h"
#include "vcard/esha.h"
#include "vcard/filesys.h"

namespace {

constexpr unsigned PIN_MIN = PIN_LEN_MIN;
constexpr unsigned PIN_MAX = PIN_LEN_MAX;

uint32_t PinRecord() { return uint32_t(sIFP.P2) + 2; }

// The PIN zero-padded to 16 bytes, as it serves for an SM4 key.
void PadPin(const uint8_t* pin, unsigned len, uint8_t out[16])
{
    std::memset(out, 0, 16);
    std::memcpy(out, pin, len < 16 ? len : 16);
}

// Stores the device status; 0 or a status word.
uint16_t SaveDevInfo()
{
    return RWDeviceStatus(1, &sDevInfo);
}

// Writes the cached-PIN block: the PIN length, then the PIN enciphered under
// the first 16 bytes of the stored inner-secret cipher text. A null pin
// writes the all-zero block of a switched-off cache.
uint16_t WriteCacheBlock(const uint8_t* pin, unsigned len, const uint8_t* cipher)
{
    uint8_t block[FS_PINCACHE_SIZE] = {0};
    if (pin != nullptr) {
        PutLE32(block, len);
        secret_array<16> padded;
        PadPin(pin, len, padded.data());
        sm4_crypt_ecb(cipher, SM4_ECB_ENCRYPT, 16, padded.data(), block + 4);
    }
    uint16_t st = FlashWrite(FS_PINCACHE_OFF, block, sizeof block) == 0 ? FS_OK : SW_MEMORY_FAILURE;
    OPENSSL_cleanse(block, sizeof block);
    return st;
}

// Reads the first 48 bytes of card file 2. 0 or a status word.
uint16_t ReadSecretCipher(uint8_t out[INNER_SECRET_LEN], _file_info_* entry)
{
    uint16_t st = SelectFile(FID_INNERKEY, entry);
    if (st != FS_OK)
        return st;
    return ReadCOSFile(*entry, 0, out, INNER_SECRET_LEN);
}

// Deletes a card file that may be missing: FS_OK when it is gone, or the
// status of a delete that failed.
uint16_t DeleteIfPresent(uint8_t fid)
{
    uint16_t st = DeleteCardFile(fid);
    return st == SW_FILE_NOT_FOUND ? FS_OK : st;
}

// Sets bytes 12..31 of a PIN record to the SHA-1 digest of the PIN.
void SetPinDigest(_key_info_* rec, const uint8_t* pin, unsigned len)
{
    secret_array<20> digest;
    ESHA1(pin, len, digest.data());
    std::memcpy(rec->rfu + 4, digest.data(), 4);
    std::memcpy(rec->value, digest.data() + 4, 16);
}

}  // namespace

uint16_t Ins_Verify_PIN()
{
    unsigned pinLen = sIFP.Lc - sIFP.P1;
    if (sIFP.P1 == 4) {
        uint32_t date = GetLE32(sIFP.data + pinLen);
        sCurDate = date;
        if (date != sDevInfo.lastDate) {
            sDevInfo.lastDate = date;
            SaveDevInfo();
        }
    }
    return VerifyPin(PinRecord(), sIFP.data, uint8_t(pinLen), &sUsrPin, &sInnerKey, &sSecStatus);
}

uint16_t Ins_Auto_Verify()
{
    if (sDevInfo.cacheOn == 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    uint32_t date = GetLE32(sIFP.data);
    sCurDate = date;
    if (SurplusDays(int32_t(date), int32_t(sDevInfo.lastDate)) > int32_t(sDevInfo.cacheDays)) {
        // Beyond the day limit the cache goes off, and with it the cached PIN.
        sDevInfo.cacheOn = 0;
        SaveDevInfo();
        WriteCacheBlock(nullptr, 0, nullptr);
        return SW_CONDITIONS_NOT_SATISFIED;
    }
    if (date != sDevInfo.lastDate) {
        sDevInfo.lastDate = date;
        SaveDevInfo();
    }
    // The cipher text's first 16 bytes key the cached PIN.
    uint8_t cipher[INNER_SECRET_LEN];
    cleanse_on_exit wipeCipher(cipher, sizeof cipher);
    _file_info_ entry;
    uint16_t st = ReadSecretCipher(cipher, &entry);
    if (st != FS_OK)
        return st;
    uint8_t block[FS_PINCACHE_SIZE];
    cleanse_on_exit wipeBlock(block, sizeof block);
    if (FlashRead(FS_PINCACHE_OFF, block, sizeof block) != 0)
        return SW_MEMORY_FAILURE;
    uint32_t len = GetLE32(block);
    // The block comes from the image: a length no PIN can have is refused
    // before it costs the user PIN a try.
    if (len < PIN_MIN || len > PIN_MAX)
        return SW_CONDITIONS_NOT_SATISFIED;
    secret_array<16> pin;
    sm4_crypt_ecb(cipher, SM4_ECB_DECRYPT, 16, block + 4, pin.data());
    return VerifyPin(KEY_USER_PIN, pin.data(), uint8_t(len), &sUsrPin, &sInnerKey, &sSecStatus);
}

// Reads PIN record n, which must be blocked (no tries left), with its tries
// counter restored in rec; the record is not written.
static uint16_t ReadBlockedPin(uint32_t n, _key_info_* rec)
{
    uint16_t st = RWSystemKey(0, n, rec);
    if (st != SW_OK)
        return st;
    if (rec->tries != 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    rec->tries = rec->maxTries;
    return SW_OK;
}

uint16_t Ins_Unlock_PIN()
{
    uint32_t n = PinRecord();
    if (!HightLevelStatus(n, sSecStatus))
        return SW_CONDITIONS_NOT_SATISFIED;
    _key_info_ rec;
    uint16_t st = ReadBlockedPin(n, &rec);
    if (st != SW_OK)
        return st;
    return RWSystemKey(1, n, &rec);
}

uint16_t Ins_Reload_PIN()
{
    uint32_t n = PinRecord();
    if (!HightLevelStatus(n, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    _key_info_ rec;
    uint16_t st = ReadBlockedPin(n, &rec);
    if (st != SW_OK)
        return st;
    SetPinDigest(&rec, sIFP.data, sIFP.Lc);
    if (n == KEY_USER_PIN) {
        // The inner secret cannot be deciphered without the old PIN: the
        // user's keys go with it, and so do the held PIN, the inner key and
        // the PIN cache. All of that goes before the new PIN is stored: a
        // failure leaves the PIN blocked, and the reload can be repeated
        // (files already gone are skipped then), never a new PIN beside an
        // inner secret that it cannot open.
        OPENSSL_cleanse(&sUsrPin, sizeof sUsrPin);
        OPENSSL_cleanse(&sInnerKey, sizeof sInnerKey);
        st = DeleteIfPresent(FID_INNERKEY);
        for (uint8_t k = 0; st == FS_OK && k < 16; ++k) {
            st = DeleteIfPresent(uint8_t(FID_PRIVKEY + k));
            if (st == FS_OK)
                st = DeleteIfPresent(uint8_t(FID_PUBREC + k));
            if (st == FS_OK)
                st = DeleteIfPresent(uint8_t(FID_KEYID + k));
        }
        if (st == FS_OK) {
            sDevInfo.cacheOn = 0;
            sDevInfo.cacheDays = 0;
            st = SaveDevInfo();
        }
        if (st == FS_OK)
            st = WriteCacheBlock(nullptr, 0, nullptr);
        if (st != FS_OK)
            return st;
    }
    return RWSystemKey(1, n, &rec);
}

uint16_t Ins_Change_PIN()
{
    unsigned oldLen = sIFP.P1;
    if (sIFP.Lc < oldLen)
        return SW_WRONG_LENGTH;
    unsigned newLen = sIFP.Lc - oldLen;
    if (newLen < PIN_MIN || newLen > PIN_MAX)
        return SW_WRONG_LENGTH;
    const uint8_t* newPin = sIFP.data + oldLen;
    uint32_t n = PinRecord();
    uint16_t st = VerifyPin(n, sIFP.data, uint8_t(oldLen), &sUsrPin, &sInnerKey, &sSecStatus);
    if (st != SW_OK)
        return st;
    _key_info_ rec;
    st = RWSystemKey(0, n, &rec);
    if (st != SW_OK)
        return st;
    const _key_info_ oldRec = rec;
    SetPinDigest(&rec, newPin, newLen);

    if (n != KEY_USER_PIN)
        return RWSystemKey(1, n, &rec);

    // The user PIN protects the inner secret: re-encipher file 2 under the new
    // PIN first and store the record after it, so that a failed write never
    // leaves file 2 under a PIN that no record knows.
    // newCipher keys the cached PIN.
    uint8_t oldCipher[INNER_SECRET_LEN], newCipher[INNER_SECRET_LEN];
    cleanse_on_exit wipeNew(newCipher, sizeof newCipher);
    _file_info_ entry;
    st = SelectFile(FID_INNERKEY, &entry);
    if (st != FS_OK && st != SW_FILE_NOT_FOUND)
        return st;   // file 2 may exist: nothing is changed
    const bool haveSecret = st == FS_OK;
    if (haveSecret) {
        st = ReadCOSFile(entry, 0, oldCipher, INNER_SECRET_LEN);
        if (st != FS_OK)
            return st;
        secret_array<16> key;
        secret_array<INNER_SECRET_LEN> secret;
        sm4_crypt_ecb(sUsrPin.buf, SM4_ECB_DECRYPT, INNER_SECRET_LEN, oldCipher, secret.data());
        PadPin(newPin, newLen, key.data());
        sm4_crypt_ecb(key.data(), SM4_ECB_ENCRYPT, INNER_SECRET_LEN, secret.data(), newCipher);
        st = WriteCOSFile(entry, 0, newCipher, INNER_SECRET_LEN);
        if (st != FS_OK) {
            WriteCOSFile(entry, 0, oldCipher, INNER_SECRET_LEN);
            return st;
        }
    }
    st = RWSystemKey(1, n, &rec);
    if (st != SW_OK && !PinRecordHolds(n, rec)) {
        // File 2 goes back under the old PIN only while the record is known
        // to hold the old PIN still; a record that cannot be read is left
        // as the failed write left it.
        if (haveSecret && PinRecordHolds(n, oldRec))
            WriteCOSFile(entry, 0, oldCipher, INNER_SECRET_LEN);
        return st;
    }
    // The new record is stored (also when its write reported a failure after
    // the record had landed): the change is made.
    sUsrPin.len = newLen;
    PadPin(newPin, newLen, sUsrPin.buf);
    if (haveSecret && sDevInfo.cacheOn) {
        st = WriteCacheBlock(newPin, newLen, newCipher);
        if (st != FS_OK) {
            // The block still holds the old PIN under the old cipher text,
            // which no longer opens it: the cache goes off rather than
            // have the block cost the user PIN its tries.
            sDevInfo.cacheOn = 0;
            SaveDevInfo();
            return st;
        }
    }
    return SW_OK;
}

uint16_t Ins_Cache_PIN()
{
    if (sIFP.P1 == 1) {
        if (sIFP.P2 == 0)
            return SW_WRONG_P1P2;
        // Load (or create) the inner secret first: the cache goes on only
        // when there is a cipher text to key the cached PIN with.
        uint8_t cipher[INNER_SECRET_LEN];
        cleanse_on_exit wipeCipher(cipher, sizeof cipher);
        uint16_t st = LoadInnerKey(1, cipher, nullptr, sUsrPin);
        if (st != FS_OK)
            return st;
        sDevInfo.cacheOn = 1;
        sDevInfo.cacheDays = sIFP.P2;
        st = SaveDevInfo();
        if (st != FS_OK)
            return st;
        st = WriteCacheBlock(sUsrPin.buf, sUsrPin.len, cipher);
        return st != FS_OK ? st : SW_OK;
    }
    sDevInfo.cacheOn = 0;
    sDevInfo.cacheDays = 0;
    SaveDevInfo();
    uint16_t st = WriteCacheBlock(nullptr, 0, nullptr);
    return st != FS_OK ? st : SW_OK;
}
