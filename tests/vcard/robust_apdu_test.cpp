// Seeded command storms against every row of the instruction table, on a
// blank card and on a personalised one: random and boundary parameters and
// lengths, both short and extended shapes, truncated and overlong commands.
// Only invariants are checked (see robust_fixture.h); afterwards the card
// must still answer plain commands correctly.
#include "tests/vcard/robust_fixture.h"
#include "common/test_seed.h"

namespace robust {
namespace {

using Rng = std::mt19937;

uint8_t Byte(Rng& rng) { return uint8_t(rng()); }
uint32_t Below(Rng& rng, uint32_t n) { return rng() % n; }

// A value near the bounds of a row's bound word (minimum low byte, maximum
// next byte), or any byte.
uint8_t NearBounds(Rng& rng, uint32_t word)
{
    const int lo = int(word & 0xFF), hi = int((word >> 8) & 0xFF);
    const int picks[] = {lo - 1, lo, lo + 1, hi - 1, hi, hi + 1, 0, 0xFF};
    if (Below(rng, 4) == 0)
        return Byte(rng);
    return uint8_t(picks[Below(rng, sizeof picks / sizeof picks[0])]);
}

Bytes Random(Rng& rng, size_t n)
{
    Bytes b(n);
    for (auto& x : b)
        x = Byte(rng);
    return b;
}

// Data for row d: random, or for the service instructions often the right
// access code, so that the storm reaches their handlers.
Bytes Data(Rng& rng, const _ins_dat_& d, size_t n, bool allowReset)
{
    Bytes b = Random(rng, n);
    const bool code = (d.INS == 0x08 || (d.INS == 0x02 && allowReset)) && n >= ACCESS_CODE_LEN &&
                      Below(rng, 2) == 0;
    if (code) {
        Bytes c = d.INS == 0x08 ? DebugCode() : ResetCode();
        std::copy(c.begin(), c.end(), b.begin());
    }
    return b;
}

// A parameter of row d: mostly inside the row's flagged range (so that the
// command gets past the dispatcher), otherwise near or beyond its bounds.
uint8_t Param(Rng& rng, uint32_t word, uint8_t flags, uint8_t minFlag, uint8_t maxFlag)
{
    if (Below(rng, 3) == 0)
        return NearBounds(rng, word);
    uint32_t lo = (flags & minFlag) ? (word & 0xFF) : 0;
    uint32_t hi = (flags & maxFlag) ? ((word >> 8) & 0xFF) : 0xFF;
    if (lo > hi)
        std::swap(lo, hi);
    return uint8_t(lo + Below(rng, hi - lo + 1));
}

// Points on the table's curves (X || Y): 2G, 3G and 4G, made once.
const std::vector<Bytes>& PointsOf(uint8_t curve)
{
    static std::vector<Bytes> points[6];
    if (points[curve].empty()) {
        ins::HostCurve c(curve);
        for (uint8_t k = 2; k <= 4; ++k) {
            Bytes scalar(c.L, 0);
            scalar.back() = k;
            points[curve].push_back(c.Mul(scalar));
        }
    }
    return points[curve];
}

// Data that gets row d past its content checks now and then: points on the
// curve the command names, a default PIN, the service access codes.
bool Meaningful(Rng& rng, const _ins_dat_& d, bool allowReset, Bytes& c)
{
    const uint8_t L5 = 32;
    auto point = [&](uint8_t curve) { return PointsOf(curve)[Below(rng, 3)]; };
    switch (d.INS) {
    case 0x02:
        if (!allowReset)
            return false;
        c = Apdu(0x00, 0x02, 0, 0, ResetCode());
        return true;
    case 0x08:
        c = Apdu(0x00, 0x08, Byte(rng), Byte(rng), DebugCode(), Byte(rng));
        return true;
    case 0x20: {
        uint8_t type = uint8_t(Below(rng, 3));
        Bytes pin(DEFAULT_PIN_LEN);
        BuildDefaultPin(type, pin.data());
        c = Apdu(0x00, 0x20, 0, uint8_t(type + 1), pin);
        return true;
    }
    case 0xC6: {
        uint8_t curve = uint8_t(Below(rng, 6));
        Bytes q = point(curve);
        c = Apdu(0x80, 0xC6, curve, 0, q, int(q.size() + 2));
        return true;
    }
    case 0x4A:
        c = Apdu(0x80, 0x4A, 0, 0, point(0), 50);
        return true;
    case 0xCC: {
        uint8_t curve = uint8_t(Below(rng, 6));
        Bytes q = point(curve);
        c = Apdu(0x80, 0xCC, uint8_t(0x10 + Below(rng, 5)), curve, q, int(q.size()));
        return true;
    }
    case 0xC8: {
        uint8_t curve = uint8_t(Below(rng, 6));
        uint8_t p2 = uint8_t(Below(rng, 2));
        Bytes q = Cat(point(curve), Random(rng, 2));
        c = Apdu(0x80, 0xC8, uint8_t(0x10 + Below(rng, 5)), p2, q, p2 ? int(q.size() - 2) : -1);
        return true;
    }
    case 0xC4: {
        uint8_t curve = uint8_t(Below(rng, 6));
        uint8_t dl = uint8_t(20 + Below(rng, 13));
        const uint8_t L = ins::FieldLen(curve);
        Bytes body = Cat(Random(rng, dl + 2u * L), point(curve));
        c = Apdu(0x80, 0xC4, dl, curve, body);
        return true;
    }
    case 0x72:
        c = Apdu(0x80, 0x72, 0x20, 0x40, Cat(Cat(Random(rng, 32), point(5)), Random(rng, 64)));
        return true;
    case 0x74: {
        Bytes body = Cat(point(5), Random(rng, 1 + Below(rng, 158)));
        c = Apdu(0x80, 0x74, 0x40, 0, body, int(body.size() - 64 + 97));
        return true;
    }
    case 0x76: {
        Bytes body = Cat(Cat({0x04}, point(5)), Random(rng, L5 + 1 + Below(rng, 100)));
        c = Apdu(0x80, 0x76, uint8_t(0x10 + Below(rng, 5)), 0, body, int(body.size() - 97));
        return true;
    }
    case 0x0E: {
        static const uint8_t types[12] = {0, 0, 1, 2, 2, 2, 3, 4, 4, 4, 4, 5};
        uint8_t no = uint8_t(1 + Below(rng, 11));
        c = Apdu(0x00, 0x0E, no, types[no], KeyRecord(no, types[no], uint8_t(Below(rng, 16)),
                                                     uint8_t(Below(rng, 6)), Random(rng, 16)));
        return true;
    }
    case 0x21: {
        uint32_t date = 20240101 + Below(rng, 40);
        c = Apdu(0x00, 0x21, 0, 0, {uint8_t(date), uint8_t(date >> 8), uint8_t(date >> 16), uint8_t(date >> 24)});
        return true;
    }
    case 0x40:
    case 0x42: {
        uint8_t curve = uint8_t(Below(rng, 6));
        const uint32_t L = ins::FieldLen(curve), blk = (L + 15) / 16 * 16;
        const uint32_t unit = d.INS == 0x40 ? 2 * L : blk;
        uint32_t count = 1 + Below(rng, std::max<uint32_t>(1, 240 / unit));
        c = Apdu(0x80, d.INS, uint8_t(curve << 4 | Below(rng, 16)), Byte(rng), {},
                 int(std::min<uint32_t>(255, 2 + unit * count)));
        return true;
    }
    case 0x44: {
        uint8_t curve = uint8_t(Below(rng, 6));
        const uint32_t blk = (ins::FieldLen(curve) + 15u) / 16 * 16;
        uint32_t count = 1 + Below(rng, 7);
        c = Apdu(0x80, 0x44, uint8_t(curve << 4 | Below(rng, 16)), Byte(rng),
                 Random(rng, std::min<uint32_t>(255, 2 + blk * count)));
        return true;
    }
    case 0x46: {
        Bytes idx;
        for (uint32_t i = 0, n = 1 + Below(rng, 36); i < n; ++i) {
            uint32_t v = Below(rng, 4) ? Below(rng, 8) : Below(rng, 0x10000);
            idx.push_back(uint8_t(v));
            idx.push_back(uint8_t(v >> 8));
        }
        c = Apdu(0x80, 0x46, uint8_t(Below(rng, 6)), 0, idx, int(8 + Below(rng, 25)));
        return true;
    }
    case 0x48: {
        uint8_t curve = uint8_t(Below(rng, 6));
        Bytes k = Random(rng, ins::FieldLen(curve));
        Bytes body = Cat(k, Below(rng, 2) ? ins::CrcLE(k) : Random(rng, 2));
        c = Apdu(0x80, 0x48, uint8_t(0x10 + Below(rng, 16)), uint8_t(curve << 4 | Below(rng, 2)), body);
        return true;
    }
    case 0x50:
    case 0x52: {
        uint8_t n = uint8_t(16 * (1 + Below(rng, 15)));
        c = Apdu(0x00, d.INS, uint8_t(Below(rng, 3)), 0, Random(rng, n), n);
        return true;
    }
    case 0x5E: {
        uint8_t type = uint8_t(Below(rng, 3));
        Bytes pin(DEFAULT_PIN_LEN);
        BuildDefaultPin(type, pin.data());
        c = Apdu(0x00, 0x5E, uint8_t(pin.size()), uint8_t(type + 1),
                 Cat(pin, Random(rng, 8 + Below(rng, 9))));
        return true;
    }
    case 0xB0:
        c = Apdu(0x00, 0xB0, 0, uint8_t(Below(rng, 220)), {}, int(1 + Below(rng, 255)));
        return true;
    case 0xD6:
        c = Apdu(0x00, 0xD6, uint8_t(Below(rng, 2)), Byte(rng), Random(rng, 1 + Below(rng, 255)));
        return true;
    case 0xD4: {
        static const uint8_t types[12] = {0, 0, 1, 2, 2, 2, 3, 4, 4, 4, 4, 5};
        uint8_t no = uint8_t(2 + Below(rng, 10));
        c = Apdu(0x84, 0xD4, no, types[no], Random(rng, 0x24));
        return true;
    }
    default:
        return false;
    }
}

// One command for row d: often well formed for the row's case, otherwise one
// of the malformed shapes below.
Bytes Command(Rng& rng, const _ins_dat_& d, bool allowReset)
{
    Bytes c = {d.CLA, d.INS, Param(rng, d.P1, d.Flags, CHK_P1_MIN, CHK_P1_MAX),
               Param(rng, d.P2, d.Flags, CHK_P2_MIN, CHK_P2_MAX)};
    const uint8_t lc = Param(rng, d.Lc, d.Flags, CHK_LC_MIN, CHK_LC_MAX);
    const uint8_t le = Param(rng, d.Le, d.Flags, CHK_LE_MIN, CHK_LE_MAX);
    const uint32_t pick = Below(rng, 20);
    if (pick < 3 && Meaningful(rng, d, allowReset, c))
        return c;
    if (pick < 11) {
        unsigned kind = d.Case == 4 ? (Below(rng, 2) ? 1u : 3u) : d.Case;
        if (kind == 1 || kind == 3) {
            c.push_back(lc);
            c = Cat(c, Data(rng, d, lc, allowReset));
        }
        if (kind == 2 || kind == 3)
            c.push_back(le);
        return c;
    }
    switch (pick) {
    case 11:   // header only
        break;
    case 12:   // header and Le
        c.push_back(le);
        break;
    case 13: {   // Lc that disagrees with the data that follows
        c.push_back(lc);
        int n = int(lc) + int(Below(rng, 9)) - 4;
        c = Cat(c, Data(rng, d, size_t(std::max(0, n)), allowReset));
        break;
    }
    case 14: {   // extended length: 00, Lc in two bytes, data, Le in two bytes
        uint32_t n = Below(rng, 3) == 0 ? Below(rng, 0x10000) : Below(rng, 256);
        c = Cat(c, {0x00, uint8_t(n >> 8), uint8_t(n)});
        c = Cat(c, Random(rng, std::min<uint32_t>(n, DAZI_CMD_MAX - 7)));
        if (Below(rng, 2))
            c = Cat(c, {Byte(rng), Byte(rng)});
        break;
    }
    case 15:   // extended case 2: 00 Le1 Le2
        c = Cat(c, {0x00, Byte(rng), Byte(rng)});
        break;
    case 16:   // truncated: 1 to 3 bytes
        c.resize(1 + Below(rng, 3));
        break;
    case 17:   // any length up to the work area, random body
        c = Cat(c, Random(rng, Below(rng, DAZI_CMD_MAX - 3)));
        break;
    case 18:   // exactly the work area, a valid Lc in front
        c.push_back(uint8_t(DAZI_CMD_MAX - 5 - Below(rng, 2)));
        c = Cat(c, Random(rng, DAZI_CMD_MAX - 5));
        break;
    default:   // beyond the work area, or nothing at all
        c = Below(rng, 4) == 0 ? Bytes{} : Cat(c, Random(rng, DAZI_CMD_MAX - 4 + 1 + Below(rng, 40)));
        break;
    }
    return c;
}

// Commands that put the card where more rows get past their first checks: a
// fresh challenge (secure messaging, external authentication), a current
// file, or both.
void Helper(Rng& rng, const std::string& where)
{
    static const uint8_t fids[] = {0x00, 0x01, 0x02, 0x30, 0x40, 0x42, 0x50, 0x80, 0x81, 0xC0,
                                   0x30, 0x80, 0x80, 0x80};
    if (Below(rng, 2))
        Exchange(Apdu(0x00, 0x84, 0, 0, {}, Below(rng, 2) ? 16 : 8), where + " challenge");
    else
        Exchange(Apdu(0x00, 0xA4, fids[Below(rng, sizeof fids)], 0, {}, 2), where + " select");
}

constexpr int kPerRow = 200;

// kPerRow commands for each row, each row from the same starting state
// (restore). Each row has its own seed, so a failure names a case that
// repeats on its own.
template <class Restore>
void Storm(const char* name, const TempImage& image, bool allowReset, Restore restore)
{
    const uint32_t base = testseed::announce(0xC0FFEEu);
    for (int row = 0; row < INS_COUNT; ++row) {
        restore();
        const _ins_dat_& d = InsDats[row];
        Rng rng(base + uint32_t(row));
        char head[96];
        std::snprintf(head, sizeof head, "%s row %d (CLA %02X INS %02X) seed %u", name, row, d.CLA,
                      d.INS, base + uint32_t(row));
        for (int i = 0; i < kPerRow; ++i) {
            const std::string where = std::string(head) + " step " + std::to_string(i);
            const bool onFile = d.INS == 0xB0 || d.INS == 0xD6;
            if (Below(rng, onFile ? 2 : 6) == 0)
                Helper(rng, where);
            Exchange(Command(rng, d, allowReset), where);
            if (::testing::Test::HasFailure())
                return;
        }
        ExpectCardAnswers(head);
        ExpectLayoutKept(image, head);
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST(ApduStorm, BlankCard)
{
    TempImage image(-1);
    auto restore = [&] { ASSERT_EQ(CreateVEFlashFile(image.path().c_str()), 0); };
    Storm("blank", image, true, restore);
}

using PersonalisedStorm = Personalised;

TEST_F(PersonalisedStorm, EveryRow)
{
    Storm("personalised", image, false, [&] { Restore(); });
    // The storm's last row leaves a card that still holds its keys.
    Restore();
    Reply sig = Send(Apdu(0x80, 0x70, 0x10, 0, Bytes(32, 0x5A), 64));
    EXPECT_EQ(sig.sw, 0x9000);
}

}  // namespace
}  // namespace robust
