// The card's file system in the first 64 KiB of the flash image:
//   0x0000  sector bitmap, 28 little-endian u32 words (bit set = sector used)
//   0x0100  cached-PIN block (20 bytes)
//   0x0400  directory, 256 entries of 8 bytes (entry of file f at 0x400 + 8f)
//   0x1000  chain table, 896 items {u16 own number, u16 next (0xFFFF = last)}
//   0x2000  data area, 896 sectors of 64 bytes (sector s at 0x2000 + 64s)
//   0x10000 key-matrix area (outside the file system, never formatted)
// All integers in the image are little-endian. Operations that return a
// status answer FS_OK for success or a card status word.
#pragma once

#include <cstdint>

#include "vcard/card_protocol.h"

// Success of the file system and of the card operations built directly on
// it (RWDeviceStatus, LoadInnerKey, InitAuth, ...): 0, where an instruction
// and a key record operation answer SW_OK.
constexpr uint16_t FS_OK = 0;

constexpr uint32_t FS_BITMAP_OFF = 0x0000;
constexpr uint32_t FS_BITMAP_WORDS = 28;
constexpr uint32_t FS_PINCACHE_OFF = 0x0100;
constexpr uint32_t FS_PINCACHE_SIZE = 20;
constexpr uint32_t FS_DIR_OFF = 0x0400;
constexpr uint32_t FS_DIR_ENTRIES = 256;
constexpr uint32_t FS_CHAIN_OFF = 0x1000;
constexpr uint32_t FS_DATA_OFF = 0x2000;
constexpr uint32_t FS_SECTOR_SIZE = 64;
constexpr uint32_t FS_SECTORS = 896;
constexpr uint32_t FS_MATRIX_OFF = 0x10000;     // key-matrix area, behind the file system
constexpr uint32_t FS_MATRIX_SIZE = 0x10000;
constexpr uint16_t FS_FILE_MAX = 4096;      // largest maximum size of a file
constexpr uint16_t FS_NO_SECTOR = 0xFFFF;   // end of chain / no first sector

// Directory entry (8 bytes; little-endian in the image, host order here).
// An unused or deleted slot holds 8 bytes 0xFF.
struct _file_info_ {
    uint8_t fid;        // file id; equals the slot's id in a valid entry
    uint8_t rfu;        // stored as the creator gives it, never read
    uint16_t used;      // high-water mark of the data; reads stop here
    uint16_t first;     // first sector of the chain; 0xFFFF while none
    uint16_t maxsize;   // at most 4096, fixed at creation
};
static_assert(sizeof(_file_info_) == 8, "directory entry is 8 bytes");

// Formats the card: 0xFF over the first 64 KiB, then a zero (all free) bitmap.
// 0, or SW_MEMORY_FAILURE when the image cannot be written.
uint16_t FileSysInit();

// Reads the entry of fid into *out (host order). 0; SW_FILE_NOT_FOUND when the slot's
// first byte differs from fid (out then holds the slot's raw bytes); SW_MEMORY_FAILURE
// when the image cannot be read.
uint16_t SelectFile(uint8_t fid, _file_info_* out);

// Creates the file described by info->fid, info->rfu and info->maxsize; sets
// info->used = 0 and info->first = 0xFFFF and stores the entry. SW_FILE_EXISTS when
// the id exists (id 0xFF always does: its erased slot reads as an entry),
// SW_FILE_TOO_LARGE when maxsize is above 4096, SW_MEMORY_FAILURE when the entry cannot be written.
uint16_t CreateCOSFile(_file_info_* info);

// Erases the file's entry, then frees its chain (sectors erased to 0xFF): a
// failure part way leaves the file whole or gone, never an entry whose
// sectors are free. SW_FILE_NOT_FOUND when there is no such file;
// SW_MEMORY_FAILURE when the image cannot be read or written.
uint16_t DeleteCOSFile(uint8_t fid);

// Reads length bytes from offset of the file that entry describes.
// SW_OFFSET_BEYOND_USED offset beyond the used length; SW_WRONG_LE | ((used - offset) & 0xFF) when
// the read would end beyond it; SW_NO_SECTOR the chain has no sector at the offset;
// SW_CHAIN_ENDS the chain ends inside the read; SW_MEMORY_FAILURE the image cannot be read.
uint16_t ReadCOSFile(_file_info_ entry, uint16_t offset, uint8_t* buffer, uint16_t length);

// Writes length bytes at offset, zero-filling any gap above the used length,
// allocating sectors lowest number first, and stores the updated entry when
// the write changed it (the caller's copy is not updated: select the file
// again to see it).
// SW_WRONG_P1P2 offset beyond the maximum size; SW_FILE_TOO_LARGE the write would end beyond it;
// SW_NOT_ENOUGH_SPACE no free sector left; SW_MEMORY_FAILURE the image cannot be written.
uint16_t WriteCOSFile(_file_info_ entry, uint16_t offset, const uint8_t* data, uint16_t length);

// Selects file fid and reads length bytes at offset into out. FS_OK, or the
// select's (SW_FILE_NOT_FOUND: no such file) or the read's status.
uint16_t ReadCardFile(uint8_t fid, uint16_t offset, uint8_t* out, uint16_t length);

// Selects file fid into *entry (when entry is given), creating the file with
// maxSize when it is missing (*entry then describes the new, empty file).
// FS_OK, or the select's or the creation's status.
uint16_t SelectOrCreate(uint8_t fid, uint16_t maxSize, _file_info_* entry);

// The file system's sector routines, used by the operations above.

// Sets (used != 0) or clears the sector's bit in the bitmap: reads its word,
// changes the bit, writes the word back. false when the image cannot be read
// or written.
bool SetSectorStatus(uint16_t sector, uint8_t used);

// Writes the chain item of sector: its own number, then next (FS_NO_SECTOR
// for the last sector of a chain). false when the image cannot be written.
bool SetPTItem(uint16_t sector, uint16_t next);

// The lowest free sector: bitmap words 0 to 27, each from its least
// significant bit up, so freed sectors are reused lowest number first.
// FS_NO_SECTOR when every sector is in use or the bitmap cannot be read.
uint16_t GetUsableSector();

// Walks offset >> 6 steps along the chain from the sector in *current and
// returns the data-area address of byte offset & 63 of the sector reached,
// which is stored in *current. A chain item whose next sector is
// FS_NO_SECTOR, or lies beyond the data area (a damaged chain), ends the
// chain there: without extend the walk stops and returns 0 (*current then
// holds the chain's last sector); with extend the lowest free sector is
// marked in use, linked behind the last one and the walk goes on. The walk
// never takes more than 1023 steps, so a chain that loops cannot hold it.
// An address is never 0 (the data area starts at 0x2000). When status is
// given it receives FS_OK, or with 0: SW_NO_SECTOR (the chain ends without
// extend, or *current is not a sector), SW_NOT_ENOUGH_SPACE (no free sector
// to extend with), SW_MEMORY_FAILURE (the image cannot be read or written).
uint16_t GetAddr(uint8_t extend, uint16_t* current, uint16_t offset, uint16_t* status = nullptr);
