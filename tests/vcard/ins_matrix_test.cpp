// Key matrix (0x40, 0x42, 0x44), identity private keys (0x46), private-key
// import (0x48), key application (0x4A) and recovery (0x36, 0x38, 0x3A),
// driven as raw APDUs through DAZI_IO.
#include <openssl/evp.h>

#include <algorithm>
#include <vector>

#include "smcrypto/sm2.h"
#include "tests/vcard/ins_fixture.h"

namespace ins {
namespace {

uint8_t MatrixP1(uint8_t curve, uint16_t index) { return uint8_t(curve << 4 | (index >> 8)); }
uint8_t MatrixP2(uint16_t index) { return uint8_t(index); }
uint32_t Blk(uint8_t curve) { return (FieldLen(curve) + 15u) / 16u * 16u; }

// 0x46 takes 4 to 36 indices: the count elements from first, repeated
// cyclically up to at least 4 entries. picks receives the element numbers.
Bytes Indices(uint16_t first, unsigned count, std::vector<unsigned>* picks = nullptr)
{
    Bytes b;
    for (unsigned j = 0; j < std::max(count, 4u); ++j) {
        unsigned i = j % count;
        if (picks)
            picks->push_back(i);
        b.push_back(uint8_t(first + i));
        b.push_back(uint8_t((first + i) >> 8));
    }
    return b;
}

struct MatrixCase {
    uint8_t curve;
    unsigned count;
    uint16_t index;
};

class MatrixBetweenCards : public KeyCard, public ::testing::WithParamInterface<MatrixCase> {};

// Card A generates elements and exports them under a session key that an
// envelope for card B's key carries; card B opens the envelope and imports
// them. Both cards then compute the same identity key, which is the sum of
// the elements as the host recovers them with OpenSSL.
TEST_P(MatrixBetweenCards, GenerateExportImportAndCalculate)
{
    const MatrixCase mc = GetParam();
    HostCurve c(mc.curve), c0(0);
    const unsigned L = c.L, blk = Blk(mc.curve);
    const uint8_t p1 = MatrixP1(mc.curve, mc.index), p2 = MatrixP2(mc.index);

    NewKey(0, 0);   // card A's inner key
    Reply gen = Send(Apdu(0x80, 0x40, p1, p2, {}, int(2 * L * mc.count + 2)));
    ASSERT_EQ(gen.sw, 0x9000);
    ASSERT_EQ(gen.data.size(), 2 * L * mc.count + 2);
    Bytes points = Slice(gen.data, 0, 2 * L * mc.count);
    EXPECT_EQ(Slice(gen.data, points.size(), 2), CrcLE(points));
    for (unsigned i = 0; i < mc.count; ++i)
        EXPECT_TRUE(c.OnCurve(Slice(points, 2 * L * i, 2 * L))) << "point " << i;

    // Card B with the key that receives the envelope.
    TempImage imageB{-1};
    ASSERT_EQ(CreateVEFlashFile(imageB.path().c_str()), 0);
    Personalise();
    Key kb = NewKey(2, 0);

    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    LogIn();
    Reply env = MakeEnvelope(0, kb.pub);
    ASSERT_EQ(env.sw, 0x9000);
    Bytes session = Slice(c0.Open(kb.d, Slice(env.data, 0, 48)), 0, 16);

    Reply exp = Send(Apdu(0x80, 0x42, p1, p2, {}, int(blk * mc.count + 2)));
    ASSERT_EQ(exp.sw, 0x9000);
    ASSERT_EQ(exp.data.size(), blk * mc.count + 2);
    Bytes plain = Sm4Ecb(session, Slice(exp.data, 0, blk * mc.count), false);
    EXPECT_EQ(Slice(exp.data, blk * mc.count, 2), CrcLE(plain));
    for (unsigned i = 0; i < mc.count; ++i) {
        Bytes element = Slice(plain, blk * i, blk);
        EXPECT_EQ(Slice(element, L, blk - L), Bytes(blk - L, 0)) << "padding of element " << i;
        EXPECT_EQ(c.Mul(Slice(element, 0, L)), Slice(points, 2 * L * i, 2 * L)) << "element " << i;
    }
    std::vector<unsigned> picks;
    Bytes indices = Indices(mc.index, mc.count, &picks);
    Bytes sum(L, 0);
    for (unsigned i : picks)
        sum = c.AddMod(sum, Slice(plain, blk * i, L));
    Reply iskA = Send(Apdu(0x80, 0x46, mc.curve, 0, indices, L));
    ASSERT_EQ(iskA.sw, 0x9000);
    EXPECT_EQ(iskA.data, sum);

    ASSERT_EQ(SetVEFlashFile(imageB.path().c_str()), 0);
    LogIn();
    ASSERT_EQ(SW(Apdu(0x80, 0xC8, 0x12, 0, env.data)), 0x9000);
    ASSERT_EQ(SW(Apdu(0x80, 0x44, p1, p2, exp.data)), 0x9000);
    Reply iskB = Send(Apdu(0x80, 0x46, mc.curve, 0, indices, L));
    ASSERT_EQ(iskB.sw, 0x9000);
    EXPECT_EQ(iskB.data, sum);
}

INSTANTIATE_TEST_SUITE_P(Curves, MatrixBetweenCards,
                         ::testing::Values(MatrixCase{0, 3, 0x123}, MatrixCase{1, 4, 0x000},
                                           MatrixCase{1, 3, 0x040}, MatrixCase{2, 1, 0x101},
                                           MatrixCase{3, 2, 0x7F0}, MatrixCase{5, 3, 0x7FD}));

using MatrixRules = KeyCard;

TEST_F(MatrixRules, NeedInnerKeyAndSessionKeyAndStayInTheArea)
{
    // No inner key yet (no file 2): refused, the Le reply bytes are zero.
    Reply r = Send(Apdu(0x80, 0x40, 0x50, 0x00, {}, 0x82));
    EXPECT_EQ(r.sw, 0x6985);
    EXPECT_EQ(r.data, Bytes(0x82, 0));
    EXPECT_EQ(SW(Apdu(0x80, 0x46, 0x00, 0x00, Indices(0, 4), 24)), 0x6985);

    NewKey(1, 0);
    struct {
        const char* what;
        Bytes apdu;
        uint16_t sw;
    } cases[] = {
        {"Le not a multiple of 2L", Apdu(0x80, 0x40, 0x50, 0x00, {}, 0x81), 0x6C12},
        {"curve above 5 in the Le rule", Apdu(0x80, 0x40, 0x60, 0x00, {}, 0x32), 0x6C12},
        {"export without a session key", Apdu(0x80, 0x42, 0x00, 0x00, {}, 0x22), 0x6A8A},
        {"import without a session key", Apdu(0x80, 0x44, 0x00, 0x00, Bytes(34, 1)), 0x6A8A},
        {"start past the area", Apdu(0x80, 0x40, 0x08, 0x00, {}, 0x32), 0x6A86},
        {"last element past the area", Apdu(0x80, 0x40, 0x07, 0xFF, {}, 0x62), 0x6A86},
        {"last element at the end", Apdu(0x80, 0x40, 0x07, 0xFF, {}, 0x32), 0x9000},
        {"unwritten element", Apdu(0x80, 0x46, 0x00, 0x00, Indices(0x100, 1), 24), 0x6A03},
        {"index beyond the area", Apdu(0x80, 0x46, 0x00, 0x00, Indices(0x800, 1), 24), 0x6A03},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SW(c.apdu), c.sw) << c.what;
}

TEST_F(MatrixRules, ImportWithWrongCrcOrCurveWritesNothing)
{
    NewKey(1, 0);
    SessionKeyFromEnvelope();
    Reply gen = Send(Apdu(0x80, 0x40, 0x00, 0x10, {}, 3 * 48 + 2));
    ASSERT_EQ(gen.sw, 0x9000);
    Reply exp = Send(Apdu(0x80, 0x42, 0x00, 0x10, {}, 3 * 32 + 2));
    ASSERT_EQ(exp.sw, 0x9000);
    Bytes isk = Send(Apdu(0x80, 0x46, 0, 0, Indices(0x10, 3), 24)).data;

    // Into elements 0x20..0x22, which are not written yet.
    const size_t area = 0x10000 + 32 * 0x20;
    Bytes before = image.Peek(area, 3 * 32);
    Bytes bad = exp.data;
    bad.back() ^= 0x01;
    EXPECT_EQ(SW(Apdu(0x80, 0x44, 0x00, 0x20, bad)), 0x6A02);
    EXPECT_EQ(SW(Apdu(0x80, 0x44, 0x60, 0x20, exp.data)), 0x6A86);
    EXPECT_EQ(image.Peek(area, 3 * 32), before);

    ASSERT_EQ(SW(Apdu(0x80, 0x44, 0x00, 0x20, exp.data)), 0x9000);
    EXPECT_NE(image.Peek(area, 3 * 32), before);
    EXPECT_EQ(Send(Apdu(0x80, 0x46, 0, 0, Indices(0x20, 3), 24)).data, isk);
}

// ---------------------------------------------------------------- 0x48 / 0x4A

// The imported key is checked by using it: ECDH against a host point.
class KeyImportProbe : public KeyCard {
protected:
    void ExpectKey(uint8_t slot, uint8_t curve, const Bytes& d)
    {
        HostCurve c(curve);
        Bytes q = c.RandomScalar();
        Bytes Q = c.Mul(q);
        Reply r = Ecdh(slot, curve, Q);
        ASSERT_EQ(r.sw, 0x9000) << "slot " << int(slot);
        EXPECT_EQ(r.data, c.Mul(d, &Q)) << "slot " << int(slot);
    }
};

TEST_F(KeyImportProbe, PlainAndMaskedImports)
{
    Key plain = NewKey(1, 0);
    ExpectKey(1, 0, plain.d);

    // Masked: the transport key comes from a key application (0x4A).
    HostCurve c0(0), c5(5);
    Bytes d5 = c5.RandomScalar();
    EXPECT_EQ(ImportKey(3, 5, d5, &d5), 0x6A8A) << "no transport key yet";
    Bytes t = c0.RandomScalar();
    Reply app = Send(Apdu(0x80, 0x4A, 0, 0, c0.Mul(t), 50));
    ASSERT_EQ(app.sw, 0x9000);
    ASSERT_EQ(app.data.size(), 50u);
    Bytes kG = c0.Open(t, Slice(app.data, 0, 48));
    EXPECT_EQ(Slice(app.data, 48, 2), CrcLE(kG));
    Bytes transport = Slice(kG, 0, 16);

    Bytes wrong = transport;
    wrong[0] ^= 1;
    EXPECT_EQ(ImportKey(3, 5, d5, &wrong), 0x6A02) << "unmasked with the wrong key";
    ASSERT_EQ(ImportKey(3, 5, d5, &transport), 0x9000);
    ExpectKey(3, 5, d5);
    ExpectKey(1, 0, plain.d);

    // A point off the curve makes no transport key.
    Bytes off = c0.Mul(t);
    off[47] ^= 1;
    EXPECT_EQ(SW(Apdu(0x80, 0x4A, 0, 0, off, 50)), 0x6A80);
    ASSERT_EQ(ImportKey(4, 5, d5, &transport), 0x9000);
}

TEST_F(KeyImportProbe, SlotZeroOnceOtherSlotsReplace)
{
    Key first = NewKey(0, 0);
    HostCurve c4(4);
    Bytes other = c4.RandomScalar();
    EXPECT_EQ(ImportKey(0, 4, other), 0x6985);
    ExpectKey(0, 0, first.d);   // key and curve label unchanged
    EXPECT_EQ(Ecdh(0, 4, c4.Mul(other)).sw, 0x6A86);

    NewKey(1, 0);
    Key second = NewKey(1, 4);
    ExpectKey(1, 4, second.d);
}

TEST_F(KeyImportProbe, RefusedImportsKeepKeyAndCurve)
{
    Key k = NewKey(1, 0);
    HostCurve c5(5);
    Bytes d5 = c5.RandomScalar();
    Bytes badCrc = Cat(d5, CrcLE(d5));
    badCrc[32] ^= 0xFF;
    Bytes d24 = HostCurve(0).RandomScalar();
    struct {
        const char* what;
        uint8_t p2;
        Bytes data;
        uint16_t sw;
    } cases[] = {
        {"CRC mismatch", 0x51, badCrc, 0x6A02},
        {"24-byte scalar on a 32-byte curve", 0x51, Cat(d24, CrcLE(d24)), 0x6700},
        {"32-byte scalar on a 24-byte curve", 0x01, Cat(d5, CrcLE(d5)), 0x6700},
        {"curve id above 5", 0x61, Cat(d5, CrcLE(d5)), 0x6A86},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SW(Apdu(0x80, 0x48, 0x11, c.p2, c.data)), c.sw) << c.what;
        ExpectKey(1, 0, k.d);
    }
}

// The first import on a card whose inner secret exists (the PIN cache made
// it) creates the curve table. On a card filled to its last sector the
// table's 16 bytes find no room: the import fails, and once room is made the
// next import works. An image that kept an empty table from such a failure
// imports as well.
class FullCardImport : public KeyImportProbe {
protected:
    void SetUp() override
    {
        KeyImportProbe::SetUp();
        ASSERT_EQ(SW(Hex("00 80 01 01")), 0x9000);   // PIN cache on: makes file 2
        ASSERT_EQ(SW(Hex("00 80 00 00")), 0x9000);
        _file_info_ f;
        ASSERT_EQ(SelectFile(FID_INNERKEY, &f), 0);
        ASSERT_EQ(SelectFile(FID_CURVES, &f), 0x6A82);
    }
    // Host files of 64-byte writes until no sector is left; their ids.
    std::vector<uint8_t> FillToTheLastSector()
    {
        std::vector<uint8_t> ids;
        const uint8_t chunk[FS_SECTOR_SIZE] = {0x5A};
        for (uint8_t fid = 0x80; fid < 0xBF; ++fid) {
            _file_info_ e{};
            e.fid = fid;
            e.maxsize = FS_FILE_MAX;
            EXPECT_EQ(CreateCOSFile(&e), 0);
            ids.push_back(fid);
            for (uint16_t off = 0; off < FS_FILE_MAX; off += FS_SECTOR_SIZE) {
                EXPECT_EQ(SelectFile(fid, &e), 0);
                uint16_t st = WriteCOSFile(e, off, chunk, sizeof chunk);
                if (st == 0x6A84)
                    return ids;
                EXPECT_EQ(st, 0) << "file " << int(fid) << " offset " << off;
            }
        }
        ADD_FAILURE() << "the card never filled up";
        return ids;
    }
};

TEST_F(FullCardImport, ImportWorksOnceRoomIsMade)
{
    std::vector<uint8_t> fillers = FillToTheLastSector();
    ASSERT_FALSE(fillers.empty());
    HostCurve c0(0);
    Bytes d = c0.RandomScalar();
    EXPECT_EQ(ImportKey(1, 0, d), 0x6A84);
    _file_info_ f;
    EXPECT_EQ(SelectFile(FID_CURVES, &f), 0x6A82) << "no empty curve table is left behind";
    EXPECT_EQ(ImportKey(1, 0, d), 0x6A84) << "still full";

    ASSERT_EQ(DeleteCOSFile(fillers.back()), 0);
    ASSERT_EQ(ImportKey(1, 0, d), 0x9000);
    ExpectKey(1, 0, d);
    ASSERT_EQ(SelectFile(FID_CURVES, &f), 0);
    EXPECT_EQ(f.used, 16);
}

TEST_F(FullCardImport, AnEmptyCurveTableIsFilledByTheNextImport)
{
    _file_info_ table{};
    table.fid = FID_CURVES;
    table.maxsize = 64;
    ASSERT_EQ(CreateCOSFile(&table), 0);
    HostCurve c5(5);
    Bytes d = c5.RandomScalar();
    ASSERT_EQ(ImportKey(2, 5, d), 0x9000);
    ExpectKey(2, 5, d);
    Key k = NewKey(1, 0);
    ExpectKey(1, 0, k.d);
    ExpectKey(2, 5, d);
}

// ---------------------------------------------------------------- recovery

class Recovery : public KeyCard {
protected:
    void SetUp() override
    {
        KeyCard::SetUp();
        key = NewKey(1, 5);
    }
    // The inner secret as its holder recovers it from the 0x36 envelope.
    Bytes RecoverSecret()
    {
        Reply env = Send(Apdu(0x00, 0x36, 0, 0, {}, 0x46));
        EXPECT_EQ(env.sw, 0x9000);
        if (env.data.size() != 70)
            return {};
        Bytes secret = HostCurve(0).Open(recoveryKey, Slice(env.data, 0, 48));
        EXPECT_EQ(Slice(env.data, 48, 2), CrcLE(secret));
        EXPECT_EQ(Slice(env.data, 50, 20), Digest(EVP_sha1(), secret));
        return secret;
    }
    // SM2 challenge for the slot-1 key, decrypted by the card.
    uint16_t Decrypts()
    {
        Bytes m = RandomBytes(32);
        Bytes c(m.size() + 97);
        int n = int(c.size());
        EXPECT_EQ(SM2_Encrypt(key.pub.data(), m.data(), uint32_t(m.size()), c.data(), &n), 0);
        Reply r = Send(Apdu(0x80, 0x76, 0x11, 0, c, int(m.size())));
        if (r.sw == 0x9000) {
            EXPECT_EQ(r.data, m);
        }
        return r.sw;
    }
    uint16_t Restore(const Bytes& secret, const Bytes& pin)
    {
        return SW(Apdu(0x00, 0x38, 0, 0, Cat(secret, pin)));
    }
    void Restart() { ASSERT_EQ(Send(Apdu(0x00, 0x06, 0, 0, {}, 0x10)).sw, 0x9000); }
    Key key;
};

TEST_F(Recovery, RestoredSecretUnlocksKeysUnderTheNewPin)
{
    ASSERT_EQ(Decrypts(), 0x9000);
    Bytes secret = RecoverSecret();
    ASSERT_EQ(secret.size(), 48u);

    // The user forgot the PIN: only PIN type 1 is verified, no inner key held.
    Restart();
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    Bytes newPin = Text("NewPin-2026");
    ASSERT_EQ(Restore(secret, newPin), 0x9000);
    EXPECT_EQ(VerifyPin(2, UserPin()), 0x63C4);
    ASSERT_EQ(VerifyPin(2, newPin), 0x9000);
    EXPECT_EQ(Decrypts(), 0x9000);

    Restart();
    ASSERT_EQ(VerifyPin(2, newPin), 0x9000);
    EXPECT_EQ(Decrypts(), 0x9000);
}

TEST_F(Recovery, WrongSecretChangesNothing)
{
    Bytes secret = RecoverSecret();
    ASSERT_EQ(secret.size(), 48u);
    Bytes file2 = image.Bytes();
    for (size_t byte : {0u, 20u, 47u}) {
        Bytes wrong = secret;
        wrong[byte] ^= 0x40;
        EXPECT_EQ(Restore(wrong, Text("NewPin-2026")), 0x6A02) << "byte " << byte;
    }
    EXPECT_EQ(image.Bytes(), file2);
    Restart();
    EXPECT_EQ(VerifyPin(2, Text("NewPin-2026")), 0x63C4);
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    EXPECT_EQ(Decrypts(), 0x9000);
}

TEST_F(Recovery, RestoreSwitchesThePinCacheOff)
{
    ASSERT_EQ(SW(Apdu(0x00, 0x80, 1, 30)), 0x9000);
    ASSERT_EQ(DevInfoOnImage().cacheOn, 1);
    Bytes secret = RecoverSecret();
    ASSERT_EQ(Restore(secret, Text("NewPin-2026")), 0x9000);
    EXPECT_EQ(DevInfoOnImage().cacheOn, 0);
    EXPECT_EQ(image.Peek(0x100, 20), Bytes(20, 0));
    EXPECT_EQ(AutoVerify(20260101), 0x6985);
}

TEST_F(Recovery, IdentityText)
{
    EXPECT_EQ(SW(Apdu(0x00, 0x3A, 0, 0, {}, 8)), 0x6C0B);
    Reply r = Send(Apdu(0x00, 0x3A, 0, 0, {}, 11));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, identity);
    r = Send(Apdu(0x00, 0x3A, 0, 0, {}, 64));
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, identity);
}

using RecoveryBlank = FrontCard;

TEST_F(RecoveryBlank, WithoutInnerSecretOrIdentity)
{
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    EXPECT_EQ(SW(Apdu(0x00, 0x36, 0, 0, {}, 0x46)), 0x6A82);
    EXPECT_EQ(SW(Apdu(0x00, 0x38, 0, 0, Cat(Bytes(48, 7), Text("NewPin-2026")))), 0x6A82);
    EXPECT_EQ(SW(Apdu(0x00, 0x3A, 0, 0, {}, 0x40)), 0x6A85);
}

}  // namespace
}  // namespace ins
