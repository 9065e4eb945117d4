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

const uint8_t Valid_CLA[3] = {0x00, 0x84, 0x80};

// CLA, INS, MAC key, access, flags, case, P1, P2, Lc, Le.
const _ins_dat_ InsDats[INS_COUNT + 1] = {
    {0x00, 0x02, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, ONE(0x00), ONE(0x00), ONE(0x10), NONE},
    {0x00, 0x06, 0, 0x00000000, 0, 2, NONE, NONE, NONE, NONE},
    {0x00, 0x08, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0xFF), B(0x00, 0xFF), ONE(0x10), B(0x00, 0xFF)},
    {0x00, 0x0A, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x08, 0x10)},
    {0x00, 0x0C, 0, 0x00000000, 0, 2, NONE, NONE, NONE, NONE},
    {0x00, 0x0E, 0, 0x00000008, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x01, 0x0B), B(0x00, 0x05), ONE(0x18), NONE},
    {0x84, 0x16, 1, 0x00000000, LC_BOTH, 1, NONE, NONE, ONE(0x04), NONE},
    {0x00, 0x20, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x01, 0x03), B(0x08, 0x14), NONE},
    {0x00, 0x21, 0, 0x00000000, LC_BOTH, 1, NONE, NONE, ONE(0x04), NONE},
    {0x80, 0x24, 0, 0x00000000, P2_BOTH, 0, NONE, B(0x02, 0x03), NONE, NONE},
    {0x00, 0x36, 0, 0x00000010, LE_BOTH, 2, NONE, NONE, NONE, ONE(0x46)},
    {0x00, 0x38, 0, 0x00000010, LC_BOTH, 1, NONE, NONE, B(0x38, 0x40), NONE},
    {0x00, 0x3A, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x01, 0x40)},
    {0x80, 0x40, 0, 0x00300000, LE_BOTH, 2, NONE, NONE, NONE, B(0x12, 0xF2)},
    {0x80, 0x42, 1, 0x00280000, LE_BOTH, 2, NONE, NONE, NONE, B(0x12, 0xF2)},
    {0x80, 0x44, 1, 0x00280000, LC_BOTH, 1, NONE, NONE, B(0x12, 0xF2), NONE},
    {0x80, 0x46, 0, 0x00300000, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0x0F), NONE, B(0x08, 0x48), B(0x08, 0x20)},
    {0x80, 0x4A, 0, 0x00200000, LC_BOTH | LE_BOTH, 3, NONE, NONE, ONE(0x30), ONE(0x32)},
    {0x80, 0x48, 1, 0x00300000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x10, 0x1F), B(0x00, 0xF1), B(0x0A, 0x22), NONE},
    {0x00, 0x50, 0, 0x00000000, P1_BOTH, 3, B(0x00, 0x01), NONE, NONE, NONE},
    {0x00, 0x52, 0, 0x00000000, P1_BOTH, 3, B(0x00, 0x01), NONE, NONE, NONE},
    {0x00, 0x54, 0, 0x00000000, P1_BOTH, 4, B(0x00, 0x03), NONE, NONE, NONE},
    {0x00, 0x56, 0, 0x00000000, P1_BOTH, 4, B(0x00, 0x03), NONE, NONE, NONE},
    {0x80, 0x5C, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x02, 0x03), B(0x08, 0x10), NONE},
    {0x00, 0x5E, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x08, 0x10), B(0x01, 0x03), B(0x10, 0x20), NONE},
    {0x00, 0x80, 0, 0x00200000, P1_BOTH | P2_BOTH, 0, B(0x00, 0x01), B(0x00, 0xFF), NONE, NONE},
    {0x00, 0x82, 0, 0x00000000, P2_BOTH | LC_BOTH, 1, NONE, B(0x01, 0x04), ONE(0x10), NONE},
    {0x00, 0x84, 0, 0x00000000, LE_BOTH, 2, NONE, NONE, NONE, B(0x04, 0x20)},
    {0x00, 0x88, 0, 0x00000000, LC_BOTH | LE_BOTH, 3, NONE, NONE, ONE(0x10), ONE(0x10)},
    {0x00, 0xA4, 0, 0x00000000, P1_BOTH | LE_BOTH, 2, B(0x00, 0xFE), NONE, NONE, ONE(0x02)},
    {0x00, 0xB0, 0, 0x00000000, CHK_LE_MIN, 2, NONE, NONE, NONE, B(0x01, 0xFF)},
    {0x80, 0xC2, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, B(0x14, 0x20), B(0x10, 0x40)},
    {0x80, 0xC4, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, B(0x14, 0x20), B(0x00, 0x0F), B(0x34, 0xA0), NONE},
    {0x80, 0xC6, 0, 0x00000000, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x00, 0x0F), NONE, B(0x10, 0x40), B(0x12, 0x42)},
    {0x80, 0xC8, 0, 0x00000020, P1_BOTH | P2_BOTH | LC_BOTH, 4, B(0x10, 0x1F), B(0x00, 0x01), B(0x12, 0x42), NONE},
    {0x80, 0xCC, 0, 0x00000020, P1_BOTH | P2_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), B(0x00, 0x0F), B(0x10, 0x40), B(0x10, 0x40)},
    {0x84, 0xD4, 1, 0x00000008, LC_BOTH, 1, NONE, NONE, ONE(0x24), NONE},
    {0x00, 0xD6, 0, 0x00000000, 0, 1, NONE, NONE, NONE, NONE},
    {0x80, 0xE0, 0, 0x00000000, P1_BOTH | LC_BOTH, 1, B(0x00, 0xFE), NONE, ONE(0x08), NONE},
    {0x00, 0xE4, 0, 0x00000000, P1_BOTH, 0, B(0x00, 0xFE), NONE, NONE, NONE},
    {0x80, 0x70, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, ONE(0x20), ONE(0x40)},
    {0x80, 0x72, 0, 0x00000000, P1_BOTH | P2_BOTH | LC_BOTH, 1, ONE(0x20), ONE(0x40), ONE(0xA0), NONE},
    {0x80, 0x74, 0, 0x00000000, P1_BOTH | LC_BOTH | LE_BOTH, 3, ONE(0x40), NONE, B(0x41, 0xDE), B(0x62, 0xFF)},
    {0x80, 0x76, 0, 0x00000020, P1_BOTH | LC_BOTH | LE_BOTH, 3, B(0x10, 0x1F), NONE, B(0x62, 0xFF), B(0x01, 0x9E)},
    {0x00, 0x00, 0, 0x00000000, 0, 0, NONE, NONE, NONE, NONE},  // end
};

