#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target kasp2-demo
./build/release/apps/kasp2-demo "$@"
