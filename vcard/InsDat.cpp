// The instruction table, its handler table and the file-access table.
#include "vcard/InsDat.h"

#include "vcard/secure.h"

namespace {

// Bound word: minimum in the low byte, maximum in the next.
constexpr uint32_t B(uint32_t lo, uint32_t hi) { return lo | (hi << 8); }
constexpr uint32_t ONE(uint32_t v) { return B(v, v); }
constexpr uint32_t NONE = 0;

constexpr uint8_t P1_BOTH = CHK_P1_MIN | CHK_P1_MAX;
constexpr uint8_t P2_BOTH = CHK_P2_MIN | CHK_P2_MAX;
constexpr uint8_t LC_BOTH = CHK_LC_MIN | CHK_LC_MAX;
constexpr uint8_t LE_BOTH = CHK_LE_MIN | CHK_LE_MAX;

}  // namespace

const uint8_t Valid_CLA[3] = {CLA_PLAIN, CLA_SECURE, CLA_PROPRIETARY};

// CLA, INS, MAC key, access, flags, case, P1, P2, Lc, Le.
const _ins_dat_ InsDats[INS_COUNT + 1] = {
    {CLA_PLAIN, INS_RESET_COS, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, ONE(0x00), ONE(0x00), ONE(0x10), NONE},
    {CLA_PLAIN, INS_RESTORATION, 0, 0x00000000, 0, 2, NONE, NONE, NONE, NONE},
    {CLA_PLAIN, INS_DEBUG, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0xFF), B(0x00, 0xFF), ONE(0x10), B(0x00, 0xFF)},
    {CLA_PLAIN, INS_GET_SN, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x08, 0x10)},
    {CLA_PLAIN, INS_GET_VERSION, 0, 0x00000000, 0, 2, NONE, NONE, NONE, NONE},
    {CLA_PLAIN, INS_INIT_SYSTEM_KEY, 0, 0x00000008, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x01, 0x0B), B(0x00, 0x05), ONE(0x18), NONE},
    {CLA_SECURE, INS_CARD_BLOCK, 1, 0x00000000, LC_BOTH, 1, NONE, NONE, ONE(0x04), NONE},
    {CLA_PLAIN, INS_VERIFY_PIN, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x01, 0x03), B(0x08, 0x14), NONE},
    {CLA_PLAIN, INS_AUTO_VERIFY, 0, 0x00000000, LC_BOTH, 1, NONE, NONE, ONE(0x04), NONE},
    {CLA_PROPRIETARY, INS_UNLOCK_PIN, 0, 0x00000000, P2_BOTH, 0, NONE, B(0x02, 0x03), NONE, NONE},
    {CLA_PLAIN, INS_GET_ERG, 0, 0x00000010, LE_BOTH, 2, NONE, NONE, NONE, ONE(0x46)},
    {CLA_PLAIN, INS_RESTORE_RG, 0, 0x00000010, LC_BOTH, 1, NONE, NONE, B(0x38, 0x40), NONE},
    {CLA_PLAIN, INS_GET_EID, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x01, 0x40)},
    {CLA_PROPRIETARY, INS_GEN_MATRIX, 0, 0x00300000, LE_BOTH, 2, NONE, NONE, NONE, B(0x12, 0xF2)},
    {CLA_PROPRIETARY, INS_EXPORT_MATRIX, 1, 0x00280000, LE_BOTH, 2, NONE, NONE, NONE, B(0x12, 0xF2)},
    {CLA_PROPRIETARY, INS_IMPORT_MATRIX, 1, 0x00280000, LC_BOTH, 1, NONE, NONE, B(0x12, 0xF2), NONE},
    {CLA_PROPRIETARY, INS_CAL_ISK, 0, 0x00300000, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0x0F), NONE, B(0x08, 0x48), B(0x08, 0x20)},
    {CLA_PROPRIETARY, INS_APPLY_PRIKEY, 0, 0x00200000, LC_BOTH | LE_BOTH, 3, NONE, NONE, ONE(0x30), ONE(0x32)},
    {CLA_PROPRIETARY, INS_WRITE_PRIKEY, 1, 0x00300000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x10, 0x1F), B(0x00, 0xF1), B(0x0A, 0x22), NONE},
    {CLA_PLAIN, INS_SM4_ENCRYPT, 0, 0x00000000, P1_BOTH, 3, B(0x00, 0x01), NONE, NONE, NONE},
    {CLA_PLAIN, INS_SM4_DECRYPT, 0, 0x00000000, P1_BOTH, 3, B(0x00, 0x01), NONE, NONE, NONE},
    {CLA_PLAIN, INS_SHA1, 0, 0x00000000, P1_BOTH, 4, B(0x00, 0x03), NONE, NONE, NONE},
    {CLA_PLAIN, INS_SM3, 0, 0x00000000, P1_BOTH, 4, B(0x00, 0x03), NONE, NONE, NONE},
    {CLA_PROPRIETARY, INS_RELOAD_PIN, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x02, 0x03), B(0x08, 0x10), NONE},
    {CLA_PLAIN, INS_CHANGE_PIN, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x08, 0x10), B(0x01, 0x03), B(0x10, 0x20), NONE},
    {CLA_PLAIN, INS_CACHE_PIN, 0, 0x00200000, P1_BOTH | P2_BOTH, 0, B(0x00, 0x01), B(0x00, 0xFF), NONE, NONE},
    {CLA_PLAIN, INS_EXTERNAL_AUTH, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x01, 0x04), ONE(0x10), NONE},
    {CLA_PLAIN, INS_GET_CHALLENGE, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x04, 0x20)},
    {CLA_PLAIN, INS_INTERNAL_AUTH, 0, 0x00000000, LC_BOTH | LE_BOTH, 3, NONE, NONE, ONE(0x10), ONE(0x10)},
    {CLA_PLAIN, INS_SELECT_FILE, 0, 0x00000000, P1_BOTH | LE_BOTH, 2, B(0x00, 0xFE), NONE, NONE, ONE(0x02)},
    {CLA_PLAIN, INS_READ_FILE, 0, 0x00000000, CHK_LE_MIN, 2, NONE, NONE, NONE, B(0x01, 0xFF)},
    {CLA_PROPRIETARY, INS_ECDSA_SIGN, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, B(0x14, 0x20), B(0x10, 0x40)},
    {CLA_PROPRIETARY, INS_ECDSA_VERIFY, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x14, 0x20), B(0x00, 0x0F), B(0x34, 0xA0), NONE},
    {CLA_PROPRIETARY, INS_ECC_GEN_DE, 0, 0x00000000, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0x0F), NONE, B(0x10, 0x40), B(0x12, 0x42)},
    {CLA_PROPRIETARY, INS_ECC_OPEN_DE, 0, 0x00000020, P1_BOTH | P2_BOTH | LC_BOTH, 4, B(0x10, 0x1F), B(0x00, 0x01), B(0x12, 0x42), NONE},
    {CLA_PROPRIETARY, INS_ECC_ECDH, 0, 0x00000020, P1_BOTH | P2_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), B(0x00, 0x0F), B(0x10, 0x40), B(0x10, 0x40)},
    {CLA_SECURE, INS_UPDATE_SYSTEM_KEY, 1, 0x00000008, LC_BOTH, 1, NONE, NONE, ONE(0x24), NONE},
    {CLA_PLAIN, INS_UPDATE_FILE, 0, 0x00000000, 0, 1, NONE, NONE, NONE, NONE},
    {CLA_PROPRIETARY, INS_CREATE_FILE, 0, 0x00000000, P1_BOTH | LC_BOTH, 1, B(0x00, 0xFE), NONE, ONE(0x08), NONE},
    {CLA_PLAIN, INS_DELETE_FILE, 0, 0x00000000, P1_BOTH, 0, B(0x00, 0xFE), NONE, NONE, NONE},
    {CLA_PROPRIETARY, INS_SM2_SIGN, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, ONE(0x20), ONE(0x40)},
    {CLA_PROPRIETARY, INS_SM2_VERIFY, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, ONE(0x20), ONE(0x40), ONE(0xA0), NONE},
    {CLA_PROPRIETARY, INS_SM2_ENCRYPT, 0, 0x00000000, P1_BOTH | LC_BOTH | LE_BOTH, 3, ONE(0x40), NONE, B(0x41, 0xDE), B(0x62, 0xFF)},
    {CLA_PROPRIETARY, INS_SM2_DECRYPT, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, B(0x62, 0xFF), B(0x01, 0x9E)},
    {0x00, 0x00, 0, 0x00000000, 0, 0, NONE, NONE, NONE, NONE},  // end
};

