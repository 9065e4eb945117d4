// Status codes of the card command interface: the device and driver codes,
// the argument codes of the card commands and the codes that card status
// words map to (see COS_GetErrCode). 0 is success; the shared codes (1018,
// 11001, 11006, 12004, 14003, ...) are in smcrypto/status.h.
#pragma once

#include "smcrypto/status.h"

enum cos_status : int {
    // Mapped card status words.
    ST_CLA_NOT_SUPPORTED = 1001,   // SW_CLA_NOT_SUPPORTED
    ST_INS_NOT_SUPPORTED = 1002,   // SW_INS_NOT_SUPPORTED
    ST_MEMORY_FAILURE = 1004,      // SW_MEMORY_FAILURE
    ST_NOT_ENOUGH_SPACE = 1006,    // SW_NOT_ENOUGH_SPACE
    ST_WRONG_P1P2 = 1007,          // SW_WRONG_P1P2
    ST_CARD_BLOCKED = 1008,        // SW_CARD_BLOCKED
    ST_CONDITIONS = 1009,          // SW_CONDITIONS_NOT_SATISFIED
    ST_WRONG_DATA = 1011,          // SW_WRONG_DATA
    ST_SECURITY = 1012,            // SW_SECURITY_NOT_SATISFIED
    ST_MAC_WRONG = 1015,           // SW_MAC_WRONG
    ST_WRONG_LENGTH = 1016,        // SW_WRONG_LENGTH; also SM4 data length not acceptable
    ST_NO_CHALLENGE = 1017,        // SW_NO_CHALLENGE
    ST_SM_OBJECTS = 1020,          // SW_SM_OBJECTS_MISSING
    ST_SM_DATA = 1021,             // SW_SM_DATA_WRONG
    ST_CRC_FAILED = 1023,          // SW_CRC_FAILED

    // Device binding.
    ST_NO_DEVICE = 2003,           // no device open / virtual device not bound
    ST_DEVICE_TYPE = 2007,         // device type not supported

    // PINs.
    ST_PIN_TYPE = 3001,            // PIN type above 2
    ST_WRONG_PIN = 3002,           // wrong PIN (tries reported separately)
    ST_PIN_LENGTH = 3003,          // PIN length outside 8..16
    ST_PIN_BLOCKED = 3004,         // SW_AUTH_BLOCKED

    // Files.
    ST_FILE_NOT_FOUND = 4001,      // SW_FILE_NOT_FOUND
    ST_FILE_EXISTS = 4002,         // SW_FILE_EXISTS
    ST_FILE_STRUCTURE = 4003,      // SW_FILE_STRUCTURE
    ST_FILE_CONDITION = 4007,      // SW_FILE_CONDITION
    ST_FILE_TOO_LARGE = 4008,      // SW_FILE_TOO_LARGE; also file size above 4096
    ST_RECORD_NOT_FOUND = 4011,    // SW_RECORD_NOT_FOUND
    ST_RECORD_LENGTH = 4013,       // SW_RECORD_LENGTH
    ST_OFFSET_BEYOND = 4014,       // SW_OFFSET_BEYOND_USED

    // Keys.
    ST_KEY_SLOT = 5003,            // key slot above 15
    ST_KEY_RECORD = 5004,          // SW_KEY_NOT_FOUND
    ST_NO_SESSION_KEY = 5007,      // SW_NO_SESSION_KEY
    ST_SIGNATURE_INVALID = 5009,   // SW_SIGNATURE_INVALID
    ST_KEY_CONDITION = 5010,       // SW_KEY_CONDITION
};
