"""Cash dividends, European exercise: accuracy and speed of tarvik's
european_price, european_implied_volatility and european_greeks over the
seeded portfolio of reference/dividend_portfolio.py (one to twelve
dividends, quarterly and irregular, ex-dates on, before and after the
expiry; T to 3 years, vol 5% to 100%), against the recursion of
reference/dividend_smoothing.py (--fine: half its spacing and panels), and
beside QuantLib's FdBlackScholesVanillaEngine on the same options (those
with at most four dividends that count), grid by grid: its frontier of time
against worst error. Also how far the escrowed approximation (Black-Scholes
on the spot less the dividends' present value at the carry, the same
volatility) lies from the jump model. Error: |p - p_ref| / max(p_ref, 1e-4
K). Times: processor time per call, serial.

With --american-calls N, the first N options as American calls on no yield
(call, q = 0: exercised only just before an ex-date): american_price with
the schedule against reference/dividend_smoothing.py --american (--fine: at
half its steps), and against reference/american_lcp (the Crank-Nicolson
tool, built with -DTARVIK_BUILD_BENCH=ON; --lcp its path) and its error
estimate; the
times of a price, an implied volatility and a Greeks dict beside
american_price without dividends, and QuantLib's finite differences with
American exercise on the same grids.

With --american-puts N, the puts among the first N options (r > 0, q >= 0:
exercised between ex-dates) against reference/american_lcp and its
estimate: how many are priced, their error, and the times of a price, an
implied volatility and a Greeks dict; with --yield-calls N, the same for
the calls among them (q > 0, r >= 0: exercised between ex-dates too). With
--no-yield-grid, the same for a grid of 54 puts on no yield (q = 0, where
the exercise region above the dividend opens at once): S/K 0.8, 1, 1.2, vol
15%, 30%, 50%, T 0.5 and 1, r = 5%, one dividend of 0.5% or 2% of the
strike at T/2 or two of 1% at T/3 and 2T/3.

  python bench/dividend_bench.py [--count 200] [--seed 28] [--fine]
                                 [--quantlib-count 40] [--quantlib-grids 100,...,3200]
                                 [--american-calls N [--lcp PATH] [--lcp-levels 7]]
                                 [--american-puts N [--lcp PATH] [--lcp-levels 7]]
                                 [--yield-calls N [--lcp PATH] [--lcp-levels 7]]
                                 [--no-yield-grid [--lcp PATH] [--lcp-levels 7]]
"""
import argparse
import csv
import importlib.util
import itertools
import math
import os
import pathlib
import subprocess
import tempfile
import time

import numpy as np
import tarvik

try:
    import QuantLib as ql
except ImportError:  # the comparison needs the peer
    ql = None

ROOT = pathlib.Path(__file__).resolve().parent.parent


