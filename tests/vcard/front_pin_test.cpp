// PIN instructions: verification with its tries, the date trailer, unlock,
// reload, change, and the PIN cache with its day limit.
#include "tests/vcard/front_fixture.h"

#include "vcard/filesys.h"

namespace {

const Bytes kWrong = Text("00000000");
const Bytes kNewPin = Text("new-pin-0123");   // 12 bytes

Bytes CacheBlock(const TempImage& image) { return image.Peek(0x100, 20); }

bool InnerKeyHeld() { return sInnerKey.len == 16; }

TEST_F(FrontCard, WrongUserPinsCountDownToBlocked)
{
    ASSERT_EQ(VerifyPin(2, UserPin()), 0x9000);
    const uint16_t expect[] = {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0, 0x6983};
    for (uint16_t sw : expect)
        EXPECT_EQ(VerifyPin(2, kWrong), sw);
    EXPECT_EQ(VerifyPin(2, UserPin()), 0x6983) << "blocked: even the right PIN";
    EXPECT_EQ(KeyOnImage(KEY_USER_PIN).tries, 0);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x6982) << "the wrong PIN cleared bit 5";
    // Another PIN is not touched.
    EXPECT_EQ(VerifyDefault(1), 0x9000);
}

TEST_F(FrontCard, RightPinRestoresTries)
{
    EXPECT_EQ(VerifyPin(0, kWrong), 0x63C4);
    EXPECT_EQ(VerifyPin(0, kWrong), 0x63C3);
    EXPECT_EQ(KeyOnImage(KEY_PIN0).tries, 3);
    EXPECT_EQ(VerifyDefault(0), 0x9000);
    EXPECT_EQ(KeyOnImage(KEY_PIN0).tries, 5);
}

TEST_F(FrontCard, DateTrailerUpdatesTheLastUseDateAlsoForAWrongPin)
{
    Bytes tenDigits = Text("0123456789");
    EXPECT_EQ(VerifyPin(2, tenDigits, 20260102), 0x63C4);
    EXPECT_EQ(DevInfoOnImage().lastDate, 20260102u);
    EXPECT_EQ(sCurDate, 20260102u);
    EXPECT_EQ(VerifyPin(2, UserPin(), 20260105), 0x9000);
    EXPECT_EQ(DevInfoOnImage().lastDate, 20260105u);
}

TEST_F(FrontCard, UnlockNeedsAHigherPinAndABlockedOne)
{
    for (int i = 0; i < 5; ++i)
        VerifyPin(2, kWrong);
    ASSERT_EQ(VerifyPin(2, UserPin()), 0x6983);
    EXPECT_EQ(SW(Hex("80 24 00 03")), 0x6985) << "no higher PIN verified";
    ASSERT_EQ(VerifyDefault(1), 0x9000);   // bit 4 ranks above record 5
    EXPECT_EQ(SW(Hex("80 24 00 03")), 0x9000);
    EXPECT_EQ(SW(Hex("80 24 00 03")), 0x6985) << "not blocked any more";
    EXPECT_EQ(VerifyPin(2, UserPin()), 0x9000) << "the PIN value stays";
    // Record 4 ranks below bit 4 itself: only PIN 0 unlocks it.
    for (int i = 0; i < 5; ++i)
        VerifyPin(1, kWrong);
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    ASSERT_EQ(VerifyPin(2, UserPin()), 0x9000);
    EXPECT_EQ(SW(Hex("80 24 00 02")), 0x6985);
    ASSERT_EQ(VerifyDefault(0), 0x9000);
    EXPECT_EQ(SW(Hex("80 24 00 02")), 0x9000);
}

// A card with an identity record, the inner secret (file 2, made by switching
// the PIN cache on) and the user PIN verified.
class FrontPinCache : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        WriteIdentity();
        ASSERT_EQ(VerifyPin(2, UserPin(), kDay), 0x9000);
        ASSERT_FALSE(InnerKeyHeld()) << "no file 2 yet";
        ASSERT_EQ(SW(Apdu(0x00, 0x80, 1, kLimit)), 0x9000);
        _file_info_ fi;
        ASSERT_EQ(SelectFile(FID_INNERKEY, &fi), 0);
        ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);   // forget all verifications
    }
    static constexpr uint32_t kDay = 20260110;
    static constexpr uint8_t kLimit = 3;
};

