// Administration instructions and secure messaging: version, serial number,
// restoration, reset, system keys, card block and the command MAC.
#include "tests/vcard/front_fixture.h"

#include "vcard/filesys.h"

namespace {

const Bytes kMaster = Hex("00112233445566778899AABBCCDDEEFF");
const Bytes kMac = Hex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");

TEST_F(FrontCard, VersionTextAndItsLength)
{
    EXPECT_EQ(SW(Hex("00 0C 00 00 20")), 0x6C33);
    Reply r = Send(Hex("00 0C 00 00 80"));
    ASSERT_EQ(r.sw, 0x9000);
    ASSERT_EQ(r.data.size(), 51u);
    // GBK vendor text, then ";" and the product, date and time.
    Bytes expect = Hex("B1B1 BEA9 51 61 72 6E BFC6 BCBC D3D0 CFDE B9AB CBBE 3B");
    expect = Cat(expect, Text("DAZI V2.0 May 14 2019 22:22:19"));
    EXPECT_EQ(r.data, expect);
}

TEST_F(FrontCard, RestorationAnswersTheSerialAndResetsEvenWhenLeIsShort)
{
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    EXPECT_EQ(SW(Hex("00 06 00 00 04")), 0x6C0C);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x6982) << "the verified PIN is gone";
    Reply r = Send(Hex("00 06 00 00 10"));
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Bytes(12, '1'));
}

TEST_F(FrontCard, ResetNeedsItsCodeAndKeepsTheKeyMatrixArea)
{
    image.Poke(0x10000, Hex("DEADBEEF"));
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    ASSERT_EQ(SW(Apdu(0x80, 0xE0, 0x81, 0, Hex("81 00 00 00 00 00 40 00"))), 0x9000);
    Bytes wrong = ResetCode();
    wrong[0] ^= 0x80;
    EXPECT_EQ(SW(Apdu(0x00, 0x02, 0, 0, wrong)), 0x6A80);
    _file_info_ fi;
    EXPECT_EQ(SelectFile(0x81, &fi), 0) << "a wrong code changes nothing";

    Reply r = Send(Apdu(0x00, 0x02, 0, 0, ResetCode()));
    EXPECT_EQ(r.sw, 0x0000);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(SelectFile(0x81, &fi), 0x6A82);
    EXPECT_EQ(image.Peek(0x10000, 4), Hex("DEADBEEF"));
    EXPECT_EQ(KeyOnImage(KEY_USER_PIN).tries, 5);
    EXPECT_EQ(SW(Hex("80 E0 81 00 08 81 00 00 00 00 00 40 00")), 0x6982) << "security bits reset";
    // The reset insists on P1 P2 0 and exactly 16 code bytes.
    EXPECT_EQ(SW(Cat(Hex("00 02 01 00 10"), ResetCode())), 0x6A86);
    Bytes shortCode = ResetCode();
    shortCode.pop_back();
    EXPECT_EQ(SW(Cat(Hex("00 02 00 00 0F"), shortCode)), 0x6700);
}

TEST_F(FrontCard, SystemKeyInstallation)
{
    ASSERT_EQ(VerifyDefault(0), 0x9000);
    struct {
        uint8_t p1, p2;
        Bytes data;
        uint16_t sw;
    } cases[] = {
        {1, 0, KeyRecord(1, 0, 0, 5, kMaster), 0x9000},
        {1, 0, KeyRecord(1, 0, 0, 5, kMaster), 0x6985},   // the master key is set once
        {2, 1, KeyRecord(2, 1, 0, 5, kMac), 0x9000},
        {2, 1, KeyRecord(2, 1, 0, 5, kMaster), 0x9000},   // others may be replaced
        {3, 2, KeyRecord(4, 2, 3, 5, kMac), 0x6A80},      // record header names another key
        {6, 3, KeyRecord(6, 2, 0, 5, kMac), 0x6A80},      // wrong type in the header
        {2, 0, KeyRecord(2, 0, 0, 5, kMac), 0x6A86},      // number and type do not pair
        {12, 5, KeyRecord(12, 5, 0, 5, kMac), 0x6A86},    // beyond the key numbers
        {11, 5, KeyRecord(11, 5, 0, 5, kMac), 0x9000},
    };
    for (auto& c : cases)
        EXPECT_EQ(SW(Apdu(0x00, 0x0E, c.p1, c.p2, c.data)), c.sw) << int(c.p1);
    EXPECT_EQ(KeyOnImage(2).value[0], kMaster[0]);
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    EXPECT_EQ(SW(Apdu(0x00, 0x0E, 6, 3, KeyRecord(6, 3, 0, 5, kMac))), 0x6982) << "needs PIN 0";
}

class FrontSecure : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        Install(1, 0, 0, kMaster);
        Install(2, 1, 0, kMac);
    }
    // Card block with a MAC over its 5 header bytes under key record 1.
    Bytes BlockCommand(const Bytes& challenge, const Bytes& key = kMaster)
    {
        return MacApdu(0x16, 0, 0, {}, key, challenge);
    }
    // Update of key record p1 to newKey: 32 bytes of cipher text (length byte,
    // the key, padding) under the MAC key, then the MAC.
    Bytes UpdateCommand(uint8_t p1, uint8_t p2, const Bytes& newKey, const Bytes& macKey,
                        const Bytes& challenge)
    {
        Bytes plain = Cat(Bytes{0x10}, newKey);
        plain.push_back(0x80);
        plain.resize(32, 0);
        return MacApdu(0xD4, p1, p2, Sm4Ecb(macKey, plain, true), macKey, challenge);
    }
};

