// The card's key store: first start, key records, PIN verification, the inner
// key and private-key unwrapping, with the small shared helpers.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "card_fixture.h"
#include "common/crc16_oracle.h"
#include "common/reference_curves.h"
#include "smcrypto/ecurve.h"
#include "vcard/acos.h"
#include "vcard/cosecc.h"
#include "vcard/default_pins.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sha1(const Bytes& m)
{
    Bytes d(20);
    unsigned n = 0;
    EVP_Digest(m.data(), m.size(), d.data(), &n, EVP_sha1(), nullptr);
    return d;
}

Bytes Sm4Ecb(bool enc, const uint8_t key[16], const Bytes& in)
{
    Bytes out(in.size() + 16);
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(c, EVP_sm4_ecb(), nullptr, key, nullptr, enc ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_CipherUpdate(c, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(c, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(c);
    out.resize(n1 + n2);
    return out;
}

Bytes Str(const char* s) { return Bytes(s, s + std::strlen(s)); }

_len_buf_ PinBuf(const Bytes& pin)
{
    _len_buf_ b = {};
    b.len = static_cast<uint32_t>(pin.size());
    std::memcpy(b.buf, pin.data(), std::min<size_t>(16, pin.size()));
    return b;
}

void MakeFile(uint8_t fid, uint16_t size, const Bytes& content)
{
    _file_info_ e = {};
    e.fid = fid;
    e.maxsize = size;
    ASSERT_EQ(CreateCOSFile(&e), 0);
    ASSERT_EQ(SelectFile(fid, &e), 0);
    ASSERT_EQ(WriteCOSFile(e, 0, content.data(), static_cast<uint16_t>(content.size())), 0);
}

Bytes FileBytes(uint8_t fid)
{
    _file_info_ e;
    EXPECT_EQ(SelectFile(fid, &e), 0);
    Bytes b(e.used);
    EXPECT_EQ(ReadCOSFile(e, 0, b.data(), e.used), 0);
    return b;
}

_key_info_ Record(uint32_t n)
{
    _key_info_ r = {};
    EXPECT_EQ(RWSystemKey(0, n, &r), 0x9000) << "record " << n;
    return r;
}

// A card after its first start, with the volatile state the front end keeps.
class BlankCard : public FormattedCard {
protected:
    void SetUp() override
    {
        FormattedCard::SetUp();
        _dev_info_ dev;
        std::memset(&dev, 0x77, sizeof dev);
        ASSERT_EQ(InitAuth(&dev), 0);
        EXPECT_EQ(dev.blocked + dev.cacheOn + dev.cacheDays + dev.lastDate, 0u);
    }
    uint16_t Verify(uint32_t n, const Bytes& pin)
    {
        return VerifyPin(n, pin.data(), static_cast<uint8_t>(pin.size()), &usrPin, &innerKey, &secStatus);
    }
    // Identity record 0x40: a recovery point on curve 0, byte 48, identity up
    // to the used length. Returns the recovery scalar.
    Bytes PutIdentity(uint16_t used)
    {
        Bytes p(24), P(48);
        EXPECT_EQ(Chip_GenKey(0, 0, p.data(), P.data()), CHIP_OK);
        Bytes rec = P;
        rec.resize(used, 0x41);
        MakeFile(FID_IDENTITY, 256, rec);
        return p;
    }
    _len_buf_ usrPin = {};
    _len_buf_ innerKey = {};
    uint16_t secStatus = 0;
};

const Bytes kUserPin = Str(DEFAULT_USER_PIN);

}  // namespace

TEST(CardHelpers, Crc16DaysRoundingZeroTest)
{
    const Bytes digits = Str("123456789");
    EXPECT_EQ(ECalCrc16(0, digits.data(), 9), 0x31C3);
    EXPECT_EQ(ECalCrc16(ECalCrc16(0, digits.data(), 4), digits.data() + 4, 5), 0x31C3)
        << "continued over pieces";
    EXPECT_EQ(ECalCrc16(0, digits.data(), 0), 0);

    struct {
        int32_t a, b, days;
    } spans[] = {
        {20230301, 20230228, 1}, {20240301, 20240228, 1},   // no leap day
        {20240101, 20231231, 1}, {20241231, 20240101, 364},
        {20230115, 20230115, 0}, {20230201, 20230101, 31},
    };
    for (auto& s : spans)
        EXPECT_EQ(SurplusDays(s.a, s.b), s.days) << s.a << " - " << s.b;
    EXPECT_EQ(GetDays(20000101), 365 * 2000 - 730000 + 1);
    EXPECT_EQ(GetDays(20001301), GetDays(20000001)) << "months outside 1..12 count 0 days";

    const int len[][2] = {{0, 0}, {1, 16}, {16, 16}, {17, 32}, {24, 32}, {32, 32}, {33, 48}};
    for (auto& l : len)
        EXPECT_EQ(GetAdustLen(l[0], 16), l[1]) << l[0];

    const uint8_t z[3] = {0, 0, 0}, nz[3] = {0, 0, 1};
    EXPECT_EQ(BufIsZero(z, 3), 1);
    EXPECT_EQ(BufIsZero(nz, 3), 0);
    EXPECT_EQ(BufIsZero(nz, 2), 1);
    EXPECT_EQ(BufIsZero(nz, 0), 1);
    EXPECT_EQ(BufIsZero(nz, -4), 1);
}

TEST(DefaultPins, HeaderValues)
{
    uint8_t pin[DEFAULT_PIN_LEN];
    const char* want[] = {"12345678", "87654321", "40736158"};
    for (unsigned t = 0; t < 3; ++t) {
        ASSERT_EQ(BuildDefaultPin(t, pin), 0);
        EXPECT_EQ(Bytes(pin, pin + 8), Str(want[t]));
    }
    EXPECT_EQ(BuildDefaultPin(3, pin), -1);
    EXPECT_STREQ(DEFAULT_USER_PIN, "40736158");
}

TEST_F(BlankCard, FirstStartWritesDeviceStatusAndDefaultPins)
{
    EXPECT_EQ(FileBytes(FID_DEVINFO), Bytes(8, 0));
    _file_info_ keys;
    ASSERT_EQ(SelectFile(FID_KEYS, &keys), 0);
    EXPECT_EQ(keys.used, 160);
    EXPECT_EQ(keys.maxsize, 384);
    const char* pins[] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
    Bytes all = FileBytes(FID_KEYS);
    for (uint32_t n = 3; n <= 5; ++n) {
        Bytes rec(all.begin() + 32 * (n - 1), all.begin() + 32 * n);
        Bytes want = {uint8_t(n), uint8_t(n - 3), 2, 0, uint8_t(n), uint8_t(n), 5, 5, 0, 0, 0, 0};
        Bytes d = Sha1(Str(pins[n - 3]));
        want.insert(want.end(), d.begin(), d.end());
        EXPECT_EQ(rec, want) << "record " << n;
    }
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 64), Bytes(64, 0)) << "records 1, 2 empty";

    // The next start reads the stored status (little-endian in the image).
    _dev_info_ dev = {1, 1, 0x0102, 20240131};
    ASSERT_EQ(RWDeviceStatus(1, &dev), 0);
    EXPECT_EQ(FileBytes(FID_DEVINFO), Bytes({1, 1, 0x02, 0x01, 0x03, 0xD7, 0x34, 0x01}));
    _dev_info_ again = {};
    ASSERT_EQ(InitAuth(&again), 0);
    EXPECT_EQ(std::memcmp(&again, &dev, sizeof dev), 0);
    ASSERT_EQ(SelectFile(FID_KEYS, &keys), 0);
    EXPECT_EQ(keys.used, 160) << "PINs are written on the first start only";

    ASSERT_EQ(DeleteCOSFile(FID_DEVINFO), 0);
    EXPECT_EQ(RWDeviceStatus(0, &dev), 0x6A82);
}

