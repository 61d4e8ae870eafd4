"""Sizes and names shared by the pieces of bench/compare.py."""

import os

N = 200_000
SAMPLE = 2_000             # options per set inverted by mpmath for the accuracy figures
SLOW_LOOP_SAMPLE = 10_000  # options per set timed for the pure-Python solvers
SWEEP_TOP = 10**6
THREADS_N = 10**7
SET_NAMES = ("near", "stressed")
SET_TITLES = {"near": "near the money", "stressed": "stressed"}
POOL_THREADS = int(os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
                   or os.cpu_count())
