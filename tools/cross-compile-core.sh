#!/usr/bin/env bash
# Compiles the core (the C++ library and its unit tests, warnings as errors)
# for platforms no wheel ships for yet, so that nothing compiler- or
# OS-specific creeps in unguarded: macOS arm64 and x86-64 and Windows x86-64,
# with Zig's Clang (the ziglang package, cmake/zig-toolchain.cmake). The
# tests are compiled, not linked or run (this machine cannot run them).
#   bash tools/cross-compile-core.sh [zig target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- aarch64-macos x86_64-macos x86_64-windows-gnu
python=$(command -v "${TARVIK_ZIG_PYTHON:-python3}")
"$python" -c 'import ziglang' 2>/dev/null || "$python" -m pip install -q ziglang
# CMake and Ninja from that Python's environment when it has them.
export PATH="$(dirname "$python"):$PATH"

for target in "$@"; do
  start=$(date +%s)
  build=build-cross/$target
  # Nothing is linked, CMake's compiler checks included; nothing is
  # optimised either (a third of the time; Clang warns from its front end).
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" \
    -DTARVIK_ZIG_TARGET="$target" -DTARVIK_ZIG_PYTHON="$python" \
    -DTARVIK_ZIG_COMPILE_ONLY=ON -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY -DTARVIK_WERROR=ON \
    -DTARVIK_BUILD_TESTS=ON -DTARVIK_TESTS_COMPILE_ONLY=ON -DCMAKE_CXX_FLAGS_RELEASE=-O0 >/dev/null
  cmake --build "$build" -j 2 --target tarvik_core tarvik_core_tests
  echo "$target: core and tests compiled in $(($(date +%s) - start)) s"
done
