#include "vcard/filesys.h"

#include <cstring>

#include "smcrypto/little.h"
#include "vcard/eflash.h"

namespace {


// Most sectors a chain can have that any operation needs to follow: a file
// holds at most 64 sectors, and no chain of a sound image is longer than the
// card has sectors. A walk never takes more steps than this.
constexpr uint32_t MAX_CHAIN_STEPS = FS_SECTORS;

bool ValidSector(uint32_t s) { return s < FS_SECTORS; }

uint32_t DataAddr(uint16_t sector, uint32_t pos)
{
    return (static_cast<uint32_t>(sector) + 128u) * FS_SECTOR_SIZE + pos;
}

// Directory slot in image byte order <-> entry in host order.
void EntryToImage(const _file_info_& e, uint8_t raw[8])
{
    _file_info_ le = e;
    le.used = swap16(e.used);
    le.first = swap16(e.first);
    le.maxsize = swap16(e.maxsize);
    std::memcpy(raw, &le, 8);
}

bool StoreEntry(const _file_info_& e)
{
    uint8_t raw[8];
    EntryToImage(e, raw);
    return FlashWrite(FS_DIR_OFF + 8u * e.fid, raw, 8) == 0;
}

bool Fill(uint32_t offset, uint8_t value, uint32_t n)
{
    uint8_t buf[FS_SECTOR_SIZE];
    std::memset(buf, value, sizeof buf);
    while (n > 0) {
        uint32_t k = n < sizeof buf ? n : sizeof buf;
        if (FlashWrite(offset, buf, k) != 0)
            return false;
        offset += k;
        n -= k;
    }
    return true;
}

// Bitmap word of a sector: read, set or clear the sector's bit, write back.
bool SetSectorStatus(uint16_t sector, uint8_t used)
{
    uint32_t off = FS_BITMAP_OFF + 4u * (sector >> 5);
    uint32_t word;
    if (FlashRead(off, &word, 4) != 0)
        return false;
    word = swap32(word);
    uint32_t bit = 1u << (sector & 31);
    word = used ? (word | bit) : (word & ~bit);
    word = swap32(word);
    return FlashWrite(off, &word, 4) == 0;
}

// Chain item of a sector: its own number, then the next sector.
bool SetPTItem(uint16_t sector, uint16_t next)
{
    uint16_t item[2] = {swap16(sector), swap16(next)};
    return FlashWrite(FS_CHAIN_OFF + 4u * sector, item, 4) == 0;
}

// Next sector of the chain; FS_NO_SECTOR at the end of the chain. A next
// sector beyond the data area (a damaged chain) also ends it.
bool NextSector(uint16_t sector, uint16_t* next)
{
    uint16_t item[2];
    if (FlashRead(FS_CHAIN_OFF + 4u * sector, item, 4) != 0)
        return false;
    uint16_t n = swap16(item[1]);
    *next = ValidSector(n) ? n : FS_NO_SECTOR;
    return true;
}

// The bitmap as 28 host-order words.
bool ReadBitmap(uint32_t words[FS_BITMAP_WORDS])
{
    if (FlashRead(FS_BITMAP_OFF, words, 4 * FS_BITMAP_WORDS) != 0)
        return false;
    for (uint32_t w = 0; w < FS_BITMAP_WORDS; ++w)
        words[w] = swap32(words[w]);
    return true;
}

// Lowest free sector of the bitmap, FS_NO_SECTOR when every sector is used.
uint16_t LowestFree(const uint32_t words[FS_BITMAP_WORDS])
{
    for (uint32_t w = 0; w < FS_BITMAP_WORDS; ++w)
        for (uint32_t b = 0; b < 32; ++b)
            if (!(words[w] & (1u << b)))
                return static_cast<uint16_t>(32 * w + b);
    return FS_NO_SECTOR;
}

uint32_t FreeCount(const uint32_t words[FS_BITMAP_WORDS])
{
    uint32_t n = 0;
    for (uint32_t w = 0; w < FS_BITMAP_WORDS; ++w)
        n += 32 - static_cast<uint32_t>(__builtin_popcount(words[w]));
    return n;
}

// The first `want` sectors of the chain that starts at first (fewer when the
// chain is shorter). Returns false when the image cannot be read.
bool WalkChain(uint16_t first, uint32_t want, uint16_t* chain, uint32_t* have)
{
    *have = 0;
    uint16_t s = first;
    while (*have < want && ValidSector(s)) {
        chain[(*have)++] = s;
        if (*have == want)
            break;
        if (!NextSector(s, &s))
            return false;
    }
    return true;
}

}  // namespace

