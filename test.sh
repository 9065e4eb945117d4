#!/usr/bin/env bash
# Builds (when needed) and runs every test.
#   BUILD_DIR=folder   build folder (default: build)
#   SANITIZE=1         AddressSanitizer + UBSan build
#   LABEL=regex        only the tests whose CTest label matches
#   WERROR=1           warnings fail the build (-Werror)
set -euo pipefail
cd "$(dirname "$0")"
dir=${BUILD_DIR:-build}
san=OFF; [ "${SANITIZE:-0}" = 1 ] && san=ON
bt=Release; [ "$san" = ON ] && bt=RelWithDebInfo
flags=(); [ "${WERROR:-0}" = 1 ] && flags+=(-DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$bt" -DTARN_SANITIZE="$san" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
args=(--test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 600)
[ -n "${LABEL:-}" ] && args+=(-L "$LABEL")
ctest "${args[@]}"
