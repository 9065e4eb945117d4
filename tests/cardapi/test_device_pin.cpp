// Device and PIN commands against a fresh card: serial number, version,
// restoration, random bytes, authentication, PIN verification and changes.
#include <ctime>

#include "cardapi_fixture.h"

namespace {

bytes today_le()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    uint32_t d = static_cast<uint32_t>((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
    return {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
            static_cast<uint8_t>(d >> 24)};
}

// The command is `head` followed by the date the call was made; dates read
// before and after the call bound it, so a call across midnight still matches.
::testing::AssertionResult dated(const bytes& cmd, const bytes& head, const bytes& before,
                                 const bytes& after)
{
    for (const bytes* d : {&before, &after}) {
        bytes expect = head;
        expect.insert(expect.end(), d->begin(), d->end());
        if (cmd == expect) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "command does not end in the date of the call";
}

const char* const WRONG_PIN = "00000000";

}  // namespace

TEST_F(CardTest, SerialNumberAsHexWithCapacityRule)
{
    struct row {
        uint32_t cap;
        uint32_t code;
        uint32_t len;
        bool nul;
    };
    const row rows[] = {
        {23, 1018, 24, false}, {0, 1018, 24, false}, {0x80000000u, 1018, 24, false},
        {24, 0, 24, false},    {25, 0, 24, true},    {64, 0, 24, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.cap);
        char out[80];
        memset(out, 'x', sizeof out);
        uint32_t len = r.cap;
        ASSERT_EQ(r.code, COS_GetSn(out, &len));
        EXPECT_EQ(r.len, len);
        if (r.code) {
            EXPECT_EQ('x', out[0]);
            continue;
        }
        std::string text(out, 24);
        for (size_t i = 0; i < 24; i += 2) EXPECT_EQ("31", text.substr(i, 2));
        EXPECT_EQ(r.nul ? '\0' : 'x', out[24]);
    }
}

TEST_F(CardTest, VersionTextWithCapacityRule)
{
    struct row {
        int cap;
        uint32_t code;
        int len;
        bool nul;
    };
    const row rows[] = {{50, 1018, 51, false}, {-1, 1018, 51, false}, {51, 0, 51, false}, {128, 0, 51, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.cap);
        uint8_t out[160];
        memset(out, 'x', sizeof out);
        int len = r.cap;
        ASSERT_EQ(r.code, COS_GetVersion(out, &len));
        EXPECT_EQ(r.len, len);
        if (r.code) continue;
        EXPECT_EQ("DAZI V2.0 May 14 2019 22:22:19", std::string(reinterpret_cast<char*>(out) + 21, 30));
        EXPECT_EQ(';', out[20]);
        EXPECT_EQ(r.nul ? 0 : 'x', out[51]);
    }
    EXPECT_EQ(0x80, log.back().cmd.back());
}

TEST_F(CardTest, VerifyPinSendsTheDateAndCountsTries)
{
    uint32_t tries = 99;
    const bytes before = today_le();
    ASSERT_EQ(0u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
    const bytes after = today_le();
    EXPECT_EQ(5u, tries);
    bytes head = {0x00, 0x20, 0x04, 0x03, 12};
    head.insert(head.end(), DEFAULT_USER_PIN, DEFAULT_USER_PIN + 8);
    EXPECT_TRUE(dated(log.back().cmd, head, before, after));

    // Four tries left after the first wrong PIN, down to none; then blocked,
    // and a right PIN no longer helps.
    for (uint32_t left = 4;; --left) {
        ASSERT_EQ(3002u, COS_VerifyPin(2, WRONG_PIN, &tries));
        EXPECT_EQ(left, tries);
        if (left == 0) break;
    }
    tries = 99;
    EXPECT_EQ(3004u, COS_VerifyPin(2, WRONG_PIN, &tries));
    EXPECT_EQ(0u, tries);
    tries = 99;
    EXPECT_EQ(3004u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
    EXPECT_EQ(0u, tries);

    // Another card status: the tries read 5.
    tries = 99;
    EXPECT_EQ(0u, COS_VerifyPin(0, DEFAULT_PIN_TYPE0, &tries));
    EXPECT_EQ(5u, tries);
}

TEST_F(CardTest, ModifyPinChangesThePin)
{
    const char* const NEW_PIN = "2468013579AB";
    EXPECT_EQ(3002u, COS_ModifyPin(2, WRONG_PIN, NEW_PIN));
    ASSERT_EQ(0u, COS_ModifyPin(2, DEFAULT_USER_PIN, NEW_PIN));
    const bytes& cmd = log.back().cmd;
    EXPECT_EQ(bytes({0x00, 0x5E, 8, 0x03, 20}), bytes(cmd.begin(), cmd.begin() + 5));
    EXPECT_EQ(std::string(DEFAULT_USER_PIN) + NEW_PIN, std::string(cmd.begin() + 5, cmd.end()));

    uint32_t tries;
    EXPECT_EQ(3002u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
    EXPECT_EQ(0u, COS_VerifyPin(2, NEW_PIN, &tries));
}

TEST_F(CardTest, UnlockAndReloadABlockedPin)
{
    uint32_t tries;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(3002u, COS_VerifyPin(1, WRONG_PIN, &tries));
    ASSERT_EQ(3004u, COS_VerifyPin(1, DEFAULT_PIN_TYPE1, &tries));

    // Both need a higher PIN; PIN type 0 is refused by the card itself.
    EXPECT_EQ(1009u, COS_UnlockPin(1));
    EXPECT_EQ(1012u, COS_ReloadPin(1, "NEWPIN-1"));
    EXPECT_EQ(1007u, COS_UnlockPin(0));
    verify(0);

    ASSERT_EQ(0u, COS_UnlockPin(1));
    EXPECT_EQ(bytes({0x80, 0x24, 0x00, 0x02}), log.back().cmd);
    EXPECT_EQ(0u, COS_VerifyPin(1, DEFAULT_PIN_TYPE1, &tries));
    // Only a blocked PIN is reloaded.
    EXPECT_EQ(1009u, COS_ReloadPin(1, "NEWPIN-1"));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(3002u, COS_VerifyPin(1, WRONG_PIN, &tries));
    ASSERT_EQ(0u, COS_ReloadPin(1, "NEWPIN-1"));
    EXPECT_EQ(bytes({0x80, 0x5C, 0x00, 0x02, 8, 'N', 'E', 'W', 'P', 'I', 'N', '-', '1'}), log.back().cmd);
    EXPECT_EQ(0u, COS_VerifyPin(1, "NEWPIN-1", &tries));
}

TEST_F(CardTest, ResetForgetsVerifiedPins)
{
    verify(2);
    ASSERT_EQ(0u, COS_SetCachePin(0, 0));
    ASSERT_EQ(0u, COS_Reset());
    EXPECT_EQ(bytes({0x00, 0x06, 0x00, 0x00, 0x10}), log.back().cmd);
    EXPECT_EQ(1012u, COS_SetCachePin(0, 0));
}

TEST_F(CardTest, CachePinFrames)
{
    verify(2);
    COS_SetCachePin(0, 77);
    EXPECT_EQ(bytes({0x00, 0x80, 0x00, 0x00}), log.back().cmd);
    COS_SetCachePin(5, 1);
    EXPECT_EQ(bytes({0x00, 0x80, 0x01, 0x01}), log.back().cmd);
    COS_SetCachePin(1, 255);
    EXPECT_EQ(bytes({0x00, 0x80, 0x01, 0xFF}), log.back().cmd);
    // A day limit that does not fit its byte is refused before anything goes
    // out, never sent as its low byte (257 as a one-day cache).
    for (uint32_t days : {0u, 256u, 257u, 0x1234u, 0xFFFFFFFFu}) {
        const size_t sent = log.size();
        EXPECT_EQ(11001u, COS_SetCachePin(1, days)) << days;
        EXPECT_EQ(sent, log.size()) << days;
    }
    // The cache is off: automatic verification is refused.
    ASSERT_EQ(0u, COS_SetCachePin(0, 0));
    const bytes before = today_le();
    EXPECT_EQ(1009u, COS_AutoVerify());
    const bytes after = today_le();
    EXPECT_TRUE(dated(log.back().cmd, {0x00, 0x21, 0x00, 0x00, 0x04}, before, after));
}

TEST_F(KeyedCardTest, CachedPinVerifiesAfterRestoration)
{
    install(1, 5);
    ASSERT_EQ(0u, COS_SetCachePin(1, 30));
    ASSERT_EQ(0u, COS_Reset());
    EXPECT_EQ(1012u, COS_SetCachePin(0, 0));
    ASSERT_EQ(0u, COS_AutoVerify());
    EXPECT_EQ(0u, COS_SetCachePin(0, 0));
}

TEST_F(CardTest, RandomBytes)
{
    uint8_t out[40];
    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(0u, COS_GetRandom(out, 16));
    EXPECT_EQ(bytes({0x00, 0x84, 0x00, 0x00, 16}), log.back().cmd);
    EXPECT_NE(bytes(16, 0xEE), bytes(out, out + 16));
    EXPECT_EQ(bytes(24, 0xEE), bytes(out + 16, out + 40));
    // Outside the card's range: the raw wrong-Le word, nothing copied.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(0x6C04u, COS_GetRandom(out, 3));
    EXPECT_EQ(bytes(40, 0xEE), bytes(out, out + 40));
}

TEST_F(KeyedCardTest, InternalAuthenticationMatchesSm4)
{
    const bytes key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    install_system_key(6, 3, 6, key);
    bytes challenge(16);
    for (int i = 0; i < 16; ++i) challenge[i] = static_cast<uint8_t>(0xA0 + i);

    uint8_t out[32];
    int len = 15;
    ASSERT_EQ(1018u, COS_InnerAuth(challenge.data(), 16, out, &len));
    EXPECT_EQ(16, len);
    len = 32;
    ASSERT_EQ(0u, COS_InnerAuth(challenge.data(), 16, out, &len));
    EXPECT_EQ(16, len);
    EXPECT_EQ(oracle::sm4_ecb(key, challenge, true), bytes(out, out + 16));
}

TEST_F(KeyedCardTest, ExternalAuthentication)
{
    const bytes key(16, 0x42);
    install_system_key(7, 4, 9, key);
    uint8_t crypt[16] = {};
    // No challenge yet.
    EXPECT_EQ(1017u, COS_ExtAuth(1, crypt, 16));

    uint8_t challenge[8];
    ASSERT_EQ(0u, COS_GetRandom(challenge, 8));
    bytes block(challenge, challenge + 8);
    block.resize(16, 0);
    bytes c = oracle::sm4_ecb(key, block, true);
    bytes wrong = c;
    wrong[0] ^= 1;
    EXPECT_EQ(0x63C4u, COS_ExtAuth(1, wrong.data(), 16));
    ASSERT_EQ(0u, COS_ExtAuth(1, c.data(), 16));
    bytes expect = {0x00, 0x82, 0x00, 0x01, 16};
    expect.insert(expect.end(), c.begin(), c.end());
    EXPECT_EQ(expect, log.back().cmd);
    // The challenge is used up.
    EXPECT_EQ(1017u, COS_ExtAuth(1, c.data(), 16));

    // A short cryptogram is zero-filled to 16 bytes; key id 0 goes to the
    // card, which refuses it.
    COS_ExtAuth(1, c.data(), 5);
    expect = {0x00, 0x82, 0x00, 0x01, 16};
    expect.insert(expect.end(), c.begin(), c.begin() + 5);
    expect.resize(5 + 16, 0);
    EXPECT_EQ(expect, log.back().cmd);
    EXPECT_EQ(1007u, COS_ExtAuth(0, c.data(), 16));
}

// With the master key installed and a fresh challenge, a right MAC over the
// command header blocks the card: from then on it refuses everything but a
// reset.
TEST_F(KeyedCardTest, CardBlockWithTheRightMacBlocksTheCard)
{
    const bytes master = pattern(16, 0x5A);
    install_system_key(1, 0, 0, master);

    // A wrong MAC is refused and uses the challenge up.
    uint8_t challenge[8];
    ASSERT_EQ(0u, COS_GetRandom(challenge, 8));
    const uint8_t wrong[4] = {0, 0, 0, 0};
    EXPECT_EQ(1015u, COS_Block(wrong, 4)) << "0x6988, wrong MAC";
    EXPECT_EQ(1017u, COS_Block(wrong, 4));

    // MAC: the 5 header bytes, 0x80, zero padding to one block, XORed into
    // the challenge (zero-extended to 16 bytes), enciphered under the key.
    ASSERT_EQ(0u, COS_GetRandom(challenge, 8));
    bytes block = {0x84, 0x16, 0x00, 0x00, 0x04, 0x80};
    block.resize(16, 0);
    for (int i = 0; i < 8; ++i) block[i] ^= challenge[i];
    bytes mac = oracle::sm4_ecb(master, block, true);
    ASSERT_EQ(0u, COS_Block(mac.data(), 4));

    char sn[32];
    uint32_t len = sizeof sn;
    EXPECT_EQ(1008u, COS_GetSn(sn, &len)) << "0x6A81, card blocked";
}

TEST_F(CardTest, CardBlockTravelsUnderSecureMessaging)
{
    const uint8_t mac[4] = {1, 2, 3, 4};
    // Without a challenge the card's secure messaging refuses it.
    EXPECT_EQ(1017u, COS_Block(mac, 4));
    EXPECT_EQ(bytes({0x84, 0x16, 0x00, 0x00, 4, 1, 2, 3, 4}), log.back().cmd);
    // The card is still usable.
    char sn[32];
    uint32_t len = sizeof sn;
    EXPECT_EQ(0u, COS_GetSn(sn, &len));
}
