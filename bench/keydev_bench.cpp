// The facade's decryption of one SM2 block on a host image beside a bare
// SM2_Decrypt with the same private key, in one run; the ratio facade / bare
// is printed at the end, together with the image file opens of one call
// (counted by wrapping fopen and open at link time, see bench/CMakeLists.txt).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <stdarg.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "keydev/kmxdev.h"
#include "kmx/kmxsoft.h"
#include "smcrypto/sm2.h"
#include "tools/imgbuild/imgbuild.h"

// ------------------------------------------------------------ open counters

namespace {
long g_fopenRead = 0;   // mode "rb"
long g_fopenWrite = 0;  // any other mode
long g_open = 0;
}  // namespace

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
int __real_open(const char* path, int flags, ...);

FILE* __wrap_fopen(const char* path, const char* mode)
{
    if (mode && strcmp(mode, "rb") == 0)
        ++g_fopenRead;
    else
        ++g_fopenWrite;
    return __real_fopen(path, mode);
}

int __wrap_open(const char* path, int flags, ...)
{
    ++g_open;
    mode_t m = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        m = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return __real_open(path, flags, m);
}
}

// ------------------------------------------------------------------ fixture

namespace {

struct Fixture {
    std::string dir;
    std::string image;
    std::string pks;
    std::vector<unsigned char> block;
    unsigned char d[32] = {};
    bool ok = false;

    Fixture()
    {
        char tmpl[] = "/tmp/keydev-bench-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir = tmpl;
        std::string secret, err;
        if (imgbuild::make_soft_matrix(5, "BENCH", imgbuild::DEFAULT_ROW, imgbuild::DEFAULT_COL, dir,
                                       &pks, &secret, &err) != 0) {
            fprintf(stderr, "%s\n", err.c_str());
            return;
        }
        imgbuild::HostSpec spec;
        spec.identity.assign(39, 0x5A);
        spec.identity[1] = spec.identity[2] = 0;
        spec.route = imgbuild::Route::Soft;
        spec.secretMatrix = secret;
        image = dir + "/host.vkd";
        if (imgbuild::make_host(spec, image, &err) != 0) {
            fprintf(stderr, "%s\n", err.c_str());
            return;
        }
        // The same private key for the bare decryption.
        BIGNUM* isk = BN_new();
        int st = Matrix_Cal_isk(secret.c_str(), 0, spec.identity.data(), 39, isk, nullptr, nullptr);
        st = st ? st : KMX_bn2bin(isk, d, 32);
        BN_clear_free(isk);
        if (st != 0) return;
        std::vector<unsigned char> plain(128, 0x3C);
        block.assign(SM2_BLOCK_LEN, 0);
        int len = SM2_BLOCK_LEN;
        if (KMX_SM2Encrypt(pks.c_str(), spec.identity.data(), 39, plain.data(), 128, block.data(),
                           &len) != 0)
            return;
        ok = true;
    }
    ~Fixture()
    {
        OPENSSL_cleanse(d, sizeof d);
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void BM_FacadeDecryption(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("no host image");
        return;
    }
    unsigned char out[SM2_BLOCK_LEN];
    for (auto _ : state) {
        size_t len = SM2_BLOCK_LEN;
        int st = kmx_decryption(f.block.data(), out, len, const_cast<char*>(f.image.c_str()));
        if (st != 0 || len != 128) {
            state.SkipWithError("decryption failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_FacadeDecryption);

void BM_BareSM2Decrypt(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("no host image");
        return;
    }
    unsigned char out[SM2_BLOCK_LEN];
    for (auto _ : state) {
        uint32_t len = 0;
        int st = SM2_Decrypt(f.d, f.block.data() + 1, f.block[0], out, &len);
        if (st != 0 || len != 128) {
            state.SkipWithError("decryption failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_BareSM2Decrypt);

// Keeps each benchmark's time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (!r.error_occurred &&
                (r.run_type == Run::RT_Iteration || r.aggregate_name == "median"))
                times[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv)
{
    // --drive=N: only N facade calls, for counting system calls with
    // strace -c (the difference of two counts is the cost of the calls).
    if (argc == 2 && strncmp(argv[1], "--drive=", 8) == 0) {
        Fixture& f = fixture();
        if (!f.ok) return 1;
        long n = atol(argv[1] + 8);
        unsigned char out[SM2_BLOCK_LEN];
        for (long i = 0; i < n; ++i) {
            size_t len = SM2_BLOCK_LEN;
            if (kmx_decryption(f.block.data(), out, len, const_cast<char*>(f.image.c_str())) != 0)
                return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    Fixture& f = fixture();
    if (f.ok) {
        // File opens of one facade call (after a first call has warmed up).
        unsigned char out[SM2_BLOCK_LEN];
        size_t len = SM2_BLOCK_LEN;
        kmx_decryption(f.block.data(), out, len, const_cast<char*>(f.image.c_str()));
        g_fopenRead = g_fopenWrite = g_open = 0;
        len = SM2_BLOCK_LEN;
        int st = kmx_decryption(f.block.data(), out, len, const_cast<char*>(f.image.c_str()));
        printf("kmx_decryption: status %d; image opens per call: %ld for reading, %ld for "
               "update, %ld by open()\n",
               st, g_fopenRead, g_fopenWrite, g_open);
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto facade = reporter.times.find("BM_FacadeDecryption");
    auto bare = reporter.times.find("BM_BareSM2Decrypt");
    if (facade != reporter.times.end() && bare != reporter.times.end() && bare->second > 0)
        printf("ratio facade / bare SM2_Decrypt: %.2f\n", facade->second / bare->second);
    benchmark::Shutdown();
    return 0;
}
