// The status-word table: card status words to status codes.
#include "cardapi/cos_errcode.h"

#include "cardapi/cos_status.h"
#include "vcard/card_protocol.h"

uint32_t COS_GetErrCode(uint32_t sw)
{
    struct row {
        uint16_t sw;
        uint16_t code;
    };
    static const row table[] = {
        {SW_OK, ST_OK},
        {SW_CLA_NOT_SUPPORTED, ST_CLA_NOT_SUPPORTED},
        {SW_INS_NOT_SUPPORTED, ST_INS_NOT_SUPPORTED},
        {SW_MEMORY_FAILURE, ST_MEMORY_FAILURE},
        {SW_NOT_ENOUGH_SPACE, ST_NOT_ENOUGH_SPACE},
        {SW_WRONG_P1P2, ST_WRONG_P1P2},
        {SW_CARD_BLOCKED, ST_CARD_BLOCKED},
        {SW_CONDITIONS_NOT_SATISFIED, ST_CONDITIONS},
        {SW_WRONG_DATA, ST_WRONG_DATA},
        {SW_SECURITY_NOT_SATISFIED, ST_SECURITY},
        {SW_MAC_WRONG, ST_MAC_WRONG},
        {SW_WRONG_LENGTH, ST_WRONG_LENGTH},
        {SW_NO_CHALLENGE, ST_NO_CHALLENGE},
        {SW_SM_OBJECTS_MISSING, ST_SM_OBJECTS},
        {SW_SM_DATA_WRONG, ST_SM_DATA},
        {SW_CRC_FAILED, ST_CRC_FAILED},
        {SW_AUTH_BLOCKED, ST_PIN_BLOCKED},
        {SW_FILE_NOT_FOUND, ST_FILE_NOT_FOUND},
        {SW_FILE_EXISTS, ST_FILE_EXISTS},
        {SW_FILE_STRUCTURE, ST_FILE_STRUCTURE},
        {SW_FILE_CONDITION, ST_FILE_CONDITION},
        {SW_FILE_TOO_LARGE, ST_FILE_TOO_LARGE},
        {SW_RECORD_NOT_FOUND, ST_RECORD_NOT_FOUND},
        {SW_RECORD_LENGTH, ST_RECORD_LENGTH},
        {SW_OFFSET_BEYOND_USED, ST_OFFSET_BEYOND},
        {SW_KEY_NOT_FOUND, ST_KEY_RECORD},
        {SW_NO_SESSION_KEY, ST_NO_SESSION_KEY},
        {SW_SIGNATURE_INVALID, ST_SIGNATURE_INVALID},
        {SW_KEY_CONDITION, ST_KEY_CONDITION},
    };
    for (const row& r : table)
        if (r.sw == sw) return r.code;
    return sw;
}
