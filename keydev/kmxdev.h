// Key device API: the Dev functions through which applications use a key
// device (a virtual card over a key device image), the key slots, and the
// application facade that the daemon and the tool call.
//
// Conventions:
// - Every Dev function returns a 32-bit status, 0 for success (codes in
//   smcrypto/status.h and cardapi/cos_status.h), except DevFileIsExist.
// - In/out lengths hold the capacity on entry and the bytes written on
//   return; a short buffer answers 1018 with the needed length (exceptions
//   are noted at the function).
// - Session order: DevOpen(3, image), DevVerifyPin(2, user PIN) when a
//   private key is used, the operations, DevClose, also after a failure.
//   DevClose sends the card's restoration first, so every session starts
//   from a locked card.
// - PIN types the card asks for (the card's access table): generating the
//   matrix, summing matrix elements (DevGenKeyCard) and installing a private
//   key (DevWriteKeyCard) need types 1 and 2 verified; creating or writing
//   card files 0x42, 0x30 + k and 0x50 + k needs type 1; the recovery record
//   0x40 needs type 0. Decryption, envelopes and signing with a slot key
//   need type 2; the recovery envelope and restoring the inner secret need
//   type 1 on the user's card, recovering it types 1 and 2 on the recovery
//   card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Key slots of a key device.
enum KeyIndex {
    SERIAL_NUMBER = 0,
    REAL_NAME = 1,
    CELL_PHONE = 2,
    EMAIL = 3,
    IDCARD = 4,
    BANK_CARD = 5,
    RESERVED1 = 6,
    RESERVED2 = 7,
    RESERVED3 = 8,
    RESERVED4 = 9,
    RESERVED5 = 10,
    RESERVED6 = 11,
    RESERVED7 = 12,
    RESERVED8 = 13,
    RESERVED9 = 14,
    RESERVED10 = 15,
};

// The only device type: the virtual card over a key device image.
constexpr uint32_t DEV_TYPE_VCARD = 3;
// Smallest key device image the card binds: its 64 KiB file system.
constexpr uint32_t KEY_IMAGE_MIN_SIZE = 0x10000;
// PIN types; 2 is the user PIN.
constexpr int PIN_TYPE_USER = 2;
// The user PIN that the facade presents (an image made for this system
// carries it as its user PIN).
inline constexpr const char* KMX_USER_PIN = "40736158";
// SM2 block: byte 0 the ciphertext length n (98..249), then n bytes.
constexpr uint32_t SM2_BLOCK_LEN = 250;
constexpr uint32_t SM2_BLOCK_MIN_N = 98;
constexpr uint32_t SM2_BLOCK_MAX_N = 249;

