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
// selected. FS_OK; SW_CONDITIONS_NOT_SATISFIED (and no current file) when it
// is gone; SW_MEMORY_FAILURE (the current file kept) when its entry cannot
// be read.
uint16_t RefreshCurrentFile()
{
    if (sfi.fid == NO_CURRENT_FILE)
        return SW_CONDITIONS_NOT_SATISFIED;
    _file_info_ now;
    uint16_t st = SelectFile(sfi.fid, &now);
    if (st == SW_MEMORY_FAILURE)
        return st;
    if (st != FS_OK) {
        ClearCurrentFile();
        return SW_CONDITIONS_NOT_SATISFIED;
    }
    sfi = now;
    return FS_OK;
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
    uint16_t st = RefreshCurrentFile();
    if (st != FS_OK)
        return st;
    uint32_t offset = Offset();
    if (offset >= sfi.used)
        return SW_WRONG_OFFSET;
    uint32_t avail = sfi.used - offset;
    if (avail < sIFP.Le)
        return uint16_t(SW_WRONG_LE | (avail & 0xFF));
    st = ReadCOSFile(sfi, uint16_t(offset), sIFP.reply, sIFP.Le);
    return st != FS_OK ? st : SW_OK;
}

uint16_t Ins_Update_File()
{
    if (sfi.fid == NO_CURRENT_FILE)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (!CheckFileSecure(sfi.fid, FOP_UPDATE, sSecStatus))
        return SW_SECURITY_NOT_SATISFIED;
    uint16_t st = RefreshCurrentFile();
    if (st != FS_OK)
        return st;
    uint32_t offset = Offset();
    if (offset > sfi.maxsize)
        return SW_WRONG_OFFSET;
    // The identity record is written once, while it is empty.
    if (sfi.fid == FID_IDENTITY && sfi.used != 0)
        return SW_CONDITIONS_NOT_SATISFIED;
    st = WriteCOSFile(sfi, uint16_t(offset), sIFP.data, sIFP.Lc);
    // The write stored a new entry; keep the current record in step with it.
    // When that entry cannot be read back the current file goes, so that no
    // later update works from an entry older than the directory's.
    if (RefreshCurrentFile() == SW_MEMORY_FAILURE) {
        ClearCurrentFile();
        if (st == FS_OK)
            st = SW_MEMORY_FAILURE;
    }
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