TEST_F(BlankCard, FirstStartOnAnUnwritableImageIsRetried)
{
    ASSERT_EQ(FileSysInit(), 0);
    if (!image.SetReadOnly(true))
        GTEST_SKIP() << "cannot make the image read-only here";
    _dev_info_ dev;
    EXPECT_EQ(InitAuth(&dev), 0x6581);
    image.SetReadOnly(false);
    ASSERT_EQ(InitAuth(&dev), 0);
    EXPECT_EQ(Record(5).tries, 5);
}

// Without a device status, only a card that holds no more than a first start
// writes gets the first start: a damaged or foreign image and a card whose
// status file was deleted after its PIN was used are left byte for byte as
// they were, and the stored PINs are not replaced by the default ones.
TEST_F(BlankCard, NoFirstStartOnMoreThanAFirstStartLeaves)
{
    // A used PIN record, then the status file deleted.
    ASSERT_EQ(Verify(KEY_USER_PIN, Str("wrong")), 0x63C4);
    ASSERT_EQ(DeleteCOSFile(FID_DEVINFO), 0);
    const Bytes deleted = image.Bytes();
    _dev_info_ dev;
    EXPECT_EQ(InitAuth(&dev), 0x6A82);
    EXPECT_EQ(image.Bytes(), deleted);
    EXPECT_EQ(Record(KEY_USER_PIN).tries, 4) << "the stored PIN record stays";

    // Another file beside the key file.
    ASSERT_EQ(FileSysInit(), 0);
    ASSERT_EQ(InitAuth(&dev), 0);
    ASSERT_EQ(DeleteCOSFile(FID_DEVINFO), 0);
    _file_info_ extra = {};
    extra.fid = 0x80;
    extra.maxsize = 64;
    ASSERT_EQ(CreateCOSFile(&extra), 0);
    const Bytes withExtra = image.Bytes();
    EXPECT_EQ(InitAuth(&dev), 0x6A82);
    EXPECT_EQ(image.Bytes(), withExtra);

    // Random bytes where the file system lies.
    Bytes random(0x10000);
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    random[0] |= 1;   // a sector in use
    image.Store(random);
    EXPECT_EQ(InitAuth(&dev), 0x6A82);
    EXPECT_EQ(image.Bytes(), random);

    // A formatted card (all sectors free) still gets its first start.
    ASSERT_EQ(FileSysInit(), 0);
    ASSERT_EQ(InitAuth(&dev), 0);
    EXPECT_EQ(Record(KEY_USER_PIN).tries, 5);
}

