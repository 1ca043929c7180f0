#!/usr/bin/env bash
# Mutation testing: applies each fault of scripts/mutants.txt, one at a time,
# to a scratch copy of the sources, rebuilds, runs the test suite and records
# which tests fail (kill the fault). Measures how much the tests would notice
# a realistic bug, and which tests carry that weight.
#
# Usage: scripts/mutate.sh [--rev REV] [--only ID[,ID...]] [--first-failure]
#                          [--jobs N] [--check] [--compile-only]
#                          [--workdir DIR] [--targets T1,T2] [--tests REGEX]
#                          [--labels REGEX]
#   --rev REV        sources (and tests) of commit REV (git archive) instead
#                    of the working tree
#   --only IDS       only these faults (comma-separated ids)
#   --first-failure  stop each mutant's test run at its first failing test
#                    (quick score; the kill lists are then partial)
#   --jobs N         parallel build and test jobs (default 2)
#   --check          only check that every snippet occurs exactly once in the
#                    chosen sources; builds nothing
#   --compile-only   apply and build each fault, run no test (finds invalid
#                    faults); the baseline suite is not run either
#   --workdir DIR    scratch directory instead of build/mutate (lets several
#                    runs, each on its own faults, go side by side)
#   --targets LIST   build only these targets (comma-separated, for example
#                    test_buffers,test_render) instead of the whole tree
#   --tests REGEX    run only the ctest entries whose names match REGEX
#   --labels REGEX   run only the ctest entries whose labels match REGEX; each
#                    test executable's cases carry its name as their label
#                    (--targets test_plugins --labels test_plugins)
#
# The fault list is always read from this script's own directory. Everything
# happens under build/mutate/: src/ (the scratch copy), build/ (its Ninja
# release build), results and logs. The working tree is never modified.
#
# Output: one line per fault, "killed  ID  by N tests", "SURVIVED ID",
# "stale ID" (snippet missing or not unique) or "invalid ID" (does not
# build); build/mutate/report.txt (killing tests per fault) and
# build/mutate/kills-by-test.txt (faults per test, faults with one killer).
# The last line is "mutation score: K killed of N valid".
#
# Per-test time limit: 60 s. The suite's own per-test limit (300 s) is
# lowered to 60 s in the scratch build's generated test lists only, so that a
# mutant that hangs a test costs a minute, not five. A hang or a crash counts
# as a kill. Each build and test run goes under `nice -n 10`.
set -euo pipefail

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$script_dir/.." && pwd)"
faults="$script_dir/mutants.txt"

rev=""
only=""
first_failure=0
jobs=2
check_only=0
compile_only=0
test_timeout=60
work=""
targets=""
tests_regex=""
labels_regex=""

usage() { sed -n '7,30p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while (($#)); do
  case "$1" in
    --rev) rev="${2:?--rev needs a revision}"; shift 2 ;;
    --only) only="${2:?--only needs ids}"; shift 2 ;;
    --first-failure) first_failure=1; shift ;;
    --jobs) jobs="${2:?--jobs needs a number}"; shift 2 ;;
    --check) check_only=1; shift ;;
    --compile-only) compile_only=1; shift ;;
    --workdir) work="${2:?--workdir needs a directory}"; shift 2 ;;
    --targets) targets="${2:?--targets needs target names}"; shift 2 ;;
    --tests) tests_regex="${2:?--tests needs a regular expression}"; shift 2 ;;
    --labels) labels_regex="${2:?--labels needs a regular expression}"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "mutate: unknown argument '$1'" >&2; usage ;;
  esac
done
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || { echo "mutate: --jobs needs a positive number" >&2; exit 2; }
[[ -f "$faults" ]] || { echo "mutate: no fault list at $faults" >&2; exit 2; }

[[ -n "$work" ]] || work="$repo/build/mutate"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
src="$work/src"
bld="$work/build"
stage="$work/stage"
logs="$work/logs"
mkdir -p "$work" "$logs"
helper="$work/mutate-helper.py"

