"""Fixed, seeded batch calls whose instruction counts (callgrind, less those
of the setup alone, workload "none") compare two trees without the machine's
drift: bench/instruction-counts.sh runs each workload under valgrind.

  python3 bench/instruction_workloads.py none|iv|prices|greeks|american
"""
import sys

import numpy as np
import tarvik

N = 20_000
rng = np.random.default_rng(7)
F, K = rng.uniform(50, 150, N), rng.uniform(50, 150, N)
T, V = rng.uniform(0.05, 3, N), rng.uniform(0.05, 0.8, N)
P = tarvik.black_prices(F, K, T, V, True)

WORKLOADS = {
    "none": lambda: None,
    "iv": lambda: tarvik.implied_volatilities(P, F, K, T, True),
    "prices": lambda: tarvik.black_prices(F, K, T, V, True),
    "greeks": lambda: tarvik.black_greeks(F, K, T, V, True),
    "american": lambda: tarvik.american_prices(F[:200], K[:200], T[:200], 0.03, 0.01, V[:200],
                                               False),
}

if __name__ == "__main__":
    WORKLOADS[sys.argv[1]]()