uint16_t FileSysInit()
{
    if (Init_Flash() != 0)
        return SW_MEMORY_FAILURE;
    uint8_t zero[4 * FS_BITMAP_WORDS] = {};
    return FlashWrite(FS_BITMAP_OFF, zero, sizeof zero) == 0 ? FS_OK : SW_MEMORY_FAILURE;
}

uint16_t SelectFile(uint8_t fid, _file_info_* out)
{
    uint8_t raw[8];
    if (FlashRead(FS_DIR_OFF + 8u * fid, raw, 8) != 0)
        return SW_MEMORY_FAILURE;
    std::memcpy(out, raw, 8);
    if (raw[0] != fid)
        return SW_FILE_NOT_FOUND;
    out->used = swap16(out->used);
    out->first = swap16(out->first);
    out->maxsize = swap16(out->maxsize);
    return FS_OK;
}

uint16_t CreateCOSFile(_file_info_* info)
{
    _file_info_ old;
    uint16_t sw = SelectFile(info->fid, &old);
    if (sw == FS_OK)
        return SW_FILE_EXISTS;
    if (sw != SW_FILE_NOT_FOUND)
        return sw;
    if (info->maxsize > FS_FILE_MAX)
        return SW_FILE_TOO_LARGE;
    info->used = 0;
    info->first = FS_NO_SECTOR;
    return StoreEntry(*info) ? FS_OK : SW_MEMORY_FAILURE;
}

uint16_t DeleteCOSFile(uint8_t fid)
{
    _file_info_ e;
    uint16_t sw = SelectFile(fid, &e);
    if (sw != FS_OK)
        return sw;
    uint16_t s = e.first;
    for (uint32_t steps = 0; ValidSector(s) && steps < MAX_CHAIN_STEPS; ++steps) {
        uint16_t next;
        if (!SetSectorStatus(s, 0) || !Fill(DataAddr(s, 0), 0xFF, FS_SECTOR_SIZE) ||
            !NextSector(s, &next) || !Fill(FS_CHAIN_OFF + 4u * s, 0xFF, 4))
            return SW_MEMORY_FAILURE;
        s = next;
    }
    return Fill(FS_DIR_OFF + 8u * fid, 0xFF, 8) ? FS_OK : SW_MEMORY_FAILURE;
}

uint16_t ReadCOSFile(_file_info_ entry, uint16_t offset, uint8_t* buffer, uint16_t length)
{
    const uint32_t off = offset, end = off + length;
    if (off > entry.used)
        return SW_OFFSET_BEYOND_USED;
    if (end > entry.used)
        return static_cast<uint16_t>(SW_WRONG_LE | ((entry.used - off) & 0xFF));

    // Sectors of the chain up to the one that holds the last byte read (for a
    // read of 0 bytes, the one at the offset).
    const uint32_t firstIdx = off >> 6;
    const uint32_t lastIdx = length ? (end - 1) >> 6 : firstIdx;
    uint16_t chain[FS_FILE_MAX / FS_SECTOR_SIZE + 1];
    uint32_t have;
    if (lastIdx >= sizeof chain / sizeof chain[0])
        return SW_NO_SECTOR;   // only an entry beyond any sound file size gets here
    if (!WalkChain(entry.first, lastIdx + 1, chain, &have))
        return SW_MEMORY_FAILURE;
    if (have <= firstIdx)
        return SW_NO_SECTOR;

    uint32_t pos = off, done = 0;
    while (done < length) {
        uint32_t idx = pos >> 6;
        if (idx >= have)
            return SW_CHAIN_ENDS;
        uint32_t r = pos & 63;
        uint32_t k = FS_SECTOR_SIZE - r;
        if (k > length - done)
            k = length - done;
        if (FlashRead(DataAddr(chain[idx], r), buffer + done, k) != 0)
            return SW_MEMORY_FAILURE;
        done += k;
        pos += k;
    }
    return FS_OK;
}