# ---- helper: fault list parsing, snippet checks, sync, report -----------------
cat >"$helper" <<'PY'
import os, re, shutil, sys, filecmp
from collections import defaultdict

def parse(path):
    faults, order = {}, []
    cur = None
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    def err(msg):
        sys.exit(f"mutants.txt:{i+1}: {msg}")
    while i < len(lines):
        line = lines[i]
        if line.startswith("@@"):
            parts = [p.strip() for p in line[2:].split("|", 2)]
            if len(parts) != 3 or not all(parts):
                err("header needs '@@ id | path | description'")
            fid, fpath, desc = parts
            if not re.fullmatch(r"[a-z0-9]+(-[a-z0-9]+)*", fid):
                err(f"bad id '{fid}'")
            if fid in faults:
                err(f"duplicate id '{fid}'")
            cur = {"id": fid, "path": fpath, "desc": desc, "edits": []}
            faults[fid] = cur
            order.append(fid)
        elif line == "<<<":
            if cur is None:
                err("edit block before any header")
            find, repl, mode = [], [], "find"
            i += 1
            while True:
                if i >= len(lines):
                    err("unterminated edit block")
                l = lines[i]
                if l == "===" and mode == "find":
                    mode = "repl"
                elif l == ">>>" and mode == "repl":
                    break
                elif mode == "find":
                    find.append(l)
                else:
                    repl.append(l)
                i += 1
            if not find or not "\n".join(find).strip():
                err("empty snippet")
            cur["edits"].append(("\n".join(find), "\n".join(repl)))
        elif line.strip() == "" or line.startswith("#"):
            pass
        else:
            err(f"unexpected line: {line!r}")
        i += 1
    for fid in order:
        if not faults[fid]["edits"]:
            sys.exit(f"mutants.txt: fault '{fid}' has no edit block")
    return faults, order

def select(faults, order, only):
    if not only:
        return order
    ids = [x.strip() for x in only.split(",") if x.strip()]
    unknown = [x for x in ids if x not in faults]
    if unknown:
        sys.exit("mutate: unknown fault id(s): " + ", ".join(unknown))
    return [x for x in order if x in ids]

def problem(fault, root):
    path = os.path.join(root, fault["path"])
    if not os.path.isfile(path):
        return f"no file {fault['path']}"
    text = open(path, encoding="utf-8").read()
    for find, _ in fault["edits"]:
        n = text.count(find)
        if n != 1:
            first = find.strip().split("\n")[0][:60]
            return f"snippet found {n} times: {first!r}"
    return None

def cmd_list(fl, only):
    faults, order = parse(fl)
    for fid in select(faults, order, only):
        print(f"{fid}\t{faults[fid]['path']}")

def cmd_check(fl, root, fid):
    faults, _ = parse(fl)
    p = problem(faults[fid], root)
    if p:
        print(p)
        sys.exit(3)

def cmd_apply(fl, root, fid):
    faults, _ = parse(fl)
    f = faults[fid]
    p = problem(f, root)
    if p:
        print(p)
        sys.exit(3)
    path = os.path.join(root, f["path"])
    text = open(path, encoding="utf-8").read()
    for find, repl in f["edits"]:
        text = text.replace(find, repl, 1)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)

def cmd_sync(stage, dest):
    # Copies files whose content differs (so that their new time stamps make
    # the build recompile them) and removes files the new source lacks;
    # unchanged files keep their time stamps, so the build stays incremental.
    os.makedirs(dest, exist_ok=True)
    wanted = set()
    for dirpath, dirnames, filenames in os.walk(stage):
        rel = os.path.relpath(dirpath, stage)
        os.makedirs(os.path.join(dest, rel), exist_ok=True)
        for name in filenames:
            r = os.path.normpath(os.path.join(rel, name))
            wanted.add(r)
            s, d = os.path.join(stage, r), os.path.join(dest, r)
            if os.path.islink(s):
                if os.path.lexists(d):
                    os.remove(d)
                os.symlink(os.readlink(s), d)
            elif not (os.path.isfile(d) and not os.path.islink(d) and filecmp.cmp(s, d, shallow=False)):
                if os.path.lexists(d):
                    os.remove(d)
                shutil.copyfile(s, d)
                shutil.copymode(s, d)
    for dirpath, dirnames, filenames in os.walk(dest, topdown=False):
        for name in filenames:
            r = os.path.normpath(os.path.relpath(os.path.join(dirpath, name), dest))
            if r not in wanted:
                os.remove(os.path.join(dirpath, name))
        if dirpath != dest and not os.listdir(dirpath):
            os.rmdir(dirpath)