// Rows whose handler is still null answer 0x6D00 through the dispatcher.
const _ins_func_ InsFuncs[INS_COUNT + 1] = {
    {0x02, Ins_Reset_Cos},
    {0x06, Ins_Restoration},
    {0x08, Ins_Debug},
    {0x0A, Ins_Get_SN},
    {0x0C, Ins_Get_Version},
    {0x0E, Ins_Initialize_System_Key},
    {0x16, Ins_Card_Block},
    {0x20, Ins_Verify_PIN},
    {0x21, Ins_Auto_Verify},
    {0x24, Ins_Unlock_PIN},
    {0x36, Ins_Get_erG},
    {0x38, Ins_Restore_rG},
    {0x3A, Ins_Get_eID},
    {0x40, Ins_Matrix},
    {0x42, Ins_Matrix},
    {0x44, Ins_Matrix},
    {0x46, Ins_Private_Key},
    {0x4A, Ins_Private_Key},
    {0x48, Ins_Private_Key},
    {0x50, Ins_Symmetrical},
    {0x52, Ins_Symmetrical},
    {0x54, Ins_HASH},
    {0x56, Ins_HASH},
    {0x5C, Ins_Reload_PIN},
    {0x5E, Ins_Change_PIN},
    {0x80, Ins_Cache_PIN},
    {0x82, Ins_External_Authenticate},
    {0x84, Ins_Get_Challenge},
    {0x88, Ins_Internal_Authenticate},
    {0xA4, Ins_Select_File},
    {0xB0, Ins_Read_File},
    {0xC2, Ins_ECDSA_Sign},
    {0xC4, Ins_ECDSA_Verify},
    {0xC6, Ins_ECC_GenDE},
    {0xC8, Ins_ECC_OpenDE},
    {0xCC, Ins_ECC_ECDH},
    {0xD4, Ins_Update_System_Key},
    {0xD6, Ins_Update_File},
    {0xE0, Ins_Create_File},
    {0xE4, Ins_Delete_File},
    {0x70, Ins_SM2},
    {0x72, Ins_SM2},
    {0x74, Ins_SM2},
    {0x76, Ins_SM2},
    {0x00, nullptr},  // end
};

namespace {
constexpr uint32_t N = ACCESS_NEVER;
}

// First id, count, then select flag, create, read, update, delete.
const _file_secure_ FSecures[] = {
    {0x00, 1, {0, N, N, N, N}},     // device status
    {0x01, 1, {0, N, N, N, N}},     // key file
    {0x02, 1, {0, N, N, N, N}},     // inner secret record
    {0x03, 1, {0, N, N, N, N}},     // transport key
    {0x04, 1, {0, N, N, N, N}},     // curve table
    {0x10, 16, {0, N, N, N, N}},    // private keys
    {0x21, 1, {0, N, N, N, N}},
    {0x30, 16, {1, 0x00000010, 0x00000030, 0x00000010, 0x00000010}},  // public records
    {0x50, 16, {1, 0x00000010, 0x00000000, 0x00000010, 0x00000010}},  // key id records
    {0x40, 1, {1, 0x00000008, N, 0x00000008, N}},                     // identity record
    {0x42, 1, {1, 0x00000010, 0x00000020, 0x00000010, 0x00000010}},   // issuing matrix record
    {0x80, 64, {1, 0x00000010, 0x00000020, 0x00000010, 0x00000010}},  // free use
    {0xC0, 63, {1, 0x00000100, 0x00000080, 0x00000100, 0x00000100}},  // free use
    {0xFF, 0, {0, 0, 0, 0, 0}},                                       // end
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
