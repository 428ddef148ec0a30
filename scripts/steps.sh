# Sourced by the test scripts: run_step NAME LOG COMMAND... runs COMMAND with its output in
# LOG and prints one line with the seconds it took; on failure it prints the end of LOG too.
run_step() {
  local name=$1 log=$2
  shift 2
  mkdir -p "$(dirname "$log")"
  local start=$SECONDS rc=0
  "$@" >"$log" 2>&1 || rc=$?
  if [ "$rc" -eq 0 ]; then
    printf '%-22s ok (%ds)\n' "$name" $((SECONDS - start))
    return 0
  fi
  printf '%-22s FAILED (%ds, exit %d), the end of %s:\n' "$name" $((SECONDS - start)) "$rc" "$log"
  tail -n "${SORV_LOG_TAIL:-60}" "$log" | sed 's/^/    /'
  return "$rc"
}

# print_failed_tests BUILD: the end of each failed test's output, from CTest's log of the
# last run.
print_failed_tests() {
  awk -v keep="${SORV_LOG_TAIL:-60}" '
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
    /^Output:$/ { getline; n = 0; inside = 1; next }
    /^<end of output>$/ { inside = 0; next }
    inside { tail[n++ % keep] = $0; next }
    /^Test [A-Z][a-z ]*\.$/ && $0 != "Test Passed." {
      printf "%s failed, the end of its output:\n", name
      for (i = (n > keep ? n - keep : 0); i < n; i++) print "    " tail[i % keep]
    }' "$1/Testing/Temporary/LastTest.log"
}
