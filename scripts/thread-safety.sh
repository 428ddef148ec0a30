#!/bin/sh
# Checks the core libraries and the agent with clang, its lock checking (-Wthread-safety) an
# error like every other warning. Only the compiler's checks run (scripts/syntax-only.cmake):
# no code is generated, which is most of a build's time. Prints one line; on failure, the
# log's tail first.
#   scripts/thread-safety.sh [BUILD_FOLDER]   (default: build-tsa)
# A clang tree that is configured already is only built: scripts/test.sh passes the fuzz tree,
# whose libraries the fuzz build made already and where the rest of the agent is only checked
# (SORV_CHECK_ONLY in scripts/fuzz.sh).
set -u
cd "$(dirname "$0")/.." || exit 1
build=${1:-build-tsa}
mkdir -p "$build"
log="$build/thread-safety.log"
check() {
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_PROJECT_INCLUDE="$PWD/scripts/syntax-only.cmake" \
      -DSORV_BUILD_TESTS=OFF -DSORV_BUILD_BENCH=OFF -DSORV_BUILD_UI=OFF || return 1
  fi
  if ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$build/CMakeCache.txt"; then
    echo "$build is not a clang tree"
    return 1
  fi
  ninja -C "$build" Sorv-FTPUploader
}
if check >"$log" 2>&1; then
  echo "thread-safety: ok (clang -Wthread-safety -Werror, $build)"
else
  tail -n 40 "$log"
  echo "thread-safety: FAILED (log: $log)"
  exit 1
fi
