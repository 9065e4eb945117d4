// SM2 encryption to an identity: the block decrypts with SM2_Decrypt and the
// identity's isk; limits of the 250-byte block; refused matrices.
#include "kmx_fixture.h"

#include "smcrypto/sm2.h"

using namespace kmxt;

namespace {

class Sm2IdentityTest : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        t_ = make_test_matrix("sm2mx", 5, 16, 8);
        write_file(path("sm2mx.sec"), t_.secret);
        write_file(path("sm2mx.pks"), t_.pub);
    }
    std::string pks() const { return path("sm2mx.pks"); }

    // Decrypts a block with the identity's private key.
    Bytes open_block(const Bytes& id, const unsigned char* block)
    {
        BIGNUM* isk = isk_of(path("sm2mx.sec"), id);
        unsigned char d[32];
        EXPECT_EQ(KMX_bn2bin(isk, d, 32), 0);
        BN_free(isk);
        Bytes out(256);
        uint32_t n = 0;
        int st = SM2_Decrypt(d, block + 1, block[0], out.data(), &n);
        if (st != SM2_OK)
            return {};
        out.resize(n);
        return out;
    }
    TestMatrix t_;
};

} // namespace

TEST_F(Sm2IdentityTest, BlockDecryptsWithTheIdentitysKey)
{
    const Bytes id = bytes("00:11:22:33:44:55-host");
    for (int len : {1, 16, 128, 152}) {
        Bytes msg(len);
        for (int i = 0; i < len; ++i)
            msg[i] = static_cast<unsigned char>(i * 13 + 7);
        unsigned char block[260];
        std::memset(block, 0xEE, sizeof block);
        int n = 250;
        ASSERT_EQ(KMX_SM2Encrypt(pks().c_str(), id.data(), static_cast<int>(id.size()), msg.data(),
                                 len, block, &n),
                  0)
            << len;
        EXPECT_EQ(n, 250);
        EXPECT_EQ(block[0], len + 97);
        for (int i = len + 98; i < 260; ++i)
            ASSERT_EQ(block[i], 0xEE) << "byte " << i << " written for length " << len;
        EXPECT_EQ(hex(open_block(id, block)), hex(msg)) << len;
        // Another identity's key does not open it.
        EXPECT_TRUE(open_block(bytes("someone-else"), block).empty());
    }
}

TEST_F(Sm2IdentityTest, InMemoryMatrixGivesTheSameKey)
{
    const Bytes id = bytes("alice"), msg(128, 0x5A);
    unsigned char b1[250], b2[250];
    int n = 250;
    ASSERT_EQ(KMX_SM2Encrypt_S(t_.pub.data(), static_cast<int>(t_.pub.size()), id.data(), 5,
                               msg.data(), 128, b1, &n),
              0);
    EXPECT_EQ(hex(open_block(id, b1)), hex(msg));
    n = 250;
    ASSERT_EQ(KMX_SM2Encrypt(pks().c_str(), id.data(), 5, msg.data(), 128, b2, &n), 0);
    EXPECT_NE(hex(b1, 250), hex(b2, 250));   // fresh k each time
    n = 250;
    EXPECT_EQ(KMX_SM2Encrypt_S(t_.pub.data(), 4095, id.data(), 5, msg.data(), 128, b1, &n),
              ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_SM2Encrypt_S(t_.pub.data(), static_cast<int>(t_.pub.size()) - 1, id.data(), 5,
                               msg.data(), 128, b1, &n),
              ST_BAD_ARGUMENT);
}

TEST_F(Sm2IdentityTest, LimitsAndRefusalsWriteNothing)
{
    const Bytes id = bytes("alice");
    Bytes msg(300, 1);
    TestMatrix p192 = make_test_matrix("p192", 0, 4, 4);
    write_file(path("p192.pks"), p192.pub);
    struct Case {
        const char* what;
        std::string file;
        int len, cap, status, capOut;
    } cases[] = {
        {"room 249, long message", pks(), 200, 249, ST_BUFFER_TOO_SMALL, 250},
        {"153 bytes do not fit the block", pks(), 153, 250, ST_SM2_TOO_LONG, 250},
        {"159 bytes", pks(), 159, 250, ST_SM2_TOO_LONG, 250},
        {"zero length", pks(), 0, 250, ST_BAD_ARGUMENT, 250},
        {"negative length", pks(), -5, 250, ST_BAD_ARGUMENT, 250},
        {"missing matrix", path("none.pks"), 16, 250, ST_MATRIX_FILE_OPEN, 250},
        {"matrix on prime192v1", path("p192.pks"), 16, 250, ST_UNKNOWN_CURVE, 250},
    };
    for (const Case& c : cases) {
        unsigned char block[300];
        std::memset(block, 0xEE, sizeof block);
        int n = c.cap;
        EXPECT_EQ(KMX_SM2Encrypt(c.file.c_str(), id.data(), 5, msg.data(), c.len, block, &n), c.status)
            << c.what;
        EXPECT_EQ(n, c.capOut) << c.what;
        for (unsigned char b : block)
            ASSERT_EQ(b, 0xEE) << c.what;
    }
    unsigned char block[250];
    int n = 250;
    EXPECT_EQ(KMX_SM2Encrypt(nullptr, id.data(), 5, msg.data(), 16, block, &n), ST_BAD_ARGUMENT);
    EXPECT_EQ(KMX_SM2Encrypt(pks().c_str(), id.data(), 0, msg.data(), 16, block, &n), ST_BAD_ARGUMENT);
}
