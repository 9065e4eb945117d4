#include "Tarnhold/handler.h"

#include "Tarnhold/fake_effects.h"
#include "Tarnhold/msg.h"
#include "common/machine_id.h"
#include "common/test_seed.h"
#include "common/test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kEth0 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const Bytes kEth1 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const Bytes kSwitch = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const Bytes kOther = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// A request: header, then type and length bytes and data; total bytes in all
// (zero-padded or cut).
Bytes request(const Bytes& dst, int type, unsigned headLen, unsigned recLen, const Bytes& data, size_t total,
              const Bytes& src = kSwitch)
{
    Bytes f(std::max<size_t>(total, 26 + data.size()), 0);
    std::memcpy(f.data(), dst.data(), 6);
    std::memcpy(f.data() + 6, src.data(), 6);
    f[12] = 0x87;
    f[13] = 0x6D;
    f[14] = static_cast<unsigned char>(headLen >> 8);
    f[15] = static_cast<unsigned char>(headLen & 0xFF);
    std::memcpy(f.data() + 16, "akqwakqw", 8);
    f[24] = static_cast<unsigned char>(type);
    f[25] = static_cast<unsigned char>(recLen);
    std::copy(data.begin(), data.end(), f.begin() + 26);
    f.resize(total);
    return f;
}

Bytes block()
{
    Bytes b(250);
    b[0] = 120;
    for (size_t i = 1; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i * 7 + 3);
    return b;
}

Bytes challenge(const Bytes& dst = kEth0) { return request(dst, 1, 276, 250, block(), 276); }

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

class Handler : public ::testing::Test {
protected:
    void SetUp() override
    {
        st.devices = {{"eth0", "02-00-00-00-00-01"}, {"eth1", "02-00-00-00-00-02"}, {"wlan0", ""}};
        st.macs = {"020000000001", "020000000002"};
        st.cid[0] = 2;
        for (int i = 3; i < 39; ++i)
            st.cid[i] = static_cast<char>('A' + i % 26);
        st.des = "user";
        fx.indexes = {{"eth0", 3}, {"eth1", 4}};
        fx.plaintext = bytes_of("hello");
    }
    // The frame arrives on the interface `on`; by default on the one whose
    // MAC it is addressed to (the first by name), as the switch sends it.
    void handle(const Bytes& f, int on = kAddressed)
    {
        if (on == kAddressed)
            on = index_of(f);
        HandleFrame(f.data(), static_cast<long>(f.size()), on, st, fx);
    }
    int index_of(const Bytes& f)
    {
        char text[18] = {};
        if (f.size() >= 6)
            std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", f[0], f[1], f[2], f[3], f[4], f[5]);
        for (const auto& d : st.devices)
            if (d.second == text && fx.indexes.count(d.first))
                return static_cast<int>(fx.indexes[d.first]);
        return 0;
    }
    static constexpr int kAddressed = -1;

    // The switch's identity request and challenge to eth0's MAC, arriving
    // on the interface `on`, choose eth0 (index 3) and are answered on eth0
    // from eth0's MAC.
    void switch_on_eth0_answered(int on)
    {
        handle(request(kEth0, 8, 0, 0, {}, 60), on);
        ASSERT_TRUE(st.bGetDevice);
        EXPECT_EQ(st.ifindex, 3);
        EXPECT_TRUE(fx.hasConsole("Index for interface eth0 is 3\n"));
        handle(challenge(kEth0), on);
        ASSERT_EQ(fx.sent.size(), 2u);
        for (const SentFrame& f : fx.sent) {
            EXPECT_EQ(f.ifindex, 3);
            EXPECT_EQ(Bytes(f.bytes.begin() + 6, f.bytes.begin() + 12), kEth0);
        }
        EXPECT_EQ(fx.results, std::vector<int>{1});
    }

    DaemonState st;
    FakeEffects fx;
};

// Every log line carries "[file main line] " before its text.
TEST_F(Handler, LogLinesCarrySourcePrefix)
{
    handle(challenge());
    ASSERT_FALSE(fx.logs.empty());
    for (const LogLine& l : fx.logs) {
        std::string text;
        ASSERT_TRUE(split_log_prefix(l.line, &text)) << l.line;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << l.line;
    }
}

