// Host side of the card protocol: binding the card device of the process,
// the card command frame and its transport, the mapping of card status words
// to status codes, and one COS_ function per card command.
//
// Conventions shared by every COS_ function:
// - The return value is a 32-bit status, 0 for success (codes in
//   cardapi/cos_status.h and smcrypto/status.h). A card status word without
//   a code of its own (0x63Cn, 0x6Cnn, ...) comes back unchanged.
// - Arguments are checked before anything is sent, in a fixed order; the
//   first failing check decides the code.
// - In/out lengths hold the caller's capacity on entry and the number of
//   bytes written on return. When the card answered more than the capacity,
//   the needed length is written back, 1018 is returned and nothing is
//   copied (exceptions are noted at the function).
#pragma once

#include <cstdint>

#include "cardapi/apdu_frame.h"
#include "cardapi/cos_errcode.h"
#include "cardapi/cos_status.h"

// The only device type: a virtual card whose flash is a key device image.
constexpr int DEV_TYPE_VIRTUAL = 3;

// Type of the open device; -1 when none is open.
extern int m_iType;

// ---------------------------------------------------------------------------
// Device binding and transport
// ---------------------------------------------------------------------------

// Binds the device of the given type to its data file (type 3: a key device
// image; a null path means "dazi.vkd"). 2007 for another type, 11006 when the
// file cannot be opened (a device bound before stays bound).
uint32_t DEV_Open(int type, const char* path);
// Unbinds the device: 2003 when none is open.
uint32_t DEV_Close();
// One exchange of a frame with the open device: 2003 when none is open, 2007
// for an unsupported type, otherwise the driver's result.
uint32_t COS_Transfer(_apdu_frame_* frame);

// ---------------------------------------------------------------------------
// Device, PIN and file commands
// ---------------------------------------------------------------------------

// Card serial number as upper-case hex text; a NUL follows when there is room.
uint32_t COS_GetSn(char* out, uint32_t* len);
// Verifies PIN type 0..2 (2: user PIN). tries: tries left on a wrong PIN
// (3002), 0 when blocked (3004), 5 otherwise.
uint32_t COS_VerifyPin(uint8_t type, const char* pin, uint32_t* tries);
// Switches the card's PIN cache on (for days days, 1 to 255, else 11001
// with nothing sent) or off (days not read).
uint32_t COS_SetCachePin(uint32_t on, uint32_t days);
// Lets the card verify with its cached user PIN.
uint32_t COS_AutoVerify();
// The card's restoration: clears verified PINs and other volatile state.
uint32_t COS_Reset();
// Card version text; a NUL follows when there is room.
uint32_t COS_GetVersion(uint8_t* out, int* len);
uint32_t COS_ModifyPin(uint8_t type, const char* oldPin, const char* newPin);
uint32_t COS_ReloadPin(uint8_t type, const char* newPin);
uint32_t COS_UnlockPin(uint8_t type);
// n random bytes into out (no capacity: out must hold n bytes).
uint32_t COS_GetRandom(uint8_t* out, uint8_t n);
// Internal authentication of a 16-byte challenge.
uint32_t COS_InnerAuth(const uint8_t* challenge, int challengeLen, uint8_t* out, int* len);
// External authentication with key 1..4 (the cryptogram is zero-filled to 16).
uint32_t COS_ExtAuth(uint8_t keyId, const uint8_t* cryptogram, int len);
// Blocks the card (secure messaging, 4-byte MAC).
uint32_t COS_Block(const uint8_t* mac, int len);
// Creates file id of size bytes (at most 4096) and makes it the current file.
uint32_t COS_CreateFile(uint8_t fileId, uint16_t size);
// Selects file id; its used length into len when len is given.
uint32_t COS_SelectFile(uint8_t fileId, uint16_t* len);
// Writes len bytes from offset 0 of the current file, in chunks of 128 from
// offset 0 upward; the first refused chunk ends the write, and the chunks
// before it stay written.
uint32_t COS_WriteFile(const uint8_t* data, uint16_t len);
// Whether the current file can take len bytes from offset 0, asked with
// updates that the card refuses, so nothing is written: 0 when it can, 4008
// when it cannot (always for len above 4096), otherwise the card's refusal
// of an update (no current file, no update access, a failed flash access).
uint32_t COS_FileHasRoom(uint16_t len);
// Reads *len bytes from offset 0 of the current file; *len is not changed.
uint32_t COS_ReadFile(uint8_t* out, uint16_t* len);
uint32_t COS_DeleteFile(uint8_t fileId);

// ---------------------------------------------------------------------------
// Key matrix and private-key commands (t: curve serial number, k: key slot)
// ---------------------------------------------------------------------------