def reference(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "reference" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def args_of(o):
    return (o["s"], o["k"], o["t"], o["r"], o["q"], o["vol"], o["call"])


def schedule(o):
    return {"dividend_times": o["times"], "dividend_amounts": o["amounts"]}


def per_call(f, options):
    """Processor seconds of f(o) for each option, and its results."""
    out, times = [], []
    for o in options:
        t0 = time.process_time()
        out.append(f(o))
        times.append(time.process_time() - t0)
    return np.array(out), np.array(times)


def plain_american_times(options):
    """Processor seconds of american_price without dividends on each option."""
    return per_call(lambda o: tarvik.american_price(*args_of(o)), options)[1]


def summary(errors):
    errors = np.asarray(errors)
    return f"worst {errors.max():.1e}, RMS {math.sqrt(np.mean(errors**2)):.1e}"


def quantlib_frontier(options, want, grids, american=False):
    today = ql.Date(1, 1, 2026)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    rows = {n: [] for n in grids}
    for o, ref in zip(options, want):
        mat = today + round(o["t"] * 365)
        dates = [today + round(x * 365) for x in o["times"]]
        kept = [(d, a) for d, a in zip(dates, o["amounts"]) if d <= mat]
        dividends = ql.DividendVector([d for d, _ in kept], [a for _, a in kept])

        def curve(rate):
            return ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc))

        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(ql.SimpleQuote(o["s"])), curve(o["q"]), curve(o["r"]),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), o["vol"], dc)))
        payoff = ql.PlainVanillaPayoff(ql.Option.Call if o["call"] else ql.Option.Put, o["k"])
        for n in grids:
            exercise = ql.AmericanExercise(today, mat) if american else ql.EuropeanExercise(mat)
            option = ql.VanillaOption(payoff, exercise)
            option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, dividends, n, n))
            t0 = time.process_time()
            p = option.NPV()
            rows[n].append((abs(p - ref) / max(ref, 1e-4 * o["k"]), time.process_time() - t0))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--seed", type=int, default=28)
    parser.add_argument("--fine", action="store_true", help="the reference at half its steps")
    parser.add_argument("--quantlib-count", type=int, default=40)
    parser.add_argument("--quantlib-grids", default="100,200,400,800,1600,3200",
                        help="time steps = spot points of each grid, comma-separated")
    parser.add_argument("--american-calls", type=int, default=0, metavar="N")
    parser.add_argument("--american-puts", type=int, default=0, metavar="N")
    parser.add_argument("--yield-calls", type=int, default=0, metavar="N")
    parser.add_argument("--no-yield-grid", action="store_true")
    parser.add_argument("--lcp", default=str(ROOT / "build" / "reference" / "american_lcp"))
    parser.add_argument("--lcp-levels", type=int, default=7)
    args = parser.parse_args()
    if args.american_calls:
        american_calls(args)
        return
    if args.american_puts or args.no_yield_grid or args.yield_calls:
        american_between(args)
        return
    options = reference("dividend_portfolio").portfolio(args.count, args.seed)
    smoothing = reference("dividend_smoothing")
    fine = {"h_per_w": 8.0, "zwidth": 0.5} if args.fine else {}
    want = np.array([smoothing.price(*args_of(o), o["times"], o["amounts"], **fine)
                     for o in options])
    scale = np.maximum(want, 1e-4 * np.array([o["k"] for o in options]))

    prices, price_times = per_call(
        lambda o: tarvik.european_price(*args_of(o), **schedule(o)), options)
    print(f"{len(options)} options, reference dividend_smoothing{' --fine' * args.fine}")
    print(f"  european_price: {summary(np.abs(prices - want) / scale)}; "
          f"median {1e3 * np.median(price_times):.3f} ms, max {1e3 * price_times.max():.2f} ms")
    few = [i for i, o in enumerate(options) if sum(t <= o["t"] for t in o["times"]) <= 4]
    print(f"  with at most four dividends ({len(few)}): median "
          f"{1e3 * np.median(price_times[few]):.3f} ms, max {1e3 * price_times[few].max():.2f} ms; "
          f"american_price without dividends on them: median "
          f"{1e3 * np.median(plain_american_times([options[i] for i in few])):.3f} ms")

    def inverted(o, p):
        try:
            return tarvik.european_implied_volatility(p, *args_of(o)[:5], o["call"], **schedule(o))
        except tarvik.IVError:
            return math.nan

    pairs = list(zip(options, prices))
    vols, iv_times = per_call(lambda op: inverted(*op), pairs)
    good = ~np.isnan(vols)
    print(f"  european_implied_volatility: {good.sum()} of {len(vols)} inverted, worst |vol - "
          f"vol_true| {np.nanmax(np.abs(vols - [o['vol'] for o in options])):.1e}; median "
          f"{1e3 * np.median(iv_times):.3f} ms ({np.median(iv_times / price_times):.1f} prices)")
    _, greek_times = per_call(lambda o: tarvik.european_greeks(*args_of(o), **schedule(o)), options)
    print(f"  european_greeks: median {1e3 * np.median(greek_times):.3f} ms "
          f"({np.median(greek_times / price_times):.1f} prices)")

    escrowed = []
    for o in options:
        present = sum(d * math.exp(-(o["r"] - o["q"]) * t) for t, d in zip(o["times"], o["amounts"])
                      if t <= o["t"])
        escrowed.append(tarvik.black_scholes_price(o["s"] - present, *args_of(o)[1:]))
    e = np.abs(np.array(escrowed) - prices) / scale
    print(f"  escrowed approximation against the jump model: median {np.median(e):.1e}, "
          f"90th percentile {np.percentile(e, 90):.1e}, worst {e.max():.1e}")

    compare_quantlib(args, options, few, want, np.abs(prices - want) / scale, price_times)


