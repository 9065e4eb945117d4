// Application facade: one whole session per call over a host image.
#include <climits>
#include <cstdio>
#include <functional>

#include "keydev_fixture.h"

using namespace kdt;

namespace {

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SharedIssuer& s = SharedIssuer::get();
        ASSERT_EQ(0, s.status) << s.err;
        issuer = s.info;
    }

    // A host image for identity (plain route from the shared issuer).
    std::string host(const std::string& name, const Bytes& identity)
    {
        imgbuild::HostSpec spec;
        spec.identity = identity;
        spec.issuerImage = issuer.image;
        std::string image = dir.file(name);
        std::string err;
        EXPECT_EQ(0, imgbuild::make_host(spec, image, &err)) << err;
        return image;
    }

    static Bytes plaintext(size_t n, uint8_t seed)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 13));
        return b;
    }

    static int getid(const std::string& image, Bytes* id)
    {
        char buf[64];
        size_t len = 12345;
        int st = kmx_getid(buf, len, const_cast<char*>(image.c_str()));
        if (st == 0) id->assign(buf, buf + len);
        return st;
    }

    static int decrypt(const std::string& image, Bytes block, Bytes* out, size_t len = SM2_BLOCK_LEN)
    {
        block.resize(SM2_BLOCK_LEN);
        out->assign(SM2_BLOCK_LEN, 0xCC);
        int st = kmx_decryption(block.data(), out->data(), len, const_cast<char*>(image.c_str()));
        if (st == 0) out->resize(len);
        return st;
    }

    imgbuild::IssuerInfo issuer;
    TempFolder dir;
};

TEST_F(FacadeTest, HostImageAnswersItsIdentityAndDecryptsItsChallenges)
{
    const Bytes cid = machine_id(1);
    std::string image = host("host.vkd", cid);
    Bytes id;
    ASSERT_EQ(0, getid(image, &id));
    EXPECT_EQ(cid, id);

    const Bytes plain = plaintext(128, 0x31);
    Bytes out;
    ASSERT_EQ(0, decrypt(image, challenge(issuer.pksPath, cid, plain), &out));
    EXPECT_EQ(plain, out);
    // A challenge for another identity fails in the card.
    EXPECT_NE(0, decrypt(image, challenge(issuer.pksPath, machine_id(2), plain), &out));
}

TEST_F(FacadeTest, BlockLengthByteAndBlockLengthAreChecked)
{
    const Bytes cid = machine_id(4);
    std::string image = host("host.vkd", cid);
    const Bytes longest = plaintext(152, 0x77);
    Bytes full = challenge(issuer.pksPath, cid, longest);
    ASSERT_EQ(249, full[0]);
    Bytes out;
    ASSERT_EQ(0, decrypt(image, full, &out));
    EXPECT_EQ(longest, out);

    for (uint8_t n : {0, 97, 250, 255}) {
        SCOPED_TRACE(n);
        Bytes block = full;
        block[0] = n;
        EXPECT_EQ(ST_BAD_ARGUMENT, decrypt(image, block, &out));
    }

    // A 249-byte block is refused after the open and the PIN; out and the
    // length stay as they were.
    Bytes block = full;
    Bytes untouched(SM2_BLOCK_LEN, 0xCC);
    size_t len = 249;
    out = untouched;
    EXPECT_EQ(ST_WRONG_LENGTH,
              kmx_decryption(block.data(), out.data(), len, const_cast<char*>(image.c_str())));
    EXPECT_EQ(249u, len);
    EXPECT_EQ(untouched, out);
    // A length beyond the Dev functions' types is refused, not truncated.
    len = static_cast<size_t>(UINT_MAX) + SM2_BLOCK_LEN + 1;
    EXPECT_EQ(ST_BAD_ARGUMENT,
              kmx_decryption(block.data(), out.data(), len, const_cast<char*>(image.c_str())));
    EXPECT_EQ(static_cast<size_t>(UINT_MAX) + SM2_BLOCK_LEN + 1, len);
}

