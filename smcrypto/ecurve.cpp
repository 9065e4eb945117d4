#include "smcrypto/ecurve.h"
#include "smcrypto/ossl_ptr.h"

#include <openssl/ec.h>
#include <openssl/bn.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <cstring>
#include <mutex>
#include <strings.h>

namespace {

// Explicit parameters for the two curves the library does not name.
struct curve_params {
    const char *p, *a, *b, *gx, *gy, *n;
};

const curve_params kSm2Params = {
    ECURVE_SM2_PARAM_HEX[0], ECURVE_SM2_PARAM_HEX[1], ECURVE_SM2_PARAM_HEX[2],
    ECURVE_SM2_PARAM_HEX[3], ECURVE_SM2_PARAM_HEX[4], ECURVE_SM2_PARAM_HEX[5],
};

const curve_params kSecp64r1Params = {
    "FFFFFFFFFFFFFFC5", "FFFFFFFFFFFFFFC2", "62F104D233C03C71",
    "612CDD5B3FACB104", "3806D3D158767F25", "FFFFFFFFE2ED22CF",
};

ecurve_info g_table[ECURVE_COUNT] = {
    {0, "prime192v1", NID_X9_62_prime192v1, "1.2.840.10045.3.1.1", 24},
    {1, "secp64r1", NID_undef, ECURVE_SECP64R1_OID, 8},
    {2, "secp112r1", NID_secp112r1, "1.3.132.0.6", 14},
    {3, "secp160r1", NID_secp160r1, "1.3.132.0.8", 20},
    {4, "prime256v1", NID_X9_62_prime256v1, "1.2.840.10045.3.1.7", 32},
    {5, "sm2p256v1", NID_sm2, "1.2.156.10197.1.301", 32},
};

std::once_flag g_once;

void register_curves()
{
    int nid = OBJ_txt2nid(ECURVE_SECP64R1_OID);
    if (nid == NID_undef)
        nid = OBJ_create(ECURVE_SECP64R1_OID, "secp64r1", "secp64r1");
    g_table[1].nid = nid;
}

void ensure_registered() { std::call_once(g_once, register_curves); }

ossl::BnPtr hex_bn(const char* hex)
{
    BIGNUM* b = nullptr;
    return ossl::BnPtr(BN_hex2bn(&b, hex) ? b : nullptr);
}

EC_GROUP* group_from_params(const curve_params& cp, int nid)
{
    ossl::BnCtxPtr ctx(BN_CTX_new());
    ossl::BnPtr p = hex_bn(cp.p), a = hex_bn(cp.a), b = hex_bn(cp.b), x = hex_bn(cp.gx),
                y = hex_bn(cp.gy), n = hex_bn(cp.n);
    if (!ctx || !p || !a || !b || !x || !y || !n)
        return nullptr;
    ossl::GroupPtr g(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()));
    ossl::PointPtr G(g ? EC_POINT_new(g.get()) : nullptr);
    if (!G || EC_POINT_set_affine_coordinates(g.get(), G.get(), x.get(), y.get(), ctx.get()) != 1 ||
        EC_GROUP_set_generator(g.get(), G.get(), n.get(), BN_value_one()) != 1)
        return nullptr;
    if (nid != NID_undef)
        EC_GROUP_set_curve_name(g.get(), nid);
    return g.release();
}

} // namespace

const ecurve_info* ecurve_by_serial(unsigned serial)
{
    if (serial >= ECURVE_COUNT)
        return nullptr;
    ensure_registered();
    return &g_table[serial];
}

const ecurve_info* ecurve_by_nid(int nid)
{
    if (nid == NID_undef)
        return nullptr;
    ensure_registered();
    for (auto& c : g_table)
        if (c.nid == nid)
            return &c;
    return nullptr;
}

const ecurve_info* ecurve_by_text(const char* text)
{
    if (!text || !*text)
        return nullptr;
    ensure_registered();
    for (auto& c : g_table)
        if (strcasecmp(c.name, text) == 0 || std::strcmp(c.oid, text) == 0)
            return &c;
    return ecurve_by_nid(OBJ_txt2nid(text));
}

uint8_t ecurve_param_len(unsigned serial)
{
    return serial < ECURVE_COUNT ? g_table[serial].L : 0;
}

EC_GROUP* ecurve_new_group(unsigned serial, OSSL_LIB_CTX* libctx)
{
    const ecurve_info* c = ecurve_by_serial(serial);
    if (!c)
        return nullptr;
    if (serial == 1)
        return group_from_params(kSecp64r1Params, c->nid);
    if (serial == 5)
        return group_from_params(kSm2Params, c->nid);
    return EC_GROUP_new_by_curve_name_ex(libctx, nullptr, c->nid);
}

EC_GROUP* ecurve_new_group_by_nid(int nid, OSSL_LIB_CTX* libctx)
{
    const ecurve_info* c = ecurve_by_nid(nid);
    return c ? ecurve_new_group(c->serial, libctx) : nullptr;
}

int ecurve_secp64r1_nid()
{
    ensure_registered();
    return g_table[1].nid;
}
