#include "smcrypto/sm3.h"
#include "sm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bytes sm3_oneshot(const bytes& m)
{
    bytes d(32);
    SM3(m.data(), (int)m.size(), d.data());
    return d;
}

bytes sm3_stream(const bytes& m, const std::vector<size_t>& pieces)
{
    _sm3_ctx_ c;
    SM3_Init(&c);
    size_t off = 0;
    for (size_t p : pieces) {
        SM3_Update(&c, m.data() + off, (uint32_t)p);
        off += p;
    }
    bytes d(32);
    SM3_Final(c, d.data());
    return d;
}

bytes repeat(const std::string& s, int times)
{
    bytes b;
    for (int i = 0; i < times; ++i)
        b.insert(b.end(), s.begin(), s.end());
    return b;
}

struct KnownDigest {
    const char* name;
    bytes msg;
    const char* digest;
};

TEST(Sm3, StandardExamplesInBothInterfaces)
{
    const KnownDigest cases[] = {
        {"empty", {}, "1AB21D8355CFA17F8E61194831E81A8F22BEC8C728FEFB747ED035EB5082AA2B"},
        {"abc", repeat("abc", 1), "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},
        {"abcd x16", repeat("abcd", 16),
         "DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(to_hex(sm3_oneshot(c.msg)), c.digest);
        EXPECT_EQ(to_hex(sm3_stream(c.msg, {c.msg.size()})), c.digest);
        std::vector<size_t> bytewise(c.msg.size(), 1);
        EXPECT_EQ(to_hex(sm3_stream(c.msg, bytewise)), c.digest);
    }
    // Init then Final with no update at all.
    _sm3_ctx_ c;
    SM3_Init(&c);
    unsigned char d[32];
    SM3_Final(c, d);
    EXPECT_EQ(to_hex(d, 32), cases[0].digest);
}

// Every length 0..300 (55/56 and 63/64/65 padding boundaries included) in
// random pieces, against the library's SM3.
TEST(Sm3, MatchesLibraryForEveryLengthAndPiecing)
{
    std::mt19937& rng = random_test_stream();
    for (size_t len = 0; len <= 300; ++len) {
        bytes m = random_bytes(len);
        bytes want = ossl_sm3(m.data(), m.size());
        ASSERT_EQ(sm3_oneshot(m), want) << "length " << len;
        ASSERT_EQ(sm3_stream(m, random_pieces(rng, len, 70)), want) << "length " << len;
    }
    for (size_t len : {4096u, 65536u + 17, 1000003u}) {
        bytes m = random_bytes(len);
        bytes want = ossl_sm3(m.data(), m.size());
        EXPECT_EQ(sm3_oneshot(m), want) << "length " << len;
        EXPECT_EQ(sm3_stream(m, random_pieces(rng, len, 9000)), want) << "length " << len;
    }
}

TEST(Sm3, PieceSizesAroundTheBlock)
{
    bytes m = random_bytes(64 * 5 + 1);
    bytes want = ossl_sm3(m.data(), m.size());
    for (size_t piece : {0u, 1u, 63u, 64u, 65u}) {
        std::vector<size_t> pieces;
        size_t left = m.size();
        pieces.push_back(0);
        while (left) {
            size_t p = piece ? std::min(piece, left) : std::min<size_t>(1, left);
            pieces.push_back(p);
            pieces.push_back(0);
            left -= p;
        }
        EXPECT_EQ(sm3_stream(m, pieces), want) << "piece " << piece;
    }
}

TEST(Sm3, FinalLeavesContextUnchangedAndMessageContinues)
{
    bytes m = random_bytes(100);
    _sm3_ctx_ c;
    SM3_Init(&c);
    SM3_Update(&c, m.data(), 70);
    _sm3_ctx_ before;
    std::memcpy(&before, &c, sizeof c);
    unsigned char d1[32], d2[32];
    SM3_Final(c, d1);
    SM3_Final(c, d2);
    EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0);
    EXPECT_EQ(to_hex(d1, 32), to_hex(ossl_sm3(m.data(), 70)));
    EXPECT_EQ(to_hex(d1, 32), to_hex(d2, 32));
    SM3_Update(&c, m.data() + 70, 30);
    SM3_Final(c, d1);
    EXPECT_EQ(to_hex(d1, 32), to_hex(ossl_sm3(m.data(), 100)));
}

// Past 512 MiB the bit length no longer fits 32 bits: the digest must still
// equal the library's over the same (all-zero) message.
TEST(Sm3, BitLengthBeyond512MiB)
{
    const uint64_t total = (1ull << 29) + 64 * 3 + 5;
    bytes zero(1 << 20, 0);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_TRUE(md);
    ASSERT_EQ(EVP_DigestInit_ex(md, EVP_sm3(), nullptr), 1);
    _sm3_ctx_ c;
    SM3_Init(&c);
    for (uint64_t left = total; left;) {
        uint32_t n = (uint32_t)std::min<uint64_t>(left, zero.size());
        EVP_DigestUpdate(md, zero.data(), n);
        SM3_Update(&c, zero.data(), n);
        left -= n;
    }
    unsigned char want[32], got[32];
    unsigned int wl = 0;
    EVP_DigestFinal_ex(md, want, &wl);
    EVP_MD_CTX_free(md);
    SM3_Final(c, got);
    EXPECT_EQ(to_hex(got, 32), to_hex(want, 32));
}

} // namespace
