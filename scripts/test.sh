#!/usr/bin/env bash
# Builds everything from nothing with AddressSanitizer and UndefinedBehaviorSanitizer, runs
# every test, builds the Release tree and runs the short reliability suite with it, then
# builds the fuzz targets with clang and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${SORV_TEST_BUILD_DIR:-build-test}
jobs=$(nproc)
# -O1 with line tables: sanitizer reports keep their stack traces, and the build is faster.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" -DSORV_SANITIZE=ON -DSORV_BUILD_BENCH=ON -DSORV_BUILD_UI=ON
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The user-interface tests run on Qt's offscreen platform (their CTest entries set it).
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
# The Release tree of the benchmarks (README.md) must build too: -O3 brings warnings of its own.
cmake -S . -B "${SORV_RELEASE_BUILD_DIR:-build-bench}" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "${SORV_RELEASE_BUILD_DIR:-build-bench}" -j "$jobs"
# The short reliability suite against the Release agent: nothing lost, no crash, no hang.
SORV_RELIABILITY_BUILD_DIR="${SORV_RELEASE_BUILD_DIR:-build-bench}" scripts/reliability.sh --short
scripts/fuzz.sh "${SORV_FUZZ_SECONDS:-10}"
