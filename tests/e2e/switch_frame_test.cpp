// The simulated switch's reply parser: the end-to-end checks rest on it, so
// it must refuse every malformed reply and never read past the frame.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/switchsim/frame.h"

using namespace switchsim;

namespace {

const Mac kSwitch = {2, 0, 0, 0, 0, 0x5A};
const Mac kHost = {2, 0, 0, 0, 0, 0x01};

Bytes header(size_t total)
{
    Bytes f(total, 0);
    std::memcpy(&f[0], kSwitch.data(), 6);
    std::memcpy(&f[6], kHost.data(), 6);
    f[12] = 0x87;
    f[13] = 0x6D;
    f[14] = static_cast<uint8_t>(total >> 8);
    f[15] = static_cast<uint8_t>(total);
    std::memcpy(&f[16], "akqwakqw", 8);
    return f;
}

Bytes sm2_reply(const std::string& desc)
{
    Bytes f = header(219 + desc.size());
    f[24] = 2;
    f[25] = 128;
    for (int i = 0; i < 128; ++i)
        f[26 + i] = static_cast<uint8_t>(i);
    f[154] = 6;
    f[155] = 60;
    std::memcpy(&f[156], "host", 4);
    f[216] = 10;
    f[217] = static_cast<uint8_t>(desc.size());
    std::memcpy(&f[218], desc.data(), desc.size());
    return f;
}

Bytes id_reply(size_t macs, const std::string& desc)
{
    Bytes f = header(67 + 6 * macs + desc.size());
    f[24] = 9;
    f[25] = static_cast<uint8_t>(6 * macs + 39);
    for (size_t i = 0; i < macs; ++i)
        f[26 + 6 * i + 5] = static_cast<uint8_t>(i + 1);
    f[26 + 6 * macs] = 1;   // CID count byte
    f[65 + 6 * macs] = 10;
    f[66 + 6 * macs] = static_cast<uint8_t>(desc.size());
    std::memcpy(&f[67 + 6 * macs], desc.data(), desc.size());
    return f;
}

bool parses(const Bytes& f, Reply& r)
{
    std::string why;
    // An exact-size copy: the sanitizer build catches any read past it.
    Bytes exact(f);
    return parse_reply(exact.data(), exact.size(), r, why);
}

} // namespace

TEST(SwitchFrame, WellFormedRepliesAreTakenApart)
{
    Reply r;
    ASSERT_TRUE(parses(sm2_reply("Wang"), r));
    EXPECT_EQ(r.type, kResponseSm2);
    EXPECT_EQ(r.dst, kSwitch);
    EXPECT_EQ(r.src, kHost);
    EXPECT_EQ(r.plain.size(), 128u);
    EXPECT_EQ(r.plain[127], 127);
    EXPECT_EQ(r.hostField, host_field("host"));
    EXPECT_EQ(r.desc, Bytes({'W', 'a', 'n', 'g'}));

    std::string longDesc(300, 'x');   // length byte 300 mod 256
    ASSERT_TRUE(parses(sm2_reply(longDesc), r));
    EXPECT_EQ(r.desc.size(), 300u);

    ASSERT_TRUE(parses(id_reply(2, "Li"), r));
    EXPECT_EQ(r.type, kResponseMac);
    ASSERT_EQ(r.macs.size(), 2u);
    EXPECT_EQ(r.macs[1][5], 2);
    EXPECT_EQ(r.cid.size(), 39u);
    EXPECT_EQ(r.cid[0], 1);
    EXPECT_EQ(r.desc, Bytes({'L', 'i'}));
}

TEST(SwitchFrame, MalformedRepliesAreRefused)
{
    struct Case {
        const char* what;
        Bytes frame;
    };
    std::vector<Case> cases;
    auto sm2 = [](auto mutate) { Bytes f = sm2_reply("abc"); mutate(f); return f; };
    auto id = [](auto mutate) { Bytes f = id_reply(1, "abc"); mutate(f); return f; };
    cases.push_back({"ethertype", sm2([](Bytes& f) { f[13] = 0x6E; })});
    cases.push_back({"marker", sm2([](Bytes& f) { f[23] = 'x'; })});
    cases.push_back({"length field above the frame", sm2([](Bytes& f) { f[15]++; })});
    cases.push_back({"frame longer than its length field", sm2([](Bytes& f) { f.push_back(0); })});
    cases.push_back({"plaintext record length", sm2([](Bytes& f) { f[25] = 127; })});
    cases.push_back({"host-name record type", sm2([](Bytes& f) { f[154] = 7; })});
    cases.push_back({"host-name record length", sm2([](Bytes& f) { f[155] = 59; })});
    cases.push_back({"description record type", sm2([](Bytes& f) { f[216] = 9; })});
    cases.push_back({"description length byte", sm2([](Bytes& f) { f[217] = 2; })});
    cases.push_back({"no trailing zero", sm2([](Bytes& f) { f.back() = 1; })});
    cases.push_back({"SM2 reply without its trailing byte", sm2([](Bytes& f) {
                         f.pop_back();
                         f[15]--;
                     })});
    cases.push_back({"MAC record length not 6k+39", id([](Bytes& f) { f[25] = 46; })});
    cases.push_back({"MAC record longer than the frame", id([](Bytes& f) { f[25] = 6 * 30 + 39; })});
    cases.push_back({"identity description type", id([](Bytes& f) { f[71] = 6; })});
    cases.push_back({"identity description length", id([](Bytes& f) { f[72] = 4; })});
    cases.push_back({"request type", sm2([](Bytes& f) { f[24] = 1; })});
    cases.push_back({"header only", Bytes(header(24))});
    cases.push_back({"empty", Bytes()});
    for (const Case& c : cases) {
        Reply r;
        EXPECT_FALSE(parses(c.frame, r)) << c.what;
    }
}

TEST(SwitchFrame, RequestsCarryDeclaredLengthsAsGiven)
{
    Request rq;
    rq.dst = kHost;
    rq.src = kSwitch;
    rq.type = kRequestSm2;
    rq.declaredLen = 276;
    rq.recLen = 250;
    Bytes f = build_request(rq);   // the 26-byte replay frame
    ASSERT_EQ(f.size(), 26u);
    EXPECT_EQ(f[14], 0x01);
    EXPECT_EQ(f[15], 0x14);
    EXPECT_EQ(f[24], 1);
    EXPECT_EQ(f[25], 250);
    EXPECT_EQ(0, std::memcmp(&f[16], "akqwakqw", 8));

    rq.typeOnly = true;
    rq.declaredLen = -1;
    f = build_request(rq);
    ASSERT_EQ(f.size(), 25u);
    EXPECT_EQ(f[15], 25);
}
