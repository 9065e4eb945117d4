// File instructions and the file-access table, row by row.
#include "tests/vcard/front_fixture.h"

#include "vcard/filesys.h"

namespace {

const Bytes kKey7 = Hex("7777777777777777AAAAAAAAAAAAAAAA");
const Bytes kKey8 = Hex("8888888888888888BBBBBBBBBBBBBBBB");

constexpr uint16_t B3 = 1 << 3, B4 = 1 << 4, B5 = 1 << 5, B7 = 1 << 7, B8 = 1 << 8;
constexpr uint16_t ALL = B3 | B4 | B5 | B7 | B8;
constexpr int NEVER = -1;
constexpr int FREE = 0;

Bytes CreateData(uint8_t fid, uint16_t size)
{
    return {fid, 0, 0, 0, 0, 0, uint8_t(size), uint8_t(size >> 8)};
}

// Expected rights of one file id; masks are "any of these bits".
struct Rights {
    uint8_t fid;
    bool selectable;
    int create, read, update, erase;
};

const Rights kRights[] = {
    {0x00, false, NEVER, NEVER, NEVER, NEVER}, {0x01, false, NEVER, NEVER, NEVER, NEVER},
    {0x02, false, NEVER, NEVER, NEVER, NEVER}, {0x03, false, NEVER, NEVER, NEVER, NEVER},
    {0x04, false, NEVER, NEVER, NEVER, NEVER}, {0x10, false, NEVER, NEVER, NEVER, NEVER},
    {0x1F, false, NEVER, NEVER, NEVER, NEVER}, {0x21, false, NEVER, NEVER, NEVER, NEVER},
    {0x30, true, B4, B4 | B5, B4, B4},         {0x3F, true, B4, B4 | B5, B4, B4},
    {0x50, true, B4, FREE, B4, B4},            {0x5F, true, B4, FREE, B4, B4},
    {0x40, true, B3, NEVER, B3, NEVER},        {0x42, true, B4, B5, B4, B4},
    {0x80, true, B4, B5, B4, B4},              {0xBF, true, B4, B5, B4, B4},
    {0xC0, true, B8, B7, B8, B8},              {0xFE, true, B8, B7, B8, B8},
    // Ids that no row covers.
    {0x05, false, NEVER, NEVER, NEVER, NEVER}, {0x0F, false, NEVER, NEVER, NEVER, NEVER},
    {0x20, false, NEVER, NEVER, NEVER, NEVER}, {0x22, false, NEVER, NEVER, NEVER, NEVER},
    {0x2F, false, NEVER, NEVER, NEVER, NEVER}, {0x41, false, NEVER, NEVER, NEVER, NEVER},
    {0x43, false, NEVER, NEVER, NEVER, NEVER}, {0x4F, false, NEVER, NEVER, NEVER, NEVER},
    {0x60, false, NEVER, NEVER, NEVER, NEVER}, {0x7F, false, NEVER, NEVER, NEVER, NEVER},
};

class FrontFiles : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        Install(7, 4, 7, kKey7);
        Install(8, 4, 8, kKey8);
    }
    // Resets the volatile state, then sets exactly the security bits of mask.
    void Grant(uint16_t mask)
    {
        ASSERT_EQ(SW(Hex("00 06 00 00 10")), 0x9000);
        if (mask & B3) {
            ASSERT_EQ(VerifyDefault(0), 0x9000);
        }
        if (mask & B4) {
            ASSERT_EQ(VerifyDefault(1), 0x9000);
        }
        if (mask & B5) {
            ASSERT_EQ(VerifyDefault(2), 0x9000);
        }
        if (mask & B7) {
            ASSERT_EQ(ExternalAuth(1, kKey7), 0x9000);
        }
        if (mask & B8) {
            ASSERT_EQ(ExternalAuth(2, kKey8), 0x9000);
        }
        ASSERT_EQ(sSecStatus, mask);
    }
    uint16_t Select(uint8_t fid) { return SW(Apdu(0x00, 0xA4, fid, 0, {}, 2)); }
    uint16_t Create(uint8_t fid, uint16_t size = 64)
    {
        return SW(Apdu(0x80, 0xE0, 0, 0, CreateData(fid, size)));
    }
    uint16_t Update(uint16_t off, const Bytes& d)
    {
        return SW(Apdu(0x00, 0xD6, uint8_t(off >> 8), uint8_t(off), d));
    }
    Reply Read(uint16_t off, uint8_t le) { return Send(Apdu(0x00, 0xB0, uint8_t(off >> 8), uint8_t(off), {}, le)); }
    uint16_t Delete(uint8_t fid) { return SW(Apdu(0x00, 0xE4, fid, 0)); }
};

