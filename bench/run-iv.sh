#!/usr/bin/env bash
# Builds the implied-volatility benchmark in release mode and runs it:
#   bash bench/run-iv.sh [build-dir] [near|stressed|all] [repetitions] [scalar|batch]
# Prints, per data set, the median ns per implied volatility, the median ns of
# std::erfc on the same machine in the same run, their ratio, and a digest of
# the result bits; with batch, also the serial batch kernel's ns per option,
# its time over the scalar loop's and its digest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target iv_bench >/dev/null
"$build/bench/iv_bench" "${2:-all}" "${3:-5}" "${4:-scalar}"
