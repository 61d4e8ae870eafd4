"""The worker pool behind parallel batches: when it starts, how many threads
(RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, the CPUs the process may run on),
that it is created once, that a forked child gets a working pool, and that a
pool whose threads cannot start fails the call and is tried again by the
next. Each case runs in a fresh interpreter; threads are counted as the
entries of /proc/self/task."""

import json
import os
import textwrap

import pytest
from fresh_interpreter import run_python

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"),
                                reason="needs /proc/self/task")

PROLOGUE = """
import json, os, numpy as np, tarvik
def tasks():
    return len(os.listdir("/proc/self/task"))
F = np.linspace(50.0, 150.0, 100003)
def batch(n, parallel=True):
    return tarvik.black_prices(F[:n], 100.0, 1.0, 0.2, parallel=parallel)
batch(3, parallel=False)  # NumPy's API is loaded; no pool yet
base = tasks()
"""


def run_child(body, env=None, cpus=None):
    """Runs PROLOGUE + body in a fresh interpreter; the JSON it prints last."""
    out = run_python(PROLOGUE + textwrap.dedent(body), env, cpus)
    return json.loads(out.splitlines()[-1])


def test_pool_starts_at_64_reads_the_environment_once_and_sleeps_when_idle():
    # The variable is read when the first batch of 64 or more creates the
    # pool, not at import and not afterwards. Idle workers poll briefly after
    # a batch, then sleep (state field of /proc/self/task/<id>/stat).
    out = run_child("""
        import time
        os.environ["RAYON_NUM_THREADS"] = "3"
        sizes = []
        for n in (0, 1, 2, 63, 64):
            assert (batch(n) == batch(n, parallel=False)).all()
            sizes.append(tasks() - base)
        os.environ["RAYON_NUM_THREADS"] = "5"
        os.environ["RAYON_RS_NUM_CPUS"] = "6"
        assert (batch(100003) == batch(100003, parallel=False)).all()
        sizes.append(tasks() - base)
        time.sleep(0.2)
        me = str(os.getpid())
        states = [open(f"/proc/self/task/{t}/stat").read().rsplit(")", 1)[1].split()[0]
                  for t in os.listdir("/proc/self/task") if t != me]
        print(json.dumps([sizes, states]))
    """, {"RAYON_NUM_THREADS": "2"})
    sizes, states = out
    assert sizes == [0, 0, 0, 0, 3, 3] and len(states) >= 3 and set(states) == {"S"}


# (TARVIK_NUM_THREADS, RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS) -> thread count,
# with the child bound to one CPU so that the hardware default (1) differs
# from every set value. The parsing of each text in detail is tested on the
# core.
HW = 1


@pytest.mark.parametrize("tarvik_threads, num_threads, num_cpus, expected", [
    (None, None, None, HW), (None, "1", None, 1), (None, "+2", "3", 2), (None, "0", "3", HW),
    (None, " 2", "3", 3), (None, "18446744073709551616", None, HW), (None, None, "3", 3),
    (None, None, "0", HW), (None, None, "x", HW),
    ("4", "2", "3", 4), ("0", "2", None, HW), ("four", "2", None, 2), ("", None, "3", 3),
])
def test_thread_count_from_environment(tarvik_threads, num_threads, num_cpus, expected):
    env = {k: v for k, v in (("TARVIK_NUM_THREADS", tarvik_threads),
                             ("RAYON_NUM_THREADS", num_threads),
                             ("RAYON_RS_NUM_CPUS", num_cpus)) if v is not None}
    out = run_child("""
        r = batch(1000)
        assert (r == batch(1000, parallel=False)).all()
        print(tasks() - base)
    """, env, cpus={min(os.sched_getaffinity(0))})
    assert out == expected


def test_forked_child_gets_a_working_pool():
    out = run_child("""
        import signal
        expected = batch(100003, parallel=False)
        batch(1000)  # the parent's pool exists
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                signal.alarm(20)  # a hang ends the child
                before = tasks()
                ok = bool((batch(100003) == expected).all())
                os.write(w, json.dumps([ok, tasks() - before]).encode())
            finally:
                os._exit(0)
        os.waitpid(pid, 0)
        os.close(w)
        print(os.read(r, 1000).decode() or '"no answer"')
    """, {"RAYON_NUM_THREADS": "2"})
    assert out == [True, 2]


def test_child_forked_while_another_thread_creates_the_pool_gets_a_pool():
    # The creation lock is held for 300 ms (a test-only delay) while the main
    # thread forks: the child inherits the lock held by a thread it does not
    # have, and must still start a pool of its own.
    out = run_child("""
        import signal, threading, time
        expected = batch(100003, parallel=False)
        creator = threading.Thread(target=batch, args=(100003,))  # lets go of the GIL
        creator.start()
        time.sleep(0.1)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                signal.alarm(10)  # a hang ends the child
                os.write(w, json.dumps(bool((batch(100003) == expected).all())).encode())
            finally:
                os._exit(0)
        creator.join()
        _, status = os.waitpid(pid, 0)
        os.close(w)
        print(json.dumps([os.read(r, 100).decode() or "no answer", status]))
    """, {"RAYON_NUM_THREADS": "2", "TARVIK_TEST_POOL_CREATE_DELAY_US": "300000"})
    assert out == ["true", 0]


def test_multiprocessing_fork_workers_run_parallel_batches():
    out = run_child("""
        import multiprocessing
        def work(_):
            return float(batch(100003).sum())
        expected = work(0)  # the parent's pool exists before the fork
        with multiprocessing.get_context("fork").Pool(2) as workers:
            print(json.dumps(workers.map_async(work, range(4)).get(timeout=20) == [expected] * 4))
    """)
    assert out is True


def test_threads_that_cannot_start_fail_the_call_and_the_next_call_retries():
    # An address-space limit just above the current size leaves no room for
    # 32 thread stacks: the pool cannot start, the threads already started
    # are stopped again, and nothing of the output is returned.
    out = run_child("""
        import resource
        vm = next(int(l.split()[1]) for l in open("/proc/self/status")
                  if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), hard))
        try:
            batch(1000)
            error = None
        except Exception as exc:
            error = str(exc)
        failed_threads = tasks() - base
        small = bool((batch(63) == batch(63, parallel=False)).all())
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        ok = bool((batch(100003) == batch(100003, parallel=False)).all())
        print(json.dumps([error, failed_threads, small, ok, tasks() - base]))
    """, {"RAYON_NUM_THREADS": "32"})
    error, failed_threads, small, ok, threads = out
    assert error is not None and "The global thread pool has not been initialized." in error
    assert failed_threads == 0 and small and ok and threads == 32
