#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [--build-only | --no-build]: builds the libFuzzer targets with clang
# and runs each one for SECONDS (40), as many at a time as there are processors. Each target
# prints one line; its whole output is in BUILD/logs/fuzz_NAME.log, and BUILD/fuzz-summary.tsv
# holds name, runs, coverage and findings per target.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/steps.sh
seconds=40 build_it=1 run_it=1
for a in "$@"; do
  case "$a" in
    --build-only) run_it=0 ;;
    --no-build) build_it=0 ;;
    *) seconds=$a ;;
  esac
done
build=${SORV_FUZZ_BUILD_DIR:-build-fuzz}
logs=$build/logs
if [ "$build_it" = 1 ]; then
  # The folders no fuzz target needs are only checked by the compiler, so that the same tree
  # also serves the lock check of the whole agent (scripts/thread-safety.sh BUILD).
  run_step "fuzz configure" "$logs/configure.log" \
    env CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DSORV_FUZZ=ON -DSORV_BUILD_TESTS=OFF -DSORV_BUILD_BENCH=OFF \
    -DSORV_CHECK_ONLY="app;process;main"
  targets=$(cmake --build "$build" --target help | sed -n 's/^\([^:]*fuzz_[^:]*\): .*/\1/p' | xargs -n1 basename | sort -u)
  run_step "fuzz build" "$logs/build.log" cmake --build "$build" -j "$(nproc)" --target $targets
fi
[ "$run_it" = 1 ] || exit 0

# One target: runs it with its log in $logs, then prints its line (and the log's end on a finding).
fuzz_one() {
  local target=$1 name
  name=$(basename "$target")
  local corpus="$build/corpus/$name" log="$logs/$name.log" seeds="tests/fuzz/seeds/${name#fuzz_}"
  mkdir -p "$corpus"
  [ -d "$seeds" ] || seeds=""
  local rc=0
  "$target" -artifact_prefix="$build/artifacts-$name-" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -max_len=65536 "$corpus" $seeds >"$log" 2>&1 || rc=$?
  local runs cov findings
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | cut -d' ' -f2)
  findings=$(grep -c -E 'ERROR: libFuzzer|SUMMARY: |==ERROR' "$log" || true)
  printf '%s\t%s\t%s\t%s\n' "$name" "${runs:-?}" "${cov:-?}" "$findings" >"$log.summary"
  if [ "$rc" -eq 0 ]; then
    printf '%-22s ok (%s runs, cov %s)\n' "$name" "${runs:-?}" "${cov:-?}"
  else
    printf '%-22s FAILED (exit %d), the end of %s:\n' "$name" "$rc" "$log"
    tail -n "${SORV_LOG_TAIL:-60}" "$log" | sed 's/^/    /'
  fi
  return "$rc"
}

# As many targets at a time as there are processors: each still gets a processor for its time.
rm -f "$logs"/fuzz_*.log.summary
export build logs seconds
export -f fuzz_one
failed=0
find "$build/tests/fuzz" -type f -name 'fuzz_*' -perm -u+x | sort |
  xargs -P "$(nproc)" -I{} bash -c 'fuzz_one "$1"' _ {} || failed=1
cat "$logs"/fuzz_*.log.summary >"$build/fuzz-summary.tsv"
exit "$failed"