uint32_t COS_Gen_Matrix(uint8_t t, uint16_t index, uint8_t count, uint8_t* out, uint8_t* len);
uint32_t COS_Export_Matrix(uint8_t t, uint16_t index, uint8_t count, uint8_t* out, uint8_t* len);
uint32_t COS_Import_Matrix(uint8_t t, uint16_t index, const uint8_t* data, uint8_t len);
// Identity secret key from n matrix element indices (1..36); *len is the
// expected length on entry.
uint32_t COS_Cal_isk(uint8_t t, const uint16_t* indices, uint32_t n, uint8_t* out, uint8_t* len);
// Key application for point X||Y; out receives the minimal envelope
// (2L + 2 bytes).
uint32_t COS_ApplyPriKey(uint8_t t, const uint8_t* point, uint8_t* out);
// Installs a private key (scalar followed by its CRC-16, 10 to 34 bytes);
// mode = (t << 4) | 1 for a plain key, (t << 4) | 0 for a masked one.
uint32_t COS_WritePriKey(uint8_t mode, uint8_t k, const uint8_t* data, uint32_t len);
// Replaces slot k's public record (file 0x30 + k, 128 bytes).
uint32_t COS_WritePubKey(uint8_t k, const uint8_t* data, uint16_t len);
// Replaces slot k's key id record (file 0x50 + k, 64 bytes).
uint32_t COS_WriteKeyId(uint8_t k, const uint8_t* data, uint8_t len);
// Reads slot k's public record; 1018 without writing the needed length.
uint32_t COS_ReadPubKey(uint8_t k, uint8_t* out, uint16_t* len);

// ---------------------------------------------------------------------------
// Elliptic-curve commands
// ---------------------------------------------------------------------------

uint32_t COS_ECDSA(uint8_t k, const uint8_t* digest, uint8_t digestLen, uint8_t* sig, uint8_t* len);
uint32_t COS_VECDSA(uint8_t t, const uint8_t* digest, uint32_t digestLen, const uint8_t* sig,
                    const uint8_t* pubKey);
// Digital envelope for point X||Y; out receives the minimal envelope.
uint32_t COS_Gen_DE(uint8_t t, const uint8_t* point, uint8_t* out);
// Opens a minimal envelope (X||Y||CRC, plen = L of its curve) with slot k's
// key; give != 0 returns the shared point in out, give == 0 lets the card
// keep it as its session key.
uint32_t COS_Open_DE(uint8_t give, uint8_t k, const uint8_t* envelope, uint32_t plen, uint8_t* out);
// The product of slot k's private key and the point input (X || Y, len =
// 2L bytes of the key's curve t) into out (len bytes). The card refuses a t
// other than the key's curve.
uint32_t COS_ECDH(uint8_t k, uint8_t t, const uint8_t* input, uint8_t len, uint8_t* out);
// The same for a key on curve 0 (prime192v1, len 48): the command names
// curve 0. A key on another curve needs the form above.
uint32_t COS_ECDH(uint8_t k, const uint8_t* input, uint8_t len, uint8_t* out);

// ---------------------------------------------------------------------------
// SM2 commands
// ---------------------------------------------------------------------------

uint32_t COS_SM2Sign(uint8_t k, const uint8_t* e, uint8_t* sig, uint8_t* len);
uint32_t COS_SM2Verify(const uint8_t* e, const uint8_t* pubKey, const uint8_t* sig);
// Message of 1 to 158 bytes.
uint32_t COS_SM2Encrypt(const uint8_t* pubKey, const uint8_t* msg, uint32_t msgLen, uint8_t* out,
                        int* len);
// Ciphertext C1||C2||C3 of 98 to 250 bytes.
uint32_t COS_SM2Decrypt(uint8_t k, const uint8_t* cipher, uint32_t cipherLen, uint8_t* out, int* len);

// ---------------------------------------------------------------------------
// Recovery and identity commands
// ---------------------------------------------------------------------------

uint32_t COS_Get_EId(uint8_t* out, int* len);
uint32_t COS_Get_rE(uint8_t* out, int* len);
uint32_t COS_Restore_rG(const uint8_t* secret48, const char* newPin);

// ---------------------------------------------------------------------------
// Symmetric and hash commands (selector 0: system key, 1: session key)
// ---------------------------------------------------------------------------

uint32_t COS_SM4Encrypt(uint8_t selector, const uint8_t* msg, uint8_t len, uint8_t* out,
                        uint32_t* outLen);
uint32_t COS_SM4Decrypt(uint8_t selector, const uint8_t* cipher, uint8_t len, uint8_t* out,
                        int* outLen);
// Digest into out (capacity at least 20, respectively 32; 1018 otherwise
// with nothing written).
uint32_t COS_SHA1(const uint8_t* data, uint16_t len, uint8_t* out, uint8_t capacity);
uint32_t COS_SM3(const uint8_t* data, uint16_t len, uint8_t* out, uint8_t capacity);
