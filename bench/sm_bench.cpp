// SM3, SM4 and SM2 of this library beside the crypto library's own, in one
// run. Each "ours" benchmark also times both sides interleaved after its loop
// and reports ours/openssl as the counter "ratio" (below 1: ours is faster).
#include "smcrypto/sm2.h"
#include "smcrypto/sm3.h"
#include "smcrypto/sm4.h"

#include "bench/ratio.h"

#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using bench_ratio::set_ratio;

std::vector<unsigned char> rnd(size_t n)
{
    std::vector<unsigned char> v(n);
    RAND_bytes(v.data(), (int)n);
    return v;
}

unsigned char g_key[16], g_iv[16];
const std::vector<unsigned char> g_data = rnd(16384);
std::vector<unsigned char> g_out(16384 + 32);

// --- SM3 ---

struct LibSm3 {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~LibSm3()
    {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
    void run(const unsigned char* p, size_t n, unsigned char* out)
    {
        unsigned int len = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, p, n);
        EVP_DigestFinal_ex(ctx, out, &len);
    }
};

void BM_SM3_ours(benchmark::State& state)
{
    size_t n = (size_t)state.range(0);
    unsigned char d[32];
    auto ours = [&] {
        SM3(g_data.data(), (int)n, d);
        benchmark::DoNotOptimize(d);
    };
    for (auto _ : state)
        ours();
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
    LibSm3 lib;
    set_ratio(state, ours, [&] {
        lib.run(g_data.data(), n, d);
        benchmark::DoNotOptimize(d);
    });
}

void BM_SM3_openssl(benchmark::State& state)
{
    size_t n = (size_t)state.range(0);
    unsigned char d[32];
    LibSm3 lib;
    for (auto _ : state) {
        lib.run(g_data.data(), n, d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}

BENCHMARK(BM_SM3_ours)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_SM3_openssl)->Arg(64)->Arg(1024)->Arg(16384);

// --- SM4, 16 KiB ---
// Variants: 0 ECB one-shot, 1 CBC one-shot, 2 ECB streaming, 3 CBC streaming
// (streaming adds PKCS#7 padding on both sides).

struct LibSm4 {
    EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
    EVP_CIPHER* cbc = EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~LibSm4()
    {
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(ecb);
        EVP_CIPHER_free(cbc);
    }
    void run(int variant)
    {
        bool is_cbc = variant & 1, pad = variant >= 2;
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, is_cbc ? cbc : ecb, nullptr, g_key, is_cbc ? g_iv : nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, pad);
        EVP_EncryptUpdate(ctx, g_out.data(), &n1, g_data.data(), (int)g_data.size());
        EVP_EncryptFinal_ex(ctx, g_out.data() + n1, &n2);
    }
};

void sm4_ours(int variant)
{
    bool is_cbc = variant & 1;
    if (variant < 2) {
        SM4_Encrypt(g_key, is_cbc ? g_iv : nullptr, g_data.data(), (uint32_t)g_data.size(),
                    g_out.data());
        return;
    }
    _sm4_ctx_ c;
    SM4_Init(&c, g_key, g_iv, is_cbc ? SM4_CBC_ENCRYPT : SM4_ECB_ENCRYPT);
    uint32_t n = 0;
    SM4_Update(&c, g_data.data(), (uint32_t)g_data.size(), g_out.data(), &n);
    int fl = 32;
    SM4_Final(c, g_out.data() + n, &fl);
}

void BM_SM4_ours(benchmark::State& state)
{
    int v = (int)state.range(0);
    auto ours = [&] {
        sm4_ours(v);
        benchmark::ClobberMemory();
    };
    for (auto _ : state)
        ours();
    state.SetBytesProcessed(state.iterations() * (int64_t)g_data.size());
    LibSm4 lib;
    set_ratio(state, ours, [&] {
        lib.run(v);
        benchmark::ClobberMemory();
    });
}

void BM_SM4_openssl(benchmark::State& state)
{
    int v = (int)state.range(0);
    LibSm4 lib;
    for (auto _ : state) {
        lib.run(v);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)g_data.size());
}

// Args: 0 ECB one-shot, 1 CBC one-shot, 2 ECB streaming, 3 CBC streaming.
BENCHMARK(BM_SM4_ours)->DenseRange(0, 3);
BENCHMARK(BM_SM4_openssl)->DenseRange(0, 3);

// --- SM2, 128-byte message ---

