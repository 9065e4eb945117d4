// A personalised card for the key and cryptographic instructions: identity
// record with a recovery point whose private key the test holds, PINs
// verified, keys imported into slots; plus the host's side of the curve
// arithmetic, ECDSA, SM4 and the CRC computed independently with OpenSSL.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

#include "common/reference_curves.h"
#include "common/test_seed.h"
#include "smcrypto/ecurve.h"
#include "tests/vcard/front_fixture.h"
#include "common/seeded_bn.h"

namespace ins {

using bn_ptr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using group_ptr = std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)>;
using point_ptr = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;

inline bn_ptr Bn(const Bytes& b) { return bn_ptr(BN_bin2bn(b.data(), int(b.size()), nullptr), BN_free); }
inline bn_ptr NewBn() { return bn_ptr(BN_new(), BN_free); }

inline Bytes BnBytes(const BIGNUM* v, size_t width)
{
    Bytes out(width);
    EXPECT_EQ(BN_bn2binpad(v, out.data(), int(width)), int(width));
    return out;
}

inline uint8_t FieldLen(uint8_t curve) { return ecurve_param_len(curve); }

// The host's curve arithmetic on one curve of the shared table.
class HostCurve {
public:
    explicit HostCurve(uint8_t serial)
        : L(FieldLen(serial)), group_(refcurve::group(serial), EC_GROUP_free)
    {
        EXPECT_NE(group_.get(), nullptr) << "curve " << int(serial);
    }
    const uint8_t L;

    const BIGNUM* Order() const { return EC_GROUP_get0_order(group_.get()); }

    Bytes RandomScalar() const
    {
        bn_ptr d = NewBn();
        testseed::bn_below(d.get(), Order());
        return BnBytes(d.get(), L);
    }
    // X || Y of d·P (P null: d·G).
    Bytes Mul(const Bytes& d, const Bytes* P = nullptr) const
    {
        point_ptr R(EC_POINT_new(group_.get()), EC_POINT_free);
        bn_ptr k = Bn(d);
        if (P) {
            point_ptr Q = Point(*P);
            EC_POINT_mul(group_.get(), R.get(), nullptr, Q.get(), k.get(), nullptr);
        } else {
            EC_POINT_mul(group_.get(), R.get(), k.get(), nullptr, nullptr, nullptr);
        }
        return Coords(R.get());
    }
    // X || Y of (d^-1 mod n)·P: opens an envelope made for d·G.
    Bytes Open(const Bytes& d, const Bytes& P) const
    {
        BN_CTX* ctx = BN_CTX_new();
        bn_ptr inv(BN_mod_inverse(nullptr, Bn(d).get(), Order(), ctx), BN_free);
        BN_CTX_free(ctx);
        return Mul(BnBytes(inv.get(), L), &P);
    }
    // (a + b) mod n as L bytes.
    Bytes AddMod(const Bytes& a, const Bytes& b) const
    {
        BN_CTX* ctx = BN_CTX_new();
        bn_ptr s = NewBn();
        BN_mod_add(s.get(), Bn(a).get(), Bn(b).get(), Order(), ctx);
        BN_CTX_free(ctx);
        return BnBytes(s.get(), L);
    }
    bool OnCurve(const Bytes& P) const
    {
        point_ptr Q = Point(P);
        return Q && EC_POINT_is_on_curve(group_.get(), Q.get(), nullptr) == 1;
    }

private:
    point_ptr Point(const Bytes& xy) const
    {
        point_ptr Q(EC_POINT_new(group_.get()), EC_POINT_free);
        bn_ptr x = Bn(Bytes(xy.begin(), xy.begin() + L));
        bn_ptr y = Bn(Bytes(xy.begin() + L, xy.end()));
        EC_POINT_set_affine_coordinates(group_.get(), Q.get(), x.get(), y.get(), nullptr);
        return Q;
    }
    Bytes Coords(const EC_POINT* R) const
    {
        bn_ptr x = NewBn(), y = NewBn();
        EC_POINT_get_affine_coordinates(group_.get(), R, x.get(), y.get(), nullptr);
        return Cat(BnBytes(x.get(), L), BnBytes(y.get(), L));
    }
    group_ptr group_;
};

