// Every card command against a card that answers nonsense: a stand-in card
// replies with random bytes of every length from 0 to 258 (and claims of
// more), with a success status word or a random one. No command may write
// past the room its caller gave (guard bytes follow every output buffer),
// report more than that room on success, or take an answer the driver
// refused. Random cases print their seeds (fixed unless TARN_TEST_SEED is
// set) and name the seed and case.
#include <functional>
#include <random>
#include <string>

#include "cardapi_fixture.h"
#include "common/test_seed.h"
#include "smcrypto/ecurve.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardLen = 32;
constexpr uint8_t kUntouched = 0x3C;

// An output buffer of room bytes, filled with a marker, followed by guard
// bytes.
struct Guarded {
    explicit Guarded(size_t room) : room(room), b(room + kGuardLen, kGuard)
    {
        std::fill(b.begin(), b.begin() + static_cast<long>(room), kUntouched);
    }
    uint8_t* data() { return b.data(); }
    char* text() { return reinterpret_cast<char*>(b.data()); }
    bool intact() const
    {
        for (size_t i = room; i < b.size(); ++i)
            if (b[i] != kGuard) return false;
        return true;
    }
    bool untouched() const
    {
        for (size_t i = 0; i < room; ++i)
            if (b[i] != kUntouched) return false;
        return true;
    }
    size_t room;
    bytes b;
};

// The stand-in card: each command gets claimLen reply bytes (at most the
// reply area is written), random data, and a status word that is 0x9000
// when ok is set and random otherwise.
struct FakeCard {
    std::mt19937 rng{1};
    uint32_t claimLen = 2;
    bool ok = true;
    int32_t io = 0;
    unsigned calls = 0;

    static int32_t answer(void* ctx, const uint8_t*, uint32_t, uint8_t* reply, uint32_t* replyLen)
    {
        auto* self = static_cast<FakeCard*>(ctx);
        ++self->calls;
        uint32_t n = self->claimLen < VDEV_REPLY_MAX ? self->claimLen : VDEV_REPLY_MAX;
        for (uint32_t i = 0; i < n; ++i) reply[i] = static_cast<uint8_t>(self->rng());
        if (self->ok && self->claimLen >= 2 && self->claimLen <= VDEV_REPLY_MAX) {
            reply[self->claimLen - 2] = 0x90;
            reply[self->claimLen - 1] = 0x00;
        }
        *replyLen = self->claimLen;
        return self->io;
    }
};

class RobustCard : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        VDev_SetCard(&FakeCard::answer, &card);
    }
    void TearDown() override
    {
        VDev_SetCard(nullptr, nullptr);
        CardTest::TearDown();
    }
    FakeCard card;
};

// One command with an output of a stated room. The call returns the status
// and, when the command reports a length, that length (else -1).
struct Outcome {
    uint32_t st;
    long len;
};
struct Row {
    const char* name;
    size_t room;
    std::function<Outcome(uint8_t* out)> call;
};

const bytes kIn = pattern(256, 7);
uint16_t kIndices[36] = {1, 2, 3, 4, 5, 6, 7, 8};