TEST_F(Handler, ChallengeAnsweredWithZeroPaddedPlaintextAndResultOne)
{
    handle(challenge());
    ASSERT_EQ(fx.decryptedBlocks.size(), 1u);
    EXPECT_EQ(fx.decryptedBlocks[0], block());
    EXPECT_GE(fx.decryptCapacity[0], 250u);
    ASSERT_EQ(fx.sent.size(), 1u);
    const Bytes& r = fx.sent[0].bytes;
    ASSERT_EQ(r.size(), 219u + 4);
    EXPECT_EQ(fx.sent[0].ifindex, 3);
    EXPECT_EQ(fx.sent[0].dst, kSwitch);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), kSwitch);
    EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 12), kEth0);
    EXPECT_EQ(r[12], 0x87);
    EXPECT_EQ(r[13], 0x6D);
    EXPECT_EQ(r[14], 0x00);
    EXPECT_EQ(r[15], 223);
    EXPECT_EQ(std::string(r.begin() + 16, r.begin() + 24), "akqwakqw");
    EXPECT_EQ(r[24], 2);
    EXPECT_EQ(r[25], 128);
    EXPECT_EQ(std::string(r.begin() + 26, r.begin() + 31), "hello");
    for (size_t i = 31; i < 154; ++i)
        ASSERT_EQ(r[i], 0) << i;
    EXPECT_EQ(r[154], 6);
    EXPECT_EQ(r[155], 60);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[156])), "host-a");
    EXPECT_EQ(r[216], 10);
    EXPECT_EQ(r[217], 4);
    EXPECT_EQ(std::string(r.begin() + 218, r.begin() + 222), "user");
    EXPECT_EQ(r[222], 0);
    EXPECT_EQ(fx.results, std::vector<int>{1});
    const LogLine* ok = fx.findLog("当前MAC通过交换机认证！\n");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->level, 2);
    EXPECT_TRUE(fx.hasConsole("内容长度正确，内容头的长度为：276, 内容数据长度为：250.\n"));
    EXPECT_TRUE(fx.hasConsole("Index for interface eth0 is 3\n"));
    EXPECT_TRUE(fx.hasConsole("加解密类型为：1.\n"));
    // The dump shows the first 128 bytes of the block.
    std::string dump;
    for (size_t i = 0; i < 128; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02X", block()[i]);
        dump += h;
    }
    EXPECT_TRUE(fx.hasConsole("收到消息来至[0A-0B-0C-0D-0E-0F]的消息[" + dump + "]\n"));
}

struct FailCase {
    const char* name;
    int rc;
    size_t plainLen; // used when rc is 0
    bool keyExists;
    const char* logText;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class ChallengeFailure : public Handler, public ::testing::WithParamInterface<FailCase> {};

// Every failed decryption (a status from the facade, or a plaintext too long
// for the 128-byte field) still answers with 0xFF and records 0; the
// host-name and description records stay intact.
TEST_P(ChallengeFailure, AnswersWithFFAndRecordsZero)
{
    const FailCase& c = GetParam();
    fx.decryptRc = c.rc;
    fx.keyExists = c.keyExists;
    fx.plaintext.assign(c.plainLen, 0x5A);
    handle(challenge());
    ASSERT_EQ(fx.sent.size(), 1u);
    const Bytes& r = fx.sent[0].bytes;
    ASSERT_EQ(r.size(), 223u);
    for (size_t i = 26; i < 154; ++i)
        ASSERT_EQ(r[i], 0xFF) << i;
    EXPECT_EQ(r[154], 6);
    EXPECT_EQ(r[155], 60);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[156])), "host-a");
    for (size_t i = 156 + 6; i < 216; ++i)
        ASSERT_EQ(r[i], 0) << i;
    EXPECT_EQ(r[216], 10);
    EXPECT_EQ(std::string(r.begin() + 218, r.begin() + 222), "user");
    EXPECT_EQ(fx.results, std::vector<int>{0});
    const LogLine* l = fx.findLog(c.logText);
    ASSERT_NE(l, nullptr) << c.logText;
    EXPECT_EQ(l->level, 2);
    EXPECT_EQ(fx.findLog("当前MAC通过交换机认证！\n"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChallengeFailure,
    ::testing::Values(FailCase{"StatusWithImage", 11001, 0, true, "解密失败！\n"},
                      FailCase{"StatusOne", 1, 0, true, "解密失败，无法获取密钥！\n"},
                      FailCase{"NoImage", 11001, 0, false, "解密失败，无法获取密钥！\n"},
                      FailCase{"Plaintext129", 0, 129, true, "解密失败！\n"},
                      FailCase{"Plaintext152", 0, 152, true, "解密失败！\n"}),
    CaseName());

TEST_F(Handler, PlaintextOf128FillsTheField)
{
    fx.plaintext.assign(128, 0x5A);
    handle(challenge());
    ASSERT_EQ(fx.sent.size(), 1u);
    const Bytes& r = fx.sent[0].bytes;
    EXPECT_EQ(Bytes(r.begin() + 26, r.begin() + 154), Bytes(128, 0x5A));
    EXPECT_EQ(r[154], 6);
    EXPECT_EQ(fx.results, std::vector<int>{1});
}

TEST_F(Handler, UnsentReplyRecordsZero)
{
    fx.sendResult = -1;
    handle(challenge());
    EXPECT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.results, std::vector<int>{0});
    ASSERT_NE(fx.findLog("sendto() failed\n"), nullptr);
    EXPECT_EQ(fx.errors, std::vector<std::string>{"sendto() failed"});
}