def cmd_report(fl, results, report, index, header):
    faults, order = parse(fl)
    rows = []
    for line in open(results, encoding="utf-8"):
        line = line.rstrip("\n")
        if not line:
            continue
        fid, status, *tests = line.split("\t")
        rows.append((fid, status, [t for t in tests if t]))
    killed = sum(1 for r in rows if r[1] == "killed")
    valid = sum(1 for r in rows if r[1] in ("killed", "survived"))
    head = open(header, encoding="utf-8").read().rstrip("\n")
    score = f"mutation score: {killed} killed of {valid} valid"
    with open(report, "w", encoding="utf-8") as out:
        out.write(head + "\n" + score + "\n\n")
        out.write("Per fault: status, file, what the fault does, and the tests that fail with it.\n\n")
        for fid, status, tests in rows:
            f = faults.get(fid, {"path": "?", "desc": "?"})
            label = {"killed": f"killed by {len(tests)}", "survived": "SURVIVED"}.get(status, status)
            out.write(f"{fid}  [{label}]  {f['path']}\n    {f['desc']}\n")
            for t in tests:
                out.write(f"      {t}\n")
        out.write("\n" + score + "\n")
    by_test = defaultdict(list)
    sole = []
    for fid, status, tests in rows:
        if status != "killed":
            continue
        for t in tests:
            by_test[t].append(fid)
        if len(tests) == 1:
            sole.append((fid, tests[0]))
    with open(index, "w", encoding="utf-8") as out:
        out.write(head + "\n" + score + "\n\n")
        out.write("Tests that kill at least one fault, with the faults they kill:\n\n")
        for t in sorted(by_test, key=lambda t: (-len(by_test[t]), t)):
            out.write(f"{t}  ({len(by_test[t])}): {' '.join(by_test[t])}\n")
        out.write("\nFaults killed by exactly one test (fault <- test):\n\n")
        for fid, t in sole:
            out.write(f"{fid} <- {t}\n")
        out.write("\nSole killers by test (test: faults only it kills):\n\n")
        sole_by_test = defaultdict(list)
        for fid, t in sole:
            sole_by_test[t].append(fid)
        for t in sorted(sole_by_test):
            out.write(f"{t}: {' '.join(sole_by_test[t])}\n")
    print(score)

if __name__ == "__main__":
    cmd, *args = sys.argv[1:]
    {"list": cmd_list, "check": cmd_check, "apply": cmd_apply, "sync": cmd_sync,
     "report": cmd_report}[cmd](*args)
PY

# ---- the fault selection (also validates the list's format) -------------------
selection="$work/selection.tsv"
python3 "$helper" list "$faults" "$only" >"$selection"
[[ -s "$selection" ]] || { echo "mutate: no fault selected" >&2; exit 2; }

# ---- the scratch source copy ----------------------------------------------------
rm -rf "$stage"
mkdir -p "$stage"
if [[ -n "$rev" ]]; then
  git -C "$repo" rev-parse --verify --quiet "$rev^{commit}" >/dev/null || {
    echo "mutate: unknown revision '$rev'" >&2; exit 2; }
  git -C "$repo" archive "$rev" | tar -x -C "$stage"
  source_label="commit $(git -C "$repo" rev-parse --short "$rev^{commit}")"
else
  tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -x -C "$stage"
  source_label="working tree of $repo"
