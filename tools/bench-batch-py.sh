#!/usr/bin/env bash
# Builds the extension and times the batch functions from Python, serial and
# parallel, beside the NumPy/SciPy Black-76 expression and a loop of scalar
# calls:
#   bash tools/bench-batch-py.sh [build-dir] [repetitions]
# RAYON_NUM_THREADS sets the pool size. Run it on an otherwise idle machine:
# the parallel figures mean nothing while other jobs hold the cores.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash tools/dev-build.sh "$build" >/dev/null
PYTHONPATH="$build/pkg" python3 bench/batch_py_bench.py "${2:-5}"
