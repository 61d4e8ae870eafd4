#!/usr/bin/env bash
# Builds the extension and times python -m tarvik iv on a generated CSV file
# (10^6 rows by default), with each CSV engine installed, serial and parallel:
#   bash bench/run-cli.sh [rows] [repetitions]
# Run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/dev-build.sh build >/dev/null
PYTHONPATH=build/pkg python3 bench/cli_bench.py "$@"
