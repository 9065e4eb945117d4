// Status codes shared by the layers of the key library (0 is success).
// Card and device codes live with the card command interface.
#pragma once

enum tarn_status : int {
    ST_OK = 0,
    ST_BUFFER_TOO_SMALL = 1018,   // needed length written back
    ST_BAD_ARGUMENT = 11001,      // missing argument or length out of range
    ST_KEYCARD_EXPIRED = 11002,
    ST_MATRIX_ID_MISMATCH = 11003,
    ST_UNKNOWN_CIPHER = 11004,    // unknown cipher or SM4 mode
    ST_ENVELOPE_CREATE = 11005,
    ST_FILE_OPEN = 11006,
    ST_MATRIX_FILE_OPEN = 11008,
    ST_FILE_REMOVE = 11009,
    ST_FILE_WRITE = 11010,        // a data file cannot be overwritten or flushed
    ST_ENVELOPE_CONTENT = 11011,  // content missing (decrypt) or present (open)
    ST_NO_MEMORY = 12001,
    ST_DIGEST_LENGTH = 12004,
    ST_BAD_DER = 12005,
    ST_NO_DIGEST = 13001,
    ST_NO_CIPHER = 13003,          // no cipher for an envelope's object
    ST_DIGEST_FAILED = 14001,
    ST_ENCRYPT_FAILED = 14002,
    ST_DECRYPT_FAILED = 14003,
    ST_BAD_SIGNATURE = 14005,
    ST_BAD_ID_POINT = 14006,
    ST_ADDRESSEE_MISMATCH = 14008, // envelope addressed to another identity
    ST_ENV_MATRIX_MISMATCH = 14009, // envelope made under another matrix
    ST_RECOVERY_MISMATCH = 14011,  // recovery envelope digest differs
    ST_SM2_TOO_LONG = 14012,
    ST_BN_CONVERT = 15001,
    ST_BN_ALLOC = 15002,
    ST_RANDOM_FAILED = 15003,
    ST_NO_POINT_FOR_X = 16001,
    ST_BAD_ENV_POINT = 16002,
    ST_POINT_ALLOC = 16003,
    ST_POINT_MUL = 16004,
    ST_NO_ORDER = 16005,
    ST_UNKNOWN_CURVE = 16006,
    ST_SIGNATURE_LENGTH = 16009,   // card signature not 64 bytes
    ST_MIXED_CURVES = 16010,
};