struct LengthCase {
    const char* name;
    unsigned headLen;
    unsigned recLen;
    size_t received;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class ChallengeLength : public Handler, public ::testing::WithParamInterface<LengthCase> {};

// Wrong declared lengths, or fewer bytes than a whole challenge: the length
// message, "Result" 0, no decryption and no reply.
TEST_P(ChallengeLength, RecordsZeroWithoutReply)
{
    const LengthCase& c = GetParam();
    handle(request(kEth0, 1, c.headLen, c.recLen, block(), c.received));
    EXPECT_TRUE(fx.decryptedBlocks.empty());
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_EQ(fx.results, std::vector<int>{0});
    EXPECT_TRUE(fx.hasConsole("SM2加密数据长度不对\n"));
    const LogLine* l = fx.findLog("SM2加密数据长度不对\n");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->level, 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, ChallengeLength,
                         ::testing::Values(LengthCase{"Head275", 275, 250, 276},
                                           LengthCase{"Head277", 277, 250, 276},
                                           LengthCase{"Record249", 276, 249, 276},
                                           LengthCase{"Received275", 276, 250, 275},
                                           LengthCase{"Received26", 276, 250, 26},
                                           LengthCase{"Received60", 276, 250, 60}),
                         CaseName());

// A short frame declaring a whole challenge after a good one must not make
// the daemon decrypt the earlier block again.
TEST_F(Handler, ShortFrameDoesNotReplayEarlierChallenge)
{
    Bytes good = challenge();
    handle(good);
    ASSERT_EQ(fx.results, std::vector<int>{1});
    Bytes replay(good.begin(), good.begin() + 26);
    handle(replay);
    EXPECT_EQ(fx.decryptedBlocks.size(), 1u);
    EXPECT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.results, (std::vector<int>{1, 0}));
}

// The frame is read only up to the bytes received: what lies beyond in the
// caller's buffer never shows in the dump, the decryption or a reply.
TEST_F(Handler, BytesPastReceivedAreNotRead)
{
    Bytes full = challenge();
    handle(request(kEth0, 8, 0, 0, {}, 26)); // chooses eth0
    fx.clear();
    handle(Bytes(full.begin(), full.begin() + 40));
    EXPECT_TRUE(fx.hasConsole("收到消息来至[0A-0B-0C-0D-0E-0F]的消息[" + getHex(block().data(), 14) +
                              std::string(2 * 114, '0') + "]\n"));
    EXPECT_TRUE(fx.decryptedBlocks.empty());
}