// One right: refused with every other bit, granted with its own bits.
// run(mask) performs the operation after Grant(mask) and returns its word.
template <typename Run>
void CheckRight(const char* op, uint8_t fid, int need, uint16_t refusal, uint16_t success, Run run)
{
    SCOPED_TRACE(std::string(op) + " of file " + std::to_string(fid));
    if (need == NEVER) {
        EXPECT_EQ(run(ALL), refusal);
        return;
    }
    if (need != FREE) {
        EXPECT_EQ(run(uint16_t(ALL & ~need)), refusal);
    }
    for (uint16_t bit : {B3, B4, B5, B7, B8}) {
        if (need & bit) {
            EXPECT_EQ(run(bit), success) << "bit " << bit;
        }
    }
    if (need == FREE) {
        EXPECT_EQ(run(0), success);
    }
}

TEST_F(FrontFiles, EveryRowOfTheAccessTable)
{
    for (const Rights& r : kRights) {
        SCOPED_TRACE(r.fid);
        if (!r.selectable) {
            Grant(ALL);
            EXPECT_EQ(Select(r.fid), 0x6985);
            EXPECT_EQ(Create(r.fid), 0x6982);
            EXPECT_EQ(Delete(r.fid), 0x6985);
            continue;
        }
        Grant(ALL);
        EXPECT_EQ(Select(r.fid), 0x6A82);
        // Create succeeds once per granting bit: delete it again in between
        // directly on the file system.
        CheckRight("create", r.fid, r.create, 0x6982, 0x9000, [&](uint16_t m) {
            DeleteCOSFile(r.fid);
            Grant(m);
            return Create(r.fid);
        });
        CheckRight("update", r.fid, r.update, 0x6982, 0x9000, [&](uint16_t m) {
            DeleteCOSFile(r.fid);
            _file_info_ fi = {r.fid, 0, 0, 0, 64};
            CreateCOSFile(&fi);
            Grant(m);
            EXPECT_EQ(Select(r.fid), 0x9000);
            return Update(0, Hex("01020304"));
        });
        CheckRight("read", r.fid, r.read, 0x6982, 0x9000, [&](uint16_t m) {
            Grant(m);
            EXPECT_EQ(Select(r.fid), 0x9000);
            return Read(0, 4).sw;
        });
        CheckRight("delete", r.fid, r.erase, 0x6985, 0x9000, [&](uint16_t m) {
            _file_info_ fi = {r.fid, 0, 0, 0, 64};
            CreateCOSFile(&fi);
            Grant(m);
            return Delete(r.fid);
        });
    }
    // The system files are still there.
    _file_info_ fi;
    EXPECT_EQ(SelectFile(0x00, &fi), 0);
    EXPECT_EQ(SelectFile(0x01, &fi), 0);
}

TEST_F(FrontFiles, SelectReadAndUpdate)
{
    Grant(B4 | B5);
    EXPECT_EQ(Select(0x01), 0x6985) << "the key file is never selected";
    EXPECT_EQ(Select(0x31), 0x6A82);
    EXPECT_EQ(Read(0, 1).sw, 0x6985) << "a failed select leaves no current file";

    ASSERT_EQ(Create(0x81, 300), 0x9000);
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 1);
    // The created file is current; two updates continue its sector chain.
    ASSERT_EQ(Update(0, Bytes(data.begin(), data.begin() + 128)), 0x9000);
    ASSERT_EQ(Update(128, Bytes(data.begin() + 128, data.end())), 0x9000);
    Reply sel = Send(Apdu(0x00, 0xA4, 0x81, 0, {}, 2));
    ASSERT_EQ(sel.sw, 0x9000);
    EXPECT_EQ(sel.data, Hex("01 00"));
    Reply a = Read(0, 255), b = Read(255, 1);
    ASSERT_EQ(a.sw, 0x9000);
    ASSERT_EQ(b.sw, 0x9000);
    EXPECT_EQ(Cat(a.data, b.data), data);

    struct {
        uint16_t off;
        uint8_t le;
        uint16_t sw;
    } reads[] = {
        {250, 16, 0x6C06},   // 6 bytes left
        {256, 1, 0x6B00},    // at the used length
        {0x1000, 1, 0x6B00},
    };
    for (auto& r : reads)
        EXPECT_EQ(Read(r.off, r.le).sw, r.sw) << r.off;

    // Updates are bounded by the maximum size.
    EXPECT_EQ(Update(301, Hex("00")), 0x6B00);
    EXPECT_EQ(Update(299, Hex("0000")), 0x6A88);
    EXPECT_EQ(Update(299, Hex("EE")), 0x9000);
    EXPECT_EQ(Read(298, 2).data, Hex("00 EE")) << "the gap is zero-filled";
}

