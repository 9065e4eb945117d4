#include "Tarnhold/frames.h"

#include "Tarnhold/msg.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char kDes[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const unsigned char kSrc[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, 0xFF};

TEST(Frames, HeaderBytes)
{
    Bytes f(24, 0xEE);
    SetMsgHead(f.data(), 224, kDes, kSrc);
    const Bytes want = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x02, 0x00, 0x5E, 0x10, 0x00, 0xFF,
                        0x87, 0x6D, 0x00, 0xE0, 'a',  'k',  'q',  'w',  'a',  'k',  'q',  'w'};
    EXPECT_EQ(f, want);
    // Only the low 16 bits of the length travel.
    SetMsgHead(f.data(), 0x12345, kDes, kSrc);
    EXPECT_EQ(f[14], 0x23);
    EXPECT_EQ(f[15], 0x45);
}

struct Sm2Case {
    const char* name;
    size_t desLen;
    unsigned char lenByte;
};

class Sm2Reply : public ::testing::TestWithParam<Sm2Case> {};

// The SM2 reply carries the whole description whatever its length; its
// length byte is the length modulo 256; one zero byte ends the frame.
TEST_P(Sm2Reply, Layout)
{
    const Sm2Case& c = GetParam();
    std::string des(c.desLen, '\0');
    for (size_t i = 0; i < des.size(); ++i)
        des[i] = static_cast<char>('a' + i % 26);
    const size_t len = msg::sm2_reply_size(des.size());
    ASSERT_EQ(len, 219 + c.desLen);
    Bytes f(len, 0);
    SetMsgHead(f.data(), static_cast<int>(len), kDes, kSrc);
    const char plain[] = "secret words";
    std::memcpy(f.data() + 26, plain, sizeof plain - 1);
    unsigned char host[60] = {};
    SetHostNameField("node7", host);
    EXPECT_TRUE(SetMsgContentSM2(true, f.data(), host, des));
    EXPECT_EQ(msg::get_be16(&f[14]), len & 0xFFFF);
    EXPECT_EQ(f[24], 2);
    EXPECT_EQ(f[25], 128);
    EXPECT_EQ(std::string(f.begin() + 26, f.begin() + 38), "secret words");
    EXPECT_EQ(Bytes(f.begin() + 38, f.begin() + 154), Bytes(116, 0));
    EXPECT_EQ(f[154], 6);
    EXPECT_EQ(f[155], 60);
    Bytes wantHost(60, 0);
    std::memcpy(wantHost.data(), "node7", 5);
    EXPECT_EQ(Bytes(f.begin() + 156, f.begin() + 216), wantHost);
    EXPECT_EQ(f[216], 10);
    EXPECT_EQ(f[217], c.lenByte);
    EXPECT_EQ(std::string(f.begin() + 218, f.begin() + 218 + c.desLen), des);
    EXPECT_EQ(f.back(), 0);

    // A failed decryption: 0xFF over the whole field, the rest the same.
    Bytes g(len, 0);
    std::memcpy(g.data() + 26, plain, sizeof plain - 1);
    SetMsgContentSM2(false, g.data(), host, des);
    EXPECT_EQ(Bytes(g.begin() + 26, g.begin() + 154), Bytes(128, 0xFF));
    EXPECT_EQ(Bytes(g.begin() + 154, g.end()), Bytes(f.begin() + 154, f.end()));
}

INSTANTIATE_TEST_SUITE_P(Cases, Sm2Reply,
                         ::testing::Values(Sm2Case{"Empty", 0, 0}, Sm2Case{"Five", 5, 5},
                                           Sm2Case{"Of128", 128, 128}, Sm2Case{"Of129", 129, 129},
                                           Sm2Case{"Of255", 255, 255}, Sm2Case{"Of256", 256, 0},
                                           Sm2Case{"Of300", 300, 44}),
                         CaseName());

