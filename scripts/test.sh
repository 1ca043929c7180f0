#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the
# whole test suite. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release "$@"
