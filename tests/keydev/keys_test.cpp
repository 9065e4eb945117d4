// Key cards, key applications and key ids: issue from the card's matrix,
// installation into a key slot, the slot's records, and the issue routes
// between two images.
#include <openssl/objects.h>
#include <stdlib.h>
#include <time.h>

#include "common/crc16_oracle.h"
#include "keydev_fixture.h"
#include "smcrypto/xor.h"

using namespace kdt;

namespace {

time_t g_fixed = 0;
time_t fixed_clock() { return g_fixed; }

class KeysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        SharedIssuer& s = SharedIssuer::get();
        ASSERT_EQ(0, s.status) << s.err;
        issuer = s.info;
    }
    void TearDown() override
    {
        DevSetClock(nullptr);
        DevClose();
    }

    // A key card for id from the shared issuer (the issuer is opened).
    Bytes issue(const Bytes& id, uint32_t years = 1, const uint8_t* tk = nullptr, uint32_t* status = nullptr)
    {
        EXPECT_EQ(0u, open_verified(issuer.image));
        Bytes der(1024);
        int len = static_cast<int>(der.size());
        uint32_t st = DevGenKeyCard(id.data(), static_cast<uint32_t>(id.size()), years, tk, der.data(), &len);
        if (status)
            *status = st;
        else
            EXPECT_EQ(0u, st);
        der.resize(st == 0 ? static_cast<size_t>(len) : 0);
        return der;
    }

    imgbuild::IssuerInfo issuer;
    TempFolder dir;
};

TEST_F(KeysTest, ValidityFollowsTheClockInYearsNormalisedByTheCalendar)
{
    const time_t leapDay = 1709208000;  // 2024-02-29 12:00:00 UTC
    struct Case {
        uint32_t years;
        uint32_t status;
        int64_t notAfter;
    } cases[] = {
        {0, 0, 1709208000},
        {1, 0, 1740830400},    // 2025-03-01 12:00:00: no 29 February in 2025
        {100, 0, 4864881600},  // 2124-02-29 12:00:00
        {101, ST_BAD_ARGUMENT, 0},
    };
    g_fixed = leapDay;
    DevSetClock(fixed_clock);
    const Bytes id = text("clock@host");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.years);
        uint32_t st = 99;
        Bytes der = issue(id, c.years, nullptr, &st);
        ASSERT_EQ(c.status, st);
        if (st != 0) continue;
        KeyCard* kc = decode_card(der);
        ASSERT_NE(nullptr, kc);
        EXPECT_EQ(1, int_field(kc->version));
        EXPECT_EQ(leapDay, int_field(kc->notBefore));
        EXPECT_EQ(c.notAfter, int_field(kc->notAfter));
        EXPECT_EQ(id, field(kc->keyId));
        EXPECT_EQ(text(issuer.matrixId), field(kc->matrixId));
        EXPECT_EQ(NID_sm2, OBJ_obj2nid(kc->ecOid));
        EXPECT_EQ(0, ASN1_STRING_length(kc->R));
        KeyCard_free(kc);
    }
}

TEST_F(KeysTest, IssuedScalarCarriesItsCrcAndTheTransportMaskUndoesWithKeyXor)
{
    const Bytes id = machine_id(3);
    Bytes plainDer = issue(id);
    const uint8_t tk[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Bytes maskedDer = issue(id, 1, tk);
    KeyCard* plain = decode_card(plainDer);
    KeyCard* masked = decode_card(maskedDer);
    ASSERT_NE(nullptr, plain);
    ASSERT_NE(nullptr, masked);
    Bytes p = field(plain->isk), m = field(masked->isk);
    ASSERT_EQ(34u, p.size());
    ASSERT_EQ(34u, m.size());
    EXPECT_NE(Bytes(p.begin(), p.begin() + 32), Bytes(m.begin(), m.begin() + 32));

    Bytes unmasked(32);
    Key_XOR(m.data(), 32, tk, 16, unmasked.data());
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 32), unmasked);
    unsigned short crc = crc16_xmodem(unmasked.data(), 32);
    EXPECT_EQ(crc & 0xFF, m[32]);
    EXPECT_EQ(crc >> 8, m[33]);
    EXPECT_EQ(p[32], m[32]);
    EXPECT_EQ(p[33], m[33]);
    // The scalar is the identity's private key under the public matrix.
    EXPECT_TRUE(scalar_matches(5, unmasked, issuer.pksPath, id));
    KeyCard_free(plain);
    KeyCard_free(masked);
}