fi
python3 "$helper" sync "$stage" "$src"
rm -rf "$stage"

if ((check_only)); then
  bad=0
  while IFS=$'\t' read -r -u 3 id path; do
    if why="$(python3 "$helper" check "$faults" "$src" "$id")"; then
      echo "ok     $id"
    else
      echo "stale  $id  ($path: $why)"
      bad=$((bad + 1))
    fi
  done 3<"$selection"
  echo "snippet check: $bad stale of $(wc -l <"$selection") faults"
  ((bad == 0))
  exit
fi

# ---- restore on any exit ------------------------------------------------------------
current_file=""
backup="$work/original.bak"
restore() {
  if [[ -n "$current_file" && -f "$backup" ]]; then
    cp -- "$backup" "$current_file"
    rm -f -- "$backup"
  fi
  current_file=""
}
trap 'restore' EXIT
trap 'restore; echo "mutate: interrupted" >&2; exit 130' INT TERM

# ---- configure and build ----------------------------------------------------------------
build() {  # build [log]: the whole scratch build, then the test time limits
  local log="${1:-/dev/stdout}"
  local target_args=()
  [[ -n "$targets" ]] && target_args=(--target ${targets//,/ })
  nice -n 10 cmake --build "$bld" -j "$jobs" "${target_args[@]}" >"$log" 2>&1 || return 1
  # The generated per-executable test lists carry the suite's TIMEOUT 300.
  local f
  for f in "$bld"/tests/*_tests.cmake; do
    [[ -e "$f" ]] || continue
    grep -q 'TIMEOUT 300' "$f" && sed -i "s/TIMEOUT 300/TIMEOUT $test_timeout/g" "$f"
  done
  return 0
}

echo "mutate: sources: $source_label"
if [[ ! -f "$bld/build.ninja" ]]; then
  nice -n 10 cmake -S "$src" -B "$bld" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_LINK_DEPENDS_NO_SHARED=ON \
    -DKASP2_WERROR=OFF -DKASP2_BUILD_TESTS=ON -DKASP2_BUILD_APPS=ON \
    -DKASP2_BUILD_BENCH=OFF -DKASP2_BUILD_FUZZ=OFF >"$logs/configure.log" 2>&1 || {
    echo "mutate: configuring failed, see $logs/configure.log" >&2; exit 1; }
fi
echo "mutate: building the unmodified sources"
if ! build "$logs/baseline-build.log"; then
  echo "mutate: the unmodified sources do not build, see $logs/baseline-build.log" >&2
  tail -20 "$logs/baseline-build.log" >&2
  exit 1
fi

ctest_args=(--test-dir "$bld" -j "$jobs" --timeout "$test_timeout" -E 'examples\.out_of_tree' --no-tests=error)
[[ -n "$tests_regex" ]] && ctest_args+=(-R "$tests_regex")
[[ -n "$labels_regex" ]] && ctest_args+=(-L "$labels_regex")
failed_list="$bld/Testing/Temporary/LastTestsFailed.log"

run_tests() {  # run_tests log [extra ctest args]: returns ctest's status
  local log="$1"; shift
  rm -f -- "$failed_list"
  nice -n 10 ctest "${ctest_args[@]}" "$@" >"$log" 2>&1
}
failed_tests() {  # names of the failed tests of the last run, one a line
  [[ -f "$failed_list" ]] && cut -d: -f2- "$failed_list" | sed '/^$/d' | sort -u
  return 0
}

flaky=""
if ((!compile_only)); then
  echo "mutate: running the baseline suite"
  start=$SECONDS
  if ! run_tests "$logs/baseline-test.log"; then
    failing="$(failed_tests)"
    echo "mutate: the baseline suite fails; running the failed tests again" >&2
    if run_tests "$logs/baseline-rerun.log" --rerun-failed; then
      flaky="$(echo "$failing" | paste -sd';' -)"
      echo "mutate: WARNING: flaky on the baseline (failed once, passed again): $flaky" >&2
    else
      echo "mutate: the baseline suite does not pass; fix it first. Failing tests:" >&2
      failed_tests | sed 's/^/  /' >&2
      echo "(log: $logs/baseline-test.log)" >&2
      exit 1
    fi
  fi
  baseline_seconds=$((SECONDS - start))
  echo "mutate: baseline passes: $(grep -m1 'tests passed' "$logs/baseline-test.log" || true) (${baseline_seconds} s)"
fi

# ---- the faults ----------------------------------------------------------------------------
results="$work/results.tsv"
: >"$results"
killed=0
valid=0
run_start=$SECONDS
while IFS=$'\t' read -r -u 3 id path; do
  file="$src/$path"
  if ! why="$(python3 "$helper" check "$faults" "$src" "$id")"; then
    echo "stale    $id  ($why)"
    printf '%s\tstale\t\n' "$id" >>"$results"
    continue
  fi
  cp -- "$file" "$backup"
  current_file="$file"
  python3 "$helper" apply "$faults" "$src" "$id" >/dev/null
  log="$logs/$id"
  if ! build "$log.build.log"; then
    if grep -q 'Error running test executable' "$log.build.log" &&
       ! grep -q 'error:' "$log.build.log"; then
      # The mutant built but a test executable failed to list its tests.
      echo "killed   $id  by 1 tests  (test discovery failed)"
      printf '%s\tkilled\t%s\n' "$id" "build:test-discovery" >>"$results"
      killed=$((killed + 1)); valid=$((valid + 1))
    else
      echo "invalid  $id  (does not build, see ${log#"$repo"/}.build.log)"
      printf '%s\tinvalid\t\n' "$id" >>"$results"
    fi
    restore
    continue
  fi
  if ((compile_only)); then
    echo "builds   $id"
    printf '%s\tbuilds\t\n' "$id" >>"$results"
    restore
    continue
  fi
  extra=()
  ((first_failure)) && extra=(--stop-on-failure)
  status=0
  run_tests "$log.test.log" "${extra[@]}" || status=$?
  # Test names may contain commas (parameter values): kept one a field.
  names="$(failed_tests)"
  if ((status != 0)) && [[ -z "$names" ]]; then
    names="ctest:error"  # ctest failed without naming a test (crash of ctest itself)
  fi
  restore
  valid=$((valid + 1))
  if [[ -n "$names" ]]; then
    killed=$((killed + 1))
    count="$(grep -c . <<<"$names")"
    echo "killed   $id  by $count tests"
    printf '%s\tkilled\t%s\n' "$id" "$(paste -sd$'\t' - <<<"$names")" >>"$results"
  else
    echo "SURVIVED $id"
    printf '%s\tsurvived\t\n' "$id" >>"$results"
  fi
done 3<"$selection"

# The scratch sources are unmodified again; their build catches up at the
# next run's baseline build.

header="$work/header.txt"
{
  echo "Mutation run: scripts/mutate.sh${rev:+ --rev $rev}${only:+ --only $only}$( ((first_failure)) && echo ' --first-failure')${targets:+ --targets $targets}${tests_regex:+ --tests $tests_regex}${labels_regex:+ --labels $labels_regex}"
  echo "Sources: $source_label"
  echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); faults: $(wc -l <"$selection"); run time: $(( (SECONDS - run_start) / 60 )) min"
  [[ -n "$flaky" ]] && echo "Flaky on the baseline: $flaky"
  true
} >"$header"
if ((compile_only)); then
  echo "compile check: $(grep -c $'\tbuilds\t' "$results" || true) build, $(grep -c $'\tinvalid\t' "$results" || true) invalid, $(grep -c $'\tstale\t' "$results" || true) stale"
  exit 0
fi
python3 "$helper" report "$faults" "$results" "$work/report.txt" "$work/kills-by-test.txt" "$header" >/dev/null
echo "mutate: report in ${work#"$repo"/}/report.txt, per-test index in ${work#"$repo"/}/kills-by-test.txt"
echo "mutation score: $killed killed of $valid valid"
