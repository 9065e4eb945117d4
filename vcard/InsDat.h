// The card's instruction table, its parallel handler table and the file-access
// table. Handlers take no arguments: they read the parsed command from sIFP
// (cosstate.h), write their reply through sIFP.reply, set sIFP.Le to the reply
// length and return the status word.
#pragma once

#include <cstdint>

#include "vcard/card_protocol.h"

// Check flags of an instruction row: which bounds are tested.
enum : uint8_t {
    CHK_LE_MIN = 0x01,
    CHK_LE_MAX = 0x02,
    CHK_LC_MIN = 0x04,
    CHK_LC_MAX = 0x08,
    CHK_P2_MIN = 0x10,
    CHK_P2_MAX = 0x20,
    CHK_P1_MIN = 0x40,
    CHK_P1_MAX = 0x80,
};

// One row of InsDats. Each bound word holds the minimum in its low byte and
// the maximum in the next byte.
struct _ins_dat_ {
    uint8_t CLA;
    uint8_t INS;
    uint8_t MacKey;      // key record for secure messaging (CLA 0x84 rows)
    uint32_t Access;     // access condition against sSecStatus
    uint8_t Flags;       // CHK_* bits
    uint8_t Case;        // 0..3, or 4: resolved from P1/P2
    uint32_t P1;
    uint32_t P2;
    uint32_t Lc;
    uint32_t Le;
};

typedef uint16_t (*ins_handler_t)();

// One row of InsFuncs, parallel to InsDats. A null handler answers SW_INS_NOT_SUPPORTED.
struct _ins_func_ {
    uint8_t INS;
    ins_handler_t Func;
};

// File-access operations, the index into _file_secure_::Access.
enum : uint8_t {
    FOP_SELECT = 0,
    FOP_CREATE = 1,
    FOP_READ = 2,
    FOP_UPDATE = 3,
    FOP_DELETE = 4,
};

// One row of FSecures: ids First .. First+Count-1. For select the word is a
// flag (non-zero: the host may select the file); the others are access
// conditions. A row with First 0xFF ends the table.
struct _file_secure_ {
    uint8_t First;
    uint8_t Count;
    uint32_t Access[5];
};

constexpr int INS_COUNT = 44;                 // rows before the end row
constexpr uint32_t ACCESS_NEVER = 0xFFFFFFFFu;

extern const _ins_dat_ InsDats[INS_COUNT + 1];
extern const _ins_func_ InsFuncs[INS_COUNT + 1];
extern const _file_secure_ FSecures[];
extern const uint8_t Valid_CLA[3];

// For op FOP_SELECT the row's select word; for the other ops 1 when granted by
// secStatus, else 0. A file id no row covers gives 0 for every op.
uint32_t CheckFileSecure(uint16_t fileId, uint8_t op, uint16_t secStatus);

// Administration
uint16_t Ins_Reset_Cos();
uint16_t Ins_Restoration();
uint16_t Ins_Debug();
uint16_t Ins_Get_SN();
uint16_t Ins_Get_Version();
uint16_t Ins_Initialize_System_Key();
uint16_t Ins_Card_Block();
uint16_t Ins_Update_System_Key();
// PIN
uint16_t Ins_Verify_PIN();
uint16_t Ins_Auto_Verify();
uint16_t Ins_Unlock_PIN();
uint16_t Ins_Reload_PIN();
uint16_t Ins_Change_PIN();
uint16_t Ins_Cache_PIN();
// Authentication
uint16_t Ins_External_Authenticate();
uint16_t Ins_Get_Challenge();
uint16_t Ins_Internal_Authenticate();
// Files
uint16_t Ins_Select_File();
uint16_t Ins_Read_File();
uint16_t Ins_Update_File();
uint16_t Ins_Create_File();
uint16_t Ins_Delete_File();
// Key matrix, private keys and recovery (ins_matrix.cpp)
uint16_t Ins_Get_erG();
uint16_t Ins_Restore_rG();
uint16_t Ins_Get_eID();
uint16_t Ins_Matrix();
uint16_t Ins_Private_Key();
// Cryptography (ins_crypto.cpp)
uint16_t Ins_Symmetrical();
uint16_t Ins_HASH();
uint16_t Ins_ECDSA_Sign();
uint16_t Ins_ECDSA_Verify();
uint16_t Ins_ECC_GenDE();
uint16_t Ins_ECC_OpenDE();
uint16_t Ins_ECC_ECDH();
uint16_t Ins_SM2();
