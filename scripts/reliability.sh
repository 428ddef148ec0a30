#!/usr/bin/env bash
# scripts/reliability.sh [--short]: builds the agent, sorv-site and the reliability suite in a
# Release tree, runs the suite against real folders and prints its table (also written to
# BUILD/reliability.md). The full run also fuzzes every target for SORV_FUZZ_SECONDS (120)
# seconds and adds a row per target. SORV_RELIABILITY_BUILD_DIR picks the tree (build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SORV_RELIABILITY_BUILD_DIR:-build-bench}
short=0
for a in "$@"; do [ "$a" = "--short" ] && short=1; done
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target reliability_suite >/dev/null
table="$build/reliability.md"
rc=0
"$build/tests/reliability/reliability_suite" "$@" --out "$table" 2>"$build/reliability.stderr" || rc=$?
if [ "$short" = 0 ]; then
  fuzzlog="$build/reliability-fuzz.txt"
  SORV_FUZZ_BUILD_DIR=${SORV_FUZZ_BUILD_DIR:-build-fuzz} scripts/fuzz.sh "${SORV_FUZZ_SECONDS:-120}" \
    >"$fuzzlog" 2>&1 || rc=1
  {
    echo
    echo "| Fuzz target | Executions | Coverage | Findings |"
    echo "|---|---|---|---|"
    awk '/^== fuzz_/ { if (t) print "| " t " | " runs " | " cov " | " found " |"; t=$2; runs="?"; cov="?"; found=0 }
         /cov: / { for (i=1;i<=NF;i++) if ($i=="cov:") cov=$(i+1) }
         /^Done [0-9]+ runs/ { runs=$2 }
         /ERROR: libFuzzer|SUMMARY: |==ERROR/ { found++ }
         END { if (t) print "| " t " | " runs " | " cov " | " found " |" }' "$fuzzlog"
  } | tee -a "$table" >/dev/null
  awk -F'|' '/^\| fuzz_/ { total += $3 } END { printf "\nFuzz executions in total: %d\n", total }' \
    "$table" >>"$table"
fi
cat "$table"
exit "$rc"