TEST(Frames, EmptyDescriptionReplyIs219Bytes)
{
    Bytes f(msg::sm2_reply_size(0), 0);
    SetMsgHead(f.data(), static_cast<int>(f.size()), kDes, kSrc);
    unsigned char host[60] = {};
    SetMsgContentSM2(true, f.data(), host, "");
    ASSERT_EQ(f.size(), 219u);
    EXPECT_EQ(f[14], 0x00);
    EXPECT_EQ(f[15], 0xDB);
    EXPECT_EQ(f[216], 10);
    EXPECT_EQ(f[217], 0);
    EXPECT_EQ(f[218], 0);
}

TEST(Frames, HostNameField)
{
    struct {
        size_t len;
        size_t zeros; // zero bytes after the name
    } cases[] = {{0, 60}, {59, 1}, {60, 0}, {61, 0}, {100, 0}};
    for (const auto& c : cases) {
        std::string name(c.len, 'h');
        unsigned char field[62];
        std::memset(field, 0xEE, sizeof field);
        SetHostNameField(name.c_str(), field);
        const size_t kept = std::min<size_t>(c.len, 60);
        EXPECT_EQ(std::string(field, field + kept), name.substr(0, kept)) << c.len;
        EXPECT_EQ(Bytes(field + kept, field + 60), Bytes(c.zeros, 0)) << c.len;
        EXPECT_EQ(field[60], 0xEE) << c.len; // nothing beyond the field
    }
}

std::string cid_with(int n)
{
    std::string cid(39, '\0');
    cid[0] = static_cast<char>(n);
    for (int i = 3; i < 39; ++i)
        cid[i] = static_cast<char>('0' + i % 10);
    return cid;
}

TEST(Frames, IdentityReplyBytes)
{
    const std::vector<std::string> macs = {"00155D01020A", "F0DEF1ABCDEF"};
    const std::string cid = cid_with(2);
    const std::string des = "Li Lei";
    const size_t len = msg::mac_reply_size(macs.size(), des.size());
    ASSERT_EQ(len, 67u + 12 + 6);
    Bytes f(len, 0);
    SetMsgHead(f.data(), static_cast<int>(len), kDes, kSrc);
    ASSERT_TRUE(SetMsgContentMAC(macs, cid.data(), des, f.data() + 24));
    Bytes want(f.begin(), f.begin() + 24);
    Bytes tail = {9, 51, 0x00, 0x15, 0x5D, 0x01, 0x02, 0x0A, 0xF0, 0xDE, 0xF1, 0xAB, 0xCD, 0xEF};
    want.insert(want.end(), tail.begin(), tail.end());
    want.insert(want.end(), cid.begin(), cid.end());
    want.push_back(10);
    want.push_back(6);
    want.insert(want.end(), des.begin(), des.end());
    EXPECT_EQ(f, want);
    EXPECT_EQ(msg::get_be16(&f[14]), 85);
}

// More than 36 MACs: the record's length byte wraps, the frame length does not.
TEST(Frames, IdentityReplyMacRecordLengthWraps)
{
    std::vector<std::string> macs;
    for (int i = 0; i < 40; ++i) {
        char t[13];
        std::snprintf(t, sizeof t, "0200000000%02X", i);
        macs.push_back(t);
    }
    const std::string cid = cid_with(5);
    const std::string des = "d";
    const size_t len = msg::mac_reply_size(macs.size(), des.size());
    ASSERT_EQ(len, 67u + 240 + 1);
    Bytes f(len, 0);
    SetMsgHead(f.data(), static_cast<int>(len), kDes, kSrc);
    ASSERT_TRUE(SetMsgContentMAC(macs, cid.data(), des, f.data() + 24));
    EXPECT_EQ(f[25], (6 * 40 + 39) % 256);
    EXPECT_EQ(msg::get_be16(&f[14]), 308);
    EXPECT_EQ(f[26 + 6 * 39 + 5], 39);
    EXPECT_EQ(std::string(f.begin() + 266, f.begin() + 305), cid);
    EXPECT_EQ(f[305], 10);
    EXPECT_EQ(f[306], 1);
    EXPECT_EQ(f[307], 'd');
}

