#!/usr/bin/env bash
# Each lane path's object (path_*.cpp, built with its own target flags) may
# define, with external linkage, only its own entry points: any other external
# or weak symbol (an inline function or template instantiation compiled for
# AVX2 or AVX-512) could stand in for the portable copy at link time and run
# on a processor without those instructions. Unique or weak objects (nm's
# "u" from GCC, "V" from Clang: the inline constant tables the correctly
# rounded functions share) are data, the same bytes in every object, and are
# let through.
#   bash tools/check-lane-symbols.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
status=0
objects=$(find "$build" -path '*src/lanes/path_*.cpp.o')
[ -n "$objects" ] || { echo "no lane path objects under $build" >&2; exit 1; }
for object in $objects; do
  path=$(basename "$object" .cpp.o)
  path=${path#path_}
  leaks=$(nm -C --defined-only --extern-only "$object" |
    grep -v -E " tarvik::lanes::detail::[a-z0-9_]+_${path}\(| DW\.ref\.__gxx_personality_v0$| [uV] " || true)
  if [ -n "$leaks" ]; then
    echo "$object defines shared symbols besides its entry points:" >&2
    echo "$leaks" >&2
    status=1
  fi
done
exit $status
