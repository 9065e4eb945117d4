#pragma once
// Shared pieces of the fuzz targets: a private scratch folder removed at
// exit, a reader that takes typed fields from the fuzzer's bytes (running
// out gives zeros, never reads past the input), and whole-file helpers.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A private folder for the run's files, removed when the process ends: on
// the memory file system when there is one (the code under test syncs its
// rewrites, which costs a disk nothing there), else under /tmp.
class Scratch {
public:
    static const std::string& dir()
    {
        static Scratch s;
        return s.path_;
    }
    static std::string file(const std::string& name) { return dir() + "/" + name; }

private:
    Scratch()
    {
        char shm[] = "/dev/shm/tarn-fuzz-XXXXXX";
        char tmp[] = "/tmp/tarn-fuzz-XXXXXX";
        const char* p = mkdtemp(shm);
        if (p == nullptr)
            p = mkdtemp(tmp);
        if (p == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = p;
    }
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string path_;
};

// Typed fields from the front of the input.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    size_t left() const { return n_; }
    uint8_t u8()
    {
        if (n_ == 0)
            return 0;
        --n_;
        return *p_++;
    }
    uint16_t u16() { return static_cast<uint16_t>((u8() << 8) | u8()); }
    uint32_t u24()
    {
        uint32_t v = u8();
        v = (v << 8) | u8();
        return (v << 8) | u8();
    }
    // Up to n bytes (fewer when the input ends).
    Bytes take(size_t n)
    {
        n = n < n_ ? n : n_;
        Bytes b(p_, p_ + n);
        p_ += n;
        n_ -= n;
        return b;
    }
    Bytes rest() { return take(n_); }

private:
    const uint8_t* p_;
    size_t n_;
};

// A heap copy of exactly b.size() bytes (one byte for an empty input), so
// that the sanitizer catches a read past the input.
inline std::unique_ptr<uint8_t[]> exact_copy(const Bytes& b)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[b.empty() ? 1 : b.size()]);
    if (!b.empty())
        std::memcpy(p.get(), b.data(), b.size());
    return p;
}

// Appends a field in the Reader's layout (for the seed maker).
inline void put_u8(Bytes& b, unsigned v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put_u16(Bytes& b, unsigned v)
{
    put_u8(b, v >> 8);
    put_u8(b, v);
}
inline void put_u24(Bytes& b, unsigned v)
{
    put_u8(b, v >> 16);
    put_u16(b, v);
}
inline void put(Bytes& b, const Bytes& v) { b.insert(b.end(), v.begin(), v.end()); }

inline bool write_file(const std::string& path, const uint8_t* p, size_t n)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = n == 0 || std::fwrite(p, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}
inline bool write_file(const std::string& path, const Bytes& b) { return write_file(path, b.data(), b.size()); }

inline Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Stops the run with a message: a broken fixture or a broken promise of the
// code under test (libFuzzer records the input that led here).
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

} // namespace fuzz
