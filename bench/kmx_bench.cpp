// Digests and HMAC by name through the identity-key layer beside the crypto
// library called directly with an algorithm fetched once. Each benchmark also
// times both sides interleaved after its loop and reports layer/library as
// the counter "ratio": what the name lookup and the layer's checks cost on
// top of the work itself.
#include "kmx/kmxsoft.h"

#include "bench/ratio.h"

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using bench_ratio::set_ratio;

const std::vector<unsigned char> g_data(1024, 0x5C);
const std::vector<unsigned char> g_key(16, 0x36);

// Arg: message length.
void BM_KmxHashSha256(benchmark::State& state)
{
    const int n = (int)state.range(0);
    unsigned char out[64];
    auto ours = [&] {
        int len = sizeof out;
        Hash("SHA256", g_data.data(), n, out, &len);
        benchmark::DoNotOptimize(out);
    };
    for (auto _ : state)
        ours();
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    set_ratio(state, ours, [&] {
        unsigned len = 0;
        EVP_Digest(g_data.data(), (size_t)n, out, &len, md, nullptr);
        benchmark::DoNotOptimize(out);
    });
    EVP_MD_free(md);
}
BENCHMARK(BM_KmxHashSha256)->Arg(64)->Arg(1024);

void BM_KmxHmacSha1(benchmark::State& state)
{
    const int n = (int)state.range(0);
    unsigned char out[64];
    auto ours = [&] {
        int len = sizeof out;
        HMac("SHA1", g_key.data(), (int)g_key.size(), g_data.data(), n, out, &len);
        benchmark::DoNotOptimize(out);
    };
    for (auto _ : state)
        ours();
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    set_ratio(state, ours, [&] {
        EVP_MAC_CTX* c = EVP_MAC_CTX_new(mac);
        OSSL_PARAM p[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA1"), 0),
                          OSSL_PARAM_construct_end()};
        size_t len = 0;
        EVP_MAC_init(c, g_key.data(), g_key.size(), p);
        EVP_MAC_update(c, g_data.data(), (size_t)n);
        EVP_MAC_final(c, out, &len, sizeof out);
        EVP_MAC_CTX_free(c);
        benchmark::DoNotOptimize(out);
    });
    EVP_MAC_free(mac);
}
BENCHMARK(BM_KmxHmacSha1)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
