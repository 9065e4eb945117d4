// The command that every card command puts on the wire, byte for byte:
// header, Lc and data, Le, and for the key-slot sequences every command of
// the sequence. A stand-in card answers each command with the same few
// bytes and 0x9000, so that only the host side decides what is sent.
#include <functional>

#include "cardapi/cos_frame.h"
#include "cardapi_fixture.h"

namespace {

// Header, then Lc and the data when there is data, then Le when it is set.
bytes cmd(std::initializer_list<uint8_t> header, const bytes& data = {}, uint8_t le = 0)
{
    bytes c(header);
    if (!data.empty()) {
        c.push_back(static_cast<uint8_t>(data.size()));
        c.insert(c.end(), data.begin(), data.end());
    }
    if (le) c.push_back(le);
    return c;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes slice(const bytes& b, size_t from, size_t n) { return bytes(b.begin() + from, b.begin() + from + n); }

bytes text(const char* s) { return bytes(s, s + strlen(s)); }

// The date value that travels with a PIN verification: yyyymmdd, least
// significant byte first.
bytes date()
{
    uint32_t v = cosapi::GetCurDate();
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

struct StandIn {
    bytes answer;  // reply data of every command

    static int32_t reply(void* ctx, const uint8_t*, uint32_t, uint8_t* r, uint32_t* n)
    {
        auto* self = static_cast<StandIn*>(ctx);
        if (!self->answer.empty()) memcpy(r, self->answer.data(), self->answer.size());
        r[self->answer.size()] = 0x90;
        r[self->answer.size() + 1] = 0x00;
        *n = static_cast<uint32_t>(self->answer.size() + 2);
        return 0;
    }
};

class FrameTest : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        VDev_SetCard(&StandIn::reply, &card);
    }
    void TearDown() override
    {
        VDev_SetCard(nullptr, nullptr);
        CardTest::TearDown();
    }
    StandIn card;
};

using cmds = std::vector<bytes>;

const bytes D = pattern(256, 7);
uint8_t out[512];

struct frame_row {
    const char* name;
    std::function<void()> call;
    // Built after the call, so that the date is the one that was sent.
    std::function<cmds()> expect;
    bytes answer = {};
};

std::vector<frame_row> frame_rows()
{
    static uint32_t u32;
    static int i32;
    static uint16_t u16;
    static uint8_t u8;
    static char sn[64];
    static const uint16_t indices[2] = {0x0001, 0x0123};
    return {
        // Device, PINs, authentication.
        {"GetSn", [] { u32 = sizeof sn; COS_GetSn(sn, &u32); },
         [] { return cmds{cmd({0x00, 0x0A, 0x00, 0x00}, {}, 0x10)}; }},
        {"VerifyPin type 1", [] { COS_VerifyPin(1, "PIN-ONE!", &u32); },
         [] { return cmds{cmd({0x00, 0x20, 0x04, 0x02}, cat({text("PIN-ONE!"), date()}))}; }},
        {"SetCachePin on", [] { COS_SetCachePin(1, 255); }, [] { return cmds{cmd({0x00, 0x80, 0x01, 0xFF})}; }},
        {"SetCachePin off", [] { COS_SetCachePin(0, 5); }, [] { return cmds{cmd({0x00, 0x80, 0x00, 0x00})}; }},
        {"AutoVerify", [] { COS_AutoVerify(); }, [] { return cmds{cmd({0x00, 0x21, 0x00, 0x00}, date())}; }},
        {"Reset", [] { COS_Reset(); }, [] { return cmds{cmd({0x00, 0x06, 0x00, 0x00}, {}, 0x10)}; }},
        {"GetVersion", [] { i32 = 200; COS_GetVersion(out, &i32); },
         [] { return cmds{cmd({0x00, 0x0C, 0x00, 0x00}, {}, 0x80)}; }},
        {"ModifyPin", [] { COS_ModifyPin(0, "OLDPIN-01", "NEWPIN-0002"); },
         [] { return cmds{cmd({0x00, 0x5E, 9, 0x01}, text("OLDPIN-01NEWPIN-0002"))}; }},
        {"ReloadPin", [] { COS_ReloadPin(2, "RELOAD-8"); },
         [] { return cmds{cmd({0x80, 0x5C, 0x00, 0x03}, text("RELOAD-8"))}; }},
        {"UnlockPin", [] { COS_UnlockPin(1); }, [] { return cmds{cmd({0x80, 0x24, 0x00, 0x02})}; }},
        {"GetRandom", [] { COS_GetRandom(out, 20); }, [] { return cmds{cmd({0x00, 0x84, 0x00, 0x00}, {}, 20)}; }},
        {"InnerAuth", [] { i32 = 16; COS_InnerAuth(D.data(), 16, out, &i32); },
         [] { return cmds{cmd({0x00, 0x88, 0x00, 0x00}, slice(D, 0, 16), 0x10)}; }},
        {"ExtAuth zero-filled", [] { COS_ExtAuth(3, D.data(), 5); },
         [] { return cmds{cmd({0x00, 0x82, 0x00, 0x03}, cat({slice(D, 0, 5), bytes(11, 0)}))}; }},
        {"Block", [] { COS_Block(D.data(), 4); },
         [] { return cmds{cmd({0x84, 0x16, 0x00, 0x00}, slice(D, 0, 4))}; }},
        // Files.
        {"CreateFile", [] { COS_CreateFile(0x81, 0x0123); },
         [] { return cmds{cmd({0x80, 0xE0, 0x81, 0x00}, {0x81, 0, 0, 0, 0, 0, 0x23, 0x01})}; }},
        {"SelectFile", [] { COS_SelectFile(0x30, &u16); },
         [] { return cmds{cmd({0x00, 0xA4, 0x30, 0x00}, {}, 2)}; }},
        {"WriteFile in chunks", [] { COS_WriteFile(D.data(), 130); },
         [] {
             return cmds{cmd({0x00, 0xD6, 0x00, 0x00}, slice(D, 0, 128)),
                                       cmd({0x00, 0xD6, 0x00, 0x80}, slice(D, 128, 2))};
         }},
        // The stand-in takes every update, so the first question answers.
        {"FileHasRoom", [] { COS_FileHasRoom(300); },
         [] { return cmds{cmd({0x00, 0xD6, 0x0F, 0x06}, bytes(251, 0))}; }},
        {"ReadFile in chunks", [] { u16 = 130; COS_ReadFile(out, &u16); },
         [] { return cmds{cmd({0x00, 0xB0, 0x00, 0x00}, {}, 128), cmd({0x00, 0xB0, 0x00, 0x80}, {}, 2)}; }},
        {"DeleteFile", [] { COS_DeleteFile(0x55); }, [] { return cmds{cmd({0x00, 0xE4, 0x55, 0x00})}; }},
        // Key matrix, private keys and key slots.
        {"Gen_Matrix", [] { u8 = 255; COS_Gen_Matrix(5, 0x123, 1, out, &u8); },
         [] { return cmds{cmd({0x80, 0x40, 0x51, 0x23}, {}, 66)}; }},
        {"Export_Matrix curve 4", [] { u8 = 255; COS_Export_Matrix(4, 0xABC, 3, out, &u8); },
         [] { return cmds{cmd({0x80, 0x42, 0x4A, 0xBC}, {}, 98)}; }},
        {"Import_Matrix", [] { COS_Import_Matrix(4, 0x001, D.data(), 34); },
         [] { return cmds{cmd({0x80, 0x44, 0x40, 0x01}, slice(D, 0, 34))}; }},
        {"Cal_isk", [] { u8 = 32; COS_Cal_isk(5, indices, 2, out, &u8); },
         [] { return cmds{cmd({0x80, 0x46, 0x05, 0x00}, {0x01, 0x00, 0x23, 0x01}, 32)}; }},
        {"ApplyPriKey", [] { COS_ApplyPriKey(0, D.data(), out); },
         [] { return cmds{cmd({0x80, 0x4A, 0x00, 0x00}, slice(D, 0, 48), 50)}; }},
        {"WritePriKey", [] { COS_WritePriKey(0x41, 3, D.data(), 34); },
         [] { return cmds{cmd({0x80, 0x48, 0x13, 0x41}, slice(D, 0, 34))}; }},
        {"WritePubKey", [] { COS_WritePubKey(2, D.data(), 5); },
         [] {
             return cmds{cmd({0x00, 0xA4, 0x32, 0x00}, {}, 2), cmd({0x00, 0xE4, 0x32, 0x00}),
                                       cmd({0x80, 0xE0, 0x32, 0x00}, {0x32, 0, 0, 0, 0, 0, 0x80, 0x00}),
                                       cmd({0x00, 0xD6, 0x00, 0x00}, slice(D, 0, 5))};
         }},
        {"WriteKeyId", [] { COS_WriteKeyId(15, D.data(), 3); },
         [] {
             return cmds{cmd({0x00, 0xA4, 0x5F, 0x00}, {}, 2), cmd({0x00, 0xE4, 0x5F, 0x00}),
                                       cmd({0x80, 0xE0, 0x5F, 0x00}, {0x5F, 0, 0, 0, 0, 0, 0x40, 0x00}),
                                       cmd({0x00, 0xD6, 0x00, 0x00}, slice(D, 0, 3))};
         }},
        {"ReadPubKey", [] { u16 = 128; COS_ReadPubKey(4, out, &u16); },
         [] { return cmds{cmd({0x00, 0xA4, 0x34, 0x00}, {}, 2), cmd({0x00, 0xB0, 0x00, 0x00}, {}, 5)}; },
         {0x00, 0x05}},
        // Elliptic-curve commands.
        {"ECDSA", [] { u8 = 48; COS_ECDSA(7, D.data(), 20, out, &u8); },
         [] { return cmds{cmd({0x80, 0xC2, 0x17, 0x00}, slice(D, 0, 20), 48)}; }},
        {"VECDSA", [] { COS_VECDSA(1, D.data(), 20, D.data() + 20, D.data() + 36); },
         [] { return cmds{cmd({0x80, 0xC4, 20, 0x01}, slice(D, 0, 52))}; }},
        {"Gen_DE", [] { COS_Gen_DE(2, D.data(), out); },
         [] { return cmds{cmd({0x80, 0xC6, 0x02, 0x00}, slice(D, 0, 28), 30)}; }},
        {"Open_DE give", [] { COS_Open_DE(1, 9, D.data(), 20, out); },
         [] { return cmds{cmd({0x80, 0xC8, 0x19, 0x01}, slice(D, 0, 42), 40)}; }},
        {"Open_DE keep", [] { COS_Open_DE(0, 0, D.data(), 24, nullptr); },
         [] { return cmds{cmd({0x80, 0xC8, 0x10, 0x00}, slice(D, 0, 50))}; }},
        {"ECDH", [] { COS_ECDH(4, 3, D.data(), 40, out); },
         [] { return cmds{cmd({0x80, 0xCC, 0x14, 0x03}, slice(D, 0, 40), 40)}; }},
        {"ECDH curve 0", [] { COS_ECDH(4, D.data(), 48, out); },
         [] { return cmds{cmd({0x80, 0xCC, 0x14, 0x00}, slice(D, 0, 48), 48)}; }},
        // SM2.
        {"SM2Sign", [] { u8 = 64; COS_SM2Sign(1, D.data(), out, &u8); },
         [] { return cmds{cmd({0x80, 0x70, 0x11, 0x00}, slice(D, 0, 32), 64)}; }},
        {"SM2Verify", [] { COS_SM2Verify(D.data(), D.data() + 32, D.data() + 96); },
         [] { return cmds{cmd({0x80, 0x72, 0x20, 0x40}, slice(D, 0, 160))}; }},
        {"SM2Encrypt", [] { i32 = 255; COS_SM2Encrypt(D.data(), D.data() + 64, 10, out, &i32); },
         [] { return cmds{cmd({0x80, 0x74, 0x40, 0x00}, slice(D, 0, 74), 107)}; }},
        {"SM2Decrypt", [] { i32 = 255; COS_SM2Decrypt(1, D.data(), 120, out, &i32); },
         [] { return cmds{cmd({0x80, 0x76, 0x11, 0x00}, slice(D, 0, 120), 23)}; }},
        // Recovery and identity.
        {"Get_EId", [] { i32 = 64; COS_Get_EId(out, &i32); },
         [] { return cmds{cmd({0x00, 0x3A, 0x00, 0x00}, {}, 0x40)}; }},
        {"Get_rE", [] { i32 = 70; COS_Get_rE(out, &i32); },
         [] { return cmds{cmd({0x00, 0x36, 0x00, 0x00}, {}, 0x46)}; }},
        {"Restore_rG", [] { COS_Restore_rG(D.data(), "RESTORE-9"); },
         [] { return cmds{cmd({0x00, 0x38, 0x00, 0x00}, cat({slice(D, 0, 48), text("RESTORE-9")}))}; }},
        // Symmetric and hash.
        {"SM4Encrypt", [] { u32 = 64; COS_SM4Encrypt(1, D.data(), 5, out, &u32); },
         [] {
             return cmds{cmd({0x00, 0x50, 0x01, 0x00}, cat({{5}, slice(D, 0, 5), {0x80}, bytes(9, 0)}), 16)};
         }},
        {"SM4Decrypt", [] { i32 = 64; COS_SM4Decrypt(0, D.data(), 32, out, &i32); },
         [] { return cmds{cmd({0x00, 0x52, 0x00, 0x00}, slice(D, 0, 32), 32)}; }},
        {"SHA1 in parts", [] { COS_SHA1(D.data(), 130, out, 20); },
         [] {
             return cmds{cmd({0x00, 0x54, 0x01, 0x00}, slice(D, 0, 128)),
                                       cmd({0x00, 0x54, 0x03, 0x00}, slice(D, 128, 2), 20)};
         }},
        {"SM3 single", [] { COS_SM3(D.data(), 10, out, 32); },
         [] { return cmds{cmd({0x00, 0x56, 0x00, 0x00}, slice(D, 0, 10), 32)}; }},
    };
}

}  // namespace

TEST_F(FrameTest, EveryCommandOnTheWire)
{
    for (const frame_row& r : frame_rows()) {
        card.answer = r.answer;
        log.clear();
        r.call();
        cmds sent;
        for (const exchange& e : log) sent.push_back(e.cmd);
        EXPECT_EQ(r.expect(), sent) << r.name;
    }
}
