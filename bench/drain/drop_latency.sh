#!/usr/bin/env bash
# Once the headless agent watches an empty source folder, moves N photos in one by one (each
# into a new folder) and prints how long each took to reach the mirror (the timer is 300 s).
#   bench/drain/drop_latency.sh BUILD [N=10]
set -u
b=$1; n=${2:-10}
w=$(mktemp -d /tmp/drop.XXXX)
. "$(dirname "$0")/kiosk_env.sh"
mkdir -p $w/stage
start_site
start_agent
while ! grep -q "doInstallTheWatcher is running" $w/a.log; do sleep 0.1; done
for i in $(seq $n); do
  photo $w/stage/IMG_$i.jpg
  mkdir -p $src/Event$i
  t0=$(date +%s.%N); mv $w/stage/IMG_$i.jpg $src/Event$i/
  while [ ! -e $w/Mirror/Event$i/IMG_$i.jpg ]; do sleep 0.01; done
  t1=$(date +%s.%N); echo "$t1 - $t0" | bc; sleep 0.5
done | sort -n | awk '{a[NR]=$1} END {print "uploads after the drop: min " a[1] " median " a[int((NR+1)/2)] " max " a[NR] " s over " NR}'
kill $ap $sp; wait 2>/dev/null; rm -rf $w
