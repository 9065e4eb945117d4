#pragma once

// Secret scalars (private keys, nonces, their inverses) and the arithmetic on
// them that must not depend on their value.
//
// Every BIGNUM that holds a secret is marked with secret_bn() right after it
// is made or loaded: the mark makes OpenSSL take its constant-time paths
// (exponentiation, division, inversion). BN_copy does not carry the mark
// over and BN_CTX_get hands out numbers without it, so a copy or a context
// temporary that receives a secret is marked again.

#include <openssl/bn.h>

// Marks b as secret; returns b (null stays null) so a call can wrap the
// expression that makes the number.
BIGNUM* secret_bn(BIGNUM* b);

// True when b carries the secret mark.
bool is_secret_bn(const BIGNUM* b);

// out := a^-1 mod p for an odd prime p, by Fermat (a^(p-2) with the
// constant-time Montgomery exponentiation). False when a is 0 mod p (no
// inverse) or on allocation failure. out is marked secret; out may be a.
bool secret_mod_inverse(BIGNUM* out, const BIGNUM* a, const BIGNUM* p, BN_CTX* ctx);

// k := a random scalar in [1, n), drawn uniformly from the private generator
// of ctx's library context (ctx may be null: the default context) and drawn
// again while it is 0. k is marked secret. False when n is below 2 or the
// generator fails; k's value is then unspecified.
bool random_scalar(BIGNUM* k, const BIGNUM* n, BN_CTX* ctx);
