#!/usr/bin/env bash
# End-to-end demo: builds the agent, the reference site and the test-photo tool, makes a
# source folder of sample photos in subfolders, starts the site on loopback, points a fresh
# defaults file at it, runs the agent headless until the folder is drained (or a time
# limit), drives it over the session bus with sorvctl and busctl (pause, upload now, get and set
# the scan interval, quit), then shows what was uploaded, what the site stored, and the mirror and problem
# folders. Environment: SORV_DEMO_BUILD_DIR (default build-demo), SORV_DEMO_SECONDS (60).
#
# scripts/demo.sh ORDERS_FILE also answers hi-res orders: the site lists the orders of
# ORDERS_FILE (see site/README.md; scripts/demo-orders.plist is an example), the demo puts a
# sample original for each one under an alternate folder (its recorded path's last folder
# and file name), and the agent checks for orders at start-up, finds the originals there and
# uploads them, after which they leave the site's order list.
#
# scripts/demo.sh --https [ORDERS_FILE] runs the same over HTTPS: the demo makes a throwaway
# certificate authority and a certificate for 127.0.0.1 with openssl, the site serves HTTPS
# with it, and the agent trusts the authority through SORV_CA_FILE.
set -euo pipefail
orders_file=""
https=0
for arg in "$@"; do
  if [ "$arg" = "--https" ]; then
    https=1
  else
    orders_file=$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg")
    [ -f "$orders_file" ] || { echo "no orders file $arg"; exit 2; }
  fi
done
cd "$(dirname "$0")/.."
root=$(pwd)
build=${SORV_DEMO_BUILD_DIR:-build-demo}
limit=${SORV_DEMO_SECONDS:-60}

scripts/install-deps.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORV_BUILD_TESTS=OFF \
    -DSORV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target Sorv-FTPUploader sorv-site make-test-photos sorvctl -j "$(nproc)"
ctl="$root/$build/bin/sorvctl"
work_name=demo
. scripts/kiosk-work.sh
store="$work/site-store"
mkdir -p "$store"
site_pid=""
agent_pid=""
bus_pid=""
cleanup() {
  [ -n "$bus_pid" ] && kill -TERM "$bus_pid" 2>/dev/null || true
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  [ -n "$site_pid" ] && kill -TERM "$site_pid" 2>/dev/null && wait "$site_pid" 2>/dev/null || true
}
trap cleanup EXIT

# Sample photos: each carries the suite's metadata block (a property list).
meta() {  # station, e-mail
  cat <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>QM_kioskStation</key><string>$1</string>
  <key>OriginalPath</key><string>/Volumes/Capture/$1/original.jpg</string>
  <key>QM_emailsForUpload</key><array><string>$2</string></array>
</dict></plist>
PLIST
}
n=0
for folder in "Spring Fair/Booth 1" "Spring Fair/Booth 2" "Gala Night"; do
  mkdir -p "$src/$folder"
  for i in 1 2; do
    n=$((n + 1))
    meta "K$n" "guest$n@example.org" >"$work/meta$n.plist"
    "$photos_bin" jpeg "$src/$folder/IMG_$n.jpg" --size 320x240 \
      --date "2026:05:0$i 1$i:20:30" --plist "$work/meta$n.plist"
  done
done
n=$((n + 1))
meta "K$n" "png@example.org" >"$work/meta$n.plist"
"$photos_bin" png "$src/Gala Night/Portrait_$n.png" --size 200x300 --plist "$work/meta$n.plist"
printf 'a movie of the sitting' >"$src/Spring Fair/Booth 1/IMG_1.mov"
# Without metadata: not an upload item for this login, so it stays in the source folder.
"$photos_bin" jpeg "$src/Gala Night/no-metadata.jpg" --size 64x48

# Cleaning: an empty folder left in the mirror by an earlier run goes at start-up; the source
# folder's emptied event folders go at quit (its own first-level folders stay).
mkdir -p "$mirror/Old Event" "$src/Gala Night/Empty Booth"

echo "== Source folder before"
(cd "$src" && find . -type f | sort)

