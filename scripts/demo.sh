#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the host
# simulator's default scene: two video and three audio sources through
# libkasp2 for about five seconds of real time, then a summary, WAV files and a
# contact sheet in ./hostsim-out. Extra arguments go to kasp2-hostsim (--help).
# The smaller buffer-group tour is built too: ./build/release/apps/kasp2-demo
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target kasp2-hostsim kasp2-demo
./build/release/apps/kasp2-hostsim "$@"
