// The instruction table as the host meets it: for each of the 44 rows, its
// class, its access condition, its case and every bound, probed through
// DAZI_IO with commands that stop at the dispatcher's check under test (or at
// the check right after it), so no handler runs. The rows below are written
// out from the command reference, independently of the card's own table.
#include "tests/vcard/front_fixture.h"

#include <cstdio>
#include <set>

namespace {

struct Bound {
    bool lo, hi;   // minimum / maximum tested
    uint8_t min, max;
};
constexpr Bound X = {false, false, 0, 0};

struct Row {
    uint8_t cla, ins;
    uint32_t access;
    uint8_t kase;   // 0..3, 4: decided by P1/P2
    Bound p1, p2, lc, le;
};

constexpr Bound R(uint8_t lo, uint8_t hi) { return {true, true, lo, hi}; }
constexpr Bound V(uint8_t v) { return {true, true, v, v}; }

const Row kRows[] = {
    {0x00, 0x02, 0x00000000, 1, V(0x00), V(0x00), V(0x10), X},
    {0x00, 0x06, 0x00000000, 2, X, X, X, X},
    {0x00, 0x08, 0x00000000, 3, R(0x00, 0xFF), R(0x00, 0xFF), V(0x10), R(0x00, 0xFF)},
    {0x00, 0x0A, 0x00000000, 2, X, X, X, R(0x08, 0x10)},
    {0x00, 0x0C, 0x00000000, 2, X, X, X, X},
    {0x00, 0x0E, 0x00000008, 1, R(0x01, 0x0B), R(0x00, 0x05), V(0x18), X},
    {0x84, 0x16, 0x00000000, 1, X, X, V(0x04), X},
    {0x00, 0x20, 0x00000000, 1, X, R(0x01, 0x03), R(0x08, 0x14), X},
    {0x00, 0x21, 0x00000000, 1, X, X, V(0x04), X},
    {0x80, 0x24, 0x00000000, 0, X, R(0x02, 0x03), X, X},
    {0x00, 0x36, 0x00000010, 2, X, X, X, V(0x46)},
    {0x00, 0x38, 0x00000010, 1, X, X, R(0x38, 0x40), X},
    {0x00, 0x3A, 0x00000000, 2, X, X, X, R(0x01, 0x40)},
    {0x80, 0x40, 0x00300000, 2, X, X, X, R(0x12, 0xF2)},
    {0x80, 0x42, 0x00280000, 2, X, X, X, R(0x12, 0xF2)},
    {0x80, 0x44, 0x00280000, 1, X, X, R(0x12, 0xF2), X},
    {0x80, 0x46, 0x00300000, 3, R(0x00, 0x0F), X, R(0x08, 0x48), R(0x08, 0x20)},
    {0x80, 0x4A, 0x00200000, 3, X, X, V(0x30), V(0x32)},
    {0x80, 0x48, 0x00300000, 1, R(0x10, 0x1F), R(0x00, 0xF1), R(0x0A, 0x22), X},
    {0x00, 0x50, 0x00000000, 3, R(0x00, 0x01), X, X, X},
    {0x00, 0x52, 0x00000000, 3, R(0x00, 0x01), X, X, X},
    {0x00, 0x54, 0x00000000, 4, R(0x00, 0x03), X, X, X},
    {0x00, 0x56, 0x00000000, 4, R(0x00, 0x03), X, X, X},
    {0x80, 0x5C, 0x00000000, 1, X, R(0x02, 0x03), R(0x08, 0x10), X},
    {0x00, 0x5E, 0x00000000, 1, R(0x08, 0x10), R(0x01, 0x03), R(0x10, 0x20), X},
    {0x00, 0x80, 0x00200000, 0, R(0x00, 0x01), R(0x00, 0xFF), X, X},
    {0x00, 0x82, 0x00000000, 1, X, R(0x01, 0x04), V(0x10), X},
    {0x00, 0x84, 0x00000000, 2, X, X, X, R(0x04, 0x20)},
    {0x00, 0x88, 0x00000000, 3, X, X, V(0x10), V(0x10)},
    {0x00, 0xA4, 0x00000000, 2, R(0x00, 0xFE), X, X, V(0x02)},
    {0x00, 0xB0, 0x00000000, 2, X, X, X, {true, false, 0x01, 0xFF}},
    {0x80, 0xC2, 0x00000020, 3, R(0x10, 0x1F), X, R(0x14, 0x20), R(0x10, 0x40)},
    {0x80, 0xC4, 0x00000000, 1, R(0x14, 0x20), R(0x00, 0x0F), R(0x34, 0xA0), X},
    {0x80, 0xC6, 0x00000000, 3, R(0x00, 0x0F), X, R(0x10, 0x40), R(0x12, 0x42)},
    {0x80, 0xC8, 0x00000020, 4, R(0x10, 0x1F), R(0x00, 0x01), R(0x12, 0x42), X},
    {0x80, 0xCC, 0x00000020, 3, R(0x10, 0x1F), R(0x00, 0x0F), R(0x10, 0x40), R(0x10, 0x40)},
    {0x84, 0xD4, 0x00000008, 1, X, X, V(0x24), X},
    {0x00, 0xD6, 0x00000000, 1, X, X, X, X},
    {0x80, 0xE0, 0x00000000, 1, R(0x00, 0xFE), X, V(0x08), X},
    {0x00, 0xE4, 0x00000000, 0, R(0x00, 0xFE), X, X, X},
    {0x80, 0x70, 0x00000020, 3, R(0x10, 0x1F), X, V(0x20), V(0x40)},
    {0x80, 0x72, 0x00000000, 1, V(0x20), V(0x40), V(0xA0), X},
    {0x80, 0x74, 0x00000000, 3, V(0x40), X, R(0x41, 0xDE), R(0x62, 0xFF)},
    {0x80, 0x76, 0x00000020, 3, R(0x10, 0x1F), X, R(0x62, 0xFF), R(0x01, 0x9E)},
};
static_assert(sizeof kRows / sizeof kRows[0] == 44, "44 instruction rows");

// Key number <-> key type pairs of the system-key instructions.
int TypeOfKey(unsigned n)
{
    static const int types[12] = {-1, 0, 1, 2, 2, 2, 3, 4, 4, 4, 4, 5};
    return n < 12 ? types[n] : -1;
}
uint8_t KeyOfType(unsigned t)
{
    static const uint8_t keys[6] = {1, 2, 3, 6, 7, 11};
    return t < 6 ? keys[t] : 0;
}
bool SystemKeyRow(const Row& r) { return r.ins == 0x0E || r.ins == 0xD4; }

// P1 and P2 that pass every parameter check of the row.
uint8_t BaseP1(const Row& r)
{
    switch (r.ins) {
    case 0x0E: return 1;
    case 0xD4: return 3;
    case 0x44: return 0x10;   // curve 1: 16-byte elements, so the Lc bounds pass the Lc rule
    default: return r.p1.lo ? r.p1.min : 0;
    }
}
uint8_t BaseP2(const Row& r)
{
    if (SystemKeyRow(r))
        return uint8_t(TypeOfKey(BaseP1(r)));
    return r.p2.lo ? r.p2.min : 0;
}
// A PIN verification's P1 is the length of its date trailer: 4 lets Lc reach 20.
uint8_t P1ForLc(const Row& r, uint8_t lc) { return r.ins == 0x20 && lc > 16 ? 4 : BaseP1(r); }

int CaseOf(const Row& r, uint8_t p1, uint8_t p2)
{
    if (r.kase != 4)
        return r.kase;
    if (r.ins == 0x54 || r.ins == 0x56)
        return p1 == 0 || p1 == 3 ? 3 : 1;
    return p2 == 0 ? 1 : 3;
}

std::string Name(const Row& r, const char* what, int value = -1)
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "CLA %02X INS %02X %s", r.cla, r.ins, what);
    std::string s = buf;
    if (value >= 0) {
        std::snprintf(buf, sizeof buf, " 0x%02X", value);
        s += buf;
    }
    return s;
}

