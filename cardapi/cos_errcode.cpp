// The status-word table: card status words to status codes.
#include "cardapi/cos_errcode.h"

#include "cardapi/cos_status.h"

uint32_t COS_GetErrCode(uint32_t sw)
{
    struct row {
        uint16_t sw;
        uint16_t code;
    };
    static const row table[] = {
        {0x9000, ST_OK},
        {0x6E00, ST_CLA_NOT_SUPPORTED},
        {0x6D00, ST_INS_NOT_SUPPORTED},
        {0x6581, ST_MEMORY_FAILURE},
        {0x6A84, ST_NOT_ENOUGH_SPACE},
        {0x6A86, ST_WRONG_P1P2},
        {0x6A81, ST_CARD_BLOCKED},
        {0x6985, ST_CONDITIONS},
        {0x6A80, ST_WRONG_DATA},
        {0x6982, ST_SECURITY},
        {0x6988, ST_MAC_WRONG},
        {0x6700, ST_WRONG_LENGTH},
        {0x6984, ST_NO_CHALLENGE},
        {0x6987, ST_SM_OBJECTS},
        {0x698A, ST_SM_DATA},
        {0x6A02, ST_CRC_FAILED},
        {0x6983, ST_PIN_BLOCKED},
        {0x6A82, ST_FILE_NOT_FOUND},
        {0x6A87, ST_FILE_EXISTS},
        {0x6981, ST_FILE_STRUCTURE},
        {0x6989, ST_FILE_CONDITION},
        {0x6A88, ST_FILE_TOO_LARGE},
        {0x6A83, ST_RECORD_NOT_FOUND},
        {0x6A85, ST_RECORD_LENGTH},
        {0x6A89, ST_OFFSET_BEYOND},
        {0x6A03, ST_KEY_RECORD},
        {0x6A8A, ST_NO_SESSION_KEY},
        {0x9302, ST_SIGNATURE_INVALID},
        {0x9304, ST_KEY_CONDITION},
    };
    for (const row& r : table)
        if (r.sw == sw) return r.code;
    return sw;
}
