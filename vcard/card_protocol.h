// The card protocol as both sides of the card interface know it: the status
// words the card answers, the class and instruction bytes of its commands,
// the card file ids and the sizes of the files and records that the card and
// the command layer share. Wire constants only: this header holds no code, so
// the command layer may include it without reaching into the card.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Status words (the last two bytes of every reply)
// ---------------------------------------------------------------------------

// Success of an instruction, a key record operation and a PIN check.
constexpr uint16_t SW_OK = 0x9000;

constexpr uint16_t SW_WRONG_PIN = 0x63C0;            // wrong PIN or key; low nibble: tries left
constexpr uint16_t SW_TRIES_MASK = 0x000F;           // tries left in SW_WRONG_PIN | n
constexpr uint16_t SW_MEMORY_FAILURE = 0x6581;       // the image cannot be read or written
constexpr uint16_t SW_WRONG_LENGTH = 0x6700;         // Lc or a data length not acceptable
constexpr uint16_t SW_FILE_STRUCTURE = 0x6981;       // command incompatible with the file
constexpr uint16_t SW_SECURITY_NOT_SATISFIED = 0x6982;
constexpr uint16_t SW_AUTH_BLOCKED = 0x6983;         // PIN or key blocked: no tries left
constexpr uint16_t SW_NO_CHALLENGE = 0x6984;         // no challenge drawn before
constexpr uint16_t SW_CONDITIONS_NOT_SATISFIED = 0x6985;
constexpr uint16_t SW_SM_OBJECTS_MISSING = 0x6987;   // secure messaging: objects missing
constexpr uint16_t SW_MAC_WRONG = 0x6988;
constexpr uint16_t SW_FILE_CONDITION = 0x6989;
constexpr uint16_t SW_SM_DATA_WRONG = 0x698A;        // secure messaging: data objects wrong
constexpr uint16_t SW_CRC_FAILED = 0x6A02;
constexpr uint16_t SW_KEY_NOT_FOUND = 0x6A03;        // key record missing or not the expected one
constexpr uint16_t SW_WRONG_DATA = 0x6A80;
constexpr uint16_t SW_CARD_BLOCKED = 0x6A81;
constexpr uint16_t SW_FILE_NOT_FOUND = 0x6A82;
constexpr uint16_t SW_RECORD_NOT_FOUND = 0x6A83;
constexpr uint16_t SW_NOT_ENOUGH_SPACE = 0x6A84;     // no free sector left
constexpr uint16_t SW_RECORD_LENGTH = 0x6A85;        // identity record missing or of a wrong length
constexpr uint16_t SW_WRONG_P1P2 = 0x6A86;           // also an offset beyond a file's maximum size
constexpr uint16_t SW_FILE_EXISTS = 0x6A87;
constexpr uint16_t SW_FILE_TOO_LARGE = 0x6A88;       // maximum size above 4096, or a write beyond it
constexpr uint16_t SW_OFFSET_BEYOND_USED = 0x6A89;   // read offset beyond the used length
constexpr uint16_t SW_NO_SESSION_KEY = 0x6A8A;       // no session or transport key
constexpr uint16_t SW_NO_SECTOR = 0x6A8A;            // the same word from a read: no sector at the offset
constexpr uint16_t SW_CHAIN_ENDS = 0x6A8B;           // a read's sector chain ends early
constexpr uint16_t SW_WRONG_OFFSET = 0x6B00;         // offset outside the file
constexpr uint16_t SW_WRONG_LE = 0x6C00;             // wrong Le; low byte: the length to ask for
constexpr uint16_t SW_LE_MASK = 0x00FF;              // that length in SW_WRONG_LE | n
constexpr uint16_t SW_INS_NOT_SUPPORTED = 0x6D00;    // no handler for a valid class
constexpr uint16_t SW_CLA_NOT_SUPPORTED = 0x6E00;
constexpr uint16_t SW_UNKNOWN = 0x6F00;              // curve arithmetic or another inner failure
constexpr uint16_t SW_SIGNATURE_INVALID = 0x9302;
constexpr uint16_t SW_KEY_CONDITION = 0x9304;

// A status word with all of these bits set sends the reply's Le data bytes
// ahead of it, as SW_OK does.
constexpr uint16_t SW_DATA_BITS = 0x6100;

// ---------------------------------------------------------------------------
// Class bytes
// ---------------------------------------------------------------------------

constexpr uint8_t CLA_PLAIN = 0x00;
constexpr uint8_t CLA_PROPRIETARY = 0x80;
constexpr uint8_t CLA_SECURE = 0x84;       // proprietary, with secure messaging
constexpr uint8_t CLA_SM_BIT = 0x04;       // the secure-messaging bit of a class byte

// ---------------------------------------------------------------------------
// Instruction bytes
// ---------------------------------------------------------------------------

