#pragma once
// A key device image made once per fuzzing process by the image builder: a
// host whose slot 1 holds the key of a fixed machine identifier (optionally
// on an issuing image, so that card file 0x42 holds a matrix record), and an
// SM2 challenge block encrypted to that identifier.

#include "fuzz_util.h"
#include "kmx/kmxsoft.h"
#include "tools/imgbuild/imgbuild.h"

#include <string>

namespace fuzz {

struct HostFixture {
    std::string image;   // the image's path
    std::string pub;     // public matrix of the host's key
    Bytes cid;           // the 39-byte identity
    Bytes plain;         // 128-byte plaintext of the challenge
    Bytes block;         // 250-byte SM2 block (length byte, ciphertext)
    Bytes imageBytes;    // the image as made
};

inline const unsigned char kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// identity: the host's identity (empty: a machine identifier of 39 bytes).
inline HostFixture make_host_fixture(bool issuer, const Bytes& identity = Bytes())
{
    HostFixture h;
    std::string err, secret;
    const std::string dir = Scratch::dir();
    if (imgbuild::make_soft_matrix(5, "FUZZHOST", imgbuild::DEFAULT_ROW, imgbuild::DEFAULT_COL, dir,
                                   &h.pub, &secret, &err) != 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        fail("soft matrix");
    }
    h.cid.assign(39, 0);
    h.cid[0] = 1;
    std::memcpy(&h.cid[3], kHostMac, 6);
    for (size_t i = 9; i < h.cid.size(); ++i)
        h.cid[i] = static_cast<uint8_t>("0123456789ABCDEF"[i % 16]);
    if (!identity.empty())
        h.cid = identity;
    h.image = Scratch::file(issuer ? "issuer.vkd" : "host.vkd");
    int rc;
    if (issuer) {
        imgbuild::IssuerSpec spec;
        spec.matrixId = "FUZZISSUE";
        spec.row = 8;
        spec.transport = false;
        rc = imgbuild::make_issuer(spec, h.image, dir, nullptr, &err);
        if (rc == 0)
            rc = imgbuild::install_soft_key(h.image, 1, secret, h.cid, imgbuild::DEFAULT_YEARS, &err);
    } else {
        imgbuild::HostSpec spec;
        spec.identity = h.cid;
        spec.route = imgbuild::Route::Soft;
        spec.secretMatrix = secret;
        rc = imgbuild::make_host(spec, h.image, &err);
    }
    if (rc != 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        fail("image");
    }
    h.plain.resize(128);
    for (size_t i = 0; i < h.plain.size(); ++i)
        h.plain[i] = static_cast<uint8_t>(0x41 + i % 26);
    h.block.assign(250, 0);
    int len = 250;
    if (KMX_SM2Encrypt(h.pub.c_str(), h.cid.data(), static_cast<int>(h.cid.size()), h.plain.data(),
                       static_cast<int>(h.plain.size()), h.block.data(), &len) != 0)
        fail("challenge");
    h.imageBytes = read_file(h.image);
    return h;
}

} // namespace fuzz
