#include "vcard/cosecc.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <cstring>
#include <openssl/crypto.h>

#include "smcrypto/ecurve.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/secret_bytes.h"
#include "smcrypto/sm4.h"
#include "vcard/eflash.h"
#include "vcard/filesys.h"

namespace {

// The group of one operation with its context; temporaries come from the
// context (BN_CTX_get) and go with it.
struct Curve {
    EC_GROUP* group = nullptr;
    BN_CTX* ctx = nullptr;
    const BIGNUM* n = nullptr;   // group order
    BIGNUM* p = nullptr;         // field prime
    uint8_t L = 0;
    bool ok = false;

    explicit Curve(uint8_t serial)
    {
        group = ECC_Enable(serial, &L);
        ctx = BN_CTX_new();
        if (!ctx)
            return;
        BN_CTX_start(ctx);
        if (!group)
            return;
        p = BN_CTX_get(ctx);
        n = EC_GROUP_get0_order(group);
        ok = p && n && EC_GROUP_get_curve(group, p, nullptr, nullptr, ctx);
    }
    ~Curve()
    {
        if (ctx) {
            BN_CTX_end(ctx);
            BN_CTX_free(ctx);
        }
        ECC_Disable(group);
    }
    Curve(const Curve&) = delete;
    Curve& operator=(const Curve&) = delete;

    BIGNUM* Num() { return BN_CTX_get(ctx); }
    ossl::PointPtr NewPoint() { return ossl::PointPtr(EC_POINT_new(group)); }

    // A point from X || Y (L bytes each): CHIP_BAD_POINT when a coordinate is
    // not below p or the point is not on the curve.
    int ReadPoint(const uint8_t* xy, EC_POINT* P)
    {
        BIGNUM* x = Num();
        BIGNUM* y = Num();
        if (!x || !y || !BN_bin2bn(xy, L, x) || !BN_bin2bn(xy + L, L, y))
            return CHIP_FAIL;
        if (BN_cmp(x, p) >= 0 || BN_cmp(y, p) >= 0)
            return CHIP_BAD_POINT;
        if (!EC_POINT_set_affine_coordinates(group, P, x, y, ctx))
            return CHIP_BAD_POINT;
        return EC_POINT_is_on_curve(group, P, ctx) == 1 ? CHIP_OK : CHIP_BAD_POINT;
    }

    // X || Y of a point, L bytes each; fails for the point at infinity.
    bool WritePoint(const EC_POINT* P, uint8_t* xy)
    {
        BIGNUM* x = Num();
        BIGNUM* y = Num();
        if (!x || !y || EC_POINT_is_at_infinity(group, P))
            return false;
        return EC_POINT_get_affine_coordinates(group, P, x, y, ctx) &&
               BN_bn2binpad(x, xy, L) == L && BN_bn2binpad(y, xy + L, L) == L;
    }

    bool WriteScalar(const BIGNUM* v, uint8_t* out) { return BN_bn2binpad(v, out, L) == L; }

    // A secret number from the context, marked for constant-time arithmetic.
    BIGNUM* Secret() { return secret_bn(BN_CTX_get(ctx)); }

    // A random scalar in [1, n-1], marked secret.
    bool RandScalar(BIGNUM* k) { return random_scalar(k, n, ctx); }
};

// r := k·P (P null: k·G) written as X || Y. The product may be a shared
// secret (ECDH, an opened envelope): it is cleared as it is freed.
int Multiply(Curve& c, const BIGNUM* k, const EC_POINT* P, uint8_t* xy)
{
    ossl::SecretPointPtr R(EC_POINT_new(c.group));
    if (!R)
        return CHIP_FAIL;
    int ok = P ? EC_POINT_mul(c.group, R.get(), nullptr, P, k, c.ctx)
               : EC_POINT_mul(c.group, R.get(), k, nullptr, nullptr, c.ctx);
    return ok && c.WritePoint(R.get(), xy) ? CHIP_OK : CHIP_FAIL;
}

// e: the first 20 bytes of the digest as a big-endian number.
bool DigestNumber(const uint8_t* digest, BIGNUM* e) { return BN_bin2bn(digest, 20, e) != nullptr; }

}  // namespace

uint8_t GetParamLen(uint8_t serial) { return ecurve_param_len(serial); }

EC_GROUP* ECC_Enable(uint8_t serial, uint8_t* L)
{
    if (L)
        *L = GetParamLen(serial);
    return ecurve_new_group(serial);
}

void ECC_Disable(EC_GROUP* group) { EC_GROUP_free(group); }

int EBN_bn2bin(const BIGNUM* number, uint8_t* out, uint8_t width)
{
    int n = BN_num_bytes(number);
    if (BN_is_negative(number) || n > width)
        return -1;
    BN_bn2bin(number, out + (width - n));
    return 0;
}