TEST_F(KeysTest, KeyIdRecordsGiveTheBytesBeforeTheLastAt)
{
    std::string image = dir.file("ids.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(image));
    ASSERT_EQ(0u, open_verified(image));
    struct Case {
        uint8_t slot;
        std::string record;  // "" : file created but never written
        uint32_t whole;
        uint32_t status;
        std::string answer;
    } cases[] = {
        {3, "a@b@M1", 0, 0, "a@b"},
        {3, "a@b@M1", 1, 0, "a@b@M1"},
        {4, "@M1", 0, 0, ""},
        {5, "no-at-sign", 0, ST_BAD_DER, "untouched"},
        {5, "no-at-sign", 1, 0, "no-at-sign"},
        {6, "", 0, ST_BAD_DER, "untouched"},
        {7, std::string(64, 'x').replace(50, 1, "@"), 0, 0, std::string(50, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        int fid = 0x50 + c.slot;
        if (!DevFileIsExist(fid)) {
            ASSERT_EQ(0u, DevCreateFile(fid));
        }
        if (!c.record.empty()) {
            ASSERT_EQ(0u, DevWriteFile(fid, reinterpret_cast<const uint8_t*>(c.record.data()),
                                       static_cast<int>(c.record.size())));
        }
        uint8_t out[64];
        memcpy(out, "untouched", 9);
        uint32_t len = 777;
        ASSERT_EQ(c.status, DevGetKeyId(c.whole, c.slot, out, &len));
        if (c.status == 0) {
            EXPECT_EQ(c.answer.size(), len);
            EXPECT_EQ(c.answer, std::string(reinterpret_cast<char*>(out), len));
        } else {
            EXPECT_EQ(777u, len);
            EXPECT_EQ(0, memcmp(out, "untouched", 9));
        }
    }
    uint8_t out[64];
    uint32_t len = 0;
    EXPECT_EQ(static_cast<uint32_t>(ST_KEY_SLOT), DevGetKeyId(0, 16, out, &len));
    EXPECT_EQ(static_cast<uint32_t>(ST_FILE_NOT_FOUND), DevGetKeyId(0, 9, out, &len));
}

TEST_F(KeysTest, PublicRecordIsTheCardWithAOneByteIsk)
{
    const Bytes id = text("public@record");
    Bytes der = issue(id);
    std::string image = dir.file("pub.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(image));
    ASSERT_EQ(0u, open_verified(image));
    ASSERT_EQ(0u, DevWriteKeyCard(4, 1, der.data(), static_cast<uint32_t>(der.size())));

    uint8_t rec[128];
    uint16_t recLen = sizeof rec;
    ASSERT_EQ(0u, COS_ReadPubKey(4, rec, &recLen));
    KeyCard* pub = decode_card(Bytes(rec, rec + recLen));
    KeyCard* orig = decode_card(der);
    ASSERT_NE(nullptr, pub);
    ASSERT_NE(nullptr, orig);
    EXPECT_EQ(Bytes{0x00}, field(pub->isk));
    ASN1_OCTET_STRING_set(orig->isk, reinterpret_cast<const unsigned char*>("\0"), 1);
    EXPECT_EQ(encode_card(orig), encode_card(pub));  // every other field equal
    KeyCard_free(pub);
    KeyCard_free(orig);

    uint8_t out[64];
    uint32_t len = 0;
    ASSERT_EQ(0u, DevGetKeyId(1, 4, out, &len));
    EXPECT_EQ("public@record@" + issuer.matrixId, std::string(reinterpret_cast<char*>(out), len));
}

// A card is refused before anything is written: the slot keeps its key and
// records.
TEST_F(KeysTest, RefusedCardsLeaveTheSlotAsItWas)
{
    const Bytes owner = text("owner");
    Bytes good = issue(owner);
    Bytes longId = issue(Bytes(60, 'L'));  // 60 + 1 + 8 bytes of key id record
    g_fixed = 946684800;                     // 2000-01-01
    DevSetClock(fixed_clock);
    Bytes expired = issue(text("expired"), 0);
    DevSetClock(nullptr);

    auto with = [&](void (*change)(KeyCard*)) {
        KeyCard* kc = decode_card(good);
        change(kc);
        Bytes out = encode_card(kc);
        KeyCard_free(kc);
        return out;
    };
    Bytes otherCurve = with([](KeyCard* kc) {
        ASN1_OBJECT_free(kc->ecOid);
        kc->ecOid = OBJ_nid2obj(NID_secp256k1);
    });
    Bytes shortIsk = with([](KeyCard* kc) {
        Bytes isk = field(kc->isk);
        ASN1_OCTET_STRING_set(kc->isk, isk.data(), 33);
    });
    Bytes atInMatrixId = with([](KeyCard* kc) { ASN1_STRING_set(kc->matrixId, "M@X", 3); });
    Bytes bigR = with([](KeyCard* kc) {
        Bytes r(100, 0x5A);
        ASN1_OCTET_STRING_set(kc->R, r.data(), static_cast<int>(r.size()));
    });
    Bytes garbage = {0x30, 0x03, 0x02, 0x01};

    std::string image = dir.file("slot.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(image));
    ASSERT_EQ(0u, open_verified(image));
    ASSERT_EQ(0u, DevWriteKeyCard(3, 1, good.data(), static_cast<uint32_t>(good.size())));
    uint8_t before[128];
    uint16_t beforeLen = sizeof before;
    ASSERT_EQ(0u, COS_ReadPubKey(3, before, &beforeLen));

    struct Case {
        const char* what;
        uint8_t slot;
        const Bytes* der;
        uint32_t status;
    } cases[] = {
        {"not a key card", 3, &garbage, ST_BAD_DER},
        {"expired", 3, &expired, ST_KEYCARD_EXPIRED},
        {"slot 16", 16, &good, ST_KEY_SLOT},
        {"curve outside the six", 3, &otherCurve, ST_UNKNOWN_CURVE},
        {"isk of L + 1 bytes", 3, &shortIsk, ST_BAD_ARGUMENT},
        {"'@' in the matrix id", 3, &atInMatrixId, ST_BAD_ARGUMENT},
        {"public record over 128 bytes", 3, &bigR, ST_BAD_ARGUMENT},
        {"key id record over 64 bytes", 3, &longId, ST_BAD_ARGUMENT},
    };
    const Bytes plain(128, 0x42);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status, DevWriteKeyCard(c.slot, 1, c.der->data(), static_cast<uint32_t>(c.der->size())));
        uint8_t after[128];
        uint16_t afterLen = sizeof after;
        ASSERT_EQ(0u, COS_ReadPubKey(3, after, &afterLen));
        EXPECT_EQ(Bytes(before, before + beforeLen), Bytes(after, after + afterLen));
        uint8_t id[64];
        uint32_t idLen = 0;
        ASSERT_EQ(0u, DevGetKeyId(0, 3, id, &idLen));
        EXPECT_EQ(owner, Bytes(id, id + idLen));
        // The private key is still the owner's.
        Bytes block = challenge(issuer.pksPath, owner, plain);
        uint8_t out[160];
        int outLen = sizeof out;
        ASSERT_EQ(0u, DevSM2Decrypt(3, block.data(), SM2_BLOCK_LEN, out, &outLen));
        EXPECT_EQ(plain, Bytes(out, out + outLen));
    }
}

TEST_F(KeysTest, EachIssueReadsTheMatrixRecordAfresh)
{
    const Bytes id = text("stale@matrix");
    Bytes first = issue(id);  // leaves the issuer open and verified
    ASSERT_FALSE(first.empty());

    // The same secret elements under another matrix id: a new head beside
    // the same points.
    Bytes pks;
    {
        FILE* f = fopen(issuer.pksPath.c_str(), "rb");
        ASSERT_NE(nullptr, f);
        uint8_t buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) pks.insert(pks.end(), buf, buf + n);
        fclose(f);
    }
    MATRIX* m = nullptr;
    ASSERT_EQ(0, KMX_Decode_Head(pks.data(), &m));
    ASN1_STRING_set(m->matrixId, "RENAMED", 7);
    unsigned char der[252];
    int derLen = sizeof der;
    ASSERT_EQ(0, Matrix2string(m, der, &derLen));
    MATRIX_free(m);
    Bytes renamed(256, 0);
    renamed[0] = static_cast<uint8_t>(derLen);
    memcpy(renamed.data() + 4, der, static_cast<size_t>(derLen));
    renamed.insert(renamed.end(), pks.begin() + 256, pks.end());
    std::string renamedPath = dir.file("RENAMED.pks");
    {
        FILE* f = fopen(renamedPath.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(renamed.data(), 1, renamed.size(), f);
        fclose(f);
    }

    // Rewrite 0x42 (restored afterwards: the issuer is shared). A file keeps
    // its used length, so each record goes into a fresh file.
    auto rewrite = [](const uint8_t* data, int n) {
        ASSERT_EQ(0u, DevDeleteFile(0x42));
        ASSERT_EQ(0u, DevCreateFile(0x42));
        ASSERT_EQ(0u, DevWriteFile(0x42, data, n));
    };
    rewrite(der, derLen);
    Bytes second(1024);
    int len = static_cast<int>(second.size());
    uint32_t st = DevGenKeyCard(id.data(), static_cast<uint32_t>(id.size()), 1, nullptr, second.data(), &len);
    second.resize(static_cast<size_t>(len));

    // A record longer than a matrix head holds is not a matrix record.
    Bytes big(300, 0x30);
    rewrite(big.data(), static_cast<int>(big.size()));
    Bytes third(1024);
    int thirdLen = static_cast<int>(third.size());
    uint32_t bigSt = DevGenKeyCard(id.data(), static_cast<uint32_t>(id.size()), 1, nullptr, third.data(), &thirdLen);
    EXPECT_EQ(1024, thirdLen);

    rewrite(pks.data() + 4, static_cast<int>(pks[0] | (pks[1] << 8)));

    ASSERT_EQ(0u, st);
    EXPECT_EQ(static_cast<uint32_t>(ST_BAD_DER), bigSt);
    KeyCard* kc = decode_card(second);
    ASSERT_NE(nullptr, kc);
    EXPECT_EQ(text("RENAMED"), field(kc->matrixId));
    Bytes isk = field(kc->isk);
    isk.resize(32);
    EXPECT_TRUE(scalar_matches(5, isk, renamedPath, id));
    EXPECT_FALSE(scalar_matches(5, isk, issuer.pksPath, id));
    KeyCard_free(kc);
}

// Issue between two images: the key in the host's slot decrypts a challenge
// made with the public key that the matrix file gives for the identity.
TEST_F(KeysTest, IssueRoutesInstallTheIdentityKey)
{
    std::string secret;
    ASSERT_EQ(0, imgbuild::make_soft_matrix(5, "SOFT5", 16, 4, dir.path(), nullptr, &secret));
    struct Case {
        const char* name;
        imgbuild::Route route;
        std::string pks;
    } cases[] = {
        {"plain", imgbuild::Route::Plain, issuer.pksPath},
        {"transport", imgbuild::Route::Transport, issuer.pksPath},
        {"soft", imgbuild::Route::Soft, imgbuild::pks_path(dir.path(), "SOFT5")},
    };
    const Bytes plain(128, 0x17);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        imgbuild::HostSpec spec;
        spec.identity = machine_id(static_cast<uint8_t>(c.route));
        spec.route = c.route;
        spec.issuerImage = issuer.image;
        spec.pksDir = SharedIssuer::get().dir.path();
        spec.secretMatrix = secret;
        std::string image = dir.file(std::string(c.name) + ".vkd");
        std::string err;
        ASSERT_EQ(0, imgbuild::make_host(spec, image, &err)) << err;

        ASSERT_EQ(0u, open_verified(image, {2}));
        uint8_t id[64];
        uint32_t idLen = 0;
        ASSERT_EQ(0u, DevGetKeyId(0, 1, id, &idLen));
        EXPECT_EQ(spec.identity, Bytes(id, id + idLen));
        Bytes block = challenge(c.pks, spec.identity, plain);
        uint8_t out[160];
        int outLen = sizeof out;
        ASSERT_EQ(0u, DevSM2Decrypt(1, block.data(), SM2_BLOCK_LEN, out, &outLen));
        EXPECT_EQ(plain, Bytes(out, out + outLen));
        // A challenge for another identity does not open.
        Bytes other = challenge(c.pks, machine_id(99), plain);
        outLen = sizeof out;
        EXPECT_NE(0u, DevSM2Decrypt(1, other.data(), SM2_BLOCK_LEN, out, &outLen));
        DevClose();
    }
}

}  // namespace

namespace {

// Issuing and installing need PIN types 1 and 2 verified.
TEST_F(KeysTest, IssueAndInstallNeedPinTypesOneAndTwo)
{
    const Bytes id = text("pins@host");
    Bytes der = issue(id);
    DevClose();
    std::string host = dir.file("pins.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(host));
    struct Case {
        std::initializer_list<int> pins;
        uint32_t status;
    } cases[] = {
        {{2}, ST_SECURITY},
        {{1}, ST_SECURITY},
        {{1, 2}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        ASSERT_EQ(0u, open_verified(issuer.image, c.pins));
        Bytes out(1024);
        int len = static_cast<int>(out.size());
        EXPECT_EQ(c.status, DevGenKeyCard(id.data(), static_cast<uint32_t>(id.size()), 1, nullptr, out.data(), &len));
        ASSERT_EQ(0u, open_verified(host, c.pins));
        EXPECT_EQ(c.status, DevWriteKeyCard(1, 1, der.data(), static_cast<uint32_t>(der.size())));
        DevClose();
    }
}

}  // namespace