// CRC-16/XMODEM, bit by bit.
inline uint16_t Crc16(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}
inline Bytes CrcLE(const Bytes& data)
{
    uint16_t c = Crc16(data);
    return {uint8_t(c), uint8_t(c >> 8)};
}

inline Bytes Digest(const EVP_MD* md, const Bytes& data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

// Random bytes from the running test's own generator (its seed printed,
// TARN_TEST_SEED replaces it).
inline Bytes RandomBytes(size_t n)
{
    std::mt19937& rng = testseed::per_test_stream(1);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

inline Bytes Slice(const Bytes& b, size_t off, size_t n)
{
    return Bytes(b.begin() + off, b.begin() + off + n);
}

// The explicit parameters of a curve of the shared table, for the curves the
// library has no name for (secp64r1, and sm2p256v1 whose name means SM2).
struct ExplicitCurve {
    explicit ExplicitCurve(uint8_t serial) : group(refcurve::group(serial), EC_GROUP_free)
    {
        EXPECT_NE(group.get(), nullptr) << "curve " << int(serial);
        if (!group)
            return;
        EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr);
        const EC_POINT* g = EC_GROUP_get0_generator(group.get());
        size_t n = EC_POINT_point2oct(group.get(), g, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
        gen.resize(n);
        EC_POINT_point2oct(group.get(), g, POINT_CONVERSION_UNCOMPRESSED, gen.data(), n, nullptr);
    }
    void Push(OSSL_PARAM_BLD* bld) const
    {
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_EC_FIELD_TYPE, SN_X9_62_prime_field, 0);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_P, p.get());
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_A, a.get());
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_B, b.get());
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_EC_GENERATOR, gen.data(), gen.size());
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_ORDER, EC_GROUP_get0_order(group.get()));
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_COFACTOR, EC_GROUP_get0_cofactor(group.get()));
    }
    group_ptr group;
    bn_ptr p = NewBn(), a = NewBn(), b = NewBn();
    Bytes gen;
};

// An EC key for the library's ECDSA (private part optional): of the named
// curve, or with a null name of curve `serial` given by its parameters.
inline EVP_PKEY* EcKey(const char* name, const Bytes& pub, const Bytes* d, uint8_t serial = 0)
{
    Bytes oct = Cat({0x04}, pub);
    OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
    std::unique_ptr<ExplicitCurve> explicitCurve;
    if (name) {
        OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, name, 0);
    } else {
        explicitCurve.reset(new ExplicitCurve(serial));
        explicitCurve->Push(b);
    }
    OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, oct.data(), oct.size());
    bn_ptr priv = d ? Bn(*d) : NewBn();
    if (d)
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_PRIV_KEY, priv.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* pk = nullptr;
    EVP_PKEY_fromdata_init(pc);
    EVP_PKEY_fromdata(pc, &pk, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(pc);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(b);
    return pk;
}