TEST_F(Handler, IncompleteReceive)
{
    for (long n : {-1L, 0L, 25L}) {
        fx.clear();
        Bytes f = challenge();
        errno = 11;
        HandleFrame(f.data(), n, 0, st, fx);
        EXPECT_TRUE(fx.hasConsole(std::to_string(n) + " bytes read\n")) << n;
        EXPECT_TRUE(fx.hasConsole("Incomplete packet (errno is 11)\n")) << n;
        const LogLine* l = fx.findLog("recvfrom(): Incomplete packet (errno is 11)\n");
        ASSERT_NE(l, nullptr) << n;
        EXPECT_EQ(l->level, 2);
        EXPECT_EQ(fx.errors, std::vector<std::string>{"recvfrom():"});
        EXPECT_TRUE(fx.sent.empty());
        EXPECT_TRUE(fx.results.empty());
        EXPECT_FALSE(st.bGetDevice);
    }
}

TEST_F(Handler, WrongEthertypeOrMarkerIsDroppedBeforeInterfaceChoice)
{
    Bytes f = challenge();
    f[13] = 0x6E;
    handle(f);
    EXPECT_TRUE(fx.hasConsole("eth.type 类型不对\n"));
    ASSERT_NE(fx.findLog("eth.type 类型不对\n"), nullptr);
    f = challenge();
    f[23] = 'x';
    handle(f);
    EXPECT_TRUE(fx.hasConsole("数据校验值不对\n"));
    ASSERT_NE(fx.findLog("数据校验值不对\n"), nullptr);
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());
}

TEST_F(Handler, FirstAcceptedFrameChoosesInterface)
{
    // Not addressed to the host: warning, nothing chosen.
    handle(challenge(kOther));
    EXPECT_FALSE(st.bGetDevice);
    const LogLine* w = fx.findLog("目标mac地址[11-22-33-44-55-66]非本机mac地址\n");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->level, 1);
    EXPECT_TRUE(fx.sent.empty());

    // To eth1: chosen, answered from eth1's MAC on its index.
    handle(challenge(kEth1));
    EXPECT_TRUE(st.bGetDevice);
    ASSERT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.sent[0].ifindex, 4);
    EXPECT_EQ(Bytes(fx.sent[0].bytes.begin() + 6, fx.sent[0].bytes.begin() + 12), kEth1);

    // Then to eth0, another of the host's MACs: warning, no answer.
    fx.clear();
    handle(challenge(kEth0));
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());
    EXPECT_NE(fx.findLog("目标mac地址[02-00-00-00-00-01]非本机mac地址\n"), nullptr);

    // A reply goes to the source of the frame it answers.
    fx.clear();
    handle(request(kEth1, 1, 276, 250, block(), 276, kOther));
    ASSERT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.sent[0].dst, kOther);
    EXPECT_EQ(Bytes(fx.sent[0].bytes.begin(), fx.sent[0].bytes.begin() + 6), kOther);
    EXPECT_EQ(Bytes(fx.sent[0].bytes.begin() + 6, fx.sent[0].bytes.begin() + 12), kEth1);
}

// Two interfaces with one MAC: the MAC names the first of them in name
// order, eth0. A frame to it that arrived on eth1 chooses nothing; the
// switch's frames on eth0 are then served, and eth1's never.
TEST_F(Handler, SameMacOnTwoInterfacesNamesTheFirstByName)
{
    st.devices = {{"eth1", "02-00-00-00-00-01"}, {"eth0", "02-00-00-00-00-01"}};
    handle(request(kEth0, 8, 0, 0, {}, 60, kOther), 4); // over eth1's link
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_NE(fx.findLog("目标mac地址[02-00-00-00-00-01]非本机mac地址\n"), nullptr);

    switch_on_eth0_answered(3);

    fx.clear();
    handle(challenge(kEth0), 4);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());
}

// A frame sent over one interface's link to the MAC of another interface
// chooses nothing: the switch's first request on its own link is still
// answered. After the choice, a frame counts only when it arrives on the
// chosen interface, whatever MAC it is addressed to.
TEST_F(Handler, FrameToAnotherInterfacesMacOverThisLinkChoosesNothing)
{
    handle(request(kEth1, 8, 0, 0, {}, 60, kOther), 3); // over eth0's link, to eth1's MAC
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_NE(fx.findLog("目标mac地址[02-00-00-00-00-02]非本机mac地址\n"), nullptr);
    handle(challenge(kEth1), 0); // no arrival known
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());

    handle(challenge(kEth0), 3); // the switch on eth0
    ASSERT_TRUE(st.bGetDevice);
    EXPECT_EQ(st.ifindex, 3);
    ASSERT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.sent[0].ifindex, 3);
    EXPECT_EQ(fx.results, std::vector<int>{1});

    const struct {
        const Bytes& dst;
        int on;
    } refused[] = {{kEth0, 4}, {kEth1, 4}, {kEth1, 3}, {kEth0, 0}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.on);
        fx.clear();
        handle(challenge(r.dst), r.on);
        EXPECT_TRUE(fx.sent.empty());
        EXPECT_TRUE(fx.results.empty());
        EXPECT_EQ(st.ifindex, 3);
    }
    fx.clear();
    handle(challenge(kEth0), 3);
    EXPECT_EQ(fx.sent.size(), 1u);
}

