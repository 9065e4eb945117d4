// Independent checks of signatures with the crypto library: ECDSA over a
// digest with a public point, SM2 with a distinguishing identity.
#pragma once

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "kmx_fixture.h"
#include "common/reference_curves.h"

namespace kmxt {

inline Bytes field(const ASN1_STRING* s)
{
    const unsigned char* d = ASN1_STRING_get0_data(s);
    return Bytes(d, d + ASN1_STRING_length(s));
}

// The identity's public key (0x04 || X || Y) from a public matrix file.
inline Bytes pubkey_of(const std::string& pks, const Bytes& id)
{
    Bytes pub(65);
    int pubLen = static_cast<int>(pub.size());
    EXPECT_EQ(FMatrix_Cal_pubkey(pks.c_str(), id.data(), static_cast<int>(id.size()), pub.data(),
                                 &pubLen),
              0);
    pub.resize(pubLen > 0 ? static_cast<size_t>(pubLen) : 0);
    return pub;
}

// ECDSA check of r || s over digest with the public key (0x04 || X || Y) on
// the curve of a serial number. The library cuts a digest longer than the
// order, so only digests that fit the order are meaningful here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline bool ecdsa_library_verifies(unsigned curve, const Bytes& pub, const Bytes& digest,
                                   const Bytes& rs)
{
    EC_GROUP* g = refcurve::group(curve);
    EC_KEY* key = EC_KEY_new();
    EC_POINT* Q = g ? EC_POINT_new(g) : nullptr;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    const size_t L = rs.size() / 2;
    bool ok = g && key && Q && sig && EC_KEY_set_group(key, g) == 1 &&
              EC_POINT_oct2point(g, Q, pub.data(), pub.size(), nullptr) == 1 &&
              EC_KEY_set_public_key(key, Q) == 1 &&
              ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), static_cast<int>(L), nullptr),
                             BN_bin2bn(rs.data() + L, static_cast<int>(L), nullptr)) == 1 &&
              ECDSA_do_verify(digest.data(), static_cast<int>(digest.size()), sig, key) == 1;
    ECDSA_SIG_free(sig);
    EC_POINT_free(Q);
    EC_KEY_free(key);
    EC_GROUP_free(g);
    return ok;
}
#pragma GCC diagnostic pop

} // namespace kmxt

namespace kmxt {

// An SM2 key of the library from 0x04 || X || Y, with the private scalar
// when given.
inline EVP_PKEY* sm2_library_key(const Bytes& pub, const BIGNUM* d)
{
    OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    if (d)
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_PRIV_KEY, d);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* pk = nullptr;
    if (pc && EVP_PKEY_fromdata_init(pc) == 1)
        EVP_PKEY_fromdata(pc, &pk, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(pc);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(b);
    return pk;
}

// The library's SM2 with SM3 over msg under the distinguishing ID: signs
// (d given; returns r || s) or verifies rs (returns {1} when it holds).
inline Bytes sm2_library(const Bytes& pub, const BIGNUM* d, const std::string& id, const Bytes& msg,
                         const Bytes& rs = {})
{
    EVP_PKEY* pk = sm2_library_key(pub, d);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pc = pk ? EVP_PKEY_CTX_new(pk, nullptr) : nullptr;
    Bytes out;
    if (pc && md && EVP_PKEY_CTX_set1_id(pc, id.data(), id.size()) == 1) {
        EVP_MD_CTX_set_pkey_ctx(md, pc);
        if (d) {
            size_t n = 0;
            Bytes der(128);
            n = der.size();
            if (EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, pk) == 1 &&
                EVP_DigestSign(md, der.data(), &n, msg.data(), msg.size()) == 1) {
                const unsigned char* p = der.data();
                ECDSA_SIG* s = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(n));
                if (s) {
                    out.resize(64);
                    BN_bn2binpad(ECDSA_SIG_get0_r(s), out.data(), 32);
                    BN_bn2binpad(ECDSA_SIG_get0_s(s), out.data() + 32, 32);
                    ECDSA_SIG_free(s);
                }
            }
        } else {
            ECDSA_SIG* s = ECDSA_SIG_new();
            ECDSA_SIG_set0(s, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
            unsigned char* der = nullptr;
            int n = i2d_ECDSA_SIG(s, &der);
            if (n > 0 && EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pk) == 1 &&
                EVP_DigestVerify(md, der, static_cast<size_t>(n), msg.data(), msg.size()) == 1)
                out = {1};
            OPENSSL_free(der);
            ECDSA_SIG_free(s);
        }
    }
    EVP_MD_CTX_free(md);   // a context set by EVP_MD_CTX_set_pkey_ctx stays the caller's
    EVP_PKEY_CTX_free(pc);
    EVP_PKEY_free(pk);
    return out;
}

// Content bytes of a signing time as the signer appends them.
inline Bytes time_content(long t)
{
    unsigned char b[16];
    int n = 0;
    EXPECT_EQ(Time2ASN1_Integer(t, b, &n), 0);
    return Bytes(b, b + n);
}

// DER of a DataSig record.
inline Bytes der_of(const DataSig* s)
{
    int n = i2d_DataSig(s, nullptr);
    Bytes out(n > 0 ? static_cast<size_t>(n) : 0);
    unsigned char* p = out.data();
    if (n > 0)
        i2d_DataSig(s, &p);
    return out;
}

// A DataSig with the given fields (R empty).
inline Bytes make_sig(const std::string& matrixId, const Bytes& signer, long t, int mdNid,
                      const Bytes& rs)
{
    DataSig* s = DataSig_new();
    ASN1_INTEGER_set(s->version, 1);
    ASN1_STRING_set(s->matrixId, matrixId.data(), static_cast<int>(matrixId.size()));
    ASN1_STRING_set(s->signerId, signer.data(), static_cast<int>(signer.size()));
    ASN1_INTEGER_set_int64(s->signTime, t);
    ASN1_OBJECT_free(s->mdOid);
    s->mdOid = OBJ_nid2obj(mdNid);
    ASN1_STRING_set(s->signVal, rs.data(), static_cast<int>(rs.size()));
    Bytes der = der_of(s);
    DataSig_free(s);
    return der;
}

// The DER after a change to its decoded record.
template <typename F>
inline Bytes altered(const Bytes& der, F change)
{
    const unsigned char* p = der.data();
    DataSig* s = d2i_DataSig(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_NE(s, nullptr);
    if (!s)
        return {};
    change(s);
    Bytes out = der_of(s);
    DataSig_free(s);
    return out;
}

} // namespace kmxt
