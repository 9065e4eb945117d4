#include "vcard/acos.h"

#include <cstring>
#include <openssl/crypto.h>

#include "smcrypto/little.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"
#include "vcard/cosecc.h"
#include "vcard/default_pins.h"
#include "vcard/eflash.h"
#include "vcard/esha.h"
#include "vcard/filesys.h"

namespace {


constexpr uint8_t INNER_CURVE = 0;     // curve of the inner secret (prime192v1, L = 24)

// PIN record bytes 16..31 hold SHA-1 digest bytes 4..19 of the PIN.
void PinDigest(const uint8_t* pin, uint32_t len, uint8_t digest[20]) { ESHA1(pin, len, digest); }

// A key-record read that found no record: no key file, or the record lies
// at or beyond the key file's used length. Any other failure (the image
// could not be read, a damaged chain) says nothing about the record.
bool RecordAbsent(uint16_t sw)
{
    return sw == SW_FILE_NOT_FOUND || sw == SW_KEY_NOT_FOUND || uint16_t(sw & ~SW_LE_MASK) == SW_WRONG_LE;
}

}  // namespace

int BufIsZero(const uint8_t* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (p[i])
            return 0;
    return 1;
}

int32_t GetDays(int32_t date)
{
    static const int32_t before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    int32_t y = date / 10000, m = (date % 10000) / 100, d = date % 100;
    int32_t c = (m >= 1 && m <= 12) ? before[m - 1] : 0;
    return 365 * y - 730000 + c + d;
}

int32_t SurplusDays(int32_t a, int32_t b) { return GetDays(a) - GetDays(b); }

int GetAdustLen(int n, uint8_t block)
{
    if (block == 0 || n % block == 0)
        return n;
    return n + (block - n % block);
}