TEST_F(FrontSecure, CardBlockWithTheRightMacBlocksEverythingButReset)
{
    EXPECT_EQ(SW(BlockCommand(Bytes(8, 0))), 0x6984) << "no challenge";
    Bytes ch = Challenge(8);
    ASSERT_EQ(SW(BlockCommand(ch)), 0x9000);
    EXPECT_EQ(DevInfoOnImage().blocked, 1);

    const char* refused[] = {
        "00 0A 00 00 10",                         // serial number
        "00 20 00 03 08 34 30 37 33 36 31 35 38",  // user PIN
        "80 40 00 00 32",                         // would fail its access condition
        "00 06 00 00 10",                         // restoration
        "00 08 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 10",
    };
    for (const char* a : refused)
        EXPECT_EQ(SW(Hex(a)), 0x6A81) << a;
    EXPECT_EQ(SW(Hex("12 0A 00 00 10")), 0x6E00);
    EXPECT_EQ(SW(Hex("00 24 00 03")), 0x6D00);

    // Blocking is kept in file 0: a rebinding after another image sees it.
    TempImage other(-1);
    ASSERT_EQ(CreateVEFlashFile(other.path().c_str()), 0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81);

    Bytes wrong = ResetCode();
    wrong[7] ^= 1;
    EXPECT_EQ(SW(Apdu(0x00, 0x02, 0, 0, wrong)), 0x6A80);
    EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81) << "still blocked";
    EXPECT_EQ(SW(Apdu(0x00, 0x02, 0, 0, ResetCode())), 0x0000);
    EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x9000);
}

TEST_F(FrontSecure, WrongMacIsRefusedAndConsumesTheChallenge)
{
    Bytes ch = Challenge(16);
    Bytes cmd = BlockCommand(ch);
    Bytes bad = cmd;
    bad.back() ^= 0x01;   // only the MAC's last byte differs
    EXPECT_EQ(SW(bad), 0x6988);
    EXPECT_EQ(SW(cmd), 0x6984) << "the right MAC needs a fresh challenge now";
    EXPECT_EQ(DevInfoOnImage().blocked, 0);

    ch = Challenge(16);
    EXPECT_EQ(SW(BlockCommand(ch, kMac)), 0x6988) << "card block MACs under key record 1";
    ch = Challenge(16);
    ASSERT_EQ(SW(BlockCommand(ch)), 0x9000);
}

TEST_F(FrontSecure, TwoSecureCommandsAfterOneChallenge)
{
    Install(6, 3, 0, kMaster);
    Bytes newKey = Hex("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
    Bytes ch = Challenge(8);
    Bytes cmd = UpdateCommand(6, 3, newKey, kMac, ch);
    EXPECT_EQ(SW(cmd), 0x9000);
    EXPECT_EQ(SW(cmd), 0x6984) << "a challenge serves one command";
}

TEST_F(FrontSecure, SystemKeyUpdateDecipheredInPlace)
{
    Install(6, 3, 0, kMaster);
    Bytes newKey = Hex("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");

    // Record 6 is updated under a MAC with key record 2.
    Bytes ch = Challenge(8);
    EXPECT_EQ(SW(UpdateCommand(6, 3, newKey, kMaster, ch)), 0x6988);
    ch = Challenge(8);
    ASSERT_EQ(SW(UpdateCommand(6, 3, newKey, kMac, ch)), 0x9000);
    // The internal-authentication key is now the new value.
    Bytes input = Hex("000102030405060708090A0B0C0D0E0F");
    Reply r = Send(Apdu(0x00, 0x88, 0, 0, input, 0x10));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Sm4Ecb(newKey, input, true));
    _key_info_ k = KeyOnImage(6);
    EXPECT_EQ(k.no, 6);
    EXPECT_EQ(k.type, 3);

    // Record 2 is updated under key record 1.
    ch = Challenge(8);
    EXPECT_EQ(SW(UpdateCommand(2, 1, newKey, kMac, ch)), 0x6988);
    ch = Challenge(8);
    ASSERT_EQ(SW(UpdateCommand(2, 1, newKey, kMaster, ch)), 0x9000);
    _key_info_ k2 = KeyOnImage(2);
    EXPECT_EQ(Bytes(k2.value, k2.value + 16), newKey);

    // The master key cannot be updated; a missing record cannot either.
    ch = Challenge(8);
    EXPECT_EQ(SW(UpdateCommand(1, 0, newKey, kMaster, ch)), 0x6A86);
    ch = Challenge(8);
    EXPECT_EQ(SW(UpdateCommand(9, 4, newKey, newKey, ch)), 0x6985);
    // Without PIN 0 the access condition refuses before any MAC is checked.
    ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
    EXPECT_EQ(SW(UpdateCommand(6, 3, newKey, newKey, Bytes(8, 0))), 0x6982);
}

TEST_F(FrontCard, SecureMessagingWithoutItsKeyRecord)
{
    Bytes ch = Challenge(8);
    // No master key installed: the MAC key record is missing.
    EXPECT_EQ(SW(MacApdu(0x16, 0, 0, {}, kMaster, ch)), 0x6A03);
}

}  // namespace
