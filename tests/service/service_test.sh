#!/usr/bin/env bash
# service_test.sh BUILD SITE MAKE_TEST_PHOTOS JOURNAL_STANDIN
#
# Installs BUILD into a throwaway user's home as the README's service section says and runs
# it as that user's service under a real `systemd --user`, then checks: enable --now reaches
# active (READY=1), a photo that arrives after start is uploaded and mirrored, `sorvctl
# status` answers over the user bus, STATUS= carries the counts, a kill -9 is restarted with
# nothing lost or stored twice, a stop during an upload is clean and leaves the photo whole, a
# hung upload exits 75 and the restart counts as success, the journal entries carry their
# priorities, and `systemd-analyze --user security` scores at most 6.5.
#
# How the user manager runs where PID 1 is not systemd (CI's containers): as the unprivileged
# user, in a mount namespace of its own (no PID namespace), with a tmpfs over /run/systemd
# holding an empty system/ (a user instance will not start without it; below 64 MiB
# daemon-reload refuses), a tmpfs over /run/user for XDG_RUNTIME_DIR, cgroup folders delegated
# to the user under the named systemd and the unified hierarchies, and the user's tmpfiles
# units masked: the manager is never root, and nothing cleans the shared /tmp. The stand-in
# journal (journal_standin) listens on /run/systemd/journal in that namespace. Clients enter
# the namespace with nsenter as the user. Everything started is stopped by its PID on exit,
# and the cgroup folders and the user are removed.
#
# SORV_SERVICE_TEST_KEEP=1 keeps the work folder (the site's store, the journal's entries).
set -euo pipefail

# The namespace side, run by the test through unshare (as root, in the new mount namespace):
# mounts the manager's /run, starts the stand-in journal as the user, then becomes the user's
# `systemd --user` in the delegated cgroups.
if [ "${1:-}" = --in-namespace ]; then
  user=$2 cgroup=$3 standin=$4 journal_out=$5
  uid=$(id -u "$user") gid=$(id -g "$user") home=$(getent passwd "$user" | cut -d: -f6)
  mkdir -p /run/systemd /run/user # mount points only: the tmpfs mounts stay in this namespace
  mount -t tmpfs -o size=64M,mode=0755 sorv-test-run-systemd /run/systemd
  mkdir /run/systemd/system
  install -d -m 0755 -o "$uid" -g "$gid" /run/systemd/journal
  mount -t tmpfs -o size=16M,mode=0755 sorv-test-run-user /run/user
  install -d -m 0700 -o "$uid" -g "$gid" "/run/user/$uid"
  for h in systemd unified; do echo $$ >"/sys/fs/cgroup/$h/$cgroup/cgroup.procs"; done
  cd "$home"
  as_user=(setpriv --reuid="$uid" --regid="$gid" --init-groups)
  "${as_user[@]}" "$standin" --dir /run/systemd/journal --out "$journal_out" \
    --ready "$journal_out.ready" &
  echo $! >"$journal_out.pid"
  for _ in $(seq 100); do [ -e "$journal_out.ready" ] && break; sleep 0.05; done
  [ -e "$journal_out.ready" ] || { echo "the stand-in journal did not start" >&2; exit 1; }
  exec "${as_user[@]}" env -i HOME="$home" USER="$user" LOGNAME="$user" SHELL=/bin/sh \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="/run/user/$uid" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus" /lib/systemd/systemd --user --log-target=journal
fi

build=$1 site_bin=$2 photos_bin=$3 standin_bin=$4
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: makes a throwaway user and runs its user manager: needs root"
  exit 77