uint16_t ECalCrc16(uint16_t start, const uint8_t* p, uint32_t n)
{
    uint16_t crc = start;
    for (uint32_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint16_t RWSystemKey(uint8_t write, uint32_t n, _key_info_* record)
{
    _file_info_ e;
    uint16_t sw = SelectFile(FID_KEYS, &e);
    if (sw != FS_OK)
        return sw;
    if (n < 1 || n > KEY_RECORD_MAX)
        return SW_KEY_NOT_FOUND;
    const uint16_t off = static_cast<uint16_t>(KEY_RECORD_SIZE * (n - 1));
    uint8_t* raw = reinterpret_cast<uint8_t*>(record);
    if (write)
        sw = WriteCOSFile(e, off, raw, KEY_RECORD_SIZE);
    else if (off > e.used)
        return SW_KEY_NOT_FOUND;
    else
        sw = ReadCOSFile(e, off, raw, KEY_RECORD_SIZE);
    return sw != FS_OK ? sw : SW_OK;
}

uint16_t RWDeviceStatus(uint8_t write, _dev_info_* record)
{
    _file_info_ e;
    uint16_t sw = SelectFile(FID_DEVINFO, &e);
    if (sw != FS_OK)
        return sw;
    _dev_info_ le;
    if (write) {
        le = *record;
        le.cacheDays = swap16(record->cacheDays);
        le.lastDate = swap32(record->lastDate);
        return WriteCOSFile(e, 0, reinterpret_cast<const uint8_t*>(&le), sizeof le);
    }
    sw = ReadCOSFile(e, 0, reinterpret_cast<uint8_t*>(&le), sizeof le);
    if (sw != FS_OK)
        return sw;
    le.cacheDays = swap16(le.cacheDays);
    le.lastDate = swap32(le.lastDate);
    *record = le;
    return FS_OK;
}

uint16_t WriteCosKey(uint8_t update, const uint8_t* value, int length, uint32_t number,
                     uint32_t type)
{
    _key_info_ rec;
    cleanse_on_exit wipeRec(&rec, sizeof rec);   // holds the key value
    if (!update) {
        if (length < 24)
            return SW_WRONG_LENGTH;
        // Record bytes 8..15 stay as the stored record has them (zero when
        // there is none); the header and the key value are replaced.
        std::memset(&rec, 0, sizeof rec);
        uint16_t sw = RWSystemKey(0, number, &rec);
        if (sw == SW_OK) {
            if (rec.no == KEY_MASTER)
                return SW_CONDITIONS_NOT_SATISFIED;   // the master key is installed only once
        } else if (RecordAbsent(sw)) {
            std::memset(&rec, 0, sizeof rec);
        } else {
            return sw;   // a record that could not be read may be the master key
        }
        std::memcpy(&rec, value, 8);
        std::memcpy(rec.value, value + 8, 16);
        if (rec.no != number || rec.type != type)
            return SW_WRONG_DATA;
        return RWSystemKey(1, number, &rec);
    }
    if (length < 16)
        return SW_WRONG_LENGTH;
    uint16_t sw = RWSystemKey(0, number, &rec);
    if (sw == SW_KEY_NOT_FOUND)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (sw != SW_OK)
        return sw;
    if (rec.no == 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    std::memcpy(rec.value, value, 16);
    if (rec.no != number || rec.type != type)
        return SW_WRONG_P1P2;
    return RWSystemKey(1, number, &rec);
}

int PinRecordHolds(uint32_t n, const _key_info_& want)
{
    _key_info_ now;
    if (RWSystemKey(0, n, &now) != SW_OK)
        return 0;
    return CRYPTO_memcmp(now.value, want.value, sizeof now.value) == 0 &&
           CRYPTO_memcmp(now.rfu + 4, want.rfu + 4, 4) == 0;
}

uint16_t WrongPinStatus(uint32_t triesLeft)
{
    return static_cast<uint16_t>(SW_WRONG_PIN | (triesLeft < SW_TRIES_MASK ? triesLeft : SW_TRIES_MASK));
}

int HightLevelStatus(uint32_t n, uint16_t secStatus)
{
    for (uint32_t b = 3; b < n && b < 16; ++b)
        if (secStatus & (1u << b))
            return 1;
    return 0;
}

uint16_t VerifyPin(uint32_t n, const uint8_t* pin, uint8_t pinLen, _len_buf_* usrPin,
                   _len_buf_* innerKey, uint16_t* secStatus)
{
    _key_info_ rec;
    uint16_t sw = RWSystemKey(0, n, &rec);
    if (sw != SW_OK)
        return sw;
    if (rec.tries == 0)
        return SW_AUTH_BLOCKED;

    // The try is counted on the card before the PIN is compared; an image
    // whose counter cannot be written back gets no answer, so it cannot be
    // used for unlimited guessing. A right PIN restores the counter.
    const uint8_t triesLeft = static_cast<uint8_t>(rec.tries - 1);
    rec.tries = triesLeft;
    if (RWSystemKey(1, n, &rec) != SW_OK)
        return SW_MEMORY_FAILURE;

    secret_array<20> digest;
    PinDigest(pin, pinLen, digest.data());
    const bool right = CRYPTO_memcmp(digest.data() + 4, rec.value, 16) == 0;
    const uint16_t bit = rec.secBit < 16 ? static_cast<uint16_t>(1u << rec.secBit) : 0;

    if (!right) {
        if (n == KEY_USER_PIN)
            OPENSSL_cleanse(innerKey, sizeof *innerKey);
        *secStatus = static_cast<uint16_t>(*secStatus & ~bit);
        return WrongPinStatus(triesLeft);
    }

    if (rec.maxTries != triesLeft) {
        rec.tries = rec.maxTries;
        RWSystemKey(1, n, &rec);   // a failed restore leaves the card on the safe side
    }
    *secStatus = static_cast<uint16_t>(*secStatus | bit);
    if (n == KEY_USER_PIN) {
        const uint32_t len = pinLen < 16 ? pinLen : 16;
        OPENSSL_cleanse(usrPin, sizeof *usrPin);
        usrPin->len = len;
        std::memcpy(usrPin->buf, pin, len);
        if (innerKey->len == 0) {
            secret_array<INNER_SECRET_LEN> secret;
            if (LoadInnerKey(0, nullptr, secret.data(), *usrPin) == FS_OK) {
                innerKey->len = 16;
                std::memcpy(innerKey->buf, secret.data(), 16);
            } else {
                OPENSSL_cleanse(innerKey, sizeof *innerKey);
            }
        }
    }
    return SW_OK;
}

uint16_t LoadInnerKey(int create, uint8_t* cipherOut, uint8_t* secretOut, const _len_buf_& usrPin)
{
    if (usrPin.len == 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    _inner_key_info_ rec;
    secret_array<INNER_SECRET_LEN> secret;
    _file_info_ e;
    uint16_t sw = SelectFile(FID_INNERKEY, &e);
    if (sw == FS_OK) {
        sw = ReadCOSFile(e, 0, reinterpret_cast<uint8_t*>(&rec), sizeof rec);
        if (sw == SW_MEMORY_FAILURE)
            return sw;
        if (sw != FS_OK)
            return SW_CONDITIONS_NOT_SATISFIED;   // a short record is a damaged one
        sm4_crypt_ecb(usrPin.buf, SM4_ECB_DECRYPT, INNER_SECRET_LEN, rec.secret, secret.data());
        secret_array<20> digest;
        ESHA1(secret.data(), INNER_SECRET_LEN, digest.data());
        if (CRYPTO_memcmp(digest.data(), rec.sha1, 20) != 0) {
            return SW_CONDITIONS_NOT_SATISFIED;   // wrong PIN record, or a foreign or damaged file 2
        }
    } else if (sw != SW_FILE_NOT_FOUND) {
        return sw;
    } else if (!create) {
        return SW_FILE_NOT_FOUND;
    } else {
        _file_info_ id;
        sw = SelectFile(FID_IDENTITY, &id);
        if (sw != FS_OK)
            return sw;
        if (id.used < IDENTITY_MIN_USED || id.used > IDENTITY_MAX_USED)
            return SW_RECORD_LENGTH;
        uint8_t point[INNER_SECRET_LEN];
        sw = ReadCOSFile(id, 0, point, sizeof point);
        if (sw != FS_OK)
            return sw;
        // Everything is computed before file 2 is created, so a failure
        // leaves the card without file 2 rather than with a useless one.
        uint8_t r[24] = {};
        int rc = Chip_GenKey(INNER_CURVE, 0, r, secret.data());
        if (rc == CHIP_OK) {
            std::memcpy(rec.envelope, point, sizeof point);
            rc = Chip_GenKey(INNER_CURVE, 1, r, rec.envelope);
        }
        OPENSSL_cleanse(r, sizeof r);
        if (rc != CHIP_OK) {
            return rc == CHIP_BAD_POINT ? SW_WRONG_DATA : SW_UNKNOWN;
        }
        sm4_crypt_ecb(usrPin.buf, SM4_ECB_ENCRYPT, INNER_SECRET_LEN, secret.data(), rec.secret);
        const uint16_t crc = ECalCrc16(0, secret.data(), INNER_SECRET_LEN);
        rec.crc[0] = static_cast<uint8_t>(crc);
        rec.crc[1] = static_cast<uint8_t>(crc >> 8);
        ESHA1(secret.data(), INNER_SECRET_LEN, rec.sha1);
        _file_info_ f2;
        sw = SelectOrCreate(FID_INNERKEY, INNERKEY_FILE_SIZE, &f2);
        if (sw == FS_OK)
            sw = WriteCOSFile(f2, 0, reinterpret_cast<const uint8_t*>(&rec), sizeof rec);
        if (sw != FS_OK) {
            DeleteCOSFile(FID_INNERKEY);
            return sw;
        }
    }
    if (cipherOut)
        std::memcpy(cipherOut, rec.secret, INNER_SECRET_LEN);
    if (secretOut)
        std::memcpy(secretOut, secret.data(), INNER_SECRET_LEN);
    return FS_OK;
}

uint16_t GetPrivateKey(uint8_t fid, const uint8_t* innerKey, uint8_t* out, uint8_t* curve)
{
    if (fid < FID_PRIVKEY || fid > FID_PRIVKEY + KEY_SLOT_MAX)
        return SW_KEY_NOT_FOUND;
    _file_info_ key;
    uint16_t sw = SelectFile(fid, &key);
    if (sw == SW_MEMORY_FAILURE)
        return sw;
    if (sw != FS_OK || key.used < 16)
        return SW_KEY_NOT_FOUND;
    uint8_t table[16];
    sw = ReadCardFile(FID_CURVES, 0, table, sizeof table);
    if (sw != FS_OK)
        return sw;
    const uint8_t serial = table[fid - FID_PRIVKEY];
    const uint8_t L = GetParamLen(serial);
    if (L == 0)
        return SW_KEY_NOT_FOUND;
    const uint16_t B = static_cast<uint16_t>(GetAdustLen(L, 16));
    if (key.used < B)
        return SW_KEY_NOT_FOUND;
    uint8_t stored[32];
    sw = ReadCOSFile(key, 0, stored, B);
    if (sw != FS_OK)
        return sw;
    *curve = serial;
    sm4_crypt_ecb(innerKey, SM4_ECB_DECRYPT, B, stored, out);
    return SW_OK;
}

namespace {

// Default PIN record n (3, 4 or 5) as the first start writes it.
void DefaultPinRecord(uint32_t n, _key_info_* rec)
{
    *rec = {};
    rec->no = static_cast<uint8_t>(n);
    rec->ordinal = static_cast<uint8_t>(n - KEY_PIN0);
    rec->type = 2;
    rec->secBit = static_cast<uint8_t>(n);
    rec->no2 = static_cast<uint8_t>(n);
    rec->maxTries = 5;
    rec->tries = 5;
    secret_array<DEFAULT_PIN_LEN> pin;
    secret_array<20> digest;
    BuildDefaultPin(n - KEY_PIN0, pin.data());
    PinDigest(pin.data(), DEFAULT_PIN_LEN, digest.data());
    std::memcpy(rec->rfu + 4, digest.data(), 4);
    std::memcpy(rec->value, digest.data() + 4, 16);
}

}  // namespace

uint16_t InitPin()
{
    SelectOrCreate(FID_KEYS, KEYS_FILE_SIZE, nullptr);   // the records are written in any case
    for (uint32_t n = KEY_PIN0; n <= KEY_USER_PIN; ++n) {
        _key_info_ rec;
        DefaultPinRecord(n, &rec);
        uint16_t sw = RWSystemKey(1, n, &rec);
        OPENSSL_cleanse(&rec, sizeof rec);
        if (sw != SW_OK)
            return sw;
    }
    return SW_OK;
}

namespace {

bool SlotErased(const uint8_t* dir, uint32_t fid)
{
    for (uint32_t i = 0; i < 8; ++i)
        if (dir[8 * fid + i] != 0xFF)
            return false;
    return true;
}

// What an image without file 0 is. A first start writes the key file and
// its default PIN records first and file 0 last, so a card whose directory
// holds nothing but a key file that a first start could have left (records
// 1 and 2 empty, then default PIN records, up to record 5) or nothing at
// all is a blank card, a first start cut off before its end, or one whose
// clean-up format was cut off: no key can exist on it yet. Any other image
// without file 0 (damaged, random, not a card, a used key file) is not
// written to.
enum class NoStatus { Blank, Unfinished, NotACard };

// The key file of entry holds no more than a first start writes.
uint16_t FirstStartKeyFile(const _file_info_& entry, bool* leftByFirstStart)
{
    *leftByFirstStart = false;
    if (entry.used > KEY_RECORD_SIZE * KEY_USER_PIN || entry.used % KEY_RECORD_SIZE != 0)
        return FS_OK;
    bool same = true;
    for (uint32_t n = 1; same && n <= entry.used / KEY_RECORD_SIZE; ++n) {
        _key_info_ stored, expected = {};
        uint16_t sw = ReadCOSFile(entry, static_cast<uint16_t>(KEY_RECORD_SIZE * (n - 1)),
                                  reinterpret_cast<uint8_t*>(&stored), KEY_RECORD_SIZE);
        if (sw == SW_MEMORY_FAILURE)
            return sw;
        if (n >= KEY_PIN0)
            DefaultPinRecord(n, &expected);
        same = sw == FS_OK && CRYPTO_memcmp(&stored, &expected, sizeof stored) == 0;
        OPENSSL_cleanse(&stored, sizeof stored);
        OPENSSL_cleanse(&expected, sizeof expected);
    }
    *leftByFirstStart = same;
    return FS_OK;
}

uint16_t ClassifyWithoutStatus(NoStatus* kind)
{
    uint8_t dir[8 * FS_DIR_ENTRIES];
    uint8_t bitmap[4 * FS_BITMAP_WORDS];
    if (FlashRead(FS_DIR_OFF, dir, sizeof dir) != 0 || FlashRead(FS_BITMAP_OFF, bitmap, sizeof bitmap) != 0)
        return SW_MEMORY_FAILURE;
    *kind = NoStatus::NotACard;
    // The slot of id 0xFF reads as an entry when erased and is never a file.
    for (uint32_t f = 0; f + 1 < FS_DIR_ENTRIES; ++f)
        if (f != FID_KEYS && !SlotErased(dir, f))
            return FS_OK;
    // A first start takes only the first four sectors, and a format cut off
    // part way leaves bitmap bytes erased (0xFF) or cleared: a card whose
    // bitmap shows any other pattern holds more than either could have left,
    // and is never formatted here (its directory may be damaged, its keys
    // not).
    bool couldBeLeft = bitmap[0] == 0xFF || (bitmap[0] & ~0x0Fu) == 0;
    for (size_t i = 1; i < sizeof bitmap; ++i)
        couldBeLeft = couldBeLeft && (bitmap[i] == 0x00 || bitmap[i] == 0xFF);
    if (!couldBeLeft)
        return FS_OK;
    if (SlotErased(dir, FID_KEYS)) {
        *kind = BufIsZero(bitmap, sizeof bitmap) ? NoStatus::Blank : NoStatus::Unfinished;
        return FS_OK;
    }
    _file_info_ keys;
    uint16_t sw = SelectFile(FID_KEYS, &keys);
    if (sw != FS_OK)
        return sw == SW_MEMORY_FAILURE ? sw : FS_OK;
    bool unfinished = false;
    sw = FirstStartKeyFile(keys, &unfinished);
    if (unfinished)
        *kind = NoStatus::Unfinished;
    return sw;
}

// The first start on a blank card: the key file with the default PINs,
// then file 0. File 0's entry is not created beforehand: the write of its 8
// zero bytes stores the entry after the data, as the last write of the
// first start, so a card has file 0 only once everything else is in place.
uint16_t FirstStart()
{
    uint16_t sw = InitPin();
    if (sw != SW_OK)
        return sw == SW_FILE_NOT_FOUND ? SW_MEMORY_FAILURE : sw;
    _file_info_ status{};
    status.fid = FID_DEVINFO;
    status.maxsize = DEVINFO_FILE_SIZE;
    status.first = FS_NO_SECTOR;
    const _dev_info_ zero{};
    return WriteCOSFile(status, 0, reinterpret_cast<const uint8_t*>(&zero), sizeof zero);
}

}  // namespace

uint16_t InitAuth(_dev_info_* devInfo)
{
    _file_info_ e;
    uint16_t sw = SelectFile(FID_DEVINFO, &e);
    if (sw == FS_OK)
        return RWDeviceStatus(0, devInfo);
    if (sw != SW_FILE_NOT_FOUND)
        return sw;
    std::memset(devInfo, 0, sizeof *devInfo);
    NoStatus kind;
    sw = ClassifyWithoutStatus(&kind);
    if (sw != FS_OK)
        return sw;
    if (kind == NoStatus::NotACard)
        return SW_FILE_NOT_FOUND;
    // What an unfinished first start left is formatted away first.
    if (kind == NoStatus::Unfinished && FileSysInit() != FS_OK)
        return SW_MEMORY_FAILURE;
    sw = FirstStart();
    // A first start that fails is formatted away at once where the image
    // takes it; where even that fails, what is left is again a card without
    // file 0 whose only file is the key file, which the next start formats.
    if (sw != FS_OK) {
        FileSysInit();
        return sw;
    }
    return FS_OK;
}
