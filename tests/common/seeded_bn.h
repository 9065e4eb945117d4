#pragma once
// Random big numbers for test data from the running test's seeded generator
// (common/test_seed.h), so a failing key or matrix is replayed with the
// printed TARN_TEST_SEED instead of lost with the crypto library's own
// random numbers.

#include "common/test_seed.h"

#include <openssl/bn.h>

#include <vector>

namespace testseed {

// out = a number in [1, n) (n above 1): bytes of n's length plus 8 from the
// test's generator, reduced modulo n, drawn again while zero. True on success.
inline bool bn_below(BIGNUM* out, const BIGNUM* n)
{
    std::mt19937& rng = per_test_stream(1);
    std::vector<unsigned char> raw(static_cast<size_t>(BN_num_bytes(n)) + 8);
    BN_CTX* ctx = BN_CTX_new();
    bool ok = ctx != nullptr && BN_cmp(n, BN_value_one()) > 0;
    do {
        for (auto& c : raw)
            c = static_cast<unsigned char>(rng());
        ok = ok && BN_bin2bn(raw.data(), static_cast<int>(raw.size()), out) != nullptr &&
             BN_nnmod(out, out, n, ctx) == 1;
    } while (ok && BN_is_zero(out));
    BN_CTX_free(ctx);
    return ok;
}

} // namespace testseed
