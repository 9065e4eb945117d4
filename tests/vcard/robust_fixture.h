// Shared pieces of the robustness tests: a command exchange that checks only
// the invariants every command must keep (the call returns, the reply fits
// its area and ends with a status word, nothing is written past it), a fully
// personalised card to start from, and a seeded generator.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "tests/vcard/ins_fixture.h"
#include "vcard/InsDat.h"

namespace robust {


inline std::string HexOf(const Bytes& b, size_t max = 48)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", b[i]);
        s += buf;
    }
    if (b.size() > max)
        s += "...";
    return s + " (" + std::to_string(b.size()) + " bytes)";
}

// A status word the card may send for instruction ins: 9000, 9302 (a
// signature that does not verify), an error or warning word 61xx..6Fxx, and
// for the reset the 0000 of its re-initialisation.
inline bool PlausibleSw(uint16_t sw, uint8_t ins)
{
    return sw == 0x9000 || sw == 0x9302 || (sw >= 0x6100 && sw <= 0x6FFF) ||
           (sw == 0x0000 && ins == 0x02);
}

// Sends cmd through DAZI_IO and checks the invariants; `where` names the case
// (seed, row, step) in any failure. Returns the parsed reply.
inline Reply Exchange(const Bytes& cmd, const std::string& where)
{
    constexpr size_t AREA = DAZI_REPLY_MAX;
    uint8_t reply[AREA + 32];
    std::memset(reply, REPLY_SENTINEL, sizeof reply);
    uint32_t n = 0xDEADBEEF;
    const uint8_t* p = cmd.empty() ? reinterpret_cast<const uint8_t*>("") : cmd.data();
    int32_t r = DAZI_IO(p, uint32_t(cmd.size()), reply, &n);
    Reply out;
    const bool refused = cmd.empty() || cmd.size() > DAZI_CMD_MAX;
    if (refused) {
        EXPECT_EQ(r, 0x6A80) << where << " cmd " << HexOf(cmd);
        EXPECT_EQ(n, 0xDEADBEEFu) << where << " refused command set a reply length";
        for (size_t i = 0; i < sizeof reply; ++i)
            if (reply[i] != REPLY_SENTINEL) {
                ADD_FAILURE() << where << " refused command wrote reply byte " << i;
                break;
            }
        return out;
    }
    EXPECT_EQ(r, 0) << where << " cmd " << HexOf(cmd);
    if (n < 2 || n > AREA) {
        ADD_FAILURE() << where << " reply length " << n << " for cmd " << HexOf(cmd);
        return out;
    }
    for (size_t i = AREA; i < sizeof reply; ++i)
        if (reply[i] != REPLY_SENTINEL) {
            ADD_FAILURE() << where << " card wrote byte " << i << " beyond the reply area, cmd "
                          << HexOf(cmd);
            break;
        }
    out.sw = uint16_t(reply[n - 2] << 8 | reply[n - 1]);
    out.data.assign(reply, reply + n - 2);
    const uint8_t ins = cmd.size() > 1 ? cmd[1] : 0;
    EXPECT_TRUE(PlausibleSw(out.sw, ins)) << where << std::hex << " status " << out.sw
                                          << " for cmd " << HexOf(cmd);
    // An error word may carry Le bytes, but they are zeros: a refused
    // command never hands out data (a file read hands out the file's own).
    if (out.sw != 0x9000 && ins != 0xB0 && !out.data.empty() &&
        out.data != Bytes(out.data.size(), 0))
        ADD_FAILURE() << where << std::hex << " status " << out.sw << " carries data "
                      << HexOf(out.data) << " for cmd " << HexOf(cmd);
    return out;
}

// After any storm of commands the card still answers plain requests right:
// its serial number, and a SHA-1 that OpenSSL agrees with.
inline void ExpectCardAnswers(const std::string& where)
{
    Reply sn = Exchange(Apdu(0x00, 0x0A, 0, 0, {}, 12), where + " serial");
    EXPECT_EQ(sn.sw, 0x9000) << where;
    EXPECT_EQ(sn.data, Bytes(12, '1')) << where;
    // A hash stream the storm left open is finished first.
    Exchange(Apdu(0x00, 0x54, 3, 0, {0x00}, 20), where + " close stream");
    const Bytes msg = Text("the card still answers");
    Reply h = Exchange(Apdu(0x00, 0x54, 0, 0, msg, 20), where + " sha1");
    EXPECT_EQ(h.sw, 0x9000) << where;
    EXPECT_EQ(h.data, ins::Digest(EVP_sha1(), msg)) << where;
}

