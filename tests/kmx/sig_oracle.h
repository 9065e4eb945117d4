// Independent checks of signatures with the crypto library: ECDSA over a
// digest with a public point, SM2 with a distinguishing identity.
#pragma once

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "kmx_fixture.h"

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
    EC_GROUP* g = ecurve_new_group(curve);
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
