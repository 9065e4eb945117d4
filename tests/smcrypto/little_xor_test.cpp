#include "smcrypto/little.h"
#include "smcrypto/xor.h"
#include "sm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ByteOrder, ConvertedValuesLieLittleEndianInMemory)
{
    uint32_t v32 = swap32(0x11223344);
    uint16_t v16 = swap16(0x1234);
    unsigned char b32[4], b16[2];
    std::memcpy(b32, &v32, 4);
    std::memcpy(b16, &v16, 2);
    EXPECT_EQ(to_hex(b32, 4), "44332211");
    EXPECT_EQ(to_hex(b16, 2), "3412");
    // The detected flag agrees with the host's own layout of a number.
    uint32_t probe = 0x11223344;
    unsigned char host[4];
    std::memcpy(host, &probe, 4);
    EXPECT_EQ(isBigEndian, host[0] == 0x44 ? 0 : 1);
    // Both directions are the same call.
    EXPECT_EQ(swap32(swap32(0xA1B2C3D4u)), 0xA1B2C3D4u);
    EXPECT_EQ(swap16(swap16(0xA1B2)), 0xA1B2);
}

TEST(KeyXor, MasksAtMostThirtyTwoBytesWithTheKeyDigest)
{
    bytes key = random_bytes(16), data = random_bytes(48);
    bytes mask = ossl_sm3(key.data(), key.size());
    struct Case {
        int len;
        int changed;
    } cases[] = {{40, 32}, {32, 32}, {5, 5}, {0, 0}, {-3, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        bytes out(48, 0xC3);
        Key_XOR(data.data(), c.len, key.data(), 16, out.data());
        for (int i = 0; i < 48; ++i)
            ASSERT_EQ(out[i], i < c.changed ? (unsigned char)(data[i] ^ mask[i]) : 0xC3) << i;
    }
}

TEST(KeyXor, InPlaceTwiceRestoresAndEmptyKeyUsesEmptyDigest)
{
    bytes key = random_bytes(16), data = random_bytes(32), buf = data;
    Key_XOR(buf.data(), 32, key.data(), 16, buf.data());
    EXPECT_NE(buf, data);
    Key_XOR(buf.data(), 32, key.data(), 16, buf.data());
    EXPECT_EQ(buf, data);

    bytes out(32);
    Key_XOR(data.data(), 32, nullptr, 0, out.data());
    bytes mask = ossl_sm3(nullptr, 0);
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(out[i], data[i] ^ mask[i]);
}

// The stack below the test's frame, where the calls it makes put their own
// frames: what a returned call left there is read back through an area of
// this size. The empty asm statements tell the compiler that the area's
// bytes are used (the zeros) and may have been written (the bytes read).
constexpr size_t kStackProbe = 16384;

__attribute__((noinline)) void scrub_stack()
{
    unsigned char area[kStackProbe];
    std::memset(area, 0, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

__attribute__((noinline)) bool stack_holds(const unsigned char* pattern, size_t n)
{
    unsigned char area[kStackProbe];
    asm volatile("" : : "r"(area) : "memory");
    for (size_t i = 0; i + n <= kStackProbe; ++i)
        if (std::memcmp(area + i, pattern, n) == 0)
            return true;
    return false;
}

__attribute__((noinline)) void mask_zeros(const unsigned char* key, unsigned char* out)
{
    unsigned char zeros[32] = {0};
    Key_XOR(zeros, 32, key, 16, out);
}

// The key's digest is the mask: with the masked scalar it gives the private
// key, so none of it stays on the stack once Key_XOR returns.
TEST(KeyXor, LeavesNoMaskOnTheStack)
{
    bytes key = random_bytes(16);
    bytes mask = ossl_sm3(key.data(), key.size());
    bytes out(32);
    scrub_stack();
    mask_zeros(key.data(), out.data());
    ASSERT_EQ(out, mask) << "zeros masked give the mask itself";
    std::fill(out.begin(), out.end(), 0);
    EXPECT_FALSE(stack_holds(mask.data(), 16));
    EXPECT_FALSE(stack_holds(mask.data() + 16, 16));
}

} // namespace
