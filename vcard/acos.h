// The card's key store: the card file map, the device status, key and PIN
// records, the inner key, private-key unwrapping and the first start of a
// blank card, with the card's small shared helpers (CRC-16, day count, block
// rounding, zero test).
//
// The key store keeps no volatile state of its own. The card's process-wide
// variables (sDevInfo, sUsrPin, sInnerKey, sSecStatus, ...) are defined by the
// card's volatile state (vcard/cosstate.h); the operations here take them as
// parameters, so callers pass e.g. VerifyPin(n, pin, len, &sUsrPin,
// &sInnerKey, &sSecStatus) and InitAuth(&sDevInfo).
//
// Results: RWDeviceStatus, LoadInnerKey and InitAuth answer FS_OK (0) for
// success, as the file system does; RWSystemKey, WriteCosKey, VerifyPin,
// GetPrivateKey and InitPin answer SW_OK as the instructions do.
// Other values are card status words.
#pragma once

#include <cstdint>

#include "vcard/card_protocol.h"
#include "vcard/filesys.h"

// Key record numbers.
enum : uint32_t {
    KEY_MASTER = 1,         // type 0
    KEY_MAC = 2,            // type 1
    KEY_PIN0 = 3,           // type 2, PIN type 0
    KEY_PIN1 = 4,           // type 2, PIN type 1
    KEY_USER_PIN = 5,       // type 2, PIN type 2
    KEY_INTERNAL = 6,       // type 3
    KEY_EXTERNAL1 = 7,      // type 4, 7..10
    KEY_SYMMETRIC = 11,     // type 5
};

// Device status record, card file 0 (8 bytes; little-endian in the image,
// host order here).
struct _dev_info_ {
    uint8_t blocked;        // 1 once the card is blocked
    uint8_t cacheOn;        // PIN cache on: 0 or 1
    uint16_t cacheDays;     // PIN-cache day limit
    uint32_t lastDate;      // last-use date yyyymmdd
};
static_assert(sizeof(_dev_info_) == 8, "device status record is 8 bytes");

// Key or PIN record of the key file (32 bytes, bytes only). A PIN record holds
// the SHA-1 digest of the PIN in bytes 12..31; verification compares digest
// bytes 4..19 with value[0..15].
struct _key_info_ {
    uint8_t no;             // key number 1..11; 0 = empty record
    uint8_t ordinal;        // PIN ordinal in the default PIN records; never read
    uint8_t type;           // key type
    uint8_t rfu0;           // 0
    uint8_t secBit;         // security bit set by verification
    uint8_t no2;            // key number again in the default PIN records
    uint8_t maxTries;
    uint8_t tries;          // tries left; 0 = blocked
    uint8_t rfu[8];         // 0; rfu[4..7] hold the PIN digest's first 4 bytes
    uint8_t value[16];      // key value; PIN digest bytes 4..19
};
static_assert(sizeof(_key_info_) == 32, "key record is 32 bytes");

// Record of card file 2 (118 bytes).
struct _inner_key_info_ {
    uint8_t secret[48];     // inner secret, SM4-ECB under the 16 user-PIN bytes
    uint8_t envelope[48];   // X, Y of r·P (P = recovery point of the identity record)
    uint8_t crc[2];         // CRC-16 of the inner secret, low byte first
    uint8_t sha1[20];       // SHA-1 of the inner secret
};
static_assert(sizeof(_inner_key_info_) == 118, "inner-key record is 118 bytes");

// Length and 16 bytes (user PIN, inner key, challenge, session key); length 0 = empty.
struct _len_buf_ {
    uint32_t len;
    uint8_t buf[16];
};
static_assert(sizeof(_len_buf_) == 20, "length buffer is 20 bytes");

// 1 when all n bytes are 0 (also for n <= 0), else 0.
int BufIsZero(const uint8_t* p, int n);
// Day number of a date yyyymmdd (leap days ignored).
int32_t GetDays(int32_t date);
// GetDays(a) - GetDays(b).
int32_t SurplusDays(int32_t a, int32_t b);
// n rounded up to a multiple of block (n when block is 0).
int GetAdustLen(int n, uint8_t block);
// CRC-16/XMODEM continued from start (0 for a fresh CRC).
uint16_t ECalCrc16(uint16_t start, const uint8_t* p, uint32_t n);

// Reads (write = 0) or writes (write != 0) key record n (n >= 1) of the key
// file. SW_OK; SW_FILE_NOT_FOUND no key file; SW_KEY_NOT_FOUND a read beyond the used length or
// n outside 1..12; otherwise the file read's or write's status.
uint16_t RWSystemKey(uint8_t write, uint32_t n, _key_info_* record);
// Reads or writes the device status record of file 0. 0; SW_FILE_NOT_FOUND when file 0
// is missing; otherwise the failing transfer's status (SW_MEMORY_FAILURE when the image
// cannot be written), so a lost write is never reported as done. A failed
// read leaves *record unchanged.
uint16_t RWDeviceStatus(uint8_t write, _dev_info_* record);

