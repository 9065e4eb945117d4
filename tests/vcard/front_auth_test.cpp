// Authentication instructions: challenge, external and internal
// authentication.
#include "tests/vcard/front_fixture.h"

namespace {

const Bytes kExt = Hex("2B7E151628AED2A6ABF7158809CF4F3C");
const Bytes kInt = Hex("0123456789ABCDEFFEDCBA9876543210");

class FrontAuth : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        // External key 1 (record 7) grants bit 4, like PIN type 1.
        Install(7, 4, 4, kExt);
        Install(6, 3, 0, kInt);
        ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    }
    uint16_t Answer(const Bytes& challenge, const Bytes& key = kExt)
    {
        Bytes block = challenge;
        block.resize(16, 0);
        return SW(Apdu(0x00, 0x82, 0, 1, Sm4Ecb(key, block, true)));
    }
    bool Bit4() { return SW(Hex("80 E0 00 00 08 30 00 00 00 00 00 40 00")) != 0x6982; }
};

TEST_F(FrontAuth, ChallengeThenResponseSetsTheKeysBitOnce)
{
    EXPECT_EQ(Answer(Bytes(8, 0)), 0x6984) << "no challenge yet";
    Bytes ch = Challenge(8);
    ASSERT_EQ(ch.size(), 8u);
    ASSERT_EQ(Answer(ch), 0x9000);
    EXPECT_TRUE(Bit4());
    EXPECT_EQ(Answer(ch), 0x6984) << "the challenge was used up";
}

TEST_F(FrontAuth, WrongResponseCountsAndTheChallengeStays)
{
    Bytes ch = Challenge(16);
    EXPECT_EQ(Answer(ch, kInt), 0x63C4);
    EXPECT_EQ(KeyOnImage(7).tries, 4);
    EXPECT_FALSE(Bit4());
    EXPECT_EQ(Answer(ch), 0x9000) << "the same challenge may be answered again";
    EXPECT_EQ(KeyOnImage(7).tries, 5);
}

TEST_F(FrontAuth, BlockedKeyAndMissingRecords)
{
    Bytes ch = Challenge(8);
    for (uint16_t sw : {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0})
        EXPECT_EQ(Answer(ch, kInt), sw);
    EXPECT_EQ(Answer(ch), 0x6983);
    ch = Challenge(8);
    // Record 9 was never installed (the key file ends before it).
    EXPECT_EQ(SW(Apdu(0x00, 0x82, 0, 3, Sm4Ecb(kExt, Bytes(16, 0), true))), 0x6A03);
}

// The tries left travel in four bits: more than 15 answer 0x63CF, as a
// wrong PIN does.
TEST_F(FrontAuth, TriesLeftAboveFifteenAnswerFifteen)
{
    const struct {
        uint8_t tries;
        uint16_t sw;
    } cases[] = {{20, 0x63CF}, {17, 0x63CF}, {16, 0x63CF}, {15, 0x63CE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.tries));
        Install(7, 4, 4, kExt, c.tries);
        Bytes ch = Challenge(16);
        EXPECT_EQ(Answer(ch, kInt), c.sw);
        EXPECT_EQ(KeyOnImage(7).tries, c.tries - 1);
    }
    Install(5, 2, 5, Bytes(16, 0x11), 20);
    EXPECT_EQ(VerifyPin(2, Text("wrong PIN")), 0x63CF) << "PIN verification caps the same way";
}

TEST_F(FrontAuth, LongChallengeRequestKeepsSixteenBytes)
{
    _len_buf_ innerBefore = sInnerKey;
    Reply r = Send(Hex("00 84 00 00 20"));
    ASSERT_EQ(r.sw, 0x9000);
    ASSERT_EQ(r.data.size(), 32u);
    EXPECT_EQ(sRand.len, 16u);
    EXPECT_EQ(std::memcmp(&innerBefore, &sInnerKey, sizeof sInnerKey), 0);
    // The challenge is the first 16 bytes of the reply.
    EXPECT_EQ(Answer(Bytes(r.data.begin(), r.data.begin() + 16)), 0x9000);

    // Fresh challenges differ, and a new one replaces the pending one.
    Bytes a = Challenge(16), b = Challenge(16);
    EXPECT_NE(a, b);
    EXPECT_EQ(Answer(a), 0x63C4);
    EXPECT_EQ(Answer(b), 0x9000);
}

TEST_F(FrontAuth, InternalAuthenticationEnciphersTheHostData)
{
    Bytes input = Hex("00112233445566778899AABBCCDDEEFF");
    Reply r = Send(Apdu(0x00, 0x88, 0, 0, input, 0x10));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Sm4Ecb(kInt, input, true));
    EXPECT_EQ(SW(Apdu(0x00, 0x88, 0, 0, input, 0x08)), 0x6C10);
}

TEST_F(FrontCard, InternalAuthenticationWithoutItsKey)
{
    EXPECT_EQ(SW(Apdu(0x00, 0x88, 0, 0, Bytes(16, 1), 0x10)), 0x6C00)
        << "record 6 lies at the key file's used length";
}

}  // namespace
