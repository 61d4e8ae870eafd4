#!/usr/bin/env bash
# Sanitized builds and the tests that run on them:
#   bash tools/sanitize.sh [all | address | thread ...]   (all by default)
#   bash tools/sanitize.sh --help
# address: AddressSanitizer + UndefinedBehaviorSanitizer with the newest
#   Clang in build-asan: the C++ tests and the whole pytest suite, then the binding
#   and intake tests again with every function on the tuple-and-dict calling
#   convention (TARVIK_TEST_TUPLE_CALLS=1).
# thread: ThreadSanitizer with the newest Clang in build-tsan: the C++ tests,
#   and the Python batch, thread and interrupt tests. (The worker-pool tests count the
#   threads of the process and fork, which TSan's own thread and its refusal
#   of threads after fork would defeat; they run in the other builds.)
# all: address, then thread; the thread build compiles on one core while the
#   address tests run.
# Python itself is not instrumented: it runs with the sanitizer runtime
# preloaded. Any sanitizer report fails the run; the reports are printed.
# tools/fuzz.sh sources this file for its helpers below (sanitized builds,
# the environment of the uninstrumented interpreter, the check of the
# reports); sourced, it defines them and runs nothing.

# The newest installed clang++-NN that has its sanitizer runtimes, installing
# Debian's newest clang and compiler-rt first if there is none.
newest_clang() {
  local cxx
  cxx=$(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -uV | tail -n 1 || true)
  if [ -z "$cxx" ] || [ ! -f "$("$cxx" -print-file-name=libclang_rt.tsan-x86_64.so)" ]; then
    apt-get update -qq >&2
    local version
    version=$(apt-cache search --names-only '^clang-[0-9]+$' | cut -d' ' -f1 | sort -V | tail -n 1)
    version=${version#clang-}
    apt-get install -y -qq "clang-$version" "libclang-rt-$version-dev" >&2
    cxx=clang++-$version
  fi
  echo "$cxx"
}

# The file of a Clang runtime library, e.g. clang_runtime clang++-19 tsan so.
clang_runtime() {
  local path
  path=$("$1" -print-file-name="libclang_rt.$2-x86_64.$3")
  [ -f "$path" ] || { echo "no $2 runtime for $1" >&2; return 1; }
  echo "$path"
}

# sanitized_build DIR SANITIZERS CXX [EXTRA_FLAGS [JOBS]]: the core, its
# tests and the extension, on JOBS cores (2 by default); with EXTRA_FLAGS
# (compiler flags for every file, e.g. Clang's -fsanitize=fuzzer-no-link) the
# extension and the core only.
sanitized_build() {
  local generator=() tests=ON
  command -v ninja >/dev/null && generator=(-G Ninja)
  [ -z "${4:-}" ] || tests=OFF
  cmake -S . -B "$1" "${generator[@]}" -DCMAKE_CXX_COMPILER="$(command -v "$3")" -DTARVIK_SANITIZE="$2" \
    -DCMAKE_CXX_FLAGS="${4:-}" -DTARVIK_BUILD_TESTS=$tests -DTARVIK_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  cmake --build "$1" -j "${5:-2}"
}

# ASan and TSan reports go to files in REPORTS as well as failing their
# process, so that a report in a child process whose exit status nobody
# checks still fails the run.
export_sanitizer_options() {
  local reports=$1
  rm -rf "$reports" && mkdir -p "$reports"
  export ASAN_OPTIONS="detect_leaks=0:handle_abort=1:verify_asan_link_order=0:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
}

# The preload for a Python that imports the ASan+UBSan extension.
asan_preload() {
  clang_runtime "$clang_cxx" asan so
}

# Prints the reports in REPORTS and fails if there are any.
check_reports() {
  local found=0 f
  for f in "$1"/*; do
    [ -e "$f" ] || continue
    found=1
    echo "==== sanitizer report $f"
    cat "$f"
  done
  [ "$found" = 0 ]
}

# The comment at the top of this file, without its '#'.
usage() {
  sed -n '2,/^$/{/^$/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
}

# The MPFR samples of the correctly rounded functions (correct_rounding*)
# check arithmetic, not memory or threads: the plain and Clang builds run
# them, and the core's own tests of those functions (last resorts included)
# run here.
sanitized_ctest() {
  ctest --test-dir "$1" --output-on-failure -E '^correct_rounding'
}

build_address() {
  sanitized_build build-asan address,undefined "$clang_cxx"
}

test_address() {
  local build=build-asan
  export_sanitizer_options "$PWD/$build/reports"
  sanitized_ctest $build || status=1
  # In Python without the fake stacks of use-after-return detection (as
  # GCC's ASan runs by default): under the address-space limit of the
  # worker-pool test that makes threads fail to start, their allocation
  # fails first and stops the process.
  local -x ASAN_OPTIONS=$ASAN_OPTIONS:detect_stack_use_after_return=0
  LD_PRELOAD="$(asan_preload)" PYTHONPATH=$build/pkg python3 -m pytest -q -p no:cacheprovider tests \
    || status=1
  # The positional tuple and keyword dictionary, the only calling
  # convention of CPython 3.9, for the tests of binding and intake.
  TARVIK_TEST_TUPLE_CALLS=1 LD_PRELOAD="$(asan_preload)" PYTHONPATH=$build/pkg \
    python3 -m pytest -q -p no:cacheprovider tests/test_arguments.py tests/test_binding.py \
    tests/test_batch.py || status=1
  check_reports "$build/reports" || status=1
}

# build_thread [JOBS]
build_thread() {
  sanitized_build build-tsan thread "$clang_cxx" "" "${1:-2}"
}

test_thread() {
  local build=build-tsan
  export_sanitizer_options "$PWD/$build/reports"
  sanitized_ctest $build || status=1
  LD_PRELOAD="$(clang_runtime "$clang_cxx" tsan so)" PYTHONPATH=$build/pkg \
    python3 -m pytest -q -p no:cacheprovider tests/test_batch.py tests/test_threads.py \
    tests/test_interrupt.py || status=1
  check_reports "$build/reports" || status=1
}

# Both: the ThreadSanitizer build compiles on one core while the
# AddressSanitizer tests, which keep about one core busy, run on the other.
run_both() {
  build_address
  local log pid
  log=$(mktemp)
  build_thread 1 >"$log" 2>&1 &
  pid=$!
  test_address
  local built=true
  wait "$pid" || built=false
  $built || { cat "$log"; echo "the ThreadSanitizer build failed" >&2; status=1; }
  rm -f "$log"
  if $built; then test_thread; fi
}

# The modes are read before anything is built, so that a wrong one costs nothing.
main() {
  [ $# -gt 0 ] || set -- all
  local modes=() mode
  for mode in "$@"; do
    case $mode in
      -h|--help) usage; return 0 ;;
      all) modes+=(both) ;;
      address|thread) modes+=("$mode") ;;
      *) echo "unknown sanitizer run: $mode (address, thread or all)" >&2; return 2 ;;
    esac
  done

  if [ ! -f /usr/include/gtest/gtest.h ]; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  fi
  python3 -m pip install -q -r requirements-test.txt

  status=0
  clang_cxx=$(newest_clang)
  for mode in "${modes[@]}"; do
    case $mode in
      address) build_address; test_address ;;
      thread) build_thread; test_thread ;;
      both) run_both ;;
    esac
    unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
  done
  return $status
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  main "$@"
fi
