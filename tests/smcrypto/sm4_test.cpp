#include "smcrypto/sm4.h"
#include "smcrypto/status.h"
#include "sm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const bytes kStdKey = from_hex("0123456789ABCDEFFEDCBA9876543210");

// Streams `in` through SM4_Update in the given pieces, then SM4_Final.
int stream(int mode, const bytes& key, const bytes& iv, const bytes& in,
           const std::vector<size_t>& pieces, bytes& out)
{
    _sm4_ctx_ c;
    int rc = SM4_Init(&c, key.data(), iv.empty() ? nullptr : iv.data(), mode);
    if (rc)
        return rc;
    out.assign(in.size() + 32, 0xEE);
    size_t off = 0, w = 0;
    for (size_t p : pieces) {
        uint32_t n = 0xDEAD;
        rc = SM4_Update(&c, in.data() + off, (uint32_t)p, out.data() + w, &n);
        if (rc)
            return rc;
        off += p;
        w += n;
    }
    int n = (int)(out.size() - w);
    rc = SM4_Final(c, out.data() + w, &n);
    if (rc)
        return rc;
    out.resize(w + (size_t)n);
    return 0;
}

// Pieces for decryption: whole blocks, possibly several per call, no empty call.
std::vector<size_t> block_pieces(std::mt19937& rng, size_t n)
{
    std::vector<size_t> out;
    std::uniform_int_distribution<size_t> dist(1, 5);
    while (n) {
        size_t p = std::min(dist(rng) * 16, n);
        out.push_back(p);
        n -= p;
    }
    return out;
}

TEST(Sm4, StandardExample)
{
    unsigned char out[16];
    sm4_crypt_ecb(kStdKey.data(), 1, 16, kStdKey.data(), out);
    EXPECT_EQ(to_hex(out, 16), "681EDF34D206965E86B3E94F536E4246");
    sm4_crypt_ecb(kStdKey.data(), 0, 16, out, out);
    EXPECT_EQ(to_hex(out, 16), to_hex(kStdKey));
}

TEST(Sm4, StandardMillionfoldIteration)
{
    unsigned char b[16];
    std::memcpy(b, kStdKey.data(), 16);
    for (int i = 0; i < 1000000; ++i)
        sm4_crypt_ecb(kStdKey.data(), 1, 16, b, b);
    EXPECT_EQ(to_hex(b, 16), "595298C7C6FD271F0402F804C33D3F66");
}

// Block functions and one-shot functions against the library without padding.
TEST(Sm4, BlockAndOneShotMatchLibrary)
{
    for (int round = 0; round < 20; ++round) {
        bytes key = random_bytes(16), iv = random_bytes(16);
        bytes pt = random_bytes(16 * (size_t)(1 + round * 7));
        SCOPED_TRACE(pt.size());
        bytes ecb = ossl_sm4(false, true, false, key, iv, pt);
        bytes cbc = ossl_sm4(true, true, false, key, iv, pt);

        bytes out(pt.size());
        sm4_crypt_ecb(key.data(), 1, (int)pt.size(), pt.data(), out.data());
        EXPECT_EQ(out, ecb);
        sm4_crypt_ecb(key.data(), 0, (int)pt.size(), ecb.data(), out.data());
        EXPECT_EQ(out, pt);

        // The IV is updated to the last ciphertext block, so two calls chain.
        bytes chain = iv;
        size_t half = (pt.size() / 32) * 16;
        sm4_crypt_cbc(key.data(), 1, (int)half, chain.data(), pt.data(), out.data());
        sm4_crypt_cbc(key.data(), 1, (int)(pt.size() - half), chain.data(), pt.data() + half,
                      out.data() + half);
        EXPECT_EQ(out, cbc);
        EXPECT_EQ(chain, bytes(cbc.end() - 16, cbc.end()));
        chain = iv;
        sm4_crypt_cbc(key.data(), 0, (int)pt.size(), chain.data(), cbc.data(), out.data());
        EXPECT_EQ(out, pt);

        // One-shot: CBC with an IV (left as given), ECB without.
        bytes iv_copy = iv;
        SM4_Encrypt(key.data(), iv_copy.data(), pt.data(), (uint32_t)pt.size(), out.data());
        EXPECT_EQ(out, cbc);
        EXPECT_EQ(iv_copy, iv);
        SM4_Decrypt(key.data(), iv.data(), cbc.data(), (uint32_t)pt.size(), out.data());
        EXPECT_EQ(out, pt);
        SM4_Encrypt(key.data(), nullptr, pt.data(), (uint32_t)pt.size(), out.data());
        EXPECT_EQ(out, ecb);
        SM4_Decrypt(key.data(), nullptr, ecb.data(), (uint32_t)pt.size(), out.data());
        EXPECT_EQ(out, pt);
    }
}

