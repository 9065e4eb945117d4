// SM2, SM4 and hash commands, checked against the host's SM2 and the
// library's digests and ciphers.
#include "cardapi_fixture.h"
#include "smcrypto/sm2.h"

namespace {

bytes sm4_framed(const bytes& msg, size_t padded)
{
    bytes b = {static_cast<uint8_t>(msg.size())};
    b.insert(b.end(), msg.begin(), msg.end());
    b.push_back(0x80);
    b.resize(padded, 0);
    return b;
}

}  // namespace

TEST_F(KeyedCardTest, Sm2SignVerifiedIndependently)
{
    oracle::curve c(5);
    key_pair kp = install(1, 5);
    bytes e = pattern(32, 9);
    uint8_t sig[80];
    memset(sig, 0xEE, sizeof sig);
    uint8_t len = 80;
    ASSERT_EQ(0u, COS_SM2Sign(1, e.data(), sig, &len));
    ASSERT_EQ(64, len);
    EXPECT_EQ(0xEE, sig[64]);
    bytes expect = {0x80, 0x70, 0x11, 0x00, 32};
    expect.insert(expect.end(), e.begin(), e.end());
    expect.push_back(64);
    EXPECT_EQ(expect, log.back().cmd);
    bytes s(sig, sig + 64);
    EXPECT_TRUE(c.sm2_verify(e, s, kp.pub));

    EXPECT_EQ(0u, COS_SM2Verify(e.data(), kp.pub.data(), s.data()));
    EXPECT_EQ(bytes({0x80, 0x72, 0x20, 0x40, 160}), bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
    e[31] ^= 1;
    EXPECT_EQ(5009u, COS_SM2Verify(e.data(), kp.pub.data(), s.data()));

    // A slot without a key: the card's refusal, no data.
    len = 64;
    EXPECT_EQ(5004u, COS_SM2Sign(9, e.data(), sig, &len));
    EXPECT_EQ(0, len);
}

TEST_F(KeyedCardTest, Sm2DecryptHostCiphertexts)
{
    key_pair kp = install(1, 5);
    // 1 byte (98-byte ciphertext), the daemon's sizes, and the largest
    // ciphertext that fits a command (250 bytes).
    for (uint32_t m : {1u, 16u, 128u, 152u, 153u}) {
        SCOPED_TRACE(m);
        bytes msg = pattern(m, static_cast<uint8_t>(m));
        uint8_t cipher[300];
        int clen = sizeof cipher;
        ASSERT_EQ(0, SM2_Encrypt(kp.pub.data(), msg.data(), m, cipher, &clen));
        ASSERT_EQ(static_cast<int>(m + 97), clen);

        uint8_t out[200];
        int len = static_cast<int>(m) - 1;
        log.clear();
        EXPECT_EQ(1018u, COS_SM2Decrypt(1, cipher, clen, out, &len));
        EXPECT_EQ(static_cast<int>(m), len);
        ASSERT_EQ(1u, log.size());  // the card decrypted before the room was checked
        EXPECT_EQ(static_cast<uint8_t>(m), log[0].cmd.back());
        EXPECT_EQ(static_cast<size_t>(clen + 6), log[0].cmd.size());

        len = sizeof out;
        ASSERT_EQ(0u, COS_SM2Decrypt(1, cipher, clen, out, &len));
        EXPECT_EQ(static_cast<int>(m), len);
        EXPECT_EQ(msg, bytes(out, out + m));

        // Altered check value C3: refused.
        cipher[clen - 1] ^= 1;
        len = sizeof out;
        EXPECT_NE(0u, COS_SM2Decrypt(1, cipher, clen, out, &len));
    }
    // Without the user PIN the key cannot be used.
    uint8_t cipher[200];
    int clen = sizeof cipher;
    bytes msg = pattern(16, 1);
    ASSERT_EQ(0, SM2_Encrypt(kp.pub.data(), msg.data(), 16, cipher, &clen));
    ASSERT_EQ(0u, COS_Reset());
    uint8_t out[64];
    int len = sizeof out;
    EXPECT_EQ(1012u, COS_SM2Decrypt(1, cipher, clen, out, &len));
}

TEST_F(KeyedCardTest, Sm2EncryptOnTheCard)
{
    oracle::curve c(5);
    bytes d = c.random_scalar();
    bytes pub = c.mul(d);
    for (uint32_t m : {1u, 100u, 158u}) {
        SCOPED_TRACE(m);
        bytes msg = pattern(m, 3);
        uint8_t out[300];
        int len = static_cast<int>(m + 96);
        EXPECT_EQ(1018u, COS_SM2Encrypt(pub.data(), msg.data(), m, out, &len));
        EXPECT_EQ(static_cast<int>(m + 97), len);
        len = sizeof out;
        ASSERT_EQ(0u, COS_SM2Encrypt(pub.data(), msg.data(), m, out, &len));
        ASSERT_EQ(static_cast<int>(m + 97), len);
        EXPECT_EQ(static_cast<uint8_t>(m + 97), log.back().cmd.back());
        uint8_t plain[200];
        uint32_t plen = 0;
        ASSERT_EQ(0, SM2_Decrypt(d.data(), out, static_cast<uint32_t>(len), plain, &plen));
        EXPECT_EQ(msg, bytes(plain, plain + plen));
    }
}

TEST_F(KeyedCardTest, Sm4WithTheSystemKey)
{
    const bytes key = pattern(16, 0x77);
    install_system_key(11, 5, 11, key);
    struct row {
        uint8_t l;
        size_t padded;
    };
    for (const row& r : {row{0, 16}, row{1, 16}, row{14, 16}, row{15, 32}, row{16, 32}, row{100, 112}, row{238, 240}}) {
        SCOPED_TRACE(int(r.l));
        const bytes src = pattern(256, r.l);  // never empty, also for l = 0
        const bytes msg(src.begin(), src.begin() + r.l);
        uint8_t out[256];
        uint32_t len = sizeof out;
        ASSERT_EQ(0u, COS_SM4Encrypt(0, src.data(), r.l, out, &len));
        ASSERT_EQ(r.padded, len);
        EXPECT_EQ(static_cast<uint8_t>(r.padded), log.back().cmd[4]);
        EXPECT_EQ(static_cast<uint8_t>(r.padded), log.back().cmd.back());
        bytes c(out, out + len);
        EXPECT_EQ(oracle::sm4_ecb(key, sm4_framed(msg, r.padded), true), c);

        // Back through the card: room exactly n (no NUL), more (a NUL),
        // less (1018 with n).
        uint8_t plain[256];
        memset(plain, 0xEE, sizeof plain);
        int plen = r.l;
        ASSERT_EQ(0u, COS_SM4Decrypt(0, c.data(), static_cast<uint8_t>(c.size()), plain, &plen));
        EXPECT_EQ(r.l, plen);
        EXPECT_EQ(msg, bytes(plain, plain + r.l));
        EXPECT_EQ(0xEE, plain[r.l]);
        plen = r.l + 1;
        ASSERT_EQ(0u, COS_SM4Decrypt(0, c.data(), static_cast<uint8_t>(c.size()), plain, &plen));
        EXPECT_EQ(0, plain[r.l]);
        if (r.l > 0) {
            plen = r.l - 1;
            EXPECT_EQ(1018u, COS_SM4Decrypt(0, c.data(), static_cast<uint8_t>(c.size()), plain, &plen));
            EXPECT_EQ(r.l, plen);
        }
    }
}

TEST_F(KeyedCardTest, Sm4AnswerWithoutValidFraming)
{
    const bytes key = pattern(16, 0x11);
    install_system_key(11, 5, 11, key);
    struct row {
        const char* what;
        bytes plain;
    };
    bytes no_room(16, 0);
    no_room[0] = 15;  // no place left for the marker
    bytes no_marker(16, 0);
    no_marker[0] = 3;
    no_marker[4] = 0x81;
    bytes too_short(32, 0);
    too_short[0] = 14;  // would fit one block
    too_short[15] = 0x80;
    for (const row& r : {row{"length 15 in 16", no_room}, row{"no marker", no_marker}, row{"short", too_short}}) {
        SCOPED_TRACE(r.what);
        bytes c = oracle::sm4_ecb(key, r.plain, true);
        uint8_t out[64];
        int len = sizeof out;
        EXPECT_EQ(14003u, COS_SM4Decrypt(0, c.data(), static_cast<uint8_t>(c.size()), out, &len));
        EXPECT_EQ(0, len);
    }
    // Without a key record the card refuses; the length becomes 0.
    uint8_t out[64];
    int len = sizeof out;
    bytes c(16, 0);
    EXPECT_EQ(5007u, COS_SM4Decrypt(1, c.data(), 16, out, &len));
    EXPECT_EQ(0, len);
    uint32_t elen = sizeof out;
    EXPECT_EQ(5007u, COS_SM4Encrypt(1, c.data(), 5, out, &elen));
    EXPECT_EQ(0u, elen);
}

TEST_F(CardTest, HashesInParts)
{
    struct algo {
        const char* name;
        uint8_t ins;
        uint8_t size;
        uint32_t (*fn)(const uint8_t*, uint16_t, uint8_t*, uint8_t);
    };
    const algo algos[] = {{"SHA1", 0x54, 20, COS_SHA1}, {"SM3", 0x56, 32, COS_SM3}};
    struct row {
        uint16_t len;
        bytes parts;   // part codes sent
        bytes sizes;   // data bytes per part (low byte)
    };
    const row rows[] = {
        {1, {0}, {1}},
        {128, {0}, {128}},
        {129, {1, 3}, {128, 1}},
        {256, {1, 3}, {128, 128}},
        {300, {1, 2, 3}, {128, 128, 44}},
        {1000, {1, 2, 2, 2, 2, 2, 2, 3}, {128, 128, 128, 128, 128, 128, 128, 104}},
    };
    for (const algo& a : algos) {
        for (const row& r : rows) {
            SCOPED_TRACE(testing::Message() << a.name << " " << r.len);
            bytes data = pattern(r.len, static_cast<uint8_t>(r.len));
            uint8_t out[40];
            memset(out, 0xEE, sizeof out);
            log.clear();
            ASSERT_EQ(0u, a.fn(data.data(), r.len, out, 40));
            EXPECT_EQ(oracle::digest(a.name, data), bytes(out, out + a.size));
            EXPECT_EQ(0xEE, out[a.size]);
            ASSERT_EQ(r.parts.size(), log.size());
            for (size_t i = 0; i < log.size(); ++i) {
                const bytes& cmd = log[i].cmd;
                EXPECT_EQ(a.ins, cmd[1]);
                EXPECT_EQ(r.parts[i], cmd[2]);
                EXPECT_EQ(r.sizes[i], cmd[4]);
                bool last = i + 1 == log.size();
                EXPECT_EQ(5u + r.sizes[i] + (last ? 1 : 0), cmd.size());
                if (last) {
                    EXPECT_EQ(a.size, cmd.back());
                }
            }
        }
        // The largest length the interface takes.
        bytes big = pattern(65535, 1);
        uint8_t out[32];
        ASSERT_EQ(0u, a.fn(big.data(), 65535, out, 32));
        EXPECT_EQ(oracle::digest(a.name, big), bytes(out, out + a.size));
    }
}

TEST_F(CardTest, HashStopsAtARefusedPart)
{
    // A running stream makes the card refuse a new start: the first part
    // fails and its status comes back; nothing is copied.
    _apdu_frame_ f;
    ASSERT_EQ(0u, raw(f, 0x00, 0x54, 0x01, 0x00, {1, 2, 3}, 0));
    bytes data = pattern(300, 2);
    uint8_t out[20];
    memset(out, 0xEE, sizeof out);
    log.clear();
    EXPECT_EQ(1007u, COS_SHA1(data.data(), 300, out, 20));
    EXPECT_EQ(1u, log.size());
    EXPECT_EQ(bytes(20, 0xEE), bytes(out, out + 20));
    // The stream of the other algorithm is independent.
    uint8_t sm3[32];
    EXPECT_EQ(0u, COS_SM3(data.data(), 300, sm3, 32));
    EXPECT_EQ(oracle::digest("SM3", data), bytes(sm3, sm3 + 32));
}