TEST_F(FacadeTest, WrongUserPinLeavesOutputAndLengthUntouched)
{
    const Bytes cid = machine_id(5);
    std::string image = host("host.vkd", cid);
    ASSERT_EQ(0, imgbuild::set_user_pin(image, "99998888"));
    Bytes block = challenge(issuer.pksPath, cid, plaintext(128, 1));
    Bytes out(SM2_BLOCK_LEN, 0xCC);
    size_t len = SM2_BLOCK_LEN;
    EXPECT_EQ(ST_WRONG_PIN, kmx_decryption(block.data(), out.data(), len, const_cast<char*>(image.c_str())));
    EXPECT_EQ(SM2_BLOCK_LEN, len);
    EXPECT_EQ(Bytes(SM2_BLOCK_LEN, 0xCC), out);
    // The identity needs no PIN.
    Bytes id;
    EXPECT_EQ(0, getid(image, &id));
    EXPECT_EQ(cid, id);
}

TEST_F(FacadeTest, ImagesWithoutAKeyOrNotImagesAreReported)
{
    std::string blank = dir.file("blank.vkd");
    ASSERT_EQ(0, imgbuild::make_blank(blank));
    // A key in slot 2 only: the card has its inner key but slot 1 is empty.
    imgbuild::HostSpec spec;
    spec.identity = machine_id(6);
    spec.issuerImage = issuer.image;
    spec.slot = 2;
    std::string slot2 = dir.file("slot2.vkd");
    ASSERT_EQ(0, imgbuild::make_host(spec, slot2));
    std::string notImage = dir.file("text.vkd");
    ASSERT_EQ(0, imgbuild::make_not_image(notImage));
    Bytes block = challenge(issuer.pksPath, machine_id(6), plaintext(128, 2));
    struct Case {
        std::string image;
        int getid;
        int decrypt;
    } cases[] = {
        {slot2, ST_FILE_NOT_FOUND, ST_KEY_RECORD},
        {blank, ST_FILE_NOT_FOUND, ST_CONDITIONS},  // no inner key yet
        {notImage, ST_FILE_OPEN, ST_FILE_OPEN},
        {dir.file("missing.vkd"), ST_FILE_OPEN, ST_FILE_OPEN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        Bytes id, out;
        EXPECT_EQ(c.getid, getid(c.image, &id));
        EXPECT_EQ(c.decrypt, decrypt(c.image, block, &out));
        EXPECT_EQ(static_cast<uint32_t>(ST_NO_DEVICE), DevClose());  // nothing left open
    }
}

TEST_F(FacadeTest, EachCallSeesTheImageItIsGiven)
{
    const Bytes a = machine_id(10), b = machine_id(20);
    std::string imageA = host("a.vkd", a);
    std::string imageB = host("b.vkd", b);
    const Bytes plain = plaintext(128, 9);
    for (int round = 0; round < 2; ++round) {
        Bytes id, out;
        ASSERT_EQ(0, getid(imageA, &id));
        EXPECT_EQ(a, id);
        ASSERT_EQ(0, getid(imageB, &id));
        EXPECT_EQ(b, id);
        EXPECT_EQ(0, decrypt(imageA, challenge(issuer.pksPath, a, plain), &out));
        EXPECT_EQ(0, decrypt(imageB, challenge(issuer.pksPath, b, plain), &out));
        EXPECT_NE(0, decrypt(imageA, challenge(issuer.pksPath, b, plain), &out));
    }

    // An image replaced under the same path is read afresh.
    std::string installed = dir.file("installed.vkd");
    ASSERT_EQ(0, std::rename(imageA.c_str(), installed.c_str()));
    Bytes id, out;
    ASSERT_EQ(0, getid(installed, &id));
    EXPECT_EQ(a, id);
    ASSERT_EQ(0, std::rename(imageB.c_str(), installed.c_str()));
    ASSERT_EQ(0, getid(installed, &id));
    EXPECT_EQ(b, id);
    EXPECT_EQ(0, decrypt(installed, challenge(issuer.pksPath, b, plain), &out));
    EXPECT_EQ(plain, out);
}

TEST_F(FacadeTest, CardIsLockedAfterEveryCall)
{
    const Bytes cid = machine_id(7);
    std::string image = host("host.vkd", cid);
    Bytes block = challenge(issuer.pksPath, cid, plaintext(128, 3));
    Bytes out;
    ASSERT_EQ(0, decrypt(image, block, &out));
    // Binding the same image again keeps the card's volatile state: a PIN
    // left verified would let this decryption through.
    ASSERT_EQ(0u, DevOpen(DEV_TYPE_VCARD, image.c_str()));
    uint8_t plain[160];
    int plainLen = sizeof plain;
    EXPECT_EQ(static_cast<uint32_t>(ST_SECURITY), DevSM2Decrypt(1, block.data(), SM2_BLOCK_LEN, plain, &plainLen));
    EXPECT_EQ(0u, DevClose());

    // Also after a failed call.
    Bytes bad = block;
    bad[0] = 0;
    EXPECT_NE(0, decrypt(image, bad, &out));
    ASSERT_EQ(0u, DevOpen(DEV_TYPE_VCARD, image.c_str()));
    plainLen = sizeof plain;
    EXPECT_EQ(static_cast<uint32_t>(ST_SECURITY), DevSM2Decrypt(1, block.data(), SM2_BLOCK_LEN, plain, &plainLen));
    EXPECT_EQ(0u, DevClose());
}

// A call whose image cannot be opened still closes: the device that the
// process had bound and unlocked before is locked and released.
TEST_F(FacadeTest, FailedOpenClosesTheDeviceBoundBefore)
{
    const Bytes cid = machine_id(8);
    std::string image = host("host.vkd", cid);
    Bytes block = challenge(issuer.pksPath, cid, plaintext(128, 4));
    const std::string missing = dir.file("missing.vkd");
    const struct {
        const char* what;
        std::function<int()> call;
    } calls[] = {
        {"kmx_decryption", [&] { Bytes out; return decrypt(missing, block, &out); }},
        {"kmx_getid", [&] { Bytes id; return getid(missing, &id); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0u, DevOpen(DEV_TYPE_VCARD, image.c_str()));
        uint32_t tries = 0;
        ASSERT_EQ(0u, DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries));
        EXPECT_EQ(ST_FILE_OPEN, c.call());
        uint8_t plain[160];
        int plainLen = sizeof plain;
        EXPECT_EQ(static_cast<uint32_t>(ST_NO_DEVICE),
                  DevSM2Decrypt(1, block.data(), SM2_BLOCK_LEN, plain, &plainLen));
        // Bound again, the card holds no verified PIN.
        ASSERT_EQ(0u, DevOpen(DEV_TYPE_VCARD, image.c_str()));
        plainLen = sizeof plain;
        EXPECT_EQ(static_cast<uint32_t>(ST_SECURITY),
                  DevSM2Decrypt(1, block.data(), SM2_BLOCK_LEN, plain, &plainLen));
        EXPECT_EQ(0u, DevClose());
    }
}

TEST_F(FacadeTest, EncryptionTakesTheSenderAsText)
{
    const std::string sender = "host-text-id@site";
    std::string image = host("host.vkd", text(sender));
    Bytes plain = plaintext(200, 0x55);  // only the first 128 bytes travel
    Bytes block(SM2_BLOCK_LEN + 10, 0xAB);
    size_t len = block.size();
    ASSERT_EQ(0, kmx_encryption(reinterpret_cast<unsigned char*>(const_cast<char*>(sender.c_str())),
                                plain.data(), block.data(), len, const_cast<char*>(issuer.pksPath.c_str())));
    EXPECT_EQ(SM2_BLOCK_LEN, len);
    EXPECT_EQ(225, block[0]);
    Bytes out;
    ASSERT_EQ(0, decrypt(image, block, &out));
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 128), out);

    struct Case {
        std::string sender;
        size_t capacity;
        int status;
        size_t lenAfter;
    } cases[] = {
        {"", SM2_BLOCK_LEN, ST_BAD_ARGUMENT, SM2_BLOCK_LEN},
        {std::string(64, 's'), SM2_BLOCK_LEN, 0, SM2_BLOCK_LEN},
        {std::string(65, 's'), SM2_BLOCK_LEN, ST_BAD_ARGUMENT, SM2_BLOCK_LEN},
        {sender, 249, ST_BUFFER_TOO_SMALL, SM2_BLOCK_LEN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sender.size());
        Bytes s(c.sender.begin(), c.sender.end());
        s.push_back(0);
        Bytes o(SM2_BLOCK_LEN, 0);
        size_t l = c.capacity;
        EXPECT_EQ(c.status, kmx_encryption(s.data(), plain.data(), o.data(), l,
                                           const_cast<char*>(issuer.pksPath.c_str())));
        EXPECT_EQ(c.lenAfter, l);
    }
}

}  // namespace
