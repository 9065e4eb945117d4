// Independent reference computations for the card tests, made directly with
// the crypto library: curve arithmetic on the shared curve table, ECDSA and
// SM2 verification, digests, SM4-ECB and the XMODEM CRC.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "common/reference_curves.h"
#include "smcrypto/ecurve.h"
#include "common/seeded_bn.h"

namespace oracle {

using bytes = std::vector<uint8_t>;

// One curve of the table with its order and a context; freed on scope exit.
class curve {
public:
    explicit curve(unsigned serial)
        : g_(refcurve::group(serial)), n_(BN_new()), ctx_(BN_CTX_new()), L_(g_ ? refcurve::field_len(g_) : 0)
    {
        if (g_) EC_GROUP_get_order(g_, n_, ctx_);
    }
    ~curve()
    {
        EC_GROUP_free(g_);
        BN_free(n_);
        BN_CTX_free(ctx_);
    }
    curve(const curve&) = delete;
    curve& operator=(const curve&) = delete;

    bool ok() const { return g_ && L_; }
    unsigned L() const { return L_; }

    // A random scalar 1..n-1 as L bytes.
    bytes random_scalar() const
    {
        BIGNUM* d = BN_new();
        testseed::bn_below(d, n_);
        bytes out = bn_bytes(d);
        BN_free(d);
        return out;
    }

    // scalar·P (P given as X||Y), or scalar·G when P is empty; X||Y out.
    bytes mul(const bytes& scalar, const bytes& P = {}) const
    {
        BIGNUM* k = BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr);
        EC_POINT* r = EC_POINT_new(g_);
        EC_POINT* p = P.empty() ? nullptr : point(P);
        if (p)
            EC_POINT_mul(g_, r, nullptr, p, k, ctx_);
        else
            EC_POINT_mul(g_, r, k, nullptr, nullptr, ctx_);
        bytes out = point_bytes(r);
        EC_POINT_free(p);
        EC_POINT_free(r);
        BN_free(k);
        return out;
    }

    // Sum of points (X||Y each).
    bytes add(const std::vector<bytes>& pts) const
    {
        EC_POINT* sum = EC_POINT_new(g_);
        EC_POINT_set_to_infinity(g_, sum);
        for (const bytes& b : pts) {
            EC_POINT* p = point(b);
            EC_POINT_add(g_, sum, sum, p, ctx_);
            EC_POINT_free(p);
        }
        bytes out = point_bytes(sum);
        EC_POINT_free(sum);
        return out;
    }

    // d^-1 mod n as L bytes.
    bytes inverse(const bytes& d) const
    {
        BIGNUM* a = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
        BIGNUM* r = BN_mod_inverse(nullptr, a, n_, ctx_);
        bytes out = bn_bytes(r);
        BN_free(a);
        BN_free(r);
        return out;
    }

    bool on_curve(const bytes& P) const
    {
        EC_POINT* p = point(P);
        bool ok = p && EC_POINT_is_on_curve(g_, p, ctx_) == 1;
        EC_POINT_free(p);
        return ok;
    }

    // The card's ECDSA variant: e is the digest's first 20 bytes, not cut to
    // the order's bit length.
    bool ecdsa_verify20(const bytes& digest, const bytes& sig, const bytes& pub) const
    {
        BIGNUM* e = BN_bin2bn(digest.data(), 20, nullptr);
        BIGNUM* r = BN_bin2bn(sig.data(), static_cast<int>(L_), nullptr);
        BIGNUM* s = BN_bin2bn(sig.data() + L_, static_cast<int>(L_), nullptr);
        BIGNUM* w = BN_new();
        BIGNUM* u1 = BN_new();
        BIGNUM* u2 = BN_new();
        BIGNUM* x = BN_new();
        EC_POINT* q = point(pub);
        EC_POINT* R = EC_POINT_new(g_);
        bool ok = false;
        if (!BN_is_zero(r) && !BN_is_zero(s) && BN_cmp(r, n_) < 0 && BN_cmp(s, n_) < 0 &&
            BN_mod_inverse(w, s, n_, ctx_) && BN_mod_mul(u1, e, w, n_, ctx_) && BN_mod_mul(u2, r, w, n_, ctx_) &&
            EC_POINT_mul(g_, R, u1, q, u2, ctx_) && !EC_POINT_is_at_infinity(g_, R) &&
            EC_POINT_get_affine_coordinates(g_, R, x, nullptr, ctx_)) {
            BN_nnmod(x, x, n_, ctx_);
            ok = BN_cmp(x, r) == 0;
        }
        EC_POINT_free(R);
        EC_POINT_free(q);
        BN_free(x);
        BN_free(u2);
        BN_free(u1);
        BN_free(w);
        BN_free(s);
        BN_free(r);
        BN_free(e);
        return ok;
    }

