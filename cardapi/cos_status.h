// Status codes of the card command interface: the device and driver codes,
// the argument codes of the card commands and the codes that card status
// words map to (see COS_GetErrCode). 0 is success; the shared codes (1018,
// 11001, 11006, 12004, 14003, ...) are in smcrypto/status.h.
#pragma once

#include "smcrypto/status.h"

enum cos_status : int {
    // Mapped card status words.
    ST_CLA_NOT_SUPPORTED = 1001,   // 0x6E00
    ST_INS_NOT_SUPPORTED = 1002,   // 0x6D00
    ST_MEMORY_FAILURE = 1004,      // 0x6581
    ST_NOT_ENOUGH_SPACE = 1006,    // 0x6A84
    ST_WRONG_P1P2 = 1007,          // 0x6A86
    ST_CARD_BLOCKED = 1008,        // 0x6A81
    ST_CONDITIONS = 1009,          // 0x6985 conditions of use not satisfied
    ST_WRONG_DATA = 1011,          // 0x6A80
    ST_SECURITY = 1012,            // 0x6982 security status not satisfied
    ST_MAC_WRONG = 1015,           // 0x6988
    ST_WRONG_LENGTH = 1016,        // 0x6700; also SM4 data length not acceptable
    ST_NO_CHALLENGE = 1017,        // 0x6984
    ST_SM_OBJECTS = 1020,          // 0x6987
    ST_SM_DATA = 1021,             // 0x698A
    ST_CRC_FAILED = 1023,          // 0x6A02

    // Device binding.
    ST_NO_DEVICE = 2003,           // no device open / virtual device not bound
    ST_DEVICE_TYPE = 2007,         // device type not supported

    // PINs.
    ST_PIN_TYPE = 3001,            // PIN type above 2
    ST_WRONG_PIN = 3002,           // wrong PIN (tries reported separately)
    ST_PIN_LENGTH = 3003,          // PIN length outside 8..16
    ST_PIN_BLOCKED = 3004,         // 0x6983

    // Files.
    ST_FILE_NOT_FOUND = 4001,      // 0x6A82
    ST_FILE_EXISTS = 4002,         // 0x6A87
    ST_FILE_STRUCTURE = 4003,      // 0x6981
    ST_FILE_CONDITION = 4007,      // 0x6989
    ST_FILE_TOO_LARGE = 4008,      // 0x6A88; also file size above 4096
    ST_RECORD_NOT_FOUND = 4011,    // 0x6A83
    ST_RECORD_LENGTH = 4013,       // 0x6A85
    ST_OFFSET_BEYOND = 4014,       // 0x6A89

    // Keys.
    ST_KEY_SLOT = 5003,            // key slot above 15
    ST_KEY_RECORD = 5004,          // 0x6A03
    ST_NO_SESSION_KEY = 5007,      // 0x6A8A
    ST_SIGNATURE_INVALID = 5009,   // 0x9302
    ST_KEY_CONDITION = 5010,       // 0x9304
};
