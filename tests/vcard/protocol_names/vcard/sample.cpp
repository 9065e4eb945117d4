// Sample card source for the protocol-name check: the check must report
// exactly the lines that carry the upper-case mark.
#include "vcard/card_protocol.h"

const uint8_t Valid_CLA[3] = {0x00, CLA_SECURE, CLA_PROPRIETARY};  // FLAG
const uint8_t Other_CLA[3] = {CLA_PLAIN, CLA_SECURE, CLA_PROPRIETARY};  // pass
const _ins_dat_ InsDats[3] = {
    {CLA_PLAIN, 0x02, 0, 0, 0, 1, 0, 0, 0, 0},  // FLAG
    {0x80, INS_SM2_SIGN, 0, 0, 0, 1, 0, 0, 0, 0},  // FLAG
    {0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0},  // end  pass
};
const _ins_func_ InsFuncs[2] = {
    {0x70, Ins_SM2},  // FLAG
    {0x00, nullptr},  // end  pass
};
const _file_secure_ FSecures[] = {
    {0x30, 16, {1, 0x00000010, 0x00000030, 0x00000010, 0x00000010}},  // pass (file ids)
};

uint16_t Handler(uint8_t* cmd, uint8_t ins)
{
    uint32_t k[2] = {0x98BADCFE, 0x10325476};  // pass (not a status word)
    uint16_t sw = 0x6a82;  // FLAG (lower case)
    sw = 0x9000u;  // FLAG (suffix)
    sw = uint16_t(0x6C << 8 | cmd[4]);  // FLAG (high byte shifted)
    sw = SW_WRONG_LE | 0x12;  // pass
    if (sIFP.INS == 0x50 || ins != 0x42)  // FLAG
        return SW_OK;
    if (0xD4 == cmd.INS)  // FLAG (reversed)
        return SW_OK;
    if (sIFP.CLA & 0x04)  // FLAG (class bit)
        return SW_OK;
    if (cla == 0x84)  // FLAG
        return SW_OK;
    if (sIFP.CLA & CLA_SM_BIT)  // pass
        return SW_OK;
    if (InsDats[row].INS != 0)  // pass (end of table)
        return FS_OK;
    if (InsDats[row].INS != 0 && sIFP.INS == 0x50)  // FLAG (beside an end test)
        return FS_OK;
    switch (sIFP.INS) {
    case 0x70:  // FLAG
        break;
    case INS_SM2_VERIFY:  // pass
        break;
    }
    switch (curve) {
    case 0x04:  // pass (not a switch on the instruction)
        break;
    }
    // Answers 0x6A86 on a wrong offset.  FLAG (comments too)
    return SW_WRONG_P1P2;  // pass
}
