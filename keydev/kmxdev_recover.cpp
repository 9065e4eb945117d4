// PIN recovery: the user's card hands out its recovery envelope rE, a
// recovery device that can issue the recovery identity's private key turns
// rE back into the card's inner secret rG, and the user's card takes rG again
// under a new user PIN.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

#include <cstring>

#include "cardapi/cosapi.h"
#include "keydev/kmxdev.h"
#include "kmx/kmx.h"
#include "smcrypto/ossl_ptr.h"
#include "smcrypto/secret_bn.h"
#include "smcrypto/status.h"

namespace {

constexpr uint32_t KEY_CARD_CAP = 256;
constexpr uint32_t RECOVERY_YEARS = 1;

// Everything one recovery allocates; the members wipe and free it, so every
// return path leaves no secret behind.
struct Recovery {
    uint8_t cardDer[KEY_CARD_CAP];
    uint8_t secret[2 * RECOVERY_L];
    KeyCard* card = nullptr;
    ossl::SecretBnPtr p;
    ossl::SecretBnPtr pInv;
    ossl::BnCtxPtr ctx;
    ossl::GroupPtr group;
    ossl::SecretPointPtr A;
    ossl::SecretPointPtr Q;

    Recovery() { memset(cardDer, 0, sizeof cardDer); memset(secret, 0, sizeof secret); }
    ~Recovery()
    {
        OPENSSL_cleanse(cardDer, sizeof cardDer);
        OPENSSL_cleanse(secret, sizeof secret);
        if (card && card->isk) OPENSSL_cleanse(card->isk->data, static_cast<size_t>(card->isk->length));
        KeyCard_free(card);
    }
    Recovery(const Recovery&) = delete;
    Recovery& operator=(const Recovery&) = delete;
};

}  // namespace

extern "C" {

uint32_t DevGetrE(uint8_t* out, int* len)
{
    return COS_Get_rE(out, len);
}

uint32_t DevRecoverKey(const char* recoveryId, const uint8_t* rE, uint8_t* rG)
{
    if (!recoveryId || !rE || !rG) return ST_BAD_ARGUMENT;
    Recovery r;

    // The recovery identity's private key, issued by this device's matrix.
    int derLen = static_cast<int>(sizeof r.cardDer);
    uint32_t st = DevGenKeyCard(reinterpret_cast<const uint8_t*>(recoveryId),
                                static_cast<uint32_t>(strlen(recoveryId)), RECOVERY_YEARS, nullptr,
                                r.cardDer, &derLen);
    if (st != ST_OK) return st;
    int dst = string2KeyCard(r.cardDer, derLen, &r.card);
    if (dst != ST_OK) return static_cast<uint32_t>(dst);

    r.p.reset(secret_bn(BN_secure_new()));
    r.pInv.reset(secret_bn(BN_secure_new()));
    r.ctx.reset(BN_CTX_new());
    if (!r.p || !r.pInv || !r.ctx) return ST_BN_ALLOC;
    // The envelope lies on the inner secret's curve; a recovery key on any
    // other curve cannot open it (and would read past the 70 bytes).
    if (!r.card->ecOid || OBJ_obj2nid(r.card->ecOid) != NID_X9_62_prime192v1)
        return ST_UNKNOWN_CURVE;
    r.group.reset(KMX_Get_ecgroup(r.card->ecOid));
    if (!r.group) return ST_UNKNOWN_CURVE;
    r.A.reset(EC_POINT_new(r.group.get()));
    r.Q.reset(EC_POINT_new(r.group.get()));
    if (!r.A || !r.Q) return ST_POINT_ALLOC;
    if (EC_GROUP_Get_paramLen(r.group.get()) != RECOVERY_L) return ST_UNKNOWN_CURVE;

    uint8_t enc[1 + 2 * RECOVERY_L];
    enc[0] = 0x04;
    memcpy(enc + 1, rE, 2 * RECOVERY_L);
    if (EC_POINT_oct2point(r.group.get(), r.A.get(), enc, sizeof enc, r.ctx.get()) != 1 ||
        EC_POINT_is_on_curve(r.group.get(), r.A.get(), r.ctx.get()) != 1)
        return ST_RECOVERY_MISMATCH;

    if (KeyCard_Get_isk(r.card, r.p.get()) != ST_OK) return ST_BN_CONVERT;
    const BIGNUM* n = EC_GROUP_get0_order(r.group.get());
    if (!n || BN_is_zero(n)) return ST_NO_ORDER;
    if (!secret_mod_inverse(r.pInv.get(), r.p.get(), n, r.ctx.get())) return ST_RECOVERY_MISMATCH;
    if (!EC_POINT_mul(r.group.get(), r.Q.get(), nullptr, r.A.get(), r.pInv.get(), r.ctx.get()))
        return ST_POINT_MUL;

    BN_CTX_start(r.ctx.get());
    BIGNUM* x = BN_CTX_get(r.ctx.get());
    BIGNUM* y = BN_CTX_get(r.ctx.get());
    bool ok = y && EC_POINT_get_affine_coordinates(r.group.get(), r.Q.get(), x, y, r.ctx.get()) == 1 &&
              BN_bn2binpad(x, r.secret, RECOVERY_L) == RECOVERY_L &&
              BN_bn2binpad(y, r.secret + RECOVERY_L, RECOVERY_L) == RECOVERY_L;
    if (x) BN_clear(x);
    if (y) BN_clear(y);
    BN_CTX_end(r.ctx.get());
    if (!ok) return ST_POINT_MUL;

    uint8_t digest[20];
    uint32_t digestLen = sizeof digest;
    st = DevSHA1(r.secret, static_cast<int>(sizeof r.secret), digest, &digestLen);
    if (st != ST_OK) return st;
    if (digestLen != sizeof digest ||
        CRYPTO_memcmp(digest, rE + RECOVERY_SHA1_AT, sizeof digest) != 0)
        return ST_RECOVERY_MISMATCH;
    memcpy(rG, r.secret, sizeof r.secret);
    return ST_OK;
}

uint32_t DevRestoreKey(const uint8_t* rG, const char* newPin)
{
    return COS_Restore_rG(rG, newPin);
}

}  // extern "C"
