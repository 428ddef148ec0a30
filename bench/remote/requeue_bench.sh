#!/bin/bash
# `sorvctl requeue --all` with a full problem folder and a long problems.jsonl: the time the
# agent takes to answer, on a private session bus. Prints one line per run.
#
#   bench/remote/requeue_bench.sh BUILD_DIR [PHOTOS] [JOURNAL_MB] [RUNS]
#
# BUILD_DIR holds the bundle (Sorv-FTPUploader.app) and bin/sorvctl. The site address points at
# a closed port, so the pass that follows the requeue only fails and backs off.
set -euo pipefail
build=$(cd "${1:?usage: requeue_bench.sh BUILD_DIR [PHOTOS] [JOURNAL_MB] [RUNS]}" && pwd)
photos=${2:-1000}
journal_mb=${3:-4}
runs=${4:-3}
agent="$build/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader"
sorvctl="$build/bin/sorvctl"
[ -x "$agent" ] && [ -x "$sorvctl" ] || { echo "no agent or sorvctl in $build" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One problem folder of PHOTOS photos, and a problems.jsonl of JOURNAL_MB MB whose lines name
# them (after older lines of photos long gone).
fill() {
  rm -rf "$work/Source" "$work/Mirror" "$work/Problem Folder" "$work/logs"
  mkdir -p "$work/Source" "$work/Mirror" "$work/Problem Folder/Fair" "$work/logs"
  local i
  for ((i = 0; i < photos; i++)); do printf 'photo %d' "$i" >"$work/Problem Folder/Fair/IMG_$i.jpg"; done
  local line='{"time":"2026-05-01T10:20:30Z","path":"%s","movie":null,"http_status":500,"site_status":"OK","site_message":"Upload received","transport_error":null,"reason":"HTTP Server Returned Status Code: 500"}\n'
  local want=$((journal_mb * 1024 * 1024)) size=0 n=0
  {
    while ((size < want - photos * 220)); do
      printf "$line" "Old/IMG_$n.jpg"
      size=$((size + 210))
      n=$((n + 1))
    done
    for ((i = 0; i < photos; i++)); do printf "$line" "Fair/IMG_$i.jpg"; done
  } >"$work/logs/problems.jsonl"
  journal_bytes=$(stat -c %s "$work/logs/problems.jsonl")
}

cat >"$work/defaults.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>prefLocalSourceUploadFolder</key><string>$work/Source</string>
<key>prefLocalMasterMirrorSiteFolder</key><string>$work/Mirror</string>
<key>userLoginName</key><string>kiosk</string>
<key>userLoginPassword</key><string>secret</string>
<key>userEnteredEventName</key><string>Fair 2026</string>
<key>prefVyrURL</key><string>http://127.0.0.1:1/upload</string>
<key>prefAutoSynchronize</key><false/>
</dict></plist>
PLIST

export SORV_DEFAULTS="$work/defaults.plist" SORV_LOG_DIR="$work/logs"
echo "requeue --all: $photos photos, problems.jsonl of $journal_mb MB, $build"
for ((run = 1; run <= runs; run++)); do
  fill
  [ "$run" -gt 1 ] || echo "problems.jsonl: $journal_bytes bytes"
  dbus-run-session -- bash -c '
    "$1" --headless "$2/Source" >"$2/console.txt" 2>&1 &
    for ((i = 0; i < 200; i++)); do "$3" status >/dev/null 2>&1 && break; sleep 0.05; done
    start=$(date +%s.%N)
    "$3" requeue --all >"$2/requeue.txt" || true
    end=$(date +%s.%N)
    moved=$(grep -c "^REQUEUED" "$2/requeue.txt" || true)
    echo "run $4: $(awk -v a="$start" -v b="$end" "BEGIN { printf \"%.2f\", b - a }") s, $moved requeued"
    "$3" quit >/dev/null 2>&1 || kill %1
    wait
  ' bench "$agent" "$work" "$sorvctl" "$run"
done