// Rows whose handler is still null answer SW_INS_NOT_SUPPORTED through the dispatcher.
const _ins_func_ InsFuncs[INS_COUNT + 1] = {
    {INS_RESET_COS, Ins_Reset_Cos},
    {INS_RESTORATION, Ins_Restoration},
    {INS_DEBUG, Ins_Debug},
    {INS_GET_SN, Ins_Get_SN},
    {INS_GET_VERSION, Ins_Get_Version},
    {INS_INIT_SYSTEM_KEY, Ins_Initialize_System_Key},
    {INS_CARD_BLOCK, Ins_Card_Block},
    {INS_VERIFY_PIN, Ins_Verify_PIN},
    {INS_AUTO_VERIFY, Ins_Auto_Verify},
    {INS_UNLOCK_PIN, Ins_Unlock_PIN},
    {INS_GET_ERG, Ins_Get_erG},
    {INS_RESTORE_RG, Ins_Restore_rG},
    {INS_GET_EID, Ins_Get_eID},
    {INS_GEN_MATRIX, Ins_Matrix},
    {INS_EXPORT_MATRIX, Ins_Matrix},
    {INS_IMPORT_MATRIX, Ins_Matrix},
    {INS_CAL_ISK, Ins_Private_Key},
    {INS_APPLY_PRIKEY, Ins_Private_Key},
    {INS_WRITE_PRIKEY, Ins_Private_Key},
    {INS_SM4_ENCRYPT, Ins_Symmetrical},
    {INS_SM4_DECRYPT, Ins_Symmetrical},
    {INS_SHA1, Ins_HASH},
    {INS_SM3, Ins_HASH},
    {INS_RELOAD_PIN, Ins_Reload_PIN},
    {INS_CHANGE_PIN, Ins_Change_PIN},
    {INS_CACHE_PIN, Ins_Cache_PIN},
    {INS_EXTERNAL_AUTH, Ins_External_Authenticate},
    {INS_GET_CHALLENGE, Ins_Get_Challenge},
    {INS_INTERNAL_AUTH, Ins_Internal_Authenticate},
    {INS_SELECT_FILE, Ins_Select_File},
    {INS_READ_FILE, Ins_Read_File},
    {INS_ECDSA_SIGN, Ins_ECDSA_Sign},
    {INS_ECDSA_VERIFY, Ins_ECDSA_Verify},
    {INS_ECC_GEN_DE, Ins_ECC_GenDE},
    {INS_ECC_OPEN_DE, Ins_ECC_OpenDE},
    {INS_ECC_ECDH, Ins_ECC_ECDH},
    {INS_UPDATE_SYSTEM_KEY, Ins_Update_System_Key},
    {INS_UPDATE_FILE, Ins_Update_File},
    {INS_CREATE_FILE, Ins_Create_File},
    {INS_DELETE_FILE, Ins_Delete_File},
    {INS_SM2_SIGN, Ins_SM2},
    {INS_SM2_VERIFY, Ins_SM2},
    {INS_SM2_ENCRYPT, Ins_SM2},
    {INS_SM2_DECRYPT, Ins_SM2},
    {0x00, nullptr},  // end
};

