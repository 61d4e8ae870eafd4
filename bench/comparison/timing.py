"""How the contenders are timed: rounds in which they take turns, the cost of
a scalar call, parallel against serial over batch lengths, two Python
threads against one."""

import gc
import math
import threading
import time
import timeit

import numpy as np
import tarvik
from option_sets import FORWARD

from comparison.greeks import numpy_black
from comparison.settings import SWEEP_TOP

# ----------------------------------------------------------------------------
# Timing

def race(fns, reps):
    """Runs each zero-argument function once to warm it up (keeping what it
    returns), then `reps` rounds in which they take turns. Returns, per key,
    the best wall time in seconds, the CPU time of that round over its wall
    time, and the result of the warm-up call."""
    results = {key: fn() for key, fn in fns.items()}
    times = {key: [] for key in fns}
    keys = list(fns)
    gc.collect()
    gc.disable()
    try:
        for r in range(reps):
            for key in keys[r % len(keys):] + keys[:r % len(keys)]:
                w0, c0 = time.perf_counter(), time.process_time()
                fns[key]()
                times[key].append((time.perf_counter() - w0, time.process_time() - c0))
    finally:
        gc.enable()
    out = {}
    for key, t in times.items():
        wall, cpu = min(t)
        out[key] = {"seconds": wall, "cpu": cpu / wall, "result": results[key]}
    return out


# ----------------------------------------------------------------------------
# Scalar call costs

def scalar_costs(reps, number):
    setup = "from tarvik import black_price, implied_volatility; from math import erfc"
    stmts = {
        "empty": "pass",
        "erfc": "erfc(0.3)",
        "positional": "black_price(100.0, 100.0, 1.0, 0.2, True)",
        "keyword": "black_price(forward=100.0, strike=100.0, maturity=1.0, volatility=0.2, "
                   "is_call=True)",
        "iv": "implied_volatility(7.965567455405804, 100.0, 100.0, 1.0, True)",
    }
    timers = {k: timeit.Timer(s, setup) for k, s in stmts.items()}
    best = {k: math.inf for k in stmts}
    for _ in range(reps):
        for k, t in timers.items():
            best[k] = min(best[k], t.timeit(number) / number * 1e9)
    return best


# ----------------------------------------------------------------------------
# Parallel against serial over batch lengths

def sweep_sizes(quick):
    per_decade = 4 if quick else 8
    sizes = np.unique(np.round(np.geomspace(10, SWEEP_TOP, 5 * per_decade + 1)).astype(int))
    return sorted(set(sizes.tolist()) | {64})


def sweep(calls, lbriv_vec, quick):
    """Per-call times of each contender at every batch length, on the first
    n calls of the near set. In each round every contender makes a run of
    calls lasting about a millisecond (at least two calls while a call is
    shorter than 5 ms), each call timed alone; the contenders take turns, so
    the first call of a run comes after a millisecond or more of other work
    (the pool's workers have had time to sleep) and the others straight after
    a call of their own. Returns, per n and contender, the median of the
    calls after the first ("back to back") and of the first ones ("after a
    pause"), in seconds; where a call lasts 5 ms or more both are the median
    of all calls."""
    p, k, t, v = calls.price, calls.strike, calls.maturity, calls.vol
    ivs, bp = tarvik.implied_volatilities, tarvik.black_prices
    out = []
    budget = 0.08 if quick else 0.25
    clock = time.perf_counter
    for n in sweep_sizes(quick):
        pn, kn, tn, vn = p[:n], k[:n], t[:n], v[:n]
        fns = {
            "iv_serial": lambda: ivs(pn, FORWARD, kn, tn, True),
            "iv_parallel": lambda: ivs(pn, FORWARD, kn, tn, True, parallel=True),
            "black_serial": lambda: bp(FORWARD, kn, tn, vn, True),
            "black_parallel": lambda: bp(FORWARD, kn, tn, vn, True, parallel=True),
            "black_numpy": lambda: numpy_black(kn, tn, vn, True),
        }
        if lbriv_vec is not None:
            fns["iv_peer"] = lambda: lbriv_vec(pn, FORWARD, kn, 1)
        inner, once = {}, {}
        for key, fn in fns.items():
            fn()
            w0 = clock()
            fn()
            once[key] = clock() - w0
            inner[key] = 1 if once[key] >= 5e-3 else max(2, int(1e-3 / max(once[key], 1e-9)))
        round_cost = sum(inner[key] * once[key] for key in fns)
        rounds = int(min(41, max(5, budget / round_cost)))
        first = {key: [] for key in fns}
        rest = {key: [] for key in fns}
        gc.disable()
        try:
            for _ in range(rounds):
                for key, fn in fns.items():
                    for i in range(inner[key]):
                        w0 = clock()
                        fn()
                        (rest if i else first)[key].append(clock() - w0)
        finally:
            gc.enable()
        row = {"n": n}
        for key in fns:
            both = first[key] + rest[key]
            row[key] = float(np.median(rest[key] or both))
            row[key + "_pause"] = float(np.median(first[key] if rest[key] else both))
        out.append(row)
    return out


# ----------------------------------------------------------------------------
# Two Python threads against one

def threads_run(price, strike, maturity, reps):
    ivs = tarvik.implied_volatilities
    half = len(price) // 2
    parts = [(price[:half], strike[:half], maturity[:half]),
             (price[half:], strike[half:], maturity[half:])]

    def one():
        ivs(price, FORWARD, strike, maturity, True)

    def two():
        barrier = threading.Barrier(3)

        def work(p, k, t):
            barrier.wait()
            ivs(p, FORWARD, k, t, True)
        threads = [threading.Thread(target=work, args=part) for part in parts]
        for th in threads:
            th.start()
        barrier.wait()
        for th in threads:
            th.join()

    best = {"one": (math.inf, 0.0), "two": (math.inf, 0.0)}
    for _ in range(reps):
        for key, fn in (("one", one), ("two", two)):
            w0, c0 = time.perf_counter(), time.process_time()
            fn()
            wall, cpu = time.perf_counter() - w0, time.process_time() - c0
            if wall < best[key][0]:
                best[key] = (wall, cpu / wall)
    return best
