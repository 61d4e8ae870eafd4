#!/usr/bin/env bash
# Sanitized builds and the tests that run on them:
#   bash tools/sanitize.sh [address] [thread]      (both by default)
# address: AddressSanitizer + UndefinedBehaviorSanitizer with g++ in
#   build-asan: the C++ tests and the whole pytest suite, then the binding
#   and intake tests again with every function on the tuple-and-dict calling
#   convention (TARVIK_TEST_TUPLE_CALLS=1).
# thread: ThreadSanitizer with the newest Clang in build-tsan: the C++ tests,
#   and the Python batch, thread and interrupt tests. (The worker-pool tests count the
#   threads of the process and fork, which TSan's own thread and its refusal
#   of threads after fork would defeat; they run in the other builds.)
# Python itself is not instrumented: it runs with the sanitizer runtime
# preloaded. Any sanitizer report fails the run; the reports are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sanitizers.sh
[ $# -gt 0 ] || set -- address thread

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q -r requirements-test.txt

status=0
for kind in "$@"; do
  case $kind in
    address)
      build=build-asan
      sanitized_build $build address,undefined g++
      export_sanitizer_options "$PWD/$build/reports"
      ctest --test-dir $build --output-on-failure || status=1
      LD_PRELOAD="$(asan_preload)" PYTHONPATH=$build/pkg python3 -m pytest -q -p no:cacheprovider tests \
        || status=1
      # The positional tuple and keyword dictionary, the only calling
      # convention of CPython 3.9, for the tests of binding and intake.
      TARVIK_TEST_TUPLE_CALLS=1 LD_PRELOAD="$(asan_preload)" PYTHONPATH=$build/pkg \
        python3 -m pytest -q -p no:cacheprovider tests/test_arguments.py tests/test_binding.py \
        tests/test_batch.py || status=1
      ;;
    thread)
      build=build-tsan
      cxx=$(newest_clang)
      sanitized_build $build thread "$cxx"
      export_sanitizer_options "$PWD/$build/reports"
      ctest --test-dir $build --output-on-failure || status=1
      LD_PRELOAD="$(clang_runtime "$cxx" tsan so)" PYTHONPATH=$build/pkg \
        python3 -m pytest -q -p no:cacheprovider tests/test_batch.py tests/test_threads.py \
        tests/test_interrupt.py || status=1
      ;;
    *) echo "unknown sanitizer run: $kind" >&2; exit 2 ;;
  esac
  check_reports "$build/reports" || status=1
  unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
done
exit $status