TEST_F(FrontFiles, ShortFileReadAnswersTheBytesLeft)
{
    Grant(B4 | B5);
    ASSERT_EQ(Create(0x82), 0x9000);
    ASSERT_EQ(Update(0, Bytes(20, 0x42)), 0x9000);
    EXPECT_EQ(Read(8, 16).sw, 0x6C0C);
    EXPECT_EQ(Read(20, 1).sw, 0x6B00);
    EXPECT_EQ(Read(8, 12).data, Bytes(12, 0x42));
}

TEST_F(FrontFiles, CreateRefusesTooLargeAndExistingFiles)
{
    Grant(B4);
    EXPECT_EQ(Create(0x81, 4097), 0x6A88);
    EXPECT_EQ(Create(0x81, 4096), 0x9000);
    EXPECT_EQ(Create(0x81, 64), 0x6A87);
}

TEST_F(FrontFiles, IdentityRecordIsWrittenOnce)
{
    Grant(B3);
    ASSERT_EQ(Create(0x40, 128), 0x9000);
    EXPECT_EQ(Update(0, Bytes(60, 0x11)), 0x9000);
    EXPECT_EQ(Update(60, Bytes(4, 0x22)), 0x6985);
    EXPECT_EQ(Update(0, Bytes(60, 0x33)), 0x6985);
    Grant(B3);
    EXPECT_EQ(Select(0x40), 0x9000);
    EXPECT_EQ(Update(0, Bytes(1, 0x44)), 0x6985) << "also after a new selection";
    _file_info_ fi;
    ASSERT_EQ(SelectFile(0x40, &fi), 0);
    EXPECT_EQ(fi.used, 60);
}

TEST_F(FrontFiles, DeletingTheCurrentFileLeavesNoneCurrent)
{
    Grant(B4 | B5);
    ASSERT_EQ(Create(0x81), 0x9000);
    ASSERT_EQ(Update(0, Bytes(64, 0x55)), 0x9000);
    ASSERT_EQ(Delete(0x81), 0x9000);
    // Another file takes the freed sector.
    ASSERT_EQ(Create(0x82), 0x9000);
    ASSERT_EQ(Update(0, Bytes(64, 0x66)), 0x9000);
    ASSERT_EQ(Select(0x81), 0x6A82);
    ASSERT_EQ(Create(0x83), 0x9000);
    ASSERT_EQ(Delete(0x83), 0x9000);
    EXPECT_EQ(Read(0, 1).sw, 0x6985);
    EXPECT_EQ(Update(0, Hex("77")), 0x6985);
    ASSERT_EQ(Select(0x82), 0x9000);
    EXPECT_EQ(Read(0, 64).data, Bytes(64, 0x66)) << "the other file is untouched";
    // Deleting another file keeps the current one.
    ASSERT_EQ(Create(0x84), 0x9000);
    ASSERT_EQ(Select(0x82), 0x9000);
    ASSERT_EQ(Delete(0x84), 0x9000);
    EXPECT_EQ(Read(0, 1).sw, 0x9000);
}

TEST_F(FrontFiles, ReadAndUpdateSeeTheEntryAsItStandsNow)
{
    Grant(B4 | B5);
    ASSERT_EQ(Create(0x81), 0x9000);
    // The file grows behind the current-file record.
    _file_info_ fi;
    ASSERT_EQ(SelectFile(0x81, &fi), 0);
    ASSERT_EQ(WriteCOSFile(fi, 0, Bytes(10, 0x5A).data(), 10), 0);
    Reply r = Read(0, 10);
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Bytes(10, 0x5A));
    // The file vanishes behind it.
    ASSERT_EQ(DeleteCOSFile(0x81), 0);
    EXPECT_EQ(Update(0, Hex("01")), 0x6985);
    EXPECT_EQ(Read(0, 1).sw, 0x6985);
}

}  // namespace
