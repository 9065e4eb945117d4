#include "vcard/cosstate.h"

#include <cstring>

_cmd_frame_ sIFP;
_dev_info_ sDevInfo;
_file_info_ sfi = {NO_CURRENT_FILE, 0, 0, 0, 0};
_embed_sha1_state sSha1Ctx;
uint8_t sSha1Status;
_sm3_ctx_ sSM3Ctx;
uint8_t sSM3Status;
uint32_t sCurDate;
_len_buf_ sRand;
_len_buf_ sInnerKey;
_len_buf_ sUsrPin;
_len_buf_ sSessonKey;
uint16_t sSecStatus;

void ClearCurrentFile()
{
    std::memset(&sfi, 0, sizeof sfi);
    sfi.fid = NO_CURRENT_FILE;
}

uint16_t DeleteCardFile(uint8_t fid)
{
    uint16_t st = DeleteCOSFile(fid);
    // Also after a failed delete: the entry may be partly gone.
    if (sfi.fid == fid)
        ClearCurrentFile();
    return st;
}

uint32_t GetLE32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
