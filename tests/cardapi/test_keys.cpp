// Private keys, elliptic-curve commands, the key matrix and recovery,
// checked against curve arithmetic done independently with the library.
#include "cardapi_fixture.h"

namespace {

bytes slice(const uint8_t* p, size_t from, size_t n) { return bytes(p + from, p + from + n); }

}  // namespace

TEST_F(KeyedCardTest, PrivateKeyImportRules)
{
    oracle::curve c(4);
    bytes d = c.random_scalar();
    bytes data = with_crc(d);
    ASSERT_EQ(0u, COS_WritePriKey(0x41, 2, data.data(), static_cast<uint32_t>(data.size())));
    bytes expect = {0x80, 0x48, 0x12, 0x41, 34};
    expect.insert(expect.end(), data.begin(), data.end());
    EXPECT_EQ(expect, log.back().cmd);

    // A CRC that does not match the scalar.
    data[32] ^= 1;
    EXPECT_EQ(1023u, COS_WritePriKey(0x41, 2, data.data(), 34));
    // Slot 0 takes its key once.
    data = with_crc(d);
    ASSERT_EQ(0u, COS_WritePriKey(0x41, 0, data.data(), 34));
    EXPECT_EQ(1009u, COS_WritePriKey(0x41, 0, data.data(), 34));
    // Masked import without a transport key.
    EXPECT_EQ(5007u, COS_WritePriKey(0x40, 3, data.data(), 34));
}