// Installs (update = 0: value = record bytes 0..7, then the 16-byte key value;
// length 24; bytes 8..15 keep what the stored record holds) or updates
// (update = 1: the new 16-byte key value) key record number. SW_OK; SW_CONDITIONS_NOT_SATISFIED
// master key already installed / record to update missing or empty; SW_WRONG_DATA
// installation header does not match number and type; SW_WRONG_P1P2 stored record
// does not match on update; SW_WRONG_LENGTH value shorter than needed; otherwise the
// record transfer's status. Only a record that is not there (no key file, or
// beyond its used length) counts as none: an installation whose read fails
// otherwise answers that status and writes nothing.
uint16_t WriteCosKey(uint8_t update, const uint8_t* value, int length, uint32_t number,
                     uint32_t type);

// 1 when PIN record n can be read and holds the PIN digest of want (record
// bytes 12..31), else 0. After a record write that reported a failure it
// tells whether the new record landed or the old one is still there.
int PinRecordHolds(uint32_t n, const _key_info_& want);

// 1 when any of the security bits 3..n-1 is set (a PIN ranking above PIN n
// has been verified), else 0.
int HightLevelStatus(uint32_t n, uint16_t secStatus);

// The answer to a wrong PIN or key with triesLeft tries left: SW_WRONG_PIN
// with the count in its low four bits, 15 for any count above 15.
uint16_t WrongPinStatus(uint32_t triesLeft);

// Verifies the PIN of record n. SW_OK; SW_WRONG_PIN + tries left on a wrong PIN;
// SW_AUTH_BLOCKED blocked; SW_MEMORY_FAILURE when the tries counter cannot be written back (no
// comparison result is given then); otherwise the record read's status.
// On success bit secBit of *secStatus is set; for the user PIN (n = 5) *usrPin
// becomes {length, PIN zero-padded to 16} and, when *innerKey is empty, the
// inner key is loaded (not created) into it. On a wrong PIN the bit is cleared
// and, for n = 5, *innerKey is cleared.
uint16_t VerifyPin(uint32_t n, const uint8_t* pin, uint8_t pinLen, _len_buf_* usrPin,
                   _len_buf_* innerKey, uint16_t* secStatus);

// Loads the inner secret from file 2 (decrypting it with the 16 user-PIN
// bytes and checking its stored SHA-1), or creates file 2 when it is missing
// and create is set (needs the identity record 0x40 with a used length of 50
// to 113). cipherOut (48 bytes, optional) receives the stored ciphertext,
// secretOut (48 bytes, optional) the inner secret; the inner key is its first
// 16 bytes. 0; SW_CONDITIONS_NOT_SATISFIED no user PIN, or the stored digest does not match (wrong
// PIN, damaged or foreign file 2); SW_FILE_NOT_FOUND file 2 missing without create, or no
// identity record; SW_RECORD_LENGTH identity record's used length outside 50..113;
// SW_WRONG_DATA its recovery point is not on curve 0; SW_UNKNOWN the curve arithmetic
// failed; otherwise a file status. A failed creation leaves no file 2.
uint16_t LoadInnerKey(int create, uint8_t* cipherOut, uint8_t* secretOut, const _len_buf_& usrPin);

// Unwraps the private key of file fid (0x10..0x1F) with the 16-byte inner key
// into out (at least 32 bytes: the scalar, L bytes big-endian, then zero
// padding up to B) and its curve serial into *curve. SW_OK; SW_KEY_NOT_FOUND fid out
// of range, file missing, its used length below B or its curve serial above 5;
// SW_FILE_NOT_FOUND no curve table; otherwise a file read's status.
uint16_t GetPrivateKey(uint8_t fid, const uint8_t* innerKey, uint8_t* out, uint8_t* curve);

// Creates the key file and writes the three default PIN records (3, 4, 5).
// SW_OK or the first failing status.
uint16_t InitPin();
// Loads the device status into *devInfo. On a blank card it is the first
// start: the key file with the default PINs, then file 0 (8 zero bytes),
// whose entry is the last thing written. A card without file 0 whose only
// file is the key file (or that has no file at all) is a first start cut off
// before its end: it is formatted and started again. 0; the read's status
// when file 0 cannot be read; the first failing status of a first start
// (the card is then formatted again where the image takes it); SW_FILE_NOT_FOUND
// for any other image without file 0, which is not written.
uint16_t InitAuth(_dev_info_* devInfo);
