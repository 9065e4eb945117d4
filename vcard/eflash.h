// Emulated card flash: the key device image on the host. Every access opens
// the image, positions, transfers and closes it again; nothing is cached, so
// a write has reached the file when the call returns. Each access opens the
// path without following a link and without waiting, and goes on only when
// it still names the regular file that was bound: a link, a FIFO or another
// file put in its place is an image that cannot be opened. The bound file is
// held open (read-only, close-on-exec) until another is bound, so its device
// and inode numbers name it alone for as long as it is bound.
#pragma once

#include <cstdint>

// Size of the path buffer: a path of FLASH_PATH_MAX characters or more is refused.
constexpr unsigned FLASH_PATH_MAX = 256;
// Size of the area that formatting erases (the file system).
constexpr uint32_t FLASH_FS_SIZE = 0x10000;

extern "C" {

// Path of the key device image (at most 255 characters and a NUL).
extern char m_vFlashFile[FLASH_PATH_MAX];

// 1 when path or the file it names differs from the bound one (path and
// file are then bound), 0 when both are the same; -1 for a null path or one
// of 256 characters or more (nothing is copied, the binding stays as it
// was). A file put in place under the bound path (a rename over it) counts
// as different. A path that names no regular file (missing, a link, a FIFO)
// is bound without a file: every access then fails.
int SetDataFile(const char* path);
// The same for a caller that has opened the file already: fd (or -1 when
// path names no file) is taken over in every case, held while the file is
// bound and closed otherwise; one that is not a regular file binds no file.
// The file bound before is closed when another is bound.
int SetDataFileFd(const char* path, int fd);

// Overwrites the first 65536 bytes of the existing image with 0xFF (1024
// blocks of 64 bytes); anything behind them is kept. 0 on success, -1 when the
// image cannot be opened for update or the write fails.
int Init_Flash(void);

// Reads n bytes at offset. Bytes beyond the end of the image read as 0xFF
// (erased flash); when the image cannot be opened or a read fails (an I/O
// error, not the end of the image) the whole buffer is filled with 0xFF and
// -1 is returned: the caller answers its flash error. 0 otherwise.
int FlashRead(uint32_t offset, void* buffer, uint32_t n);

// Writes n bytes at offset. An offset behind the end of the image first
// extends it with 0xFF, so that the bytes in between still read as erased
// flash. 0 on success, -1 when the image cannot be opened for update or not
// all bytes were written.
int FlashWrite(uint32_t offset, const void* buffer, uint32_t n);

}  // extern "C"