// What a first start leaves when it is cut off before file 0 (the default
// PIN records written, file 0's sector taken but its entry not stored), and
// an erased file system whose bitmap says every sector is in use (a format
// cut off after its first block): both start as a blank card does.
TEST_F(BlankCard, ACutOffFirstStartOrFormatStartsAgain)
{
    ASSERT_EQ(FileSysInit(), 0);
    _dev_info_ dev;
    ASSERT_EQ(InitAuth(&dev), 0);
    const Bytes started = image.Bytes();

    // File 0 gone from the directory, its sector still marked in use.
    Bytes cut = started;
    std::fill(cut.begin() + FS_DIR_OFF, cut.begin() + FS_DIR_OFF + 8, 0xFF);
    image.Store(cut);
    EXPECT_EQ(InitAuth(&dev), 0);
    EXPECT_EQ(image.Bytes(), started);

    Bytes erased(0x10000, 0xFF);
    image.Store(erased);
    EXPECT_EQ(InitAuth(&dev), 0);
    EXPECT_EQ(image.Bytes(), started);
}

// A card whose bitmap uses sectors no first start takes (its key files and
// other files) is never taken for an unfinished first start, even with its
// whole directory erased: nothing of it is formatted or written.
TEST_F(BlankCard, AnErasedDirectoryOverSectorsInUseIsNeverFormatted)
{
    ASSERT_EQ(FileSysInit(), 0);
    _dev_info_ dev;
    ASSERT_EQ(InitAuth(&dev), 0);
    Bytes card = image.Bytes();
    card[FS_BITMAP_OFF] = 0xFF;
    card[FS_BITMAP_OFF + 1] = 0x07;
    std::fill(card.begin() + FS_DIR_OFF, card.begin() + FS_DIR_OFF + 8 * FS_DIR_ENTRIES, 0xFF);
    image.Store(card);
    EXPECT_EQ(InitAuth(&dev), 0x6A82);
    EXPECT_EQ(image.Bytes(), card);
}

