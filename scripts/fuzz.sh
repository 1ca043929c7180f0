#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, the library instrumented
# for coverage) and runs each for a bounded time, then prints each target's
# executions and coverage from libFuzzer's final statistics.
#
# Usage: scripts/fuzz.sh [seconds-per-target] [target ...]
#   seconds   default 60
#   targets   default all: ring_buffer audio_renderer image_copy record
# Environment:
#   KASP2_FUZZ_BUILD_DIR  build directory (default build/fuzz)
#   KASP2_FUZZ_JOBS       build parallelism (default 2)
# New inputs found go to <build>/corpus/<target>/ (the seeds in
# fuzz/corpus/<target>/ are only read); a crash leaves its input in
# <build>/artifacts/ and makes the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(ring_buffer audio_renderer image_copy record)
build="${KASP2_FUZZ_BUILD_DIR:-build/fuzz}"
jobs="${KASP2_FUZZ_JOBS:-2}"

scripts/deps.sh clang libclang-rt-14-dev llvm-14  # llvm-14: llvm-symbolizer for readable reports

flags="-O1 -g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DKASP2_BUILD_FUZZ=ON -DKASP2_BUILD_TESTS=OFF -DKASP2_BUILD_APPS=OFF -DKASP2_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  log="$build/fuzz_$target.log"
  echo "== fuzz_$target: ${seconds}s"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2560 \
    -artifact_prefix="$build/artifacts/$target-" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+.*cov: [0-9]+' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+).*/\1/')
  ft=$(grep -E '^#[0-9]+.*ft: [0-9]+' "$log" | tail -1 | sed -E 's/.*ft: ([0-9]+).*/\1/')
  inputs=$(find "$corpus" -type f | wc -l)
  if ((status != 0)); then
    failed=1
    echo "fuzz_$target FAILED (exit $status); last lines of $log:"
    tail -40 "$log"
  fi
  summary+=("$(printf '%-16s %10s %8s %8s %8s %s' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$inputs" \
    "$( ((status == 0)) && echo ok || echo FAILED)")")
done

echo
printf '%-16s %10s %8s %8s %8s %s\n' target executions cov ft corpus result
printf '%s\n' "${summary[@]}"
exit "$failed"
