#!/usr/bin/env bash
# The headless agent drains N photos in 10 folders into sorv-site while one more photo,
# BAD.jpg, is always refused with the given fault mode; prints the drain time of the good
# photos and the POSTs BAD.jpg got in WINDOW seconds. Needs a Release build (BUILD folder).
#   bench/drain/one_refused.sh BUILD WITH_BAD(0|1) N [FAULT=fail] [WINDOW=60]
set -u
b=$1; bad=$2; n=$3; fault=${4:-fail}; win=${5:-60}
w=$(mktemp -d /tmp/refused.XXXX); src=$w/Source; mkdir -p $src $w/Mirror $w/store
printf '<?xml version="1.0"?><plist version="1.0"><dict><key>QM_kioskStation</key><string>K1</string></dict></plist>' > $w/m.plist
for i in $(seq $n); do f=$((i%10)); mkdir -p $src/E$f; $b/scripts/make-test-photos/make-test-photos jpeg $src/E$f/IMG_$i.jpg --size 64x48 --plist $w/m.plist; done
[ $bad = 1 ] && $b/scripts/make-test-photos/make-test-photos jpeg $src/E0/BAD.jpg --size 64x48 --plist $w/m.plist
$b/site/sorv-site --port 0 --store $w/store --fault $fault --fault-only BAD > $w/site.log 2>&1 & sp=$!
sleep 0.5; port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' $w/site.log|head -1)
cat > $w/d.plist <<P
<?xml version="1.0"?><plist version="1.0"><dict>
<key>prefLocalSourceUploadFolder</key><string>$src</string><key>prefLocalMasterMirrorSiteFolder</key><string>$w/Mirror</string>
<key>userLoginName</key><string>k</string><key>userLoginPassword</key><string>p</string><key>userEnteredEventName</key><string>Ev</string>
<key>prefVyrURL</key><string>http://127.0.0.1:$port/upload</string><key>prefVyrFuseAction</key><string>upload.upload</string>
<key>prefAutoSynchronize</key><true/><key>prefSecondsBetweenScans</key><integer>300</integer></dict></plist>
P
SORV_DEFAULTS=$w/d.plist SORV_LOG_DIR=$w/logs $b/Sorv-FTPUploader.app/Contents/MacOS/Sorv-FTPUploader --headless $src > $w/a.out 2>$w/a.log & ap=$!
t0=$(date +%s.%N)
while [ $(find $w/Mirror -name 'IMG_*' | wc -l) -lt $n ]; do sleep 0.05; done
t1=$(date +%s.%N)
echo "drained $n in $(echo "$t1 - $t0" | bc) s; BAD posts so far: $(grep -c BAD $w/store/.requests.log)"
if [ $bad = 1 ]; then sleep $(echo "$win - ($t1 - $t0)" | bc); echo "$fault: BAD posts in $win s: $(grep -c BAD $w/store/.requests.log); BAD in source: $(ls $src/E0/BAD.jpg 2>/dev/null | wc -l) problem: $(ls $w/"Problem Folder"/E0/BAD.jpg 2>/dev/null | wc -l)"; fi
kill $ap $sp; wait 2>/dev/null; rm -rf $w
