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

Its pieces, in bench/comparison/: settings (sizes and names), solvers (the
implied-volatility contenders), greeks (prices and Greeks beside NumPy/SciPy),
timing, accuracy (the mpmath references) and report (the tables and targets).

Usage (bench/run-compare.sh passes these):
  python bench/compare.py [--json PATH] [--vectorized-python PATH |
      --vectorized-skip REASON] [--missing PEER=REASON ...] [--quick]
  python bench/compare.py --from-json PATH     (the report of a saved run)
"""

import argparse
import datetime
import json
import os
import platform
import sys
import time

import numpy as np
import tarvik
from comparison.accuracy import errors, reference_vols, sample_vols
from comparison.greeks import greek_contenders
from comparison.report import cpu_model, print_report, version_of
from comparison.settings import POOL_THREADS, SAMPLE, SET_NAMES, SLOW_LOOP_SAMPLE, SWEEP_TOP, THREADS_N, N
from comparison.solvers import Block, blocks_of, peer_solvers, run_vectorized_peer, strided, tarvik_solvers
from comparison.timing import race, scalar_costs, sweep, threads_run
from option_sets import FORWARD, OptionSet, digest


def measure_set(name, o, accuracy_sample, solvers, reps, say):
    """Every figure of one option set: the implied-volatility solvers' times and
    errors, the prices' and Greeks' times, the bits and digests. Returns the
    report's entry for the set and the mpmath reference volatilities of
    accuracy_sample (indices into the set)."""
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
    acc_blocks = blocks_of(o, accuracy_sample)
    positions = [np.searchsorted(accuracy_sample, b.indices) for b in acc_blocks]
    reference = reference_vols(o, accuracy_sample)
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

    entry = {
        "iv": {k: {"ns": v["ns"], "cpu": v["cpu"]} for k, v in timed.items()},
        "greeks": {k: {"ns": r["seconds"] * 1e9 / N, "cpu": r["cpu"]} for k, r in gres.items()},
        "accuracy": accuracy,
        "same_bits": same,
        "digests": digests,
        "numpy_agreement": agreement,
    }
    return entry, reference


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
        report["sets"][name], references[name] = measure_set(
            name, sets[name], samples[name], solvers, reps, say)

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


if __name__ == "__main__":
    main()
