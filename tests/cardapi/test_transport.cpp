// Device binding, frame serialisation, the virtual driver and the mapping of
// card status words.
#include <climits>

#include "cardapi_fixture.h"

namespace {

_apdu_frame_ make_frame(uint8_t lc, uint8_t le)
{
    _apdu_frame_ f;
    memset(static_cast<void*>(&f), 0, sizeof f);
    f.CLA = 0x80;
    f.INS = 0x12;
    f.P1 = 0x34;
    f.P2 = 0x56;
    f.Lc = lc;
    for (unsigned i = 0; i < sizeof f.data; ++i) f.data[i] = static_cast<uint8_t>(i + 1);
    f.Le = le;
    return f;
}

}  // namespace

TEST(FrameSerialise, LengthsAndLayout)
{
    struct row {
        uint8_t lc, le;
        unsigned len;  // 0: refused
    };
    const row rows[] = {
        {0, 0, 4},     {0, 0x10, 5},  {4, 0, 9},      {4, 0x10, 10},   {1, 0, 6},
        {250, 1, 256}, {251, 0, 256}, {251, 1, 0},    {250, 255, 256}, {255, 0, 0},
        {255, 255, 0}, {0, 255, 5},   {252, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "Lc " << int(r.lc) << " Le " << int(r.le));
        _apdu_frame_ f = make_frame(r.lc, r.le);
        uint8_t cmd[VDEV_CMD_MAX + 8];
        memset(cmd, 0xEE, sizeof cmd);
        unsigned n = VDev_Serialise(&f, cmd);
        ASSERT_EQ(r.len, n);
        // Nothing past the command buffer, refused or not.
        for (unsigned i = VDEV_CMD_MAX; i < sizeof cmd; ++i) ASSERT_EQ(0xEE, cmd[i]);
        if (n == 0) continue;
        EXPECT_EQ(bytes({0x80, 0x12, 0x34, 0x56}), bytes(cmd, cmd + 4));
        unsigned pos = 4;
        if (r.lc) {
            EXPECT_EQ(r.lc, cmd[pos++]);
            EXPECT_EQ(bytes(f.data, f.data + r.lc), bytes(cmd + pos, cmd + pos + r.lc));
            pos += r.lc;
        }
        if (r.le) {
            EXPECT_EQ(r.le, cmd[pos]);
            ++pos;
        }
        EXPECT_EQ(n, pos);
    }
}

TEST(StatusWords, EveryTableRow)
{
    const std::pair<uint32_t, uint32_t> rows[] = {
        {0x9000, 0},    {0x6E00, 1001}, {0x6D00, 1002}, {0x6581, 1004}, {0x6A84, 1006}, {0x6A86, 1007},
        {0x6A81, 1008}, {0x6985, 1009}, {0x6A80, 1011}, {0x6982, 1012}, {0x6988, 1015}, {0x6700, 1016},
        {0x6984, 1017}, {0x6987, 1020}, {0x698A, 1021}, {0x6A02, 1023}, {0x6983, 3004}, {0x6A82, 4001},
        {0x6A87, 4002}, {0x6981, 4003}, {0x6989, 4007}, {0x6A88, 4008}, {0x6A83, 4011}, {0x6A85, 4013},
        {0x6A89, 4014}, {0x6A03, 5004}, {0x6A8A, 5007}, {0x9302, 5009}, {0x9304, 5010},
    };
    for (const auto& r : rows) EXPECT_EQ(r.second, COS_GetErrCode(r.first)) << std::hex << r.first;
}

TEST(StatusWords, UnlistedWordsPassUnchanged)
{
    // Wrong PIN with n tries, wrong Le, offset outside the file, sector
    // chain error, and the card reset's 0x0000 (which reads as success).
    for (uint32_t sw : {0x63C0u, 0x63C3u, 0x63CFu, 0x6C04u, 0x6C33u, 0x6B00u, 0x6A8Bu, 0x0000u, 0x9001u, 0x6100u})
        EXPECT_EQ(sw, COS_GetErrCode(sw)) << std::hex << sw;
}

TEST(DeviceLifecycle, NothingOpen)
{
    ASSERT_EQ(-1, m_iType);
    EXPECT_EQ(2003u, DEV_Close());
    _apdu_frame_ f = make_frame(0, 0);
    EXPECT_EQ(2003u, COS_Transfer(&f));
    EXPECT_EQ(0, g_vDev);
    EXPECT_EQ(2003u, VDev_Transfer(&f));
    EXPECT_EQ(2003u, DisconnectVDev());
    // A card command needs an open device once its arguments pass.
    EXPECT_EQ(2003u, COS_DeleteFile(0x81));
}