uint16_t WriteCOSFile(_file_info_ entry, uint16_t offset, const uint8_t* data, uint16_t length)
{
    const uint32_t off = offset, end = off + length;
    // A damaged directory may give any maximum size; no file exceeds 4096 bytes.
    const uint32_t maxsize = entry.maxsize < FS_FILE_MAX ? entry.maxsize : FS_FILE_MAX;
    if (off > maxsize)
        return SW_WRONG_P1P2;
    if (end > maxsize)
        return SW_FILE_TOO_LARGE;

    // Every sector up to the one holding the last byte written (for a write
    // of 0 bytes, the one at the offset) must exist afterwards. Count what
    // the chain lacks and make sure the card has that many free sectors
    // before anything is written, so a full card changes nothing.
    const uint32_t need = (length ? (end - 1) >> 6 : off >> 6) + 1;
    uint16_t chain[FS_FILE_MAX / FS_SECTOR_SIZE + 1];
    uint32_t have = 0;
    if (entry.first != FS_NO_SECTOR) {
        if (!ValidSector(entry.first))
            return SW_MEMORY_FAILURE;   // damaged entry: its chain cannot be followed
        if (!WalkChain(entry.first, need, chain, &have))
            return SW_MEMORY_FAILURE;
    }
    uint32_t bitmap[FS_BITMAP_WORDS];
    if (!ReadBitmap(bitmap))
        return SW_MEMORY_FAILURE;
    if (need - have > FreeCount(bitmap))
        return SW_NOT_ENOUGH_SPACE;

    // Extend the chain, each new sector the lowest free one, linked behind
    // the last sector of the chain.
    while (have < need) {
        uint16_t s = LowestFree(bitmap);
        bitmap[s >> 5] |= 1u << (s & 31);
        if (!SetSectorStatus(s, 1) || !SetPTItem(s, FS_NO_SECTOR))
            return SW_MEMORY_FAILURE;
        if (have == 0)
            entry.first = s;
        else if (!SetPTItem(chain[have - 1], s))
            return SW_MEMORY_FAILURE;
        chain[have++] = s;
    }

    // Zeros over any gap between the used length and the offset, then the data.
    auto put = [&](uint32_t pos, const uint8_t* src, uint32_t n) {
        uint8_t zeros[FS_SECTOR_SIZE] = {};
        while (n > 0) {
            uint32_t r = pos & 63;
            uint32_t k = FS_SECTOR_SIZE - r;
            if (k > n)
                k = n;
            if (FlashWrite(DataAddr(chain[pos >> 6], r), src ? src : zeros, k) != 0)
                return false;
            if (src)
                src += k;
            pos += k;
            n -= k;
        }
        return true;
    };
    if (off > entry.used) {
        if (!put(entry.used, nullptr, off - entry.used))
            return SW_MEMORY_FAILURE;
        entry.used = offset;
    }
    if (!put(off, data, length))
        return SW_MEMORY_FAILURE;
    if (end > entry.used)
        entry.used = static_cast<uint16_t>(end);
    return StoreEntry(entry) ? FS_OK : SW_MEMORY_FAILURE;
}
