// A signer for the signature tests: a software matrix of a chosen curve, an
// image whose slot 1 holds the signer's key, the card bound with the user
// PIN verified, and the signer's isk for software signatures.
#pragma once

#include "cardapi/cosapi.h"
#include "kmx/kmxapp.h"
#include "kmx_fixture.h"
#include "tools/imgbuild/imgbuild.h"
#include "vcard/default_pins.h"

namespace kmxt {

inline const Bytes kSigner = bytes("alice@tarn");

class SignerCard : public TempDir {
protected:
    void make(unsigned curve, const std::string& matrixId = "SIGTEST")
    {
        std::string err;
        matrixId_ = matrixId;
        ASSERT_EQ(imgbuild::make_soft_matrix(curve, matrixId, 8, 4, dir_, &pks_, &secret_, &err),
                  0)
            << err;
        imgbuild::HostSpec spec;
        spec.identity = kSigner;
        spec.route = imgbuild::Route::Soft;
        spec.secretMatrix = secret_;
        image_ = path("host.vkd");
        ASSERT_EQ(imgbuild::make_host(spec, image_, &err), 0) << err;
        ASSERT_EQ(DEV_Open(DEV_TYPE_VIRTUAL, image_.c_str()), 0u);
        uint32_t tries = 0;
        ASSERT_EQ(COS_VerifyPin(2, DEFAULT_PIN_TYPE2, &tries), 0u);
        bound_ = true;
    }
    void TearDown() override
    {
        if (bound_) {
            COS_Reset();
            DEV_Close();
        }
        TempDir::TearDown();
    }
    std::string matrixId_, pks_, secret_, image_;
    bool bound_ = false;
};

} // namespace kmxt