TEST(DeviceLifecycle, RefusedOpensLeaveItClosed)
{
    TempDir dir;
    std::string image = dir.file("card.vkd");
    ASSERT_EQ(0, CreateVEFlashFile(image.c_str()));

    EXPECT_EQ(2007u, DEV_Open(1, image.c_str()));
    EXPECT_EQ(2007u, DEV_Open(0, image.c_str()));
    EXPECT_EQ(-1, m_iType);
    EXPECT_EQ(0, g_vDev);

    EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, dir.file("missing.vkd").c_str()));
    EXPECT_EQ(-1, m_iType);
    EXPECT_EQ(0, g_vDev);
    EXPECT_EQ(11006u, ConnectVDev(dir.file("missing.vkd").c_str()));
}

TEST(DeviceLifecycle, PathOf256CharactersIsRefused)
{
    TempDir dir;
    // A path of exactly 255 characters works; one more is refused before it
    // is copied anywhere.
    std::string base = dir.path() + "/";
    std::string p255 = base + std::string(255 - base.size(), 'a');
    ASSERT_EQ(255u, p255.size());
    ASSERT_EQ(0, CreateVEFlashFile(p255.c_str()));
    EXPECT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, p255.c_str()));
    EXPECT_EQ(0u, DEV_Close());

    std::string p256 = base + std::string(256 - base.size(), 'b');
    std::string p300 = base + std::string(300 - base.size(), 'c');
    for (const std::string& p : {p256, p300}) {
        EXPECT_EQ(11006u, VDEV_SetDataFile(p.c_str()));
        EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, p.c_str()));
        EXPECT_EQ(11006u, ConnectVDev(p.c_str()));
        EXPECT_EQ(-1, m_iType);
        EXPECT_EQ(0, g_vDev);
    }
}

TEST(DeviceLifecycle, NullPathBindsDefaultImageInWorkingDirectory)
{
    TempDir dir;
    // Back to the starting folder on every exit, a failed assertion's included.
    struct Back {
        char old[PATH_MAX] = {};
        ~Back()
        {
            if (old[0] != '\0') {
                EXPECT_EQ(0, chdir(old));
            }
        }
    } back;
    ASSERT_NE(nullptr, getcwd(back.old, sizeof back.old));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, nullptr));
    ASSERT_EQ(0, CreateVEFlashFile("dazi.vkd"));
    EXPECT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, nullptr));
    EXPECT_EQ(DEV_TYPE_VIRTUAL, m_iType);
    char sn[32];
    uint32_t len = sizeof sn;
    EXPECT_EQ(0u, COS_GetSn(sn, &len));
    EXPECT_EQ(0u, DEV_Close());
}

TEST_F(CardTest, OpenAndCloseStates)
{
    EXPECT_EQ(DEV_TYPE_VIRTUAL, m_iType);
    EXPECT_EQ(1, g_vDev);
    EXPECT_EQ(0u, DEV_Close());
    EXPECT_EQ(-1, m_iType);
    EXPECT_EQ(0, g_vDev);
    EXPECT_EQ(2003u, DEV_Close());
}

TEST_F(CardTest, ReopeningTheSameImageKeepsCardState)
{
    // Switching the PIN cache off needs the verified user PIN.
    EXPECT_EQ(1012u, COS_SetCachePin(0, 0));
    verify(2);
    EXPECT_EQ(0u, COS_SetCachePin(0, 0));

    ASSERT_EQ(0u, DEV_Close());
    EXPECT_EQ(2003u, COS_SetCachePin(0, 0));
    ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, image.c_str()));
    EXPECT_EQ(0u, COS_SetCachePin(0, 0));
    // A second open while open rebinds; the same path keeps the state too.
    ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, image.c_str()));
    EXPECT_EQ(0u, COS_SetCachePin(0, 0));
}

TEST_F(CardTest, AnotherImageLosesCardState)
{
    std::string other = dir.file("other.vkd");
    ASSERT_EQ(0, CreateVEFlashFile(other.c_str()));
    ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, image.c_str()));
    verify(2);
    ASSERT_EQ(0u, COS_SetCachePin(0, 0));

    ASSERT_EQ(0u, DEV_Close());
    ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, other.c_str()));
    EXPECT_EQ(1012u, COS_SetCachePin(0, 0));
    ASSERT_EQ(0u, DEV_Open(DEV_TYPE_VIRTUAL, image.c_str()));
    EXPECT_EQ(1012u, COS_SetCachePin(0, 0));
}

TEST_F(CardTest, FailedOpenKeepsTheBoundDevice)
{
    verify(2);
    EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, dir.file("missing.vkd").c_str()));
    EXPECT_EQ(DEV_TYPE_VIRTUAL, m_iType);
    EXPECT_EQ(0u, COS_SetCachePin(0, 0));
}

