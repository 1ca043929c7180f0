#!/usr/bin/env bash
# Line coverage of the library's own sources (adapters, buffers, filters,
# foundation, plugins, render) by the test suite: a gcc --coverage build in
# build/coverage, the suite run once, gcovr's summary printed at the end.
# The stand-ins, apps, examples and tests are built and run but not counted.
#
# Usage: scripts/coverage.sh        (KASP2_JOBS sets build parallelism)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KASP2_COVERAGE_BUILD_DIR:-build/coverage}"
jobs="${KASP2_JOBS:-2}"
scripts/deps.sh gcovr >/dev/null
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic -O0" -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic -O0" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j "$jobs"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j "$jobs" --timeout 600 -E 'examples.out_of_tree' --output-on-failure
gcovr --root . --object-directory "$build" --gcov-ignore-parse-errors \
  --filter 'adapters/' --filter 'buffers/' --filter 'filters/' --filter 'foundation/' \
  --filter 'plugins/' --filter 'render/' --print-summary --txt "$build/coverage.txt" | tail -3
