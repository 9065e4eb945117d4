#pragma once

// Byte holders for secrets (PINs, keys, private scalars, plaintext, key
// schedules): whatever they held is cleansed with OPENSSL_cleanse when they
// go out of scope, on every path out of the function that owns them.
//
//   secret_array<N>   N bytes inside the object (on the stack or in a
//                     struct); zero-filled when made.
//   secret_buffer     n bytes on the heap, for lengths known only at run
//                     time; reports a failed allocation through ok(), never
//                     by an exception.
//   cleanse_on_exit   cleanses a buffer the caller already has (a key
//                     schedule in a context struct, a C array it must pass
//                     on) when the scope ends.
//
// None of them can be copied: a copy would be one more place the secret
// lingers. secret_buffer moves (the source is left empty).

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

template <size_t N>
class secret_array {
    static_assert(N > 0, "a secret needs at least one byte");

public:
    secret_array() : b_() {}
    ~secret_array() { wipe(); }
    secret_array(const secret_array&) = delete;
    secret_array& operator=(const secret_array&) = delete;

    unsigned char* data() { return b_; }
    const unsigned char* data() const { return b_; }
    static constexpr size_t size() { return N; }
    unsigned char& operator[](size_t i) { return b_[i]; }
    const unsigned char& operator[](size_t i) const { return b_[i]; }

    // Zeroes the bytes now (the destructor does it again).
    void wipe() { OPENSSL_cleanse(b_, N); }

private:
    unsigned char b_[N];
};

class secret_buffer {
public:
    secret_buffer() = default;
    // n zero bytes; ok() is false when they could not be had (n = 0 gives
    // an empty buffer that is ok).
    explicit secret_buffer(size_t n)
        : p_(n ? static_cast<unsigned char*>(OPENSSL_zalloc(n)) : nullptr), n_(p_ ? n : 0),
          ok_(n == 0 || p_ != nullptr)
    {
    }
    ~secret_buffer() { reset(); }
    secret_buffer(const secret_buffer&) = delete;
    secret_buffer& operator=(const secret_buffer&) = delete;
    secret_buffer(secret_buffer&& o) noexcept : p_(o.p_), n_(o.n_), ok_(o.ok_)
    {
        o.p_ = nullptr;
        o.n_ = 0;
        o.ok_ = true;
    }
    secret_buffer& operator=(secret_buffer&& o) noexcept
    {
        if (this != &o) {
            reset();
            p_ = o.p_;
            n_ = o.n_;
            ok_ = o.ok_;
            o.p_ = nullptr;
            o.n_ = 0;
            o.ok_ = true;
        }
        return *this;
    }

    bool ok() const { return ok_; }
    unsigned char* data() { return p_; }
    const unsigned char* data() const { return p_; }
    size_t size() const { return n_; }

    // Zeroes the bytes and keeps the buffer.
    void wipe()
    {
        if (p_)
            OPENSSL_cleanse(p_, n_);
    }
    // Zeroes the bytes and gives the memory back; the buffer is then empty.
    void reset()
    {
        OPENSSL_clear_free(p_, n_);
        p_ = nullptr;
        n_ = 0;
        ok_ = true;
    }

private:
    unsigned char* p_ = nullptr;
    size_t n_ = 0;
    bool ok_ = true;
};

class cleanse_on_exit {
public:
    cleanse_on_exit(void* p, size_t n) : p_(p), n_(n) {}
    ~cleanse_on_exit()
    {
        if (p_)
            OPENSSL_cleanse(p_, n_);
    }
    cleanse_on_exit(const cleanse_on_exit&) = delete;
    cleanse_on_exit& operator=(const cleanse_on_exit&) = delete;

private:
    void* p_;
    size_t n_;
};