// In place and with the output one byte before the input give the same bytes.
TEST(Sm4, InPlaceAndShiftedOverlap)
{
    bytes key = random_bytes(16), iv = random_bytes(16), pt = random_bytes(80);
    for (bool cbc : {false, true}) {
        SCOPED_TRACE(cbc);
        bytes want = ossl_sm4(cbc, true, false, key, iv, pt);
        bytes buf = pt, chain = iv;
        if (cbc)
            sm4_crypt_cbc(key.data(), 1, 80, chain.data(), buf.data(), buf.data());
        else
            sm4_crypt_ecb(key.data(), 1, 80, buf.data(), buf.data());
        EXPECT_EQ(buf, want);

        bytes shifted(81);
        std::memcpy(shifted.data() + 1, want.data(), 80);
        chain = iv;
        if (cbc)
            sm4_crypt_cbc(key.data(), 0, 80, chain.data(), shifted.data() + 1, shifted.data());
        else
            sm4_crypt_ecb(key.data(), 0, 80, shifted.data() + 1, shifted.data());
        EXPECT_EQ(bytes(shifted.begin(), shifted.begin() + 80), pt);
    }
}

TEST(Sm4, OneShotIgnoresPartialBlocks)
{
    bytes key = random_bytes(16), pt = random_bytes(32);
    for (uint32_t len : {0u, 15u, 17u, 31u}) {
        bytes out(32, 0x5A);
        SM4_Encrypt(key.data(), nullptr, pt.data(), len, out.data());
        EXPECT_EQ(out, bytes(32, 0x5A)) << len;
        SM4_Decrypt(key.data(), pt.data(), pt.data(), len, out.data());
        EXPECT_EQ(out, bytes(32, 0x5A)) << len;
    }
}

// Streaming with padding against the library, random piece sizes, both modes.
TEST(Sm4, StreamingMatchesLibraryWithPadding)
{
    std::mt19937& rng = random_test_stream();
    for (bool cbc : {false, true}) {
        for (size_t len = 0; len <= 100; ++len) {
            SCOPED_TRACE(testing::Message() << "cbc " << cbc << " len " << len);
            bytes key = random_bytes(16), iv = cbc ? random_bytes(16) : bytes();
            bytes pt = random_bytes(len);
            bytes want = ossl_sm4(cbc, true, true, key, cbc ? iv : bytes(16), pt);
            bytes ct;
            ASSERT_EQ(stream(cbc ? SM4_CBC_ENCRYPT : SM4_ECB_ENCRYPT, key, iv, pt,
                             random_pieces(rng, len, 40), ct), 0);
            EXPECT_EQ(ct, want);
            bytes back;
            ASSERT_EQ(stream(cbc ? SM4_CBC_DECRYPT : SM4_ECB_DECRYPT, key, iv, want,
                             block_pieces(rng, want.size()), back), 0);
            EXPECT_EQ(back, pt);
        }
    }
}

// Streaming output written over its own input gives the same bytes.
TEST(Sm4, StreamingInPlace)
{
    bytes key = random_bytes(16), iv = random_bytes(16), pt = random_bytes(160);
    bytes want = ossl_sm4(true, true, true, key, iv, pt);
    _sm4_ctx_ c;
    ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), SM4_CBC_ENCRYPT), 0);
    bytes buf = pt;
    buf.resize(176);
    uint32_t n1 = 0, n2 = 0;
    ASSERT_EQ(SM4_Update(&c, buf.data(), 5, buf.data(), &n1), 0);   // 5 bytes held
    EXPECT_EQ(n1, 0u);
    // With 5 bytes held the output runs 5 bytes behind the input.
    ASSERT_EQ(SM4_Update(&c, buf.data() + 5, 155, buf.data(), &n2), 0);
    EXPECT_EQ(n2, 160u);
    int fin = 16;
    ASSERT_EQ(SM4_Final(c, buf.data() + 160, &fin), 0);
    EXPECT_EQ(buf, want);

    ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), SM4_CBC_DECRYPT), 0);
    buf = want;
    ASSERT_EQ(SM4_Update(&c, buf.data(), 32, buf.data(), &n1), 0);
    EXPECT_EQ(n1, 16u);
    // A block is held: the output now runs 16 bytes behind the input.
    ASSERT_EQ(SM4_Update(&c, buf.data() + 32, 144, buf.data() + 16, &n2), 0);
    EXPECT_EQ(n2, 144u);
    fin = 16;
    ASSERT_EQ(SM4_Final(c, buf.data() + 160, &fin), 0);
    EXPECT_EQ(fin, 0);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 160), pt);
}

