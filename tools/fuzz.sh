#!/usr/bin/env bash
# Fuzzes every function of tarvik._core (fuzz/) with atheris on the
# ASan+UBSan build of tools/sanitize.sh:
#   bash tools/fuzz.sh [seconds] [build-dir]      # 60 s and build-asan by default (CI)
#   bash tools/fuzz.sh 3600                       # a longer run
# Starts from the committed corpus fuzz/corpus and keeps what it adds
# in <build-dir>/fuzz-corpus. FUZZ_SEED (default 1; 0 for a random one) fixes
# the fuzzer's choices; FUZZ_OPTIONS adds libFuzzer options. A crash, a
# sanitizer report or a disallowed outcome fails the run, and the input is
# printed as the Python program it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitizers.sh
seconds=${1:-60}
build=${2:-build-asan}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q -r requirements-test.txt "atheris>=2.3"
sanitized_build "$build" address,undefined g++

# atheris's own libFuzzer would lose its coverage hooks to the ASan runtime's
# weak ones, so a libFuzzer made from Clang's runtime is preloaded first.
cxx=$(newest_clang)
libfuzzer=$PWD/$build/libfuzzer.so
"$cxx" -shared -o "$libfuzzer" -Wl,--whole-archive "$(clang_runtime "$cxx" fuzzer_no_main a)" \
  -Wl,--no-whole-archive -lpthread

mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts"
rm -f "$build"/fuzz-artifacts/*
export_sanitizer_options "$PWD/$build/reports"
export TARVIK_FUZZ_LAST=$PWD/$build/fuzz-last-input
log=$build/fuzz.log
sanitized_python() {
  LD_PRELOAD="$libfuzzer $(asan_preload)" PYTHONPATH=$build/pkg python3 fuzz/fuzz_calls.py "$@"
}
status=0
sanitized_python -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" \
  -timeout=30 -rss_limit_mb=6144 -max_len=1024 -len_control=0 -detect_leaks=0 -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" ${FUZZ_OPTIONS:-} \
  "$build/fuzz-corpus" fuzz/corpus >"$log" 2>&1 || status=$?

# The log without the progress lines; any report; on failure, the input.
grep -vE '^INFO: Instrumenting|^#[0-9]+\s+(NEW|REDUCE|pulse)' "$log" | head -n 300
check_reports "$build/reports" || status=1
if [ "$status" != 0 ]; then
  cp "$TARVIK_FUZZ_LAST" "$build/fuzz-artifacts/last-input"
  sanitized_python --last "$TARVIK_FUZZ_LAST" 2>/dev/null >"$build/fuzz-artifacts/repro.py" || true
  if ! grep -q '^=== disallowed outcome' "$log"; then
    echo "==== the input that was running, as a program ($build/fuzz-artifacts/repro.py):"
    cat "$build/fuzz-artifacts/repro.py"
  fi
  echo "fuzzing failed (log: $log); to repeat the program under the sanitizers:"
  echo "  LD_PRELOAD=\"$(asan_preload)\" PYTHONPATH=$build/pkg python3 $build/fuzz-artifacts/repro.py"
  exit 1
fi
grep -E '^stat::number_of_executed_units' "$log" || true
