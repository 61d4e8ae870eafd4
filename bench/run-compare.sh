#!/usr/bin/env bash
# Every speed comparison of tarvik with its peers, in one go:
#   bash bench/run-compare.sh [--quick]
# 1. builds tarvik's wheel and installs it with the benchmark extras
#    (pip install tarvik[bench]: lbriv, QuantLib, vollib, SciPy, mpmath,
#    matplotlib) into .venv-bench;
# 2. makes .venv-bench-numpy1, the older environment py_vollib_vectorized
#    needs (NumPy < 2, numba < 0.60, py_lets_be_rational 1.0.1, py_vollib
#    1.0.1), with the same wheel, from the first CPython 3.9-3.12 it finds;
# 3. runs bench/compare.py, which prints the tables (also kept in
#    build-bench-compare/report.md) and writes build-bench-compare/results.json;
# 4. plots docs/bench-batch-length.png from them (bench/plot_batch_length.py).
# A peer that does not install is reported as such and skipped. PYTHON sets
# the interpreter of .venv-bench (default python3), VECTORIZED_PYTHON that of
# .venv-bench-numpy1. Run it on an otherwise idle machine (check `uptime`):
# the parallel figures mean nothing while other jobs hold the cores.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-bench-compare
mkdir -p "$out"
pip_q() { "$@" -q --disable-pip-version-check; }
first_error() { grep -m1 ERROR "$1" || tail -n1 "$1"; }

# 1. The wheel and the main venv.
[ -x .venv-bench/bin/python ] || "${PYTHON:-python3}" -m venv .venv-bench
py=.venv-bench/bin/python
rm -rf "$out/wheel"
echo "building tarvik's wheel" >&2
pip_q "$py" -m pip wheel --no-deps . -w "$out/wheel" >/dev/null
wheel=$(ls "$out"/wheel/tarvik-*.whl)
missing=()
if ! pip_q "$py" -m pip install "$wheel[bench]" >"$out/pip-bench.log" 2>&1; then
  # Install what the benchmark cannot do without, then each peer on its own.
  pip_q "$py" -m pip install "$wheel" scipy mpmath matplotlib
  for peer in lbriv QuantLib vollib; do
    if ! pip_q "$py" -m pip install "$peer" >"$out/pip-$peer.log" 2>&1; then
      missing+=(--missing "$peer=pip install failed: $(first_error "$out/pip-$peer.log")")
    fi
  done
fi
pip_q "$py" -m pip install --force-reinstall --no-deps "$wheel" >/dev/null

# 2. The older environment for py_vollib_vectorized.
old_python() {
  if [ -n "${VECTORIZED_PYTHON:-}" ]; then echo "$VECTORIZED_PYTHON"; return; fi
  local v full
  for v in 3.11 3.12 3.10 3.9; do
    if command -v "python$v" >/dev/null && "python$v" -c '' 2>/dev/null; then
      echo "python$v"; return
    fi
    if command -v pyenv >/dev/null && full=$(pyenv latest "$v" 2>/dev/null) \
        && [ -x "$(pyenv root)/versions/$full/bin/python" ]; then
      echo "$(pyenv root)/versions/$full/bin/python"; return
    fi
  done
  return 1
}
vec=.venv-bench-numpy1
vectorized=()
if ! old=$(old_python); then
  vectorized=(--vectorized-skip "no CPython 3.9-3.12 found for numba < 0.60")
elif { [ -x "$vec/bin/python" ] || "$old" -m venv "$vec"; } \
    && pip_q "$vec/bin/python" -m pip install "numpy<2" "numba<0.60" "py_lets_be_rational==1.0.1" \
         "py_vollib==1.0.1" py_vollib_vectorized >"$out/pip-vectorized.log" 2>&1 \
    && pip_q "$vec/bin/python" -m pip install --force-reinstall --no-deps "$wheel" \
         >>"$out/pip-vectorized.log" 2>&1; then
  vectorized=(--vectorized-python "$vec/bin/python")
else
  vectorized=(--vectorized-skip "pip install failed: $(first_error "$out/pip-vectorized.log")")
fi

# 3. and 4. The comparison and the plot. OPENBLAS_CORETYPE and
# OPENBLAS_L2_SIZE, where the machine sets them, would slow NumPy down.
uptime >&2 || true
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$py" bench/compare.py --json "$out/results.json" \
  "${vectorized[@]}" "${missing[@]}" "$@" | tee "$out/report.md"
"$py" bench/plot_batch_length.py "$out/results.json" docs/bench-batch-length.png