TEST_F(BlankCard, KeyRecordReadsAndInstallation)
{
    _key_info_ r;
    EXPECT_EQ(RWSystemKey(0, 6, &r), 0x6C00) << "offset equals the used length";
    EXPECT_EQ(RWSystemKey(0, 7, &r), 0x6A03);
    EXPECT_EQ(RWSystemKey(0, 0, &r), 0x6A03);
    EXPECT_EQ(RWSystemKey(0, 13, &r), 0x6A03);
    EXPECT_EQ(RWSystemKey(1, 13, &r), 0x6A03) << "beyond the key file's records";

    Bytes master = {1, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 16; ++i)
        master.push_back(uint8_t(0xA0 + i));
    EXPECT_EQ(WriteCosKey(0, master.data(), 24, 1, 0), 0x9000);
    const _key_info_ k1 = Record(1);
    EXPECT_EQ(Bytes(k1.value, k1.value + 16), Bytes(master.begin() + 8, master.end()));
    EXPECT_EQ(WriteCosKey(0, master.data(), 24, 1, 0), 0x6985) << "the master key is installed once";

    Bytes mac = {2, 0, 1, 0, 0, 0, 0, 0};
    mac.resize(24, 0x11);
    EXPECT_EQ(WriteCosKey(0, mac.data(), 24, 2, 1), 0x9000);
    mac[10] = 0x22;
    EXPECT_EQ(WriteCosKey(0, mac.data(), 24, 2, 1), 0x9000) << "key 2 may be installed again";
    EXPECT_EQ(Record(2).value[2], 0x22);

    struct {
        uint32_t number, type;
        int length;
        uint16_t sw;
    } refused[] = {
        {2, 2, 24, 0x6A80},   // type differs from the header
        {3, 1, 24, 0x6A80},   // number differs from the header
        {2, 1, 23, 0x6700},   // too short to hold a record
    };
    for (auto& c : refused)
        EXPECT_EQ(WriteCosKey(0, mac.data(), c.length, c.number, c.type), c.sw) << c.number;

    // Updates replace the value and keep the header.
    Bytes v(16, 0x5E);
    EXPECT_EQ(WriteCosKey(1, v.data(), 16, 2, 1), 0x9000);
    _key_info_ k2 = Record(2);
    EXPECT_EQ(Bytes(k2.value, k2.value + 16), v);
    EXPECT_EQ(k2.no, 2);
    EXPECT_EQ(WriteCosKey(1, v.data(), 16, 2, 3), 0x6A86);
    EXPECT_EQ(Record(2).type, 1);
    EXPECT_EQ(WriteCosKey(1, v.data(), 16, 7, 4), 0x6985) << "no such record";
    EXPECT_EQ(WriteCosKey(1, v.data(), 15, 2, 1), 0x6700);
    // Installing record 9 leaves records 6 to 8 zero: empty, not updatable.
    Bytes nine = {9, 0, 4, 0, 9, 0, 3, 3};
    nine.resize(24, 0x99);
    EXPECT_EQ(WriteCosKey(0, nine.data(), 24, 9, 4), 0x9000);
    EXPECT_EQ(Record(7).no, 0);
    EXPECT_EQ(WriteCosKey(1, v.data(), 16, 7, 4), 0x6985) << "empty record";
    _file_info_ keys;
    ASSERT_EQ(SelectFile(FID_KEYS, &keys), 0);
    EXPECT_EQ(keys.used, 9 * 32);
}

