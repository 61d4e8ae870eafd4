"""tarvik beside its peers, every figure from one run.

  bash bench/run-compare.sh          (makes the venvs, then runs this)

Over the two seeded sets of out-of-the-money options on F = 100 of
bench/iv_bench.cpp ("near the money" and "stressed", see option_sets.py),
n = 200,000 options each, this prints:

  * ns per option of tarvik's implied_volatilities (serial and parallel), of
    every peer that is installed (lbriv vectorised and in a Python loop,
    py_vollib_vectorized in its own venv, vollib, QuantLib's
    blackFormulaImpliedStdDev, scipy.optimize.brentq on the price), of the
    scalar implied_volatility in a Python loop, and of black_prices, deltas
    and vegas beside the NumPy/SciPy expressions a user would write;
  * the maximum and median relative error of every implied-volatility
    solver against a 50-digit mpmath inversion of the same double prices;
  * the cost of a scalar black_price call, positional and by keyword,
    beside math.erfc in the same loop;
  * parallel against serial over batch lengths from 10 to 10^6;
  * two Python threads against one over 10^7 implied volatilities;
  * a PASS/FAIL line per target, each a ratio of two figures of this run;
  * the digests of the result bits, to compare with a run before a change.

Batch functions take one is_call flag, so every batch (tarvik's and the
peers') runs as two calls, over the calls of a set and then over its puts,
with the forward passed as the float 100.0. Python loops run over Python
floats, one call per option, `[f(*args) for args in rows]` with the argument
tuples built beforehand. Peers that return a total volatility (lbriv,
QuantLib) are divided by sqrt(T) outside the timed region. Every timing is
the best of several rounds in which the contenders take turns, so that drift
on a shared machine hits all of them alike; compare ratios, not runs.

Usage (bench/run-compare.sh passes these):
  python bench/compare.py [--json PATH] [--vectorized-python PATH |
      --vectorized-skip REASON] [--missing PEER=REASON ...] [--quick]
  python bench/compare.py --from-json PATH     (the report of a saved run)
"""

import argparse
import datetime
import gc
import json
import math
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time
import timeit
from importlib import metadata

import numpy as np
import tarvik
from option_sets import FORWARD, OptionSet, digest
from scipy.optimize import brentq
from scipy.special import ndtr

N = 200_000
SAMPLE = 2_000             # options per set inverted by mpmath for the accuracy figures
SLOW_LOOP_SAMPLE = 10_000  # options per set timed for the pure-Python solvers
SWEEP_TOP = 10**6
THREADS_N = 10**7
SET_NAMES = ("near", "stressed")
SET_TITLES = {"near": "near the money", "stressed": "stressed"}
POOL_THREADS = int(os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
                   or os.cpu_count())


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
# Inputs as each contender takes them

class Block:
    """The options of one flag (calls or puts) among some indices of a set,
    as contiguous arrays; rows() gives them as tuples of Python floats."""

    def __init__(self, options, flag, indices):
        self.flag = flag
        self.indices = indices
        self.price = np.ascontiguousarray(options.price[indices])
        self.strike = np.ascontiguousarray(options.strike[indices])
        self.maturity = np.ascontiguousarray(options.maturity[indices])
        self.vol = np.ascontiguousarray(options.vol[indices])
        self.sqrt_t = np.sqrt(self.maturity)

    def rows(self, build):
        return [build(*r) for r in zip(self.price.tolist(), self.strike.tolist(),
                                       self.maturity.tolist(), self.sqrt_t.tolist())]


def blocks_of(options, indices=None):
    return [Block(options, flag, sel) for flag, sel in options.blocks(indices)]


