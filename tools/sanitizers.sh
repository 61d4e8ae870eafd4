# Sourced by tools/sanitize.sh and tools/fuzz.sh: sanitized builds, the
# environment in which the (uninstrumented) Python interpreter runs them, and
# the check that no sanitizer reported anything.

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

# sanitized_build DIR SANITIZERS CXX [EXTRA_FLAGS]: the core, its tests and
# the extension; with EXTRA_FLAGS (compiler flags for every file, e.g.
# Clang's -fsanitize=fuzzer-no-link) the extension and the core only.
sanitized_build() {
  local generator=() tests=ON
  command -v ninja >/dev/null && generator=(-G Ninja)
  [ -z "${4:-}" ] || tests=OFF
  cmake -S . -B "$1" "${generator[@]}" -DCMAKE_CXX_COMPILER="$(command -v "$3")" -DTARVIK_SANITIZE="$2" \
    -DCMAKE_CXX_FLAGS="${4:-}" -DTARVIK_BUILD_TESTS=$tests -DTARVIK_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  cmake --build "$1" -j 2
}

# ASan and TSan reports go to files in REPORTS as well as failing their
# process, so that a report in a child process whose exit status nobody
# checks still fails the run. (GCC's UBSan runtime beside ASan ignores
# log_path: its reports fail their process and are printed to its stderr.)
export_sanitizer_options() {
  local reports=$1
  rm -rf "$reports" && mkdir -p "$reports"
  export ASAN_OPTIONS="detect_leaks=0:handle_abort=1:verify_asan_link_order=0:log_path=$reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
}

# The preloads for a Python that imports the ASan+UBSan extension built by g++.
asan_preload() {
  echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
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
