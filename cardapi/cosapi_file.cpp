// Card commands for files, and the key-slot record sequences built on them.
#include "cardapi/cos_frame.h"

using namespace cosapi;

namespace {

constexpr uint32_t CHUNK = 128;
// The largest data field of an update: the command, header and Lc included,
// fits in 256 bytes.
constexpr uint32_t ROOM_PROBE_MAX = 251;

// One chunk's frame: the offset travels high byte in P1, low byte in P2.
// Offsets are kept in 32 bits so that a length near 65535 cannot wrap.
void chunk_frame(_apdu_frame_& f, uint8_t ins, uint32_t off)
{
    frame_init(f, CLA_PLAIN, ins, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off & 0xFF));
}

uint32_t chunk_len(uint32_t off, uint32_t total)
{
    return off + CHUNK <= total ? CHUNK : total - off;
}

// Replaces a key slot's record file: the old file goes, a new one of the
// given size takes the data. The record's size is checked first, so an
// oversized record never costs the slot its old one.
uint32_t replace_record(uint8_t fileId, uint16_t size, const uint8_t* data, uint16_t len)
{
    if (len > size) return ST_BAD_ARGUMENT;
    // Only a file that is not there needs no delete; a select or a delete
    // that fails ends the replacement before anything else is written.
    uint32_t st = COS_SelectFile(fileId, nullptr);
    if (st == ST_OK) st = COS_DeleteFile(fileId);
    else if (st == ST_FILE_NOT_FOUND) st = ST_OK;
    if (st != ST_OK) return st;
    st = COS_CreateFile(fileId, size);
    if (st != ST_OK) return st;
    return COS_WriteFile(data, len);
}

}  // namespace

uint32_t COS_CreateFile(uint8_t fileId, uint16_t size)
{
    if (size > FILE_SIZE_MAX) return ST_FILE_TOO_LARGE;
    _apdu_frame_ f;
    frame_init(f, CLA_PROPRIETARY, INS_CREATE_FILE, fileId, 0x00);
    const uint8_t entry[8] = {fileId, 0, 0, 0, 0, 0, static_cast<uint8_t>(size & 0xFF),
                              static_cast<uint8_t>(size >> 8)};
    frame_put(f, entry, sizeof entry);
    return COS_Transfer(&f);
}

uint32_t COS_SelectFile(uint8_t fileId, uint16_t* len)
{
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_SELECT_FILE, fileId, 0x00);
    f.Le = 2;
    uint32_t st = COS_Transfer(&f);
    if (st == ST_OK && len) *len = static_cast<uint16_t>((f.data[0] << 8) | f.data[1]);
    return st;
}

uint32_t COS_WriteFile(const uint8_t* data, uint16_t len)
{
    if (!data) return ST_BAD_ARGUMENT;
    for (uint32_t off = 0; off < len; off += CHUNK) {
        _apdu_frame_ f;
        chunk_frame(f, INS_UPDATE_FILE, off);
        frame_put(f, data + off, chunk_len(off, len));
        uint32_t st = COS_Transfer(&f);
        if (st != ST_OK) return st;
    }
    return ST_OK;
}

uint32_t COS_FileHasRoom(uint16_t len)
{
    // No card file is larger than FILE_SIZE_MAX bytes.
    if (len > FILE_SIZE_MAX) return ST_FILE_TOO_LARGE;
    if (len == 0) return ST_OK;
    // The card refuses an update before it writes anything when the offset
    // lies beyond the file's size (SW_WRONG_OFFSET) or when the data would
    // end beyond it (SW_FILE_TOO_LARGE). Each question is an update that
    // ends one byte past the largest size the file may still have, so the
    // card refuses it either way, and its answer tells on which side of the
    // offset the size lies. The offsets walk down from the top, one full
    // data field at a time, until one lies within the file or the offset len
    // itself lies beyond it.
    static const uint8_t filler[ROOM_PROBE_MAX] = {};
    uint32_t top = FILE_SIZE_MAX;  // the file holds at most top bytes
    for (;;) {
        const uint32_t off = top + 1 - len > ROOM_PROBE_MAX ? top + 1 - ROOM_PROBE_MAX : len;
        _apdu_frame_ f;
        chunk_frame(f, INS_UPDATE_FILE, off);
        frame_put(f, filler, top + 1 - off);
        const uint32_t st = COS_Transfer(&f);
        if (st == ST_FILE_TOO_LARGE) return ST_OK;  // off (>= len) lies within the file
        if (st != SW_WRONG_OFFSET) return st;        // the card's refusal of the update itself
        if (off == len) return ST_FILE_TOO_LARGE;
        top = off - 1;
    }
}

uint32_t COS_ReadFile(uint8_t* out, uint16_t* len)
{
    if (!out || !len) return ST_BAD_ARGUMENT;
    const uint32_t total = *len;
    for (uint32_t off = 0; off < total; off += CHUNK) {
        _apdu_frame_ f;
        chunk_frame(f, INS_READ_FILE, off);
        uint32_t want = chunk_len(off, total);
        f.Le = static_cast<uint8_t>(want);
        uint32_t st = COS_Transfer(&f);
        if (st != ST_OK) return st;
        // Never past this chunk's share of the caller's buffer.
        memcpy(out + off, f.data, f.Le < want ? f.Le : want);
    }
    return ST_OK;
}

uint32_t COS_DeleteFile(uint8_t fileId)
{
    _apdu_frame_ f;
    frame_init(f, CLA_PLAIN, INS_DELETE_FILE, fileId, 0x00);
    return COS_Transfer(&f);
}

uint32_t COS_WritePubKey(uint8_t k, const uint8_t* data, uint16_t len)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!data) return ST_BAD_ARGUMENT;
    return replace_record(static_cast<uint8_t>(FID_PUBREC + k), PUBREC_FILE_SIZE, data, len);
}

uint32_t COS_WriteKeyId(uint8_t k, const uint8_t* data, uint8_t len)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!data) return ST_BAD_ARGUMENT;
    return replace_record(static_cast<uint8_t>(FID_KEYID + k), KEYID_FILE_SIZE, data, len);
}

uint32_t COS_ReadPubKey(uint8_t k, uint8_t* out, uint16_t* len)
{
    if (k > KEY_SLOT_MAX) return ST_KEY_SLOT;
    if (!out || !len) return ST_BAD_ARGUMENT;
    uint16_t fileLen = 0;
    uint32_t st = COS_SelectFile(static_cast<uint8_t>(FID_PUBREC + k), &fileLen);
    if (st != ST_OK) return st;
    if (*len < fileLen) return ST_BUFFER_TOO_SMALL;
    *len = fileLen;
    return COS_ReadFile(out, len);
}
