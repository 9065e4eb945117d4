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

    // 300 bytes travel as 44, 128 and 128 at offsets 0x100, 0 and 0x80: the
    // chunk with the last byte first, then the rest in order.
    const bytes data = pattern(300, 3);
    log.clear();
    ASSERT_EQ(0u, COS_WriteFile(data.data(), 300));
    ASSERT_EQ(3u, log.size());
    const uint32_t offs[3] = {0x100, 0x00, 0x80};
    const size_t sizes[3] = {44, 128, 128};
    for (int i = 0; i < 3; ++i) {
        const bytes& c = log[i].cmd;
        EXPECT_EQ(bytes({0x00, 0xD6, static_cast<uint8_t>(offs[i] >> 8), static_cast<uint8_t>(offs[i]),
                         static_cast<uint8_t>(sizes[i])}),
                  bytes(c.begin(), c.begin() + 5));
        EXPECT_EQ(bytes(data.begin() + offs[i], data.begin() + offs[i] + sizes[i]), bytes(c.begin() + 5, c.end()));
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

TEST_F(FileTest, WriteBeyondTheFilesSizeChangesNothing)
{
    ASSERT_EQ(0u, COS_CreateFile(0x83, 256));
    const bytes old = pattern(200, 7);
    ASSERT_EQ(0u, COS_WriteFile(old.data(), 200));
    const bytes data = pattern(1000, 5);
    // However far the length goes past the file's 256 bytes, the card
    // refuses the first command sent and nothing of the file changes.
    for (uint16_t over : {257, 300, 384, 1000}) {
        log.clear();
        uint32_t st = COS_WriteFile(data.data(), over);
        EXPECT_NE(0u, st) << over;
        ASSERT_EQ(1u, log.size()) << over;
        EXPECT_EQ(st, COS_GetErrCode(log[0].sw())) << over;
        uint16_t len = 0;
        ASSERT_EQ(0u, COS_SelectFile(0x83, &len));
        ASSERT_EQ(200u, len) << over;
        bytes out(200);
        ASSERT_EQ(0u, COS_ReadFile(out.data(), &len));
        EXPECT_EQ(old, out) << over;
    }
    // The whole size is taken.
    ASSERT_EQ(0u, COS_WriteFile(data.data(), 256));

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