// Installation replaces record bytes 0..7 and the key value; bytes 8..15 stay
// as the stored record has them, and are zero where there was no record.
TEST_F(BlankCard, InstallationKeepsTheMiddleOfTheStoredRecord)
{
    auto middle = [](const _key_info_& r) { return Bytes(r.rfu, r.rfu + 8); };
    // A default PIN record holds the digest's first 4 bytes in bytes 12..15.
    const Bytes digest = Sha1(Str(DEFAULT_PIN_TYPE0));
    const Bytes expect = {0, 0, 0, 0, digest[0], digest[1], digest[2], digest[3]};
    ASSERT_EQ(middle(Record(3)), expect);

    Bytes pin3 = {3, 0, 2, 0, 3, 3, 7, 7};
    pin3.resize(24, 0x33);
    ASSERT_EQ(WriteCosKey(0, pin3.data(), 24, 3, 2), 0x9000);
    const _key_info_ r3 = Record(3);
    EXPECT_EQ(middle(r3), expect) << "bytes 8..15 of the stored record";
    EXPECT_EQ(Bytes(reinterpret_cast<const uint8_t*>(&r3), reinterpret_cast<const uint8_t*>(&r3) + 8),
              Bytes(pin3.begin(), pin3.begin() + 8));
    EXPECT_EQ(Bytes(r3.value, r3.value + 16), Bytes(16, 0x33));

    // Record 6 lies at the key file's used length: nothing to keep.
    Bytes six = {6, 0, 3, 0, 6, 0, 5, 5};
    six.resize(24, 0x66);
    ASSERT_EQ(WriteCosKey(0, six.data(), 24, 6, 3), 0x9000);
    EXPECT_EQ(middle(Record(6)), Bytes(8, 0));
}

TEST_F(BlankCard, HigherRankingPins)
{
    struct {
        uint32_t n;
        uint16_t sec;
        int want;
    } cases[] = {
        {3, 0xFFFF, 0}, {4, 0x0008, 1}, {4, 0x0010, 0}, {5, 0x0010, 1},
        {5, 0x0020, 0}, {5, 0x0007, 0}, {0, 0xFFFF, 0}, {40, 0x8000, 1},
    };
    for (auto& c : cases)
        EXPECT_EQ(HightLevelStatus(c.n, c.sec), c.want) << c.n << " " << c.sec;
}

TEST_F(BlankCard, PinTriesCountDownAndRestore)
{
    const Bytes pin0 = Str(DEFAULT_PIN_TYPE0), wrong = Str("00000000");
    EXPECT_EQ(Verify(3, wrong), 0x63C4);
    EXPECT_EQ(Record(3).tries, 4);
    EXPECT_EQ(Verify(3, pin0), 0x9000);
    EXPECT_EQ(Record(3).tries, 5);
    EXPECT_EQ(secStatus, 1u << 3);

    const uint16_t expect[] = {0x63C4, 0x63C3, 0x63C2, 0x63C1, 0x63C0};
    for (uint16_t sw : expect)
        EXPECT_EQ(Verify(3, wrong), sw);
    EXPECT_EQ(secStatus, 0) << "a wrong PIN clears its bit";
    EXPECT_EQ(Verify(3, pin0), 0x6983) << "blocked even for the right PIN";
    EXPECT_EQ(Verify(3, wrong), 0x6983);
    EXPECT_EQ(Record(3).tries, 0);

    EXPECT_EQ(Verify(4, Str(DEFAULT_PIN_TYPE1)), 0x9000);
    EXPECT_EQ(secStatus, 1u << 4);
    EXPECT_EQ(Verify(4, Str("8765432")), 0x63C4) << "a prefix is wrong";
    EXPECT_EQ(Verify(7, pin0), 0x6A03) << "no such record";
}

TEST_F(BlankCard, UserPinWithoutInnerKeyFile)
{
    EXPECT_EQ(Verify(5, kUserPin), 0x9000);
    EXPECT_EQ(secStatus, 1u << 5);
    EXPECT_EQ(usrPin.len, 8u);
    EXPECT_EQ(Bytes(usrPin.buf, usrPin.buf + 16), [] { Bytes b = kUserPin; b.resize(16, 0); return b; }());
    EXPECT_EQ(innerKey.len, 0u) << "no file 2: no inner key";

    // A wrong user PIN clears the bit and the inner key, keeps the PIN buffer.
    innerKey.len = 16;
    std::memset(innerKey.buf, 0x99, 16);
    EXPECT_EQ(Verify(5, Str("40736159")), 0x63C4);
    EXPECT_EQ(secStatus, 0);
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&innerKey), reinterpret_cast<uint8_t*>(&innerKey) + 20), Bytes(20, 0));
    EXPECT_EQ(Bytes(usrPin.buf, usrPin.buf + 8), kUserPin);

    // A longer PIN than the buffer holds never writes past it.
    Bytes longPin(20, '7');
    EXPECT_EQ(Verify(5, longPin), 0x63C3);
}

