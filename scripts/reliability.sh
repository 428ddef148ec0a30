#!/usr/bin/env bash
# scripts/reliability.sh [--short]: builds the agent, sorv-site and the reliability suite in a
# Release tree, runs the suite against real folders and prints its table (also written to
# BUILD/reliability.md). The full run also fuzzes every target for SORV_FUZZ_SECONDS (120)
# seconds and adds a row per target. SORV_RELIABILITY_BUILD_DIR picks the tree (build-bench;
# scripts/test.sh runs the short suite in its sanitizer tree).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORV_RELIABILITY_BUILD_DIR:-build-bench}
short=0
for a in "$@"; do [ "$a" = "--short" ] && short=1; done
. scripts/steps.sh
if [ ! -f "$build/build.ninja" ]; then
  run_step "release configure" "$build/logs/configure.log" \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
# Only the suite and what it runs (the agent, sorv-site), not the whole tree.
run_step "suite build" "$build/logs/suite-build.log" \
  cmake --build "$build" -j "$(nproc)" --target reliability_suite
table="$build/reliability.md"
rc=0
# The suite prints the table as it goes; it is printed once below.
"$build/tests/reliability/reliability_suite" "$@" --out "$table" >"$build/logs/suite.log" \
  2>"$build/reliability.stderr" || rc=$?
if [ "$short" = 0 ]; then
  fuzzbuild=${SORV_FUZZ_BUILD_DIR:-build-fuzz}
  SORV_FUZZ_BUILD_DIR=$fuzzbuild scripts/fuzz.sh "${SORV_FUZZ_SECONDS:-120}" || rc=1
  {
    echo
    echo "| Fuzz target | Executions | Coverage | Findings |"
    echo "|---|---|---|---|"
    awk -F'\t' '{ print "| " $1 " | " $2 " | " $3 " | " $4 " |" }' "$fuzzbuild/fuzz-summary.tsv"
  } >>"$table"
  awk -F'|' '/^\| fuzz_/ { total += $3 } END { printf "\nFuzz executions in total: %d\n", total }' \
    "$table" >>"$table"
fi
cat "$table"
# A failed row's agent: the last lines of its console and message log.
[ "$rc" = 0 ] || grep -A 22 'failed; the console ends' "$build/reliability.stderr" | tail -n 40
exit "$rc"