fi
for tool in unshare nsenter setpriv useradd userdel jq /lib/systemd/systemd; do
  command -v "$tool" >/dev/null || { echo "FAIL: no $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -e /usr/lib/systemd/user/dbus.socket ] || { echo "FAIL: no dbus-user-session" >&2; exit 1; }

started=$SECONDS
step() { printf '[%3ds] %s\n' $((SECONDS - started)) "$*"; }
fail() {
  echo "FAIL: $*" >&2
  if [ -s "${journal:-}" ]; then
    echo "the stand-in journal's last entries:" >&2
    tail -n 30 "$journal" |
      jq -r '"    \(.SYSLOG_IDENTIFIER) <\(.PRIORITY)> \(.MESSAGE | strings | gsub("\r"; "\\r"))"' >&2
  fi
  exit 1
}

# A test user and cgroup folders per run, so that runs beside each other do not meet; a run
# killed before its clean-up is cleaned up by the next one (the user's comment holds its PID).
user_prefix=sorvsvc
cgroot=(/sys/fs/cgroup/systemd /sys/fs/cgroup/unified)
remove_test_user() { # NAME: ends its processes by PID, then removes its cgroups and the user
  local name=$1 root pid
  for root in "${cgroot[@]}"; do
    [ -d "$root/$name" ] || continue
    for _ in 1 2 3; do
      for pid in $(find "$root/$name" -name cgroup.procs -exec cat {} + 2>/dev/null); do
        kill -KILL "$pid" 2>/dev/null || true
      done
      find "$root/$name" -depth -type d -exec rmdir {} + 2>/dev/null && break
      sleep 0.2
    done
  done
  if getent passwd "$name" >/dev/null; then
    userdel --remove "$name" >/dev/null 2>&1 || userdel "$name" >/dev/null 2>&1 || true
  fi
}
while IFS=: read -r name _ _ _ comment _; do
  case "$name" in "$user_prefix"*) ;; *) continue ;; esac
  owner=${comment##*pid }
  [[ "$owner" =~ ^[0-9]+$ ]] && ! kill -0 "$owner" 2>/dev/null && remove_test_user "$name"
done < <(getent passwd)

user=$user_prefix$$
work=$(mktemp -d /tmp/sorv-service.XXXXXX)
chmod 0755 "$work"
mgr_pid="" site_pid=""
cleanup() {
  local rc=$?
  set +e
  if [ -n "$mgr_pid" ] && kill -0 "$mgr_pid" 2>/dev/null; then
    # The manager stops its services and exits on SIGTERM.
    kill -TERM "$mgr_pid"
    for _ in $(seq 150); do kill -0 "$mgr_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$mgr_pid" 2>/dev/null
  fi
  [ -s "$work/journal/entries.jsonl.pid" ] && kill -TERM "$(cat "$work/journal/entries.jsonl.pid")" 2>/dev/null
  [ -n "$site_pid" ] && kill -TERM "$site_pid" 2>/dev/null
  wait 2>/dev/null
  remove_test_user "$user"
  [ -z "${SORV_SERVICE_TEST_KEEP:-}" ] || { echo "kept $work"; exit "$rc"; }
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

created=0
for _ in $(seq 20); do # useradd fails while another run holds the lock on /etc/passwd
  useradd --create-home --shell /bin/sh --user-group --comment "sorv service test, pid $$" \
    "$user" 2>"$work/useradd.txt" && { created=1; break; }
  sleep 0.3
done
[ "$created" = 1 ] || fail "useradd: $(cat "$work/useradd.txt")"
uid=$(id -u "$user") gid=$(id -g "$user")
home=$(getent passwd "$user" | cut -d: -f6)
runtime=/run/user/$uid
for root in "${cgroot[@]}"; do
  mkdir "$root/$user"
  chown -R "$uid:$gid" "$root/$user"
done
step "user $user ($uid), home $home"

# as_user COMMAND...: COMMAND as the user inside the manager's namespace, with its session.
as_user() {
  nsenter --target "$mgr_pid" --mount --wd="$home" -- \
    setpriv --reuid="$uid" --regid="$gid" --init-groups \
    env -i HOME="$home" USER="$user" LOGNAME="$user" LANG=C.UTF-8 \
    PATH="$home/.local/bin:/usr/local/bin:/usr/bin:/bin" XDG_RUNTIME_DIR="$runtime" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus" "$@"
}
systemctl_user() { as_user systemctl --user --no-pager "$@"; }
show() { systemctl_user show -p "$1" --value sorv-uploader; }

# The reference site: photos named HELD hang twice (a stop during the first, the upload
# watchdog on the second), every other photo is stored. It is stopped before the last photo.
mkdir "$work/store"
"$site_bin" --port 0 --store "$work/store" --fault hang --fault-only HELD --fault-times 2 \
  --hang-seconds 40 >"$work/site.txt" 2>&1 &
site_pid=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/site.txt" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/site.txt" | head -n1)
[ -n "$port" ] || fail "site did not start: $(cat "$work/site.txt")"

# The user's session: the user manager, with the stand-in journal beside it. No tmpfiles
# clean-up under this manager: it would walk the machine's shared /tmp.
mkdir -p "$home/.config/systemd/user"
for unit in systemd-tmpfiles-setup.service systemd-tmpfiles-clean.service systemd-tmpfiles-clean.timer; do
  ln -sf /dev/null "$home/.config/systemd/user/$unit"
done
chown -R "$uid:$gid" "$home/.config"
cp "$standin_bin" "$work/journal_standin"
mkdir "$work/journal"
chown "$uid:$gid" "$work/journal"
journal=$work/journal/entries.jsonl
unshare --mount --propagation private -- bash "$0" --in-namespace "$user" "$user" \
  "$work/journal_standin" "$journal" >"$work/manager.txt" 2>&1 &
mgr_pid=$!
for _ in $(seq 100); do
  as_user test -S "$runtime/systemd/private" 2>/dev/null && break
  kill -0 "$mgr_pid" 2>/dev/null || fail "the user manager ended: $(cat "$work/manager.txt")"
  sleep 0.1
done
as_user test -S "$runtime/systemd/private" || fail "the user manager did not start"
step "user manager $mgr_pid running: $(systemctl_user is-system-running || true)"

# The README's service section, step by step as the user would follow it (keep in step with
# README.md). Installing is done as root with the user's HOME (the build tree need not be
# readable by the user), then handed to the user.
prefix=$home/.local
source_folder=$home/Kiosk/Source mirror=$home/Kiosk/Mirror logdir=$home/.local/state/sorv
HOME=$home XDG_DATA_HOME="" cmake --install "$build" --prefix "$prefix" >"$work/install.txt"
unit_dir=$home/.local/share/systemd/user
[ -e "$unit_dir/sorv-uploader.service" ] || fail "the install put no unit in $unit_dir"
chown -R "$uid:$gid" "$home"
step "installed into $prefix; the unit in $unit_dir"
mkdir -p "$source_folder/Fair" "$mirror" "$logdir" "$home/staging"
settings=$home/.config/sorv-uploader-settings.conf
example=$(find "$prefix/share/doc" -name sorv-uploader-settings.conf 2>/dev/null | head -n1)
set_setting() { # NAME VALUE: the line "NAME = VALUE" in the settings file, as an editor would
  if grep -qE "^#? ?$1 =" "$settings"; then
    sed -i -E "s|^#? ?$1 =.*|$1 = $2|" "$settings"
  else
    echo "$1 = $2" >>"$settings"
  fi
}
[ -n "$example" ] || fail "no example settings file installed"
cp "$example" "$settings"
set_setting userLoginName kiosk
set_setting userLoginPassword secret
set_setting userEnteredEventName Fair
set_setting prefVyrURL "http://127.0.0.1:$port/upload"
set_setting prefLocalSourceUploadFolder "$source_folder"
set_setting prefLocalMasterMirrorSiteFolder "$mirror"
set_setting prefAutoSynchronize yes
set_setting prefSecondsBetweenScans 2
set_setting prefUploadTimeOut 4
cat >"$home/.config/sorv-uploader.env" <<ENV
SORV_SOURCE_FOLDER=$source_folder
SORV_LOG_DIR=$logdir
ENV
# The test's changes to the unit: a watchdog of 2 s, so that a main loop that does not feed it
# is killed (and the manager's journal says so) within the test, and 30 s for READY=1.
mkdir -p "$home/.config/systemd/user/sorv-uploader.service.d"
printf '[Service]\nWatchdogSec=2\nTimeoutStartSec=30\n' \
  >"$home/.config/systemd/user/sorv-uploader.service.d/test.conf"
chown -R "$uid:$gid" "$home"
if [ -n "$example" ]; then
  as_user sorv-uploader --import-settings "$settings" >"$work/import.txt" 2>&1 ||
    fail "--import-settings: $(cat "$work/import.txt")"
  as_user sh -c '(set -a; . ~/.config/sorv-uploader.env; sorv-uploader --check)' >"$work/check.txt" 2>&1 ||
    fail "--check: $(cat "$work/check.txt")"
  step "settings imported from the example; --check:"
  sed 's/^/    /' "$work/check.txt"
fi

# Photos: made beside the source folder, then moved in whole, as a camera's copy would land.
cat >"$work/meta.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>
PLIST
new_photo() { # NAME: a photo arrives at Fair/NAME
  "$photos_bin" jpeg "$home/staging/$1" --size 64x48 --plist "$work/meta.plist" >/dev/null
  cp "$home/staging/$1" "$work/$1.orig"
  chown "$uid:$gid" "$home/staging/$1"
  mv "$home/staging/$1" "$source_folder/Fair/$1"
}
stored_count() { find "$work/store" -maxdepth 1 -name "*-$1" | wc -l; }
wait_for() { # SECONDS WHAT COMMAND...: until COMMAND succeeds
  local seconds=$1 what=$2
  shift 2
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  "$@" || fail "$what not within $seconds s"
}
mirrored() { cmp -s "$work/$1.orig" "$mirror/Fair/$1"; }
uploaded() { mirrored "$1" && [ "$(stored_count "$1")" = 1 ] && [ ! -e "$source_folder/Fair/$1" ]; }
outcomes() { grep -sF "$1" "$work/store/.requests.log" | cut -f4 | tr '\n' ' ' | sed 's/ $//'; }
outcomes_are() { [ "$(outcomes "$1")" = "$2" ]; }
status_shows() { # REGEX: the unit's status text matches within 3 s
  for _ in $(seq 30); do
    [[ "$(show StatusText)" =~ $1 ]] && return 0
    sleep 0.1
  done
  return 1
}
last_failure_names() { # NAME: sorvctl status's last failure is NAME's
  as_user sorvctl status >"$work/status.txt" 2>&1 && grep -q "^Last failure:.*$1" "$work/status.txt"
}
restarted_after() { # PID: a new main process runs
  local now
  now=$(show MainPID)
  [ "$now" != 0 ] && [ "$now" != "$1" ] && [ "$(show ActiveState)" = active ]
}
check() { # WHAT COMMAND...: fails unless COMMAND succeeds
  local what=$1
  shift
  "$@" || fail "$what"
}

# Start.
check "daemon-reload" systemctl_user daemon-reload
journal_start=$(wc -l <"$journal")
t0=$SECONDS
systemctl_user enable --now sorv-uploader >"$work/enable.txt" 2>&1 ||
  fail "enable --now: $(cat "$work/enable.txt"; systemctl_user status sorv-uploader)"
[ "$(show ActiveState)" = active ] || fail "not active: $(systemctl_user status sorv-uploader)"
step "enable --now: active in $((SECONDS - t0)) s, main PID $(show MainPID)"
check "Type=notify: active came with READY=1" [ "$(show Type)" = notify ]

# A photo that arrives after start.
sleep 1
new_photo IMG_1.jpg
wait_for 30 "IMG_1.jpg uploaded and mirrored" uploaded IMG_1.jpg
step "IMG_1.jpg, arrived after start: uploaded and mirrored"
sleep 0.5
journal_photo=$(wc -l <"$journal")

as_user sorvctl status >"$work/status.txt" 2>&1 || fail "sorvctl status: $(cat "$work/status.txt")"
grep -q '^Uploaded since start: 1$' "$work/status.txt" || fail "sorvctl status: $(cat "$work/status.txt")"
step "sorvctl status over the user bus: $(grep -E '^(State|Uploaded today):' "$work/status.txt" | tr '\n' ' ')"
check "STATUS= with the counts ('$(show StatusText)')" \
  status_shows '^.+, [0-9]+ waiting, [1-9][0-9]* today$'
step "StatusText: '$(show StatusText)'"

# kill -9: restarted, and the photos made while it was down arrive once each.
pid=$(show MainPID)
kill -KILL "$pid"
for n in 2 3 4; do new_photo "IMG_$n.jpg"; done
wait_for 20 "a restart after kill -9" restarted_after "$pid"
for n in 2 3 4; do wait_for 30 "IMG_$n.jpg uploaded once" uploaded "IMG_$n.jpg"; done
step "kill -9 of $pid: restarted as $(show MainPID) ($(show NRestarts) restarts), IMG_2..4 uploaded once each"

# A stop while a photo's upload hangs: clean, and the photo whole in the source.
new_photo HELD_1.jpg
wait_for 20 "HELD_1.jpg held by the site" outcomes_are HELD_1.jpg held
check "STATUS= names the photo being uploaded ('$(show StatusText)')" \
  status_shows 'HELD_1\.jpg.*, [0-9]+ waiting, [0-9]+ today$'
step "StatusText during the upload: '$(show StatusText)'"
t0=$SECONDS
systemctl_user stop sorv-uploader
step "stop during an upload: $((SECONDS - t0)) s, $(show ActiveState), Result=$(show Result)"
check "stopped cleanly" [ "$(show ActiveState)" = inactive ]
check "stop is no failure" [ "$(show Result)" = success ]
cmp -s "$work/HELD_1.jpg.orig" "$source_folder/Fair/HELD_1.jpg" || mirrored HELD_1.jpg ||
  fail "HELD_1.jpg is neither whole in the source nor in the mirror"

# The upload hangs again: the agent exits 75, which counts as success, and the manager starts
# it again; the photo is uploaded once the site answers.
check "start" systemctl_user start sorv-uploader
seen=""
for _ in $(seq 300); do
  state=$(systemctl_user show -p SubState -p Result -p ExecMainStatus -p NRestarts sorv-uploader | tr '\n' ' ')
  case "$state" in *SubState=auto-restart*) seen=$state && break ;; esac
  sleep 0.1
