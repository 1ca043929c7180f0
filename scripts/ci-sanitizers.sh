#!/usr/bin/env bash
# The sanitizer half of CI, stage by stage, with the time of each:
#   asan   the asan preset (clang, ASan + UBSan, -fno-sanitize-recover=all):
#          build everything, run the whole test suite (the stress test for
#          KASP2_STRESS_SECONDS, 30 s here)
#   leak   the host simulator of the asan build on a short simulated scene
#          under LeakSanitizer: any byte lost fails (skipped with a message
#          while the simulator is not part of the build)
#   tsan   the tsan preset (clang, ThreadSanitizer): build everything, run
#          the concurrency tests (names matching KASP2_TSAN_TESTS)
#   fuzz   scripts/fuzz.sh: every fuzz target for KASP2_FUZZ_SECONDS (60) s
#
# Usage: scripts/ci-sanitizers.sh [stage ...]      (default: all four, in order)
# Environment:
#   KASP2_BUILD_ROOT      parent of the build directories (default build, so
#                         the presets' own build/asan and build/tsan)
#   KASP2_STRESS_SECONDS  stress test duration (default 30)
#   KASP2_FUZZ_SECONDS    seconds per fuzz target (default 60)
#   KASP2_TSAN_TESTS      ctest name filter of the tsan stage
#   KASP2_JOBS            build and test parallelism (default 2)
# Every stage runs even when an earlier one failed; the script exits non-zero
# when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

root="${KASP2_BUILD_ROOT:-build}"
jobs="${KASP2_JOBS:-2}"
export KASP2_STRESS_SECONDS="${KASP2_STRESS_SECONDS:-30}"
fuzzSeconds="${KASP2_FUZZ_SECONDS:-60}"
tsanTests="${KASP2_TSAN_TESTS:-Concurren|Thread|Stress}"
stages=("$@")
((${#stages[@]})) || stages=(asan leak tsan fuzz)

# allocator_may_return_null: the library answers a shortage of memory with a
# failure result, so the sanitizer's allocator must fail the way the real one
# does (null from nothrow new and malloc) instead of aborting the process.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# llvm-14 brings llvm-symbolizer, which turns sanitizer reports into file:line.
scripts/deps.sh clang libclang-rt-14-dev llvm-14 || exit 1

configure_and_build() {  # preset
  cmake --preset "$1" -B "$root/$1" -DKASP2_WERROR=ON >/dev/null &&
    cmake --build "$root/$1" -j "$jobs"
}

stage_asan() {
  configure_and_build asan &&
    ctest --test-dir "$root/asan" --output-on-failure -j "$jobs"
}

stage_leak() {
  local simulator="$root/asan/apps/kasp2-hostsim"
  if ! cmake --build "$root/asan" --target help 2>/dev/null | grep -q '^kasp2-hostsim:'; then
    echo "leak: no kasp2-hostsim target in this tree yet; skipped"
    return 0
  fi
  cmake --build "$root/asan" -j "$jobs" --target kasp2-hostsim || return 1
  local log="$root/asan/hostsim-leak.log"
  # LeakSanitizer runs at exit and fails the run on any byte lost.
  if ASAN_OPTIONS="$ASAN_OPTIONS:exitcode=23" "$simulator" --simulated --duration 2 --quiet \
    --out "$root/asan/hostsim-leak-out" >"$log" 2>&1; then
    if grep -q "LeakSanitizer" "$log"; then
      cat "$log"
      return 1
    fi
    echo "leak: kasp2-hostsim --simulated ran clean: 0 bytes lost ($log)"
  else
    echo "leak: kasp2-hostsim failed under the asan build:"
    tail -60 "$log"
    return 1
  fi
}

stage_tsan() {
  configure_and_build tsan &&
    ctest --test-dir "$root/tsan" --output-on-failure -j "$jobs" -R "$tsanTests"
}

stage_fuzz() {
  scripts/fuzz.sh "$fuzzSeconds"
}

names=()
times=()
results=()
failed=0
for stage in "${stages[@]}"; do
  if ! declare -F "stage_$stage" >/dev/null; then
    echo "unknown stage: $stage (asan, leak, tsan, fuzz)"
    exit 2
  fi
  echo "==== $stage"
  start=$SECONDS
  if "stage_$stage"; then result=ok; else result=FAILED; failed=1; fi
  names+=("$stage")
  times+=($((SECONDS - start)))
  results+=("$result")
  echo "==== $stage: $result in $((SECONDS - start)) s"
done

echo
echo "stage   seconds  result"
total=0
for i in "${!names[@]}"; do
  printf '%-7s %7d  %s\n' "${names[$i]}" "${times[$i]}" "${results[$i]}"
  total=$((total + times[i]))
done
printf '%-7s %7d\n' total "$total"
exit "$failed"
