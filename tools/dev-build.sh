#!/usr/bin/env bash
# Builds every target (the core, its unit tests, the benchmarks, the reference
# solvers and the extension) into a build directory (default: build) and lays
# the package out in <build>/pkg, so that
#   PYTHONPATH=<build>/pkg python3 -m pytest tests
# runs against the fresh build. TARVIK_WERROR=ON (as in CI) makes warnings
# errors.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DTARVIK_BUILD_TESTS=ON -DTARVIK_BUILD_PYTHON=ON \
  -DTARVIK_BUILD_BENCH=ON -DTARVIK_WERROR="${TARVIK_WERROR:-OFF}" \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" -j 2
