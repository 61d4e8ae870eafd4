"""American puts: tarvik's time per price and per implied volatility beside
QuantLib's QdFpAmericanEngine schemes (fast, accurate, highPrecision) in the
same process, and each scheme's worst relative difference from tarvik
(denominator max(p, 1e-4 K)). Usage: python bench/american_bench.py [n]"""
import sys
import time

import numpy as np
import tarvik

try:
    import QuantLib as ql
except ImportError:  # the comparison needs the peer
    ql = None


def book(n, seed=5):
    rng = np.random.default_rng(seed)
    return (rng.uniform(25, 200, n), np.full(n, 100.0), np.round(rng.uniform(1 / 12, 3, n) * 365) / 365,
            rng.uniform(0, 0.1, n), rng.uniform(0, 0.12, n), rng.uniform(0.1, 0.6, n))


def quantlib_prices(args, scheme):
    today = ql.Date(1, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot = ql.SimpleQuote(1.0)
    out = []
    for s, k, t, r, q, v in zip(*args):
        spot.setValue(s)
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(spot), ql.YieldTermStructureHandle(ql.FlatForward(today, q, dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, r, dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), v, dc)))
        option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Put, k),
                                  ql.AmericanExercise(today, today + int(round(t * 365))))
        option.setPricingEngine(
            ql.QdFpAmericanEngine(process, getattr(ql.QdFpAmericanEngine, scheme + "Scheme")()))
        out.append(option.NPV())
    return np.array(out)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    args = book(n)
    start = time.perf_counter()
    prices = tarvik.american_prices(*args, False)
    price_time = (time.perf_counter() - start) / n
    start = time.perf_counter()
    tarvik.american_implied_volatilities(prices, *args[:5], False)
    iv_time = (time.perf_counter() - start) / n
    print(f"tarvik: {price_time * 1e6:.0f} us/price, {iv_time * 1e6:.0f} us/implied volatility "
          f"({iv_time / price_time:.1f}x)")
    if ql is None:
        return
    floor = np.maximum(prices, 1e-4 * args[1])
    for scheme in ("fast", "accurate", "highPrecision"):
        m = n if scheme != "highPrecision" else max(n // 10, 1)
        sub = tuple(a[:m] for a in args)
        start = time.perf_counter()
        theirs = quantlib_prices(sub, scheme)
        elapsed = (time.perf_counter() - start) / m
        worst = np.max(np.abs(theirs - prices[:m]) / floor[:m])
        print(f"QuantLib {scheme}: {elapsed * 1e6:.0f} us/price, worst difference {worst:.2e}")


if __name__ == "__main__":
    main()