TEST(Sm4, StreamingSixteenBytes)
{
    bytes key = random_bytes(16), pt = random_bytes(16);
    bytes ct;
    ASSERT_EQ(stream(SM4_ECB_ENCRYPT, key, {}, pt, {16}, ct), 0);
    ASSERT_EQ(ct.size(), 32u);   // one data block and a whole block of padding
    bytes pad(16, 16), padct(16);
    sm4_crypt_ecb(key.data(), 1, 16, pad.data(), padct.data());
    EXPECT_EQ(bytes(ct.begin() + 16, ct.end()), padct);

    _sm4_ctx_ c;
    ASSERT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_ECB_DECRYPT), 0);
    unsigned char out[32];
    uint32_t n = 99;
    ASSERT_EQ(SM4_Update(&c, ct.data(), 16, out, &n), 0);
    EXPECT_EQ(n, 0u);   // held back
    ASSERT_EQ(SM4_Update(&c, ct.data() + 16, 16, out, &n), 0);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(bytes(out, out + 16), pt);
    int fl = 16;
    ASSERT_EQ(SM4_Final(c, out, &fl), 0);
    EXPECT_EQ(fl, 0);
}

// Decrypting a single crafted last block: only PKCS#7 padding is taken (p of
// 1 to 16, every padding byte equal to p); anything else, a last byte of 0
// included, is 14003 with the caller's buffer and length untouched.
TEST(Sm4, DecryptPaddingByteRules)
{
    bytes key = random_bytes(16);
    struct Case {
        const char* what;
        unsigned char last;
        int wrong_at;   // index of a padding byte set to another value, or -1
        int rc;
    } cases[] = {
        {"p 1", 0x01, -1, 0},
        {"p 7", 0x07, -1, 0},
        {"p 16", 0x10, -1, 0},
        {"last byte 0", 0x00, -1, ST_DECRYPT_FAILED},
        {"p 17", 0x11, -1, ST_DECRYPT_FAILED},
        {"p 255", 0xFF, -1, ST_DECRYPT_FAILED},
        {"p 2, first padding byte differs", 0x02, 14, ST_DECRYPT_FAILED},
        {"p 7, a middle padding byte differs", 0x07, 11, ST_DECRYPT_FAILED},
        {"p 16, first byte differs", 0x10, 0, ST_DECRYPT_FAILED},
        {"p 7, byte before the padding differs", 0x07, 8, 0},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.what);
        bytes blk = random_bytes(16);
        // A last byte outside 1..16 is written alone: the rest stays random.
        for (int i = cs.last >= 1 && cs.last <= 16 ? 16 - cs.last : 15; i < 16; ++i)
            blk[(size_t)i] = cs.last;
        if (cs.wrong_at >= 0)
            blk[(size_t)cs.wrong_at] = (unsigned char)(cs.last ^ 0x40);
        for (bool cbc : {false, true}) {
            SCOPED_TRACE(cbc ? "CBC" : "ECB");
            bytes iv = random_bytes(16);
            bytes ct = ossl_sm4(cbc, true, false, key, iv, blk);
            ASSERT_EQ(ct.size(), 16u);
            // The library's own unpadding agrees on every case.
            bool lib_ok = false;
            ossl_sm4(cbc, false, true, key, iv, ct, &lib_ok);
            EXPECT_EQ(lib_ok, cs.rc == 0);
            _sm4_ctx_ c;
            ASSERT_EQ(SM4_Init(&c, key.data(), cbc ? iv.data() : nullptr,
                               cbc ? SM4_CBC_DECRYPT : SM4_ECB_DECRYPT),
                      0);
            uint32_t n = 0;
            ASSERT_EQ(SM4_Update(&c, ct.data(), 16, nullptr, &n), 0);
            unsigned char out[16];
            std::memset(out, 0xA5, 16);
            int len = 16;
            EXPECT_EQ(SM4_Final(c, out, &len), cs.rc);
            if (cs.rc) {
                EXPECT_EQ(len, 16);
                EXPECT_EQ(bytes(out, out + 16), bytes(16, 0xA5));
            } else {
                ASSERT_EQ(len, 16 - cs.last);
                EXPECT_EQ(bytes(out, out + len), bytes(blk.begin(), blk.begin() + len));
            }
        }
    }
}