int Chip_GenKey(uint8_t serial, uint8_t mode, uint8_t* d, uint8_t* P)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM* k = c.Secret();
    uint8_t dOut[ECC_MAX_L], pOut[2 * ECC_MAX_L];
    cleanse_on_exit wipeD(dOut, sizeof dOut);
    if (!k)
        return CHIP_FAIL;
    int rc;
    if (mode == 0) {
        if (!c.RandScalar(k) || !c.WriteScalar(k, dOut))
            return CHIP_FAIL;
        rc = Multiply(c, k, nullptr, pOut);
    } else {
        ossl::PointPtr Q = c.NewPoint();
        if (!Q || !BN_bin2bn(d, c.L, k))
            return CHIP_FAIL;
        std::memcpy(dOut, d, c.L);
        rc = c.ReadPoint(P, Q.get());
        if (rc == CHIP_OK)
            rc = Multiply(c, k, Q.get(), pOut);
    }
    if (rc != CHIP_OK)
        return rc;
    std::memcpy(d, dOut, c.L);
    std::memcpy(P, pOut, 2u * c.L);
    return CHIP_OK;
}

int Chip_GenDE(uint8_t serial, const uint8_t* P, uint8_t* kG, uint8_t* kP)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM* k = c.Secret();
    ossl::PointPtr Q = c.NewPoint();
    if (!k || !Q)
        return CHIP_FAIL;
    int rc = c.ReadPoint(P, Q.get());
    if (rc != CHIP_OK)
        return rc;
    uint8_t g[2 * ECC_MAX_L], q[2 * ECC_MAX_L];
    cleanse_on_exit wipeG(g, sizeof g);   // k·G keys the session
    if (!c.RandScalar(k) || Multiply(c, k, nullptr, g) != CHIP_OK ||
        Multiply(c, k, Q.get(), q) != CHIP_OK)
        return CHIP_FAIL;
    std::memcpy(kG, g, 2u * c.L);
    std::memcpy(kP, q, 2u * c.L);
    return CHIP_OK;
}

int Chip_OpenDE(uint8_t serial, const uint8_t* P, const uint8_t* d, uint8_t* out)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM* k = c.Secret();
    BIGNUM* inv = c.Secret();
    ossl::PointPtr Q = c.NewPoint();
    if (!k || !inv || !Q || !BN_bin2bn(d, c.L, k))
        return CHIP_FAIL;
    int rc = c.ReadPoint(P, Q.get());
    if (rc != CHIP_OK)
        return rc;
    uint8_t r[2 * ECC_MAX_L];
    cleanse_on_exit wipeR(r, sizeof r);
    if (!secret_mod_inverse(inv, k, c.n, c.ctx) || Multiply(c, inv, Q.get(), r) != CHIP_OK)
        return CHIP_FAIL;
    std::memcpy(out, r, 2u * c.L);
    return CHIP_OK;
}

int Chip_ECDH(uint8_t serial, const uint8_t* P, const uint8_t* d, uint8_t* out)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM* k = c.Secret();
    ossl::PointPtr Q = c.NewPoint();
    if (!k || !Q || !BN_bin2bn(d, c.L, k))
        return CHIP_FAIL;
    int rc = c.ReadPoint(P, Q.get());
    if (rc != CHIP_OK)
        return rc;
    uint8_t r[2 * ECC_MAX_L];
    cleanse_on_exit wipeR(r, sizeof r);
    if (Multiply(c, k, Q.get(), r) != CHIP_OK)
        return CHIP_FAIL;
    std::memcpy(out, r, 2u * c.L);
    return CHIP_OK;
}

int Chip_ECDSA_Sign(uint8_t serial, const uint8_t* digest, const uint8_t* d, uint8_t* signature)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM *e = c.Num(), *x = c.Secret(), *k = c.Secret(), *kinv = c.Secret(), *r = c.Num(),
           *s = c.Secret(), *t = c.Secret();
    ossl::PointPtr R = c.NewPoint();
    if (!t || !R || !DigestNumber(digest, e) || !BN_bin2bn(d, c.L, x))
        return CHIP_FAIL;
    for (;;) {
        if (!c.RandScalar(k) ||
            !EC_POINT_mul(c.group, R.get(), k, nullptr, nullptr, c.ctx) ||
            !EC_POINT_get_affine_coordinates(c.group, R.get(), r, nullptr, c.ctx) ||
            !BN_nnmod(r, r, c.n, c.ctx))
            return CHIP_FAIL;
        if (BN_is_zero(r))
            continue;
        // s = k^-1 (e + d·r) mod n
        if (!BN_mod_mul(t, x, r, c.n, c.ctx) || !BN_mod_add(t, t, e, c.n, c.ctx) ||
            !secret_mod_inverse(kinv, k, c.n, c.ctx) || !BN_mod_mul(s, kinv, t, c.n, c.ctx))
            return CHIP_FAIL;
        if (!BN_is_zero(s))
            break;
    }
    uint8_t sig[2 * ECC_MAX_L];
    if (!c.WriteScalar(r, sig) || !c.WriteScalar(s, sig + c.L))
        return CHIP_FAIL;
    std::memcpy(signature, sig, 2u * c.L);
    return CHIP_OK;
}

