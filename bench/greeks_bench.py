"""Every Greek in one pass against the single batch functions: the time of
black_greeks (and black_scholes_greeks) over that of black_prices
(black_scholes_prices) on the same 10^6 seeded options, and of the seven
single calls, best of several rounds, serial:

  PYTHONPATH=build/pkg python3 bench/greeks_bench.py [n] [rounds]
"""

import sys
import time

import numpy as np
import tarvik


def best(fn, rounds):
    fastest = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    rng = np.random.default_rng(1)
    f, k = (100.0 * np.exp(rng.normal(0.0, 0.2, n)) for _ in range(2))
    t, v, call = rng.uniform(0.05, 3.0, n), rng.uniform(0.05, 0.8, n), rng.random(n) < 0.5
    prices = best(lambda: tarvik.black_prices(f, k, t, v, call), rounds)
    greeks = best(lambda: tarvik.black_greeks(f, k, t, v, call), rounds)
    seven = best(lambda: [tarvik.black_prices(f, k, t, v, call), tarvik.deltas(f, k, t, v, call)]
                 + [g(f, k, t, v) for g in (tarvik.gammas, tarvik.vegas, tarvik.thetas,
                                            tarvik.vannas, tarvik.vommas)], rounds)
    spot_prices = best(lambda: tarvik.black_scholes_prices(f, k, t, 0.03, 0.01, v, call), rounds)
    spot_greeks = best(lambda: tarvik.black_scholes_greeks(f, k, t, 0.03, 0.01, v, call), rounds)
    print(f"n = {n:,}, best of {rounds}, serial:")
    print(f"  black_prices {prices * 1e3:7.1f} ms; black_greeks {greeks * 1e3:7.1f} ms "
          f"({greeks / prices:.2f}x); seven single calls {seven * 1e3:7.1f} ms "
          f"({seven / prices:.2f}x)")
    print(f"  black_scholes_prices {spot_prices * 1e3:7.1f} ms; black_scholes_greeks "
          f"{spot_greeks * 1e3:7.1f} ms ({spot_greeks / spot_prices:.2f}x)")


if __name__ == "__main__":
    main()
