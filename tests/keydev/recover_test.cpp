// PIN recovery: a user card whose identity record names a recovery point
// hands out its recovery envelope, a recovery card that issues the recovery
// identity's key turns it back into the inner secret, and the user card takes
// the secret again under a new user PIN, so that its old keys work again.
#include "common/crc16_oracle.h"
#include "recovery_fixture.h"
#include "common/reference_curves.h"

using namespace rect;

namespace {

constexpr uint8_t INS_SHA1 = 0x54;

// The whole recovery, for a user PIN that was blocked and for one that was
// changed to a value nobody remembers.
TEST_F(RecoveryTest, LostUserPinIsRecoveredAndTheOldKeysDecryptUnderTheNewPin)
{
    enum class Loss { Blocked, Changed };
    for (Loss loss : {Loss::Blocked, Loss::Changed}) {
        SCOPED_TRACE(loss == Loss::Blocked ? "blocked" : "changed");
        const std::string img = user_image(loss == Loss::Blocked ? "blocked.vkd" : "changed.vkd");
        const Bytes plain(128, 0x5A);
        const Bytes block = block_for(path(kMx + ".pks"), plain);

        open_with(img, {});
        uint32_t tries = 0;
        if (loss == Loss::Blocked) {
            uint32_t st = 0;
            for (int i = 0; i < 20 && st != ST_PIN_BLOCKED; ++i) st = DevVerifyPin(PIN_TYPE_USER, "wrong-pin", &tries);
            ASSERT_EQ(st, static_cast<uint32_t>(ST_PIN_BLOCKED));
            EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), static_cast<uint32_t>(ST_PIN_BLOCKED));
        } else {
            ASSERT_EQ(DevModifyPin(PIN_TYPE_USER, KMX_USER_PIN, "forgotten-pin"), 0u);
            EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), static_cast<uint32_t>(ST_WRONG_PIN));
        }
        ASSERT_EQ(DevClose(), 0u);

        const Bytes rE = get_rE(img);
        Bytes rG(RECOVERY_SECRET_LEN, 0xEE);
        ASSERT_EQ(recover(kRecoveryId, rE, &rG), 0u);

        // rG is the inner secret: rE holds its SHA-1 and CRC, and rE's point
        // is d·rG for the recovery identity's scalar d.
        EXPECT_EQ(sha1(rG.data(), rG.size()), Bytes(rE.begin() + RECOVERY_SHA1_AT, rE.end()));
        const unsigned short crc = crc16_xmodem(rG.data(), rG.size());
        EXPECT_EQ(rE[48], crc & 0xFF);
        EXPECT_EQ(rE[49], crc >> 8);
        {
            EC_GROUP* g = refcurve::group(0);
            BIGNUM* d = recovery_scalar();
            Bytes enc(1, 0x04);
            enc.insert(enc.end(), rG.begin(), rG.end());
            EC_POINT* G = EC_POINT_new(g);
            EC_POINT* dG = EC_POINT_new(g);
            ASSERT_EQ(EC_POINT_oct2point(g, G, enc.data(), enc.size(), nullptr), 1);
            ASSERT_EQ(EC_POINT_mul(g, dG, nullptr, G, d, nullptr), 1);
            uint8_t out[49];
            ASSERT_EQ(EC_POINT_point2oct(g, dG, POINT_CONVERSION_UNCOMPRESSED, out, sizeof out, nullptr), 49u);
            EXPECT_EQ(Bytes(out + 1, out + 49), Bytes(rE.begin(), rE.begin() + 48));
            EC_POINT_free(G);
            EC_POINT_free(dG);
            BN_free(d);
            EC_GROUP_free(g);
        }

        open_with(img, {1});
        Bytes wrong = rG;
        wrong[47] ^= 1;
        EXPECT_NE(DevRestoreKey(wrong.data(), kNewPin), 0u) << "the card takes only its own secret";
        ASSERT_EQ(DevRestoreKey(rG.data(), kNewPin), 0u);
        ASSERT_EQ(DevClose(), 0u);

        ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        EXPECT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), static_cast<uint32_t>(ST_WRONG_PIN));
        ASSERT_EQ(DevVerifyPin(PIN_TYPE_USER, kNewPin, &tries), 0u);
        Bytes out(256, 0);
        int outLen = static_cast<int>(out.size());
        ASSERT_EQ(DevSM2Decrypt(kSlot, block.data(), SM2_BLOCK_LEN, out.data(), &outLen), 0u);
        out.resize(static_cast<size_t>(outLen));
        EXPECT_EQ(out, plain);
        ASSERT_EQ(DevClose(), 0u);
    }
}

TEST_F(RecoveryTest, AnotherIdentityOfTheRecoveryMatrixDoesNotMatch)
{
    const std::string img = user_image("user.vkd");
    const Bytes rE = get_rE(img);
    for (const std::string id : {"recovery-officeR", "someone-else", "recovery-officer "}) {
        SCOPED_TRACE(id);
        Bytes rG(RECOVERY_SECRET_LEN, 0xAB);
        EXPECT_EQ(recover(id, rE, &rG), static_cast<uint32_t>(ST_RECOVERY_MISMATCH));
        EXPECT_EQ(rG, Bytes(RECOVERY_SECRET_LEN, 0xAB));
    }
    // A changed digest in rE fails in the same way for the right identity.
    Bytes bad = rE;
    bad[69] ^= 0x80;
    Bytes rG(RECOVERY_SECRET_LEN, 0xAB);
    EXPECT_EQ(recover(kRecoveryId, bad, &rG), static_cast<uint32_t>(ST_RECOVERY_MISMATCH));
    EXPECT_EQ(rG, Bytes(RECOVERY_SECRET_LEN, 0xAB));
}