def compare_quantlib(args, options, few, want, errors, price_times, american=False):
    """QuantLib's frontier on the first --quantlib-count options with at most
    four dividends, beside tarvik's errors and times on them."""
    if ql is None:
        print("QuantLib: not installed")
        return
    chosen = few[:args.quantlib_count]
    if not chosen:
        return
    grids = tuple(int(n) for n in args.quantlib_grids.split(","))
    rows = quantlib_frontier([options[i] for i in chosen], want[chosen], grids, american)
    print(f"QuantLib FdBlackScholesVanillaEngine, {'American' if american else 'European'}, "
          f"{len(chosen)} options with at most four dividends (tarvik on them: "
          f"{summary(errors[chosen])}, median {1e3 * np.median(price_times[chosen]):.3f} ms):")
    for n in grids:
        errs, times = zip(*rows[n])
        print(f"  {n} x {n}: {summary(errs)}; median {1e3 * np.median(times):.1f} ms "
              f"({np.median(times) / np.median(price_times[chosen]):.0f} times tarvik)")


def lcp_prices(args, options):
    """reference/american_lcp's prices of the options and its error estimates."""
    with tempfile.TemporaryDirectory() as tmp:
        rows, out = pathlib.Path(tmp, "in.csv"), pathlib.Path(tmp, "out.csv")
        rows.write_text("".join(reference("dividend_portfolio").row(o) + "\n" for o in options))
        subprocess.run([args.lcp, str(rows), str(out), "--levels", str(args.lcp_levels),
                        "--threads", str(os.cpu_count() or 1)], check=True)
        lines = [line for line in out.read_text().splitlines() if not line.startswith("#")]
        result = sorted(csv.DictReader(lines), key=lambda r: int(r["index"]))  # threads reorder
    return (np.array([float(r["price"]) for r in result]),
            np.array([float(r["error_estimate"]) for r in result]))


def no_yield_grid():
    options = []
    for s, vol, t, (times, amounts) in itertools.product(
            (80.0, 100.0, 120.0), (0.15, 0.3, 0.5), (0.5, 1.0),
            (((0.5,), (0.5,)), ((0.5,), (2.0,)), ((1 / 3, 2 / 3), (1.0, 1.0)))):
        options.append(dict(s=s, k=100.0, t=t, r=0.05, q=0.0, vol=vol, call=False,
                            times=[f * t for f in times], amounts=list(amounts)))
    return options


def american_between(args):
    """Options exercised between ex-dates: puts (r > 0, q >= 0) or, with
    --yield-calls, calls (q > 0, r >= 0)."""
    call = bool(args.yield_calls)
    if args.no_yield_grid:
        options = no_yield_grid()
    else:
        options = [o for o in reference("dividend_portfolio").portfolio(
                       args.yield_calls or args.american_puts, args.seed)
                   if o["call"] == call and (o["q"] > 0.0 if call else o["r"] > 0.0)]
    kind = "calls (q > 0, r >= 0)" if call else "puts (r > 0, q >= 0)"
    lcp, estimate = lcp_prices(args, options)

    def priced(o):
        try:
            return tarvik.american_price(*args_of(o), **schedule(o))
        except tarvik.IVError:
            return math.nan

    prices, price_times = per_call(priced, options)
    ok = ~np.isnan(prices)
    scale = np.maximum(lcp, 1e-4 * np.array([o["k"] for o in options]))
    off = np.abs(prices - lcp)[ok] / scale[ok]
    # (An estimate of 0, where the reference exercises now, is its rounding.)
    ratio = (np.abs(prices - lcp) / np.maximum(estimate, 1e-14 * scale))[ok]
    print(f"{len(options)} American {kind}: {ok.sum()} priced, the rest "
          f"no_convergence; against american_lcp --levels {args.lcp_levels}: {summary(off)}, "
          f"within its estimate on {(ratio <= 1.0).sum()} of {ok.sum()} (at most "
          f"{ratio.max():.2g} times it)")
    print(f"  price: median {np.median(price_times):.3f} s, 90th percentile "
          f"{np.percentile(price_times, 90):.3f} s, max {price_times.max():.3f} s")
    chosen = [o for o, good in zip(options, ok) if good]

    def inverted(o, p):
        try:
            return tarvik.american_implied_volatility(p, *args_of(o)[:5], call, **schedule(o))
        except tarvik.IVError:
            return math.nan

    vols, iv_times = per_call(lambda op: inverted(*op), list(zip(chosen, prices[ok])))
    # (A price at its zero-volatility floor, exercised now, gives 0.)
    floor = np.array([tarvik.american_price(*args_of(o)[:5], 0.0, call, **schedule(o))
                      for o in chosen])
    above = ~np.isnan(vols) & (prices[ok] > floor)
    back = np.abs(vols / np.array([o["vol"] for o in chosen]) - 1.0)[above]
    print(f"  american_implied_volatility: {(~np.isnan(vols)).sum()} of {len(vols)} inverted; "
          f"of the {above.sum()} above their floor, the volatility within "
          f"{np.percentile(back, 90):.1e} for 90%, {back.max():.1e} at worst; median "
          f"{np.median(iv_times / price_times[ok]):.1f} prices")

    def greeks(o):
        """1 where every key is a number, 0.5 where some are NaN (their
        prices ran out of the dict's work), NaN where the dict raises."""
        try:
            g = tarvik.american_greeks(*args_of(o), **schedule(o))
        except tarvik.IVError:
            return math.nan
        return 1.0 if all(np.isfinite(v[0]) for v in g.values()) else 0.5

    done, greek_times = per_call(greeks, chosen)
    print(f"  american_greeks: {(~np.isnan(done)).sum()} of {len(done)}, "
          f"{(done == 1.0).sum()} with every key; median "
          f"{np.median(greek_times / price_times[ok]):.1f} prices")


