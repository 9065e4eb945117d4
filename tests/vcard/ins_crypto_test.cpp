// Cryptographic instructions (SM4, hashing, ECDSA, envelopes, ECDH, SM2)
// driven as raw APDUs through DAZI_IO, checked against OpenSSL and the SM2
// module.
#include <openssl/evp.h>

#include "smcrypto/sm2.h"
#include "tests/vcard/ins_fixture.h"

namespace ins {
namespace {

// ---------------------------------------------------------------- SM4

using Symmetric = KeyCard;

TEST_F(Symmetric, CardKeyAndSessionKeyAgainstOpenSsl)
{
    const Bytes data = RandomBytes(48);
    EXPECT_EQ(SW(Apdu(0x00, 0x50, 0, 0, data, 48)), 0x6A03) << "no key record 11 yet";
    const Bytes cardKey = RandomBytes(16);
    Install(11, 5, 0, cardKey);

    Reply enc = Send(Apdu(0x00, 0x50, 0, 0, data, 48));
    ASSERT_EQ(enc.sw, 0x9000);
    EXPECT_EQ(enc.data, Sm4Ecb(cardKey, data, true));
    Reply dec = Send(Apdu(0x00, 0x52, 0, 0, enc.data, 48));
    ASSERT_EQ(dec.sw, 0x9000);
    EXPECT_EQ(dec.data, data);

    EXPECT_EQ(SW(Apdu(0x00, 0x50, 0, 0, Bytes(32, 1), 16)), 0x6C20);
    EXPECT_EQ(SW(Apdu(0x00, 0x50, 0, 0, Bytes(20, 1), 20)), 0x6700);
    EXPECT_EQ(SW(Apdu(0x00, 0x50, 1, 0, data, 48)), 0x6A8A) << "no session key yet";

    NewKey(1, 0);
    Bytes session = SessionKeyFromEnvelope();
    enc = Send(Apdu(0x00, 0x50, 1, 0, data, 48));
    ASSERT_EQ(enc.sw, 0x9000);
    EXPECT_EQ(enc.data, Sm4Ecb(session, data, true));
    EXPECT_EQ(Send(Apdu(0x00, 0x52, 1, 0, enc.data, 48)).data, data);
}

// ---------------------------------------------------------------- hashing

struct HashCase {
    uint8_t ins;
    size_t length;
    size_t piece;   // 0: one-shot
};

class Hashing : public FrontCard, public ::testing::WithParamInterface<HashCase> {};

// One-shot (P1 0) or start / update / final (P1 1, 2, 3) in pieces.
Reply CardHash(uint8_t ins, const Bytes& msg, size_t piece)
{
    const int D = ins == 0x54 ? 20 : 32;
    if (piece == 0)
        return Send(Apdu(0x00, ins, 0, 0, msg, D));
    size_t off = 0;
    uint8_t p1 = 1;
    while (msg.size() - off > piece) {
        Bytes part = Slice(msg, off, piece);
        uint16_t sw = SW(Apdu(0x00, ins, p1, 0, part));
        EXPECT_EQ(sw, 0x9000);
        off += piece;
        p1 = 2;
    }
    return Send(Apdu(0x00, ins, 3, 0, Slice(msg, off, msg.size() - off), D));
}

TEST_P(Hashing, MatchesOpenSsl)
{
    const HashCase hc = GetParam();
    const Bytes msg = RandomBytes(hc.length);
    Reply r = CardHash(hc.ins, msg, hc.piece);
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, Digest(hc.ins == 0x54 ? EVP_sha1() : EVP_sm3(), msg));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Hashing,
    ::testing::Values(HashCase{0x54, 1, 0}, HashCase{0x54, 55, 0}, HashCase{0x54, 64, 0},
                      HashCase{0x54, 250, 0}, HashCase{0x54, 300, 128}, HashCase{0x54, 1000, 63},
                      HashCase{0x54, 129, 64}, HashCase{0x56, 3, 0}, HashCase{0x56, 64, 0},
                      HashCase{0x56, 256, 128}, HashCase{0x56, 777, 200}, HashCase{0x56, 65, 1}));

using HashStreams = FrontCard;

TEST_F(HashStreams, StateRules)
{
    const Bytes m = Text("abc");
    struct {
        const char* what;
        Bytes apdu;
        uint16_t sw;
    } cases[] = {
        {"update without start", Apdu(0x00, 0x54, 2, 0, m), 0x6A86},
        {"final without start", Apdu(0x00, 0x54, 3, 0, m, 20), 0x6A86},
        {"final with a short Le", Apdu(0x00, 0x54, 3, 0, m, 0x10), 0x6C14},
        {"SM3 one-shot with the SHA-1 Le", Apdu(0x00, 0x56, 0, 0, m, 20), 0x6C20},
        {"start SHA-1", Apdu(0x00, 0x54, 1, 0, m), 0x9000},
        {"second start", Apdu(0x00, 0x54, 1, 0, m), 0x6A86},
        {"SHA-1 one-shot while streaming", Apdu(0x00, 0x54, 0, 0, m, 20), 0x6A86},
        {"SM3 one-shot meanwhile", Apdu(0x00, 0x56, 0, 0, m, 32), 0x9000},
        {"start SM3 meanwhile", Apdu(0x00, 0x56, 1, 0, m), 0x9000},
        {"update SHA-1", Apdu(0x00, 0x54, 2, 0, m), 0x9000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SW(c.apdu), c.sw) << c.what;

    Reply sha = Send(Apdu(0x00, 0x54, 3, 0, m, 20));
    ASSERT_EQ(sha.sw, 0x9000);
    EXPECT_EQ(sha.data, Digest(EVP_sha1(), Text("abcabcabc")));
    EXPECT_EQ(SW(Apdu(0x00, 0x54, 2, 0, m)), 0x6A86) << "stream ended";

    // A restoration discards the running SM3 stream.
    ASSERT_EQ(Send(Apdu(0x00, 0x06, 0, 0, {}, 0x10)).sw, 0x9000);
    EXPECT_EQ(SW(Apdu(0x00, 0x56, 2, 0, m)), 0x6A86);
}

// ---------------------------------------------------------------- ECDSA

struct EcdsaCase {
    uint8_t curve;
    const char* name;
};

class Ecdsa : public KeyCard, public ::testing::WithParamInterface<EcdsaCase> {};

// The card's e is always the first 20 digest bytes as a number, reduced by
// the arithmetic mod n; the library cuts a digest to the bit length of n. On
// curves whose order is shorter than 160 bits the library is therefore given
// e mod n, in as many bytes as n has (n is a whole number of bytes there, so
// nothing is cut): the same e for both sides.
Bytes LibraryDigest(uint8_t curve, const Bytes& digest20)
{
    HostCurve c(curve);
    const BIGNUM* n = c.Order();
    if (BN_num_bits(n) >= 160)
        return digest20;
    bn_ptr e = Bn(digest20);
    bn_ptr r = NewBn();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod(r.get(), e.get(), n, ctx);
    BN_CTX_free(ctx);
    EXPECT_EQ(BN_num_bits(n) % 8, 0);
    return BnBytes(r.get(), size_t(BN_num_bytes(n)));
}

TEST_P(Ecdsa, CardSignsLibraryVerifiesAndBack)
{
    const EcdsaCase ec = GetParam();
    const unsigned L = FieldLen(ec.curve);
    Key k = NewKey(4, ec.curve);
    for (size_t len : {20u, 32u}) {
        Bytes digest = RandomBytes(len);
        Reply sig = Send(Apdu(0x80, 0xC2, 0x14, 0, digest, 2 * L));
        ASSERT_EQ(sig.sw, 0x9000);
        ASSERT_EQ(sig.data.size(), 2 * L);
        // The card signs the first 20 digest bytes.
        EXPECT_TRUE(LibVerify(ec.name, k.pub, LibraryDigest(ec.curve, Slice(digest, 0, 20)), sig.data,
                              ec.curve))
            << len;
    }

    Bytes digest = RandomBytes(20);
    Bytes sig = LibSign(ec.name, k.d, k.pub, LibraryDigest(ec.curve, digest), ec.curve);
    ASSERT_EQ(sig.size(), 2 * L);
    auto verify = [&](const Bytes& dg, const Bytes& s, const Bytes& Q) {
        return SW(Apdu(0x80, 0xC4, uint8_t(dg.size()), ec.curve, Cat(Cat(dg, s), Q)));
    };
    EXPECT_EQ(verify(digest, sig, k.pub), 0x9000);
    EXPECT_EQ(verify(Cat(digest, RandomBytes(12)), sig, k.pub), 0x9000) << "bytes past 20 unused";
    Bytes other = digest;
    other[19] ^= 1;
    EXPECT_EQ(verify(other, sig, k.pub), 0x9302);
    Bytes badSig = sig;
    badSig[L] ^= 1;
    EXPECT_EQ(verify(digest, badSig, k.pub), 0x9302);
    EXPECT_EQ(verify(digest, Bytes(2 * L, 0), k.pub), 0x9302);
    Bytes offCurve = k.pub;
    offCurve.back() ^= 1;
    EXPECT_EQ(verify(digest, sig, offCurve), 0x6A80);
}

// Curve 1 has no name in the library: its keys are given by the curve
// parameters. Curve 5 is left out: the library turns any key on that curve
// into an SM2 key and does no ECDSA with it.
INSTANTIATE_TEST_SUITE_P(Curves, Ecdsa,
                         ::testing::Values(EcdsaCase{0, "prime192v1"}, EcdsaCase{1, nullptr},
                                           EcdsaCase{2, "secp112r1"}, EcdsaCase{3, "secp160r1"},
                                           EcdsaCase{4, "prime256v1"}));

using EcdsaRules = KeyCard;

TEST_F(EcdsaRules, Refusals)
{
    Bytes digest = RandomBytes(20);
    NewKey(1, 0);
    EXPECT_EQ(SW(Apdu(0x80, 0xC2, 0x14, 0, digest, 48)), 0x6A03) << "no key in the slot";
    // Digest 20, r s and X Y of 24 bytes each: Lc 116 exactly.
    Bytes full = Cat(digest, RandomBytes(96));
    EXPECT_EQ(SW(Apdu(0x80, 0xC4, 20, 6, full)), 0x6A86) << "curve above 5";
    EXPECT_EQ(SW(Apdu(0x80, 0xC4, 20, 0, Slice(full, 0, 115))), 0x6700) << "point cut short";
}

// ---------------------------------------------------------------- envelopes

using Envelope = KeyCard;

TEST_F(Envelope, MadeByOneOpenedByTheKeyHolder)
{
    HostCurve c0(0);
    Key k = NewKey(2, 0);
    Reply env = MakeEnvelope(0, k.pub);
    ASSERT_EQ(env.sw, 0x9000);
    ASSERT_EQ(env.data.size(), 50u);
    Bytes kG = c0.Open(k.d, Slice(env.data, 0, 48));
    EXPECT_EQ(Slice(env.data, 48, 2), CrcLE(kG));
    const Bytes data = RandomBytes(32);
    EXPECT_EQ(Send(Apdu(0x00, 0x50, 1, 0, data, 32)).data, Sm4Ecb(Slice(kG, 0, 16), data, true));

    // The holder returns k·G (P2 1) ...
    Reply open = Send(Apdu(0x80, 0xC8, 0x12, 1, env.data, 48));
    ASSERT_EQ(open.sw, 0x9000);
    EXPECT_EQ(open.data, kG);
    EXPECT_EQ(SW(Apdu(0x80, 0xC8, 0x12, 1, env.data, 40)), 0x6C30);

    // ... or keeps it as the session key (P2 0) after another envelope.
    Bytes before = SessionKeyFromEnvelope();
    Bytes corrupt = env.data;
    corrupt[49] ^= 0x10;
    EXPECT_EQ(SW(Apdu(0x80, 0xC8, 0x12, 0, corrupt)), 0x6A02);
    EXPECT_EQ(Send(Apdu(0x00, 0x50, 1, 0, data, 32)).data, Sm4Ecb(before, data, true))
        << "a refused envelope leaves the session key";
    ASSERT_EQ(SW(Apdu(0x80, 0xC8, 0x12, 0, env.data)), 0x9000);
    EXPECT_EQ(Send(Apdu(0x00, 0x50, 1, 0, data, 32)).data, Sm4Ecb(Slice(kG, 0, 16), data, true));
}

TEST_F(Envelope, EveryCurveRoundTrips)
{
    for (uint8_t curve = 0; curve <= 5; ++curve) {
        HostCurve c(curve);
        const unsigned L = c.L;
        Key k = NewKey(uint8_t(3 + curve), curve);
        Reply env = MakeEnvelope(curve, k.pub);
        ASSERT_EQ(env.sw, 0x9000) << int(curve);
        Reply open = Send(Apdu(0x80, 0xC8, uint8_t(0x13 + curve), 1, env.data, 2 * L));
        ASSERT_EQ(open.sw, 0x9000) << int(curve);
        EXPECT_EQ(open.data, c.Open(k.d, Slice(env.data, 0, 2 * L))) << int(curve);
    }
}

TEST_F(Envelope, Refusals)
{
    HostCurve c0(0);
    Key k = NewKey(2, 0);
    Bytes bad = k.pub;
    bad[0] ^= 1;
    Bytes session = SessionKeyFromEnvelope();
    struct {
        const char* what;
        Bytes apdu;
        uint16_t sw;
    } cases[] = {
        {"curve above 5", Apdu(0x80, 0xC6, 6, 0, k.pub, 50), 0x6A86},
        {"Le not 2L + 2", Apdu(0x80, 0xC6, 0, 0, k.pub, 48), 0x6C32},
        {"point cut short", Apdu(0x80, 0xC6, 0, 0, Slice(k.pub, 0, 40), 50), 0x6700},
        {"point off the curve", Apdu(0x80, 0xC6, 0, 0, bad, 50), 0x6A80},
        {"envelope without its CRC", Apdu(0x80, 0xC8, 0x12, 0, k.pub), 0x6700},
        {"envelope point off the curve", Apdu(0x80, 0xC8, 0x12, 0, Cat(bad, CrcLE(bad))), 0x6A80},
        {"no key in the slot", Apdu(0x80, 0xC8, 0x15, 0, Cat(k.pub, CrcLE(k.pub))), 0x6A03},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SW(c.apdu), c.sw) << c.what;
    const Bytes data = RandomBytes(16);
    EXPECT_EQ(Send(Apdu(0x00, 0x50, 1, 0, data, 16)).data, Sm4Ecb(session, data, true));
}

// ---------------------------------------------------------------- ECDH

using SharedPoint = KeyCard;

TEST_F(SharedPoint, BothSidesAgree)
{
    for (uint8_t curve : {0, 1, 2, 5}) {
        HostCurve c(curve);
        Key a = NewKey(1, curve), b = NewKey(2, curve);
        Reply ab = Ecdh(1, curve, b.pub), ba = Ecdh(2, curve, a.pub);
        ASSERT_EQ(ab.sw, 0x9000) << int(curve);
        ASSERT_EQ(ba.sw, 0x9000) << int(curve);
        EXPECT_EQ(ab.data, ba.data) << int(curve);
        EXPECT_EQ(ab.data, c.Mul(a.d, &b.pub)) << int(curve);
    }
}

TEST_F(SharedPoint, Refusals)
{
    Key k = NewKey(1, 0);
    Bytes bad = k.pub;
    bad[5] ^= 1;
    struct {
        const char* what;
        Bytes apdu;
        uint16_t sw;
    } cases[] = {
        {"Le not Lc", Apdu(0x80, 0xCC, 0x11, 0, k.pub, 32), 0x6C30},
        {"other curve than the key's", Apdu(0x80, 0xCC, 0x11, 4, Bytes(64, 1), 64), 0x6A86},
        {"curve above 5", Apdu(0x80, 0xCC, 0x11, 6, k.pub, 48), 0x6A86},
        {"point of the wrong length", Apdu(0x80, 0xCC, 0x11, 0, Bytes(32, 1), 32), 0x6700},
        {"point off the curve", Apdu(0x80, 0xCC, 0x11, 0, bad, 48), 0x6A80},
        {"no key in the slot", Apdu(0x80, 0xCC, 0x12, 0, k.pub, 48), 0x6A03},
    };
    for (const auto& c : cases) {
        Reply r = Send(c.apdu);
        EXPECT_EQ(r.sw, c.sw) << c.what;
        EXPECT_TRUE(r.data.empty() || r.data == Bytes(r.data.size(), 0)) << c.what;
    }
}

// ---------------------------------------------------------------- SM2

class Sm2Card : public KeyCard {
protected:
    void SetUp() override
    {
        KeyCard::SetUp();
        key = NewKey(1, 5);
    }
    Bytes Encrypt(const Bytes& m) const
    {
        Bytes c(m.size() + 97);
        int n = int(c.size());
        EXPECT_EQ(SM2_Encrypt(key.pub.data(), m.data(), uint32_t(m.size()), c.data(), &n), 0);
        return c;
    }
    Reply Decrypt(const Bytes& c, uint8_t slot = 1)
    {
        return Send(Apdu(0x80, 0x76, uint8_t(0x10 + slot), 0, c, int(c.size() - 97)));
    }
    Key key;
};

TEST_F(Sm2Card, SignAndVerifyAgreeWithTheSm2Module)
{
    Bytes e = RandomBytes(32);
    Reply sig = Send(Apdu(0x80, 0x70, 0x11, 0, e, 64));
    ASSERT_EQ(sig.sw, 0x9000);
    ASSERT_EQ(sig.data.size(), 64u);
    EXPECT_EQ(SM2_Verify(key.pub.data(), e.data(), sig.data.data()), 0);

    Bytes mine(64);
    ASSERT_EQ(SM2_Sign(key.d.data(), e.data(), mine.data()), 0);
    EXPECT_EQ(SW(Apdu(0x80, 0x72, 0x20, 0x40, Cat(Cat(e, key.pub), mine))), 0x9000);
    Bytes other = e;
    other[31] ^= 1;
    EXPECT_EQ(SW(Apdu(0x80, 0x72, 0x20, 0x40, Cat(Cat(other, key.pub), mine))), 0x9302);
}

TEST_F(Sm2Card, EncryptOnTheCardDecryptsWithTheModule)
{
    for (size_t len : {1u, 32u, 158u}) {
        Bytes m = RandomBytes(len);
        Reply c = Send(Apdu(0x80, 0x74, 0x40, 0, Cat(key.pub, m), 0xFF));
        ASSERT_EQ(c.sw, 0x9000) << len;
        ASSERT_EQ(c.data.size(), len + 97);
        Bytes out(len);
        uint32_t n = 0;
        ASSERT_EQ(SM2_Decrypt(key.d.data(), c.data.data(), uint32_t(c.data.size()), out.data(), &n), 0);
        EXPECT_EQ(out, m);
    }
    Bytes bad = key.pub;
    bad[63] ^= 1;
    EXPECT_EQ(SW(Apdu(0x80, 0x74, 0x40, 0, Cat(bad, Bytes(5, 1)), 0xFF)), 0x6A80);
}

TEST_F(Sm2Card, DecryptsChallengesOfEveryLength)
{
    for (size_t len : {1u, 100u, 152u, 158u}) {   // ciphertexts of 98 to 255 bytes
        Bytes m = RandomBytes(len);
        Reply r = Decrypt(Encrypt(m));
        ASSERT_EQ(r.sw, 0x9000) << len;
        EXPECT_EQ(r.data, m) << len;
    }
}

TEST_F(Sm2Card, RefusedCiphertextsCarryNoData)
{
    Bytes c = Encrypt(RandomBytes(40));
    Bytes badC3 = c;
    badC3.back() ^= 1;
    Bytes badC2 = c;
    badC2[70] ^= 1;
    Bytes badC1 = c;
    badC1[64] ^= 1;
    for (const Bytes* bad : {&badC3, &badC2, &badC1}) {
        Reply r = Decrypt(*bad);
        EXPECT_EQ(r.sw, 0x6A80);
        EXPECT_TRUE(r.data.empty());
    }
    // A challenge for another key fails its check value as well.
    NewKey(2, 5);
    Reply r = Decrypt(c, 2);
    EXPECT_EQ(r.sw, 0x6A80);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(Decrypt(c).sw, 0x9000);
}

TEST_F(Sm2Card, KeysOfOtherCurvesAreRefused)
{
    NewKey(2, 0);
    NewKey(3, 4);
    Bytes e = RandomBytes(32);
    EXPECT_EQ(SW(Apdu(0x80, 0x70, 0x12, 0, e, 64)), 0x6A86);
    EXPECT_EQ(Decrypt(Encrypt(RandomBytes(8)), 2).sw, 0x6A86);
    EXPECT_EQ(SW(Apdu(0x80, 0x70, 0x13, 0, e, 64)), 0x9000);
    EXPECT_EQ(SW(Apdu(0x80, 0x70, 0x15, 0, e, 64)), 0x6A03) << "empty slot";
}

// The inner key that unwraps the slot keys is held only after the user PIN
// has been verified on the bound image: a restoration, a rebind and a wrong
// PIN all lose it.
TEST_F(Sm2Card, ChallengeNeedsTheUserPinAfterRestoration)
{
    const Bytes m = RandomBytes(24);
    const Bytes c = Encrypt(m);
    ASSERT_EQ(Decrypt(c).data, m);

    ASSERT_EQ(Send(Apdu(0x00, 0x06, 0, 0, {}, 0x10)).sw, 0x9000);
    EXPECT_EQ(Decrypt(c).sw, 0x6982);

    TempImage other{-1};
    ASSERT_EQ(CreateVEFlashFile(other.path().c_str()), 0);
    ASSERT_EQ(SetVEFlashFile(image.path().c_str()), 0);
    EXPECT_EQ(Decrypt(c).sw, 0x6982);
    EXPECT_EQ(VerifyPin(2, Text("00000000")), 0x63C4);
    EXPECT_EQ(Decrypt(c).sw, 0x6982);
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    Reply r = Decrypt(c);
    ASSERT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, m);
}

// A card whose file 2 no longer matches the user PIN verifies the PIN but
// holds no inner key: its private keys are refused, not unwrapped to garbage.
TEST_F(Sm2Card, NoInnerKeyNoPrivateKeyUse)
{
    _file_info_ f2;
    ASSERT_EQ(SelectFile(FID_INNERKEY, &f2), 0);
    const size_t at = FS_DATA_OFF + FS_SECTOR_SIZE * f2.first + 5;
    Bytes b = image.Peek(at, 1);
    image.Poke(at, {uint8_t(b.at(0) ^ 0x01)});
    ASSERT_EQ(Send(Apdu(0x00, 0x06, 0, 0, {}, 0x10)).sw, 0x9000);
    ASSERT_EQ(VerifyDefault(1), 0x9000);
    ASSERT_EQ(VerifyDefault(2), 0x9000);
    Bytes e = RandomBytes(32);
    EXPECT_EQ(SW(Apdu(0x80, 0x70, 0x11, 0, e, 64)), 0x6985);
    EXPECT_EQ(Decrypt(Encrypt(RandomBytes(8))).sw, 0x6985);
    EXPECT_EQ(SW(Apdu(0x80, 0x40, 0x00, 0x00, {}, 50)), 0x6985);
}

}  // namespace
}  // namespace ins
