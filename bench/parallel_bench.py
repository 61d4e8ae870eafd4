"""Batches on the worker pool: the speed-up of parallel=True over the serial
batch (best of a few runs, same bits checked) for American puts, whose
elements cost milliseconds, and for cheap implied volatilities; then how long
a long batch takes to raise KeyboardInterrupt after SIGINT, serial and
parallel, for American puts without and with cash dividends (prices,
implied volatilities, Greeks). Run on an idle machine (`uptime`).
Usage: python bench/parallel_bench.py [repeats]"""
import signal
import subprocess
import sys
import time

import numpy as np
import tarvik


def best(f, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def speedups(repeats):
    rng = np.random.default_rng(5)
    for name, n in (("american_prices", 64), ("american_prices", 1000), ("american_greeks", 64),
                    ("implied_volatilities", 10_000_000)):
        s, t, v = rng.uniform(80, 120, n), rng.uniform(1 / 12, 3, n), rng.uniform(0.1, 0.6, n)
        if name == "implied_volatilities":
            args = (tarvik.black_prices(100.0, s, t, v, True), 100.0, s, t, True)
        else:
            args = (s, 100.0, t, 0.05, 0.02, v, False)
        f = getattr(tarvik, name)
        a, b = f(*args), f(*args, parallel=True)
        same = all(a[k].tobytes() == b[k].tobytes() for k in a) if isinstance(a, dict) \
            else a.tobytes() == b.tobytes()
        serial, parallel = best(lambda: f(*args), repeats), best(lambda: f(*args, parallel=True), repeats)
        print(f"{name:22} n={n:<10,} serial {serial * 1e3:8.1f} ms  parallel {parallel * 1e3:8.1f} ms"
              f"  speed-up {serial / parallel:4.2f}  same bits {same}")


CHILD = """
import sys, numpy as np, tarvik
kind, parallel = sys.argv[1], sys.argv[2] == "1"
if kind == "plain":
    s = np.random.default_rng(1).uniform(80, 120, 2_000_000)
    print(flush=True)
    tarvik.american_prices(s, 100.0, 1.0, 0.05, 0.02, 0.25, False, parallel=parallel)
    sys.exit()
# Puts with twelve cash dividends over three years: some 0.8 s a price.
rng = np.random.default_rng(2)
s = rng.uniform(70, 130, 64)
kw = dict(dividend_times=np.arange(1, 13) / 4.1, dividend_amounts=np.ones(12))
print(flush=True)
if kind == "dividend prices":
    tarvik.american_prices(s, 100.0, 3.0, 0.05, 0.01, 0.7, False, parallel=parallel, **kw)
elif kind == "dividend greeks":
    tarvik.american_greeks(s, 100.0, 3.0, 0.05, 0.01, 0.7, False, parallel=parallel, **kw)
else:
    p = np.maximum(100.0 - s, 0.0) + 40.0
    tarvik.american_implied_volatilities(p, s, 100.0, 3.0, 0.05, 0.01, False, parallel=parallel, **kw)
"""


def interrupt_latency(kind, parallel, wait):
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(int(parallel))],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    child.stdout.readline()
    time.sleep(wait)
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    child.wait()
    return time.perf_counter() - sent


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    speedups(repeats)
    # The signal at a few moments into the batch: the latency depends on
    # where the elements in progress stand.
    for kind in ("plain", "dividend prices", "dividend ivs", "dividend greeks"):
        for parallel in (False, True):
            latency = sorted(interrupt_latency(kind, parallel, 0.5 + 0.37 * i) for i in range(5))
            print(f"Ctrl-C in {kind:15}, {'parallel' if parallel else 'serial':8}: the child gone "
                  f"{latency[0] * 1e3:.0f} to {latency[-1] * 1e3:.0f} ms after SIGINT (5 moments)")


if __name__ == "__main__":
    main()