def strided(n, m):
    return np.arange(0, n, n // m)[:m]


# ----------------------------------------------------------------------------
# Implied-volatility solvers: each `make(blocks)` returns a zero-argument
# function that inverts every block, and `vols(results, blocks)` turns what
# it returned into volatilities per block.

def loop(fn, rows_of):
    """A Python loop over prepared argument tuples, and the same loop with
    each call guarded, for solvers that raise on some inputs."""
    def make(blocks):
        rows = [rows_of(b) for b in blocks]

        def fast():
            return [[fn(*a) for a in r] for r in rows]

        def guarded():
            out = []
            for r in rows:
                res = []
                for a in r:
                    try:
                        res.append(fn(*a))
                    except Exception:
                        res.append(math.nan)
                out.append(res)
            return out
        try:
            fast()
        except Exception:
            return guarded
        return fast
    return make


def as_vol(results, blocks):
    return [np.asarray(r, dtype=np.float64) for r in results]


def total_to_vol(results, blocks):
    return [np.asarray(r, dtype=np.float64) / b.sqrt_t for r, b in zip(results, blocks)]


def zero_is_failure(convert):
    def vols(results, blocks):
        out = convert(results, blocks)
        for v in out:
            v[v == 0.0] = np.nan
        return out
    return vols


class Solver:
    def __init__(self, key, label, make, vols=as_vol, sample=None, reps=None):
        self.key, self.label, self.make, self.vols = key, label, make, vols
        self.sample = sample    # options timed, when fewer than the whole set
        self.reps = reps        # rounds, when fewer than the others


def tarvik_solvers():
    iv, ivs = tarvik.implied_volatility, tarvik.implied_volatilities

    def batch(parallel):
        def make(blocks):
            return lambda: [ivs(b.price, FORWARD, b.strike, b.maturity, b.flag, parallel=parallel)
                            for b in blocks]
        return make

    return [
        Solver("tarvik_serial", "`implied_volatilities`, serial", batch(False)),
        Solver("tarvik_parallel", f"`implied_volatilities`, parallel ({POOL_THREADS} threads)",
               batch(True)),
        Solver("tarvik_loop", "scalar `implied_volatility` in a Python loop (Python floats)",
               loop(iv, lambda b: b.rows(lambda p, k, t, st: (p, FORWARD, k, t, b.flag)))),
        Solver("tarvik_accurate", "`black_implied_volatilities` (log-moneyness to an ulp), serial",
               lambda blocks: lambda: [
                   tarvik.black_implied_volatilities(b.price, FORWARD, b.strike, b.maturity, b.flag)
                   for b in blocks]),
    ] + frame_solvers()


def frame_solvers():
    """tarvik.frame on a pandas DataFrame per block (price, strike, maturity,
    type), Greeks left out; skipped without pandas and narwhals."""
    try:
        import pandas as pd
        import tarvik.frame as tf
        tf._narwhals()
    except ImportError:
        return []

    def make(blocks):
        frames = [pd.DataFrame({"price": b.price, "strike": b.strike, "maturity": b.maturity,
                                "type": np.full(len(b.price), b.flag)}) for b in blocks]
        return lambda: [tf.implied_volatilities(df, forward=FORWARD, maturity="maturity",
                                                greeks=False)["iv"].to_numpy() for df in frames]

    return [Solver("tarvik_frame", "`tarvik.frame.implied_volatilities` (pandas)", make)]


def _black_minus(sigma, price, strike, sqrt_t, call):
    """Undiscounted Black-76 price at sigma, less the target price."""
    s = sigma * sqrt_t
    d1 = (math.log(FORWARD / strike) + 0.5 * s * s) / s
    d2 = d1 - s
    r = 0.7071067811865476
    if call:
        value = 0.5 * (FORWARD * math.erfc(-d1 * r) - strike * math.erfc(-d2 * r))
    else:
        value = 0.5 * (strike * math.erfc(d2 * r) - FORWARD * math.erfc(d1 * r))
    return value - price


def _brentq_vol(price, strike, sqrt_t, call):
    return brentq(_black_minus, 1e-6, 20.0, args=(price, strike, sqrt_t, call))


# Why a peer may be missing although `pip install .[bench]` ran.
INSTALL_NOTES = {"lbriv": "the bench extras install it on CPython 3.11 and later, "
                          "for which it has wheels"}


def peer_solvers(missing):
    """The peers that import here; `missing` collects why the others don't
    (keeping a reason given on the command line)."""
    def skip(peer, error):
        if peer not in missing:
            note = f"; {INSTALL_NOTES[peer]}" if peer in INSTALL_NOTES else ""
            missing[peer] = f"import failed: {error}{note}"
    out = []
    try:
        import lbriv
    except Exception as e:  # noqa: BLE001 - any failure to import skips the peer
        skip("lbriv", e)
    else:
        vec = lbriv.vectorized_implied_vol_strikes

        def make_vec(blocks):
            return lambda: [vec(b.price, FORWARD, b.strike, 1 if b.flag else -1) for b in blocks]
        out.append(Solver("lbriv_vec", "`lbriv.vectorized_implied_vol_strikes` (Cython)",
                          make_vec, total_to_vol))
        out.append(Solver("lbriv_loop", "scalar `lbriv.implied_vol` in the same loop",
                          loop(lbriv.implied_vol,
                               lambda b: b.rows(lambda p, k, t, st: (p, FORWARD, k,
                                                                     1 if b.flag else -1))),
                          zero_is_failure(total_to_vol)))
    try:
        import QuantLib as ql
    except Exception as e:  # noqa: BLE001
        skip("QuantLib", e)
    else:
        call, put = ql.Option.Call, ql.Option.Put
        out.append(Solver("quantlib", "QuantLib `blackFormulaImpliedStdDev`, Python loop "
                          "(default accuracy)",
                          loop(ql.blackFormulaImpliedStdDev,
                               lambda b: b.rows(lambda p, k, t, st: (call if b.flag else put,
                                                                     k, FORWARD, p))),
                          total_to_vol))
    try:
        from vollib.black.implied_volatility import implied_volatility as vollib_iv
    except Exception as e:  # noqa: BLE001
        skip("vollib", e)
    else:
        out.append(Solver("vollib", f"`vollib.black.implied_volatility`, Python loop "
                          f"({SLOW_LOOP_SAMPLE:,} options)",
                          loop(vollib_iv, lambda b: b.rows(
                              lambda p, k, t, st: (p, FORWARD, k, 0.0, t, "c" if b.flag else "p"))),
                          sample=SLOW_LOOP_SAMPLE, reps=3))
    out.append(Solver("brentq", f"`scipy.optimize.brentq` on the price, Python loop "
                      f"({SLOW_LOOP_SAMPLE:,} options)",
                      loop(_brentq_vol, lambda b: b.rows(lambda p, k, t, st: (p, k, st, b.flag))),
                      sample=SLOW_LOOP_SAMPLE, reps=3))
    return out


# ----------------------------------------------------------------------------
# Prices and Greeks beside the NumPy/SciPy expressions

def _d1(strike, maturity, vol):
    s = vol * np.sqrt(maturity)
    return (np.log(FORWARD / strike) + 0.5 * s * s) / s, s


def numpy_black(strike, maturity, vol, call):
    d1, s = _d1(strike, maturity, vol)
    d2 = d1 - s
    if call:
        return FORWARD * ndtr(d1) - strike * ndtr(d2)
    return strike * ndtr(-d2) - FORWARD * ndtr(-d1)


def numpy_delta(strike, maturity, vol, call):
    d1, _ = _d1(strike, maturity, vol)
    return ndtr(d1) if call else -ndtr(-d1)


def numpy_vega(strike, maturity, vol):
    d1, _ = _d1(strike, maturity, vol)
    return FORWARD * np.sqrt(maturity) * np.exp(-0.5 * d1 * d1) * 0.3989422804014327


def greek_contenders(blocks, whole):
    """Key -> (label, function) for black_prices, deltas and vegas."""
    bp, de, ve = tarvik.black_prices, tarvik.deltas, tarvik.vegas
    k, t, v = whole.strike, whole.maturity, whole.vol

    def per_block(fn):
        return lambda: [fn(b) for b in blocks]

    def by_flag(key, name, fn, numpy_label, numpy_fn):
        """Serial, parallel and NumPy over the blocks of calls and puts."""
        return {
            f"{key}_serial": (f"`{name}`, serial",
                              per_block(lambda b: fn(FORWARD, b.strike, b.maturity, b.vol, b.flag))),
            f"{key}_parallel": (f"`{name}`, parallel",
                                per_block(lambda b: fn(FORWARD, b.strike, b.maturity, b.vol, b.flag,
                                                       parallel=True))),
            f"{key}_numpy": (numpy_label,
                             per_block(lambda b: numpy_fn(b.strike, b.maturity, b.vol, b.flag))),
        }
    return {
        **by_flag("black", "black_prices", bp,
                  "NumPy/SciPy Black-76 expression (`scipy.special.ndtr`)", numpy_black),
        **by_flag("delta", "deltas", de, "NumPy/SciPy delta expression (`ndtr(d1)`)", numpy_delta),
        "vega_serial": ("`vegas`, serial", lambda: [ve(FORWARD, k, t, v)]),
        "vega_parallel": ("`vegas`, parallel", lambda: [ve(FORWARD, k, t, v, parallel=True)]),
        "vega_numpy": ("NumPy vega expression (`F sqrt(T) exp(-d1^2/2)/sqrt(2 pi)`)",
                       lambda: [numpy_vega(k, t, v)]),
    }


# ----------------------------------------------------------------------------
# Reference volatilities: 50-digit mpmath inversions of the double prices

def reference_vols(options, indices):
    from mpmath import mp, mpf

    mp.dps = 50

    def black(f, k, s, call):
        d1 = (mp.log(f / k) + s * s / 2) / s
        d2 = d1 - s
        if call:
            return f * mp.ncdf(d1) - k * mp.ncdf(d2)
        return k * mp.ncdf(-d2) - f * mp.ncdf(-d1)

    out = np.empty(len(indices))
    f = mpf(FORWARD)
    for j, i in enumerate(indices.tolist()):
        p, k = mpf(float(options.price[i])), mpf(float(options.strike[i]))
        sqrt_t = mp.sqrt(mpf(float(options.maturity[i])))
        call = bool(options.is_call[i])

        def excess(s):  # relative, so that tiny prices converge as well as large ones
            return black(f, k, s, call) / p - 1

        # Bracket the root around the volatility the price was made from,
        # widening until the sign changes, then close in on it.
        guess = mpf(float(options.vol[i])) * sqrt_t
        lo, hi = guess * (1 - mpf(2) ** -20), guess * (1 + mpf(2) ** -20)
        while excess(lo) > 0:
            lo /= 2
        while excess(hi) < 0:
            hi *= 2
        out[j] = float(mp.findroot(excess, (lo, hi), solver="anderson") / sqrt_t)
    return out


def errors(vols, reference):
    finite = np.isfinite(vols)
    rel = np.abs(vols[finite] - reference[finite]) / reference[finite]
    return {"max": float(rel.max()) if rel.size else math.nan,
            "median": float(np.median(rel)) if rel.size else math.nan,
            "failures": int((~finite).sum())}


def sample_vols(solver, blocks, positions, size):
    fn = solver.make(blocks)
    out = np.full(size, np.nan)
    for v, pos in zip(solver.vols(fn(), blocks), positions):
        out[pos] = v
    return out


# ----------------------------------------------------------------------------
# py_vollib_vectorized in its own environment

def run_vectorized_peer(python, sets, samples, reps):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "inputs.npz")
        arrays = {"names": np.array(SET_NAMES)}
        for name in SET_NAMES:
            o = sets[name]
            arrays.update({f"{name}_price": o.price, f"{name}_strike": o.strike,
                           f"{name}_maturity": o.maturity, f"{name}_is_call": o.is_call,
                           f"{name}_sample": samples[name]})
        np.savez(path, **arrays)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vectorized_peer.py")
        proc = subprocess.run([python, script, path, str(reps)], capture_output=True, text=True,
                              timeout=900)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["(no output)"])[-1]
        raise RuntimeError(f"its process failed: {tail}")
    return json.loads(proc.stdout)


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


