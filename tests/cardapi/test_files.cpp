// File commands and the key-slot record sequences built on them.
#include <functional>

#include "cardapi_fixture.h"

namespace {

// The instruction bytes of the recorded exchanges.
bytes instructions(const std::vector<exchange>& log)
{
    bytes ins;
    for (const exchange& e : log) ins.push_back(e.cmd[1]);
    return ins;
}

}  // namespace

class FileTest : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        if (HasFatalFailure()) return;
        // Create and update need PIN type 1, reading the free files the
        // user PIN.
        verify(1);
        verify(2);
    }
};

TEST_F(FileTest, CreateWriteSelectRead)
{
    ASSERT_EQ(0u, COS_CreateFile(0x81, 4096));
    EXPECT_EQ(bytes({0x80, 0xE0, 0x81, 0x00, 8, 0x81, 0, 0, 0, 0, 0, 0x00, 0x10}), log.back().cmd);
    uint16_t len = 0xFFFF;
    ASSERT_EQ(0u, COS_SelectFile(0x81, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(bytes({0x00, 0xA4, 0x81, 0x00, 2}), log.back().cmd);

    // 300 bytes travel as 128, 128 and 44 at offsets 0, 0x80 and 0x100.
    const bytes data = pattern(300, 3);
    log.clear();
    ASSERT_EQ(0u, COS_WriteFile(data.data(), 300));
    ASSERT_EQ(3u, log.size());
    const uint8_t offs[3][2] = {{0x00, 0x00}, {0x00, 0x80}, {0x01, 0x00}};
    const size_t sizes[3] = {128, 128, 44};
    for (int i = 0; i < 3; ++i) {
        const bytes& c = log[i].cmd;
        EXPECT_EQ(bytes({0x00, 0xD6, offs[i][0], offs[i][1], static_cast<uint8_t>(sizes[i])}),
                  bytes(c.begin(), c.begin() + 5));
        EXPECT_EQ(bytes(data.begin() + 128 * i, data.begin() + 128 * i + sizes[i]), bytes(c.begin() + 5, c.end()));
    }

    ASSERT_EQ(0u, COS_SelectFile(0x81, &len));
    EXPECT_EQ(300u, len);
    uint8_t out[400];
    memset(out, 0xEE, sizeof out);
    log.clear();
    ASSERT_EQ(0u, COS_ReadFile(out, &len));
    EXPECT_EQ(300u, len);
    EXPECT_EQ(data, bytes(out, out + 300));
    EXPECT_EQ(bytes(100, 0xEE), bytes(out + 300, out + 400));
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(bytes({0x00, 0xB0, 0x01, 0x00, 44}), log[2].cmd);

    // Nothing to read or write sends nothing.
    log.clear();
    uint16_t zero = 0;
    EXPECT_EQ(0u, COS_ReadFile(out, &zero));
    EXPECT_EQ(0u, COS_WriteFile(data.data(), 0));
    EXPECT_TRUE(log.empty());
}

TEST_F(FileTest, WholeFileOf4096Bytes)
{
    ASSERT_EQ(0u, COS_CreateFile(0x82, 4096));
    const bytes data = pattern(4096, 11);
    ASSERT_EQ(0u, COS_WriteFile(data.data(), 4096));
    uint16_t len = 0;
    ASSERT_EQ(0u, COS_SelectFile(0x82, &len));
    ASSERT_EQ(4096u, len);
    bytes out(4096);
    ASSERT_EQ(0u, COS_ReadFile(out.data(), &len));
    EXPECT_EQ(data, out);
}

TEST_F(FileTest, ChunkedTransfersStopAtTheFirstRefusal)
{
    ASSERT_EQ(0u, COS_CreateFile(0x83, 256));
    const bytes data = pattern(1000, 5);
    log.clear();
    // The card takes the chunks up to the file's size and refuses the next:
    // the chunk at 0x100 would end beyond the file (0x6A88).
    uint32_t st = COS_WriteFile(data.data(), 1000);
    EXPECT_EQ(4008u, st);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(0x9000, log[0].sw());
    EXPECT_EQ(0x9000, log[1].sw());
    EXPECT_EQ(st, COS_GetErrCode(log.back().sw()));
    for (size_t i = 0; i < log.size(); ++i) {
        uint32_t off = static_cast<uint32_t>(log[i].cmd[2] << 8 | log[i].cmd[3]);
        EXPECT_EQ(128 * i, off);
    }

    // Reading beyond the used length: the bytes before stay in the buffer.
    uint16_t len = 0;
    ASSERT_EQ(0u, COS_SelectFile(0x83, &len));
    ASSERT_EQ(256u, len);
    uint16_t want = 600;
    bytes out(600, 0xEE);
    EXPECT_EQ(0x6B00u, COS_ReadFile(out.data(), &want));
    EXPECT_EQ(600u, want);
    EXPECT_EQ(bytes(data.begin(), data.begin() + 256), bytes(out.begin(), out.begin() + 256));
}

namespace {

// Passes every command to the software card, except the update at one
// offset, which it answers with a failed flash access (0x6581).
struct FailingUpdate {
    uint32_t offset = 0;

    static int32_t answer(void* ctx, const uint8_t* cmd, uint32_t len, uint8_t* reply, uint32_t* replyLen)
    {
        auto* self = static_cast<FailingUpdate*>(ctx);
        if (len >= 4 && cmd[1] == 0xD6 && static_cast<uint32_t>(cmd[2] << 8 | cmd[3]) == self->offset) {
            reply[0] = 0x65;
            reply[1] = 0x81;
            *replyLen = 2;
            return 0;
        }
        return DAZI_IO(cmd, len, reply, replyLen);
    }
};

}  // namespace

// A write that fails at one chunk keeps the chunks before it, and the file's
// used length shows how far it got; nothing behind the failed chunk is there.
TEST_F(FileTest, WriteFailingInTheMiddleKeepsTheChunksBefore)
{
    const bytes old = pattern(100, 8);
    const bytes data = pattern(600, 4);
    FailingUpdate card;
    for (uint32_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        if (k) {
            ASSERT_EQ(0u, COS_DeleteFile(0x86));
        }
        ASSERT_EQ(0u, COS_CreateFile(0x86, 4096));
        ASSERT_EQ(0u, COS_WriteFile(old.data(), 100));
        card.offset = 128 * k;
        VDev_SetCard(&FailingUpdate::answer, &card);
        log.clear();
        const uint32_t st = COS_WriteFile(data.data(), 600);
        VDev_SetCard(nullptr, nullptr);
        EXPECT_EQ(1004u, st);
        ASSERT_EQ(k + 1, log.size()) << "nothing is sent after the failed chunk";

        uint16_t len = 0;
        ASSERT_EQ(0u, COS_SelectFile(0x86, &len));
        const uint16_t reached = static_cast<uint16_t>(k == 0 ? 100 : 128 * k);
        ASSERT_EQ(reached, len);
        bytes out(len);
        ASSERT_EQ(0u, COS_ReadFile(out.data(), &len));
        bytes want = k == 0 ? old : bytes(data.begin(), data.begin() + reached);
        EXPECT_EQ(want, out);
    }
}

// Whether a file has room is asked without writing: the answer follows the
// file's size for sizes around every step of the question, and the file's
// used length and bytes stay as they were.
TEST_F(FileTest, RoomIsAskedWithoutWriting)
{
    const bytes old = pattern(40, 6);
    for (uint16_t size : {1, 40, 64, 128, 255, 256, 3594, 3595, 3596, 3845, 3846, 3847, 4095, 4096}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(0u, COS_CreateFile(0x87, size));
        const uint16_t used = size < old.size() ? size : static_cast<uint16_t>(old.size());
        ASSERT_EQ(0u, COS_WriteFile(old.data(), used));
        for (int d : {-2, -1, 0, 1, 2, 300}) {
            const int n = size + d;
            if (n < 1 || n > 4096) continue;
            SCOPED_TRACE(n);
            log.clear();
            EXPECT_EQ(n <= size ? 0u : 4008u, COS_FileHasRoom(static_cast<uint16_t>(n)));
            ASSERT_FALSE(log.empty());
            for (const exchange& e : log) {
                EXPECT_EQ(0xD6, e.cmd[1]);
                EXPECT_NE(0x9000, e.sw()) << "an update was taken";
            }
            uint16_t len = 0;
            ASSERT_EQ(0u, COS_SelectFile(0x87, &len));
            ASSERT_EQ(used, len);
            bytes out(len);
            ASSERT_EQ(0u, COS_ReadFile(out.data(), &len));
            EXPECT_EQ(bytes(old.begin(), old.begin() + used), out);
        }
        // The room that was reported is there.
        const bytes whole = pattern(size, 2);
        ASSERT_EQ(0u, COS_WriteFile(whole.data(), size));
        ASSERT_EQ(0u, COS_DeleteFile(0x87));
    }

    // Nothing to ask: no command; more than any file holds: 4008 unasked.
    ASSERT_EQ(0u, COS_CreateFile(0x87, 64));
    log.clear();
    EXPECT_EQ(0u, COS_FileHasRoom(0));
    EXPECT_EQ(4008u, COS_FileHasRoom(4097));
    EXPECT_EQ(4008u, COS_FileHasRoom(65535));
    EXPECT_TRUE(log.empty());
    // A question that fails is reported, not taken for room or for none.
    FailingUpdate card;
    card.offset = 4096 + 1 - 251;  // the first question's offset
    VDev_SetCard(&FailingUpdate::answer, &card);
    EXPECT_EQ(1004u, COS_FileHasRoom(10));
    VDev_SetCard(nullptr, nullptr);
    // No current file: the card's refusal of the update.
    EXPECT_EQ(4001u, COS_SelectFile(0x88, nullptr));
    EXPECT_EQ(1009u, COS_FileHasRoom(10));
}

TEST_F(FileTest, SelectAndDeleteRefusals)
{
    uint16_t len = 0x1234;
    EXPECT_EQ(4001u, COS_SelectFile(0x84, &len));
    EXPECT_EQ(0x1234u, len);
    EXPECT_EQ(4001u, COS_SelectFile(0x84, nullptr));
    EXPECT_EQ(1009u, COS_SelectFile(0x01, &len));
    // No current file after the failed select.
    uint8_t out[8];
    uint16_t eight = 8;
    EXPECT_EQ(1009u, COS_ReadFile(out, &eight));

    ASSERT_EQ(0u, COS_CreateFile(0x84, 64));
    EXPECT_EQ(4002u, COS_CreateFile(0x84, 64));
    ASSERT_EQ(0u, COS_DeleteFile(0x84));
    EXPECT_EQ(bytes({0x00, 0xE4, 0x84, 0x00}), log.back().cmd);
    EXPECT_EQ(4001u, COS_SelectFile(0x84, &len));
}

TEST_F(FileTest, SlotRecordsReplaceAndReadBack)
{
    struct family {
        const char* name;
        uint8_t file;
        unsigned size;
        std::function<uint32_t(uint8_t, const uint8_t*, unsigned)> write;
    };
    const family families[] = {
        {"public record", 0x30, 128,
         [](uint8_t k, const uint8_t* d, unsigned n) { return COS_WritePubKey(k, d, static_cast<uint16_t>(n)); }},
        {"key id record", 0x50, 64,
         [](uint8_t k, const uint8_t* d, unsigned n) { return COS_WriteKeyId(k, d, static_cast<uint8_t>(n)); }},
    };
    for (const family& fam : families) {
        SCOPED_TRACE(fam.name);
        const uint8_t k = 3;
        const uint8_t id = static_cast<uint8_t>(fam.file + k);
        const bytes first = pattern(fam.size, 1);
        const bytes second = pattern(fam.size / 2, 9);

        // On an empty slot: select (not found), create, write; no delete.
        log.clear();
        ASSERT_EQ(0u, fam.write(k, first.data(), fam.size));
        EXPECT_EQ(bytes({0xA4, 0xE0, 0xD6}), instructions(log));
        EXPECT_EQ(id, log[1].cmd[5]);
        EXPECT_EQ(fam.size, static_cast<unsigned>(log[1].cmd[11] | log[1].cmd[12] << 8));

        // Over an existing one: the old file is deleted first.
        log.clear();
        ASSERT_EQ(0u, fam.write(k, second.data(), static_cast<unsigned>(second.size())));
        EXPECT_EQ(bytes({0xA4, 0xE4, 0xE0, 0xD6}), instructions(log));

        // A record too big for the file is refused before anything changes.
        const bytes big = pattern(fam.size + 1, 4);
        log.clear();
        EXPECT_EQ(11001u, fam.write(k, big.data(), fam.size + 1));
        EXPECT_TRUE(log.empty());
        uint16_t len = 0;
        ASSERT_EQ(0u, COS_SelectFile(id, &len));
        ASSERT_EQ(second.size(), len);
        bytes out(len);
        ASSERT_EQ(0u, COS_ReadFile(out.data(), &len));
        EXPECT_EQ(second, out);
    }
}

TEST_F(FileTest, ReadPubKeyCapacity)
{
    const bytes record = pattern(100, 2);
    ASSERT_EQ(0u, COS_WritePubKey(0, record.data(), 100));
    uint8_t out[128];
    uint16_t len = 99;
    EXPECT_EQ(1018u, COS_ReadPubKey(0, out, &len));
    EXPECT_EQ(99u, len);  // the needed length is not written back
    len = 128;
    ASSERT_EQ(0u, COS_ReadPubKey(0, out, &len));
    EXPECT_EQ(100u, len);
    EXPECT_EQ(record, bytes(out, out + 100));
    // A slot without a record.
    len = 128;
    EXPECT_EQ(4001u, COS_ReadPubKey(1, out, &len));
    EXPECT_EQ(128u, len);
}
