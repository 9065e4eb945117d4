// Ratio of two implementations timed in the same run: both sides run in
// interleaved rounds and the best round of each decides, so the load of a
// shared machine falls on both alike.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

namespace bench_ratio {

inline double time_n(const std::function<void()>& f, int64_t n)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < n; ++i)
        f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Sets the counter "ratio" to ours/theirs (below 1: ours is faster).
inline void set_ratio(benchmark::State& state, const std::function<void()>& ours,
                      const std::function<void()>& theirs)
{
    const int64_t n = std::max<int64_t>(1, state.iterations() / 8);
    double best_ours = 1e30, best_theirs = 1e30;
    for (int round = 0; round < 4; ++round) {
        best_ours = std::min(best_ours, time_n(ours, n));
        best_theirs = std::min(best_theirs, time_n(theirs, n));
    }
    state.counters["ratio"] = best_ours / best_theirs;
}

} // namespace bench_ratio