// A command of the row that fails the case parse, and the word it earns:
// a case-2 command cut to 4 bytes, any other cut to 5.
struct Probe {
    Bytes apdu;
    uint16_t sw;
};
Probe ParseFailure(const Row& r, uint8_t p1, uint8_t p2)
{
    Bytes a = {r.cla, r.ins, p1, p2};
    int c = CaseOf(r, p1, p2);
    if (c == 2)
        return {a, 0x6A80};
    a.push_back(0x01);
    return {a, uint16_t(c == 0 ? 0x6700 : 0x6A80)};
}

class InstructionTable : public FrontCard {
protected:
    uint16_t As(uint16_t status, const Bytes& apdu)
    {
        sSecStatus = status;
        return SW(apdu);
    }
};

TEST_F(InstructionTable, ClassAndInstructionOfEveryRowAndNoOthers)
{
    std::set<uint16_t> listed;
    for (const Row& r : kRows)
        listed.insert(uint16_t(r.cla << 8 | r.ins));
    for (uint8_t cla : {0x00, 0x80, 0x84}) {
        for (int ins = 0; ins < 256; ++ins) {
            if (listed.count(uint16_t(cla << 8 | ins)))
                continue;
            ASSERT_EQ(As(0xFFFF, {cla, uint8_t(ins), 0, 0}), 0x6D00)
                << "CLA " << int(cla) << " INS " << ins << " has no row";
        }
    }
    for (const Row& r : kRows)
        EXPECT_EQ(As(0xFFFF, {0x01, r.ins, 0, 0}), 0x6E00) << Name(r, "under class 01");
}

