#!/usr/bin/env bash
# Instructions executed inside the extension's call of each workload of
# bench/instruction_workloads.py (the inclusive count of the outermost
# tarvik::py function, so the interpreter's start and the inputs do not
# count), under callgrind: reproducible on one machine, so two trees compare
# without timing noise.
#   bash bench/instruction-counts.sh [build-dir] [workload...]
# (default: build, and every workload; the iv workload's prices, made
# before, are a smaller call of their own and do not count.)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
workloads=("$@")
[ ${#workloads[@]} -gt 0 ] || workloads=(iv prices greeks american)
python=$(python3 -c 'import sys; print(sys.executable)')
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for w in "${workloads[@]}"; do
  PYTHONHASHSEED=0 PYTHONPATH="$build/pkg" valgrind --tool=callgrind --callgrind-out-file="$out/$w" \
    "$python" bench/instruction_workloads.py "$w" >/dev/null 2>&1
  callgrind_annotate --inclusive=yes "$out/$w" 2>/dev/null | grep 'tarvik::py::' |
    awk -v w="$w" '{gsub(",", "", $1); if ($1 + 0 > m) m = $1 + 0} END {printf "%-10s %d\n", w, m}'
done