// An interface renamed or removed since start-up has no index: it is passed
// over with the index failure on the console, in the log and on standard
// error, and the handler goes on. With another interface of the same MAC,
// that one is the interface the MAC names.
TEST_F(Handler, InterfaceWithoutIndexIsPassedOver)
{
    fx.indexes.erase("eth1");
    handle(challenge(kEth1), 3); // over eth0's link, to the gone eth1's MAC
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());
    EXPECT_TRUE(fx.hasConsole("if_nametoindex() failed to obtain interface index! \n"));
    const LogLine* l = fx.findLog("if_nametoindex() failed to obtain interface index! \n");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->level, 2);
    EXPECT_EQ(fx.errors, std::vector<std::string>{"if_nametoindex() failed to obtain interface index "});
    EXPECT_NE(fx.findLog("目标mac地址[02-00-00-00-00-02]非本机mac地址\n"), nullptr);

    handle(challenge(kEth0), 3); // the switch on eth0
    ASSERT_TRUE(st.bGetDevice);
    EXPECT_EQ(st.ifindex, 3);
    ASSERT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.results, std::vector<int>{1});
}

TEST_F(Handler, SameMacInterfaceWithoutIndexLeavesTheNextByName)
{
    st.devices = {{"eth0", "02-00-00-00-00-01"}, {"eth1", "02-00-00-00-00-01"}};
    fx.indexes.erase("eth0");
    handle(challenge(kEth0), 4);
    ASSERT_TRUE(st.bGetDevice);
    EXPECT_EQ(st.ifindex, 4);
    EXPECT_TRUE(fx.hasConsole("Index for interface eth1 is 4\n"));
    ASSERT_EQ(fx.sent.size(), 1u);
    EXPECT_EQ(fx.sent[0].ifindex, 4);
}

// eth0 (index 3) is a port of a bridge or bond of index 9, which delivers
// eth0's frames under its own index. They come in through eth0; replies go
// out on eth0 from eth0's MAC. The master is read for each frame: when eth0
// moves to the master 11, frames under 9 no longer count.
TEST_F(Handler, FramesThroughTheMasterDeviceCount)
{
    fx.masters = {{3, 9}};
    handle(challenge(kEth0), 10); // some other device
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());

    switch_on_eth0_answered(9);

    fx.clear();
    handle(challenge(kEth0), 3); // on eth0 itself
    EXPECT_EQ(fx.sent.size(), 1u);
    EXPECT_TRUE(fx.masterLookups.empty());

    fx.masters = {{3, 11}};
    fx.clear();
    handle(challenge(kEth0), 9);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.results.empty());
    handle(challenge(kEth0), 11);
    EXPECT_EQ(fx.sent.size(), 1u);

    // A frame to another of the host's MACs through the master: not served.
    fx.clear();
    fx.masters = {{3, 9}, {4, 9}};
    handle(challenge(kEth1), 9);
    EXPECT_TRUE(fx.sent.empty());
}

// A master that cannot be read is reported; the frame counts as arrived
// elsewhere.
TEST_F(Handler, UnreadableMasterIsReported)
{
    fx.masterErrno = ENOBUFS;
    handle(challenge(kEth0), 9);
    EXPECT_FALSE(st.bGetDevice);
    EXPECT_TRUE(fx.sent.empty());
    const std::string text = "Master device of interface 3 unknown (errno is " + std::to_string(ENOBUFS) + ")\n";
    EXPECT_TRUE(fx.hasConsole(text));
    const LogLine* l = fx.findLog(text);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->level, 2);

    handle(challenge(kEth0), 3); // on eth0 itself: no master needed
    EXPECT_TRUE(st.bGetDevice);
    fx.clear();
    handle(challenge(kEth0), 9);
    EXPECT_TRUE(fx.sent.empty());
    EXPECT_TRUE(fx.hasConsole(text));
}

