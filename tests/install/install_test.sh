#!/usr/bin/env bash
# install_test.sh BUILD SITE MAKE_TEST_PHOTOS
# Installs the build into a prefix and into home prefixes, drains a folder with the installed
# agent (also through the user unit's command line), and packs the Debian package: its
# contents, its control fields and lintian's verdict.
set -euo pipefail
build=$(cd "$1" && pwd) site_bin=$2 photos_bin=$3
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
have() { command -v "$1" >/dev/null; }

# gz FILE: compressed with gzip -9n (maximum compression, no name or time stamp in the header).
gz() {
  gzip -t "$1" || fail "$1 is not gzip"
  local header
  header=$(od -An -tx1 -N10 "$1" | tr -d ' \n')
  # ID 1f8b, deflate 08, flags 00 (no name), time 00000000, XFL 02 (maximum compression).
  [ "${header:0:18}" = 1f8b08000000000002 ] || fail "$1 not made with gzip -9n: $header"
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
agent="$prefix/bin/sorv-uploader"
[ -x "$agent" ] || fail "no $agent"
unit="$prefix/lib/systemd/user/sorv-uploader.service"
grep -qx "ExecStart=$prefix/bin/sorv-uploader --headless" "$unit" || fail "unit does not run $agent"
grep -q "^RestartForceExitStatus=75" "$unit" || fail "unit does not restart on the relaunch status"
grep -q "^Exec=$prefix/bin/sorv-uploader %f" "$prefix/share/applications/sorv-uploader.desktop" ||
  fail "desktop entry"
resources="$prefix/lib/sorv-uploader/Sorv-FTPUploader.app/Contents/Resources"
for f in relaunch relaunch.app/Contents/MacOS/relaunch revealInFinder.sh; do
  [ -x "$resources/$f" ] || fail "no $f"
done
[ -n "$(find "$prefix/share/doc" -name sorv-alerts.yml)" ] || fail "no alert rules with the docs"
ls "$prefix"/share/doc/*/sorv-uploader-settings.conf >/dev/null || fail "no example settings file"
[ "$(readlink "$resources/relaunch.app/Contents/MacOS/relaunch")" = ../../../relaunch ] ||
  fail "relaunch.app's helper is not a link to Resources/relaunch"
for f in share/man/man1/sorv-uploader.1.gz share/man/man1/sorvctl.1.gz \
  share/doc/sorv-uploader/changelog.Debian.gz; do
  gz "$prefix/$f"
done
for f in README.md copyright; do
  [ -f "$prefix/share/doc/sorv-uploader/$f" ] || fail "no share/doc/sorv-uploader/$f"
done
if have man; then
  for page in sorv-uploader sorvctl; do
    out=$(MANPATH="$prefix/share/man" man --warnings -E UTF-8 -Tutf8 "$page" 2>&1 >/dev/null) ||
      fail "man $page"
    [ -z "$out" ] || fail "man $page: $out"
  done
fi
# The unit as systemd reads it; the manual pages it names are found beside it.
if have systemd-analyze; then
  mkdir -m 700 "$work/runtime"
  XDG_RUNTIME_DIR="$work/runtime" HOME="$work" MANPATH="$prefix/share/man:" \
    systemd-analyze --user verify "$unit" || fail "systemd-analyze verify"
fi

# Into a home prefix the unit goes where the user's systemd looks: $XDG_DATA_HOME/systemd/user,
# else ~/.local/share/systemd/user. Each case: XDG_DATA_HOME (or -), the prefix as given, the
# unit folder expected.
home="$work/home"
while read -r xdg given expected; do
  rm -rf "$home" && mkdir -p "$home"
  as_user=(env -u XDG_DATA_HOME HOME="$home" XDG_RUNTIME_DIR="$work/runtime")
  [ "$xdg" = - ] || as_user+=(XDG_DATA_HOME="$xdg")
  "${as_user[@]}" cmake --install "$build" --prefix "$given" >/dev/null
  [ -f "$expected/sorv-uploader.service" ] || fail "prefix $given: no unit in $expected"
  [ ! -e "$home/.local/lib/systemd" ] || fail "prefix $given: a unit in lib/systemd/user too"
  grep -qx "ExecStart=${given%/}/bin/sorv-uploader --headless" "$expected/sorv-uploader.service" ||
    fail "prefix $given: ExecStart"
  if have systemd-analyze; then
    paths=$("${as_user[@]}" systemd-analyze --user unit-paths)
    grep -qx "$expected" <<<"$paths" || fail "systemd does not search $expected: $paths"
    (cd / && "${as_user[@]}" MANPATH="$home/.local/share/man:" \
      systemd-analyze --user verify sorv-uploader.service) ||
      fail "prefix $given: systemd does not load sorv-uploader.service"
  fi
done <<TABLE
- $home/.local $home/.local/share/systemd/user
- $home/.local/ $home/.local/share/systemd/user
$work/data $home/.local $work/data/systemd/user
TABLE
rm -rf "$home"

# The completion of sorvctl: the words before the cursor, the word at it, the candidates.
while IFS='|' read -r before current expected; do
  got=$(PATH="$prefix/bin:$PATH" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" bash -c '
    . "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sorvctl 2>/dev/null
    echo "${COMPREPLY[*]}"' _ "$prefix/share/bash-completion/completions/sorvctl" $before "$current")
  [ "$got" = "$expected" ] || fail "completion of [$before $current]: [$got], expected [$expected]"
done <<'TABLE'
sorvctl||upload-now pause quit get set open status health problems requeue --help
sorvctl|re|requeue
sorvctl get|userLogin|userLoginName userLoginPassword
sorvctl set prefAutoSynchronize||yes no
sorvctl set prefSecondsBetweenScans||
sorvctl status||--json
sorvctl requeue||--all
TABLE

ctl="$prefix/bin/sorvctl"
[ -x "$ctl" ] || fail "no $ctl"
"$ctl" --help | grep -q 'get KEY' || fail "sorvctl --help"
status=0
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus "$ctl" pause 2>"$work/ctl.txt" || status=$?
[ "$status" = 3 ] && grep -q 'no Sorv upload agent is running' "$work/ctl.txt" ||
  fail "sorvctl without an agent: status $status, $(cat "$work/ctl.txt")"

mkdir -p "$work/store" "$work/Mirror" "$work/logs" "$work/Other"
"$site_bin" --port 0 --store "$work/store" >"$work/site.txt" 2>&1 &
site_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/site.txt" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/site.txt" | head -n1)
[ -n "$port" ] || fail "site did not start"

cat >"$work/meta.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>
PLIST
# defaults SOURCE_FOLDER: a defaults file whose preferences name SOURCE_FOLDER.
defaults() {
  cat <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>prefLocalSourceUploadFolder</key><string>$1</string>
  <key>prefLocalMasterMirrorSiteFolder</key><string>$work/Mirror</string>
  <key>userLoginName</key><string>kiosk</string>
  <key>userLoginPassword</key><string>secret</string>
  <key>userEnteredEventName</key><string>Fair</string>
  <key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string>
</dict></plist>
PLIST
}
defaults "$work/Kiosk Source" >"$work/defaults.plist"
export SORV_DEFAULTS="$work/defaults.plist" SORV_LOG_DIR="$work/logs"

# photo NAME: one photo into the source folder. uploaded NAME: waits for it in the mirror.
photo() {
  mkdir -p "$work/Kiosk Source/Booth"
  "$photos_bin" jpeg "$work/Kiosk Source/Booth/$1" --size 64x48 --plist "$work/meta.plist"
}
uploaded() {
  for _ in $(seq 300); do [ -f "$work/Mirror/Booth/$1" ] && return; sleep 0.1; done
  cat "$work/console.txt" || true
  fail "$1 not uploaded"
}
# drain NAME [LATER] -- COMMAND...: a photo in, run the command, wait for the photo in the
# mirror; then LATER (when given) arrives and is uploaded too; then the agent is stopped.
drain() {
  local name=$1 later=""
  shift
  [ "$1" != -- ] && { later=$1; shift; }
  shift
  photo "$name"
  "$@" >>"$work/console.txt" 2>&1 &
  agent_pid=$!
  uploaded "$name"
  if [ -n "$later" ]; then
    photo "$later"
    uploaded "$later"
  fi
  kill -TERM "$agent_pid"
  wait "$agent_pid" || fail "agent exit status $?"
  agent_pid=""
}
drain IMG_1.jpg -- "$agent" --headless "$work/Kiosk Source"
# The unit's own command line, without a shell, the folder only in its environment (as its
# environment file gives it) while the preferences name another: a photo there at start and
# one that arrives later are both uploaded.
read -r -a exec_start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
defaults "$work/Other" >"$work/unit-defaults.plist"
SORV_DEFAULTS="$work/unit-defaults.plist" SORV_SOURCE_FOLDER="$work/Kiosk Source" \
  drain IMG_2.jpg IMG_3.jpg -- "${exec_start[@]}"
[ "$(ls "$work/store" | grep -c IMG_)" = 3 ] || fail "site stored $(ls "$work/store")"

# Preference files from the command line: the factory values are saved, a load merges.
"$agent" --save-prefs "$work/saved.plist" || fail "--save-prefs"
grep -q '<key>prefSecondsBetweenScans</key>' "$work/saved.plist" || fail "no factory value saved"
sed 's#<string>kiosk</string>#<string>booth2</string>#' "$work/saved.plist" >"$work/edited.plist"
"$agent" --load-prefs "$work/edited.plist" || fail "--load-prefs"
grep -q '<string>booth2</string>' "$SORV_DEFAULTS" || fail "loaded login name not stored"
echo '<plist><dict>' >"$work/junk.plist"
! "$agent" --load-prefs "$work/junk.plist" 2>/dev/null || fail "a broken file loaded"

# The Debian package: runtime dependencies only, the same layout under /usr, and lintian.
have dpkg-deb || { echo "install test passed (no dpkg-deb: package not checked)"; exit 0; }
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb | head -n1)
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *-dev*) fail "development packages in Depends: $depends" ;; esac
[ "$(dpkg-deb -f "$deb" Maintainer)" = "Quenmor Kiosk Team <kiosk-team@quenmor.com>" ] ||
  fail "Maintainer: $(dpkg-deb -f "$deb" Maintainer)"
case "$(dpkg-deb -f "$deb" Recommends)" in *dbus-user-session*) ;; *) fail "Recommends" ;; esac
# Every entry root's, with the usual modes; one regular file named relaunch.
dpkg-deb -c "$deb" >"$work/contents.txt"
awk '$2 != "root/root" || $1 !~ /^(drwxr-xr-x|-rw-r--r--|-rwxr-xr-x|lrwxrwxrwx)$/' \
  "$work/contents.txt" | grep . && fail "entries with other owners or modes"
[ "$(grep -c '^-.*/relaunch$' "$work/contents.txt")" = 1 ] || fail "the relaunch helper ships twice"
dpkg-deb -x "$deb" "$work/root"
[ "$(readlink "$work/root/usr/bin/sorv-uploader")" = \
  "../lib/sorv-uploader/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader" ] ||
  fail "package link"
app="$work/root/usr/lib/sorv-uploader/Sorv-FTPUploader.app"
for f in usr/bin/sorvctl "${app#"$work/root/"}/Contents/MacOS/Sorv-FTPUploader" \
  "${app#"$work/root/"}/Contents/Resources/relaunch"; do
  [ -x "$work/root/$f" ] || fail "package: no $f"
  ! readelf -S "$work/root/$f" | grep -q '\.symtab' || fail "package: $f is not stripped"
done
[ -x "$app/Contents/Resources/relaunch.app/Contents/MacOS/relaunch" ] || fail "package relaunch.app"
[ -n "$(find "$work/root/usr/share/doc" -name sorv-alerts.yml)" ] || fail "package alert rules"
[ -f "$work/root/usr/share/doc/sorv-uploader/sorv-uploader-settings.conf" ] || fail "package settings"
grep -qx 'ExecStart=/usr/bin/sorv-uploader --headless' \
  "$work/root/usr/lib/systemd/user/sorv-uploader.service" || fail "package unit"
for f in usr/share/doc/sorv-uploader/copyright usr/share/doc/sorv-uploader/README.md \
  usr/share/bash-completion/completions/sorvctl; do
  [ -f "$work/root/$f" ] || fail "package: no $f"
done
for f in usr/share/doc/sorv-uploader/changelog.Debian.gz usr/share/man/man1/sorv-uploader.1.gz \
  usr/share/man/man1/sorvctl.1.gz; do
  gz "$work/root/$f"
done

# lintian: no error, and no warning but those allowed here. A tree built without
# _FORTIFY_SOURCE (the sanitizer tree: the checked functions bypass AddressSanitizer's
# interceptors; an unoptimised tree) may lack fortified calls; a tree configured with
# SORV_HARDEN=OFF may lack any hardening.
if have lintian; then
  allowed=()
  grep -q -- '-D_FORTIFY_SOURCE=2' "$build/compile_commands.json" ||
    allowed+=(hardening-no-fortify-functions)
  grep -q '^SORV_HARDEN:BOOL=OFF' "$build/CMakeCache.txt" &&
    allowed+=(hardening-no-bindnow hardening-no-fortify-functions hardening-no-pie hardening-no-relro)
  lintian --no-cfg "$deb" >"$work/lintian.txt" 2>"$work/lintian-err.txt" || true
  grep -v 'running with root privileges' "$work/lintian-err.txt" | grep . &&
    fail "lintian did not run"
  while read -r level _ tag rest; do
    case "$level" in
      E:) fail "lintian error: $tag $rest" ;;
      W:) [[ " ${allowed[*]} " == *" $tag "* ]] || fail "lintian warning: $tag $rest" ;;
    esac
  done <"$work/lintian.txt"
fi
echo "install test passed"
