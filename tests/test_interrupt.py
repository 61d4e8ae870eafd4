"""Ctrl-C in a long batch: KeyboardInterrupt within about a second, twice,
and the module sound after it (a batch at once, a forked child's batch), also
where one element takes most of a second (American puts with dividends) or
seconds (implied volatilities of two-boundary options over long lives)."""

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
DIV = dict(dividend_times=np.arange(1, 13) / 4.1, dividend_amounts=np.ones(12))
# Two-boundary options over long lives whose volatilities take 2 to 3 s each
# (prices refused on the way, some 0.15 s each).
TWO = [np.array(x) for x in ([1325.2864063816767, 4796.7219255642094, 5.4554189217131492],
       [100.0] * 3, [29.815801254695867, 20.787569216328702, 31.990314730497929],
       [-0.060155124234025054, -0.13876457327038355, -0.049856413475575678],
       [-0.18041883654471247, -0.022875741391263971, -0.14365516566311229],
       [0.27345497132403923, 0.081014261237191854, 0.051663664047453664], [False, True, False])]
def call(n, parallel, name=name):
    s = np.random.default_rng(n).uniform(80.0, 120.0, n)
    if name == "american_prices_dividends":  # some 0.8 s an element: stopped within one
        return tarvik.american_prices(s, 100.0, 3.0, 0.05, 0.01, 0.7, False, parallel=parallel, **DIV)
    if name == "american_ivs_long":
        a = [np.resize(x, n) for x in TWO]
        return tarvik.american_implied_volatilities(np.resize(PRICES, n), *a[:5], a[6],
                                                    parallel=parallel)
    if name == "implied_volatilities":
        return tarvik.implied_volatilities(8.0, 100.0, s, 1.0, True, parallel=parallel)
    kw = (dict(dividend_times=[0.25, 0.5, 0.75], dividend_amounts=[1.0, 1.0, 1.0])
          if name.startswith("european") else {})
    return getattr(tarvik, name)(s, 100.0, 1.0, 0.05, 0.02, 0.25, False, parallel=parallel, **kw)
def held():  # an element cut short leaves nothing behind for the next
    if name == "american_ivs_long":
        return tarvik.american_price(*[float(x[0]) for x in TWO[:6]], False)
    return tarvik.american_price(90.0, 100.0, 3.0, 0.05, 0.01, 0.7, False, **DIV)
def sound():  # a batch on the pool as the serial one (70: above the pool's 64)
    f = name.replace("_greeks", "_prices").replace("_dividends", "").replace("_ivs_long", "_prices")
    return (call(70, True, f).tobytes() == call(70, False, f).tobytes()
            and (not name.endswith(("_dividends", "_long")) or held() == before))
if name == "american_ivs_long":
    PRICES = np.array([tarvik.american_price(*[float(x[i]) for x in TWO[:6]], bool(TWO[6][i]))
                       for i in range(3)])
if name.endswith(("_dividends", "_long")):
    before, n = held(), 64
else:
    m = 200 if name.startswith(("american", "european")) else 200_000
    call(m, parallel)  # once first: a thread's first American call builds its tables
    t = time.perf_counter(); call(m, parallel); t = time.perf_counter() - t
    n = int(min(m * 6 / t, 3e7))  # some six seconds of work
for attempt in range(2):
    print("start", flush=True)
    try:
        call(n, parallel)
    except KeyboardInterrupt:
        print("interrupted", sound(), flush=True)
pid = os.fork() if fork else None
if pid == 0:
    os._exit(0 if sound() else 1)
print("forked", pid is None or os.waitpid(pid, 0)[1] == 0, flush=True)
"""


@pytest.mark.parametrize("parallel", [False, True], ids=["serial", "parallel"])
@pytest.mark.parametrize("name", ["american_prices", "american_greeks", "european_greeks",
                                  "implied_volatilities", "american_prices_dividends",
                                  "american_ivs_long"])
def test_ctrl_c_stops_a_long_batch(name, parallel):
    # The child starts with SIGINT's default action (a shell's background job
    # hands it down ignored); it forks only where ThreadSanitizer is absent.
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
            # generous: the batch asks every 100 ms (a sanitizer's element: up to a second)
            assert time.monotonic() - sent < (10.0 if sanitized() else 2.0)
        assert child.stdout.readline() == "forked True\n"
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()
