// File instructions: select, read, update, create and delete, each under the
// file-access table. Reads and updates work on the current file.
#include <cstring>

#include "vcard/InsDat.h"
#include "vcard/cosstate.h"
#include "vcard/filesys.h"

namespace {

uint16_t Offset() { return uint16_t(uint16_t(sIFP.P1) << 8 | sIFP.P2); }

// Reloads the current file's entry from the directory, so that reads and
// updates never act on an entry that has changed or gone since it was
// selected. False (and no current file) when it is gone.
bool RefreshCurrentFile()
{
    if (sfi.fid == NO_CURRENT_FILE)
        return false;
    _file_info_ now;
    if (SelectFile(sfi.fid, &now) != FS_OK) {
        ClearCurrentFile();
        return false;
    }
    sfi = now;
    return true;
}

}  // namespace

uint16_t Ins_Select_File()
{
    if (CheckFileSecure(sIFP.P1, FOP_SELECT, sSecStatus) == 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    _file_info_ found;
    uint16_t st = SelectFile(sIFP.P1, &found);
    if (st != FS_OK) {
        ClearCurrentFile();
        return st;
    }
    sfi = found;
    sIFP.reply[0] = uint8_t(sfi.used >> 8);
    sIFP.reply[1] = uint8_t(sfi.used);
    return SW_OK;
}

uint16_t Ins_Read_File()
{
    if (sfi.fid == NO_CURRENT_FILE)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (!CheckFileSecure(sfi.fid, FOP_READ, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    if (!RefreshCurrentFile())
        return SW_CONDITIONS_NOT_SATISFIED;
    uint32_t offset = Offset();
    if (offset >= sfi.used)
        return SW_WRONG_OFFSET;
    uint32_t avail = sfi.used - offset;
    if (avail < sIFP.Le)
        return uint16_t(SW_WRONG_LE | (avail & 0xFF));
    uint16_t st = ReadCOSFile(sfi, uint16_t(offset), sIFP.reply, sIFP.Le);
    return st != FS_OK ? st : SW_OK;
}

uint16_t Ins_Update_File()
{
    if (sfi.fid == NO_CURRENT_FILE)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (!CheckFileSecure(sfi.fid, FOP_UPDATE, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    if (!RefreshCurrentFile())
        return SW_CONDITIONS_NOT_SATISFIED;
    uint32_t offset = Offset();
    if (offset > sfi.maxsize)
        return SW_WRONG_OFFSET;
    // The identity record is written once, while it is empty.
    if (sfi.fid == FID_IDENTITY && sfi.used != 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    uint16_t st = WriteCOSFile(sfi, uint16_t(offset), sIFP.data, sIFP.Lc);
    // The write stored a new entry; keep the current record in step with it.
    RefreshCurrentFile();
    return st != FS_OK ? st : SW_OK;
}

uint16_t Ins_Create_File()
{
    const uint8_t* d = sIFP.data;
    if (!CheckFileSecure(d[0], FOP_CREATE, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    _file_info_ info;
    info.fid = d[0];
    info.rfu = d[1];
    info.used = 0;
    info.first = FS_NO_SECTOR;
    info.maxsize = uint16_t(d[6] | d[7] << 8);
    uint16_t st = CreateCOSFile(&info);
    if (st != FS_OK)
        return st;
    sfi = info;
    return SW_OK;
}

uint16_t Ins_Delete_File()
{
    if (!CheckFileSecure(sIFP.P1, FOP_DELETE, sSecStatus))
        return SW_CONDITIONS_NOT_SATISFIED;
    uint16_t st = DeleteCardFile(sIFP.P1);
    return st != FS_OK ? st : SW_OK;
}