struct Sm2Fixture {
    unsigned char d[32], pub[64], e[32], sig[64];
    unsigned char msg[128];
    unsigned char ct[128 + 97];
    EVP_PKEY* pkey = nullptr;
    std::vector<unsigned char> lib_sig, lib_ct;
    EVP_PKEY_CTX *sign_ctx = nullptr, *ver_ctx = nullptr, *enc_ctx = nullptr, *dec_ctx = nullptr;

    Sm2Fixture()
    {
        EVP_PKEY_CTX* kc = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        EVP_PKEY_keygen_init(kc);
        EVP_PKEY_generate(kc, &pkey);
        EVP_PKEY_CTX_free(kc);
        BIGNUM* priv = nullptr;
        EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &priv);
        BN_bn2binpad(priv, d, 32);
        BN_clear_free(priv);
        unsigned char oct[65];
        size_t ol = 0;
        EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, oct, sizeof oct, &ol);
        std::memcpy(pub, oct + 1, 64);
        RAND_bytes(e, 32);
        RAND_bytes(msg, 128);
        SM2_Sign(d, e, sig);
        int cl = (int)sizeof ct;
        SM2_Encrypt(pub, msg, 128, ct, &cl);

        sign_ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        EVP_PKEY_sign_init(sign_ctx);
        ver_ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        EVP_PKEY_verify_init(ver_ctx);
        enc_ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        EVP_PKEY_encrypt_init(enc_ctx);
        dec_ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        EVP_PKEY_decrypt_init(dec_ctx);
        lib_sig.resize(80);
        size_t sl = lib_sig.size();
        EVP_PKEY_sign(sign_ctx, lib_sig.data(), &sl, e, 32);
        lib_sig.resize(sl);
        lib_ct.resize(300);
        size_t clen = lib_ct.size();
        EVP_PKEY_encrypt(enc_ctx, lib_ct.data(), &clen, msg, 128);
        lib_ct.resize(clen);
    }
    ~Sm2Fixture()
    {
        EVP_PKEY_CTX_free(sign_ctx);
        EVP_PKEY_CTX_free(ver_ctx);
        EVP_PKEY_CTX_free(enc_ctx);
        EVP_PKEY_CTX_free(dec_ctx);
        EVP_PKEY_free(pkey);
    }

    // Operation 0 sign, 1 verify, 2 encrypt, 3 decrypt.
    void ours(int op)
    {
        unsigned char out[128 + 97];
        switch (op) {
        case 0:
            SM2_Sign(d, e, out);
            break;
        case 1:
            benchmark::DoNotOptimize(SM2_Verify(pub, e, sig));
            break;
        case 2: {
            int cl = (int)sizeof out;
            SM2_Encrypt(pub, msg, 128, out, &cl);
            break;
        }
        default: {
            uint32_t pl = 0;
            SM2_Decrypt(d, ct, sizeof ct, out, &pl);
        }
        }
        benchmark::DoNotOptimize(out);
    }
    void theirs(int op)
    {
        unsigned char out[400];
        size_t n = sizeof out;
        switch (op) {
        case 0:
            EVP_PKEY_sign(sign_ctx, out, &n, e, 32);
            break;
        case 1:
            benchmark::DoNotOptimize(EVP_PKEY_verify(ver_ctx, lib_sig.data(), lib_sig.size(), e, 32));
            break;
        case 2:
            EVP_PKEY_encrypt(enc_ctx, out, &n, msg, 128);
            break;
        default:
            EVP_PKEY_decrypt(dec_ctx, out, &n, lib_ct.data(), lib_ct.size());
        }
        benchmark::DoNotOptimize(out);
    }
};

Sm2Fixture& sm2()
{
    static Sm2Fixture f;
    return f;
}

void BM_SM2_ours(benchmark::State& state)
{
    int op = (int)state.range(0);
    Sm2Fixture& f = sm2();
    for (auto _ : state)
        f.ours(op);
    set_ratio(state, [&] { f.ours(op); }, [&] { f.theirs(op); });
}

void BM_SM2_openssl(benchmark::State& state)
{
    int op = (int)state.range(0);
    Sm2Fixture& f = sm2();
    for (auto _ : state)
        f.theirs(op);
}

// Args: 0 sign, 1 verify, 2 encrypt, 3 decrypt (128-byte message).
BENCHMARK(BM_SM2_ours)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SM2_openssl)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
