#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for the given seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-40}
build=${SORV_FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DSORV_FUZZ=ON -DSORV_BUILD_TESTS=OFF -DSORV_BUILD_BENCH=OFF
targets=$(cmake --build "$build" --target help | sed -n 's/^\([^:]*fuzz_[^:]*\): .*/\1/p' | xargs -n1 basename | sort -u)
cmake --build "$build" -j "$(nproc)" --target $targets
for target in $(find "$build/tests/fuzz" -type f -name 'fuzz_*' -perm -u+x | sort); do
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/seeds/${name#fuzz_}"
  [ -d "$seeds" ] || seeds=""
  echo "== $name for ${seconds}s"
  "$target" -artifact_prefix="$build/artifacts-$name-" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 "$corpus" $seeds
done