    // SM2 verification of r||s over e (this curve must be sm2p256v1).
    bool sm2_verify(const bytes& e32, const bytes& sig, const bytes& pub) const
    {
        BIGNUM* e = BN_bin2bn(e32.data(), 32, nullptr);
        BIGNUM* r = BN_bin2bn(sig.data(), 32, nullptr);
        BIGNUM* s = BN_bin2bn(sig.data() + 32, 32, nullptr);
        BIGNUM* t = BN_new();
        BIGNUM* x = BN_new();
        EC_POINT* q = point(pub);
        EC_POINT* R = EC_POINT_new(g_);
        bool ok = false;
        if (!BN_is_zero(r) && !BN_is_zero(s) && BN_cmp(r, n_) < 0 && BN_cmp(s, n_) < 0 &&
            BN_mod_add(t, r, s, n_, ctx_) && !BN_is_zero(t) && EC_POINT_mul(g_, R, s, q, t, ctx_) &&
            EC_POINT_get_affine_coordinates(g_, R, x, nullptr, ctx_) && BN_mod_add(x, x, e, n_, ctx_))
            ok = BN_cmp(x, r) == 0;
        EC_POINT_free(R);
        EC_POINT_free(q);
        BN_free(x);
        BN_free(t);
        BN_free(s);
        BN_free(r);
        BN_free(e);
        return ok;
    }

    bytes bn_bytes(const BIGNUM* v) const
    {
        bytes out(L_);
        BN_bn2binpad(v, out.data(), static_cast<int>(L_));
        return out;
    }

private:
    EC_POINT* point(const bytes& xy) const
    {
        bytes enc(1, 0x04);
        enc.insert(enc.end(), xy.begin(), xy.end());
        EC_POINT* p = EC_POINT_new(g_);
        if (EC_POINT_oct2point(g_, p, enc.data(), enc.size(), ctx_) != 1) {
            EC_POINT_free(p);
            return nullptr;
        }
        return p;
    }
    bytes point_bytes(const EC_POINT* p) const
    {
        BIGNUM* x = BN_new();
        BIGNUM* y = BN_new();
        bytes out;
        if (EC_POINT_get_affine_coordinates(g_, p, x, y, ctx_)) {
            out = bn_bytes(x);
            bytes yb = bn_bytes(y);
            out.insert(out.end(), yb.begin(), yb.end());
        }
        BN_free(x);
        BN_free(y);
        return out;
    }

    EC_GROUP* g_;
    BIGNUM* n_;
    BN_CTX* ctx_;
    unsigned L_;
};

inline bytes digest(const char* name, const bytes& data)
{
    bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (!md || !EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr)) n = 0;
    EVP_MD_free(md);
    out.resize(n);
    return out;
}

// SM4-ECB without padding over whole blocks.
inline bytes sm4_ecb(const bytes& key, const bytes& data, bool encrypt)
{
    bytes out(data.size() + 16);
    int n = 0, m = 0;
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bool ok = c && ctx && EVP_CipherInit_ex(ctx, c, nullptr, key.data(), nullptr, encrypt ? 1 : 0) &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) &&
              EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size())) &&
              EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    out.resize(ok ? static_cast<size_t>(n + m) : 0);
    return out;
}

// CRC-16/XMODEM from 0.
inline uint16_t crc16(const uint8_t* p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}
inline uint16_t crc16(const bytes& b) { return crc16(b.data(), b.size()); }

}  // namespace oracle