TEST_F(KeyedCardTest, EcdsaSignAndVerify)
{
    for (uint8_t t : {uint8_t(0), uint8_t(3), uint8_t(4)}) {
        SCOPED_TRACE(int(t));
        oracle::curve c(t);
        key_pair kp = install(2, t);
        const unsigned L = c.L();
        for (uint8_t dlen : {uint8_t(20), uint8_t(32)}) {
            bytes digest = pattern(dlen, static_cast<uint8_t>(t + dlen));
            uint8_t sig[80];
            uint8_t len = 64;
            ASSERT_EQ(0u, COS_ECDSA(2, digest.data(), dlen, sig, &len));
            ASSERT_EQ(2 * L, len);
            const bytes s = slice(sig, 0, len);
            EXPECT_TRUE(c.ecdsa_verify20(digest, s, kp.pub));
            EXPECT_EQ(0x12, log.back().cmd[2]);
            EXPECT_EQ(64, log.back().cmd.back());

            // The card checks a host signature; a changed digest fails.
            EXPECT_EQ(0u, COS_VECDSA(t, digest.data(), dlen, s.data(), kp.pub.data()));
            bytes expect = {0x80, 0xC4, dlen, t, static_cast<uint8_t>(dlen + 4 * L)};
            EXPECT_EQ(expect, bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
            digest[0] ^= 0x80;
            EXPECT_EQ(5009u, COS_VECDSA(t, digest.data(), dlen, s.data(), kp.pub.data()));
        }
    }
}

TEST_F(KeyedCardTest, EcdsaLongerThanTheRoomCopiesNothing)
{
    install(2, 4);
    bytes digest = pattern(32, 1);
    uint8_t sig[64];
    memset(sig, 0xEE, sizeof sig);
    // The card is asked for 16 bytes and answers the 64 of the signature.
    uint8_t len = 16;
    EXPECT_EQ(1018u, COS_ECDSA(2, digest.data(), 32, sig, &len));
    EXPECT_EQ(64, len);
    EXPECT_EQ(bytes(64, 0xEE), bytes(sig, sig + 64));
    // A refusal copies nothing and keeps the length.
    len = 64;
    EXPECT_EQ(5004u, COS_ECDSA(9, digest.data(), 32, sig, &len));
    EXPECT_EQ(64, len);
    EXPECT_EQ(bytes(64, 0xEE), bytes(sig, sig + 64));
}

TEST_F(KeyedCardTest, EnvelopeMadeAndOpened)
{
    for (uint8_t t : {uint8_t(0), uint8_t(1), uint8_t(4)}) {
        SCOPED_TRACE(int(t));
        oracle::curve c(t);
        const unsigned L = c.L();
        key_pair kp = install(3, t);

        uint8_t env[80];
        memset(env, 0xEE, sizeof env);
        ASSERT_EQ(0u, COS_Gen_DE(t, kp.pub.data(), env));
        EXPECT_EQ(0xEE, env[2 * L + 2]);
        bytes kQ = slice(env, 0, 2 * L);
        ASSERT_TRUE(c.on_curve(kQ));

        uint8_t kG[80];
        memset(kG, 0xEE, sizeof kG);
        ASSERT_EQ(0u, COS_Open_DE(1, 3, env, L, kG));
        EXPECT_EQ(0xEE, kG[2 * L]);
        bytes opened = slice(kG, 0, 2 * L);
        // Independently: d·(k·G) is the envelope's k·Q, and the CRC is over k·G.
        EXPECT_EQ(kQ, c.mul(kp.d, opened));
        uint16_t crc = oracle::crc16(opened);
        EXPECT_EQ(crc & 0xFF, env[2 * L]);
        EXPECT_EQ(crc >> 8, env[2 * L + 1]);
        EXPECT_EQ(bytes({0x80, 0xC8, 0x13, 0x01, static_cast<uint8_t>(2 * L + 2)}),
                  bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
        EXPECT_EQ(2 * L, log.back().cmd.back());

        // A damaged CRC is refused; keeping the key (give 0) sends no Le.
        env[2 * L] ^= 1;
        EXPECT_EQ(1023u, COS_Open_DE(0, 3, env, L, nullptr));
        env[2 * L] ^= 1;
        ASSERT_EQ(0u, COS_Open_DE(0, 3, env, L, nullptr));
        EXPECT_EQ(size_t(5 + 2 * L + 2), log.back().cmd.size());
    }
}

TEST_F(KeyedCardTest, SessionKeyFromEnvelopeDrivesSm4)
{
    oracle::curve c(0);
    key_pair kp = install(3, 0);
    uint8_t env[50];
    ASSERT_EQ(0u, COS_Gen_DE(0, kp.pub.data(), env));
    uint8_t kG[48];
    ASSERT_EQ(0u, COS_Open_DE(1, 3, env, 24, kG));
    const bytes session(kG, kG + 16);

    const bytes msg = pattern(20, 7);
    uint8_t out[64];
    uint32_t len = sizeof out;
    ASSERT_EQ(0u, COS_SM4Encrypt(1, msg.data(), 20, out, &len));
    ASSERT_EQ(32u, len);
    bytes framed = {20};
    framed.insert(framed.end(), msg.begin(), msg.end());
    framed.push_back(0x80);
    framed.resize(32, 0);
    EXPECT_EQ(oracle::sm4_ecb(session, framed, true), bytes(out, out + 32));

    // After a restoration the session key is gone; opening the envelope
    // with give 0 brings it back.
    ASSERT_EQ(0u, COS_Reset());
    uint8_t plain[64];
    int plen = sizeof plain;
    EXPECT_EQ(5007u, COS_SM4Decrypt(1, out, 32, plain, &plen));
    verify(2);
    ASSERT_EQ(0u, COS_Open_DE(0, 3, env, 24, nullptr));
    plen = sizeof plain;
    ASSERT_EQ(0u, COS_SM4Decrypt(1, out, 32, plain, &plen));
    EXPECT_EQ(20, plen);
    EXPECT_EQ(msg, bytes(plain, plain + 20));
}

// ECDH names the key's curve: a key of each of the six curves multiplies a
// host point as OpenSSL does, and naming another curve is refused.
TEST_F(KeyedCardTest, EcdhWithAKeyOfEveryCurve)
{
    for (uint8_t t = 0; t < 6; ++t) {
        SCOPED_TRACE(static_cast<int>(t));
        oracle::curve c(t);
        const uint8_t slot = static_cast<uint8_t>(3 + t);
        key_pair kp = install(slot, t);
        bytes Q = c.mul(c.random_scalar());
        const uint8_t n = static_cast<uint8_t>(Q.size());
        uint8_t out[65];
        memset(out, 0xEE, sizeof out);
        ASSERT_EQ(0u, COS_ECDH(slot, t, Q.data(), n, out));
        EXPECT_EQ(c.mul(kp.d, Q), bytes(out, out + n));
        EXPECT_EQ(0xEE, out[n]);
        EXPECT_EQ(bytes({0x80, 0xCC, static_cast<uint8_t>(0x10 + slot), t, n}),
                  bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
        EXPECT_EQ(1007u, COS_ECDH(slot, static_cast<uint8_t>((t + 1) % 6), Q.data(), n, out))
            << "another curve named";
    }
}

// The four-argument form names curve 0: a curve-0 key multiplies a host
// point as OpenSSL does, the same as the form that names the curve, and a
// key of another curve is refused.
TEST_F(KeyedCardTest, EcdhWithACurve0Key)
{
    oracle::curve c(0);
    key_pair kp = install(4, 0);
    bytes q = c.random_scalar();
    bytes Q = c.mul(q);
    uint8_t out[64];
    memset(out, 0xEE, sizeof out);
    ASSERT_EQ(0u, COS_ECDH(4, Q.data(), 48, out));
    EXPECT_EQ(c.mul(q, kp.pub), bytes(out, out + 48));
    EXPECT_EQ(0xEE, out[48]);
    EXPECT_EQ(bytes({0x80, 0xCC, 0x14, 0x00, 48}), bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
    uint8_t named[64];
    ASSERT_EQ(0u, COS_ECDH(4, 0, Q.data(), 48, named));
    EXPECT_EQ(bytes(out, out + 48), bytes(named, named + 48));
    EXPECT_EQ(log[log.size() - 2].cmd, log.back().cmd);
    // A key of another curve: the command names curve 0, the card refuses.
    install(5, 4);
    EXPECT_EQ(1007u, COS_ECDH(5, Q.data(), 48, out));
}

TEST_F(KeyedCardTest, KeyApplicationThenMaskedImport)
{
    oracle::curve c(0);
    bytes h = c.random_scalar();
    bytes Q = c.mul(h);
    uint8_t env[60];
    memset(env, 0xEE, sizeof env);
    ASSERT_EQ(0u, COS_ApplyPriKey(0, Q.data(), env));
    EXPECT_EQ(bytes({0x80, 0x4A, 0x00, 0x00, 48}), bytes(log.back().cmd.begin(), log.back().cmd.begin() + 5));
    EXPECT_EQ(50, log.back().cmd.back());
    EXPECT_EQ(0xEE, env[50]);
    bytes kG = c.mul(c.inverse(h), slice(env, 0, 48));
    uint16_t crc = oracle::crc16(kG);
    ASSERT_EQ(crc & 0xFF, env[48]);
    ASSERT_EQ(crc >> 8, env[49]);

    // The key travels masked with the SM3 digest of the transport key.
    const bytes transport(kG.begin(), kG.begin() + 16);
    const bytes mask = oracle::digest("SM3", transport);
    bytes d = c.random_scalar();
    bytes data = with_crc(d);
    for (size_t i = 0; i < d.size(); ++i) data[i] ^= mask[i];
    ASSERT_EQ(0u, COS_WritePriKey(0x00, 6, data.data(), static_cast<uint32_t>(data.size())));

    bytes digest = pattern(20, 3);
    uint8_t sig[64];
    uint8_t len = 64;
    ASSERT_EQ(0u, COS_ECDSA(6, digest.data(), 20, sig, &len));
    EXPECT_TRUE(c.ecdsa_verify20(digest, slice(sig, 0, len), c.mul(d)));
}

TEST_F(KeyedCardTest, MatrixGenerateAndIdentityKey)
{
    install(1, 5);  // the first import creates the inner key
    oracle::curve c(5);
    uint8_t out[255];
    uint8_t len = 100;
    // Three points of 64 bytes and the CRC; a short room gets the length.
    EXPECT_EQ(1018u, COS_Gen_Matrix(5, 0, 3, out, &len));
    EXPECT_EQ(194, len);
    len = sizeof out;
    ASSERT_EQ(0u, COS_Gen_Matrix(5, 0, 3, out, &len));
    ASSERT_EQ(194, len);
    EXPECT_EQ(bytes({0x80, 0x40, 0x50, 0x00, 194}), log.back().cmd);
    uint16_t crc = oracle::crc16(out, 192);
    EXPECT_EQ(crc & 0xFF, out[192]);
    EXPECT_EQ(crc >> 8, out[193]);
    std::vector<bytes> points;
    for (int i = 0; i < 3; ++i) {
        points.push_back(slice(out, 64 * i, 64));
        EXPECT_TRUE(c.on_curve(points.back()));
    }
    len = sizeof out;
    ASSERT_EQ(0u, COS_Gen_Matrix(5, 0x123, 1, out, &len));
    EXPECT_EQ(bytes({0x80, 0x40, 0x51, 0x23, 66}), log.back().cmd);
    points.push_back(slice(out, 0, 64));

    // The identity key of indices 0, 1, 2, 0x123, 1: its point is the sum
    // of the elements' points.
    const uint16_t indices[5] = {0, 1, 2, 0x123, 1};
    uint8_t isk[32];
    len = 32;
    ASSERT_EQ(0u, COS_Cal_isk(5, indices, 5, isk, &len));
    ASSERT_EQ(32, len);
    EXPECT_EQ(bytes({0x80, 0x46, 0x05, 0x00, 10, 0, 0, 1, 0, 2, 0, 0x23, 0x01, 1, 0, 32}), log.back().cmd);
    EXPECT_EQ(c.add({points[0], points[1], points[2], points[3], points[1]}), c.mul(bytes(isk, isk + 32)));

    // An element never generated: the card refuses and the length is 0.
    const uint16_t unknown[4] = {0, 1, 2, 500};
    len = 32;
    EXPECT_NE(0u, COS_Cal_isk(5, unknown, 4, isk, &len));
    EXPECT_EQ(0, len);
}

TEST_F(KeyedCardTest, MatrixExportAndImportUnderTheSessionKey)
{
    // Export needs PIN type 0 (verified) and a session key: make one whose
    // value the host learns by opening the envelope itself.
    for (uint8_t t : {uint8_t(1), uint8_t(4)}) {
        SCOPED_TRACE(int(t));
        oracle::curve c(t);
        const unsigned L = c.L();
        const unsigned blk = (L + 15) / 16 * 16;
        key_pair kp = install(7, t);
        uint8_t env[80], kG[64];
        ASSERT_EQ(0u, COS_Gen_DE(t, kp.pub.data(), env));
        ASSERT_EQ(0u, COS_Open_DE(1, 7, env, L, kG));
        const bytes session(kG, kG + 16);

        uint8_t gen[255];
        uint8_t len = sizeof gen;
        ASSERT_EQ(0u, COS_Gen_Matrix(t, 40, 2, gen, &len));

        uint8_t exp[255];
        len = sizeof exp;
        ASSERT_EQ(0u, COS_Export_Matrix(t, 40, 2, exp, &len));
        ASSERT_EQ(2 * blk + 2, len);
        bytes plain = oracle::sm4_ecb(session, slice(exp, 0, 2 * blk), false);
        for (int i = 0; i < 2; ++i) {
            bytes d = slice(plain.data(), blk * i, L);
            EXPECT_EQ(slice(gen, 2 * L * i, 2 * L), c.mul(d));
        }
        uint16_t crc = oracle::crc16(plain);
        EXPECT_EQ(crc & 0xFF, exp[2 * blk]);

        // Import the same elements at index 60; a changed CRC writes none.
        bytes imp = slice(exp, 0, 2 * blk + 2);
        imp.back() ^= 1;
        EXPECT_EQ(1023u, COS_Import_Matrix(t, 60, imp.data(), static_cast<uint8_t>(imp.size())));
        if (blk == 32) {
            imp.back() ^= 1;
            ASSERT_EQ(0u, COS_Import_Matrix(t, 60, imp.data(), static_cast<uint8_t>(imp.size())));
            const uint16_t idx[4] = {60, 61, 60, 61};
            uint8_t isk[32];
            len = 32;
            ASSERT_EQ(0u, COS_Cal_isk(t, idx, 4, isk, &len));
            bytes p0 = slice(gen, 0, 2 * L), p1 = slice(gen, 2 * L, 2 * L);
            EXPECT_EQ(c.add({p0, p1, p0, p1}), c.mul(bytes(isk, isk + len)));
        }
    }
}

TEST_F(KeyedCardTest, RecoveryEnvelopeRestoresTheInnerSecret)
{
    install(1, 5);
    uint8_t id[80];
    int len = 10;
    EXPECT_EQ(1018u, COS_Get_EId(id, &len));
    EXPECT_EQ(static_cast<int>(identity.size()), len);
    len = sizeof id;
    ASSERT_EQ(0u, COS_Get_EId(id, &len));
    EXPECT_EQ(identity, std::string(reinterpret_cast<char*>(id), len));

    uint8_t rE[80];
    len = 69;
    EXPECT_EQ(1018u, COS_Get_rE(rE, &len));
    EXPECT_EQ(70, len);
    ASSERT_EQ(0u, COS_Get_rE(rE, &len));
    ASSERT_EQ(70, len);
    // The holder of the recovery key opens it: secret = p^-1·(r·P).
    oracle::curve c0(0);
    bytes secret = c0.mul(c0.inverse(recovery_key), slice(rE, 0, 48));
    uint16_t crc = oracle::crc16(secret);
    EXPECT_EQ(crc & 0xFF, rE[48]);
    EXPECT_EQ(oracle::digest("SHA1", secret), slice(rE, 50, 20));

    // Store it again under a new user PIN: signing works after verifying it.
    const char* const NEW_PIN = "recovered-PIN";
    ASSERT_EQ(0u, COS_Restore_rG(secret.data(), NEW_PIN));
    EXPECT_EQ(size_t(5 + 48 + 13), log.back().cmd.size());
    ASSERT_EQ(0u, COS_Reset());
    uint32_t tries;
    EXPECT_EQ(3002u, COS_VerifyPin(2, DEFAULT_USER_PIN, &tries));
    ASSERT_EQ(0u, COS_VerifyPin(2, NEW_PIN, &tries));
    uint8_t e[32] = {1}, sig[64];
    uint8_t slen = 64;
    EXPECT_EQ(0u, COS_SM2Sign(1, e, sig, &slen));
}
