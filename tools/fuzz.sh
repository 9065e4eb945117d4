#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan, undefined
# behaviour fatal) and runs each for a bounded time, a few at once, starting
# from the committed seed corpus. Fails when any target finds a crash, a
# leak, a timeout or a broken check.
#
#   tools/fuzz.sh [seconds]      seconds per target (default 60)
#
#   BUILD_DIR   build folder (default build-fuzz)
#   JOBS        targets run at once (default 4)
#   TARGETS     space-separated subset (default: every fuzz_* target)
#   SEEDS=1     rewrite tests/fuzz/corpus with the seed maker first
#
# Working corpora and findings go to $BUILD_DIR/fuzz-run/<target>/; the
# summary line per target gives its executions, coverage (cov, ft) and
# findings.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
dir=${BUILD_DIR:-build-fuzz}
jobs=${JOBS:-4}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$dir" -DTARN_FUZZ=ON -DTARN_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$jobs" --target fuzz_all

bin="$dir/tests/fuzz"
if [ "${SEEDS:-0}" = 1 ]; then
    rm -rf tests/fuzz/corpus
    "$bin/make_seeds" tests/fuzz/corpus
fi

targets=${TARGETS:-$(cd "$bin" && ls fuzz_* | sort)}
run="$dir/fuzz-run"
rm -rf "$run"
mkdir -p "$run"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

max_len() {
    case "$1" in
        fuzz_der|fuzz_encfile) echo 20000 ;;
        fuzz_frame) echo 8192 ;;
        *) echo 4096 ;;
    esac
}

one() {
    local t=$1 w="$run/$1"
    mkdir -p "$w/corpus" "$w/findings"
    [ -d "tests/fuzz/corpus/$t" ] && cp tests/fuzz/corpus/"$t"/* "$w/corpus/"
    local rc=0
    "$bin/$t" "$w/corpus" -max_total_time="$secs" -timeout=30 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$w/findings/" \
        >"$w/log" 2>&1 </dev/null || rc=$?
    local last execs cov ft found
    last=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$w/log" | tail -1 || true)
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$w/log" | awk '{print $2}' | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    found=$(find "$w/findings" -type f | wc -l)
    printf '%-20s rc=%d execs=%s cov=%s ft=%s findings=%d\n' "$t" "$rc" "${execs:-?}" "${cov:-?}" \
        "${ft:-?}" "$found" >"$w/summary"
    return "$rc"
}

# At most $jobs at once; a slot is refilled as soon as any target ends.
failed=0
running=0
for t in $targets; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    one "$t" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done

pass=0
fail=0
for t in $targets; do
    cat "$run/$t/summary"
    if grep -q ' rc=0 ' "$run/$t/summary"; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
done
echo "fuzz: $pass passed, $fail failed"
if [ "$failed" != 0 ]; then
    for t in $targets; do
        if ! grep -q ' rc=0 ' "$run/$t/summary"; then
            echo "=== $t: finding"
            grep -E -A25 'ERROR|runtime error|fuzz check failed' "$run/$t/log" | head -60
            ls "$run/$t/findings"
        fi
    done
    echo "fuzzing found a fault"
    exit 1
fi
echo "fuzzing: no findings"
