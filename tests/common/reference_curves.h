#pragma once
// Reference curves for the tests, from published parameters and never from
// the curve code under test: the crypto library's named groups for the
// standard curves and SM2, and the 64-bit curve of the table written out here.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

namespace refcurve {

// The group of a curve serial number (0 prime192v1, 1 secp64r1, 2 secp112r1,
// 3 secp160r1, 4 prime256v1, 5 sm2p256v1); null above 5. Free with EC_GROUP_free.
inline EC_GROUP* group(unsigned serial)
{
    switch (serial) {
    case 0: return EC_GROUP_new_by_curve_name(NID_X9_62_prime192v1);
    case 2: return EC_GROUP_new_by_curve_name(NID_secp112r1);
    case 3: return EC_GROUP_new_by_curve_name(NID_secp160r1);
    case 4: return EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    case 5: return EC_GROUP_new_by_curve_name(NID_sm2);
    case 1: break;
    default: return nullptr;
    }
    // secp64r1: p, a, b, Gx, Gy, n; cofactor 1.
    static const char* const hex[6] = {"FFFFFFFFFFFFFFC5", "FFFFFFFFFFFFFFC2", "62F104D233C03C71",
                                       "612CDD5B3FACB104", "3806D3D158767F25", "FFFFFFFFE2ED22CF"};
    BIGNUM* v[6] = {};
    bool ok = true;
    for (int i = 0; i < 6; ++i)
        ok = ok && BN_hex2bn(&v[i], hex[i]) != 0;
    EC_GROUP* g = ok ? EC_GROUP_new_curve_GFp(v[0], v[1], v[2], nullptr) : nullptr;
    EC_POINT* G = g ? EC_POINT_new(g) : nullptr;
    ok = G && EC_POINT_set_affine_coordinates(g, G, v[3], v[4], nullptr) == 1 &&
         EC_GROUP_set_generator(g, G, v[5], BN_value_one()) == 1;
    EC_POINT_free(G);
    for (BIGNUM* b : v)
        BN_free(b);
    if (!ok) {
        EC_GROUP_free(g);
        return nullptr;
    }
    return g;
}

// Field length in bytes.
inline unsigned field_len(const EC_GROUP* g) { return (EC_GROUP_get_degree(g) + 7) / 8; }

} // namespace refcurve