TEST_F(InstructionTable, AccessConditionAndCaseOfEveryRow)
{
    for (const Row& r : kRows) {
        const Probe p = ParseFailure(r, BaseP1(r), BaseP2(r));
        const uint16_t low = uint16_t(r.access), high = uint16_t(r.access >> 16);
        if (r.access == 0) {
            EXPECT_EQ(As(0, p.apdu), p.sw) << Name(r, "needs nothing");
            continue;
        }
        EXPECT_EQ(As(0, p.apdu), 0x6982) << Name(r, "without any security bit");
        const uint16_t bits = low ? low : high;
        EXPECT_EQ(As(uint16_t(~bits), p.apdu), 0x6982) << Name(r, "with every other bit");
        for (int b = 0; b < 16; ++b) {
            const uint16_t one = uint16_t(1u << b);
            if (!(bits & one))
                continue;
            // A low-half condition wants any of its bits, a high half all of them.
            const bool enough = low != 0 || bits == one;
            EXPECT_EQ(As(one, p.apdu), enough ? p.sw : 0x6982) << Name(r, "with the bit", b);
        }
        EXPECT_EQ(As(bits, p.apdu), p.sw) << Name(r, "with all its bits");
    }
}

TEST_F(InstructionTable, ParameterBoundsOfEveryRow)
{
    for (const Row& r : kRows) {
        for (int which = 1; which <= 2; ++which) {
            const Bound& b = which == 1 ? r.p1 : r.p2;
            const char* field = which == 1 ? "P1" : "P2";
            auto send = [&](int v) {
                uint8_t p1 = BaseP1(r), p2 = BaseP2(r);
                if (which == 1) {
                    p1 = uint8_t(v);
                    if (SystemKeyRow(r) && TypeOfKey(p1) >= 0)
                        p2 = uint8_t(TypeOfKey(p1));
                } else {
                    p2 = uint8_t(v);
                    if (SystemKeyRow(r) && KeyOfType(p2) != 0)
                        p1 = KeyOfType(p2);
                }
                const Probe p = ParseFailure(r, p1, p2);
                return std::make_pair(As(0xFFFF, p.apdu), p.sw);
            };
            if (b.lo && b.min > 0) {
                EXPECT_EQ(send(b.min - 1).first, 0x6A86) << Name(r, field, b.min - 1);
            }
            if (b.hi && b.max < 0xFF) {
                EXPECT_EQ(send(b.max + 1).first, 0x6A86) << Name(r, field, b.max + 1);
            }
            if (b.lo || b.hi) {
                for (int v : {int(b.min), int(b.max)}) {
                    auto got = send(v);
                    EXPECT_EQ(got.first, got.second) << Name(r, field, v);
                }
            } else if (!SystemKeyRow(r) && !(r.ins == 0x20 && which == 1)) {
                for (int v : {0x00, 0xFF}) {
                    auto got = send(v);
                    EXPECT_EQ(got.first, got.second) << Name(r, field, v) << " (not tested)";
                }
            }
        }
    }
}

// Lc: a value outside its bounds answers 0x6700; one inside them gets past
// the bound to the length match, which this command fails on purpose.
TEST_F(InstructionTable, DataLengthBoundsOfEveryRow)
{
    for (const Row& r : kRows) {
        const int c = CaseOf(r, BaseP1(r), BaseP2(r));
        if (c != 1 && c != 3)
            continue;
        auto send = [&](int lc) {
            Bytes a = {r.cla, r.ins, P1ForLc(r, uint8_t(lc)), BaseP2(r), uint8_t(lc)};
            a.resize(a.size() + size_t(lc) + (c == 1 ? 1 : 2), 0);   // one byte too many
            return As(0xFFFF, a);
        };
        const Bound& b = r.lc;
        if (b.lo && b.min > 0) {
            EXPECT_EQ(send(b.min - 1), 0x6700) << Name(r, "Lc", b.min - 1);
        }
        if (b.hi && b.max < 0xFF) {
            EXPECT_EQ(send(b.max + 1), 0x6700) << Name(r, "Lc", b.max + 1);
        }
        if (b.lo || b.hi) {
            for (int v : {int(b.min), int(b.max)})
                EXPECT_EQ(send(v), 0x6A80) << Name(r, "Lc", v);
        } else if (r.ins != 0x50 && r.ins != 0x52) {   // SM4 takes whole blocks only
            for (int v : {0x01, 0xFF})
                EXPECT_EQ(send(v), 0x6A80) << Name(r, "Lc", v) << " (not tested)";
        }
    }
}

// Le: a complete command whose Le is outside its bounds answers 0x6C00 with
// the row's minimum Le.
TEST_F(InstructionTable, ReplyLengthBoundsOfEveryRow)
{
    for (const Row& r : kRows) {
        const int c = CaseOf(r, BaseP1(r), BaseP2(r));
        const Bound& b = r.le;
        if ((c != 2 && c != 3) || !b.lo)
            continue;
        auto send = [&](int le) {
            Bytes a = {r.cla, r.ins, BaseP1(r), BaseP2(r)};
            if (c == 3) {
                const uint8_t lc = r.lc.lo ? r.lc.min : 0x10;
                a.push_back(lc);
                a.resize(a.size() + lc, 0);
            }
            a.push_back(uint8_t(le));
            return As(0xFFFF, a);
        };
        const uint16_t want = uint16_t(0x6C00 | b.min);
        if (b.min > 0) {
            EXPECT_EQ(send(b.min - 1), want) << Name(r, "Le", b.min - 1);
        }
        if (b.hi && b.max < 0xFF) {
            EXPECT_EQ(send(b.max + 1), want) << Name(r, "Le", b.max + 1);
        }
    }
}

}  // namespace
