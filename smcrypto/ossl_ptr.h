// Owning pointers for the crypto library's objects: one family for every
// layer, so each object is freed by its own free function on every path.
// The "Secret" variants clear the object's memory as they free it (private
// scalars, points made from them).
#pragma once

#include <cstdio>
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

namespace ossl {

// Deleter calling F; a null pointer is never passed to F.
template <class T, void (*F)(T*)>
struct deleter {
    void operator()(T* p) const noexcept
    {
        if (p)
            F(p);
    }
};

template <class T, void (*F)(T*)>
using ptr = std::unique_ptr<T, deleter<T, F>>;

using BnPtr = ptr<BIGNUM, BN_free>;
using SecretBnPtr = ptr<BIGNUM, BN_clear_free>;
using BnCtxPtr = ptr<BN_CTX, BN_CTX_free>;
using GroupPtr = ptr<EC_GROUP, EC_GROUP_free>;
using PointPtr = ptr<EC_POINT, EC_POINT_free>;
using SecretPointPtr = ptr<EC_POINT, EC_POINT_clear_free>;
using MdCtxPtr = ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = ptr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MacCtxPtr = ptr<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using PkeyPtr = ptr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
// Fetched algorithms (EVP_MD_fetch, EVP_CIPHER_fetch, EVP_MAC_fetch).
using MdPtr = ptr<EVP_MD, EVP_MD_free>;
using CipherPtr = ptr<EVP_CIPHER, EVP_CIPHER_free>;
using MacPtr = ptr<EVP_MAC, EVP_MAC_free>;

// A C stream, closed with fclose.
struct file_closer {
    void operator()(std::FILE* f) const noexcept
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace ossl
