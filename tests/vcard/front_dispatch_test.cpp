// The command parser and dispatcher: class and instruction look-up, case and
// length parsing, bounds and special checks, the reply area and rebinding.
#include "tests/vcard/front_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Case {
    const char* what;
    const char* apdu;
    uint16_t sw;
    const char* reply;   // expected reply data (hex)
};

// Parser paths that need no security state.
const Case kParserCases[] = {
    {"3-byte command", "00 84 00", 0x6A80, ""},
    {"class outside the valid ones", "12 84 00 00 08", 0x6E00, ""},
    {"CLA 0x84 with an INS it does not take", "84 84 00 00 08", 0x6D00, ""},
    {"valid class, INS not listed for it", "00 24 00 03", 0x6D00, ""},
    {"INS listed for another class", "00 E0 00 00 08 81 00 00 00 00 00 40 00", 0x6D00, ""},
    {"case 2 sent with 4 bytes", "00 0A 00 00", 0x6A80, ""},
    {"case 2 with a data byte", "00 0A 00 00 01 10", 0x6A80, ""},
    {"case 0 sent with an Le byte", "00 E4 81 00 00", 0x6700, ""},
    {"case 1 without data", "00 82 00 01 10", 0x6A80, ""},
    {"case 1 Lc longer than the data", "00 21 00 00 04 01 02 03", 0x6A80, ""},
    {"case 1 Lc outside its bounds", "00 21 00 00 03 01 02 03", 0x6700, ""},
    {"case 3 shorter than 7 bytes", "00 88 00 00 10 00", 0x6A80, ""},
    {"case 3 Lc not matching the length", "00 88 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 10",
     0x6A80, ""},
    {"P2 below its minimum", "00 82 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 0x6A86, ""},
    {"P2 above its maximum", "00 20 00 04 08 31 32 33 34 35 36 37 38", 0x6A86, ""},
    {"verify PIN with P1 2", "00 20 02 03 0A 31 32 33 34 35 36 37 38 39 30", 0x6A86, ""},
    {"verify PIN of 7 bytes", "00 20 00 03 07 31 32 33 34 35 36 37", 0x6700, ""},
    {"verify PIN, P1 4 and Lc 11", "00 20 04 03 0B 31 32 33 34 35 36 37 01 02 03 04", 0x6700, ""},
    {"Le below minimum: 6C with the minimum", "00 84 00 00 03", 0x6C04, ""},
    {"Le above maximum: 6C with the minimum", "00 84 00 00 21", 0x6C04, ""},
    {"serial number Le 7", "00 0A 00 00 07", 0x6C08, ""},
    {"internal authenticate Le 8", "00 88 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 08",
     0x6C10, ""},
    {"select with Le 3", "00 A4 81 00 03", 0x6C02, ""},
    {"read with Le 0", "00 B0 00 00 00", 0x6C01, ""},
    {"SM4 data not a multiple of 16", "00 50 00 00 0F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0F",
     0x6700, ""},
    {"hash start is case 1: an Le byte does not fit", "00 54 01 00 03 61 62 63 14", 0x6A80, ""},
    {"one-shot hash is case 3: it needs its Le", "00 54 00 00 03 61 62 63", 0x6A80, ""},
    {"hash with P1 beyond the stream steps", "00 56 04 00 03 61 62 63 20", 0x6A86, ""},
    {"access condition before the parameters", "00 0E 0C 00 18 00", 0x6982, ""},
    {"serial number", "00 0A 00 00 10", 0x9000, "31 31 31 31 31 31 31 31 31 31 31 31"},
    {"serial number, Le 8 passes the table, not the handler", "00 0A 00 00 08", 0x6C0C, ""},
    {"error word with the 0x6100 bits carries Le zero bytes", "00 B0 00 00 04", 0x6985,
     "00 00 00 00"},
};

class FrontParser : public FrontCard, public ::testing::WithParamInterface<Case> {};

TEST_P(FrontParser, AnswersAsExpected)
{
    const Case& c = GetParam();
    Reply r = Send(Hex(c.apdu));
    EXPECT_EQ(r.sw, c.sw) << c.what << std::hex << " got 0x" << r.sw;
    EXPECT_EQ(r.data, Hex(c.reply)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, FrontParser, ::testing::ValuesIn(kParserCases));

TEST_F(FrontCard, DaziIoRefusesEmptyAndOversizedCommandsWithoutTouchingTheReply)
{
    uint8_t reply[DAZI_REPLY_MAX];
    std::memset(reply, REPLY_SENTINEL, sizeof reply);
    uint32_t n = 77;
    uint8_t cmd[DAZI_CMD_MAX + 1] = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    EXPECT_EQ(DAZI_IO(cmd, 0, reply, &n), 0x6A80);
    EXPECT_EQ(DAZI_IO(cmd, DAZI_CMD_MAX + 1, reply, &n), 0x6A80);
    EXPECT_EQ(n, 77u);
    for (uint8_t b : reply)
        ASSERT_EQ(b, REPLY_SENTINEL);
    // The largest command that fits is processed (and refused for its length).
    EXPECT_EQ(DAZI_IO(cmd, DAZI_CMD_MAX, reply, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(reply[0] << 8 | reply[1], 0x6A80);
}

TEST_F(FrontCard, LeRuleOfKeyMatrixGenerationRefusesCurvesWithoutAFieldLength)
{
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    // Curve 5 (L 32): Le 0x81 is not 2 + a multiple of 64; curves 6 and 15
    // have no field length at all.
    EXPECT_EQ(SW(Hex("80 40 50 00 81")), 0x6C12);
    EXPECT_EQ(SW(Hex("80 40 60 00 82")), 0x6C12);
    EXPECT_EQ(SW(Hex("80 40 F0 00 12")), 0x6C12);
    ASSERT_EQ(VerifyDefault(0), 0x9000);
    EXPECT_EQ(SW(Hex("80 42 60 00 22")), 0x6C12);
    EXPECT_EQ(SW(Hex("80 42 F0 00 12")), 0x6C12);
    // Curve 3 (L 20): export elements are 32 bytes, generated points 40.
    EXPECT_EQ(SW(Hex("80 40 30 00 22")), 0x6C12);
    EXPECT_EQ(SW(Hex("80 42 30 00 2A")), 0x6C12);

    // The Lc rules of matrix import (Lc - 2 whole elements of the curve's
    // block size: 32 on curve 0, 16 on curves 1 and 2) and of the
    // identity key (index pairs: even Lc), and the envelope case by P2.
    EXPECT_EQ(SW(Cat(Hex("80 44 00 00 21"), Bytes(0x21, 0))), 0x6700);
    EXPECT_EQ(SW(Cat(Hex("80 44 00 00 12"), Bytes(0x12, 0))), 0x6700);
    EXPECT_EQ(SW(Cat(Hex("80 44 10 00 13"), Bytes(0x13, 0))), 0x6700);
    EXPECT_EQ(SW(Cat(Hex("80 44 20 00 02"), Bytes(0x02, 0))), 0x6700);
    // One 16-byte element on curve 2 passes the rule and reaches the handler.
    EXPECT_EQ(SW(Cat(Hex("80 44 20 00 12"), Bytes(0x12, 0))), 0x6985);
    EXPECT_EQ(SW(Cat(Cat(Hex("80 46 00 00 09"), Bytes(9, 0)), Bytes{0x18})), 0x6700);
    EXPECT_EQ(SW(Cat(Cat(Hex("80 C8 10 00 12"), Bytes(0x12, 0)), Hex("30"))), 0x6A80);
    EXPECT_EQ(SW(Cat(Hex("80 C8 10 01 12"), Bytes(0x12, 0))), 0x6A80);

    // A passing Le reaches the handler, which has no inner key to work with
    // (0x6985); the 130 data bytes of the reply are zero, never stale.
    Reply r = Send(Hex("80 40 50 00 82"));
    EXPECT_EQ(r.sw, 0x6985) << std::hex << r.sw;
    EXPECT_EQ(r.data, Bytes(0x82, 0));
}

TEST_F(FrontCard, HighHalfAccessNeedsAllItsBits)
{
    // 0x40 needs PINs 4 and 5 both (0x00300000); 0x80 needs PIN 5 (0x00200000).
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x6982);
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    EXPECT_EQ(SW(Hex("80 40 00 00 32")), 0x6982);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000);
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    EXPECT_NE(SW(Hex("80 40 00 00 32")), 0x6982);
}

TEST_F(FrontCard, DebugReadOf255BytesFitsTheReplyArea)
{
    Reply r = Send(Apdu(0x00, 0x08, 0x04, 0x00, DebugCode(), 0xFF));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, image.Peek(0x400, 255));

    Bytes wrong = DebugCode();
    wrong[15] ^= 1;
    r = Send(Apdu(0x00, 0x08, 0x04, 0x00, wrong, 0xFF));
    EXPECT_EQ(r.sw, 0x6A80);
    EXPECT_TRUE(r.data.empty());
    // SM2 encryption may ask for 255 bytes as well: whatever it answers, the
    // reply stays inside the reply area (Send checks the bytes beyond it).
    r = Send(Cat(Cat(Hex("80 74 40 00 41"), Bytes(0x41, 0)), Hex("FF")));
    EXPECT_LE(r.data.size(), 255u);
    // The reset code does not open the debug read.
    EXPECT_EQ(SW(Apdu(0x00, 0x08, 0, 0, ResetCode(), 0x10)), 0x6A80);
}

// An image that cannot be read answers the flash error, never erased bytes.
TEST_F(FrontCard, DebugReadOfAnUnreadableImageAnswersTheFlashError)
{
    ASSERT_EQ(unlink(image.path().c_str()), 0);
    Reply r = Send(Apdu(0x00, 0x08, 0x04, 0x00, DebugCode(), 0x20));
    EXPECT_EQ(r.sw, 0x6581);
    EXPECT_EQ(r.data, Bytes(r.data.size(), 0)) << "an error word carries no image bytes";
}

TEST_F(FrontCard, RebindingTheSamePathKeepsTheVolatileStateAnotherPathLosesIt)
{
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000) << "same path keeps the verified user PIN";

    TempImage other(-1);
    ASSERT_EQ(CreateVEFlashFile(other.path().c_str()), 0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x6982) << "another image in between drops it";
}

