#!/usr/bin/env bash
# Runs the whole test suite against the wheel in dist/ for this machine's
# architecture, installed into a
# fresh venv (tarvik imported from site-packages, not from a build tree), on
# CPython 3.9 and 3.13 from pyenv with NumPy 1.26 and the newest NumPy 2.x
# each interpreter takes, and the newest pyarrow for each (the CSV engine of
# python -m tarvik). NumPy 1.26 has no wheels for 3.13 and the newest
# 2.x no longer supports 3.9, so the matrix is what exists:
#   3.9 with 1.26, 3.13 with the newest 2.x;
# and 3.9 with the last 2.x for 3.9 (2.0) when TARVIK_WHEEL_NUMPY20=1. CI
# leaves that one out: its Debian 11 root runs the whole suite on CPython
# 3.9 with NumPy 2.0 (tools/test-debian-root.sh).
#   bash tools/test-wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(ls dist/tarvik-*"_$(uname -m)".whl)
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}

numpy39="numpy==1.26.*"
[ "${TARVIK_WHEEL_NUMPY20:-0}" = 1 ] && numpy39="$numpy39 numpy>=2"
for case in "3.9 $numpy39" "3.13 numpy>=2"; do
  read -r version numpys <<<"$case"
  python=$(ls -d "$pyenv_root"/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -n 1)
  [ -n "$python" ] || { echo "no CPython $version under $pyenv_root"; exit 1; }
  venv=.venv-wheel-$version
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q pytest hypothesis mpmath mypy pyarrow
  "$venv/bin/python" -m pip install -q --no-deps "$wheel"
  for numpy in $numpys; do
    "$venv/bin/python" -m pip install -q "$numpy"
    "$venv/bin/python" - <<'PY'
import sys, sysconfig, numpy, tarvik
site = sysconfig.get_paths()["platlib"]
assert tarvik.__file__.startswith(site), f"tarvik from {tarvik.__file__}, not {site}"
print(f"CPython {sys.version.split()[0]}, NumPy {numpy.__version__}: {tarvik.__file__}")
PY
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  done
done
