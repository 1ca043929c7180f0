#!/usr/bin/env bash
# Builds the "bench" preset, runs the benchmark suite with repetitions and
# prints the table of ratios (each library path over its baseline, measured
# in the same run). The same table, as markdown for docs/performance.md, is
# written to $OUT/ratios.md beside the raw JSON.
#
# Environment (all optional):
#   KASP2_BENCH_BUILD_DIR    build directory (default: build/bench, the preset's)
#   KASP2_BENCH_REPETITIONS  repetitions of every benchmark (default: 12)
#   KASP2_BENCH_MIN_TIME     seconds per repetition (default: 0.15)
#   KASP2_BENCH_FILTER       filter for the suite (default: everything but BM_Scale)
#   KASP2_BENCH_SCALE        0 skips the many-sources rows (default: 1)
#   KASP2_BENCH_OUT          where results go (default: $BUILD_DIR/results)
#
# The suite runs with its repetitions randomly interleaved, so that a burst
# of load on the machine spreads over all rows instead of spoiling a few.
# The many-sources rows run on their own afterwards (each source count keeps
# 34 MB of ring per source while it is measured).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${KASP2_BENCH_BUILD_DIR:-$ROOT/build/bench}
REPS=${KASP2_BENCH_REPETITIONS:-12}
MIN_TIME=${KASP2_BENCH_MIN_TIME:-0.15}
FILTER=${KASP2_BENCH_FILTER:--BM_Scale}
SCALE=${KASP2_BENCH_SCALE:-1}
OUT=${KASP2_BENCH_OUT:-$BUILD_DIR/results}

cd "$ROOT"
cmake --preset bench -B "$BUILD_DIR" > /dev/null
cmake --build "$BUILD_DIR" --target kasp2_bench -j2
BENCH="$BUILD_DIR/bench/kasp2_bench"
mkdir -p "$OUT"

common=(--benchmark_repetitions="$REPS" --benchmark_min_time="$MIN_TIME"
        --benchmark_display_aggregates_only=true --benchmark_out_format=json)

"$BENCH" "${common[@]}" --benchmark_enable_random_interleaving=true \
  --benchmark_filter="$FILTER" --benchmark_out="$OUT/suite.json" >&2
rm -f "$OUT/scale.json"
if [[ "$SCALE" != 0 ]]; then
  "$BENCH" "${common[@]}" --benchmark_filter=BM_Scale --benchmark_out="$OUT/scale.json" >&2
fi

results=()
for f in "$OUT/suite.json" "$OUT/scale.json"; do [[ -f "$f" ]] && results+=("$f"); done
status=0
python3 "$ROOT/bench/ratios.py" --markdown "${results[@]}" > "$OUT/ratios.md" || status=$?
python3 "$ROOT/bench/ratios.py" "${results[@]}" || true
echo
echo "markdown: $OUT/ratios.md"
# 1 when a ratio missed its target on both its median and its minimum.
exit "$status"
