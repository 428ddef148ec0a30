#!/usr/bin/env bash
# Screenshots of the agent's windows: starts the agent under Xvfb with the demo's folders and
# the reference site, and writes PNG pictures of the main window during an upload, of the
# preferences window unlocked, and of a maintenance window (deleting the source folder's empty
# folders). Fails when a window does not appear or its picture is blank.
# Usage: scripts/screenshots.sh [OUT_DIR]   (default: BUILD/screenshots)
# Environment: SORV_SCREENSHOT_BUILD_DIR (default build-screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${SORV_SCREENSHOT_BUILD_DIR:-build-screenshots}
out=$(mkdir -p "${1:-$build/screenshots}" && cd "${1:-$build/screenshots}" && pwd)

scripts/install-deps.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORV_BUILD_UI=ON \
    -DSORV_BUILD_TESTS=OFF -DSORV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target Sorv-FTPUploader sorv-site make-test-photos sorv-window-grab \
  -j "${SORV_SCREENSHOT_JOBS:-$(nproc)}"
grab_bin="$root/$build/ui/sorv-window-grab"
work_name=screenshots
. scripts/kiosk-work.sh
mkdir -p "$work/store"
xvfb_pid="" site_pid="" agent_pid=""
cleanup() {
  for pid in "$agent_pid" "$site_pid" "$xvfb_pid"; do
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT

# The demo's kind of photos, large enough for a preview, each with the metadata block.
cat >"$work/meta.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string>
<key>QM_emailsForUpload</key><array><string>guest@example.org</string></array></dict></plist>
PLIST
for folder in "Spring Fair/Booth 1" "Spring Fair/Booth 2"; do
  mkdir -p "$src/$folder"
  for i in 1 2 3 4 5 6; do
    "$photos_bin" jpeg "$src/$folder/IMG_$i.jpg" --size 1600x1200 --date "2026:05:01 10:2$i:30" \
      --plist "$work/meta.plist"
  done
done
display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display number"; exit 1; }
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

# Each reply takes two seconds to arrive: an upload is in progress long enough to be seen.
start_site --store "$work/store" --fault slow --slow-seconds 2

export SORV_DEFAULTS="$work/defaults.plist"
export SORV_LOG_DIR="$work/logs"
cat >"$SORV_DEFAULTS" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>prefLocalSourceUploadFolder</key><string>$src</string>
  <key>prefLocalMasterMirrorSiteFolder</key><string>$mirror</string>
  <key>prefIsValidLocalSourceUploadFolder</key><true/>
  <key>prefIsValidLocalMasterMirrorSiteFolder</key><true/>
  <key>userLoginName</key><string>demo-kiosk</string>
  <key>userLoginPassword</key><string>demo-password</string>
  <key>userEnteredEventName</key><string>Spring Fair 2026</string>
  <key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string>
  <key>prefVyrFuseAction</key><string>upload.upload</string>
  <key>prefShowPreviewWhenUploading</key><true/>
  <key>prefDoCheckOrders</key><false/>
</dict></plist>
PLIST

"$agent" "$src" >"$work/agent.out" 2>"$work/agent.log" &
agent_pid=$!

window_id() {  # the first top-level window with this title
  xwininfo -root -tree 2>/dev/null | grep -F "\"$1\": (" | awk '{print $1}' | head -n1
}
# Grabs the window with this title into file, retrying until it has content or time runs out.
grab() {  # title file seconds
  local deadline=$(($(date +%s) + $3)) id
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "$agent_pid" 2>/dev/null || { echo "the agent ended early"; tail -n 20 "$work/agent.log"; exit 1; }
    id=$(window_id "$1")
    if [ -n "$id" ] && "$grab_bin" "$id" "$2" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "no picture with content of the window \"$1\""
  return 1
}

status=0
# An upload in progress: the site has the request and is still answering.
for _ in $(seq 300); do grep -q "POST /upload" "$work/site.log" && break; sleep 0.1; done
sleep 1
grab "Sorv Uploader" "$out/main-window-uploading.png" 20 || status=1
# The preferences window is shown locked at launch; its lock button sits at the bottom left,
# the button that deletes the source folder's empty folders beside it.
prefs=$(window_id "Preferences")
[ -n "$prefs" ] || { echo "no preferences window"; exit 1; }
height=$(xwininfo -id "$prefs" | awk '/Height:/ {print $2}')
xdotool mousemove --window "$prefs" 30 $((height - 24)) click 1
sleep 0.5
grab "Preferences" "$out/preferences-unlocked.png" 20 || status=1
# Many empty folders below the source folder's own folders keep the maintenance window up
# while they are deleted.
mkdir -p "$src/Spring Fair/Empty Booths"
(cd "$src/Spring Fair/Empty Booths" && seq -f "Booth %g" 4000 | xargs -d '\n' mkdir)
xdotool mousemove --window "$prefs" 160 $((height - 24)) click 1
grab "Maintenance" "$out/maintenance-window.png" 30 || status=1
kill -TERM "$agent_pid" 2>/dev/null || true
wait "$agent_pid" 2>/dev/null || true
agent_pid=""
ls -l "$out"/*.png
exit "$status"
