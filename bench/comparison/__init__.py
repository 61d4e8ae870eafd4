"""The pieces of bench/compare.py, in the order of a run:

  settings  the sizes of the sets and samples, the set names
  solvers   the inputs as each contender takes them, and the implied-volatility
            contenders: tarvik's functions and the peers that import here (and
            py_vollib_vectorized, run in a venv of its own)
  greeks    prices, deltas and vegas beside the NumPy/SciPy expressions
  timing    rounds in which the contenders take turns, scalar call costs,
            parallel against serial over batch lengths, two threads against one
  accuracy  50-digit mpmath inversions of the double prices, and the errors
  report    the tables, the PASS/FAIL line of each target and the digests
"""
