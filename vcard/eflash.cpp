#include "vcard/eflash.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

extern "C" {

char m_vFlashFile[FLASH_PATH_MAX];

int SetDataFileId(const char* path, uint64_t dev, uint64_t ino)
{
    // Identity of the bound file; a path that did not name a file has none.
    static uint64_t s_dev = 0, s_ino = 0;
    if (path == nullptr)
        return -1;
    size_t n = strnlen(path, FLASH_PATH_MAX);
    if (n >= FLASH_PATH_MAX)
        return -1;
    // A file renamed over the bound path is another image: only the same
    // file keeps the card's volatile state.
    if (std::strcmp(path, m_vFlashFile) == 0 && dev == s_dev && ino == s_ino)
        return 0;
    std::memcpy(m_vFlashFile, path, n + 1);
    s_dev = dev;
    s_ino = ino;
    return 1;
}

int SetDataFile(const char* path)
{
    struct stat st;
    if (path != nullptr && stat(path, &st) == 0)
        return SetDataFileId(path, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
    return SetDataFileId(path, 0, 0);
}

int Init_Flash(void)
{
    FILE* f = std::fopen(m_vFlashFile, "r+b");
    if (f == nullptr)
        return -1;
    unsigned char block[64];
    std::memset(block, 0xFF, sizeof block);
    bool ok = true;
    for (unsigned i = 0; ok && i < FLASH_FS_SIZE / sizeof block; ++i)
        ok = std::fwrite(block, 1, sizeof block, f) == sizeof block;
    if (std::fclose(f) != 0)
        ok = false;
    return ok ? 0 : -1;
}

int FlashRead(uint32_t offset, void* buffer, uint32_t n)
{
    unsigned char* out = static_cast<unsigned char*>(buffer);
    FILE* f = std::fopen(m_vFlashFile, "rb");
    if (f == nullptr) {
        std::memset(out, 0xFF, n);
        return -1;
    }
    // One access reads a few bytes once: without a stream buffer the read
    // asks for those bytes only, instead of a whole block after a stat of
    // the file.
    std::setvbuf(f, nullptr, _IONBF, 0);
    size_t got = 0;
    if (std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0)
        got = std::fread(out, 1, n, f);
    std::fclose(f);
    // What lies beyond the end of the image reads as erased flash.
    if (got < n)
        std::memset(out + got, 0xFF, n - got);
    return 0;
}

int FlashWrite(uint32_t offset, const void* buffer, uint32_t n)
{
    FILE* f = std::fopen(m_vFlashFile, "r+b");
    if (f == nullptr)
        return -1;
    // A write behind the end of the image would leave a hole that reads as
    // zeros, where erased flash reads 0xFF: the bytes in between are erased
    // first, so that they read after the write as they did before it.
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long end = ok ? std::ftell(f) : -1;
    ok = end >= 0;
    if (ok && static_cast<unsigned long>(end) < offset) {
        unsigned char erased[64];
        std::memset(erased, 0xFF, sizeof erased);
        for (uint32_t left = offset - static_cast<uint32_t>(end); ok && left > 0;) {
            uint32_t k = left < sizeof erased ? left : static_cast<uint32_t>(sizeof erased);
            ok = std::fwrite(erased, 1, k, f) == k;
            left -= k;
        }
    }
    ok = ok && std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fwrite(buffer, 1, n, f) == n;
    if (std::fclose(f) != 0)
        ok = false;
    return ok ? 0 : -1;
}

}  // extern "C"