TEST_F(BlankCard, PinCounterThatCannotBeWrittenGivesNoAnswer)
{
    // A key file whose entry no longer admits record 5: the tries counter
    // cannot be written back, so neither the right nor a wrong PIN is judged.
    image.Poke(0x400 + 8 * FID_KEYS + 6, {150, 0});
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Verify(5, Str("11111111")), 0x6581);
    EXPECT_EQ(Verify(5, kUserPin), 0x6581);
    EXPECT_EQ(secStatus, 0);
    image.Poke(0x400 + 8 * FID_KEYS + 6, {0x80, 0x01});
    EXPECT_EQ(Record(5).tries, 5);

    if (!image.SetReadOnly(true))
        GTEST_SKIP() << "cannot make the image read-only here";
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Verify(3, Str("11111111")), 0x6581);
    EXPECT_EQ(Verify(3, Str(DEFAULT_PIN_TYPE0)), 0x6581);
    image.SetReadOnly(false);
    EXPECT_EQ(Record(3).tries, 5);
}

TEST_F(BlankCard, InnerKeyNeedsAUserPinAndFile2)
{
    uint8_t secret[48];
    EXPECT_EQ(LoadInnerKey(1, nullptr, secret, _len_buf_{}), 0x6985);
    EXPECT_EQ(LoadInnerKey(0, nullptr, secret, PinBuf(kUserPin)), 0x6A82);
    EXPECT_EQ(LoadInnerKey(1, nullptr, secret, PinBuf(kUserPin)), 0x6A82) << "no identity record";
    _file_info_ e;
    EXPECT_EQ(SelectFile(FID_INNERKEY, &e), 0x6A82);
}

TEST_F(BlankCard, InnerKeyCreationChecksTheIdentityRecordLength)
{
    struct {
        uint16_t used;
        uint16_t sw;
    } cases[] = {{49, 0x6A85}, {50, 0}, {113, 0}, {114, 0x6A85}};
    for (auto& c : cases) {
        ASSERT_EQ(FileSysInit(), 0);
        _dev_info_ dev;
        ASSERT_EQ(InitAuth(&dev), 0);
        PutIdentity(c.used);
        uint8_t secret[48];
        EXPECT_EQ(LoadInnerKey(1, nullptr, secret, PinBuf(kUserPin)), c.sw) << "used " << c.used;
        _file_info_ e;
        EXPECT_EQ(SelectFile(FID_INNERKEY, &e), c.sw ? 0x6A82 : 0) << "used " << c.used;
    }
}

