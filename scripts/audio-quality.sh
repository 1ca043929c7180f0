#!/usr/bin/env bash
# What a listener hears of drift correction, measured by the host simulator on
# its simulated clock, printed as the two Markdown tables of
# docs/audio-quality.md:
#  1. a -6 dBFS sine at 1, 10 and 15 kHz from sources at 48 and 44.1 kHz: the
#     uncorrected road (0 ppm, no correction) beside step and smooth
#     correction at +500 and -500 ppm: the residual's peak and the SINAD;
#  2. clocks from -5,000 to +5,000 ppm under smooth correction for 300 s from
#     start-up: underruns, re-primes, lost and repeated frames (outside the
#     first 15 s), the ratio reached and how far the ring level moved.
# Uses $HOSTSIM, or builds the release configuration's kasp2-hostsim.
# QUALITY_SECONDS and HOLD_SECONDS shorten the runs (defaults 30 and 300).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z "${HOSTSIM:-}" ]]; then
  scripts/deps.sh >/dev/null
  cmake --preset release >/dev/null
  cmake --build --preset release --target kasp2-hostsim >/dev/null
  HOSTSIM=build/release/apps/kasp2-hostsim
fi
quality_seconds=${QUALITY_SECONDS:-30}
hold_seconds=${HOLD_SECONDS:-300}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Runs the simulator quietly on the given sources; its summary goes to stdout
# (a run that finds faults still prints its tables).
run() {
  local seconds=$1
  shift
  local args=()
  for source in "$@"; do args+=(--audio "$source"); done
  "$HOSTSIM" --simulated --quiet --duration "$seconds" --out "$out" "${args[@]}" || true
}

# Field `field` of the listener line of source `name` in summary `text`.
listener() { awk -v n="$2" -v f="$3" '/^listener/ {on = 1; next} on && $1 == n {print $f; exit}' <<<"$1"; }
audio() { awk -v n="$2" -v f="$3" '/^audio / {on = 1; next} on && $1 == n {print $f; exit}' <<<"$1"; }

echo "| source | tone | uncorrected: peak / SINAD | step +500 ppm | step -500 ppm | smooth +500 ppm | smooth -500 ppm | smooth: worst SINAD loss |"
echo "|---|---|---|---|---|---|---|---|"
# 14.997 kHz is a tone that no block or period divides: at 48 kHz the others
# repeat their 16-bit rounding every few samples (15 kHz every 16), which
# leaves the uncorrected road a rounding error smaller than a random one.
for rate in 48000 44100; do
  tones="1000 10000 15000"
  [[ $rate == 48000 ]] && tones+=" 14997"
  for tone in $tones; do
    base="sowt@$rate:2:tone=$tone"
    text=$(run "$quality_seconds" "$base" "$base:ppm=500:drift" "$base:ppm=-500:drift" "$base:ppm=500:drift=smooth" \
      "$base:ppm=-500:drift=smooth")
    row="| sowt@$rate | $(awk -v t="$tone" 'BEGIN {printf "%g", t / 1000}') kHz"
    for a in A1 A2 A3 A4 A5; do
      row+=" | $(listener "$text" $a 5 | sed 's/dBFS/ dBFS/') / $(listener "$text" $a 6 | sed 's/dB$/ dB/')"
    done
    loss=$(awk -v u="$(listener "$text" A1 6)" -v p="$(listener "$text" A4 6)" -v m="$(listener "$text" A5 6)" \
      'BEGIN {u += 0; p += 0; m += 0; w = p < m ? p : m; printf "%.1f dB", u - w}')
    echo "$row | $loss |"
  done
done

echo
echo "| source (smooth, ${hold_seconds} s) | underruns | re-primes | lost / repeated | ratio reached | level moved | wander |"
echo "|---|---|---|---|---|---|---|"
sources=()
for ppm in -5000 -2750 -500 500 2750 5000; do sources+=("sowt@48000:2:ppm=$ppm:drift=smooth"); done
sources+=("fl32@44100:2:ppm=-5000:drift=smooth" "fl32@44100:2:ppm=5000:drift=smooth")
text=$(run "$hold_seconds" "${sources[@]}")
for i in "${!sources[@]}"; do
  a="A$((i + 1))"
  echo "| ${sources[$i]} | $(audio "$text" $a 6) | $(audio "$text" $a 10) | $(audio "$text" $a 7) / $(audio "$text" $a 8)" \
    "| $(listener "$text" $a 7) | $(listener "$text" $a 8) frames | $(listener "$text" $a 9) frames |"
done
