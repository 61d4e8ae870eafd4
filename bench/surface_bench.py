"""Smiles and surfaces: time of tarvik.surface.fit and of the evaluation.

A seeded chain of 30 expiries from a week to three years, 100 strikes each,
from raw SVI smiles of equity-index shape with relative noise on the
volatilities and a bid/ask of +-0.5 vol point: the time of one expiry's fit
(smile="svi"), of the whole surface, the share of quotes whose fitted
volatility lies within the bid/ask, and the arbitrage report; then the
evaluation of 10^6 (strike, maturity) points, serial and on the pool, with
the same bits. Processor or wall time as marked; compare within one run.

  python bench/surface_bench.py [--seed 29] [--noise 0.003] [--points 1000000]
"""
import argparse
import time

import numpy as np

from tarvik import surface


def chain(seed, noise, expiries=30, strikes=100):
    rng = np.random.default_rng(seed)
    T = np.repeat(np.geomspace(7 / 365, 3.0, expiries), strikes)
    F = 100.0 * np.exp(0.03 * T)
    z = np.tile(np.linspace(-3.0, 2.5, strikes), expiries)
    K = F * np.exp(z * 0.2 * np.sqrt(T))
    k = np.log(K / F)
    w = 0.04 * T + 0.12 * np.sqrt(T) * (-0.6 * (k - 0.01) + np.sqrt((k - 0.01) ** 2 + 0.02 * T))
    vols = np.sqrt(w / T) * (1 + noise * rng.standard_normal(T.size))
    return K, F, T, vols


def best_of(f, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.process_time()
        f()
        times.append(time.process_time() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=29)
    parser.add_argument("--noise", type=float, default=0.003)
    parser.add_argument("--points", type=int, default=1_000_000)
    args = parser.parse_args()
    K, F, T, vols = chain(args.seed, args.noise)
    bid, ask = vols - 0.005, vols + 0.005
    first = T == T[0]
    one = best_of(lambda: surface.fit(K[first], F[first], T[first], vols[first],
                                      bid_vols=bid[first], ask_vols=ask[first]))
    whole = best_of(lambda: surface.fit(K, F, T, vols, bid_vols=bid, ask_vols=ask), 3)
    s = surface.fit(K, F, T, vols, bid_vols=bid, ask_vols=ask)
    fitted = s.implied_volatilities(K, T)
    inside = np.mean((fitted >= bid) & (fitted <= ask))
    report = s.check()
    print(f"fit, one expiry of 100 strikes (svi): {one * 1e3:.3f} ms")
    print(f"fit, 30 expiries, 3,000 quotes (svi): {whole * 1e3:.1f} ms")
    print(f"within bid/ask: {inside:.1%}; every smile free of butterfly arbitrage: "
          f"{all(x['free'] for x in report['slices'])}; calendar: {report['calendar']}")
    rng = np.random.default_rng(args.seed)
    k = rng.uniform(-1.0, 1.0, args.points)
    t = rng.uniform(0.01, 3.0, args.points)
    serial = best_of(lambda: s.total_variance(k, t))
    t0 = time.perf_counter()
    pooled = s.total_variance(k, t, parallel=True)
    wall = time.perf_counter() - t0
    same = pooled.tobytes() == s.total_variance(k, t).tobytes()
    print(f"evaluation: {serial / args.points * 1e9:.1f} ns a point serial (process time), "
          f"{wall / args.points * 1e9:.1f} ns on the pool (wall), same bits: {same}")


if __name__ == "__main__":
    main()
