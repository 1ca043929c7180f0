#!/usr/bin/env bash
# Measures lip sync with the host simulator: pictures and sounds from one
# clock (--pair), lined up by the host or left as they come, on the simulated
# clock and in real time, and prints one row per run: the offsets of the sound
# against its picture (positive: late), min/avg/max in ms, and the verdict.
# Usage: scripts/lipsync.sh [--day]   (--day adds two 24-hour simulated runs,
# ±500 ppm with drift correction: up to half an hour each on one core)
set -euo pipefail
cd "$(dirname "$0")/.."
sim=./build/release/apps/kasp2-hostsim
[ -x "$sim" ] || { cmake --preset release >/dev/null && cmake --build --preset release --target kasp2-hostsim; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

row() {  # label, then hostsim arguments
  local label=$1; shift
  local text
  text=$("$sim" --quiet --out "$out" "$@" 2>&1 || true)
  local pair result
  pair=$(grep -E '^  V[0-9]+\+A[0-9]+ ' <<<"$text" | head -1 | awk '{print $2, $3, $4, $5, $6, $7, $8}')
  result=$(grep -E '^result:' <<<"$text" | awk '{print $2}')
  printf '%-44s %s %s\n' "$label" "$pair" "$result"
}

printf '%-44s %s\n' "run" "frames v.delay a.latency a.cue min avg max result"
small=128x72
for clock in --simulated ""; do
  name=${clock:+simulated}; name=${name:-real time}
  row "$name, 29.97 undelayed, unaligned" $clock --duration 10 --video $small@29.97:2vuy --audio sowt@48000:2 --pair 1:1:unaligned
  row "$name, 29.97 undelayed" $clock --duration 10 --video $small@29.97:2vuy --audio sowt@48000:2 --pair 1:1
  row "$name, 59.94 delayed 0.1 s, unaligned" $clock --duration 10 --video $small@59.94:rgba:delay=0.1 --audio sowt@48000:2 --pair 1:1:unaligned
  row "$name, 59.94 delayed 0.1 s" $clock --duration 10 --video $small@59.94:rgba:delay=0.1 --audio sowt@48000:2 --pair 1:1
  row "$name, 25 fps, 44.1 kHz fl32" $clock --duration 10 --video $small@25:2vuy --audio fl32@44100:2 --pair 1:1
  row "$name, default scene (V2+A1)" $clock --duration 10
done
row "simulated, 29.97, 48 kHz -500 ppm drift, 10 min" --simulated --duration 600 --video $small@29.97:2vuy --audio sowt@48000:2:ppm=-500:drift --pair 1:1
row "simulated, 29.97, 44.1 kHz +500 ppm drift, 10 min" --simulated --duration 600 --video $small@29.97:2vuy --audio fl32@44100:2:ppm=500:drift --pair 1:1
if [ "${1:-}" = "--day" ]; then
  for ppm in 500 -500; do
    row "simulated, 29.97, 48 kHz $ppm ppm drift, 24 h" --simulated --duration 86400 --video $small@29.97:2vuy --audio sowt@48000:2:ppm=$ppm:drift --pair 1:1
  done
fi
