#!/usr/bin/env bash
# Once the headless agent watches an empty source folder, moves N photos in one by one (each
# into a new folder) and prints how long each took to reach the mirror (the timer is 300 s).
#   bench/drain/drop_latency.sh BUILD [N=10]
set -u
b=$1; n=${2:-10}
w=$(mktemp -d /tmp/drop.XXXX); src=$w/Source; mkdir -p $src/Event $w/Mirror $w/store $w/stage
printf '<?xml version="1.0"?><plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>' > $w/m.plist
$b/site/sorv-site --port 0 --store $w/store > $w/site.log 2>&1 & sp=$!
sleep 0.5; port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' $w/site.log|head -1)
cat > $w/d.plist <<P
<?xml version="1.0"?><plist version="1.0"><dict>
<key>prefLocalSourceUploadFolder</key><string>$src</string><key>prefLocalMasterMirrorSiteFolder</key><string>$w/Mirror</string>
<key>userLoginName</key><string>k</string><key>userLoginPassword</key><string>p</string><key>userEnteredEventName</key><string>Ev</string>
<key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string><key>prefVyrFuseAction</key><string>upload.upload</string>
<key>prefAutoSynchronize</key><true/><key>prefSecondsBetweenScans</key><integer>300</integer></dict></plist>
P
SORV_DEFAULTS=$w/d.plist SORV_LOG_DIR=$w/logs $b/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader --headless $src > $w/a.out 2>$w/a.log & ap=$!
while ! grep -q "doInstallTheWatcher is running" $w/a.log; do sleep 0.1; done
for i in $(seq $n); do
  $b/scripts/make-test-photos/make-test-photos jpeg $w/stage/IMG_$i.jpg --size 64x48 --plist $w/m.plist
  mkdir -p $src/Event$i
  t0=$(date +%s.%N); mv $w/stage/IMG_$i.jpg $src/Event$i/
  while [ ! -e $w/Mirror/Event$i/IMG_$i.jpg ]; do sleep 0.01; done
  t1=$(date +%s.%N); echo "$t1 - $t0" | bc; sleep 0.5
done | sort -n | awk '{a[NR]=$1} END {print "uploads after the drop: min " a[1] " median " a[int((NR+1)/2)] " max " a[NR] " s over " NR}'
kill $ap $sp; wait 2>/dev/null; rm -rf $w
