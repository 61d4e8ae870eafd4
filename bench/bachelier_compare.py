"""The normal model's implied volatility: its speed beside black_prices and
beside QuantLib, and its accuracy beside QuantLib's, from one run.

    PYTHONPATH=build/pkg python3 bench/bachelier_compare.py [--n N] [--quick] [--cpu]

Two seeded sets of n options (default 200,000) with forwards and strikes of
either sign (rates-like: F in [-1%, 5%], sigma sqrt T from 10 to 300 basis
points): "near the money" (u = |F - K|/(sigma sqrt T) up to 3) and
"stressed" (u up to 30, both sides). Prints ns per option of

  * tarvik.bachelier_implied_volatilities, serial and parallel, and
    tarvik.bachelier_prices serial on the same options (both run in the
    vector lanes of the widest path the processor offers: printed as the
    processor's flags name it);
  * tarvik.black_prices on the same n (F = 100, K = 60..160, sigma 0.05..1),
    the yardstick of the target "at most 1.5x black_prices";
  * QuantLib's bachelierBlackFormulaImpliedVol in a Python loop (on the first
    20,000 options; one call per option, argument tuples built beforehand),
    the yardstick of "at least 20x faster";

each the best of several rounds in which the contenders take turns (compare
ratios within one run: the machine is shared; with --cpu, the processor time
of this process instead of wall time, which a loaded machine inflates less,
and no parallel run, whose processor time is the sum of its threads'), and
the maximum and median
relative error of tarvik and of QuantLib against the exact inverse (50-digit
mpmath) of the same double prices, over 2,000 options of each set, and the
worst in units of eps max(1, kappa).
"""

import argparse
import math
import statistics
import time

import mpmath as mp
import numpy as np
import tarvik

try:
    import QuantLib as ql
except ImportError:  # reported and skipped
    ql = None

mp.mp.dps = 50
EPS = 2.0**-52


def option_set(n, u_max, seed):
    rng = np.random.default_rng(seed)
    forward = rng.uniform(-0.01, 0.05, n)
    maturity = rng.uniform(0.25, 10.0, n)
    s = rng.uniform(0.001, 0.03, n)
    vol = s / np.sqrt(maturity)
    u = rng.uniform(0.0, u_max, n)
    strike = forward + np.where(rng.random(n) < 0.5, -1.0, 1.0) * u * s
    is_call = rng.random(n) < 0.5
    prices = tarvik.bachelier_prices(forward, strike, maturity, vol, is_call)
    return prices, forward, strike, maturity, vol, is_call