// r || s (L bytes each) <-> DER.
inline Bytes SigToDer(const Bytes& rs)
{
    size_t L = rs.size() / 2;
    ECDSA_SIG* s = ECDSA_SIG_new();
    ECDSA_SIG_set0(s, BN_bin2bn(rs.data(), int(L), nullptr), BN_bin2bn(rs.data() + L, int(L), nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(s, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    ECDSA_SIG_free(s);
    return out;
}
inline Bytes DerToSig(const Bytes& der, size_t L)
{
    const unsigned char* p = der.data();
    ECDSA_SIG* s = d2i_ECDSA_SIG(nullptr, &p, long(der.size()));
    if (!s)
        return {};
    Bytes out = Cat(BnBytes(ECDSA_SIG_get0_r(s), L), BnBytes(ECDSA_SIG_get0_s(s), L));
    ECDSA_SIG_free(s);
    return out;
}

// The library's ECDSA over a raw digest (no hashing).
inline bool LibVerify(const char* name, const Bytes& pub, const Bytes& digest, const Bytes& rs,
                      uint8_t serial = 0)
{
    EVP_PKEY* pk = EcKey(name, pub, nullptr, serial);
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, pk, nullptr);
    Bytes der = SigToDer(rs);
    bool ok = EVP_PKEY_verify_init(c) == 1 &&
              EVP_PKEY_verify(c, der.data(), der.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(c);
    EVP_PKEY_free(pk);
    return ok;
}
inline Bytes LibSign(const char* name, const Bytes& d, const Bytes& pub, const Bytes& digest,
                     uint8_t serial = 0)
{
    EVP_PKEY* pk = EcKey(name, pub, &d, serial);
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, pk, nullptr);
    Bytes der(256);
    size_t n = der.size();
    Bytes out;
    if (EVP_PKEY_sign_init(c) == 1 &&
        EVP_PKEY_sign(c, der.data(), &n, digest.data(), digest.size()) == 1) {
        der.resize(n);
        out = DerToSig(der, pub.size() / 2);
    }
    EVP_PKEY_CTX_free(c);
    EVP_PKEY_free(pk);
    return out;
}

// A card ready for private-key use: identity record written (recovery point
// P = recoveryKey·G on curve 0), PINs of types 0, 1 and 2 verified.
class KeyCard : public FrontCard {
protected:
    void SetUp() override
    {
        FrontCard::SetUp();
        Personalise();
    }

    void Personalise()
    {
        HostCurve c0(0);
        recoveryKey = c0.RandomScalar();
        Bytes rec = c0.Mul(recoveryKey);
        rec.push_back(0);
        identity = Text("CID=1234567");   // used length 49 + 11 = 60
        rec = Cat(rec, identity);
        ASSERT_EQ(VerifyDefault(0), 0x9000);
        ASSERT_EQ(SW(Apdu(0x80, 0xE0, 0x40, 0, Hex("40 00 00 00 00 00 80 00"))), 0x9000);
        ASSERT_EQ(SW(Apdu(0x00, 0xD6, 0, 0, rec)), 0x9000);
        LogIn();
    }
    // Verifies the PINs of types 0, 1 and 2 (the defaults).
    void LogIn()
    {
        ASSERT_EQ(VerifyDefault(0), 0x9000);
        ASSERT_EQ(VerifyDefault(1), 0x9000);
        ASSERT_EQ(VerifyDefault(2), 0x9000);
    }

    // 0x48 of scalar d (curve, slot), plain or masked with the transport key.
    uint16_t ImportKey(uint8_t slot, uint8_t curve, const Bytes& d, const Bytes* transport = nullptr)
    {
        Bytes data = d;
        if (transport) {
            Bytes mask = Digest(EVP_sm3(), *transport);
            for (size_t i = 0; i < data.size() && i < 32; ++i)
                data[i] ^= mask[i];
        }
        data = Cat(data, CrcLE(d));
        uint8_t mode = uint8_t(curve << 4 | (transport ? 0 : 1));
        return SW(Apdu(0x80, 0x48, uint8_t(0x10 + slot), mode, data));
    }
    // Imports a fresh random key and returns its scalar and public point.
    struct Key {
        Bytes d, pub;
    };
    Key NewKey(uint8_t slot, uint8_t curve)
    {
        HostCurve c(curve);
        Key k{c.RandomScalar(), {}};
        k.pub = c.Mul(k.d);
        EXPECT_EQ(ImportKey(slot, curve, k.d), 0x9000);
        return k;
    }

    // 0xCC: X || Y of the slot key times P (Lc = Le = 2L).
    Reply Ecdh(uint8_t slot, uint8_t curve, const Bytes& P)
    {
        return Send(Apdu(0x80, 0xCC, uint8_t(0x10 + slot), curve, P, int(P.size())));
    }

    // 0xC6 for the host point Q on curve: the minimal envelope.
    Reply MakeEnvelope(uint8_t curve, const Bytes& Q)
    {
        return Send(Apdu(0x80, 0xC6, curve, 0, Q, int(Q.size() + 2)));
    }

    // A session key on the card through 0xC6 for a host point of our own;
    // returns the 16 bytes the card keeps.
    Bytes SessionKeyFromEnvelope()
    {
        HostCurve c0(0);
        Bytes q = c0.RandomScalar();
        Reply env = MakeEnvelope(0, c0.Mul(q));
        EXPECT_EQ(env.sw, 0x9000);
        if (env.data.size() != 50)
            return {};
        Bytes kG = c0.Open(q, Slice(env.data, 0, 48));
        EXPECT_EQ(Slice(env.data, 48, 2), CrcLE(kG));
        return Slice(kG, 0, 16);
    }

    Bytes recoveryKey;
    Bytes identity;
};

}  // namespace ins