// The device status comes from the image just bound, never from the one
// bound before: an image whose file 0 is too short to read is refused and
// the card takes no command on it (it neither keeps the blocked status of
// the image before nor assumes an unblocked one).
TEST_F(FrontCard, DeviceStatusIsNeverTakenOverFromThePreviousImage)
{
    TempImage damaged(-1);
    ASSERT_EQ(CreateVEFlashFile(damaged.path().c_str()), 0);
    ASSERT_EQ(DeleteCOSFile(0x00), 0);
    _file_info_ e = {};
    e.fid = 0x00;
    e.maxsize = 64;
    ASSERT_EQ(CreateCOSFile(&e), 0);
    const uint8_t half[4] = {0, 0, 0, 0};
    ASSERT_EQ(WriteCOSFile(e, 0, half, sizeof half), 0);

    // This test's image: blocked, with the PIN cache on.
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    sDevInfo.blocked = 1;
    sDevInfo.cacheOn = 1;
    sDevInfo.cacheDays = 30;
    ASSERT_EQ(RWDeviceStatus(1, &sDevInfo), 0);
    ASSERT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81);

    // An image whose status cannot be read is not bound as a card: nothing
    // runs on it, and nothing writes a status into it.
    const Bytes before = damaged.Bytes();
    EXPECT_EQ(SetVEFlashFile(damaged.path().c_str()), 11006);
    EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81);
    EXPECT_EQ(VerifyDefault(2), 0x6A81);
    EXPECT_EQ(AutoVerify(20240101), 0x6A81);
    EXPECT_EQ(damaged.Bytes(), before);

    // And back: the blocked image is blocked again.
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(SW(Hex("00 0A 00 00 10")), 0x6A81);
}

