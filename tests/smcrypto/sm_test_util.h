// Helpers shared by the SM primitive tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/test_seed.h"

using bytes = std::vector<unsigned char>;

inline bytes from_hex(const std::string& h)
{
    bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back((unsigned char)std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string to_hex(const unsigned char* p, size_t n)
{
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

inline std::string to_hex(const bytes& b) { return to_hex(b.data(), b.size()); }

// Random test data from one seed, printed at first use; TARN_TEST_SEED=<n>
// replays it. Each test restarts the stream, so a single test re-run with
// --gtest_filter sees the same bytes as in the full run.
inline unsigned random_test_seed() { return testseed::run_seed(); }

inline std::mt19937& random_test_stream()
{
    static std::mt19937 rng;
    static std::string test;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "";
    if (name != test || test.empty()) {
        test = name;
        rng.seed(random_test_seed());
    }
    return rng;
}

inline bytes random_bytes(size_t n)
{
    std::mt19937& rng = random_test_stream();
    bytes b(n);
    for (auto& c : b)
        c = static_cast<unsigned char>(rng());
    return b;
}

// Splits n into random piece sizes (zero-length pieces included), each at
// most max_piece.
inline std::vector<size_t> random_pieces(std::mt19937& rng, size_t n, size_t max_piece)
{
    std::vector<size_t> out;
    std::uniform_int_distribution<size_t> dist(0, max_piece);
    while (n) {
        size_t p = std::min(dist(rng), n);
        out.push_back(p);
        n -= p;
    }
    return out;
}

// SM3 from the crypto library.
inline bytes ossl_sm3(const unsigned char* p, size_t n)
{
    bytes d(32);
    unsigned int len = 0;
    EVP_Digest(p, n, d.data(), &len, EVP_sm3(), nullptr);
    return d;
}

// The library's SM4 in ECB or CBC, padding on or off.
inline bytes ossl_sm4(bool cbc, bool enc, bool pad, const bytes& key, const bytes& iv, const bytes& in,
                      bool* ok_out = nullptr)
{
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    bool ok = c &&
              EVP_CipherInit_ex(c, cbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, key.data(),
                                cbc ? iv.data() : nullptr, enc ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, pad ? 1 : 0) == 1 &&
              EVP_CipherUpdate(c, out.data(), &n1, in.data(), (int)in.size()) == 1 &&
              EVP_CipherFinal_ex(c, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(c);
    if (ok_out)
        *ok_out = ok;
    if (!ok)
        return {};
    out.resize((size_t)(n1 + n2));
    return out;
}
