#pragma once
// Seeds of the random tests. Every random test says which seed it runs with
// (on standard error, and as the test's "seed" property in XML reports) and
// names it in each failure; TARN_TEST_SEED=<n> in the environment replaces
// it, which replays a run or tries another one.
//
//   TARN_SEED(seed, 1234);            // the test's own seed, 1234 unless
//   std::mt19937 rng(seed);           // TARN_TEST_SEED says otherwise
//
//   testseed::run_seed()              // one seed per run: TARN_TEST_SEED or
//                                     // a fresh one, printed at first use
//   testseed::per_test_stream(1)      // a generator restarted at each test

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace testseed {

// TARN_TEST_SEED as a decimal number below 2^32; false when unset. A value
// that is not such a number stops the run: a mistyped seed must not pass as
// a replay.
inline bool env_seed(unsigned* out)
{
    const char* env = std::getenv("TARN_TEST_SEED");
    if (env == nullptr || *env == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(env, &end, 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul || *env == '-') {
        std::fprintf(stderr, "TARN_TEST_SEED=%s is not a seed (a decimal number below 2^32)\n", env);
        std::exit(2);
    }
    *out = static_cast<unsigned>(v);
    return true;
}

inline std::string current_test()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "";
}

// The seed of the whole run: TARN_TEST_SEED, else a fresh one; printed once.
inline unsigned run_seed()
{
    static const unsigned seed = [] {
        unsigned s = 0;
        if (!env_seed(&s))
            s = std::random_device{}();
        std::fprintf(stderr, "random test data: TARN_TEST_SEED=%u\n", s);
        return s;
    }();
    return seed;
}

// The seed of one random test: TARN_TEST_SEED, else the test's own fixed
// seed. Printed with the test's name and recorded as its property.
inline unsigned announce(unsigned fixed)
{
    unsigned s = fixed;
    env_seed(&s);
    std::fprintf(stderr, "random test data of %s: TARN_TEST_SEED=%u\n", current_test().c_str(), s);
    if (::testing::UnitTest::GetInstance()->current_test_info() != nullptr)
        ::testing::Test::RecordProperty("seed", std::to_string(s));
    return s;
}

inline std::string trace(unsigned seed) { return "TARN_TEST_SEED=" + std::to_string(seed); }

// A generator for the running test, seeded by announce(fixed) when a test
// first asks for it, so a test re-run alone sees the bytes it saw in the
// full run.
inline std::mt19937& per_test_stream(unsigned fixed)
{
    static std::mt19937 rng;
    static std::string test;
    static bool started = false;
    const std::string name = current_test();
    if (!started || name != test) {
        started = true;
        test = name;
        rng.seed(announce(fixed));
    }
    return rng;
}

} // namespace testseed

// Declares `const unsigned var`, the test's seed (fixed unless TARN_TEST_SEED
// is set), prints it and names it in every failure of the enclosing scope.
#define TARN_SEED(var, fixed)                        \
    const unsigned var = ::testseed::announce(fixed); \
    SCOPED_TRACE(::testseed::trace(var))
