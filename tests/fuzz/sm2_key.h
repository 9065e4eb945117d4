#pragma once
// The fixed SM2 key pair of the crypto fuzz target and its seeds: the
// private scalar and its public point X || Y, computed by the library.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

namespace fuzz {

inline const unsigned char kSm2D[32] = {0x39, 0x45, 0x20, 0x8F, 0x7B, 0x21, 0x44, 0xB1, 0x3F, 0x36, 0xE3,
                                        0x8A, 0xC6, 0xD3, 0x9F, 0x95, 0x88, 0x93, 0x93, 0x69, 0x28, 0x60,
                                        0xB5, 0x1A, 0x42, 0xFB, 0x81, 0xEF, 0x4D, 0xF7, 0xC5, 0xB8};

// X || Y of d * G on sm2p256v1; false on failure.
inline bool sm2_public(unsigned char pub[64])
{
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_POINT* P = g ? EC_POINT_new(g) : nullptr;
    BIGNUM* d = BN_bin2bn(kSm2D, 32, nullptr);
    unsigned char buf[65];
    bool ok = P && d && EC_POINT_mul(g, P, d, nullptr, nullptr, nullptr) == 1 &&
              EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, buf, sizeof buf, nullptr) == 65;
    if (ok)
        for (int i = 0; i < 64; ++i)
            pub[i] = buf[i + 1];
    BN_free(d);
    EC_POINT_free(P);
    EC_GROUP_free(g);
    return ok;
}

} // namespace fuzz
