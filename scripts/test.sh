#!/usr/bin/env bash
# Builds everything from nothing with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# one tree: the agent and its tests, the benchmarks, and the fuzz targets (the libraries they
# drive carry libFuzzer's coverage too), with clang's lock check (-Wthread-safety) an error like
# every warning. Then runs every test, meanwhile the short reliability suite against that tree,
# and each fuzz target for a bounded time. One line per step, test and fuzz target; every step's
# whole output is in a log under its build folder (BUILD/logs), and a failure prints its log's end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/steps.sh
build=${SORV_TEST_BUILD_DIR:-build-test}
export SORV_FUZZ_BUILD_DIR=$build
logs=$build/logs
jobs=$(nproc)
run_step "packages" "$logs/install-deps.log" scripts/install-deps.sh
run_step "layers" "$logs/layers.log" scripts/check-layers.sh
# -O1 with line tables for the agent (its tests and benchmarks build at -O0): sanitizer reports
# keep their stack traces, and the build is faster. Each library and test program compiles as
# a few large sources (a unity build), and lld links the large sanitized programs.
run_step "configure" "$logs/configure.log" \
  env CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld \
  -DCMAKE_UNITY_BUILD=ON -DSORV_SANITIZE=ON -DSORV_FUZZ=ON -DSORV_BUILD_BENCH=ON -DSORV_BUILD_UI=ON
run_step "build" "$logs/build.log" cmake --build "$build" -j "$jobs"
scripts/thread-safety.sh "$build"

# The short reliability suite runs beside the tests against this tree's agent and site, two
# of its rows at a time: they mostly wait too.
rm -f "$build/reliability.md"
run_step "reliability suite" "$logs/reliability.log" \
  env SORV_RELIABILITY_BUILD_DIR="$build" scripts/reliability.sh --short --jobs 2 &
suite=$!

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# One line per test, and for a failed test the end of its output. Three tests to a processor:
# they mostly wait. The user-interface tests run on Qt's offscreen platform (their CTest
# entries set it).
start=$SECONDS
tests_rc=0
ctest --test-dir "$build" -j $((3 * jobs)) --timeout 300 | tee "$logs/ctest.log" |
  grep --line-buffered -E '^ *[0-9]+/[0-9]+ Test +#|tests passed|Total Test time' || tests_rc=$?
[ "$tests_rc" = 0 ] || print_failed_tests "$build"
printf '%-22s %s (%ds)\n' "tests" "$([ "$tests_rc" = 0 ] && echo ok || echo FAILED)" $((SECONDS - start))
# The fuzz targets run while the suite may still be going: it mostly waits too.
fuzz_rc=0
scripts/fuzz.sh "${SORV_FUZZ_SECONDS:-6}" --no-build || fuzz_rc=$?
suite_rc=0
wait "$suite" || suite_rc=$?
if [ "$tests_rc" != 0 ] || [ "$fuzz_rc" != 0 ] || [ "$suite_rc" != 0 ]; then
  exit 1
fi
