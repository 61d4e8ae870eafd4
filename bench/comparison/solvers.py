"""The implied-volatility contenders: tarvik's functions and the peers that
import here, each over the options as it takes them; py_vollib_vectorized
runs in a venv of its own (vectorized_peer.py)."""

import json
import math
import os
import subprocess
import tempfile

import numpy as np
import tarvik
from option_sets import FORWARD
from scipy.optimize import brentq

from comparison.settings import POOL_THREADS, SET_NAMES, SLOW_LOOP_SAMPLE

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
        bench = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        script = os.path.join(bench, "vectorized_peer.py")
        proc = subprocess.run([python, script, path, str(reps)], capture_output=True, text=True,
                              timeout=900)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["(no output)"])[-1]
        raise RuntimeError(f"its process failed: {tail}")
    return json.loads(proc.stdout)
