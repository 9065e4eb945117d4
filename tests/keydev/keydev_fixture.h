// Fixtures of the key device tests: a temporary folder, images made with the
// image builder, card sessions with the default PINs, and SM2 challenges made
// with the public key that the matrix file gives for an identity.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <vector>

#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/ecurve.h"
#include "tools/imgbuild/imgbuild.h"
#include "vcard/default_pins.h"
#include "common/reference_curves.h"

namespace kdt {

using Bytes = std::vector<uint8_t>;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A machine identifier: 39 bytes with zero bytes at positions 1 and 2.
inline Bytes machine_id(uint8_t seed)
{
    Bytes id(39);
    for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + 7 * i + 1);
    id[1] = 0;
    id[2] = 0;
    return id;
}

class TempFolder {
public:
    TempFolder()
    {
        char tmpl[] = "/tmp/keydev-XXXXXX";
        // No fallback: an empty path would put the test's files under "/".
        const char* p = mkdtemp(tmpl);
        if (!p)
            throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
        path_ = p;
    }
    ~TempFolder()
    {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Opens an image and verifies the PIN types given (default values).
inline uint32_t open_verified(const std::string& image, std::initializer_list<int> types = {0, 1, 2})
{
    static const char* const pins[3] = {DEFAULT_PIN_TYPE0, DEFAULT_PIN_TYPE1, DEFAULT_PIN_TYPE2};
    uint32_t st = DevOpen(DEV_TYPE_VCARD, image.c_str());
    if (st != 0) return st;
    for (int t : types) {
        uint32_t tries = 0;
        st = DevVerifyPin(t, pins[t], &tries);
        if (st != 0) return st;
    }
    return 0;
}

// An SM2 block of plain for identity under the public matrix file pks.
inline Bytes challenge(const std::string& pks, const Bytes& identity, const Bytes& plain)
{
    Bytes block(SM2_BLOCK_LEN, 0xEE);
    int len = static_cast<int>(block.size());
    int st = KMX_SM2Encrypt(pks.c_str(), identity.data(), static_cast<int>(identity.size()),
                            plain.data(), static_cast<int>(plain.size()), block.data(), &len);
    EXPECT_EQ(0, st);
    return block;
}

// d·G of curve serial equals the public key that the matrix file gives for
// identity (0x04 || X || Y).
inline bool scalar_matches(unsigned serial, const Bytes& d, const std::string& pks, const Bytes& identity)
{
    unsigned char pub[65];
    int pubLen = sizeof pub;
    if (FMatrix_Cal_pubkey(pks.c_str(), identity.data(), static_cast<int>(identity.size()), pub,
                           &pubLen) != 0)
        return false;
    EC_GROUP* g = refcurve::group(serial);
    BIGNUM* bn = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
    EC_POINT* P = EC_POINT_new(g);
    unsigned char enc[65];
    size_t n = 0;
    if (g && bn && P && EC_POINT_mul(g, P, bn, nullptr, nullptr, nullptr))
        n = EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, enc, sizeof enc, nullptr);
    bool ok = n == static_cast<size_t>(pubLen) && memcmp(enc, pub, n) == 0;
    EC_POINT_free(P);
    BN_free(bn);
    EC_GROUP_free(g);
    return ok;
}

// Decodes a KeyCard (validity window not checked).
inline KeyCard* decode_card(const Bytes& der)
{
    const unsigned char* p = der.data();
    return d2i_KeyCard(nullptr, &p, static_cast<long>(der.size()));
}

inline Bytes field(const ASN1_STRING* s)
{
    const unsigned char* d = ASN1_STRING_get0_data(s);
    return Bytes(d, d + ASN1_STRING_length(s));
}

inline int64_t int_field(const ASN1_INTEGER* i)
{
    int64_t v = -1;
    ASN1_INTEGER_get_int64(&v, i);
    return v;
}

inline Bytes encode_card(const KeyCard* kc)
{
    int n = i2d_KeyCard(kc, nullptr);
    Bytes out(n > 0 ? static_cast<size_t>(n) : 0);
    unsigned char* p = out.data();
    if (n > 0) i2d_KeyCard(kc, &p);
    return out;
}

// A key card for id from the open issuing device, valid for one year, into
// *der (resized to its length).
inline uint32_t gen_key_card(const Bytes& id, Bytes* der)
{
    der->assign(1024, 0);
    int len = static_cast<int>(der->size());
    uint32_t st = DevGenKeyCard(id.data(), static_cast<uint32_t>(id.size()), 1, nullptr, der->data(), &len);
    der->resize(st == 0 ? static_cast<size_t>(len) : 0);
    return st;
}

// The scalar of a key card issued without a transport key: the first L bytes
// of its isk; empty when the card does not decode or its isk is not L + 2
// bytes.
inline Bytes issued_scalar(const Bytes& der, int L)
{
    KeyCard* kc = decode_card(der);
    if (!kc) return {};
    Bytes isk = field(kc->isk);
    KeyCard_free(kc);
    if (isk.size() != static_cast<size_t>(L) + 2) return {};
    return Bytes(isk.begin(), isk.begin() + L);
}

// One curve-5 issuer per test program, made on first use.
struct SharedIssuer {
    TempFolder dir;
    imgbuild::IssuerInfo info;
    int status = -1;
    std::string err;

    static SharedIssuer& get()
    {
        static SharedIssuer s;
        if (s.status == -1) {
            imgbuild::IssuerSpec spec;
            spec.row = 16;
            spec.col = 4;
            s.status = imgbuild::make_issuer(spec, s.dir.file("issuer.vkd"), s.dir.path(), &s.info,
                                             &s.err);
        }
        return s;
    }
};

}  // namespace kdt
