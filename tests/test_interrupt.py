"""Ctrl-C during a long batch, serial and parallel: KeyboardInterrupt within
about a second, no result, and the module sound afterwards (the same call
again at once, a second interrupt, a forked child's parallel batch). Each
case runs in a child process whose batch is sized to last some seconds
(slower under a sanitizer: sized all the same)."""

import signal
import subprocess
import sys
import time

import pytest
from fresh_interpreter import child_env, sanitized

CHILD = r"""
import os, signal, sys, time, numpy as np, tarvik
signal.signal(signal.SIGINT, signal.default_int_handler)
name, parallel, fork = sys.argv[1], sys.argv[2] == "1", sys.argv[3] == "1"
rng = np.random.default_rng(7)
def call(n, parallel, name=name):
    s = rng.uniform(80.0, 120.0, n)
    if name == "implied_volatilities":
        return tarvik.implied_volatilities(8.0, 100.0, s, 1.0, True, parallel=parallel)
    return getattr(tarvik, name)(s, 100.0, 1.0, 0.05, 0.02, 0.25, False, parallel=parallel)
def check(parallel):  # a batch on the pool (Greeks: their price field's function, cheaper)
    global rng
    rng = np.random.default_rng(1)
    return call(small, parallel, "american_prices" if name == "american_greeks" else name)
def same(a, b):
    return a.tobytes() == b.tobytes()
american = name.startswith("american")
m, small = (20, 70) if american else (200_000, 300)  # small: above the pool's 64
t = time.perf_counter(); call(m, parallel); t = time.perf_counter() - t
n = int(min(m * 6.0 / max(t, 1e-9), 3e7))  # some six seconds of work
for attempt in range(2):
    result = None
    print("start", flush=True)
    try:
        result = call(n, parallel)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", result is None, flush=True)
    # at once: a batch on the pool, as a serial one
    print("sound", same(check(False), check(True)), flush=True)
pid = os.fork() if fork else None
if pid == 0:
    os._exit(0 if same(check(True), check(False)) else 1)
print("forked", pid is None or os.waitpid(pid, 0)[1] == 0, flush=True)
"""


@pytest.mark.parametrize("parallel", [False, True], ids=["serial", "parallel"])
@pytest.mark.parametrize("name", ["american_prices", "american_greeks", "implied_volatilities"])
def test_ctrl_c_stops_a_long_batch(name, parallel):
    # The child starts with SIGINT's default action: a shell's background job
    # (a CI runner's, say) hands it down ignored.
    # (A child forked with threads running defeats ThreadSanitizer: no fork
    # there; the worker-pool tests fork in the other builds.)
    argv = [sys.executable, "-c", CHILD, name, str(int(parallel)), str(int(not sanitized()))]
    child = subprocess.Popen(argv, env=child_env(), stdout=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        for _ in range(2):
            assert child.stdout.readline() == "start\n"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline() == "interrupted True\n"
            # a generous bound: the batch asks every 100 ms
            assert time.monotonic() - sent < 2.0
            assert child.stdout.readline() == "sound True\n"
        assert child.stdout.readline() == "forked True\n"
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()
