"""American options: accuracy and speed of tarvik beside QuantLib's
QdFpAmericanEngine over the benchmark portfolio (15,552 options: K = 100;
S 25..200; T 1/12..3; r 0..0.1; q 0..0.12; vol 0.1..0.6; puts and calls; the
grid of reference/american_portfolio.hpp), against the converged reference
tests/data/american_portfolio_reference.csv. Error: |p - p_ref| / max(p_ref,
1e-4 K), worst and RMS; processor time per option, serial (one thread; on
a shared machine the processor time is steadier than the wall time).

  python bench/american_bench.py [--tool build/reference/american_reference]
                                 [--frontier-stride 7] [--high-stride 10]
                                 [--iv-stride 4] [--tanh-sinh]

tarvik: american_prices over the whole portfolio, american_implied_volatilities
on every --iv-stride-th option (its prices from american_prices); with --tool,
the frontier of the method's discretisations (nodes, sweeps, boundary
points, price points, tolerance; the C++ tool in its own process) on every
--frontier-stride-th option. QuantLib: the fast and accurate schemes on
every option, highPrecision on every --high-stride-th, with --tanh-sinh the
tanh-sinh iteration (m = 24, n = 64, eps = 1e-15) on every 100th. Last,
tarvik and highPrecision again on every --high-stride-th option in turns,
fifty options at a time: their ratio with the machine's drift shared.
QuantLib counts time in dates: each option is priced as the equivalent one
with a maturity of one year (365 days, Actual/365), rate r T, yield q T and
volatility vol sqrt(T), the same price in the Black-Scholes model.
"""
import argparse
import itertools
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
REFERENCE = ROOT / "tests" / "data" / "american_portfolio_reference.csv"
GRID = ((25.0, 50.0, 80.0, 90.0, 100.0, 110.0, 120.0, 150.0, 200.0),
        (1 / 12, 0.25, 0.5, 1.0, 2.0, 3.0), (0.0, 0.02, 0.04, 0.06, 0.08, 0.1),
        (0.0, 0.04, 0.08, 0.12), (0.1, 0.2, 0.3, 0.4, 0.5, 0.6), (False, True))
# (nodes, sweeps, boundary points, price points, tolerance) of the frontier.
SETTINGS = ((8, 32, 16, 64, 1e-8), (12, 32, 16, 96, 1e-9), (16, 48, 24, 128, 1e-9),
            (24, 64, 32, 192, 1e-10), (32, 64, 32, 256, 1e-10), (32, 100, 48, 256, 1e-12),
            (48, 100, 64, 256, 1e-12))


def portfolio():
    s, t, r, q, v, call = (np.array(c) for c in zip(*itertools.product(*GRID)))
    return s, np.full(s.size, 100.0), t, r, q, v, call


def reference():
    table = np.loadtxt(REFERENCE, delimiter=",", skiprows=2)
    return table[:, 1]


def errors(prices, ref, strikes):
    e = np.abs(prices - ref) / np.maximum(ref, 1e-4 * strikes)
    return e.max(), np.sqrt(np.mean(e * e))


class QuantLibPricer:
    """One put and one call on quotes, so that each price costs the engine."""

    def __init__(self, scheme):
        today = ql.Date(1, 1, 2024)
        ql.Settings.instance().evaluationDate = today
        dc, calendar = ql.Actual365Fixed(), ql.NullCalendar()
        self.quotes = [ql.SimpleQuote(x) for x in (100.0, 0.0, 0.0, 0.2)]
        spot, rate, dividend, vol = (ql.QuoteHandle(x) for x in self.quotes)
        process = ql.BlackScholesMertonProcess(
            spot, ql.YieldTermStructureHandle(ql.FlatForward(today, dividend, dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, rate, dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, calendar, vol, dc)))
        engine = ql.QdFpAmericanEngine(process, scheme)
        exercise = ql.AmericanExercise(today, today + 365)
        self.options = {}
        for call in (False, True):
            kind = ql.Option.Call if call else ql.Option.Put
            self.options[call] = ql.VanillaOption(ql.PlainVanillaPayoff(kind, 100.0), exercise)
            self.options[call].setPricingEngine(engine)

    def __call__(self, s, t, r, q, v, call):
        for quote, x in zip(self.quotes, (s, r * t, q * t, v * np.sqrt(t))):
            quote.setValue(float(x))
        try:
            return self.options[bool(call)].NPV()
        except RuntimeError:  # counted as a failure
            return np.nan