site_args=()
originals="$work/Originals"
order_count=0
if [ -n "$orders_file" ]; then
  site_args=(--orders "$orders_file")
  # One sample original per order, at <last folder>/<file name> of its recorded path.
  while IFS= read -r recorded; do
    [ -n "$recorded" ] || continue
    decoded=$(printf '%b' "${recorded//%/\\x}")
    rel="$(basename "$(dirname "$decoded")")/$(basename "$decoded")"
    mkdir -p "$originals/$(dirname "$rel")"
    "$photos_bin" jpeg "$originals/$rel" --size 640x480
    order_count=$((order_count + 1))
  done < <(tr -d '\n' <"$orders_file" |
    grep -o '<key>localfilelocation</key>[[:space:]]*<string>[^<]*</string>' |
    sed 's/.*<string>\(.*\)<\/string>/\1/')
  echo "== Originals for $order_count orders"
  (cd "$originals" && find . -type f | sort)
fi

scheme=http
if [ $https = 1 ]; then
  # A throwaway authority and a site certificate for 127.0.0.1 and localhost.
  tls="$work/tls"
  mkdir -p "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=Sorv demo authority" -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$tls/site-key.pem" -out "$tls/site.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$tls/ext"
  openssl x509 -req -in "$tls/site.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
    -CAcreateserial -days 2 -extfile "$tls/ext" -out "$tls/site.pem" 2>/dev/null
  site_args+=(--tls-cert "$tls/site.pem" --tls-key "$tls/site-key.pem")
  export SORV_CA_FILE="$tls/ca.pem"
  scheme=https
fi
start_site --store "$store" "${site_args[@]}"
echo "== sorv-site listening on $scheme://127.0.0.1:$port"

export SORV_DEFAULTS="$work/defaults.plist"
export SORV_LOG_DIR="$work/logs"
cat >"$SORV_DEFAULTS" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>prefLocalSourceUploadFolder</key><string>$src</string>
  <key>prefLocalMasterMirrorSiteFolder</key><string>$mirror</string>
  <key>userLoginName</key><string>demo-kiosk</string>
  <key>userLoginPassword</key><string>demo-password</string>
  <key>userEnteredEventName</key><string>Spring Fair 2026</string>
  <key>prefVyrURL</key><string>$scheme://127.0.0.1:$port/upload</string>
  <key>prefVyrFuseAction</key><string>upload.upload</string>
  <key>prefAutoSynchronize</key><true/>
  <key>prefSecondsBetweenScans</key><integer>300</integer>
  <key>prefDoRedirectNSLog</key><true/>
  <key>prefDoUseDeleteOldPhotos</key><true/>
  <key>prefDeleteEmptyFtpFolders</key><true/>
</dict></plist>
PLIST
if [ -n "$orders_file" ]; then
  # The order check: at start-up, then every minute; originals under the alternate folder.
  sed -i 's|</dict></plist>||' "$SORV_DEFAULTS"
  cat >>"$SORV_DEFAULTS" <<PLIST
  <key>prefDoCheckOrders</key><true/>
  <key>prefMinutesForCheckOrders</key><integer>1</integer>
  <key>prefCheckHiResOrderFuseAction</key><string>orders.v4check</string>
  <key>prefUploadHiResOrderFuseAction</key><string>orders.hiresupload</string>
  <key>prefSearchPathMethodTag</key><integer>3</integer>
  <key>prefVyrHiResAlternatePath1</key><string>$originals</string>
</dict></plist>
PLIST
fi
hires_stored() {
  local n
  n=$(grep -c $'^orders.hiresupload\t.*\tstored$' "$store/.requests.log" 2>/dev/null) || true
  echo "${n:-0}"
}