done
step "after the hung upload: $seen"
[ -n "$seen" ] || fail "no restart after the hung upload: $(systemctl_user status sorv-uploader)"
check "exit status 75 ($seen)" grep -q 'ExecMainStatus=75 ' <<<"$seen"
check "exit 75 counts as success ($seen)" grep -q 'Result=success ' <<<"$seen"
wait_for 30 "HELD_1.jpg uploaded after the restart" uploaded HELD_1.jpg
check "HELD_1.jpg: held twice, then stored once ($(outcomes HELD_1.jpg))" \
  outcomes_are HELD_1.jpg "held held stored"
# A start by hand sets NRestarts back to 0: the restart after exit 75 made it 1.
[ "$(show NRestarts)" -ge 1 ] || fail "NRestarts $(show NRestarts)"
step "HELD_1.jpg uploaded after the restart; NRestarts=$(show NRestarts), Result=$(show Result)"

# The sandbox's score, from this manager.
as_user systemd-analyze --user security --no-pager sorv-uploader >"$work/security.txt" 2>&1 ||
  true
score=$(sed -n 's/.*Overall exposure level for sorv-uploader.service: \([0-9.]*\).*/\1/p' "$work/security.txt")
step "systemd-analyze --user security: ${score:-?}"
sed 's/^/    /' "$work/security.txt"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 6.5) }' || fail "security score '$score' above 6.5"

