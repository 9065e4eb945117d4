// Watches the scalars that reach EC_POINT_mul: while a probe scope is open,
// each scalar handed to a multiplication is counted, and so is each one that
// does not carry the constant-time mark. Every point multiplication in the
// signing, decryption, key and envelope paths takes a secret scalar, so a
// window around such a path must count no unmarked scalar; a path that also
// multiplies a public one (an identity's r) names it in unmarked_values.
//
// The header defines EC_POINT_mul for the test program (it stands in front
// of the library's and forwards to it), so exactly one source file of a test
// program includes it.
#pragma once

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>

#include <string>
#include <vector>

#include "smcrypto/secret_bn.h"

namespace scalar_probe {

inline bool on = false;
inline int scalars = 0;
inline int unmarked = 0;
// The value (hexadecimal) of each unmarked scalar, in the order seen: a path
// that also multiplies a public scalar (an identity's r) shows which one.
inline std::vector<std::string> unmarked_values;

// Counts from zero while it lives.
struct Window {
    Window()
    {
        scalars = 0;
        unmarked = 0;
        unmarked_values.clear();
        on = true;
    }
    ~Window() { on = false; }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
};

inline void note(const BIGNUM* k)
{
    if (!on || !k)
        return;
    ++scalars;
    if (is_secret_bn(k))
        return;
    ++unmarked;
    char* hex = BN_bn2hex(k);
    unmarked_values.emplace_back(hex ? hex : "?");
    OPENSSL_free(hex);
}

}  // namespace scalar_probe

extern "C" int EC_POINT_mul(const EC_GROUP* group, EC_POINT* r, const BIGNUM* n, const EC_POINT* q,
                            const BIGNUM* m, BN_CTX* ctx)
{
    using fn = int (*)(const EC_GROUP*, EC_POINT*, const BIGNUM*, const EC_POINT*, const BIGNUM*,
                       BN_CTX*);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "EC_POINT_mul"));
    scalar_probe::note(n);
    scalar_probe::note(m);
    return real ? real(group, r, n, q, m, ctx) : 0;
}
