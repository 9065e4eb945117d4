// Temporary key device images for the card tests: a private folder under
// /tmp per image, removed with it, and raw access to the image bytes.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vcard/eflash.h"
#include "vcard/filesys.h"

class TempImage {
public:
    // An image of `size` bytes of `fill` in a fresh folder (no file for size < 0).
    explicit TempImage(long size = 0x10000, uint8_t fill = 0xFF)
    {
        char tmpl[] = "/tmp/vcard-test-XXXXXX";
        // No fallback: an empty folder would put the image at "/card.vkd".
        const char* d = mkdtemp(tmpl);
        if (!d)
            throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
        dir_ = d;
        path_ = dir_ + "/card.vkd";
        if (size >= 0)
            Resize(static_cast<size_t>(size), fill);
    }
    ~TempImage()
    {
        if (dir_.empty())
            return;
        SetReadOnly(false);
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    unlink((dir_ + "/" + e->d_name).c_str());
            }
            closedir(d);
        }
        rmdir(dir_.c_str());
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    const std::string& path() const { return path_; }
    const std::string& dir() const { return dir_; }

    // Rewrites the image as size bytes of fill.
    void Resize(size_t size, uint8_t fill = 0xFF)
    {
        std::vector<uint8_t> bytes(size, fill);
        Store(bytes);
    }
    void Store(const std::vector<uint8_t>& bytes)
    {
        FILE* f = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!bytes.empty()) {
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        std::fclose(f);
    }
    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> out;
        FILE* f = std::fopen(path_.c_str(), "rb");
        if (!f)
            return out;
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.insert(out.end(), buf, buf + n);
        std::fclose(f);
        return out;
    }
    std::vector<uint8_t> Peek(size_t off, size_t n) const
    {
        std::vector<uint8_t> all = Bytes();
        if (off >= all.size())
            return {};
        return std::vector<uint8_t>(all.begin() + off, all.begin() + std::min(all.size(), off + n));
    }
    void Poke(size_t off, const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> all = Bytes();
        if (all.size() < off + data.size())
            all.resize(off + data.size(), 0xFF);
        std::copy(data.begin(), data.end(), all.begin() + off);
        Store(all);
    }
    long Size() const
    {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
    }
    // Makes the image refuse writes (immutable flag, or no write permission
    // when the tests do not run as root). False when that is not possible
    // here; callers then skip.
    bool SetReadOnly(bool on)
    {
        int fd = open(path_.c_str(), O_RDONLY);
        if (fd >= 0) {
            int flags = 0;
            if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
                ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            close(fd);
        }
        chmod(path_.c_str(), on ? 0444 : 0644);
        FILE* f = std::fopen(path_.c_str(), "r+b");
        if (f)
            std::fclose(f);
        return on ? f == nullptr : true;
    }
    // Makes the card's flash use this image.
    void Bind() const
    {
        ASSERT_LT(path_.size(), FLASH_PATH_MAX);
        SetDataFile(path_.c_str());
        ASSERT_STREQ(m_vFlashFile, path_.c_str());
    }

private:
    std::string dir_;
    std::string path_;
};

// A freshly formatted card image bound to the flash.
class FormattedCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        image.Bind();
        ASSERT_EQ(FileSysInit(), 0);
    }
    TempImage image;
};

// Little-endian integers of the image.
inline uint16_t Le16(const std::vector<uint8_t>& b, size_t off)
{
    return static_cast<uint16_t>(b.at(off) | b.at(off + 1) << 8);
}
inline uint32_t Le32(const std::vector<uint8_t>& b, size_t off)
{
    return static_cast<uint32_t>(Le16(b, off)) | static_cast<uint32_t>(Le16(b, off + 2)) << 16;
}