# The site goes away: the upload fails with a red status line, and the photo stays whole.
kill -TERM "$site_pid"
wait "$site_pid" || true
site_pid=""
new_photo IMG_5.jpg
wait_for 30 "a failed upload of IMG_5.jpg in sorvctl status" last_failure_names IMG_5.jpg
check "IMG_5.jpg whole in the source after the failed upload" \
  cmp -s "$work/IMG_5.jpg.orig" "$source_folder/Fair/IMG_5.jpg"
step "the site gone: $(grep '^Last failure:' "$work/status.txt")"

check "stop" systemctl_user stop sorv-uploader
check "stopped cleanly at the end" [ "$(show Result)" = success ]
stored=$(find "$work/store" -mindepth 1 -maxdepth 1 -name '[0-9]*' -printf '%f\n' | sort | tr '\n' ' ')
check "each photo stored once: $stored" [ "$(wc -w <<<"$stored")" = 5 ]
for name in IMG_1.jpg IMG_2.jpg IMG_3.jpg IMG_4.jpg HELD_1.jpg; do
  check "$name stored once ($stored)" [ "$(stored_count "$name")" = 1 ]
done
step "the site stored: $stored; the log folder holds: $(ls "$logdir" | tr '\n' ' ')"
sleep 0.3 # the stand-in's last reads

