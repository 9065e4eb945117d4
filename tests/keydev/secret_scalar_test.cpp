// Every point multiplication that the key device's secret paths make, on the
// host or inside the card, takes a scalar marked for constant-time
// arithmetic: the recovery envelope and its opening, issuing and installing
// a key card, signing and decrypting with a key slot. The only unmarked
// scalar allowed is an identity's public r (R = r·G, computed from the
// matrix head by anyone), and the probe must name it.
#include <functional>

#include "common/scalar_probe.h"
#include "recovery_fixture.h"

using namespace rect;

namespace {

class KeyDeviceScalars : public RecoveryTest {
protected:
    // Runs one path in a probe window: it succeeds, multiplies at least one
    // secret, and the unmarked scalars are exactly publicScalars, in order.
    void expect_marked(const char* what, const std::function<uint32_t()>& run,
                       const std::vector<std::string>& publicScalars = {})
    {
        SCOPED_TRACE(what);
        scalar_probe::Window w;
        ASSERT_EQ(run(), 0u);
        EXPECT_GT(scalar_probe::scalars, static_cast<int>(publicScalars.size()))
            << "no secret multiplication seen";
        EXPECT_EQ(scalar_probe::unmarked_values, publicScalars);
    }

    std::string recovery_r(const std::string& id)
    {
        return kmxt::public_r_hex(recovery_.pksPath, kmxt::bytes(id));
    }
};

// The first key written into a user card makes its inner secret and seals it
// for the recovery point (r·G, r·P); the recovery card issues the recovery
// identity's key and opens the envelope with the inverse of its private
// scalar; the user card takes the secret back.
TEST_F(KeyDeviceScalars, KeyWritingAndRecoveryMultiplyOnlyMarkedSecrets)
{
    const std::string holder = "holder-42";
    const std::string r = recovery_r(kRecoveryId);
    open_with(path("recovery.vkd"), {1, 2});
    Bytes der(512);
    int n = static_cast<int>(der.size());
    ASSERT_EQ(DevGenKeyCard(reinterpret_cast<const uint8_t*>(holder.data()),
                            static_cast<uint32_t>(holder.size()), 1, nullptr, der.data(), &n),
              0u);
    der.resize(static_cast<size_t>(n));
    ASSERT_EQ(DevClose(), 0u);

    const std::string img = user_image("user.vkd", false);
    open_with(img, {0, 1, 2});
    expect_marked("first key written, inner secret sealed", [&] {
        return DevWriteKeyCard(3, 1, der.data(), static_cast<uint32_t>(der.size()));
    });
    ASSERT_EQ(DevClose(), 0u);

    const Bytes rE = get_rE(img);
    Bytes rG(RECOVERY_SECRET_LEN);
    open_with(path("recovery.vkd"), {1, 2});
    // The recovery identity's public r is the one unmarked scalar (issuing
    // its key card multiplies it); p^-1·A must carry the mark.
    expect_marked("opening the envelope",
                  [&] { return DevRecoverKey(kRecoveryId.c_str(), rE.data(), rG.data()); }, {r});
    ASSERT_EQ(DevClose(), 0u);

    open_with(img, {1});
    {
        scalar_probe::Window w;
        ASSERT_EQ(DevRestoreKey(rG.data(), kNewPin), 0u);
        EXPECT_EQ(scalar_probe::unmarked, 0) << "restoring the inner secret";
    }
    ASSERT_EQ(DevClose(), 0u);
}

// Issuing a key card multiplies nothing secret: the sum of matrix elements
// is added, and the one multiplication is the identity's public r, which the
// probe sees unmarked (so it would see a secret one).
TEST_F(KeyDeviceScalars, IssuingAKeyCardMultipliesOnlyThePublicR)
{
    const std::string id = "holder-42";
    const std::string r = recovery_r(id);
    open_with(path("recovery.vkd"), {1, 2});
    Bytes der(512);
    int n = static_cast<int>(der.size());
    {
        scalar_probe::Window w;
        ASSERT_EQ(DevGenKeyCard(reinterpret_cast<const uint8_t*>(id.data()),
                                static_cast<uint32_t>(id.size()), 1, nullptr, der.data(), &n),
                  0u);
        EXPECT_EQ(scalar_probe::scalars, 1);
        EXPECT_EQ(scalar_probe::unmarked_values, std::vector<std::string>{r});
    }
    ASSERT_EQ(DevClose(), 0u);
}

// The card's ECDSA (through the identity-key layer's record), its SM2
// signature and its SM2 decryption with the slot's private key.
TEST_F(KeyDeviceScalars, SigningAndDecryptingWithASlot)
{
    const std::string img = user_image("user.vkd");
    const Bytes plain(64, 0x3C);
    const Bytes block = block_for(path(kMx + ".pks"), plain);
    session(img);
    Bytes sig(512);
    const Bytes data = kmxt::bytes("data to sign");
    expect_marked("ECDSA over SHA-1", [&] {
        int len = static_cast<int>(sig.size());
        return DevSignData(kSlot, data.data(), static_cast<uint32_t>(data.size()), sig.data(), &len);
    });
    const Bytes e(32, 0xA5);
    expect_marked("SM2 signature", [&] {
        int len = static_cast<int>(sig.size());
        return DevSM2Sign(kSlot, e.data(), 1700000000u, sig.data(), &len);
    });
    Bytes out(256);
    expect_marked("SM2 decryption", [&] {
        int len = static_cast<int>(out.size());
        uint32_t st = DevSM2Decrypt(kSlot, block.data(), SM2_BLOCK_LEN, out.data(), &len);
        out.resize(static_cast<size_t>(len));
        return st;
    });
    EXPECT_EQ(out, plain);
}

}  // namespace