TEST_F(BlankCard, InnerKeyRecordAndRecovery)
{
    const Bytes p = PutIdentity(60);
    const _len_buf_ pin = PinBuf(kUserPin);
    uint8_t cipher[48], secret[48];
    ASSERT_EQ(LoadInnerKey(1, cipher, secret, pin), 0);
    const Bytes S(secret, secret + 48);

    Bytes rec = FileBytes(FID_INNERKEY);
    ASSERT_EQ(rec.size(), 118u);
    _file_info_ e;
    ASSERT_EQ(SelectFile(FID_INNERKEY, &e), 0);
    EXPECT_EQ(e.maxsize, 128);
    EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 48), Bytes(cipher, cipher + 48));
    EXPECT_EQ(Sm4Ecb(false, pin.buf, Bytes(rec.begin(), rec.begin() + 48)), S);
    const uint16_t crc = crc16_xmodem(secret, 48);
    EXPECT_EQ(rec[96], crc & 0xFF);
    EXPECT_EQ(rec[97], crc >> 8);
    EXPECT_EQ(Bytes(rec.begin() + 98, rec.end()), Sha1(S));

    // S = r·G on curve 0 and bytes 48..95 = r·P: the holder of p recovers S.
    {
        EC_GROUP* g = refcurve::group(0);
        EC_POINT* pt = EC_POINT_new(g);
        BIGNUM* x = BN_bin2bn(secret, 24, nullptr);
        BIGNUM* y = BN_bin2bn(secret + 24, 24, nullptr);
        EXPECT_EQ(EC_POINT_set_affine_coordinates(g, pt, x, y, nullptr), 1);
        EXPECT_EQ(EC_POINT_is_on_curve(g, pt, nullptr), 1);
        BN_free(x);
        BN_free(y);
        EC_POINT_free(pt);
        EC_GROUP_free(g);
    }
    // Recovered by the crypto library, not the card's envelope code:
    // S = p^-1 * (r*P), with p^-1 taken modulo the curve's order.
    {
        EC_GROUP* g = refcurve::group(0);
        BN_CTX* ctx = BN_CTX_new();
        EC_POINT* rP = EC_POINT_new(g);
        BIGNUM* x = BN_bin2bn(rec.data() + 48, 24, nullptr);
        BIGNUM* y = BN_bin2bn(rec.data() + 72, 24, nullptr);
        BIGNUM* pinv = BN_new();
        BIGNUM* pbn = BN_bin2bn(p.data(), 24, nullptr);
        BIGNUM *sx = BN_new(), *sy = BN_new();
        ASSERT_EQ(EC_POINT_set_affine_coordinates(g, rP, x, y, ctx), 1);
        ASSERT_NE(BN_mod_inverse(pinv, pbn, EC_GROUP_get0_order(g), ctx), nullptr);
        ASSERT_EQ(EC_POINT_mul(g, rP, nullptr, rP, pinv, ctx), 1);
        ASSERT_EQ(EC_POINT_get_affine_coordinates(g, rP, sx, sy, ctx), 1);
        Bytes recovered(48);
        BN_bn2binpad(sx, recovered.data(), 24);
        BN_bn2binpad(sy, recovered.data() + 24, 24);
        EXPECT_EQ(recovered, S);
        for (BIGNUM* b : {x, y, pinv, pbn, sx, sy})
            BN_free(b);
        EC_POINT_free(rP);
        BN_CTX_free(ctx);
        EC_GROUP_free(g);
    }
    // The card's own opening agrees.
    Bytes opened(48);
    ASSERT_EQ(Chip_OpenDE(0, rec.data() + 48, p.data(), opened.data()), CHIP_OK);
    EXPECT_EQ(opened, S);

    // Loading again gives the same secret; a second create keeps file 2.
    uint8_t again[48];
    ASSERT_EQ(LoadInnerKey(1, nullptr, again, pin), 0);
    EXPECT_EQ(Bytes(again, again + 48), S);
    EXPECT_EQ(FileBytes(FID_INNERKEY), rec);

    // Verifying the user PIN now holds the inner key.
    EXPECT_EQ(Verify(5, kUserPin), 0x9000);
    EXPECT_EQ(innerKey.len, 16u);
    EXPECT_EQ(Bytes(innerKey.buf, innerKey.buf + 16), Bytes(secret, secret + 16));
}

TEST_F(BlankCard, InnerKeyUnderAWrongPinOrDamagedRecordIsRefused)
{
    PutIdentity(50);
    uint8_t secret[48];
    ASSERT_EQ(LoadInnerKey(1, nullptr, secret, PinBuf(kUserPin)), 0);
    const Bytes rec = FileBytes(FID_INNERKEY);

    uint8_t outA[48], outB[48];
    std::memset(outA, 0xC3, 48);
    std::memset(outB, 0xC3, 48);
    EXPECT_EQ(LoadInnerKey(0, outA, outB, PinBuf(Str("12345678"))), 0x6985) << "another PIN";
    EXPECT_EQ(Bytes(outA, outA + 48), Bytes(48, 0xC3));
    EXPECT_EQ(Bytes(outB, outB + 48), Bytes(48, 0xC3));

    for (size_t at : {size_t(0), size_t(47), size_t(98), size_t(117)}) {
        Bytes bad = rec;
        bad[at] ^= 0x01;
        image.Poke(0, {});
        _file_info_ e;
        ASSERT_EQ(SelectFile(FID_INNERKEY, &e), 0);
        ASSERT_EQ(WriteCOSFile(e, 0, bad.data(), 118), 0);
        EXPECT_EQ(LoadInnerKey(1, outA, outB, PinBuf(kUserPin)), 0x6985) << "byte " << at;
        EXPECT_EQ(Bytes(outB, outB + 48), Bytes(48, 0xC3));
    }

    // A user PIN verified against such a file 2 holds no inner key.
    EXPECT_EQ(Verify(5, kUserPin), 0x9000);
    EXPECT_EQ(innerKey.len, 0u);

    // A short file 2 is a damaged one.
    ASSERT_EQ(DeleteCOSFile(FID_INNERKEY), 0);
    MakeFile(FID_INNERKEY, 128, Bytes(rec.begin(), rec.begin() + 48));
    EXPECT_EQ(LoadInnerKey(1, outA, outB, PinBuf(kUserPin)), 0x6985);
}