struct ReportCase {
    const char* name;
    Bytes data;
    unsigned declared;
    std::vector<int> results;
    const char* logText; // nullptr: no line
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ErrorReport : public Handler, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ErrorReport, RecordsByData)
{
    const ReportCase& c = GetParam();
    handle(request(kEth0, 7, 26 + c.data.size(), c.declared, c.data, 26 + c.data.size()));
    EXPECT_EQ(fx.results, c.results);
    EXPECT_TRUE(fx.sent.empty());
    const bool anyOutcome = fx.findLog("非认证mac！\n") != nullptr || fx.findLog("密钥错误\n") != nullptr;
    if (c.logText != nullptr) {
        const LogLine* l = fx.findLog(c.logText);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->level, 2);
    } else {
        EXPECT_FALSE(anyOutcome);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorReport,
    ::testing::Values(ReportCase{"AllZero", Bytes(4, 0x00), 4, {3}, "非认证mac！\n"},
                      ReportCase{"AllFF", Bytes(4, 0xFF), 4, {2}, "密钥错误\n"},
                      ReportCase{"Empty", Bytes(), 0, {3}, "非认证mac！\n"},
                      ReportCase{"Mixed", Bytes{0x00, 0xFF, 0x00}, 3, {}, nullptr},
                      ReportCase{"OtherByte", Bytes{0xFF, 0x01}, 2, {}, nullptr},
                      // Declares more data than the frame holds.
                      ReportCase{"ZeroPastReceived", Bytes(4, 0x00), 10, {}, nullptr},
                      ReportCase{"FFPastReceived", Bytes(4, 0xFF), 200, {}, nullptr}),
    CaseName());

TEST_F(Handler, TypesOutsideTheProtocol)
{
    for (int t : {0, 3, 5, 6, 10, 11, 255}) {
        fx.clear();
        handle(request(kEth0, t, 276, 250, block(), 276));
        EXPECT_TRUE(fx.hasConsole("加密类型不对\n")) << t;
        ASSERT_NE(fx.findLog("加密类型不对\n"), nullptr) << t;
        EXPECT_TRUE(fx.sent.empty()) << t;
        EXPECT_TRUE(fx.results.empty()) << t;
    }
    for (int t : {2, 4, 9}) {
        fx.clear();
        handle(request(kEth0, t, 276, 250, block(), 276));
        EXPECT_FALSE(fx.hasConsole("加密类型不对\n")) << t;
        EXPECT_TRUE(fx.hasConsole("加解密类型为：" + std::to_string(t) + ".\n")) << t;
        EXPECT_TRUE(fx.sent.empty()) << t;
        EXPECT_TRUE(fx.results.empty()) << t;
    }
}

TEST_F(Handler, IdentityRequestAnsweredWithMacsCidAndDescription)
{
    handle(request(kEth0, 8, 0, 0, {}, 60));
    ASSERT_EQ(fx.sent.size(), 1u);
    const Bytes& r = fx.sent[0].bytes;
    ASSERT_EQ(r.size(), 67u + 12 + 4);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), kSwitch);
    EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 12), kEth0);
    EXPECT_EQ(r[14], 0);
    EXPECT_EQ(r[15], 83);
    EXPECT_EQ(r[24], 9);
    EXPECT_EQ(r[25], 12 + 39);
    EXPECT_EQ(Bytes(r.begin() + 26, r.begin() + 32), kEth0);
    EXPECT_EQ(Bytes(r.begin() + 32, r.begin() + 38), kEth1);
    EXPECT_EQ(std::string(r.begin() + 38, r.begin() + 77), std::string(st.cid, 39));
    EXPECT_EQ(r[77], 10);
    EXPECT_EQ(r[78], 4);
    EXPECT_EQ(std::string(r.begin() + 79, r.end()), "user");
    EXPECT_TRUE(fx.results.empty());
}

