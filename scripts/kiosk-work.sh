# Sourced by the scripts that run the built agent (demo, screenshots), with root, build and
# work_name set: the agent, the reference site and the photo tool of that build, and a fresh work
# folder holding Source, Mirror and logs.
agent="$root/$build/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader"
site_bin="$root/$build/site/sorv-site"
photos_bin=$(find "$root/$build" -type f -name make-test-photos -perm -u+x | head -n1)
work=$(mktemp -d "/tmp/sorv-$work_name.XXXXXX")
src="$work/Source"
mirror="$work/Mirror"
mkdir -p "$src" "$mirror" "$work/logs"

# start_site ARGS...: starts the reference site with ARGS on a free loopback port, its output in
# $work/site.log; sets site_pid and port, or says so and exits.
start_site() {
  "$site_bin" --port 0 "$@" >"$work/site.log" 2>&1 &
  site_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/site.log" | head -n1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "sorv-site did not start"; cat "$work/site.log"; exit 1; }
}
