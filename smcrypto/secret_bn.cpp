#include "smcrypto/secret_bn.h"

BIGNUM* secret_bn(BIGNUM* b)
{
    if (b)
        BN_set_flags(b, BN_FLG_CONSTTIME);
    return b;
}

bool is_secret_bn(const BIGNUM* b) { return b && BN_get_flags(b, BN_FLG_CONSTTIME) != 0; }

bool secret_mod_inverse(BIGNUM* out, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx)
{
    if (!out || !a || !p || !ctx || !BN_is_odd(p) || BN_cmp(p, BN_value_one()) <= 0)
        return false;
    BN_CTX_start(ctx);
    BIGNUM* e = BN_CTX_get(ctx);
    BIGNUM* base = BN_CTX_get(ctx);
    // The exponentiation wants its base reduced; a reduction of a secret is
    // itself done on a marked copy.
    bool ok = base && BN_copy(base, a) && secret_bn(base) &&
              BN_nnmod(base, base, p, ctx) && BN_copy(e, p) && BN_sub_word(e, 2) &&
              BN_mod_exp_mont_consttime(out, base, e, p, ctx, nullptr) == 1;
    if (base)
        BN_clear(base);
    BN_CTX_end(ctx);
    secret_bn(out);
    // a = 0 mod p gives 0: there is no inverse. Only a failing input takes
    // this branch.
    return ok && !BN_is_zero(out);
}

bool random_scalar(BIGNUM* k, const BIGNUM* n, BN_CTX* ctx)
{
    if (!k || !n || BN_cmp(n, BN_value_one()) <= 0)
        return false;
    secret_bn(k);
    // 0 comes up with probability 1/n per draw; the bound only stops a
    // generator that keeps answering 0.
    for (int tries = 0; tries < 64; ++tries) {
        if (BN_priv_rand_range_ex(k, n, 0, ctx) != 1)
            return false;
        if (!BN_is_zero(k))
            return true;
    }
    return false;
}