# With prefDoRedirectNSLog on, the console goes to the day's log file in $SORV_LOG_DIR.
console() { cat "$work/agent.log" "$work"/logs/*.log 2>/dev/null; }
# Remote control needs a session bus; without one, the demo starts a bus of its own.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v dbus-daemon >/dev/null; then
  { read -r DBUS_SESSION_BUS_ADDRESS; read -r bus_pid; } < <(dbus-daemon --session --fork \
    --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS
fi

"$agent" --headless "$src" >"$work/agent.out" 2>"$work/agent.log" &
agent_pid=$!
start=$(date +%s)
for line in "Status: Waiting For New Images..." "doSetupDeleteOldPhotosThread - Done..."; do
  while ! console | grep -qF "$line"; do
    if [ $(($(date +%s) - start)) -ge "$limit" ]; then
      echo "== time limit of ${limit}s reached"
      break
    fi
    if ! kill -0 "$agent_pid" 2>/dev/null; then
      echo "== the agent ended early"
      break
    fi
    sleep 0.2
  done
done
# With an orders file: until the site has stored a hi-res upload for each order.
while [ "$(hires_stored)" -lt "$order_count" ]; do
  if [ $(($(date +%s) - start)) -ge "$limit" ]; then
    echo "== time limit of ${limit}s reached"
    break
  fi
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.2
done
echo "== Remote control"
for cmd in "pause" "upload-now" "get prefSecondsBetweenScans" "set prefSecondsBetweenScans 90" \
  "get prefSecondsBetweenScans"; do
  echo "\$ sorvctl $cmd"
  # shellcheck disable=SC2086
  "$ctl" $cmd | sed 's/^/    /' || true
done
if command -v busctl >/dev/null; then
  remote=(com.quenmor.SorvUploader /com/quenmor/SorvUploader com.quenmor.SorvUploader.Remote)
  for args in "sorv paus 0" "sorv upnw 0" "sorv 1234 3 s setValue s prefSecondsBetweenScans s 120" \
    "sorv 1234 3 s getValue s prefSecondsBetweenScans s x"; do
    echo "\$ busctl --user call ${remote[*]} HandleEvent ssav $args"
    # shellcheck disable=SC2086
    busctl --user call "${remote[@]}" HandleEvent ssav $args | sed 's/^/    /' || true
  done
fi
echo "\$ sorvctl quit"
"$ctl" quit || kill -TERM "$agent_pid" 2>/dev/null || true
status=0
wait "$agent_pid" || status=$?
agent_pid=""
echo "== agent stopped (exit $status) after $(($(date +%s) - start))s"

echo "== Uploaded, in order (the agent's console)"
console | grep -E "\] Item: " | sed 's/^.*\] Item: /  /' || true
echo "== Last status lines"
console | grep -E "\] Status" | sed 's/^.*\] /  /' | tail -n 2 || true
echo "== What the site stored"
for d in "$store"/*/; do
  [ -d "$d" ] || continue
  printf '%s: ' "$(basename "$d")"
  (cd "$d" && ls | grep -v '^fields.plist$' | tr '\n' ' ')
  echo
done
echo "== Mirror folder"
(cd "$mirror" && find . -type f | sort)
echo "== Problem folder"
if [ -d "$work/Problem Folder" ]; then (cd "$work/Problem Folder" && find . -type f | sort); else echo "(none)"; fi
echo "== Left in the source folder"
(cd "$src" && find . -type f | sort)
echo "== Day's log file and its header"
for f in "$work"/logs/*.log; do
  [ -f "$f" ] || continue
  echo "  $(basename "$f")"
  grep -A4 -m1 "=================" "$f" | sed 's/^.*\] /    /'
done
echo "== Folders left in the mirror and source folders (empty ones deleted)"
(cd "$mirror" && find . -mindepth 1 -type d | sort | sed 's/^/  mirror: /')
(cd "$src" && find . -mindepth 1 -type d | sort | sed 's/^/  source: /')
echo "== Message log ($work/logs/Sorv-FTPUploaderLog.txt)"
cat "$work/logs/Sorv-FTPUploaderLog.txt" 2>/dev/null | tail -n 20 || true
if [ -n "$orders_file" ]; then
  echo "== Hi-res orders (the agent's console)"
  console | grep -E "Uploading Hi Res Item|Unable to find item|Refusing hi-res" |
    sed 's/^.*\] //' || true
  echo "== Hi-res uploads the site stored: $(hires_stored) of $order_count"
  echo "== The site's order list now"
  curl -s ${SORV_CA_FILE:+--cacert "$SORV_CA_FILE"} -F fuseaction=orders.v4check \
    "$scheme://127.0.0.1:$port/upload" || true
fi
echo "== Work folder: $work"