// Layout areas of the image; the gaps between them hold no data and must
// never be written.
struct Area {
    uint32_t from, to;
};
constexpr Area kGaps[] = {
    {FS_BITMAP_OFF + 4 * FS_BITMAP_WORDS, FS_PINCACHE_OFF},
    {FS_PINCACHE_OFF + FS_PINCACHE_SIZE, FS_DIR_OFF},
    {FS_DIR_OFF + 8 * FS_DIR_ENTRIES, FS_CHAIN_OFF},
    {FS_CHAIN_OFF + 4 * FS_SECTORS, FS_DATA_OFF},
};
constexpr uint32_t kImageSize = FS_MATRIX_OFF + FS_MATRIX_SIZE;   // whole layout

// The card wrote nothing beyond the layout and nothing into its gaps, which
// formatting left erased.
inline void ExpectLayoutKept(const TempImage& image, const std::string& where)
{
    const std::vector<uint8_t> img = image.Bytes();
    EXPECT_LE(img.size(), size_t(kImageSize)) << where << ": a write beyond the layout";
    for (const Area& gap : kGaps)
        for (uint32_t at = gap.from; at < gap.to && at < img.size(); ++at)
            if (img[at] != 0xFF) {
                ADD_FAILURE() << where << std::hex << ": write into the gap at 0x" << at;
                return;
            }
}

// A card in use: identity record, PINs verified, keys in slots 0..3 on four
// curves, inner secret created, a data file and a public record written, the
// PIN cache on, key-matrix elements generated and a session key held.
class Personalised : public ins::KeyCard {
protected:
    void SetUp() override
    {
        KeyCard::SetUp();
        if (HasFatalFailure())
            return;
        // Key records: MAC key, internal and external key, card SM4 key.
        Install(2, 1, 0, ins::RandomBytes(16));
        Install(6, 3, 0, ins::RandomBytes(16));
        Install(7, 4, 9, ins::RandomBytes(16));
        Install(11, 5, 0, ins::RandomBytes(16));
        LogIn();
        keys[0] = NewKey(0, 5);
        keys[1] = NewKey(1, 0);
        keys[2] = NewKey(2, 4);
        keys[3] = NewKey(3, 2);
        // Data file over four sectors, and a public record.
        ASSERT_EQ(SW(Apdu(0x80, 0xE0, 0x80, 0, Hex("80 00 00 00 00 00 2C 01"))), 0x9000);
        fileData = ins::RandomBytes(200);
        ASSERT_EQ(SW(Apdu(0x00, 0xD6, 0, 0, fileData)), 0x9000);
        ASSERT_EQ(SW(Apdu(0x80, 0xE0, 0x30, 0, Hex("30 00 00 00 00 00 80 00"))), 0x9000);
        ASSERT_EQ(SW(Apdu(0x00, 0xD6, 0, 0, ins::RandomBytes(100))), 0x9000);
        // PIN cache on for 30 days, from a known date.
        ASSERT_EQ(VerifyPin(2, UserPin(), 20240101), 0x9000);
        ASSERT_EQ(SW(Apdu(0x00, 0x80, 1, 30)), 0x9000);
        // Five matrix elements of curve 0 at index 0.
        ASSERT_EQ(Send(Apdu(0x80, 0x40, 0x00, 0x00, {}, 5 * 48 + 2)).sw, 0x9000);
        session = SessionKeyFromEnvelope();
        ASSERT_EQ(session.size(), 16u);
        // Pad the image to the whole layout, so that any write beyond it shows
        // as growth.
        std::vector<uint8_t> all = image.Bytes();
        ASSERT_LE(all.size(), kImageSize);
        all.resize(kImageSize, 0xFF);
        image.Store(all);
        snapshot = all;
    }

    // Back to the personalised image and state: PINs verified (which loads
    // the inner key) and a session key.
    void Restore()
    {
        image.Store(snapshot);
        InitCosSys();
        LogIn();
        session = SessionKeyFromEnvelope();
    }

    Key keys[4];
    Bytes fileData;
    Bytes session;
    std::vector<uint8_t> snapshot;
};

}  // namespace robust