def lane_path():
    """The lane path the core picks: the widest of AVX-512F and AVX2 the
    processor and the operating system offer (the flags /proc/cpuinfo lists),
    else the portable one."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = set(next((line for line in f if line.startswith("flags")), "").split())
    except OSError:
        return "unknown (no /proc/cpuinfo)"
    return "avx512" if "avx512f" in flags else "avx2" if "avx2" in flags else "portable"


def best_of(rounds, contenders, clock=time.perf_counter):
    """Seconds per contender, the best of `rounds` turns taken in rotation."""
    best = {name: math.inf for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            t0 = clock()
            fn()
            best[name] = min(best[name], clock() - t0)
    return best


def exact_inverse(price, forward, strike, maturity, is_call, start):
    f, k, t = mp.mpf(forward), mp.mpf(strike), mp.mpf(maturity)
    x = f - k if is_call else k - f
    v, a = mp.mpf(price) - max(x, 0), abs(x)
    s = mp.mpf(start) * mp.sqrt(t)
    for _ in range(100):
        u = a / s
        g = s * mp.npdf(u) - a * mp.ncdf(-u)
        step = (mp.log(g) - mp.log(v)) * g / mp.npdf(u)
        s = s - step if step < s else s / 2
        if abs(step) < s * mp.mpf(10) ** -40:
            break
    return s / mp.sqrt(t)


def errors(values, data, count):
    """Worst and median relative error, and worst in units of eps max(1, kappa)
    (kappa = P/(sigma dP/dsigma), the condition number of sigma in the price:
    deep in the money a price keeps few digits of its time value)."""
    prices, forward, strike, maturity, _, is_call = data
    out, scaled = [], []
    for i in range(count):
        intrinsic = max(forward[i] - strike[i] if is_call[i] else strike[i] - forward[i], 0.0)
        if not prices[i] > intrinsic:
            continue
        if not (math.isfinite(values[i]) and values[i] > 0):
            out.append(1.0)
            scaled.append(math.inf)
            continue
        exact = exact_inverse(prices[i], forward[i], strike[i], maturity[i], bool(is_call[i]),
                              tarvik.bachelier_implied_volatility(prices[i], forward[i], strike[i],
                                                                  maturity[i], bool(is_call[i])))
        root_t = mp.sqrt(maturity[i])
        vega = root_t * mp.npdf((mp.mpf(forward[i]) - strike[i]) / (exact * root_t))
        kappa = mp.mpf(prices[i]) / (exact * vega)
        out.append(float(abs(values[i] / exact - 1)))
        scaled.append(out[-1] / EPS / max(1.0, float(kappa)))
    return max(out), statistics.median(out), max(scaled)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--cpu", action="store_true")
    args = parser.parse_args()
    clock = time.process_time if args.cpu else time.perf_counter
    n, rounds = args.n, (3 if args.quick else 7)
    n_ql, n_err = (2_000, 300) if args.quick else (20_000, 2_000)
    rng = np.random.default_rng(7)
    bf = np.full(n, 100.0)
    bk = rng.uniform(60.0, 160.0, n)
    bt = rng.uniform(0.1, 5.0, n)
    bv = rng.uniform(0.05, 1.0, n)
    bc = rng.random(n) < 0.5
    print(f"n = {n}; ns per option ({'processor' if args.cpu else 'wall'} time), best of "
          f"{rounds} rounds taken in turns; lane path {lane_path()}")
    for label, u_max, seed in (("near the money", 3.0, 1), ("stressed", 30.0, 2)):
        data = prices, forward, strike, maturity, vol, is_call = option_set(n, u_max, seed)
        contenders = {
            "bachelier_implied_volatilities serial":
                lambda: tarvik.bachelier_implied_volatilities(prices, forward, strike, maturity,
                                                              is_call),
            "bachelier_implied_volatilities parallel":
                lambda: tarvik.bachelier_implied_volatilities(prices, forward, strike, maturity,
                                                              is_call, parallel=True),
            "bachelier_prices serial":
                lambda: tarvik.bachelier_prices(forward, strike, maturity, vol, is_call),
            "black_prices serial": lambda: tarvik.black_prices(bf, bk, bt, bv, bc),
        }
        rows = []
        if ql is not None:
            call, put = ql.Option.Call, ql.Option.Put
            rows = [(call if is_call[i] else put, float(strike[i]), float(forward[i]),
                     float(maturity[i]), float(prices[i])) for i in range(n_ql)]
            qiv = ql.bachelierBlackFormulaImpliedVol
            contenders["QuantLib bachelierBlackFormulaImpliedVol loop"] = (
                lambda: [qiv(*r) for r in rows])
        if args.cpu:
            del contenders["bachelier_implied_volatilities parallel"]
        best = best_of(rounds, contenders, clock)
        per = {k: v / (n_ql if k.startswith("QuantLib") else n) * 1e9 for k, v in best.items()}
        print(f"\n{label} (u up to {u_max:g})")
        for k, v in per.items():
            print(f"  {k:48s} {v:9.1f} ns")
        serial = per["bachelier_implied_volatilities serial"]
        ratio = serial / per["black_prices serial"]
        print(f"  serial / black_prices = {ratio:.2f} (target <= 1.5: "
              f"{'PASS' if ratio <= 1.5 else 'FAIL'})")
        ours = tarvik.bachelier_implied_volatilities(prices, forward, strike, maturity, is_call)
        worst, median, scaled = errors(ours, data, n_err)
        print(f"  tarvik   max rel error {worst:.3g}, median {median:.3g}; "
              f"worst {scaled:.2f} eps max(1, kappa)")
        if ql is not None:
            speedup = per["QuantLib bachelierBlackFormulaImpliedVol loop"] / serial
            print(f"  QuantLib loop / tarvik serial = {speedup:.0f}x (target >= 20: "
                  f"{'PASS' if speedup >= 20 else 'FAIL'})")
            theirs = []
            for r in rows[:n_err]:
                try:
                    theirs.append(qiv(*r))
                except RuntimeError:
                    theirs.append(math.nan)
            worst, median, scaled = errors(np.array(theirs), data, min(n_err, n_ql))
            print(f"  QuantLib max rel error {worst:.3g}, median {median:.3g}; "
                  f"worst {scaled:.3g} eps max(1, kappa) (QuantLib {ql.__version__}; a 0 or "
                  "NaN counts as error 1)")
        else:
            print("  QuantLib not installed: skipped")


if __name__ == "__main__":
    main()
