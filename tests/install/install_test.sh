#!/usr/bin/env bash
# install_test.sh BUILD SITE MAKE_TEST_PHOTOS
set -euo pipefail
build=$1 site_bin=$2 photos_bin=$3
work=$(mktemp -d /tmp/sorv-install.XXXXXX)
site_pid="" agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null || true
  [ -n "$site_pid" ] && kill -TERM "$site_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
agent="$prefix/bin/sorv-uploader"
[ -x "$agent" ] || fail "no $agent"
unit="$prefix/lib/systemd/user/sorv-uploader.service"
grep -q "^ExecStart=.*$prefix/bin/sorv-uploader" "$unit" || fail "unit does not run $agent"
grep -q "^RestartForceExitStatus=75" "$unit" || fail "unit does not restart on the relaunch status"
grep -q "^Exec=$prefix/bin/sorv-uploader %f" "$prefix/share/applications/sorv-uploader.desktop" ||
  fail "desktop entry"
for f in relaunch relaunch.app/Contents/MacOS/relaunch revealInFinder.sh; do
  [ -x "$prefix/lib/sorv-uploader/Sorv-FTPUploader.app/Contents/Resources/$f" ] || fail "no $f"
done
[ -n "$(find "$prefix/share/doc" -name sorv-alerts.yml)" ] || fail "no alert rules with the docs"
ls "$prefix"/share/doc/*/sorv-uploader-settings.conf >/dev/null || fail "no example settings file"
if command -v systemd-analyze >/dev/null; then systemd-analyze verify "$unit"; fi
ctl="$prefix/bin/sorvctl"
[ -x "$ctl" ] || fail "no $ctl"
"$ctl" --help | grep -q 'get KEY' || fail "sorvctl --help"
status=0
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus "$ctl" pause 2>"$work/ctl.txt" || status=$?
[ "$status" = 3 ] && grep -q 'no Sorv upload agent is running' "$work/ctl.txt" ||
  fail "sorvctl without an agent: status $status, $(cat "$work/ctl.txt")"

mkdir -p "$work/store" "$work/Mirror" "$work/logs"
"$site_bin" --port 0 --store "$work/store" >"$work/site.txt" 2>&1 &
site_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/site.txt" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/site.txt" | head -n1)
[ -n "$port" ] || fail "site did not start"

cat >"$work/meta.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>
PLIST
cat >"$work/defaults.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>prefLocalSourceUploadFolder</key><string>$work/Kiosk Source</string>
  <key>prefLocalMasterMirrorSiteFolder</key><string>$work/Mirror</string>
  <key>userLoginName</key><string>kiosk</string>
  <key>userLoginPassword</key><string>secret</string>
  <key>userEnteredEventName</key><string>Fair</string>
  <key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string>
</dict></plist>
PLIST
export SORV_DEFAULTS="$work/defaults.plist" SORV_LOG_DIR="$work/logs"

# drain NAME COMMAND...: one photo in, run the command, wait for the photo in the mirror.
drain() {
  local name=$1
  shift
  mkdir -p "$work/Kiosk Source/Booth"
  "$photos_bin" jpeg "$work/Kiosk Source/Booth/$name" --size 64x48 --plist "$work/meta.plist"
  "$@" >>"$work/console.txt" 2>&1 &
  agent_pid=$!
  for _ in $(seq 300); do [ -f "$work/Mirror/Booth/$name" ] && break; sleep 0.1; done
  [ -f "$work/Mirror/Booth/$name" ] || { cat "$work/console.txt"; fail "$name not uploaded"; }
  kill -TERM "$agent_pid"
  wait "$agent_pid" || fail "agent exit status $?"
  agent_pid=""
}
drain IMG_1.jpg "$agent" --headless "$work/Kiosk Source"
# The unit's own command line, with the folder from its environment file.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit" | sed 's/\$\$/$/g')
SORV_SOURCE_FOLDER="$work/Kiosk Source" drain IMG_2.jpg sh -c "exec $exec_start"
[ "$(ls "$work/store" | grep -c IMG_)" = 2 ] || fail "site stored $(ls "$work/store")"

# Preference files from the command line: the factory values are saved, a load merges.
"$agent" --save-prefs "$work/saved.plist" || fail "--save-prefs"
grep -q '<key>prefSecondsBetweenScans</key>' "$work/saved.plist" || fail "no factory value saved"
sed 's#<string>kiosk</string>#<string>booth2</string>#' "$work/saved.plist" >"$work/edited.plist"
"$agent" --load-prefs "$work/edited.plist" || fail "--load-prefs"
grep -q '<string>booth2</string>' "$SORV_DEFAULTS" || fail "loaded login name not stored"
echo '<plist><dict>' >"$work/junk.plist"
! "$agent" --load-prefs "$work/junk.plist" 2>/dev/null || fail "a broken file loaded"

# The Debian package: runtime dependencies only, and the same layout under /usr.
if command -v dpkg-deb >/dev/null; then
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
  deb=$(ls "$work"/pkg/*.deb | head -n1)
  depends=$(dpkg-deb -f "$deb" Depends)
  case "$depends" in *-dev*) fail "development packages in Depends: $depends" ;; esac
  dpkg-deb -x "$deb" "$work/root"
  [ "$(readlink "$work/root/usr/bin/sorv-uploader")" = \
    "../lib/sorv-uploader/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader" ] ||
    fail "package link"
  [ -x "$work/root/usr/bin/sorvctl" ] || fail "package sorvctl"
  [ -n "$(find "$work/root/usr/share/doc" -name sorv-alerts.yml)" ] || fail "package alert rules"
  grep -q '^ExecStart=.* /usr/bin/sorv-uploader$' "$work/root/usr/lib/systemd/user/sorv-uploader.service" ||
    fail "package unit"
fi
echo "install test passed"
