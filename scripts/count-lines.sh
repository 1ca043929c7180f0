#!/usr/bin/env bash
# Counts C and C++ lines of code (cloc's "code": not blank, not comment) in the
# tests against everything else in the tree (library, stand-ins, apps,
# examples, benchmarks, fuzzers), and prints the ratio the project aims to keep
# between 25 % and 35 %. Test helpers under tests/ count as tests.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v cloc >/dev/null || { echo "count-lines: needs cloc (apt-get install cloc)" >&2; exit 2; }
langs='C++,C,C/C++ Header'
count() { cloc --quiet --csv --include-lang="$langs" "$@" | awk -F, '$2=="SUM"{print $5}'; }
tests=$(count tests)
code=$(count --exclude-dir=build,tests .)
echo "test lines: $tests"
echo "code lines: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests/code: %.1f %%\n", 100 * t / c }'
