// Nothing of a PIN or a decrypted text stays behind in the driver's command
// and reply areas or in the card's command work area once an exchange is
// over, on the success and the refusal paths alike.
#include <algorithm>
#include <functional>

#include "cardapi_fixture.h"
#include "smcrypto/sm2.h"

namespace {

bool contains(const uint8_t* hay, size_t n, const bytes& needle)
{
    return !needle.empty() && std::search(hay, hay + n, needle.begin(), needle.end()) != hay + n;
}

bool contains(const bytes& hay, const bytes& needle) { return contains(hay.data(), hay.size(), needle); }

bool all_zero(const uint8_t* p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

bytes text(const char* s) { return bytes(s, s + strlen(s)); }

class LeftoverTest : public KeyedCardTest {
protected:
    void SetUp() override
    {
        KeyedCardTest::SetUp();
        VDev_SetLeftoverObserver(&LeftoverTest::leftover, this);
    }
    void TearDown() override
    {
        VDev_SetLeftoverObserver(nullptr, nullptr);
        VDev_SetCard(nullptr, nullptr);
        KeyedCardTest::TearDown();
    }

    // Each exchange's areas as the driver gives them up, and whether the
    // card's work area was clear at that moment.
    struct left {
        bytes cmd, reply;
        bool workClear;
    };
    std::vector<left> leftovers;

    static void leftover(void* ctx, const uint8_t* cmd, unsigned cmdCap, const uint8_t* reply,
                         unsigned replyCap)
    {
        auto* self = static_cast<LeftoverTest*>(ctx);
        self->leftovers.push_back(
            {bytes(cmd, cmd + cmdCap), bytes(reply, reply + replyCap), all_zero(sWork, sizeof sWork)});
    }

    // Runs one action and checks that the secret travelled (so the search
    // would find it) and that nothing of it, nor anything else, is left.
    void expect_nothing_left(const std::function<void()>& action, const bytes& secret, bool inCommand)
    {
        log.clear();
        leftovers.clear();
        action();
        ASSERT_FALSE(log.empty());
        const exchange& x = log.back();
        EXPECT_TRUE(contains(inCommand ? x.cmd : x.reply, secret)) << "the secret never crossed";
        ASSERT_EQ(log.size(), leftovers.size());
        for (const left& l : leftovers) {
            EXPECT_EQ(VDEV_CMD_MAX, l.cmd.size());
            EXPECT_EQ(VDEV_REPLY_MAX, l.reply.size());
            EXPECT_FALSE(contains(l.cmd, secret));
            EXPECT_FALSE(contains(l.reply, secret));
            EXPECT_TRUE(all_zero(l.cmd.data(), l.cmd.size()));
            EXPECT_TRUE(all_zero(l.reply.data(), l.reply.size()));
            EXPECT_TRUE(l.workClear);
        }
        EXPECT_TRUE(all_zero(sWork, sizeof sWork));
    }
};

}  // namespace

TEST_F(LeftoverTest, PinExchangesLeaveNoPinBehind)
{
    const char* newPin = "Ruby-7391-hill";
    struct row {
        const char* name;
        bytes secret;
        std::function<void()> action;
    };
    const row rows[] = {
        {"right user PIN", text(DEFAULT_USER_PIN),
         [] {
             uint32_t tries = 0;
             EXPECT_EQ(0u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
         }},
        {"wrong PIN", text("Wrong-PIN-5521"),
         [] {
             uint32_t tries = 0;
             EXPECT_NE(0u, COS_VerifyPin(2, "Wrong-PIN-5521", &tries));
         }},
        {"PIN change", text(newPin),
         [&] { EXPECT_EQ(0u, COS_ModifyPin(2, DEFAULT_USER_PIN, newPin)); }},
        {"PIN change back", text(DEFAULT_USER_PIN),
         [&] { EXPECT_EQ(0u, COS_ModifyPin(2, newPin, DEFAULT_USER_PIN)); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        expect_nothing_left(r.action, r.secret, true);
    }
}

TEST_F(LeftoverTest, DecryptionLeavesNoPlaintextBehind)
{
    key_pair kp = install(1, 5);
    for (uint32_t m : {16u, 153u}) {
        SCOPED_TRACE(m);
        bytes msg = pattern(m, 0x5A);
        uint8_t cipher[300];
        int clen = sizeof cipher;
        ASSERT_EQ(0, SM2_Encrypt(kp.pub.data(), msg.data(), m, cipher, &clen));
        expect_nothing_left(
            [&] {
                uint8_t out[200];
                int len = sizeof out;
                ASSERT_EQ(0u, COS_SM2Decrypt(1, cipher, static_cast<uint32_t>(clen), out, &len));
                ASSERT_EQ(msg, bytes(out, out + len));
            },
            msg, false);
        // Too little room: the card has decrypted, the host refuses to copy.
        expect_nothing_left(
            [&] {
                uint8_t out[200];
                int len = 1;
                EXPECT_EQ(1018u, COS_SM2Decrypt(1, cipher, static_cast<uint32_t>(clen), out, &len));
            },
            msg, false);
    }
}

// A reply that is no card answer ends the exchange early: the areas are
// cleansed on that path too.
TEST_F(LeftoverTest, MalformedReplyPathLeavesNothing)
{
    static const bytes secret = pattern(40, 0x33);
    VDev_SetCard(
        [](void*, const uint8_t*, uint32_t, uint8_t* reply, uint32_t* replyLen) -> int32_t {
            memcpy(reply, secret.data(), secret.size());
            *replyLen = 1;   // shorter than a status word
            return 0;
        },
        nullptr);
    leftovers.clear();
    uint32_t tries = 0;
    EXPECT_NE(0u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
    ASSERT_EQ(1u, leftovers.size());
    EXPECT_TRUE(all_zero(leftovers[0].cmd.data(), leftovers[0].cmd.size()));
    EXPECT_TRUE(all_zero(leftovers[0].reply.data(), leftovers[0].reply.size()));
}