TEST_F(BlankCard, InnerKeyIsNotCreatedForAnOffCurveRecoveryPoint)
{
    Bytes rec(60, 0x01);
    MakeFile(FID_IDENTITY, 128, rec);
    uint8_t secret[48];
    EXPECT_EQ(LoadInnerKey(1, nullptr, secret, PinBuf(kUserPin)), 0x6A80);
    _file_info_ e;
    EXPECT_EQ(SelectFile(FID_INNERKEY, &e), 0x6A82);
}

TEST_F(BlankCard, PrivateKeyUnwrapping)
{
    const uint8_t key[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                             0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    uint8_t out[32], curve = 0xEE;
    EXPECT_EQ(GetPrivateKey(0x10, key, out, &curve), 0x6A03) << "no key file";

    Bytes table(16, 0);
    table[0] = 0;   // slot 0: prime192v1, L 24, B 32
    table[1] = 1;   // slot 1: secp64r1, L 8, B 16
    table[2] = 0;   // slot 2: stored value too short for B
    table[3] = 6;   // slot 3: no such curve
    table[4] = 0;   // slot 4: more stored than B
    MakeFile(FID_PRIVKEY + 3, 128, Bytes(32, 1));
    EXPECT_EQ(GetPrivateKey(0x13, key, out, &curve), 0x6A82) << "no curve table";
    MakeFile(FID_CURVES, 64, table);

    struct Slot {
        uint8_t fid;
        uint8_t serial;
        size_t stored;
        uint16_t sw;
    } slots[] = {
        {0x10, 0, 32, 0x9000}, {0x11, 1, 16, 0x9000}, {0x12, 0, 16, 0x6A03},
        {0x14, 0, 40, 0x9000}, {0x15, 0, 15, 0x6A03},
    };
    for (const Slot& s : slots) {
        const uint8_t L = GetParamLen(s.serial);
        const size_t B = (L + 15) & ~15u;
        Bytes scalar(B, 0);
        for (uint8_t i = 0; i < L; ++i)
            scalar[i] = uint8_t(0x40 + i + s.fid);
        Bytes stored = Sm4Ecb(true, key, scalar);
        stored.resize(s.stored, 0x55);
        MakeFile(s.fid, 128, stored);
        uint8_t got[64];
        std::memset(got, 0xAB, sizeof got);
        curve = 0xEE;
        EXPECT_EQ(GetPrivateKey(s.fid, key, got, &curve), s.sw) << std::hex << int(s.fid);
        if (s.sw == 0x9000) {
            EXPECT_EQ(curve, s.serial);
            EXPECT_EQ(Bytes(got, got + B), scalar) << "scalar then zero padding";
            EXPECT_EQ(got[B], 0xAB) << "nothing beyond B bytes";
        }
    }
    EXPECT_EQ(GetPrivateKey(0x13, key, out, &curve), 0x6A03) << "curve serial above 5";
    EXPECT_EQ(GetPrivateKey(0x16, key, out, &curve), 0x6A03) << "no such file";
    EXPECT_EQ(GetPrivateKey(0x20, key, out, &curve), 0x6A03) << "not a private-key file";
    EXPECT_EQ(GetPrivateKey(0x0F, key, out, &curve), 0x6A03);
}
