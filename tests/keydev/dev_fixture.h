// Test fixture of the key device API: key device images in a temporary
// folder, matrices written there, identity keys put into key slots through
// the card commands, and a count of the card commands sent.
#pragma once

#include <openssl/evp.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/objects.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/crc16_oracle.h"
#include "cardapi/cosapi.h"
#include "cardapi/vdevdrv.h"
#include "keydev/kmxdev.h"
#include "kmx/kmx_fixture.h"
#include "vcard/dazi.h"
#include "vcard/default_pins.h"
#include "common/seeded_bn.h"
#include "common/reference_curves.h"

namespace devt {

using Bytes = std::vector<uint8_t>;
using kmxt::read_file;
using kmxt::write_file;

constexpr unsigned SM2_SERIAL = 5;

class DevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/keydev-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        VDev_SetObserver(&DevTest::observe, this);
    }
    void TearDown() override
    {
        VDev_SetObserver(nullptr, nullptr);
        if (m_iType != -1 && DevClose() != 0) DEV_Close();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // The matrix folder as the multi-recipient file wants it.
    std::string matrix_dir() const { return dir_ + "/"; }

    // A fresh image, opened, with the three PINs verified and an identity
    // record, so that the card can create its inner key.
    std::string new_image(const std::string& name)
    {
        std::string img = path(name);
        EXPECT_EQ(CreateVEFlashFile(img.c_str()), 0);
        if (m_iType != -1) DevClose();
        EXPECT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        verify_all();
        Bytes record = recovery_point();
        record.push_back(0);
        const std::string who = "keydev-test-device";
        record.insert(record.end(), who.begin(), who.end());
        EXPECT_EQ(DevCreateFile(0x40), 0u);
        EXPECT_EQ(DevWriteFile(0x40, record.data(), static_cast<int>(record.size())), 0u);
        return img;
    }

    void verify_all()
    {
        static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
        for (int t = 0; t < 3; ++t) {
            uint32_t tries = 0;
            EXPECT_EQ(DevVerifyPin(t, pins[t], &tries), 0u) << "PIN type " << t;
        }
    }

    // A session as the facade makes it: open, user PIN.
    void session(const std::string& img)
    {
        if (m_iType != -1) {
            EXPECT_EQ(DevClose(), 0u);
        }
        ASSERT_EQ(DevOpen(DEV_TYPE_VCARD, img.c_str()), 0u);
        uint32_t tries = 0;
        ASSERT_EQ(DevVerifyPin(PIN_TYPE_USER, KMX_USER_PIN, &tries), 0u);
    }

    // An SM2 matrix whose files are <matrixId>.pks (public) and .sec.
    kmxt::TestMatrix add_matrix(const std::string& matrixId)
    {
        kmxt::TestMatrix t = kmxt::make_test_matrix(matrixId, SM2_SERIAL, 16, 8);
        write_file(path(matrixId + ".pks"), t.pub);
        write_file(path(matrixId + ".sec"), t.secret);
        return t;
    }

    // Puts id's key of matrix matrixId into slot k of the open image (needs
    // PIN types 1 and 2 verified); the slot's records name slotMatrixId
    // (default: matrixId).
    void install(uint8_t k, const std::string& id, const std::string& matrixId,
                 std::string slotMatrixId = "")
    {
        if (slotMatrixId.empty()) slotMatrixId = matrixId;
        BIGNUM* isk = kmxt::isk_of(path(matrixId + ".sec"), kmxt::bytes(id));
        Bytes data(32);
        ASSERT_EQ(BN_bn2binpad(isk, data.data(), 32), 32);
        BN_free(isk);
        unsigned short crc = crc16_xmodem(data.data(), 32);
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
        ASSERT_EQ(COS_WritePriKey(static_cast<uint8_t>((SM2_SERIAL << 4) | 1), k, data.data(),
                                  static_cast<uint32_t>(data.size())),
                  0u);

        KeyCard* kc = KeyCard_new();
        ASN1_INTEGER_set(kc->version, 1);
        ASN1_OBJECT_free(kc->ecOid);
        kc->ecOid = OBJ_nid2obj(NID_sm2);
        ASN1_STRING_set(kc->matrixId, slotMatrixId.data(), static_cast<int>(slotMatrixId.size()));
        ASN1_STRING_set(kc->keyId, id.data(), static_cast<int>(id.size()));
        ASN1_INTEGER_set_int64(kc->notBefore, time(nullptr) - 3600);
        ASN1_INTEGER_set_int64(kc->notAfter, time(nullptr) + 86400L * 365);
        const uint8_t zero = 0;
        ASN1_STRING_set(kc->isk, &zero, 1);
        Bytes der(256);
        int n = static_cast<int>(der.size());
        ASSERT_EQ(KeyCard2string(kc, der.data(), &n), 0);
        KeyCard_free(kc);
        ASSERT_EQ(COS_WritePubKey(k, der.data(), static_cast<uint16_t>(n)), 0u);
        std::string keyId = id + "@" + slotMatrixId;
        ASSERT_EQ(COS_WriteKeyId(k, reinterpret_cast<const uint8_t*>(keyId.data()),
                                 static_cast<uint8_t>(keyId.size())),
                  0u);
    }

    // An image with id's key of matrix matrixId in slot k, closed again.
    std::string keyed_image(const std::string& name, uint8_t k, const std::string& id,
                            const std::string& matrixId, const std::string& slotMatrixId = "")
    {
        std::string img = new_image(name);
        install(k, id, matrixId, slotMatrixId);
        EXPECT_EQ(DevClose(), 0u);
        return img;
    }

    // Card commands with the given instruction byte since the last clear.
    int sent(uint8_t ins) const
    {
        int n = 0;
        for (uint8_t i : ins_) n += i == ins;
        return n;
    }
    void clear_sent() { ins_.clear(); }

    static Bytes sha1_oracle(const Bytes& d)
    {
        return digest_oracle(EVP_sha1(), d);
    }
    static Bytes sm3_oracle(const Bytes& d)
    {
        return digest_oracle(EVP_sm3(), d);
    }

    std::string dir_;

private:
    static void observe(void* ctx, const uint8_t* cmd, unsigned cmdLen, const uint8_t*, unsigned)
    {
        if (cmdLen >= 2) static_cast<DevTest*>(ctx)->ins_.push_back(cmd[1]);
    }

    static Bytes digest_oracle(const EVP_MD* md, const Bytes& d)
    {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned n = 0;
        EXPECT_EQ(EVP_Digest(d.data(), d.size(), out.data(), &n, md, nullptr), 1);
        out.resize(n);
        return out;
    }

    // X || Y of a random point on curve 0 (the recovery point).
    static Bytes recovery_point()
    {
        EC_GROUP* g = refcurve::group(0);
        BN_CTX* ctx = BN_CTX_new();
        BIGNUM *d = BN_new(), *x = BN_new(), *y = BN_new();
        EC_POINT* P = EC_POINT_new(g);
        testseed::bn_below(d, EC_GROUP_get0_order(g));
        EC_POINT_mul(g, P, d, nullptr, nullptr, ctx);
        EC_POINT_get_affine_coordinates(g, P, x, y, ctx);
        Bytes xy(48);
        BN_bn2binpad(x, xy.data(), 24);
        BN_bn2binpad(y, xy.data() + 24, 24);
        EC_POINT_free(P);
        BN_free(d);
        BN_free(x);
        BN_free(y);
        BN_CTX_free(ctx);
        EC_GROUP_free(g);
        return xy;
    }

    std::vector<uint8_t> ins_;
};

}  // namespace devt