TEST(Frames, IdentityReplyRefused)
{
    const std::vector<std::string> macs = {"00155D01020A"};
    struct {
        const char* name;
        std::string cid;
        std::string des;
        bool ok;
    } cases[] = {
        {"NoCid", std::string(39, '\0'), "user", false},
        {"CidByteZeroRestSet", "\0" + cid_with(1).substr(1), "user", false},
        {"EmptyDes", cid_with(1), "", false},
        {"Des129", cid_with(1), std::string(129, 'x'), false},
        {"Des128", cid_with(1), std::string(128, 'x'), true},
        {"Des1", cid_with(1), "x", true},
    };
    for (const auto& c : cases) {
        Bytes f(msg::mac_reply_size(1, c.des.size()) + 8, 0xEE);
        std::fill(f.begin(), f.end() - 8, 0);
        EXPECT_EQ(SetMsgContentMAC(macs, c.cid.data(), c.des, f.data() + 24), c.ok) << c.name;
        if (!c.ok)
            EXPECT_EQ(Bytes(f.begin(), f.end() - 8), Bytes(f.size() - 8, 0)) << c.name;
        else
            EXPECT_EQ(f[msg::mac_des_type(1) + 1], c.des.size()) << c.name;
        EXPECT_EQ(Bytes(f.end() - 8, f.end()), Bytes(8, 0xEE)) << c.name; // nothing past the frame
    }
}

TEST(Frames, ErrorReportClasses)
{
    struct {
        const char* name;
        Bytes data;
        int declared; // -1: the data's length
        size_t cut;   // bytes of data received
        int want;
    } cases[] = {
        {"Empty", {}, -1, 0, 0},
        {"AllZero", Bytes(7, 0x00), -1, 7, 0},
        {"AllFF", Bytes(7, 0xFF), -1, 7, 1},
        {"OneFF", {0xFF}, -1, 1, 1},
        {"Mixed", {0x00, 0xFF}, -1, 2, -1},
        {"FFThenZero", {0xFF, 0x00}, -1, 2, -1},
        {"Other", {0x01}, -1, 1, -1},
        {"Max", Bytes(255, 0xFF), -1, 255, 1},
        {"DeclaredPastReceived", Bytes(4, 0x00), 5, 4, -1},
        {"DeclaredPastReceivedFF", Bytes(4, 0xFF), 255, 4, -1},
    };
    for (const auto& c : cases) {
        Bytes f(26, 0);
        f[24] = 7;
        f[25] = static_cast<unsigned char>(c.declared < 0 ? c.data.size() : static_cast<size_t>(c.declared));
        f.insert(f.end(), c.data.begin(), c.data.begin() + c.cut);
        EXPECT_EQ(IsMsgMacCorrect(f.data(), f.size()), c.want) << c.name;
    }
    unsigned char shortFrame[25] = {};
    EXPECT_EQ(IsMsgMacCorrect(shortFrame, sizeof shortFrame), -1);
}

TEST(Frames, MacText)
{
    struct {
        const char* text;
        Bytes want;
    } cases[] = {
        {"00155D01020A", {0x00, 0x15, 0x5D, 0x01, 0x02, 0x0A}},
        {"FFFFFFFFFFFF", Bytes(6, 0xFF)},
        {"abcdef012345", {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45}},
        // Any other length leaves the bytes as they were.
        {"", Bytes(6, 0xEE)},
        {"00155D01020", Bytes(6, 0xEE)},
        {"00155D01020A0", Bytes(6, 0xEE)},
        {"00-15-5D-01-02-0A", Bytes(6, 0xEE)},
    };
    for (const auto& c : cases) {
        unsigned char mac[7];
        std::memset(mac, 0xEE, sizeof mac);
        GetMacByString(c.text, mac);
        EXPECT_EQ(Bytes(mac, mac + 6), c.want) << c.text;
        EXPECT_EQ(mac[6], 0xEE) << c.text;
    }
}

} // namespace
