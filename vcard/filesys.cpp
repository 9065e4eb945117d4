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

// Lowest free sector of the bitmap: words from 0 to 27, each from its least
// significant bit up, so freed sectors are reused lowest number first.
// FS_NO_SECTOR when every sector is used.
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

// The lowest free sector into *sector (FS_NO_SECTOR when every sector is in
// use); false when the bitmap cannot be read.
bool FindUsableSector(uint16_t* sector)
{
    uint32_t bitmap[FS_BITMAP_WORDS];
    if (!ReadBitmap(bitmap))
        return false;
    *sector = LowestFree(bitmap);
    return true;
}

void Report(uint16_t* status, uint16_t sw)
{
    if (status)
        *status = sw;
}

// Writes length bytes of src (zeros when src is null) at position pos of the
// chain that starts at first, extending the chain as needed; for length 0
// the chain still reaches the sector at pos. FS_OK or GetAddr's status.
uint16_t PutChain(uint16_t first, uint32_t pos, const uint8_t* src, uint32_t length)
{
    static const uint8_t zeros[FS_SECTOR_SIZE] = {};
    uint16_t current = first, st = FS_OK;
    uint16_t addr = GetAddr(1, &current, static_cast<uint16_t>(pos), &st);
    if (addr == 0)
        return st;
    uint32_t r = pos & 63;
    while (length > 0) {
        uint32_t k = FS_SECTOR_SIZE - r;
        if (k > length)
            k = length;
        if (FlashWrite(addr, src ? src : zeros, k) != 0)
            return SW_MEMORY_FAILURE;
        if (src)
            src += k;
        length -= k;
        if (length > 0) {
            addr = GetAddr(1, &current, FS_SECTOR_SIZE, &st);
            if (addr == 0)
                return st;
            r = 0;
        }
    }
    return FS_OK;
}

}  // namespace

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

uint16_t GetUsableSector()
{
    uint16_t s;
    return FindUsableSector(&s) ? s : FS_NO_SECTOR;
}

uint16_t GetAddr(uint8_t extend, uint16_t* current, uint16_t offset, uint16_t* status)
{
    uint16_t s = *current;
    if (!ValidSector(s)) {
        Report(status, SW_NO_SECTOR);
        return 0;
    }
    // At most 1023 steps: a chain that loops cannot hold the walk.
    for (uint32_t step = offset >> 6; step > 0; --step) {
        uint16_t next;
        if (!NextSector(s, &next)) {
            Report(status, SW_MEMORY_FAILURE);
            return 0;
        }
        if (next == FS_NO_SECTOR) {
            if (!extend) {
                *current = s;
                Report(status, SW_NO_SECTOR);
                return 0;
            }
            if (!FindUsableSector(&next)) {
                Report(status, SW_MEMORY_FAILURE);
                return 0;
            }
            if (next == FS_NO_SECTOR) {
                *current = s;
                Report(status, SW_NOT_ENOUGH_SPACE);
                return 0;
            }
            if (!SetSectorStatus(next, 1) || !SetPTItem(next, FS_NO_SECTOR) || !SetPTItem(s, next)) {
                Report(status, SW_MEMORY_FAILURE);
                return 0;
            }
        }
        s = next;
    }
    *current = s;
    Report(status, FS_OK);
    return static_cast<uint16_t>(DataAddr(s, offset & 63));
}

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
    // The entry goes first: a failure after it leaves sectors that no file
    // names (space lost, no file harmed), never an entry whose sectors are
    // free for the next file to take.
    if (!Fill(FS_DIR_OFF + 8u * fid, 0xFF, 8))
        return SW_MEMORY_FAILURE;
    uint16_t s = e.first;
    for (uint32_t steps = 0; ValidSector(s) && steps < MAX_CHAIN_STEPS; ++steps) {
        uint16_t next;
        if (!NextSector(s, &next) || !SetSectorStatus(s, 0) || !Fill(DataAddr(s, 0), 0xFF, FS_SECTOR_SIZE) ||
            !Fill(FS_CHAIN_OFF + 4u * s, 0xFF, 4))
            return SW_MEMORY_FAILURE;
        s = next;
    }
    return FS_OK;
}