extern "C" {

// ------------------------------------------------ session, PINs, files

// Binds the virtual card to the image (null: "dazi.vkd"); 2007 for another
// type, 11006 when the image cannot be used.
uint32_t DevOpen(uint32_t devType, const char* path);
// Restoration, then unbinding. 2003 without an open device; a failed
// restoration is returned and the device stays bound.
uint32_t DevClose();
uint32_t DevReset();
uint32_t DevGetSn(char* out, uint32_t* len);
uint32_t DevVerifyPin(int pinType, const char* pin, uint32_t* tries);
uint32_t DevSetCachePin(uint32_t on, uint32_t days);
uint32_t DevAutoVerify();
uint32_t DevModifyPin(int pinType, const char* oldPin, const char* newPin);
uint32_t DevReloadPin(int pinType, const char* newPin);
uint32_t DevUnlockPin(int pinType);
// n random bytes (4..32) into out.
uint32_t DevGetRandom(uint8_t* out, int n);
// Creates a card file of 4096 bytes.
uint32_t DevCreateFile(int fileId);
// 1 when the file can be selected, else 0.
int DevFileIsExist(int fileId);
// Writes len bytes (1 or more, else 11001) from offset 0. A length the file
// cannot take (above its size, at most 4096) answers 4008 with nothing written.
uint32_t DevWriteFile(int fileId, const uint8_t* data, int len);
// The file's used length (0 when the select failed); 11001 for a null len.
uint32_t DevGetFileLen(int fileId, uint32_t* len);
// The whole file.
uint32_t DevReadFile(int fileId, uint8_t* out, int* len);
uint32_t DevDeleteFile(int fileId);
// Card-computed digests of 1..65535 bytes.
uint32_t DevSHA1(const uint8_t* data, int len, uint8_t* out, uint32_t* outLen);
uint32_t DevSM3(const uint8_t* data, int len, uint8_t* out, int* outLen);

// ------------------------------------- key cards, applications, key ids

// Issues a DER KeyCard for id from the matrix held in card file 0x42 (read
// on every call), valid for years (0..100); masked with the 16-byte
// transport key when one is given. Nothing is written to the card.
uint32_t DevGenKeyCard(const uint8_t* id, uint32_t idLen, uint32_t years,
                       const uint8_t* transportKey, uint8_t* out, int* outLen);
// Key application for id under a public matrix file, or under the whole
// public matrix in memory (matrixLen bytes: the 256-byte head and its
// elements). The card keeps the transport key.
uint32_t DevGenKeyApply(const char* matrixPath, const char* id, uint8_t* out, int* outLen);
uint32_t DevGenKeyApplyS(const uint8_t* matrix, long matrixLen, const char* id, uint8_t* out,
                         int* outLen);
// Installs a DER KeyCard into slot k; plain = 0 when its isk is masked with
// the transport key the card keeps from its key application.
uint32_t DevWriteKeyCard(uint8_t k, int plain, const uint8_t* der, uint32_t len);
// whole != 0: slot k's whole key id record; 0: the identity (the bytes
// before its last '@'). out must hold 64 bytes; *len receives the count.
uint32_t DevGetKeyId(uint32_t whole, uint8_t k, uint8_t* out, uint32_t* len);

// Clock of DevGenKeyCard (seconds since 1970), for tests; null restores
// time(nullptr).
void DevSetClock(time_t (*clock)());

// ------------------------------------------ decryption and envelopes

// Plaintext (n - 97 bytes) of an SM2 block with slot k's key.
uint32_t DevSM2Decrypt(uint8_t k, const uint8_t* block, uint32_t blockLen, uint8_t* out,
                       int* outLen);
// Content of a DER DEnvelope addressed to slot k.
uint32_t DevDecryptData(uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out, int* outLen);
uint32_t DevOpenEnvelope(uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out,
                         int* outLen);
// Decrypts a multi-recipient encrypted file for slot k into outPath
// (replaced only on success).
uint32_t DevDecryptFile(uint8_t k, const char* inPath, const char* outPath);
// Shared point X||Y (2L bytes) of a minimal envelope.
uint32_t DevOpenDE(uint8_t k, const uint8_t* minEnv, uint8_t* out);
// Opens a DEnvelope without content: give != 0 returns the shared point,
// give = 0 leaves the session key in the card.
uint32_t DevOpenEnv(uint32_t give, uint8_t k, const uint8_t* env, uint32_t envLen, uint8_t* out,
                    uint32_t* outLen);
// A DEnvelope without content for id; the card keeps the session key.
uint32_t DevGenEnv(const char* matrixPath, const char* id, uint8_t* out, int* outLen);
uint32_t DevGenEnvS(const uint8_t* matrix, long matrixLen, const char* id, uint8_t* out,
                    int* outLen);
// Card SM4 with the system key (selector 0) or the session key (1).
uint32_t DevSM4Encrypt(uint8_t selector, const uint8_t* msg, uint8_t len, uint8_t* out,
                       uint32_t* outLen);
uint32_t DevSM4Decrypt(uint8_t selector, const uint8_t* cipher, uint8_t len, uint8_t* out,
                       int* outLen);

// ---------------------------------------------------------------- signing
// A DER DataSig under the in/out length convention; the key never leaves
// the card (user PIN verified).

// ECDSA over SHA-1 of the data (null with length 0: nothing) followed by the
// time octets of the current time.
uint32_t DevSignData(uint8_t k, const uint8_t* data, uint32_t len, uint8_t* sig, int* sigLen);
// The same over a file's content; a file that cannot be opened or read
// answers 11006.
uint32_t DevSignFile(uint8_t k, const char* path, uint8_t* sig, int* sigLen);
// The card's SM2 signature of the caller's 32-byte digest e, with signTime
// as the DataSig's signing time and SHA-256 as its digest object.
uint32_t DevSM2Sign(uint8_t k, const uint8_t* e, uint32_t signTime, uint8_t* sig, int* sigLen);

// ----------------------------------------------------------- PIN recovery
// The recovery envelope rE (70 bytes): X||Y of r·P on prime192v1 (P the
// recovery point of record 0x40, r the scalar of the inner secret), the
// CRC-16 of the inner secret (low byte first) and its SHA-1. rG: the inner
// secret, X||Y of r·G (48 bytes).
constexpr int RECOVERY_L = 24;
constexpr int RECOVERY_ENVELOPE_LEN = 70;
constexpr int RECOVERY_SHA1_AT = 50;
constexpr int RECOVERY_SECRET_LEN = 48;

// The open card's recovery envelope (PIN type 1).
uint32_t DevGetrE(uint8_t* out, int* len);
// On the recovery device (PIN types 1 and 2; it holds the issuing matrix in
// card file 0x42): issues recoveryId's key and turns rE back into rG. 11001
// for a null argument, 16006 when the key is not on prime192v1, 14011 when
// rE's point is not on the curve or the recovered secret's SHA-1 differs
// from rE's (rG is then not written).
uint32_t DevRecoverKey(const char* recoveryId, const uint8_t* rE, uint8_t* rG);
// The open card takes rG as its inner secret under newPin (8..16 bytes,
// else 3003 with nothing sent); PIN type 1. The card refuses an rG whose
// CRC or SHA-1 differs from the ones it keeps.
uint32_t DevRestoreKey(const uint8_t* rG, const char* newPin);

}  // extern "C"

// ------------------------------------------------------- application facade
// Each call is one whole session over the image keyFile; the device is
// closed before it returns, also after a failure.

// Identity of slot REAL_NAME into id (64 bytes, no NUL) and its length.
int kmx_getid(char* id, size_t& dataLen, char* keyFile);
// Plaintext of the SM2 block pData (dataLen on entry: block length and
// capacity of out) with slot REAL_NAME's key under the user PIN.
int kmx_decryption(unsigned char* pData, unsigned char* out, size_t& dataLen, char* keyFile);
// SM2 block of the 128 bytes at pData for the identity sender (text of 1 to
// 64 bytes) under the public matrix file keyFile; out holds at least 250.
int kmx_encryption(unsigned char* sender, unsigned char* pData, unsigned char* out,
                   size_t& dataLen, char* keyFile);
