"""A short tour of tarvik on a built-in option chain: ``python -m tarvik``
(or ``python -m tarvik demo``).

Prices a small Black-76 chain with its intrinsic values and Greeks, shows the
error a bad quote raises, recovers the volatilities from the prices, and
finally prices a large generated chain in one batch call, serially and on the
worker pool.
"""

import time

import tarvik

__all__ = ["main"]

FORWARD = 100.0
MATURITY = 0.5
STRIKES = (80.0, 90.0, 100.0, 110.0, 120.0)
# A volatility smile: higher volatility away from the money.
VOLS = (0.28, 0.23, 0.20, 0.19, 0.21)


def chain() -> None:
    print(f"Black-76 chain: forward {FORWARD}, maturity {MATURITY} years (undiscounted)")
    print(f"{'strike':>7} {'vol':>5} {'call':>10} {'put':>10} {'intrinsic':>10}"
          f" {'delta':>8} {'gamma':>8} {'vega':>8} {'theta':>8} {'implied':>8}")
    for strike, vol in zip(STRIKES, VOLS):
        call = tarvik.black_price(FORWARD, strike, MATURITY, vol, True)
        put = tarvik.black_price(FORWARD, strike, MATURITY, vol, False)
        intrinsic = tarvik.black_intrinsic(FORWARD, strike, True)
        delta = tarvik.delta(FORWARD, strike, MATURITY, vol, True)
        gamma = tarvik.gamma(FORWARD, strike, MATURITY, vol)
        vega = tarvik.vega(FORWARD, strike, MATURITY, vol)
        theta = tarvik.theta(FORWARD, strike, MATURITY, vol)
        implied = tarvik.implied_volatility(call, FORWARD, strike, MATURITY, True)
        print(f"{strike:7.1f} {vol:5.2f} {call:10.6f} {put:10.6f} {intrinsic:10.6f}"
              f" {delta:8.5f} {gamma:8.5f} {vega:8.4f} {theta:8.4f} {implied:8.5f}")


def spot_model() -> None:
    spot, rate, dividend = 100.0, 0.05, 0.02
    forward = tarvik.black_scholes_forward(spot, MATURITY, rate, dividend)
    price = tarvik.black_scholes_price(spot, 100.0, MATURITY, rate, dividend, 0.2, True)
    delta = tarvik.black_scholes_delta(spot, 100.0, MATURITY, rate, dividend, 0.2, True)
    print(f"\nBlack-Scholes-Merton, spot {spot}, r {rate}, q {dividend}: forward {forward:.6f},"
          f" at-the-money call {price:.6f}, delta {delta:.6f}")


def bad_quote() -> None:
    print("\nA call quoted below its intrinsic value is rejected:")
    try:
        tarvik.implied_volatility(1.0, 105.0, 100.0, 1.0, True)
    except tarvik.IVError as error:
        kind, message = error.args
        print(f"  IVError kind={kind!r} message={message!r}")


def batch(n: int = 1_000_000) -> None:
    import numpy as np

    rng = np.random.default_rng(7)
    # Out-of-the-money calls: deep in the money, the time value of a short
    # option can fall below the last digit of its price, and no volatility
    # can be recovered from it.
    strikes = FORWARD * np.exp(rng.uniform(0.0, 0.3, n))
    maturities = rng.uniform(0.05, 2.0, n)
    vols = rng.uniform(0.1, 0.6, n)
    print(f"\nBatch of {n:,} quotes:")
    results = {}
    for parallel in (False, True):
        start = time.perf_counter()
        prices = tarvik.black_prices(FORWARD, strikes, maturities, vols, True, parallel)
        implied = tarvik.implied_volatilities(prices, FORWARD, strikes, maturities, True, parallel)
        elapsed = time.perf_counter() - start
        results[parallel] = (prices, implied)
        label = "parallel" if parallel else "serial  "
        print(f"  {label}: prices and implied volatilities in {elapsed * 1e3:8.1f} ms")
    same = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(results[False], results[True]))
    worst = np.max(np.abs(results[False][1] - vols) / vols)
    print(f"  serial and parallel results identical: {same}")
    print(f"  largest relative error of the recovered volatilities: {worst:.2e}")


def main() -> None:
    chain()
    spot_model()
    bad_quote()
    batch()


if __name__ == "__main__":
    main()
