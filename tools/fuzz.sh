#!/usr/bin/env bash
# Fuzzes tarvik with atheris, every target fuzz/fuzz_*.py in turn, on a build
# of the extension made for fuzzing: the newest Clang with AddressSanitizer,
# UndefinedBehaviorSanitizer and -fsanitize=fuzzer-no-link, so that libFuzzer
# counts the edges of the C++ (the core and the binding) beside those of the
# Python harness.
#   bash tools/fuzz.sh [seconds] [build-dir]   # 60 s in all, split over the targets; build-fuzz
#   bash tools/fuzz.sh 3600                    # a longer run
#   FUZZ_RUNS=1000000 bash tools/fuzz.sh 0     # a number of executions per target, no time limit
#   FUZZ_TARGETS="calls" bash tools/fuzz.sh    # some targets only (fuzz/fuzz_calls.py)
# Each target starts from its committed corpus fuzz/corpus/<target> (for
# fuzz/fuzz_calls.py: fuzz/corpus/calls) and keeps what it adds in
# <build-dir>/fuzz-corpus/<target>. FUZZ_SEED (default 1; 0 for a random one)
# fixes the fuzzer's choices; FUZZ_OPTIONS adds libFuzzer options. The run
# fails on a crash, a sanitizer report, a disallowed outcome (the input is
# printed as the Python program it runs), and on any target that stopped
# before its time or its number of executions, or that reaches no edge of
# the C++. At the end it prints, per target, the executions, the time, and
# the edges covered in the C++ apart from the harness's.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitize.sh  # its helpers only: sourced, it runs nothing
seconds=${1:-60}
build=${2:-build-fuzz}
# Relative to the repository's root, or absolute.
[[ $build == /* ]] || build=$PWD/$build
runs=${FUZZ_RUNS:-}

python3 -m pip install -q -r requirements-test.txt "atheris>=2.3"
clang_cxx=$(newest_clang)
sanitized_build "$build" address,undefined "$clang_cxx" -fsanitize=fuzzer-no-link

# atheris's own libFuzzer would lose its coverage hooks to the ASan runtime's
# weak ones, so a libFuzzer made from Clang's runtime is preloaded first,
# then the ASan runtime (with UBSan's) of the Clang that built the extension.
libfuzzer=$build/libfuzzer.so
"$clang_cxx" -shared -o "$libfuzzer" -Wl,--whole-archive "$(clang_runtime "$clang_cxx" fuzzer_no_main a)" \
  -Wl,--no-whole-archive -lpthread
preload="$libfuzzer $(asan_preload)"
symbolizer=$(dirname "$(readlink -f "$(command -v "$clang_cxx")")")/llvm-symbolizer
[ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer

targets=()
for t in fuzz/fuzz_*.py; do
  name=$(basename "$t" .py)
  name=${name#fuzz_}
  if [ -z "${FUZZ_TARGETS:-}" ] || [[ " $FUZZ_TARGETS " == *" $name "* ]]; then targets+=("$name"); fi
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz target" >&2; exit 2; }
# The time is split evenly over the targets (at least 10 s each).
share=0
if [ "$seconds" -gt 0 ]; then
  share=$((seconds / ${#targets[@]}))
  [ "$share" -ge 10 ] || share=10
fi

mkdir -p "$build/fuzz-artifacts"
rm -f "$build"/fuzz-artifacts/*
export_sanitizer_options "$build/reports"
export TARVIK_FUZZ_LAST=$build/fuzz-last-input
sanitized_python() {
  LD_PRELOAD="$preload" PYTHONPATH=$build/pkg python3 "$@"
}

# Covered edges from a libFuzzer log with -print_coverage=1 (COVERED_FUNC
# lines, "edges: covered/total"), for the functions of the C++ sources.
cxx_edges() {
  awk '/^COVERED_FUNC:/ && /(python|core)\/(src|include)\// {
         split($0, a, "edges: "); split(a[2], b, "[/ ]"); c += b[1]; t += b[2] }
       END { printf "%d of %d instrumented edges in the functions reached\n", c, t }' "$1"
}

status=0
summary=()
for name in "${targets[@]}"; do
  corpus=fuzz/corpus/$name
  mkdir -p "$build/fuzz-corpus/$name" "$corpus"
  log=$build/fuzz-$name.log
  limit=(-max_total_time="$share")
  [ -n "$runs" ] && limit+=(-runs="$runs")
  rc=0
  echo "==== fuzz_$name: ${runs:+$runs executions, }${share}s (0: no limit)"
  start=$(date +%s)
  sanitized_python "fuzz/fuzz_$name.py" "${limit[@]}" -seed="${FUZZ_SEED:-1}" \
    -timeout=30 -rss_limit_mb=6144 -max_len=1024 -len_control=0 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$name-" ${FUZZ_OPTIONS:-} \
    "$build/fuzz-corpus/$name" "$corpus" >"$log" 2>&1 || rc=$?
  elapsed=$(( $(date +%s) - start ))

  # The log without the progress lines; on failure, the input.
  grep -vE '^INFO: Instrumenting|^#[0-9]+\s+(NEW|REDUCE|pulse)' "$log" | tail -n 60
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  executed=${executed:-0}
  # An early stop fails the run: libFuzzer says "Done N runs in S second(s)"
  # only when it reached its limit.
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
  if [ "$rc" = 0 ]; then
    if [ -z "$done_line" ]; then
      echo "fuzz_$name stopped early: no end-of-run line"; rc=1
    elif [ -n "$runs" ] && [ "$executed" -lt "$runs" ] && { [ "$share" = 0 ] || [ "$elapsed" -lt "$share" ]; }; then
      echo "fuzz_$name stopped early: $executed of $runs executions"; rc=1
    elif [ -z "$runs" ] && [ "$elapsed" -lt "$share" ]; then
      echo "fuzz_$name stopped early: after ${elapsed}s of ${share}s"; rc=1
    fi
  fi
  if [ "$rc" != 0 ]; then
    status=1
    cp "$TARVIK_FUZZ_LAST" "$build/fuzz-artifacts/$name-last-input" 2>/dev/null || true
    sanitized_python "fuzz/fuzz_$name.py" --last "$TARVIK_FUZZ_LAST" 2>/dev/null \
      >"$build/fuzz-artifacts/$name-repro.py" || true
    if ! grep -q '^=== disallowed outcome' "$log"; then
      echo "==== the input that was running, as a program ($build/fuzz-artifacts/$name-repro.py):"
      cat "$build/fuzz-artifacts/$name-repro.py"
    fi
    echo "fuzz_$name failed (log: $log); to repeat the program under the sanitizers:"
    echo "  LD_PRELOAD=\"$preload\" PYTHONPATH=$build/pkg python3 $build/fuzz-artifacts/$name-repro.py"
    continue
  fi
  # The edges of the C++ that the corpus reaches, apart from the harness's.
  sanitized_python "fuzz/fuzz_$name.py" -runs=0 -print_coverage=1 -detect_leaks=0 \
    "$build/fuzz-corpus/$name" "$corpus" >"$log.coverage" 2>&1 || true
  modules=$(grep -E '^INFO: Loaded [0-9]+ modules' "$log" | head -n 2 | tr '\n' ' ')
  edges=$(cxx_edges "$log.coverage")
  # A target that reaches no C++ fuzzes only its own harness: a failure.
  if [ "${edges%% *}" -eq 0 ]; then
    echo "fuzz_$name reached no C++ edge (its corpus and mutations never get past the Python)"
    status=1
  fi
  summary+=("fuzz_$name: $executed executions in ${elapsed}s; C++: $edges; $(grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true) (C++ and harness); $modules")
done
check_reports "$build/reports" || status=1
printf '%s\n' "${summary[@]}"
exit $status