def american_calls(args):
    options = reference("dividend_portfolio").portfolio(args.american_calls, args.seed)
    for o in options:
        o.update(call=True, q=0.0)
    lcp, estimate = lcp_prices(args, options)
    smoothing = reference("dividend_smoothing")
    fine = {"h_per_w": 8.0, "zwidth": 0.5} if args.fine else {}
    want = np.array([smoothing.price(*args_of(o), o["times"], o["amounts"], american=True, **fine)
                     for o in options])
    scale = np.maximum(want, 1e-4 * np.array([o["k"] for o in options]))
    prices, price_times = per_call(
        lambda o: tarvik.american_price(*args_of(o), **schedule(o)), options)
    err = np.abs(prices - want) / scale
    print(f"{len(options)} American calls on no yield")
    print(f"  american_price with dividends against dividend_smoothing --american"
          f"{' --fine' * args.fine}: {summary(err)}; median {1e3 * np.median(price_times):.3f} "
          f"ms, max {1e3 * price_times.max():.2f} ms")
    off = np.abs(prices - lcp) / scale
    print(f"  against american_lcp --levels {args.lcp_levels}: {summary(off)}, within its "
          f"estimate (median {np.median(estimate / scale):.1e}, worst "
          f"{(estimate / scale).max():.1e}) on {(off <= estimate / scale).sum()} of {len(off)}")
    european = per_call(lambda o: tarvik.european_price(*args_of(o), **schedule(o)), options)
    premium = (prices - european[0]) / scale
    print(f"  early-exercise premium over european_price: median {np.median(premium):.1e}, "
          f"worst {premium.max():.1e}; time {np.median(price_times / european[1]):.1f} European "
          f"prices")
    few = [i for i, o in enumerate(options) if sum(t <= o["t"] for t in o["times"]) <= 4]
    # american_price without dividends on the portfolio's own options (their
    # yields, calls and puts): a call on no yield alone is Black-Scholes.
    own = reference("dividend_portfolio").portfolio(args.american_calls, args.seed)
    plain = plain_american_times([own[i] for i in few])
    print(f"  with at most four dividends ({len(few)}): median "
          f"{1e3 * np.median(price_times[few]):.3f} ms; american_price without dividends on "
          f"the portfolio's own options: median {1e3 * np.median(plain):.3f} ms "
          f"({np.median(price_times[few]) / np.median(plain):.0f} times)")

    def inverted(o, p):
        try:
            return tarvik.american_implied_volatility(p, *args_of(o)[:5], True, **schedule(o))
        except tarvik.IVError:
            return math.nan

    vols, iv_times = per_call(lambda op: inverted(*op), list(zip(options, prices)))
    print(f"  american_implied_volatility: {(~np.isnan(vols)).sum()} of {len(vols)} inverted; "
          f"median {1e3 * np.median(iv_times):.3f} ms ({np.median(iv_times / price_times):.1f} "
          f"prices)")
    _, greek_times = per_call(lambda o: tarvik.american_greeks(*args_of(o), **schedule(o)),
                              options)
    print(f"  american_greeks: median {1e3 * np.median(greek_times):.3f} ms "
          f"({np.median(greek_times / price_times):.1f} prices)")
    compare_quantlib(args, options, few, want, err, price_times, american=True)


if __name__ == "__main__":
    main()
