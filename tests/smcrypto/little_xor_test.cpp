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

} // namespace