// Wrong keys: success comes exactly when the library's own unpadding accepts
// the last block, and then with the same plaintext. The old rule also passed
// every last byte of 0 and never looked at the other padding bytes.
TEST(Sm4, WrongKeyAgreesWithLibraryUnpadding)
{
    TARN_SEED(seed, 1616);
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto draw = [&rng](size_t n) {
        bytes b(n);
        for (auto& x : b)
            x = (unsigned char)rng();
        return b;
    };
    bytes key = draw(16), pt = draw(40);
    bytes ct = ossl_sm4(false, true, true, key, {}, pt);
    ASSERT_EQ(ct.size(), 48u);
    for (int k = 0; k < 3000; ++k) {
        bytes wrong = draw(16);
        bytes mine;
        int rc = stream(SM4_ECB_DECRYPT, wrong, {}, ct, {ct.size()}, mine);
        bool lib_ok = false;
        bytes lib = ossl_sm4(false, false, true, wrong, {}, ct, &lib_ok);
        if (!lib_ok) {
            ASSERT_EQ(rc, ST_DECRYPT_FAILED) << "key " << k;
        } else {
            ASSERT_EQ(rc, 0) << "key " << k;
            EXPECT_EQ(mine, lib) << "key " << k;
        }
    }
}

TEST(Sm4, FinalShortCapacityLeavesContextUsable)
{
    bytes key = random_bytes(16), iv = random_bytes(16), pt = random_bytes(7);
    _sm4_ctx_ c;
    ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), SM4_CBC_ENCRYPT), 0);
    uint32_t n = 0;
    ASSERT_EQ(SM4_Update(&c, pt.data(), 7, nullptr, &n), 0);
    _sm4_ctx_ before = c;
    unsigned char out[16];
    int len = 15;
    EXPECT_EQ(SM4_Final(c, out, &len), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0);
    len = 16;
    ASSERT_EQ(SM4_Final(c, out, &len), 0);
    EXPECT_EQ(bytes(out, out + 16), ossl_sm4(true, true, true, key, iv, pt));

    // Decryption: 16 - p bytes are needed.
    bytes ct(out, out + 16);
    ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), SM4_CBC_DECRYPT), 0);
    ASSERT_EQ(SM4_Update(&c, ct.data(), 16, nullptr, &n), 0);
    len = 6;
    EXPECT_EQ(SM4_Final(c, out, &len), ST_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 7);
    len = 7;
    ASSERT_EQ(SM4_Final(c, out, &len), 0);
    EXPECT_EQ(bytes(out, out + 7), pt);
}

TEST(Sm4, InitAndUpdateRefusals)
{
    bytes key = random_bytes(16), iv = random_bytes(16);
    _sm4_ctx_ c;
    std::memset(&c, 0x77, sizeof c);
    _sm4_ctx_ untouched = c;
    EXPECT_EQ(SM4_Init(&c, key.data(), iv.data(), 0x02), ST_UNKNOWN_CIPHER);
    EXPECT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_CBC_ENCRYPT), ST_BAD_ARGUMENT);
    EXPECT_EQ(SM4_Init(&c, key.data(), nullptr, SM4_CBC_DECRYPT), ST_BAD_ARGUMENT);
    EXPECT_EQ(std::memcmp(&c, &untouched, sizeof c), 0);
    // ECB ignores a given IV; a mode nibble other than 1 above the low bits is ECB.
    EXPECT_EQ(SM4_Init(&c, key.data(), nullptr, 0x21), 0);
    bytes pt = random_bytes(16), ct;
    ASSERT_EQ(stream(0x21, key, {}, pt, {16}, ct), 0);
    EXPECT_EQ(ct, ossl_sm4(false, true, true, key, iv, pt));

    // Decryption needs whole blocks; a refused call changes nothing.
    ASSERT_EQ(SM4_Init(&c, key.data(), iv.data(), SM4_CBC_DECRYPT), 0);
    _sm4_ctx_ before = c;
    unsigned char out[32];
    uint32_t n = 1234;
    EXPECT_EQ(SM4_Update(&c, pt.data(), 15, out, &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(std::memcmp(&c, &before, sizeof c), 0);
}

} // namespace