// Rows for every command that hands back data, with a spread of rooms.
std::vector<Row> output_rows()
{
    std::vector<Row> rows;
    for (uint32_t room : {0u, 1u, 31u, 32u, 33u, 64u, 255u, 600u}) {
        rows.push_back({"GetSn", room, [room](uint8_t* o) {
                            uint32_t len = room;
                            uint32_t st = COS_GetSn(reinterpret_cast<char*>(o), &len);
                            return Outcome{st, static_cast<long>(len)};
                        }});
    }
    for (int room : {0, 1, 16, 127, 128, 129, 255, 256}) {
        rows.push_back({"GetVersion", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_GetVersion(o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"InnerAuth", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_InnerAuth(kIn.data(), 16, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"Get_EId", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_Get_EId(o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"Get_rE", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_Get_rE(o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"SM2Encrypt", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_SM2Encrypt(kIn.data(), kIn.data() + 64, 40, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"SM2Decrypt", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_SM2Decrypt(0, kIn.data(), 140, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"SM4Decrypt", static_cast<size_t>(room), [room](uint8_t* o) {
                            int len = room;
                            uint32_t st = COS_SM4Decrypt(1, kIn.data(), 64, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"SM4Encrypt", static_cast<size_t>(room), [room](uint8_t* o) {
                            uint32_t len = static_cast<uint32_t>(room);
                            uint32_t st = COS_SM4Encrypt(1, kIn.data(), 40, o, &len);
                            return Outcome{st, static_cast<long>(len)};
                        }});
    }
    for (uint16_t room : {0, 1, 127, 128, 129, 300}) {
        rows.push_back({"ReadFile", room, [room](uint8_t* o) {
                            uint16_t len = room;
                            return Outcome{COS_ReadFile(o, &len), -1};
                        }});
        rows.push_back({"ReadPubKey", room, [room](uint8_t* o) {
                            uint16_t len = room;
                            uint32_t st = COS_ReadPubKey(3, o, &len);
                            return Outcome{st, len};
                        }});
    }
    for (uint8_t room : {0, 1, 20, 63, 64, 65, 200, 255}) {
        rows.push_back({"Gen_Matrix", room, [room](uint8_t* o) {
                            uint8_t len = room;
                            uint32_t st = COS_Gen_Matrix(4, 3, 2, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"Export_Matrix", room, [room](uint8_t* o) {
                            uint8_t len = room;
                            uint32_t st = COS_Export_Matrix(4, 3, 2, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"Cal_isk", room, [room](uint8_t* o) {
                            uint8_t len = room;
                            uint32_t st = COS_Cal_isk(4, kIndices, 8, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"ECDSA", room, [room](uint8_t* o) {
                            uint8_t len = room;
                            uint32_t st = COS_ECDSA(1, kIn.data(), 32, o, &len);
                            return Outcome{st, len};
                        }});
        rows.push_back({"SM2Sign", room, [room](uint8_t* o) {
                            uint8_t len = room;
                            uint32_t st = COS_SM2Sign(1, kIn.data(), o, &len);
                            return Outcome{st, len};
                        }});
    }
    for (uint8_t n : {0, 1, 16, 255}) {
        rows.push_back({"GetRandom", n, [n](uint8_t* o) { return Outcome{COS_GetRandom(o, n), -1}; }});
    }
    for (uint8_t t = 0; t < 7; ++t) {
        const size_t L = ecurve_param_len(t);
        rows.push_back({"ApplyPriKey", 2 * L + 2, [t](uint8_t* o) { return Outcome{COS_ApplyPriKey(t, kIn.data(), o), -1}; }});
        rows.push_back({"Gen_DE", 2 * L + 2, [t](uint8_t* o) { return Outcome{COS_Gen_DE(t, kIn.data(), o), -1}; }});
        if (L)
            rows.push_back({"Open_DE", 2 * L, [L](uint8_t* o) {
                                return Outcome{COS_Open_DE(1, 2, kIn.data(), static_cast<uint32_t>(L), o), -1};
                            }});
    }
    for (uint8_t n : {0, 1, 32, 64}) {
        rows.push_back({"ECDH", n, [n](uint8_t* o) { return Outcome{COS_ECDH(2, 0, kIn.data(), n, o), -1}; }});
    }
    for (uint8_t cap : {20, 32, 64, 255}) {
        for (uint16_t len : {1, 128, 129, 300}) {
            rows.push_back({"SHA1", cap, [cap, len](uint8_t* o) {
                                bytes d = pattern(len, 3);
                                return Outcome{COS_SHA1(d.data(), len, o, cap), -1};
                            }});
            rows.push_back({"SM3", cap, [cap, len](uint8_t* o) {
                                bytes d = pattern(len, 3);
                                return Outcome{COS_SM3(d.data(), len, o, cap), -1};
                            }});
        }
    }
    return rows;
}

// Commands that answer a status only (and a length or a tries count).
std::vector<std::pair<const char*, std::function<uint32_t()>>> status_rows()
{
    static uint32_t tries;
    static uint16_t u16;
    return {
        {"VerifyPin", [] { return COS_VerifyPin(2, "12345678", &tries); }},
        {"SetCachePin", [] { return COS_SetCachePin(1, 7); }},
        {"AutoVerify", [] { return COS_AutoVerify(); }},
        {"Reset", [] { return COS_Reset(); }},
        {"ModifyPin", [] { return COS_ModifyPin(2, "12345678", "87654321"); }},
        {"ReloadPin", [] { return COS_ReloadPin(1, "12345678"); }},
        {"UnlockPin", [] { return COS_UnlockPin(2); }},
        {"ExtAuth", [] { return COS_ExtAuth(1, kIn.data(), 16); }},
        {"Block", [] { return COS_Block(kIn.data(), 4); }},
        {"CreateFile", [] { return COS_CreateFile(0x81, 4096); }},
        {"SelectFile", [] { return COS_SelectFile(0x81, &u16); }},
        {"WriteFile", [] { return COS_WriteFile(kIn.data(), 200); }},
        {"DeleteFile", [] { return COS_DeleteFile(0x81); }},
        {"Import_Matrix", [] { return COS_Import_Matrix(4, 1, kIn.data(), 251); }},
        {"WritePriKey", [] { return COS_WritePriKey(0x41, 1, kIn.data(), 34); }},
        {"WritePubKey", [] { return COS_WritePubKey(1, kIn.data(), 128); }},
        {"WriteKeyId", [] { return COS_WriteKeyId(1, kIn.data(), 64); }},
        {"VECDSA", [] { return COS_VECDSA(4, kIn.data(), 32, kIn.data(), kIn.data() + 64); }},
        {"SM2Verify", [] { return COS_SM2Verify(kIn.data(), kIn.data() + 32, kIn.data() + 96); }},
        {"Restore_rG", [] { return COS_Restore_rG(kIn.data(), "12345678"); }},
    };
}

}  // namespace

// The driver takes a reply of 2 to 257 bytes only; any other length, and a
// failing card call, leave an empty answer in the frame (never the command
// data sent).
TEST_F(RobustCard, ReplyLengthsOutsideTheCardRangeRefused)
{
    TARN_SEED(seed, 1);
    card.rng.seed(seed);
    for (uint32_t claim : {0u, 1u, 258u, 259u, 300u, 100000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("reply of " + std::to_string(claim));
        card.claimLen = claim;
        _apdu_frame_ f;
        EXPECT_EQ(raw(f, 0x00, 0x88, 0x00, 0x00, pattern(16, 1), 16),
                  static_cast<uint32_t>(ST_WRONG_DATA));
        EXPECT_EQ(f.Le, 0);
        EXPECT_EQ(f.Lc, 16);
        EXPECT_EQ(bytes(f.data, f.data + 256), bytes(256, 0));
    }
    for (uint32_t claim = 2; claim <= 257; ++claim) {
        card.claimLen = claim;
        _apdu_frame_ f;
        ASSERT_EQ(raw(f, 0x00, 0x84, 0x00, 0x00, {}, 8), 0u) << claim;
        ASSERT_EQ(f.Le, claim - 2);
    }
    card.claimLen = 10;
    card.io = 0x6A80;
    _apdu_frame_ f;
    EXPECT_EQ(raw(f, 0x00, 0x88, 0x00, 0x00, pattern(16, 1), 16), 0x6A80u);
    EXPECT_EQ(f.Le, 0);
    EXPECT_EQ(bytes(f.data, f.data + 256), bytes(256, 0));
}

// Every data command, every reply length and both kinds of status word:
// nothing past the room, no success reporting more than the room, and a
// refused reply writes nothing.
TEST_F(RobustCard, RandomRepliesOfEveryLength)
{
    TARN_SEED(seed, 5150);
    card.rng.seed(seed);
    const std::vector<Row> rows = output_rows();
    for (const Row& r : rows) {
        for (uint32_t claim = 0; claim <= 259; ++claim) {
            for (bool ok : {true, false}) {
                card.claimLen = claim;
                card.ok = ok;
                Guarded out(r.room);
                const unsigned before = card.calls;
                Outcome o = r.call(out.data());
                const bool sent = card.calls != before;
                SCOPED_TRACE(std::string(r.name) + " room " + std::to_string(r.room) + " reply " +
                             std::to_string(claim) + (ok ? " 9000" : " random SW") + " seed " +
                             std::to_string(seed) + " status " + std::to_string(o.st));
                ASSERT_TRUE(out.intact());
                if (o.st == 0 && o.len >= 0) {
                    ASSERT_LE(static_cast<size_t>(o.len), r.room);
                }
                if (sent && (claim < 2 || claim > 257)) {
                    ASSERT_NE(o.st, 0u);
                    ASSERT_TRUE(out.untouched());
                }
            }
        }
    }
}

// Commands without data answers take any reply without harm.
TEST_F(RobustCard, StatusCommandsTakeAnyReply)
{
    TARN_SEED(seed, 8086);
    card.rng.seed(seed);
    for (const auto& r : status_rows()) {
        for (uint32_t claim = 0; claim <= 259; claim += 1) {
            card.claimLen = claim;
            card.ok = claim & 1;
            uint32_t st = r.second();
            if (claim < 2 || claim > 257) {
                EXPECT_NE(st, 0u) << r.first << " reply " << claim;
            }
        }
    }
}

// The commands that read their answer whatever the status, with no device
// open: 2003, and the command's own data (digest, point, input, message) is
// not handed back as the answer.
TEST(RobustNoDevice, NothingWrittenBack)
{
    ASSERT_EQ(m_iType, -1);
    const bytes d = pattern(256, 9);
    struct Case {
        const char* name;
        size_t room;
        std::function<uint32_t(uint8_t*)> call;
    } cases[] = {
        {"ECDSA", 32, [&](uint8_t* o) { uint8_t len = 32; return COS_ECDSA(1, d.data(), 32, o, &len); }},
        {"SM2Sign", 64, [&](uint8_t* o) { uint8_t len = 64; return COS_SM2Sign(1, d.data(), o, &len); }},
        {"Gen_DE", 66, [&](uint8_t* o) { return COS_Gen_DE(4, d.data(), o); }},
        {"Open_DE", 64, [&](uint8_t* o) { return COS_Open_DE(1, 2, d.data(), 32, o); }},
        {"ECDH", 64, [&](uint8_t* o) { return COS_ECDH(2, 5, d.data(), 64, o); }},
        {"SHA1", 20, [&](uint8_t* o) { return COS_SHA1(d.data(), 64, o, 20); }},
        {"SM3", 32, [&](uint8_t* o) { return COS_SM3(d.data(), 64, o, 32); }},
    };
    for (const Case& c : cases) {
        Guarded out(c.room);
        EXPECT_EQ(c.call(out.data()), static_cast<uint32_t>(ST_NO_DEVICE)) << c.name;
        EXPECT_TRUE(out.untouched()) << c.name;
        EXPECT_TRUE(out.intact()) << c.name;
    }
}

// SM4 encryption writes back the length the card answered whatever the
// status; a command that was never sent answered nothing.
TEST(RobustNoDevice, Sm4EncryptAnswersNoLength)
{
    ASSERT_EQ(m_iType, -1);
    const bytes msg = pattern(40, 3);
    for (uint8_t selector : {0, 1}) {
        Guarded out(64);
        uint32_t len = 64;
        EXPECT_EQ(COS_SM4Encrypt(selector, msg.data(), 40, out.data(), &len),
                  static_cast<uint32_t>(ST_NO_DEVICE))
            << "selector " << int(selector);
        EXPECT_EQ(len, 0u) << "selector " << int(selector);
        EXPECT_TRUE(out.untouched()) << "selector " << int(selector);
        EXPECT_TRUE(out.intact()) << "selector " << int(selector);
    }
}