TEST_F(FrontPinCache, AutomaticVerificationWithinTheDayLimit)
{
    _dev_info_ d = DevInfoOnImage();
    EXPECT_EQ(d.cacheOn, 1);
    EXPECT_EQ(d.cacheDays, kLimit);
    EXPECT_EQ(Le32(CacheBlock(image), 0), 8u);

    EXPECT_EQ(AutoVerify(kDay + 3), 0x9000);
    EXPECT_TRUE(InnerKeyHeld());
    EXPECT_EQ(DevInfoOnImage().lastDate, kDay + 3);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000) << "bit 5 is set (and the cache goes off)";
    EXPECT_EQ(CacheBlock(image), Bytes(20, 0));
    EXPECT_EQ(AutoVerify(kDay + 3), 0x6985);
}

TEST_F(FrontPinCache, BeyondTheDayLimitTheCacheGoesOff)
{
    EXPECT_EQ(AutoVerify(kDay + kLimit + 1), 0x6985);
    EXPECT_EQ(DevInfoOnImage().cacheOn, 0);
    EXPECT_EQ(CacheBlock(image), Bytes(20, 0)) << "no cached PIN is left behind";
    EXPECT_EQ(AutoVerify(kDay), 0x6985);
    EXPECT_EQ(KeyOnImage(KEY_USER_PIN).tries, 5);
}

TEST_F(FrontPinCache, ImplausibleCachedPinLengthCostsNoTry)
{
    for (uint32_t len : {0u, 7u, 17u, 0xFFFFFFFFu}) {
        image.Poke(0x100, {uint8_t(len), uint8_t(len >> 8), uint8_t(len >> 16), uint8_t(len >> 24)});
        EXPECT_EQ(AutoVerify(kDay), 0x6985) << len;
        EXPECT_EQ(KeyOnImage(KEY_USER_PIN).tries, 5) << len;
    }
    // A plausible but wrong length is a wrong PIN and counts.
    image.Poke(0x100, {9, 0, 0, 0});
    EXPECT_EQ(AutoVerify(kDay), 0x63C4);
}

TEST_F(FrontPinCache, ChangedUserPinReachesFile2AndTheCache)
{
    ASSERT_EQ(SW(Apdu(0x00, 0x5E, 8, 3, Cat(UserPin(), kNewPin))), 0x9000);
    EXPECT_EQ(sUsrPin.len, kNewPin.size());
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    EXPECT_EQ(AutoVerify(kDay + 1), 0x9000) << "the cache holds the new PIN";
    EXPECT_TRUE(InnerKeyHeld()) << "file 2 deciphers under the new PIN";
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    EXPECT_EQ(VerifyPin(2, UserPin()), 0x63C4);
    EXPECT_EQ(VerifyPin(2, kNewPin), 0x9000);
    EXPECT_TRUE(InnerKeyHeld());
}

TEST_F(FrontPinCache, FailedFile2RewriteKeepsTheOldPin)
{
    // Shrink file 2's maximum size in its directory entry: the read of its
    // first 48 bytes works, the rewrite does not.
    image.Poke(0x400 + 8 * FID_INNERKEY + 6, {16, 0});
    Bytes before = image.Peek(0x400 + 8 * FID_KEYS, 8);
    EXPECT_EQ(SW(Apdu(0x00, 0x5E, 8, 3, Cat(UserPin(), kNewPin))), 0x6A88);
    image.Poke(0x400 + 8 * FID_INNERKEY + 6, {128, 0});
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    EXPECT_EQ(VerifyPin(2, kNewPin), 0x63C4) << "the record was not changed";
    EXPECT_EQ(VerifyPin(2, UserPin()), 0x9000);
    EXPECT_TRUE(InnerKeyHeld()) << "the inner secret is still under the old PIN";
}