TEST_F(Handler, IdentityRequestRefused)
{
    struct {
        const char* name;
        bool cid;
        std::string des;
        std::string text;
    } cases[] = {
        {"NoCid", false, "user", "SetMsgContentMAC err CID[] DES[user].\n"},
        {"EmptyDes", true, "", "SetMsgContentMAC err CID[\x02] DES[].\n"},
        {"LongDes", true, std::string(129, 'd'), "SetMsgContentMAC err CID[\x02] DES[" + std::string(129, 'd') + "].\n"},
    };
    for (const auto& c : cases) {
        fx.clear();
        st.bGetDevice = false;
        st.cid[0] = c.cid ? 2 : 0;
        st.cid[1] = 0;
        st.des = c.des;
        handle(request(kEth0, 8, 0, 0, {}, 60));
        EXPECT_TRUE(fx.sent.empty()) << c.name;
        EXPECT_TRUE(fx.results.empty()) << c.name;
        EXPECT_TRUE(fx.hasConsole(c.text)) << c.name;
        const LogLine* l = fx.findLog(c.text);
        ASSERT_NE(l, nullptr) << c.name;
        EXPECT_EQ(l->level, 2) << c.name;
    }
}

// A CID without any zero byte is shown as its 39 bytes, not beyond.
TEST_F(Handler, RefusalShowsAtMost39CidBytes)
{
    std::memset(st.cid, 'C', sizeof st.cid);
    st.des = "";
    handle(request(kEth0, 8, 0, 0, {}, 60));
    EXPECT_TRUE(fx.hasConsole("SetMsgContentMAC err CID[" + std::string(39, 'C') + "] DES[].\n"));
}

TEST_F(Handler, IdentityReplyNotSent)
{
    fx.sendResult = 0;
    handle(request(kEth0, 8, 0, 0, {}, 60));
    EXPECT_EQ(fx.sent.size(), 1u);
    EXPECT_NE(fx.findLog("sendto() failed.\n"), nullptr);
    EXPECT_TRUE(fx.results.empty());
}

// Random frames, many of them with a valid header and destination so that
// every record handler sees garbage lengths; nothing may crash or read past
// the bytes given (the sanitizer build checks the reads).
TEST_F(Handler, RandomFramesAreHandled)
{
    TARN_SEED(seed, 20261210);
    std::mt19937 rng(seed);
    fx.plaintext.clear();
    for (int i = 0; i < 20000; ++i) {
        size_t len = rng() % 2100;
        if (i % 3 == 0)
            len = 20 + rng() % 300;
        Bytes f(len);
        for (auto& b : f)
            b = static_cast<unsigned char>(rng());
        if (rng() % 4 != 0 && len >= 24) {
            const Bytes& dst = (rng() % 2) ? kEth0 : kEth1;
            std::memcpy(f.data(), dst.data(), 6);
            f[12] = 0x87;
            f[13] = 0x6D;
            std::memcpy(f.data() + 16, "akqwakqw", 8);
            if (len >= 26 && rng() % 2)
                f[24] = static_cast<unsigned char>(1 + rng() % 10);
            if (len >= 26 && rng() % 3 == 0) {
                f[14] = 0x01;
                f[15] = 0x14; // 276
                f[25] = 250;
            }
        }
        fx.decryptRc = static_cast<int>(rng() % 3);
        fx.plaintext.assign(rng() % 250, 0x33);
        fx.sendResult = (rng() % 5 == 0) ? -1 : 1;
        if (rng() % 50 == 0)
            st.bGetDevice = false;
        // The handler gets exactly len bytes of its own allocation.
        std::unique_ptr<unsigned char[]> own(new unsigned char[len == 0 ? 1 : len]);
        if (len)
            std::memcpy(own.get(), f.data(), len);
        const int on[] = {3, 4, 0, 9};
        HandleFrame(own.get(), static_cast<long>(len), on[rng() % 4], st, fx);
        for (const SentFrame& s : fx.sent) {
            ASSERT_GE(s.bytes.size(), 67u);
            ASSERT_EQ(msg::get_be16(&s.bytes[14]), s.bytes.size());
        }
        for (int v : fx.results)
            ASSERT_TRUE(v >= 0 && v <= 3);
        fx.clear();
    }
}

} // namespace
