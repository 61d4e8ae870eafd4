"""Wall time of ``python -m tarvik iv`` on a CSV file of 10^6 quotes.

Writes a seeded file of Black-76 quotes (price, forward, strike, maturity,
type; calls and puts mixed), then times the command on it, start to exit in a
fresh interpreter, with each CSV engine that is installed (python always,
pyarrow where present), serial and with --parallel. Prints the command, the
best wall time of the repetitions, the time per row, the processor time (user
+ system) of that run, which tells a busy machine's waits from work, and the
peak memory of the run (flat in the file size: rows stream through in
chunks); checks that the engines write the same bytes.

Usage:
  bash bench/run-cli.sh [rows] [repetitions]
or, against an existing build or an installed tarvik,
  PYTHONPATH=build/pkg python3 bench/cli_bench.py [rows] [repetitions]
"""

import filecmp
import importlib.util
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import tarvik


def write_quotes(path, n, seed=11):
    rng = np.random.default_rng(seed)
    forward = 100.0 * np.exp(rng.normal(0.0, 0.2, n))
    strike = 100.0 * np.exp(rng.normal(0.0, 0.2, n))
    maturity = rng.uniform(0.05, 3.0, n)
    vol = rng.uniform(0.05, 0.8, n)
    is_call = rng.random(n) < 0.5
    price = tarvik.black_prices(forward, strike, maturity, vol, is_call)
    kind = np.where(is_call, "call", "put")
    with open(path, "w") as fh:
        fh.write("price,forward,strike,maturity,type\n")
        for start in range(0, n, 100_000):
            part = slice(start, start + 100_000)
            columns = [list(map(repr, a[part].tolist())) for a in (price, forward, strike, maturity)]
            fh.write("".join(map("{},{},{},{},{}\n".format, *columns, kind[part].tolist())))


def best_run(argv, reps):
    """Best wall time of `argv` over `reps` runs, the processor time (user +
    system) of that run, and the peak memory (MiB)."""
    best, cpu, peak = float("inf"), 0.0, 0.0
    for _ in range(reps):
        start = time.perf_counter()
        child = subprocess.Popen(argv, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        assert os.waitstatus_to_exitcode(status) == 0, argv
        if wall < best:
            best, cpu = wall, usage.ru_utime + usage.ru_stime
        peak = max(peak, usage.ru_maxrss / 1024)
    return best, cpu, peak


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    engines = ["python"] + ["pyarrow"] * bool(importlib.util.find_spec("pyarrow"))
    with tempfile.TemporaryDirectory() as tmp:
        quotes = os.path.join(tmp, "quotes.csv")
        write_quotes(quotes, n)
        size = os.path.getsize(quotes) / 2**20
        print(f"tarvik {tarvik.__version__}, {n:,} quotes ({size:.0f} MiB), best of {reps}:")
        outputs = []
        for engine in engines:
            for parallel in ([], ["--parallel"]):
                options = ["--engine", engine, *parallel]
                outputs.append(os.path.join(tmp, f"iv-{len(outputs)}.csv"))
                seconds, cpu, peak = best_run([sys.executable, "-m", "tarvik", "iv", quotes,
                                               "-o", outputs[-1], *options], reps)
                command = " ".join(["python -m tarvik iv quotes.csv -o iv.csv", *options])
                print(f"  {command:70} {seconds:6.2f} s  {seconds / n * 1e6:5.2f} us/row"
                      f"  cpu {cpu:6.2f} s  peak {peak:4.0f} MiB")
        same = all(filecmp.cmp(outputs[0], other, shallow=False) for other in outputs[1:])
        print(f"  every run wrote the same bytes: {same}")


if __name__ == "__main__":
    main()