# The journal, as the stand-in received it: the agent's entries, and the manager's own.
agent_entries() { jq -c 'select(.SYSLOG_IDENTIFIER == "sorv-uploader")' "$journal"; }
# any_entry JQ_CONDITION: some entry of the agent's meets it.
any_entry() { agent_entries | jq -e -s "map(select($1)) | length > 0" >/dev/null; }
no_entry() { ! any_entry "$1"; }
# The agent's own time stamp ("2026-05-01 10:20:30.123") or "Name[pid:thread] " in a message.
no_own_stamp() {
  ! agent_entries | jq -r '.MESSAGE | strings' |
    grep -qE '^20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}|\[[0-9]+:[^] ]+\] '
}
manager_says() { jq -r 'select(.SYSLOG_IDENTIFIER == "systemd") | .MESSAGE' "$journal" | grep -c "$1" || true; }
step "the stand-in journal received, for one start and one photo:"
sed -n "$((journal_start + 1)),${journal_photo}p" "$journal" |
  jq -c 'del(.__REALTIME_TIMESTAMP, ._UID, ._GID)' | sed 's/^/    /'
count=$(agent_entries | wc -l)
step "$count entries from sorv-uploader; by priority: $(agent_entries | jq -r .PRIORITY | sort | uniq -c | tr -s ' \n' ' ')"
[ "$count" -gt 0 ] || fail "no journal entry with SYSLOG_IDENTIFIER=sorv-uploader"
check "the manager saw one failure, the kill -9 ($(manager_says 'sorv-uploader.service: Failed'))" \
  [ "$(manager_says 'sorv-uploader.service: Failed with result')" = 1 ]
check "no watchdog timeout" [ "$(manager_says 'sorv-uploader.service: Watchdog timeout')" = 0 ]
check "an entry at priority 3 (error)" any_entry '.PRIORITY == "3"'
check "routine entries at priority 6" any_entry '.PRIORITY == "6"'
check "the hung upload's exit for a restart at priority 4 (warning)" \
  any_entry '.PRIORITY == "4" and (.MESSAGE | strings | test("exiting with status 75"))'
check "no time stamp or [pid:thread] of our own in the text" no_own_stamp
check "a multi-line message is one entry" any_entry '(.MESSAGE | strings | test("\\n."))'
check "no fragment of a multi-line dump as an entry of its own" \
  no_entry '.MESSAGE == "{" or .MESSAGE == "}"'
check "SORV_ITEM on the entries of an upload" any_entry '(.SORV_ITEM // "" | test("IMG_1.jpg"))'
echo "service test passed in $((SECONDS - started)) s"
