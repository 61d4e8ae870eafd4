#!/usr/bin/env python3
"""Forks at random points of the worker pool's creation and use, and fails
on any hang or wrong result:

  python3 tools/fork_stress.py [--forks N] [--max-delay-us D] [--timeout S] [--seed K]

The parent imports tarvik and NumPy once and never makes a pool. Each trial
forks a fresh child from it (far cheaper than a new interpreter); the child
starts a parallel batch in a thread, which creates the child's pool, waits a
random time of up to D microseconds (spinning, so that the fork lands
anywhere in the creation or the batch), then forks a grandchild, which runs
a parallel batch of its own and checks it against the serial result. A
grandchild that has not finished after S seconds is a hang: it is killed and
the trial fails. Prints one summary line; exits 1 if any trial failed.
With TARVIK_TEST_POOL_CREATE_DELAY_US set (read when tarvik loads), every
creation lock is held that long, which widens the window a fork can hit.
"""

import argparse
import os
import random
import signal
import sys
import threading
import time

import numpy as np
import tarvik

PRICES = np.full(5000, 8.0)  # large enough for the batch to let go of the GIL
ARGS = (100.0, 100.0, 1.0, True)


def batch(parallel):
    return tarvik.implied_volatilities(PRICES, *ARGS, parallel=parallel)


def wait(pid, timeout):
    """The exit status of pid, or None after timeout (then it is killed)."""
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.001)


def child(delay_us, expected, timeout):
    """The body of a trial's child; its exit code: 0 fine, 2 a hang, 3 a
    wrong result in the grandchild, 4 in the child."""
    results = []
    worker = threading.Thread(target=lambda: results.append(batch(True)))
    worker.start()
    end = time.perf_counter() + delay_us * 1e-6
    while time.perf_counter() < end:
        pass
    pid = os.fork()
    if pid == 0:
        ok = batch(True).tobytes() == expected
        os._exit(0 if ok else 3)
    code = wait(pid, timeout)
    worker.join()
    if code is None:
        return 2
    if code != 0:
        return code
    return 0 if results[0].tobytes() == expected else 4


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--forks", type=int, default=10000)
    parser.add_argument("--max-delay-us", type=int, default=3000)
    parser.add_argument("--timeout", type=float, default=20.0)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    expected = batch(False).tobytes()  # no pool in the parent
    rng = random.Random(options.seed)
    outcomes = {"fine": 0, "hang": 0, "wrong": 0, "other": 0}
    start = time.monotonic()
    for trial in range(options.forks):
        delay = rng.randrange(options.max_delay_us + 1)
        pid = os.fork()
        if pid == 0:
            code = 5
            try:
                code = child(delay, expected, options.timeout)
            finally:
                os._exit(code)
        code = wait(pid, 2 * options.timeout + 10)
        kind = {0: "fine", 2: "hang", None: "hang", 3: "wrong", 4: "wrong"}.get(code, "other")
        outcomes[kind] += 1
        if kind != "fine":
            print(f"trial {trial} (delay {delay} us): {kind} (exit {code})", file=sys.stderr, flush=True)
    elapsed = time.monotonic() - start
    print(f"fork stress: {options.forks} forks in {elapsed:.0f} s "
          f"({1000 * elapsed / max(options.forks, 1):.1f} ms each), delays 0..{options.max_delay_us} us, "
          f"seed {options.seed}: " + ", ".join(f"{v} {k}" for k, v in outcomes.items()))
    return 0 if outcomes["fine"] == options.forks else 1


if __name__ == "__main__":
    sys.exit(main())