# ----------------------------------------------------------------------------
# Reporting

def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def version_of(dist):
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def fmt_ns(x):
    if x is None or not math.isfinite(x):
        return "–"
    if x >= 1000:
        return f"{x:,.0f}"
    return f"{x:.0f}" if x >= 100 else f"{x:.1f}"


def fmt_err(x):
    return "–" if not math.isfinite(x) else f"{x:.1e}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--json", help="write every figure to this file (for bench/plot_batch_length.py)")
    ap.add_argument("--vectorized-python", help="interpreter of the venv with py_vollib_vectorized")
    ap.add_argument("--vectorized-skip", help="why py_vollib_vectorized is not there")
    ap.add_argument("--missing", action="append", default=[], metavar="PEER=REASON",
                    help="a peer that did not install, and why")
    ap.add_argument("--quick", action="store_true",
                    help="fewer rounds, a coarser sweep and 2*10^6 options in the thread test "
                         "(to try the script; the figures are noisier)")
    ap.add_argument("--from-json", metavar="PATH",
                    help="print the report of a run saved with --json, and measure nothing")
    args = ap.parse_args()
    if args.from_json:
        with open(args.from_json) as f:
            print_report(json.load(f))
        return
    reps = 3 if args.quick else 7
    started = time.perf_counter()
    load_start = os.getloadavg() if hasattr(os, "getloadavg") else None

    def say(msg):
        print(f"[{time.perf_counter() - started:6.1f} s] {msg}", file=sys.stderr, flush=True)

    say("generating the option sets")
    big = {"near": OptionSet("near", 2 * SWEEP_TOP + 50_000),   # about 10^6 calls for the sweep
           "stressed": OptionSet("stressed", SWEEP_TOP)}
    sets = {name: big[name].head(N) for name in SET_NAMES}
    samples = {name: strided(N, SAMPLE) for name in SET_NAMES}
    tarvik.black_prices(FORWARD, sets["near"].strike[:64], 1.0, 0.2, parallel=True)  # start the pool

    missing = dict(m.split("=", 1) for m in args.missing)
    solvers = tarvik_solvers() + peer_solvers(missing)
    report = {"n": N, "sample": SAMPLE, "slow_loop_sample": SLOW_LOOP_SAMPLE, "sets": {},
              "missing": missing}

    references = {}
    for name in SET_NAMES:
        o = sets[name]
        say(f"{name}: implied volatilities")
        full = blocks_of(o)
        slow = blocks_of(o, strided(N, SLOW_LOOP_SAMPLE))
        groups = {}
        for s in solvers:
            groups.setdefault((s.sample, s.reps), []).append(s)
        timed = {}
        for (sample, solver_reps), group in groups.items():
            bl = slow if sample else full
            res = race({s.key: s.make(bl) for s in group}, solver_reps or reps)
            for s in group:
                r = res[s.key]
                count = sample or N
                timed[s.key] = {"ns": r["seconds"] * 1e9 / count, "cpu": r["cpu"],
                                "vols": s.vols(r["result"], bl)}
        say(f"{name}: prices and Greeks")
        greeks = greek_contenders(full, o)
        # Each round is short (milliseconds): three times the rounds, so that
        # the best of them falls in a quiet moment of a shared machine.
        gres = race({k: fn for k, (_, fn) in greeks.items()}, 3 * reps)

        say(f"{name}: mpmath references")
        acc_blocks = blocks_of(o, samples[name])
        positions = [np.searchsorted(samples[name], b.indices) for b in acc_blocks]
        reference = references[name] = reference_vols(o, samples[name])
        accuracy = {s.key: errors(sample_vols(s, acc_blocks, positions, SAMPLE), reference)
                    for s in solvers}

        # Bits: the serial batch in generation order, and the other tarvik
        # paths against it.
        serial = np.empty(N)
        for b, v in zip(full, timed["tarvik_serial"]["vols"]):
            serial[b.indices] = v
        same = {}
        for key in ("tarvik_parallel", "tarvik_loop"):
            other = np.empty(N)
            for b, v in zip(full, timed[key]["vols"]):
                other[b.indices] = v
            same[key] = bool(np.array_equal(serial.view(np.uint64), other.view(np.uint64)))
        for key in ("black", "delta", "vega"):
            a = np.concatenate(gres[f"{key}_serial"]["result"])
            b = np.concatenate(gres[f"{key}_parallel"]["result"])
            same[f"{key}_parallel"] = bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))
        digests = {"implied_volatilities": f"{digest(serial):016x}"}
        for key, fname in (("black", "black_prices"), ("delta", "deltas"), ("vega", "vegas")):
            digests[fname] = f"{digest(np.concatenate(gres[f'{key}_serial']['result'])):016x}"
        agreement = {}
        for key in ("black", "delta", "vega"):
            a = np.concatenate(gres[f"{key}_serial"]["result"])
            b = np.concatenate(gres[f"{key}_numpy"]["result"])
            agreement[key] = float(np.max(np.abs(a - b) / np.maximum(np.abs(a), 1e-300)))

        report["sets"][name] = {
            "iv": {k: {"ns": v["ns"], "cpu": v["cpu"]} for k, v in timed.items()},
            "greeks": {k: {"ns": r["seconds"] * 1e9 / N, "cpu": r["cpu"]} for k, r in gres.items()},
            "accuracy": accuracy,
            "same_bits": same,
            "digests": digests,
            "numpy_agreement": agreement,
        }

    say("digests over the 10^6 options of bench/iv_bench.cpp")
    report["iv_bench_digests"] = {}
    for name in SET_NAMES:
        o = big[name].head(SWEEP_TOP)
        v = np.empty(SWEEP_TOP)
        for flag, sel in o.blocks():
            v[sel] = tarvik.implied_volatilities(o.price[sel], FORWARD, o.strike[sel],
                                                 o.maturity[sel], flag)
        report["iv_bench_digests"][name] = (f"{digest(v):016x}" if np.isfinite(v).all()
                                            else "(some results NaN: not comparable)")

    vec_python = args.vectorized_python
    if vec_python:
        say("py_vollib_vectorized, in its own process")
        try:
            vec = run_vectorized_peer(vec_python, sets, samples, reps)
        except Exception as e:  # noqa: BLE001 - a peer that fails is reported, not fatal
            missing["py_vollib_vectorized"] = str(e)
        else:
            report["vectorized"] = {"versions": vec["versions"]}
            for name in SET_NAMES:
                entry = vec["sets"][name]
                report["sets"][name]["iv"]["pvv"] = {"ns": entry["ns"], "cpu": entry["cpu"],
                                                     "tarvik_ns": entry.get("tarvik_ns")}
                vols = np.array(entry["sample_vols"], dtype=np.float64)
                report["sets"][name]["accuracy"]["pvv"] = errors(vols, references[name])
    else:
        missing["py_vollib_vectorized"] = args.vectorized_skip or "no venv given (--vectorized-python)"

    say("scalar call costs")
    report["scalar"] = scalar_costs(reps=5 if args.quick else 9,
                                    number=100_000 if args.quick else 400_000)

    say("parallel against serial over batch lengths")
    calls = big["near"].blocks()[0][1][:SWEEP_TOP]
    near_calls = Block(big["near"], True, calls)
    try:
        import lbriv
    except Exception:  # noqa: BLE001 - already reported with the table
        lbriv_vec = None
    else:
        lbriv_vec = lbriv.vectorized_implied_vol_strikes
    report["sweep"] = sweep(near_calls, lbriv_vec, args.quick)

    say("two Python threads against one")
    threads_n = 2 * 10**6 if args.quick else THREADS_N
    reps_threads = 1 if args.quick else 2
    tiles = -(-threads_n // len(near_calls.price))
    tp = np.ascontiguousarray(np.tile(near_calls.price, tiles)[:threads_n])
    tk = np.ascontiguousarray(np.tile(near_calls.strike, tiles)[:threads_n])
    tt = np.ascontiguousarray(np.tile(near_calls.maturity, tiles)[:threads_n])
    report["threads"] = {"n": threads_n, **threads_run(tp, tk, tt, reps_threads)}
    del tp, tk, tt

    report["machine"] = {
        "cpu": cpu_model(), "cores": os.cpu_count(), "pool_threads": POOL_THREADS,
        "date": datetime.date.today().isoformat(), "python": platform.python_version(),
        "numpy": np.__version__, "tarvik": tarvik.__version__,
        "load_start": load_start,
        "load": os.getloadavg() if hasattr(os, "getloadavg") else None,
        "peers": {d: version_of(d) for d in ("lbriv", "QuantLib", "vollib", "scipy", "mpmath")},
    }
    report["labels"] = {s.key: s.label for s in solvers}
    report["labels"]["pvv"] = "`py_vollib_vectorized` (numba), in its own venv"
    report["labels"].update({k: label for k, (label, _) in greek_contenders([], sets["near"]).items()})
    report["seconds"] = time.perf_counter() - started

    print_report(report)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
        say(f"wrote {args.json}")


# ----------------------------------------------------------------------------

IV_ROWS = ["tarvik_serial", "tarvik_parallel", "tarvik_accurate", "tarvik_frame", "lbriv_vec", "pvv",
           "vollib", "quantlib",
           "brentq", "tarvik_loop", "lbriv_loop"]
PEERS = ["lbriv_vec", "pvv", "vollib", "quantlib", "brentq", "lbriv_loop"]
SCALAR_PEERS = ["lbriv_loop", "quantlib", "vollib", "brentq"]
GREEK_ROWS = ["black_serial", "black_parallel", "black_numpy", "delta_serial", "delta_parallel",
              "delta_numpy", "vega_serial", "vega_parallel", "vega_numpy"]


def print_report(r):
    m = r["machine"]
    sets = r["sets"]
    labels = r["labels"]
    out = []
    w = out.append
    w(f"### tarvik beside its peers ({m['date']}, {m['cpu']}, {m['cores']} cores)")
    w("")
    peers = ", ".join(f"{d} {v}" for d, v in m["peers"].items() if v)
    if "vectorized" in r:
        vv = r["vectorized"]["versions"]
        peers += (f", py_vollib_vectorized {vv['py_vollib_vectorized']} (numba {vv['numba']}, "
                  f"NumPy {vv['numpy']})")
    w(f"tarvik {m['tarvik']}, Python {m['python']}, NumPy {m['numpy']}; {peers}. "
      f"n = {r['n']:,} out-of-the-money options per set, F = 100; best of several rounds.")
    w("")
    w("| ns per option | near the money | stressed |")
    w("|---|---:|---:|")

    def cell(name, group, key, base):
        entry = sets[name][group].get(key)
        if entry is None:
            return "–"
        ratio = entry["ns"] / sets[name][group][base]["ns"]
        return f"{fmt_ns(entry['ns'])} ({ratio:.2f}x)"
    for key in IV_ROWS:
        if key in sets["near"]["iv"]:
            w(f"| {labels[key]} | {cell('near', 'iv', key, 'tarvik_serial')} | "
              f"{cell('stressed', 'iv', key, 'tarvik_serial')} |")
    for key in GREEK_ROWS:
        base = key.split("_")[0] + "_serial"
        w(f"| {labels[key]} | {cell('near', 'greeks', key, base)} | "
          f"{cell('stressed', 'greeks', key, base)} |")
    w("")
    w("In brackets: the time over tarvik's serial batch of the same function. "
      f"Loops marked with a count time every {r['n'] // r['slow_loop_sample']}th option of the set.")
    busy = [f"{labels[k]} on {SET_TITLES[n]}: {v['cpu']:.2f}" for n in SET_NAMES
            for k, v in sets[n]["iv"].items() if k != "tarvik_parallel" and v["cpu"] > 1.3]
    if busy:
        w("CPU time over wall time above 1.3 (more than one core busy): " + "; ".join(busy) + ".")
    serial_cpu = [v["cpu"] for n in SET_NAMES for k, v in sets[n]["iv"].items()
                  if k != "tarvik_parallel"]
    starved = [c for c in serial_cpu if c < 0.9]
    if starved:
        w(f"**Other processes held the cores during this run**: in {len(starved)} of "
          f"{len(serial_cpu)} single-threaded timings the best round had CPU time over wall "
          f"time below 0.9 (lowest {min(starved):.2f}). Rerun on an idle machine.")
    if "pvv" in sets["near"]["iv"]:
        w("py_vollib_vectorized runs in another process; tarvik's serial batch timed there: "
          + ", ".join(f"{SET_TITLES[n]} {fmt_ns(sets[n]['iv']['pvv']['tarvik_ns'])} ns"
                      for n in SET_NAMES if sets[n]['iv']['pvv'].get('tarvik_ns')) + ".")
    for peer, why in r["missing"].items():
        w(f"Not measured: {peer} ({why}).")
    w("")

    w(f"Relative error of the implied volatility against mpmath (50 digits) inverting the same "
      f"double prices, {r['sample']:,} options per set (every {r['n'] // r['sample']}th):")
    w("")
    w("| solver | near: max | near: median | stressed: max | stressed: median | failures |")
    w("|---|---:|---:|---:|---:|---:|")
    for key in IV_ROWS:
        if key == "tarvik_parallel" or key not in sets["near"]["accuracy"]:
            continue
        a, b = sets["near"]["accuracy"][key], sets["stressed"]["accuracy"][key]
        label = labels[key].split(", Python loop")[0].split(" in a Python loop")[0]
        label = label.split(" in the same loop")[0].replace(", serial", "")
        w(f"| {label} | {fmt_err(a['max'])} | {fmt_err(a['median'])} | {fmt_err(b['max'])} | "
          f"{fmt_err(b['median'])} | {a['failures']} / {b['failures']} |")
    w("")

    s = r["scalar"]
    w("Scalar calls, ns per call in one `timeit` loop: "
      f"`math.erfc(0.3)` {s['erfc']:.1f}, `black_price(100.0, 100.0, 1.0, 0.2, True)` "
      f"{s['positional']:.1f} ({s['positional'] / s['erfc']:.2f}x erfc), keyword form "
      f"{s['keyword']:.1f} ({s['keyword'] / s['positional']:.2f}x positional), "
      f"`implied_volatility` at the money {s['iv']:.1f}; the empty loop {s['empty']:.1f}.")
    w("")

    sw = r["sweep"]
    long_n = [row["n"] for row in sw if row["n"] >= 64]
    worst = {}
    for fn in ("iv", "black"):
        for mode in ("", "_pause"):
            diffs = [(row[f"{fn}_parallel{mode}"] - row[f"{fn}_serial{mode}"]) * 1e6
                     for row in sw if row["n"] >= 64]
            j = int(np.argmax(diffs))
            worst[fn + mode] = (diffs[j], long_n[j])
    top = sw[-1]
    speedup = {fn: top[f"{fn}_serial"] / top[f"{fn}_parallel"] for fn in ("iv", "black")}
    w(f"Parallel against serial over {len(sw)} batch lengths from {sw[0]['n']} to {top['n']:,} "
      f"(calls of the near set; medians): the worst parallel − serial time over n >= 64, "
      f"for calls back to back and for a first call after a pause of 1 ms or more:")
    w("")
    w("| function | back to back | after a pause | speed-up at n = "
      f"{top['n']:,} |")
    w("|---|---:|---:|---:|")
    for fn, label in (("iv", "implied_volatilities"), ("black", "black_prices")):
        a, b = worst[fn], worst[fn + "_pause"]
        w(f"| `{label}` | {a[0]:+.1f} µs at n = {a[1]:,} | {b[0]:+.1f} µs at n = {b[1]:,} | "
          f"{speedup[fn]:.2f}x |")
    w("")
    th = r["threads"]
    thread_speedup = th["one"][0] / th["two"][0]
    w(f"Two Python threads, each serial `implied_volatilities` over half of {th['n']:,} options: "
      f"{th['two'][0]:.2f} s (CPU/wall {th['two'][1]:.2f}) against {th['one'][0]:.2f} s in one "
      f"thread (CPU/wall {th['one'][1]:.2f}): {thread_speedup:.2f}x.")
    w("")

    # Targets
    w("Targets (ratios of this run):")
    checks = []

    def fastest(name, keys):
        cands = [(sets[name]["iv"][k]["ns"], k) for k in keys if k in sets[name]["iv"]]
        return min(cands) if cands else (math.nan, None)
    for name in SET_NAMES:
        ns, key = fastest(name, PEERS)
        ratio = sets[name]["iv"]["tarvik_serial"]["ns"] / ns
        checks.append((ratio <= 0.7, f"{SET_TITLES[name]}: implied_volatilities serial / fastest "
                       f"peer ({labels.get(key, key)}) = {ratio:.2f} (target <= 0.70)"))
    checks.append((speedup["iv"] >= 1.85, f"implied_volatilities parallel speed-up at n = "
                   f"{top['n']:,}: {speedup['iv']:.2f}x (target >= 1.85x)"))
    for name in SET_NAMES:
        ns, key = fastest(name, SCALAR_PEERS)
        ratio = sets[name]["iv"]["tarvik_loop"]["ns"] / ns
        checks.append((ratio <= 1.0, f"{SET_TITLES[name]}: scalar implied_volatility loop / "
                       f"fastest peer's scalar loop ({labels.get(key, key)}) = {ratio:.2f} "
                       f"(target <= 1.00)"))
    checks.append((s["positional"] / s["erfc"] <= 2.5, f"black_price / math.erfc = "
                   f"{s['positional'] / s['erfc']:.2f} (target <= 2.50)"))
    checks.append((s["keyword"] / s["positional"] <= 2.0, f"black_price keyword / positional = "
                   f"{s['keyword'] / s['positional']:.2f} (target <= 2.00)"))
    for name in SET_NAMES:
        for fn, label in (("black", "black_prices"), ("delta", "deltas"), ("vega", "vegas")):
            g = sets[name]["greeks"]
            ratio = g[f"{fn}_serial"]["ns"] / g[f"{fn}_numpy"]["ns"]
            checks.append((ratio < 1.0, f"{SET_TITLES[name]}: {label} serial / NumPy/SciPy = "
                           f"{ratio:.2f} (target < 1.00)"))
    for fn, label in (("iv", "implied_volatilities"), ("black", "black_prices")):
        for mode, how in (("", "back to back"), ("_pause", "after a pause")):
            d, at = worst[fn + mode]
            checks.append((d <= 5.0, f"{label}, {how}: worst parallel − serial {d:+.1f} µs at "
                           f"n = {at:,} (target <= +5 µs)"))
    checks.append((thread_speedup >= 1.8, f"two Python threads over one: {thread_speedup:.2f}x "
                   f"(target >= 1.80x)"))
    same = all(all(sets[n]["same_bits"].values()) for n in SET_NAMES)
    checks.append((same, "parallel batches and the scalar loop give the serial batch's bits"))
    for ok, text in checks:
        w(f"- {'PASS' if ok else 'FAIL'}: {text}")
    w("")
    w("Digests of the result bits (compare with a run before a change):")
    for name in SET_NAMES:
        d = sets[name]["digests"]
        w(f"- {SET_TITLES[name]}, n = {r['n']:,}: " + ", ".join(f"{k} {v}" for k, v in d.items()))
    w("- implied volatilities over the 10^6 options of bench/iv_bench.cpp (its digest line): "
      + ", ".join(f"{n} {d}" for n, d in r["iv_bench_digests"].items()))
    agree = ", ".join(f"{SET_TITLES[n]}: " + " ".join(f"{k} {v:.0e}" for k, v in
                                                       sets[n]["numpy_agreement"].items())
                      for n in SET_NAMES)
    w(f"Largest relative difference of the NumPy/SciPy expressions from tarvik ({agree}).")
    def load(x):
        return " ".join(f"{v:.2f}" for v in x) if x else "unknown"
    w(f"Whole run {r['seconds']:.0f} s; load average at the start {load(m['load_start'])}, "
      f"at the end {load(m['load'])}.")
    print("\n".join(out))


if __name__ == "__main__":
    main()
