#!/usr/bin/env bash
# scripts/check-layers.sh [ROOT]: fails when a source file includes a header from a folder that
# sits above its own in layers.txt (bottom first) or that layers.txt does not list, and when a
# folder with sources is missing from layers.txt. tests/, bench/ and scripts/ sit above every
# layer and are not checked.
set -euo pipefail
cd "${1:-"$(dirname "$0")/.."}"
declare -A height
n=0
while read -r folder _; do
  case "$folder" in '' | '#'*) continue ;; esac
  height[$folder]=$n
  n=$((n + 1))
done <layers.txt

mapfile -t files < <(find . \( -path ./tests -o -path ./bench -o -path ./scripts -o -path './build*' \
  -o -path './.*' \) -prune -o -type f \( -name '*.cc' -o -name '*.h' \) -print | sed 's#^\./##' | sort)
bad=0
for file in "${files[@]}"; do
  top=${file%%/*}
  if [ "$top" = "$file" ] || [ -z "${height[$top]+set}" ]; then
    echo "$file: its folder is not in layers.txt"
    bad=1
  fi
done
[ "${#files[@]}" -gt 0 ] || exit "$bad"
# FILE:LINE:HEADER for every quoted include with a folder in it.
while IFS=: read -r file line header; do
  top=${file%%/*} to=${header%%/*}
  [ "$to" = "$top" ] || [ -z "${height[$top]+set}" ] && continue
  if [ -z "${height[$to]+set}" ] || [ "${height[$to]}" -gt "${height[$top]}" ]; then
    echo "$file:$line: includes $header, from a folder above $top/"
    bad=1
  fi
done < <(awk '/^[ \t]*#[ \t]*include[ \t]*"[^"\/]*\// {
                h = $0; sub(/^[^"]*"/, "", h); sub(/".*/, "", h); print FILENAME ":" FNR ":" h }' \
           "${files[@]}")
exit "$bad"
