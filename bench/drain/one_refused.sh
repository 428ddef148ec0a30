#!/usr/bin/env bash
# The headless agent drains N photos in 10 folders into sorv-site while one more photo,
# BAD.jpg, is always refused with the given fault mode; prints the drain time of the good
# photos and the POSTs BAD.jpg got in WINDOW seconds. Needs a Release build (BUILD folder).
#   bench/drain/one_refused.sh BUILD WITH_BAD(0|1) N [FAULT=fail] [WINDOW=60]
set -u
b=$1; bad=$2; n=$3; fault=${4:-fail}; win=${5:-60}
w=$(mktemp -d /tmp/refused.XXXX)
. "$(dirname "$0")/kiosk_env.sh"
for i in $(seq $n); do f=$((i%10)); mkdir -p $src/E$f; photo $src/E$f/IMG_$i.jpg; done
[ $bad = 1 ] && photo $src/E0/BAD.jpg
start_site --fault $fault --fault-only BAD
start_agent
t0=$(date +%s.%N)
while [ $(find $w/Mirror -name 'IMG_*' | wc -l) -lt $n ]; do sleep 0.05; done
t1=$(date +%s.%N)
echo "drained $n in $(echo "$t1 - $t0" | bc) s; BAD posts so far: $(grep -c BAD $w/store/.requests.log)"
if [ $bad = 1 ]; then sleep $(echo "$win - ($t1 - $t0)" | bc); echo "$fault: BAD posts in $win s: $(grep -c BAD $w/store/.requests.log); BAD in source: $(ls $src/E0/BAD.jpg 2>/dev/null | wc -l) problem: $(ls $w/"Problem Folder"/E0/BAD.jpg 2>/dev/null | wc -l)"; fi
kill $ap $sp; wait 2>/dev/null; rm -rf $w
