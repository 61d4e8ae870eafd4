#!/usr/bin/env bash
# Runs every test of tarvik: the C++ unit tests of the core (through ctest)
# and the Python tests (pytest) against a fresh build of the extension.
# Installs what is missing first: GoogleTest and MPFR (the reference of the
# correct-rounding check) from Debian's packages and the Python packages of
# requirements-test.txt into the active Python, which is
# the virtual environment .venv of the README's first command when no other
# one is active (a system Python may refuse installs: PEP 668).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${VIRTUAL_ENV:-}" ] && [ -x .venv/bin/python3 ]; then
  export PATH="$PWD/.venv/bin:$PATH"
fi
build=${TARVIK_BUILD_DIR:-build}

if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/mpfr.h ]; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev libmpfr-dev >/dev/null
fi
python3 -m pip install -q -r requirements-test.txt

bash tools/dev-build.sh "$build"
ctest --test-dir "$build" --output-on-failure
bash tools/check-lane-symbols.sh "$build"
PYTHONPATH="$build/pkg" python3 -m pytest -q tests