TEST_F(FrontPinCache, ReloadOfTheUserPinDestroysTheUsersKeysAndTheCache)
{
    // Key files of slots 0 and 15, as the key instructions would leave them.
    for (uint8_t f : {0x10, 0x1F, 0x30, 0x3F, 0x50, 0x5F}) {
        _file_info_ fi = {f, 0, 0, 0, 64};
        ASSERT_EQ(CreateCOSFile(&fi), 0);
        ASSERT_EQ(WriteCOSFile(fi, 0, Bytes(32, 0x77).data(), 32), 0);
    }
    ASSERT_EQ(VerifyPin(2, UserPin()), 0x9000);
    ASSERT_EQ(SW(Hex("00 A4 30 00 02")), 0x9000);   // current file: a public record
    for (int i = 0; i < 5; ++i)
        VerifyPin(2, kWrong);
    EXPECT_NE(CacheBlock(image), Bytes(20, 0));

    EXPECT_EQ(SW(Apdu(0x80, 0x5C, 0, 3, kNewPin)), 0x6982) << "no higher PIN";
    ASSERT_EQ(VerifyDefault(0), 0x9000);
    ASSERT_EQ(SW(Apdu(0x80, 0x5C, 0, 3, kNewPin)), 0x9000);
    _file_info_ fi;
    for (uint8_t f : {0x02, 0x10, 0x1F, 0x30, 0x3F, 0x50, 0x5F})
        EXPECT_EQ(SelectFile(f, &fi), 0x6A82) << int(f);
    EXPECT_EQ(SelectFile(FID_IDENTITY, &fi), 0) << "the identity record stays";
    _dev_info_ d = DevInfoOnImage();
    EXPECT_EQ(d.cacheOn, 0);
    EXPECT_EQ(d.cacheDays, 0);
    EXPECT_EQ(CacheBlock(image), Bytes(20, 0));
    EXPECT_EQ(SW(Hex("00 B0 00 00 01")), 0x6985) << "the deleted file is no longer current";

    EXPECT_EQ(VerifyPin(2, kNewPin), 0x9000);
    EXPECT_EQ(SW(Apdu(0x80, 0x5C, 0, 3, kNewPin)), 0x6985) << "only a blocked PIN is reloaded";
}

TEST_F(FrontCard, ChangePinLengthsAndOldPin)
{
    EXPECT_EQ(SW(Apdu(0x00, 0x5E, 8, 3, Cat(UserPin(), Text("1234567")))), 0x6700);
    EXPECT_EQ(SW(Apdu(0x00, 0x5E, 8, 3, Cat(kWrong, kNewPin))), 0x63C4);
    ASSERT_EQ(SW(Apdu(0x00, 0x5E, 8, 1, Cat(Text(DEFAULT_PIN_TYPE0), kNewPin))), 0x9000);
    EXPECT_EQ(VerifyDefault(0), 0x63C4);
    EXPECT_EQ(VerifyPin(0, kNewPin), 0x9000);
    EXPECT_EQ(sUsrPin.len, 0u) << "only the user PIN is held";
}

TEST_F(FrontCard, CacheSwitchNeedsAnIdentityRecordBeforeItGoesOn)
{
    ASSERT_EQ(VerifyPin(2, UserPin()), 0x9000);
    EXPECT_EQ(SW(Hex("00 80 01 00")), 0x6A86);
    EXPECT_EQ(SW(Hex("00 80 01 05")), 0x6A82) << "no identity record, no file 2";
    EXPECT_EQ(DevInfoOnImage().cacheOn, 0) << "the flag stays off when the load fails";
    EXPECT_EQ(AutoVerify(20260101), 0x6985);

    WriteIdentity(49);   // one byte too short for the inner secret
    EXPECT_EQ(SW(Hex("00 80 01 05")), 0x6A85);
    EXPECT_EQ(DevInfoOnImage().cacheOn, 0);

    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000);
    EXPECT_EQ(CacheBlock(image), Bytes(20, 0));
}

}  // namespace