// Refusals made before anything is computed: missing arguments, a recovery
// key on another curve (its longer coordinates would reach past rE and rG),
// and an rE whose point is not on the curve.
TEST_F(RecoveryTest, BadInputIsRefusedAndLeavesRGUntouched)
{
    const std::string img = user_image("user.vkd");
    const Bytes rE = get_rE(img);
    Bytes rG(RECOVERY_SECRET_LEN, 0xAB);
    const Bytes untouched = rG;

    open_with(path("recovery.vkd"), {1, 2});
    clear_sent();
    EXPECT_EQ(DevRecoverKey(nullptr, rE.data(), rG.data()), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(DevRecoverKey(kRecoveryId.c_str(), nullptr, rG.data()), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(DevRecoverKey(kRecoveryId.c_str(), rE.data(), nullptr), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(sent(INS_SHA1), 0);

    // Off the curve: Y changed, and a point of all zero bytes.
    Bytes offY = rE;
    offY[47] ^= 1;
    Bytes zero = rE;
    std::fill(zero.begin(), zero.begin() + 48, 0);
    for (const Bytes* bad : {&offY, &zero}) {
        clear_sent();
        EXPECT_EQ(DevRecoverKey(kRecoveryId.c_str(), bad->data(), rG.data()),
                  static_cast<uint32_t>(ST_RECOVERY_MISMATCH));
        EXPECT_EQ(sent(INS_SHA1), 0) << "nothing is computed for a point off the curve";
        EXPECT_EQ(rG, untouched);
    }
    ASSERT_EQ(DevClose(), 0u);

    // A device without an issuing matrix answers the read status of 0x42.
    open_with(img, {1, 2});
    EXPECT_EQ(DevRecoverKey(kRecoveryId.c_str(), rE.data(), rG.data()), static_cast<uint32_t>(ST_FILE_NOT_FOUND));
    EXPECT_EQ(rG, untouched);
    ASSERT_EQ(DevClose(), 0u);

    // A recovery device whose matrix lies on a 32-byte curve.
    imgbuild::IssuerSpec spec;
    spec.curve = 5;
    spec.matrixId = "WIDE";
    spec.row = 16;
    spec.col = 4;
    spec.transport = false;
    std::string err;
    ASSERT_EQ(imgbuild::make_issuer(spec, path("wide.vkd"), dir_, nullptr, &err), 0) << err;
    open_with(path("wide.vkd"), {1, 2});
    clear_sent();
    EXPECT_EQ(DevRecoverKey(kRecoveryId.c_str(), rE.data(), rG.data()), static_cast<uint32_t>(ST_UNKNOWN_CURVE));
    EXPECT_EQ(sent(INS_SHA1), 0);
    EXPECT_EQ(rG, untouched);
    ASSERT_EQ(DevClose(), 0u);
}

TEST_F(RecoveryTest, RestoreChecksItsArgumentsBeforeSendingAnything)
{
    const std::string img = user_image("user.vkd");
    const Bytes rE = get_rE(img);
    Bytes rG(RECOVERY_SECRET_LEN);
    ASSERT_EQ(recover(kRecoveryId, rE, &rG), 0u);

    open_with(img, {1});
    clear_sent();
    EXPECT_EQ(DevRestoreKey(rG.data(), "1234567"), static_cast<uint32_t>(ST_PIN_LENGTH));
    EXPECT_EQ(DevRestoreKey(rG.data(), "12345678901234567"), static_cast<uint32_t>(ST_PIN_LENGTH));
    EXPECT_EQ(DevRestoreKey(nullptr, kNewPin), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(DevRestoreKey(rG.data(), nullptr), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(DevGetrE(nullptr, nullptr), static_cast<uint32_t>(ST_BAD_ARGUMENT));
    EXPECT_EQ(sent(0x38) + sent(0x36), 0);
    ASSERT_EQ(DevClose(), 0u);

    // Nothing changed: the default user PIN still opens the key.
    open_with(img, {2});
    ASSERT_EQ(DevClose(), 0u);
}

// Reading the envelope and restoring need PIN type 1 on the user's card.
TEST_F(RecoveryTest, EnvelopeAndRestoreNeedPinTypeOne)
{
    const std::string img = user_image("user.vkd");
    const Bytes rE = get_rE(img);
    Bytes rG(RECOVERY_SECRET_LEN);
    ASSERT_EQ(recover(kRecoveryId, rE, &rG), 0u);

    open_with(img, {2});
    Bytes out(RECOVERY_ENVELOPE_LEN);
    int len = static_cast<int>(out.size());
    EXPECT_NE(DevGetrE(out.data(), &len), 0u);
    EXPECT_NE(DevRestoreKey(rG.data(), kNewPin), 0u);
    ASSERT_EQ(DevClose(), 0u);
    open_with(img, {2});
    ASSERT_EQ(DevClose(), 0u);
}

}  // namespace
