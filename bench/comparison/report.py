"""The report of a run: the tables, the PASS/FAIL line of each target and
the digests, from the figures alone (so that a saved run prints the same)."""

import math
import platform
from importlib import metadata

import numpy as np

from comparison.settings import SET_NAMES, SET_TITLES

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
