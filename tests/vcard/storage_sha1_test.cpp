// The card's SHA-1 against the library's SHA-1 and the standard's examples.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vcard/esha.h"
#include "common/test_seed.h"

namespace {

std::vector<uint8_t> Reference(const std::vector<uint8_t>& m)
{
    std::vector<uint8_t> d(20);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(m.data(), m.size(), d.data(), &n, EVP_sha1(), nullptr), 1);
    return d;
}

std::vector<uint8_t> OneShot(const std::vector<uint8_t>& m)
{
    std::vector<uint8_t> d(20);
    EXPECT_EQ(ESHA1(m.data(), static_cast<uint32_t>(m.size()), d.data()), 0);
    return d;
}

std::vector<uint8_t> Final(const _embed_sha1_state& st)
{
    std::vector<uint8_t> d(20);
    EXPECT_EQ(ESHA1_Final(st, d.data()), 0);
    return d;
}

std::vector<uint8_t> Random(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> m(n);
    for (auto& b : m)
        b = static_cast<uint8_t>(rng());
    return m;
}

}  // namespace

TEST(CardSha1, StandardExamples)
{
    struct {
        std::string msg;
        const char* hex;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    };
    for (auto& c : cases) {
        std::vector<uint8_t> m(c.msg.begin(), c.msg.end());
        std::vector<uint8_t> d = OneShot(m);
        char hex[41];
        for (int i = 0; i < 20; ++i)
            snprintf(hex + 2 * i, 3, "%02x", d[i]);
        EXPECT_STREQ(hex, c.hex) << '"' << c.msg << '"';
    }
}

// Lengths around every padding boundary, one-shot and streamed in one piece.
TEST(CardSha1, PaddingBoundariesMatchTheLibrary)
{
    TARN_SEED(seed, 7);
    std::mt19937 rng(seed);
    for (size_t n : {0, 1, 2, 3, 4, 5, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4099}) {
        std::vector<uint8_t> m = Random(rng, n);
        EXPECT_EQ(OneShot(m), Reference(m)) << n;
        _embed_sha1_state st;
        ESHA1_Init(&st);
        if (n) {
            EXPECT_EQ(ESHA1_Update(&st, m.data(), static_cast<uint32_t>(n)), 0);
        }
        EXPECT_EQ(Final(st), Reference(m)) << n;
    }
}

TEST(CardSha1, RandomPiecesMatchTheLibrary)
{
    TARN_SEED(seed, 11);
    std::mt19937 rng(seed);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> m = Random(rng, rng() % 700);
        _embed_sha1_state st;
        ESHA1_Init(&st);
        size_t pos = 0;
        while (pos < m.size()) {
            size_t k = std::min<size_t>(m.size() - pos, rng() % 3 == 0 ? rng() % 5 : rng() % 150);
            _embed_sha1_state before = st;
            int rc = ESHA1_Update(&st, m.data() + pos, static_cast<uint32_t>(k));
            if (k == 0) {
                ASSERT_EQ(rc, 1);
                ASSERT_EQ(std::memcmp(&before, &st, sizeof st), 0) << "a 0-byte piece changes nothing";
            } else {
                ASSERT_EQ(rc, 0);
                ASSERT_LE(st.buffered, 63u);
            }
            pos += k;
        }
        ASSERT_EQ(Final(st), Reference(m)) << "length " << m.size();
        ASSERT_EQ(OneShot(m), Reference(m));
    }
}

TEST(CardSha1, FinalLeavesTheStateToContinue)
{
    TARN_SEED(seed, 3);
    std::mt19937 rng(seed);
    std::vector<uint8_t> a = Random(rng, 100), b = Random(rng, 77);
    _embed_sha1_state st;
    ESHA1_Init(&st);
    ESHA1_Update(&st, a.data(), 100);
    _embed_sha1_state copy = st;
    EXPECT_EQ(Final(st), Reference(a));
    EXPECT_EQ(Final(st), Reference(a)) << "a second final gives the same digest";
    EXPECT_EQ(std::memcmp(&copy, &st, sizeof st), 0);
    ESHA1_Update(&st, b.data(), 77);
    std::vector<uint8_t> ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    EXPECT_EQ(Final(st), Reference(ab));
}