uint16_t ReadCOSFile(_file_info_ entry, uint16_t offset, uint8_t* buffer, uint16_t length)
{
    const uint32_t off = offset, end = off + length;
    if (off > entry.used)
        return SW_OFFSET_BEYOND_USED;
    if (end > entry.used)
        return static_cast<uint16_t>(SW_WRONG_LE | ((entry.used - off) & 0xFF));

    // A sound file has at most 65 sectors (4096 bytes and a read of 0 bytes
    // at the end); only a damaged entry asks for more.
    const uint32_t lastIdx = length ? (end - 1) >> 6 : off >> 6;
    if (lastIdx > FS_FILE_MAX / FS_SECTOR_SIZE)
        return SW_NO_SECTOR;

    uint16_t current = entry.first, st = FS_OK;
    uint16_t addr = GetAddr(0, &current, offset, &st);
    if (addr == 0)
        return st == SW_MEMORY_FAILURE ? st : SW_NO_SECTOR;
    uint32_t r = off & 63, done = 0;
    while (done < length) {
        uint32_t k = FS_SECTOR_SIZE - r;
        if (k > length - done)
            k = length - done;
        if (FlashRead(addr, buffer + done, k) != 0)
            return SW_MEMORY_FAILURE;
        done += k;
        if (done < length) {
            addr = GetAddr(0, &current, FS_SECTOR_SIZE, &st);
            if (addr == 0)
                return st == SW_MEMORY_FAILURE ? st : SW_CHAIN_ENDS;
            r = 0;
        }
    }
    return FS_OK;
}

uint16_t WriteCOSFile(_file_info_ entry, uint16_t offset, const uint8_t* data, uint16_t length)
{
    const _file_info_ given = entry;
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
    uint32_t have = 0;
    if (entry.first != FS_NO_SECTOR) {
        if (!ValidSector(entry.first))
            return SW_MEMORY_FAILURE;   // damaged entry: its chain cannot be followed
        uint16_t current = entry.first, st = FS_OK;
        for (have = 1; have < need; ++have)
            if (GetAddr(0, &current, FS_SECTOR_SIZE, &st) == 0)
                break;
        if (have < need && st == SW_MEMORY_FAILURE)
            return st;
    }
    uint32_t bitmap[FS_BITMAP_WORDS];
    if (!ReadBitmap(bitmap))
        return SW_MEMORY_FAILURE;
    if (need - have > FreeCount(bitmap))
        return SW_NOT_ENOUGH_SPACE;

    // An empty file gets its first sector here; GetAddr extends the chain
    // behind it, each new sector the lowest free one.
    if (entry.first == FS_NO_SECTOR) {
        const uint16_t s = LowestFree(bitmap);
        if (!SetSectorStatus(s, 1) || !SetPTItem(s, FS_NO_SECTOR))
            return SW_MEMORY_FAILURE;
        entry.first = s;
    }

    // Zeros over any gap between the used length and the offset, then the data.
    uint16_t st;
    if (off > entry.used) {
        st = PutChain(entry.first, entry.used, nullptr, off - entry.used);
        if (st != FS_OK)
            return st;
        entry.used = offset;
    }
    st = PutChain(entry.first, off, data, length);
    if (st != FS_OK)
        return st;
    if (end > entry.used)
        entry.used = static_cast<uint16_t>(end);
    // An entry that the write left as it was is not written again: a
    // rewrite that fails would report a write whose data has landed.
    if (entry.used == given.used && entry.first == given.first)
        return FS_OK;
    return StoreEntry(entry) ? FS_OK : SW_MEMORY_FAILURE;
}

uint16_t ReadCardFile(uint8_t fid, uint16_t offset, uint8_t* out, uint16_t length)
{
    _file_info_ entry;
    uint16_t st = SelectFile(fid, &entry);
    return st != FS_OK ? st : ReadCOSFile(entry, offset, out, length);
}

uint16_t SelectOrCreate(uint8_t fid, uint16_t maxSize, _file_info_* entry)
{
    _file_info_ found;
    uint16_t st = SelectFile(fid, &found);
    if (st != SW_FILE_NOT_FOUND) {
        if (st == FS_OK && entry)
            *entry = found;
        return st;
    }
    _file_info_ fresh{};
    fresh.fid = fid;
    fresh.maxsize = maxSize;
    st = CreateCOSFile(&fresh);
    if (st == FS_OK && entry)
        *entry = fresh;
    return st;
}