def quantlib_row(name, scheme, book, ref, stride):
    s, k, t, r, q, v, call = (a[::stride] for a in book)
    pricer = QuantLibPricer(scheme)
    start = time.process_time()
    prices = np.array([pricer(*x) for x in zip(s, t, r, q, v, call)])
    elapsed = (time.process_time() - start) / s.size
    failed = np.isnan(prices)
    label = f"QuantLib {name}" + (f" ({failed.sum()} failed)" if failed.any() else "")
    return (label, s.size, elapsed, *errors(prices[~failed], ref[::stride][~failed], k[~failed]))


def interleaved_ratio(scheme, book, stride, chunk=50):
    """tarvik's and QuantLib's processor time per option on the same options
    (every stride-th), taken in turns chunk by chunk, so that the machine's
    drift over the run weighs on both alike: (tarvik, QuantLib) seconds."""
    s, k, t, r, q, v, call = (np.ascontiguousarray(a[::stride]) for a in book)
    pricer = QuantLibPricer(scheme)
    ours = theirs = 0.0
    for lo in range(0, s.size, chunk):
        part = slice(lo, lo + chunk)
        start = time.process_time()
        tarvik.american_prices(s[part], k[part], t[part], r[part], q[part], v[part], call[part])
        ours += time.process_time() - start
        start = time.process_time()
        for x in zip(s[part], t[part], r[part], q[part], v[part], call[part]):
            pricer(*x)
        theirs += time.process_time() - start
    return ours / s.size, theirs / s.size


def frontier(tool, book, ref, stride):
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "prices.csv")
        for setting in SETTINGS:
            args = [str(x) for x in setting]
            text = subprocess.run([tool, "run", *args, out, "--stride", str(stride)], check=True,
                                  capture_output=True, text=True).stdout
            table = np.loadtxt(out, delimiter=",", skiprows=2)
            index, prices = table[:, 0].astype(int), table[:, 1]
            us = float(text.split("(")[1].split()[0])  # processor time
            rows.append((f"tarvik scheme {' '.join(args)}", prices.size, us * 1e-6,
                         *errors(prices, ref[index], book[1][index])))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", help="build/reference/american_reference, for the frontier")
    parser.add_argument("--frontier-stride", type=int, default=7)
    parser.add_argument("--high-stride", type=int, default=10)
    parser.add_argument("--iv-stride", type=int, default=4)
    parser.add_argument("--tanh-sinh", action="store_true")
    options = parser.parse_args()
    book, ref = portfolio(), reference()
    s, k, t, r, q, v, call = book
    start = time.process_time()
    prices = tarvik.american_prices(s, k, t, r, q, v, call)
    price_time = (time.process_time() - start) / s.size
    rows = [("tarvik american_prices", s.size, price_time, *errors(prices, ref, k))]
    # Every iv_stride-th option, copied (a strided bool array is refused).
    sample = [np.ascontiguousarray(a[::options.iv_stride]) for a in (prices, s, k, t, r, q, call)]
    start = time.process_time()
    tarvik.american_implied_volatilities(*sample)
    iv_time = (time.process_time() - start) / sample[0].size
    if options.tool:
        rows += frontier(options.tool, book, ref, options.frontier_stride)
    if ql is not None:
        rows.append(quantlib_row("fast", ql.QdFpAmericanEngine.fastScheme(), book, ref, 1))
        rows.append(quantlib_row("accurate", ql.QdFpAmericanEngine.accurateScheme(), book, ref,
                                 1))
        rows.append(quantlib_row("highPrecision", ql.QdFpAmericanEngine.highPrecisionScheme(),
                                 book, ref, options.high_stride))
        if options.tanh_sinh:
            rows.append(quantlib_row("tanh-sinh 24 64 1e-15",
                                     ql.QdFpTanhSinhIterationScheme(24, 64, 1e-15), book, ref,
                                     100))
    print(f"tarvik american_implied_volatilities: {iv_time * 1e6:.0f} us per option over "
          f"{sample[0].size} options, {iv_time / price_time:.1f}x american_prices")
    if ql is not None:
        ours, theirs = interleaved_ratio(ql.QdFpAmericanEngine.highPrecisionScheme(), book,
                                         options.high_stride)
        print(f"in turns on every {options.high_stride}th option: tarvik american_prices "
              f"{ours * 1e6:.0f} us, QuantLib highPrecision {theirs * 1e6:,.0f} us: "
              f"{theirs / ours:.0f}x")
    print("| contender | options | time per option | worst error | RMS error |")
    print("|---|---:|---:|---:|---:|")
    for name, n, seconds, worst, rms in sorted(rows, key=lambda row: row[2]):
        print(f"| {name} | {n} | {seconds * 1e6:,.0f} us | {worst:.2e} | {rms:.2e} |")


if __name__ == "__main__":
    main()
