#!/usr/bin/env bash
# layers_test.sh CHECK: runs the layer check on small trees and expects its verdict and the
# file it names.
set -euo pipefail
check=$1
work=$(mktemp -d /tmp/sorv-layers.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME STATUS TEXT FILE:INCLUDE...: a tree with layers low, mid, high holding each FILE
# with one include line; the check must exit STATUS and print TEXT (when given).
expect() {
  local name=$1 status=$2 text=$3
  shift 3
  local tree="$work/$name"
  mkdir -p "$tree"
  printf '# bottom first\nlow  the bottom\nmid\nhigh the top\n' >"$tree/layers.txt"
  for spec in "$@"; do
    local file=${spec%%:*} include=${spec#*:}
    mkdir -p "$tree/$(dirname "$file")"
    { echo "// $file"; [ -n "$include" ] && echo "#include \"$include\""; echo "int x;"; } >"$tree/$file"
  done
  local out rc=0
  out=$("$check" "$tree" 2>&1) || rc=$?
  if [ "$rc" != "$status" ] || { [ -n "$text" ] && ! grep -qF -- "$text" <<<"$out"; }; then
    echo "FAIL $name: exit $rc (want $status), output: $out"
    failures=$((failures + 1))
  fi
}

expect downward 0 "" low/a.h: low/a.cc:low/a.h mid/b.cc:low/a.h high/c.cc:mid/b.h
expect generated-and-system 0 "" high/c.cc:ui_Window.h mid/b.cc:
expect tests-and-bench-above-all 0 "" low/a.h: tests/t.cc:high/c.h bench/b.cc:high/c.h
expect upward 1 "low/a.cc:2: includes mid/b.h" low/a.cc:mid/b.h mid/b.h:
expect two-up 1 "mid/b.cc:2: includes high/c.h" mid/b.cc:high/c.h high/c.h:
expect into-tests 1 "high/c.cc:2: includes tests/support/T.h" high/c.cc:tests/support/T.h
expect unlisted-folder 1 "extra/e.cc: its folder is not in layers.txt" extra/e.cc:low/a.h
expect nested-folder 1 "low/sub/d.cc:2: includes high/c.h" low/sub/d.cc:high/c.h
[ "$failures" = 0 ] && echo "layer check: every case as expected"
exit "$failures"