int Chip_ECDSA_Verify(uint8_t serial, const uint8_t* digest, const uint8_t* Q,
                      const uint8_t* signature)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM *e = c.Num(), *r = c.Num(), *s = c.Num(), *w = c.Num(), *u1 = c.Num(),
           *u2 = c.Num(), *x1 = c.Num();
    ossl::PointPtr Pub = c.NewPoint(), X = c.NewPoint();
    if (!x1 || !Pub || !X || !DigestNumber(digest, e) || !BN_bin2bn(signature, c.L, r) ||
        !BN_bin2bn(signature + c.L, c.L, s))
        return CHIP_FAIL;
    int rc = c.ReadPoint(Q, Pub.get());
    if (rc != CHIP_OK)
        return rc;
    if (BN_is_zero(r) || BN_is_zero(s) || BN_cmp(r, c.n) >= 0 || BN_cmp(s, c.n) >= 0)
        return CHIP_FAIL;
    if (!BN_mod_inverse(w, s, c.n, c.ctx) || !BN_mod_mul(u1, e, w, c.n, c.ctx) ||
        !BN_mod_mul(u2, r, w, c.n, c.ctx) ||
        !EC_POINT_mul(c.group, X.get(), u1, Pub.get(), u2, c.ctx))
        return CHIP_FAIL;
    if (EC_POINT_is_at_infinity(c.group, X.get()) ||
        !EC_POINT_get_affine_coordinates(c.group, X.get(), x1, nullptr, c.ctx) ||
        !BN_nnmod(x1, x1, c.n, c.ctx))
        return CHIP_FAIL;
    return BN_cmp(x1, r) == 0 ? CHIP_OK : CHIP_FAIL;
}

int Chip_CalIsk(uint8_t serial, const uint8_t* indices, uint32_t count, const uint8_t* innerKey,
                uint8_t* out)
{
    const uint32_t k = count / 2;
    if (k > ECC_MAX_ISK_INDICES)
        return CHIP_FAIL;
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    const uint32_t B = (c.L + 15u) & ~15u;
    BIGNUM* sum = c.Secret();
    BIGNUM* v = c.Secret();
    if (!v)
        return CHIP_FAIL;
    BN_zero(sum);
    bool ok = true;
    uint8_t stored[ECC_MAX_L], plain[ECC_MAX_L];
    for (uint32_t j = 0; ok && j < k; ++j) {
        const uint32_t i = indices[2 * j] | (uint32_t)indices[2 * j + 1] << 8;
        // The key-matrix area is the 64 KiB behind the file system.
        if ((i + 1) * B > FS_MATRIX_SIZE) {
            ok = false;
            break;
        }
        if (FlashRead(FS_MATRIX_OFF + i * B, stored, B) != 0) {
            ok = false;
            break;
        }
        static const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF}, blank[4] = {0, 0, 0, 0};
        if (!std::memcmp(stored, erased, 4) || !std::memcmp(stored, blank, 4)) {
            ok = false;
            break;
        }
        sm4_crypt_ecb(innerKey, SM4_ECB_DECRYPT, (int)B, stored, plain);
        ok = BN_bin2bn(plain, c.L, v) && BN_mod_add(sum, sum, v, c.n, c.ctx);
    }
    uint8_t res[ECC_MAX_L];
    ok = ok && c.WriteScalar(sum, res);
    OPENSSL_cleanse(plain, sizeof plain);
    if (!ok) {
        OPENSSL_cleanse(res, sizeof res);
        return CHIP_FAIL;
    }
    std::memcpy(out, res, c.L);
    OPENSSL_cleanse(res, sizeof res);
    return CHIP_OK;
}

int EGetRand(uint8_t serial, uint8_t* out, uint8_t count)
{
    Curve c(serial);
    if (!c.ok)
        return CHIP_FAIL;
    BIGNUM* v = c.Secret();
    if (!v)
        return CHIP_FAIL;
    uint8_t buf[255 + ECC_MAX_L];
    int filled = 0;
    while (filled < count) {
        if (!BN_rand_range(v, c.n) || !c.WriteScalar(v, buf + filled))
            return CHIP_FAIL;
        filled += c.L;
    }
    std::memcpy(out, buf, count);
    OPENSSL_cleanse(buf, sizeof buf);
    return CHIP_OK;
}
