# Sourced by the drain scripts: with $b (a build folder) and $w (a work folder holding
# Source/), starts sorv-site with the given extra arguments (pid in $sp) and writes the
# agent's defaults to $w/d.plist; start_agent then runs the headless agent (pid in $ap).
# $w/m.plist is a metadata block for make-test-photos.
src=$w/Source
mkdir -p "$src" "$w/Mirror" "$w/store"
printf '<?xml version="1.0"?><plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>' >"$w/m.plist"
start_site() {
  "$b/site/sorv-site" --port 0 --store "$w/store" "$@" >"$w/site.log" 2>&1 &
  sp=$!
  port=""
  while [ -z "$port" ]; do
    sleep 0.1
    port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$w/site.log" | head -1)
  done
  cat >"$w/d.plist" <<P
<?xml version="1.0"?><plist version="1.0"><dict>
<key>prefLocalSourceUploadFolder</key><string>$src</string><key>prefLocalMasterMirrorSiteFolder</key><string>$w/Mirror</string>
<key>userLoginName</key><string>k</string><key>userLoginPassword</key><string>p</string><key>userEnteredEventName</key><string>Ev</string>
<key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string><key>prefVyrFuseAction</key><string>upload.upload</string>
<key>prefAutoSynchronize</key><true/><key>prefSecondsBetweenScans</key><integer>300</integer></dict></plist>
P
}
start_agent() {
  SORV_DEFAULTS=$w/d.plist SORV_LOG_DIR=$w/logs "$b/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader" \
    --headless "$src" >"$w/a.out" 2>"$w/a.log" &
  ap=$!
}
photo() { "$b/scripts/make-test-photos/make-test-photos" jpeg "$1" --size 64x48 --plist "$w/m.plist"; }
