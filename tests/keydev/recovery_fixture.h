// The PIN recovery fixture: a recovery issuer (curve 0, matrix "RECOVERY")
// made with the image builder, user images whose identity record names the
// recovery identity's point, and the steps of a recovery as helpers.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "dev_fixture.h"
#include "kmx/kmxsoft.h"
#include "tools/imgbuild/imgbuild.h"

namespace rect {

using namespace devt;

const std::string kId = "user-0001";
const std::string kMx = "mxU";
const std::string kRecoveryId = "recovery-officer";
constexpr uint8_t kSlot = REAL_NAME;
const char* const kNewPin = "n3w-user-pin";

inline Bytes sha1(const uint8_t* d, size_t n)
{
    Bytes out(20);
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(d, n, out.data(), &len, EVP_sha1(), nullptr), 1);
    return out;
}

class RecoveryTest : public DevTest {
protected:
    void SetUp() override
    {
        DevTest::SetUp();
        if (HasFatalFailure()) return;
        add_matrix(kMx);
        imgbuild::IssuerSpec spec;
        spec.curve = 0;
        spec.matrixId = "RECOVERY";
        spec.row = 16;
        spec.col = 4;
        spec.transport = false;
        std::string err;
        ASSERT_EQ(imgbuild::make_issuer(spec, path("recovery.vkd"), dir_, &recovery_, &err), 0) << err;
        uint8_t pub[65];
        int pubLen = sizeof pub;
        ASSERT_EQ(FMatrix_Cal_pubkey(recovery_.pksPath.c_str(),
                                     reinterpret_cast<const uint8_t*>(kRecoveryId.data()),
                                     static_cast<int>(kRecoveryId.size()), pub, &pubLen),
                  0);
        ASSERT_EQ(pubLen, 49);
        point_.assign(pub + 1, pub + 49);
    }

    // A user image whose record 0x40 holds the recovery identity's public
    // key, with kId's key in kSlot (none when withKey is false: the card
    // then has no inner secret yet); closed again.
    std::string user_image(const std::string& name, bool withKey = true)
    {
        std::string img = path(name);
        EXPECT_EQ(CreateVEFlashFile(img.c_str()), 0);
        if (m_iType != -1) DevClose();
        EXPECT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        verify_all();
        Bytes record = point_;
        record.push_back(0);
        record.insert(record.end(), kRecoveryId.begin(), kRecoveryId.end());
        EXPECT_EQ(DevCreateFile(0x40), 0u);
        EXPECT_EQ(DevWriteFile(0x40, record.data(), static_cast<int>(record.size())), 0u);
        if (withKey) install(kSlot, kId, kMx);
        EXPECT_EQ(DevClose(), 0u);
        return img;
    }

    void open_with(const std::string& img, std::initializer_list<int> types)
    {
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
        if (m_iType != -1) DevClose();
        ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        for (int t : types) {
            uint32_t tries = 0;
            ASSERT_EQ(DevVerifyPin(t, pins[t], &tries), 0u) << "PIN type " << t;
        }
    }

    Bytes get_rE(const std::string& img)
    {
        open_with(img, {1});
        Bytes rE(RECOVERY_ENVELOPE_LEN + 10, 0);
        int len = static_cast<int>(rE.size());
        EXPECT_EQ(DevGetrE(rE.data(), &len), 0u);
        EXPECT_EQ(len, RECOVERY_ENVELOPE_LEN);
        rE.resize(RECOVERY_ENVELOPE_LEN);
        EXPECT_EQ(DevClose(), 0u);
        return rE;
    }

    // DevRecoverKey on the recovery image with its PINs 1 and 2 verified.
    uint32_t recover(const std::string& id, const Bytes& rE, Bytes* rG)
    {
        open_with(path("recovery.vkd"), {1, 2});
        uint32_t st = DevRecoverKey(id.c_str(), rE.data(), rG->data());
        EXPECT_EQ(DevClose(), 0u);
        return st;
    }

    // The recovery identity's private scalar, as the recovery card issues it.
    BIGNUM* recovery_scalar()
    {
        open_with(path("recovery.vkd"), {1, 2});
        Bytes der(512);
        int n = static_cast<int>(der.size());
        EXPECT_EQ(DevGenKeyCard(reinterpret_cast<const uint8_t*>(kRecoveryId.data()),
                                static_cast<uint32_t>(kRecoveryId.size()), 1, nullptr, der.data(), &n),
                  0u);
        EXPECT_EQ(DevClose(), 0u);
        KeyCard* kc = nullptr;
        EXPECT_EQ(string2KeyCard(der.data(), n, &kc), 0);
        BIGNUM* d = BN_new();
        EXPECT_EQ(KeyCard_Get_isk(kc, d), 0);
        KeyCard_free(kc);
        return d;
    }

    imgbuild::IssuerInfo recovery_;
    Bytes point_;
};

// An SM2 block of data for kId under kMx.
inline Bytes block_for(const std::string& pks, const Bytes& data)
{
    Bytes b(SM2_BLOCK_LEN);
    int n = static_cast<int>(b.size());
    EXPECT_EQ(KMX_SM2Encrypt(pks.c_str(), reinterpret_cast<const uint8_t*>(kId.data()),
                             static_cast<int>(kId.size()), data.data(), static_cast<int>(data.size()),
                             b.data(), &n),
              0);
    return b;
}

}  // namespace rect
