"""py_vollib_vectorized, timed in an environment of its own.

py_vollib_vectorized needs NumPy < 2 and numba < 0.60 (with
py_lets_be_rational 1.0.1 and py_vollib 1.0.1), which the environment of
bench/compare.py does not have, so compare.py runs this script in a second
venv (bench/run-compare.sh makes it) and reads the JSON it prints.

Input: an .npz file written by compare.py with, per option set, the priced
options (price, strike, maturity, is_call) and the indices of the accuracy
subsample. For each set the peer inverts the calls, then the puts (one call
each, r = 0, F = 100 broadcast), best of `reps` rounds; tarvik's serial
implied_volatilities is timed in the same rounds when tarvik is installed
here too, so that the two can be compared within this process as well.

Usage: python bench/vectorized_peer.py INPUTS.npz REPS
"""

import gc
import json
import sys
import time
from importlib import metadata

import numpy as np

FORWARD = 100.0


def blocks(data, name, indices):
    is_call = data[f"{name}_is_call"]
    out = []
    for flag in (True, False):
        sel = indices[is_call[indices] == flag]
        out.append((flag, sel, *(np.ascontiguousarray(data[f"{name}_{field}"][sel])
                                 for field in ("price", "strike", "maturity"))))
    return out


def best_of(fns, reps):
    """Best wall time of each zero-argument function over `reps` rounds that
    take turns, with the process CPU time of that round over its wall time."""
    times = {key: [] for key in fns}
    for fn in fns.values():
        fn()
    gc.disable()
    try:
        for _ in range(reps):
            for key, fn in fns.items():
                w0, c0 = time.perf_counter(), time.process_time()
                fn()
                times[key].append((time.perf_counter() - w0, time.process_time() - c0))
    finally:
        gc.enable()
    return {key: (min(t)[0], min(t)[1] / min(t)[0]) for key, t in times.items()}


def main():
    data = np.load(sys.argv[1])
    reps = int(sys.argv[2])
    import py_vollib_vectorized as pvv

    versions = {p: metadata.version(p) for p in
                ("py_vollib_vectorized", "py_vollib", "py_lets_be_rational", "numba", "numpy")}
    try:
        import tarvik
    except ImportError:
        tarvik = None
    else:
        versions["tarvik"] = tarvik.__version__

    def run_peer(bl):
        return [pvv.vectorized_implied_volatility_black(
            p, FORWARD, k, 0.0, t, "c" if flag else "p", on_error="ignore", return_as="numpy")
            for flag, _, p, k, t in bl]

    def run_tarvik(bl):
        return [tarvik.implied_volatilities(p, FORWARD, k, t, flag) for flag, _, p, k, t in bl]

    report = {"versions": versions, "sets": {}}
    for name in [str(s) for s in data["names"]]:
        n = len(data[f"{name}_price"])
        full = blocks(data, name, np.arange(n))
        sample_idx = data[f"{name}_sample"]
        sample = blocks(data, name, sample_idx)
        fns = {"peer": lambda: run_peer(full)}
        if tarvik is not None:
            fns["tarvik"] = lambda: run_tarvik(full)
        timed = best_of(fns, reps)
        vols = np.full(len(sample_idx), np.nan)
        for (_, sel, *_), v in zip(sample, run_peer(sample)):
            vols[np.searchsorted(sample_idx, sel)] = np.asarray(v, dtype=np.float64).ravel()
        entry = {"ns": timed["peer"][0] * 1e9 / n, "cpu": timed["peer"][1],
                 "sample_vols": [float(v) for v in vols]}
        if "tarvik" in timed:
            entry["tarvik_ns"] = timed["tarvik"][0] * 1e9 / n
        report["sets"][name] = entry
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main()
