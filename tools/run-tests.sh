#!/usr/bin/env bash
# Runs every test of tarvik: the C++ unit tests of the core (through ctest)
# and the Python tests (pytest) against a fresh build of the extension.
# Installs what is missing first: GoogleTest from Debian's packages and the
# Python packages of requirements-test.txt into the active Python.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARVIK_BUILD_DIR:-build}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q -r requirements-test.txt

bash tools/dev-build.sh "$build"
ctest --test-dir "$build" --output-on-failure
bash tools/check-lane-symbols.sh "$build"
PYTHONPATH="$build/pkg" python3 -m pytest -q tests