TEST_F(CardTest, ImageTheCardRefusesIsNotReportedAsBound)
{
    // Readable files that are no key device image: too short, or a link.
    verify(2);
    std::string small = dir.file("small.vkd");
    FILE* f = fopen(small.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("not an image", f);
    fclose(f);
    std::string link = dir.file("link.vkd");
    ASSERT_EQ(0, symlink(image.c_str(), link.c_str()));
    for (const std::string& p : {small, link}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, p.c_str()));
        EXPECT_EQ(11006u, VDEV_SetDataFile(p.c_str()));
        // Still the first card, with its verified PIN.
        EXPECT_EQ(0u, COS_SetCachePin(0, 0));
    }
    ASSERT_EQ(0u, DEV_Close());
    EXPECT_EQ(11006u, DEV_Open(DEV_TYPE_VIRTUAL, small.c_str()));
    EXPECT_EQ(-1, m_iType);
    EXPECT_EQ(0, g_vDev);
}

TEST_F(CardTest, BuildersSendTheShortestForm)
{
    // Lc 0 / Le 0: header only; Lc 0 / Le 16: header and Le; Lc 4 / Le 0:
    // header, Lc and four data bytes.
    COS_DeleteFile(0x81);
    char sn[64];
    uint32_t snLen = sizeof sn;
    COS_GetSn(sn, &snLen);
    COS_AutoVerify();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(bytes({0x00, 0xE4, 0x81, 0x00}), log[0].cmd);
    EXPECT_EQ(bytes({0x00, 0x0A, 0x00, 0x00, 0x10}), log[1].cmd);
    ASSERT_EQ(9u, log[2].cmd.size());
    EXPECT_EQ(bytes({0x00, 0x21, 0x00, 0x00, 0x04}), bytes(log[2].cmd.begin(), log[2].cmd.begin() + 5));
}

TEST_F(CardTest, OversizedFrameIsRefusedBeforeSending)
{
    _apdu_frame_ f;
    bytes data251(251, 0x5A);
    EXPECT_EQ(11001u, raw(f, 0x00, 0xD6, 0x00, 0x00, data251, 1));
    // The frame is left as the caller filled it.
    EXPECT_EQ(1, f.Le);
    EXPECT_EQ(251, f.Lc);
    EXPECT_EQ(0x5A, f.data[250]);
    bytes data255(255, 0x5A);
    EXPECT_EQ(11001u, raw(f, 0x00, 0xD6, 0x00, 0x00, data255, 0));
    EXPECT_TRUE(log.empty());

    // 251 data bytes without an Le, and 250 with one, still fit.
    raw(f, 0x00, 0xD6, 0x00, 0x00, data251, 0);
    raw(f, 0x00, 0xD6, 0x00, 0x00, bytes(250, 0x5A), 1);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(256u, log[0].cmd.size());
    EXPECT_EQ(256u, log[1].cmd.size());
}

TEST_F(CardTest, ReplyFillsTheFrame)
{
    _apdu_frame_ f;
    memset(static_cast<void*>(&f), 0xEE, sizeof f);
    f.CLA = 0x00;
    f.INS = 0x0A;
    f.P1 = 0;
    f.P2 = 0;
    f.Lc = 0;
    f.Le = 0x10;
    ASSERT_EQ(0u, COS_Transfer(&f));
    EXPECT_EQ(12, f.Le);
    EXPECT_EQ(bytes(12, '1'), bytes(f.data, f.data + 12));
    EXPECT_EQ(bytes(256 - 12, 0), bytes(f.data + 12, f.data + 256));
    EXPECT_EQ(0x00, f.CLA);
    EXPECT_EQ(0x0A, f.INS);
    EXPECT_EQ(0, f.Lc);
}

TEST_F(CardTest, UnmappedStatusWordsArriveRaw)
{
    _apdu_frame_ f;
    // A wrong user PIN: 0x63C4 with no data.
    bytes pin = {'0', '0', '0', '0', '0', '0', '0', '0'};
    EXPECT_EQ(0x63C4u, raw(f, 0x00, 0x20, 0x00, 0x03, pin, 0));
    EXPECT_EQ(0, f.Le);
    // Le outside the challenge's bounds: 0x6C04 names the length to ask for.
    EXPECT_EQ(0x6C04u, raw(f, 0x00, 0x84, 0x00, 0x00, {}, 3));
    // A mapped refusal: unknown class.
    EXPECT_EQ(1001u, raw(f, 0x10, 0x84, 0x00, 0x00, {}, 8));
    // A valid class with an instruction it does not have.
    EXPECT_EQ(1002u, raw(f, 0x00, 0x24, 0x00, 0x00, {}, 0));
}