TEST_F(FrontCard, BindingRefusesWhatIsNotAFullRegularImage)
{
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    TempImage shortImage(100);
    TempImage dirOnly(-1);
    std::string link = dirOnly.dir() + "/link.vkd";
    ASSERT_EQ(symlink(image.path().c_str(), link.c_str()), 0);
    std::string sub = dirOnly.dir() + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    std::string longPath(300, 'x');

    const std::string refused[] = {shortImage.path(), link, sub, dirOnly.dir() + "/missing.vkd",
                                   "/tmp/" + longPath};
    for (const std::string& p : refused)
        EXPECT_EQ(SetVEFlashFile(p.c_str()), 11006) << p;
    EXPECT_EQ(SetVEFlashFile(nullptr), 11006);

    // Nothing was bound or reset: the card still uses its image and PIN.
    EXPECT_STREQ(m_vFlashFile, image.path().c_str());
    EXPECT_EQ(SW(Hex("00 80 00 00")), 0x9000);
    EXPECT_EQ(shortImage.Size(), 100);
    rmdir(sub.c_str());
    unlink(link.c_str());
}

TEST_F(FrontCard, CreatingAnImageFormatsABlankCard)
{
    EXPECT_EQ(image.Size(), 0x10000);
    _dev_info_ d = DevInfoOnImage();
    EXPECT_EQ(d.blocked, 0);
    EXPECT_EQ(d.cacheOn, 0);
    EXPECT_EQ(KeyOnImage(KEY_USER_PIN).tries, 5);

    // Creation refuses to truncate through a link.
    TempImage target(0x10000, 0x11);
    std::string link = target.dir() + "/link.vkd";
    ASSERT_EQ(symlink(target.path().c_str(), link.c_str()), 0);
    EXPECT_EQ(CreateVEFlashFile(link.c_str()), 11006);
    EXPECT_EQ(target.Size(), 0x10000);
    EXPECT_EQ(target.Peek(0, 1), Bytes{0x11});
    unlink(link.c_str());
}

}  // namespace