// Administration
constexpr uint8_t INS_RESET_COS = 0x02;
constexpr uint8_t INS_RESTORATION = 0x06;
constexpr uint8_t INS_DEBUG = 0x08;
constexpr uint8_t INS_GET_SN = 0x0A;
constexpr uint8_t INS_GET_VERSION = 0x0C;
constexpr uint8_t INS_INIT_SYSTEM_KEY = 0x0E;
constexpr uint8_t INS_CARD_BLOCK = 0x16;
constexpr uint8_t INS_UPDATE_SYSTEM_KEY = 0xD4;
// PINs
constexpr uint8_t INS_VERIFY_PIN = 0x20;
constexpr uint8_t INS_AUTO_VERIFY = 0x21;
constexpr uint8_t INS_UNLOCK_PIN = 0x24;
constexpr uint8_t INS_RELOAD_PIN = 0x5C;
constexpr uint8_t INS_CHANGE_PIN = 0x5E;
constexpr uint8_t INS_CACHE_PIN = 0x80;
// Authentication
constexpr uint8_t INS_EXTERNAL_AUTH = 0x82;
constexpr uint8_t INS_GET_CHALLENGE = 0x84;
constexpr uint8_t INS_INTERNAL_AUTH = 0x88;
// Files
constexpr uint8_t INS_SELECT_FILE = 0xA4;
constexpr uint8_t INS_READ_FILE = 0xB0;
constexpr uint8_t INS_UPDATE_FILE = 0xD6;
constexpr uint8_t INS_CREATE_FILE = 0xE0;
constexpr uint8_t INS_DELETE_FILE = 0xE4;
// Recovery of the inner secret
constexpr uint8_t INS_GET_ERG = 0x36;
constexpr uint8_t INS_RESTORE_RG = 0x38;
constexpr uint8_t INS_GET_EID = 0x3A;
// Key matrix and private keys
constexpr uint8_t INS_GEN_MATRIX = 0x40;
constexpr uint8_t INS_EXPORT_MATRIX = 0x42;
constexpr uint8_t INS_IMPORT_MATRIX = 0x44;
constexpr uint8_t INS_CAL_ISK = 0x46;
constexpr uint8_t INS_WRITE_PRIKEY = 0x48;
constexpr uint8_t INS_APPLY_PRIKEY = 0x4A;
// Cryptography
constexpr uint8_t INS_SM4_ENCRYPT = 0x50;
constexpr uint8_t INS_SM4_DECRYPT = 0x52;
constexpr uint8_t INS_SHA1 = 0x54;
constexpr uint8_t INS_SM3 = 0x56;
constexpr uint8_t INS_SM2_SIGN = 0x70;
constexpr uint8_t INS_SM2_VERIFY = 0x72;
constexpr uint8_t INS_SM2_ENCRYPT = 0x74;
constexpr uint8_t INS_SM2_DECRYPT = 0x76;
constexpr uint8_t INS_ECDSA_SIGN = 0xC2;
constexpr uint8_t INS_ECDSA_VERIFY = 0xC4;
constexpr uint8_t INS_ECC_GEN_DE = 0xC6;
constexpr uint8_t INS_ECC_OPEN_DE = 0xC8;
constexpr uint8_t INS_ECC_ECDH = 0xCC;

// ---------------------------------------------------------------------------
// Card files
// ---------------------------------------------------------------------------

constexpr uint8_t FID_DEVINFO = 0x00;      // device status record
constexpr uint8_t FID_KEYS = 0x01;         // key file: key record n at 32·(n-1)
constexpr uint8_t FID_INNERKEY = 0x02;     // inner secret record
constexpr uint8_t FID_TRANSPORT = 0x03;    // transport key, 16 bytes
constexpr uint8_t FID_CURVES = 0x04;       // curve serial of private-key file f at byte f - 0x10
constexpr uint8_t FID_PRIVKEY = 0x10;      // 0x10..0x1F private keys (under the inner key)
constexpr uint8_t FID_PUBREC = 0x30;       // 0x30..0x3F public records
constexpr uint8_t FID_IDENTITY = 0x40;     // identity record: recovery point (48 bytes), byte 48, identity
constexpr uint8_t FID_MATRIX_DER = 0x42;
constexpr uint8_t FID_KEYID = 0x50;        // 0x50..0x5F key id records
constexpr uint8_t KEY_SLOT_MAX = 15;       // key slot k uses files FID_PRIVKEY/PUBREC/KEYID + k

// File sizes (maximum sizes at creation).
constexpr uint16_t FILE_SIZE_MAX = 4096;
constexpr uint16_t DEVINFO_FILE_SIZE = 64;
constexpr uint16_t KEYS_FILE_SIZE = 384;
constexpr uint16_t INNERKEY_FILE_SIZE = 128;
constexpr uint16_t TRANSPORT_FILE_SIZE = 64;
constexpr uint16_t CURVES_FILE_SIZE = 64;
constexpr uint16_t PRIVKEY_FILE_SIZE = 128;
constexpr uint16_t PUBREC_FILE_SIZE = 128;
constexpr uint16_t KEYID_FILE_SIZE = 64;

// PINs: 8 to 16 characters.
constexpr uint8_t PIN_LEN_MIN = 8;
constexpr uint8_t PIN_LEN_MAX = 16;

// Records and lengths inside the files.
constexpr uint32_t KEY_RECORD_SIZE = 32;
constexpr uint32_t KEY_RECORD_MAX = 12;     // records that fit into the key file
constexpr uint16_t CURVE_TABLE_LEN = 16;
constexpr uint16_t TRANSPORT_KEY_LEN = 16;
constexpr uint32_t INNER_SECRET_LEN = 48;  // inner secret: X || Y on curve 0
constexpr uint16_t ENVELOPE_OFF = 48;      // recovery envelope in the inner secret record
constexpr uint16_t ENVELOPE_LEN = 70;      // r·P, CRC and SHA-1 of the inner secret
constexpr uint16_t IDENTITY_TEXT_OFF = 49; // identity text in the identity record
constexpr uint16_t IDENTITY_MIN_USED = 50; // used lengths of the identity record
constexpr uint16_t IDENTITY_MAX_USED = 113;
constexpr uint16_t IDENTITY_TEXT_MAX = 64; // the identity text a read asks for at most