namespace {
constexpr uint32_t N = ACCESS_NEVER;
}

// First id, count, then select flag, create, read, update, delete.
const _file_secure_ FSecures[] = {
    {FID_DEVINFO, 1, {0, N, N, N, N}},    // device status
    {FID_KEYS, 1, {0, N, N, N, N}},       // key file
    {FID_INNERKEY, 1, {0, N, N, N, N}},   // inner secret record
    {FID_TRANSPORT, 1, {0, N, N, N, N}},  // transport key
    {FID_CURVES, 1, {0, N, N, N, N}},     // curve table
    {FID_PRIVKEY, 16, {0, N, N, N, N}},   // private keys
    {0x21, 1, {0, N, N, N, N}},
    {FID_PUBREC, 16, {1, 0x00000010, 0x00000030, 0x00000010, 0x00000010}},  // public records
    {FID_KEYID, 16, {1, 0x00000010, 0x00000000, 0x00000010, 0x00000010}},  // key id records
    {FID_IDENTITY, 1, {1, 0x00000008, N, 0x00000008, N}},                     // identity record
    {FID_MATRIX_DER, 1, {1, 0x00000010, 0x00000020, 0x00000010, 0x00000010}},   // issuing matrix record
    {0x80, 64, {1, 0x00000010, 0x00000020, 0x00000010, 0x00000010}},  // free use
    {0xC0, 63, {1, 0x00000100, 0x00000080, 0x00000100, 0x00000100}},  // free use
    {0xFF, 0, {0, 0, 0, 0, 0}},           // end
};

uint32_t CheckFileSecure(uint16_t fileId, uint8_t op, uint16_t secStatus)
{
    if (op > FOP_DELETE)
        return 0;
    for (const _file_secure_* row = FSecures; row->First != 0xFF; ++row) {
        if (fileId >= row->First && fileId < uint32_t(row->First) + row->Count) {
            if (op == FOP_SELECT)
                return row->Access[FOP_SELECT];
            return CheckSecure(row->Access[op], secStatus) ? 1u : 0u;
        }
    }
    return 0;
}
