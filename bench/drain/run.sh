#!/usr/bin/env bash
# Builds the drain benchmark without sanitizers and runs it: bench/drain/run.sh [ARGS...]
# (ARGS go to bench_drain: --items N --noise M --repeat R). SORV_BENCH_BUILD_DIR picks the
# build folder (default build-drain-bench).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${SORV_BENCH_BUILD_DIR:-build-drain-bench}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target bench_drain -j 2
# The site logs every request on standard error; only the figures matter here.
"$build/bench/drain/bench_drain" "$@" 2>"$build/bench_drain.stderr"
