"""Eight Python threads at once on serial, parallel and scalar calls, in a
fresh interpreter so that the worker pool is first created by their race:
every outcome equals the single-threaded one, and all finish in time."""

import json

from fresh_interpreter import run_python, sanitized


def test_eight_threads_get_the_single_threaded_outcomes():
    out = run_python("""
        import json, threading, time, numpy as np, tarvik
        rng = np.random.default_rng(11)
        n = 20000
        F, K = 100.0 * np.exp(rng.normal(0.0, 0.3, (2, n)))
        T, V = rng.uniform(0.01, 3.0, n), rng.uniform(0.0, 1.0, n)
        P = tarvik.black_prices(F, K, T, V, False)
        P[::7] *= 0.5  # some below intrinsic: NaN, or IVError from the scalar
        def scalars():
            out = []
            for i in range(300):
                try:
                    out.append(tarvik.implied_volatility(P[i], F[i], K[i], T[i], False))
                except tarvik.IVError as exc:
                    out.append(exc.args[0])
            return out
        CALLS = [  # (function, arguments, takes parallel=)
            (tarvik.black_prices, (F, K, T, V), True),
            (tarvik.implied_volatilities, (P, F, K, T, False), True),
            (tarvik.implied_volatilities, (P[:63], F[:63], K[:63], T[:63], False), True),
            (tarvik.deltas, (F[:1000], K[:1000], 1.0, 0.2, False), True),
            (tarvik.vannas, (F, K, T, V), False),
            (tarvik.black_prices, (F, K[:5], 1.0, 0.2), True),  # length error
            (tarvik.vegas, (F[::2], K, T, V), True),  # bad intake
            (scalars, (), False),
        ]
        def outcome(i, parallel):
            fn, args, takes = CALLS[i]
            try:
                r = fn(*args, parallel=parallel) if takes else fn(*args)
            except (tarvik.IVError, TypeError) as exc:
                return repr(exc.args)
            return r.tobytes() if isinstance(r, np.ndarray) else repr(r)
        expected = [outcome(i, False) for i in range(len(CALLS))]  # the pool not started yet
        start, wrong = threading.Barrier(8), []
        def work(seed):
            order = np.random.default_rng(seed)
            start.wait()
            for _ in range(6):
                for i in order.permutation(len(CALLS)):
                    if outcome(i, True) != expected[i]:
                        wrong.append(int(i))
        threads = [threading.Thread(target=work, args=(s,), daemon=True) for s in range(8)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 100
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        print(json.dumps([sum(t.is_alive() for t in threads), wrong]))
    """, env={"RAYON_NUM_THREADS": "4"}, timeout=150)
    assert json.loads(out) == [0, []]


def test_batches_fit_the_stack_of_a_small_thread():
    # Every batch kernel keeps its large scratch off the stack of the calling
    # thread, which may be as small as this (four times that under a
    # sanitizer, whose red zones widen every frame of the inlined lane kernels).
    out = run_python(f"""
        import threading, numpy as np, tarvik
        F = np.linspace(60.0, 140.0, 1000)
        def work():
            P = tarvik.black_prices(F, 100.0, 1.0, 0.2, False)
            S = np.ascontiguousarray(F[::10])
            for parallel in (False, True):
                A = tarvik.american_prices(S, 100.0, 1.0, 0.05, 0.02, 0.25, False, parallel)
                tarvik.american_implied_volatilities(A, S, 100.0, 1.0, 0.05, 0.02, False, parallel)
                tarvik.american_greeks(S, 100.0, 1.0, 0.05, 0.02, 0.25, True, parallel)
                tarvik.implied_volatilities(P, F, 100.0, 1.0, False, parallel)
                tarvik.normalised_implied_volatilities(P / 100.0, np.log(F / 100.0), False, parallel)
                tarvik.black_scholes_implied_volatilities(P, F, 100.0, 1.0, 0.01, 0.0, False, parallel)
                tarvik.deltas(F, 100.0, 1.0, 0.2, False, parallel)
            print("done")
        size = {4 if sanitized() else 1} * 48 * 1024
        while True:  # aarch64's glibc starts no thread on less than 128 KiB
            try:
                threading.stack_size(size)
                break
            except ValueError:
                size *= 2
        t = threading.Thread(target=work)
        t.start()
        t.join()
    """)
    assert out == "done"
