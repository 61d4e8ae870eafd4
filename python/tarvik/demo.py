"""A short tour of tarvik on a built-in option chain: ``python -m tarvik``
(or ``python -m tarvik demo``).

Prices a small Black-76 chain with its intrinsic values and Greeks, shows the
error a bad quote raises, recovers the volatilities from the prices, and
finally prices a large generated chain in one batch call, serially and on the
worker pool.

``index_chain()`` is a second, larger built-in chain: bid and ask prices of
calls and puts on an equity index over eight expiries, for fitting smiles
and surfaces (``tarvik.frame.fit_surface``, ``python -m tarvik surface``);
``python -m tarvik demo --chain`` writes it as CSV.
"""

from __future__ import annotations

import csv
import datetime as dt
import math
import sys
import time
import typing

import tarvik

__all__ = ["INDEX_VALUATION", "index_chain", "main", "write_index_chain"]

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


# ---- the index chain -------------------------------------------------------

INDEX_VALUATION = "2026-03-20"
INDEX_SPOT, INDEX_RATE, INDEX_DIVIDEND = 5000.0, 0.04, 0.013
INDEX_EXPIRIES = ("2026-04-03", "2026-04-17", "2026-05-15", "2026-06-18", "2026-09-18",
                  "2026-12-18", "2027-06-17", "2028-03-17")


def index_years(expiry: str) -> float:
    """ACT/365F years from INDEX_VALUATION to an expiry date."""
    days = (dt.date.fromisoformat(expiry) - dt.date.fromisoformat(INDEX_VALUATION)).days
    return days / 365.0


def index_total_variance(k: typing.Any, t: typing.Any) -> typing.Any:
    """The index chain's smile, in total implied variance at log-moneyness
    k = ln(K/F) and maturity t: SSVI with a power-law phi (Gatheral and
    Jacquier 2014, rho = -0.7, eta = 0.8, gamma = 1/2), free of static
    arbitrage, on an at-the-money variance that runs from 0.14^2 towards
    0.2^2 at the rate 1.5 (the expected variance of a Heston process)."""
    import numpy as np

    k, t = np.asarray(k, float), np.asarray(t, float)
    near, far, speed = 0.14**2, 0.2**2, 1.5
    theta = far * t + (near - far) * (1.0 - np.exp(-speed * t)) / speed
    rho, eta = -0.7, 0.8
    phi = eta / np.sqrt(theta * (1.0 + theta))
    return theta / 2 * (1 + rho * phi * k + np.sqrt((phi * k + rho) ** 2 + 1 - rho**2))


def index_chain(seed: int = 2026) -> dict[str, typing.Any]:
    """An equity-index option chain (some 450 quotes) as columns: ``expiry``
    (ISO dates, valued on INDEX_VALUATION), ``strike``, ``type`` (C or P)
    and ``bid`` and ``ask`` (NumPy arrays; the others lists), which
    ``pandas.DataFrame`` and ``polars.DataFrame`` take as they are.

    Spot 5000, rate 4%, dividend yield 1.3%; eight expiries from two weeks
    to two years, each with 20 to 40 strikes on a grid of round numbers
    (10 to 250 points apart) from about 3.2 at-the-money standard deviations below
    the forward to 1.8 above, a call and a put at each. The prices are
    Black-76 on the forward, discounted, at the volatilities of
    ``index_total_variance``, moved by a little noise and quoted around it
    at a width of some half a volatility point at the money (wider in the
    wings and in the money), on ticks of 0.05 below 3 and 0.10 above; a
    bid that rounds to zero is quoted as zero (a one-sided quote). The
    same seed gives the same chain.
    """
    import numpy as np

    rng = np.random.default_rng(seed)
    columns: dict[str, list[typing.Any]] = {name: [] for name in
                                            ("expiry", "strike", "type", "bid", "ask")}
    for expiry in INDEX_EXPIRIES:
        t = index_years(expiry)
        forward = INDEX_SPOT * math.exp((INDEX_RATE - INDEX_DIVIDEND) * t)
        discount = math.exp(-INDEX_RATE * t)
        width = math.sqrt(float(index_total_variance(0.0, t)))  # at-the-money sigma sqrt(t)
        # Every strike of the grid between the bounds, on the widest grid
        # that gives at least 20.
        low, high = forward * math.exp(-3.2 * width - 0.02), forward * math.exp(1.8 * width + 0.01)
        step = next(s for s in (250.0, 200.0, 100.0, 50.0, 25.0, 20.0, 10.0)
                    if (high - low) / s >= 20)
        strikes = np.asarray(np.arange(math.ceil(low / step), math.floor(high / step) + 1) * step,
                             dtype=np.float64)
        n = strikes.size
        vols = np.sqrt(index_total_variance(np.log(strikes / forward), t) / t)
        for is_call in (True, False):
            price = discount * tarvik.black_prices(forward, strikes, t, vols, is_call)
            vega = discount * tarvik.vegas(forward, strikes, t, vols)
            # Half a volatility point at the money, more in the wings; 1% of
            # the price in the money; never below a tick.
            z = np.abs(np.log(strikes / forward)) / width
            half = 0.5 * np.maximum(0.005 * (1 + 0.5 * z) * vega + 0.01 * price, 0.10)
            mid = price + 0.2 * half * rng.standard_normal(n)
            tick = np.where(mid < 3.0, 0.05, 0.10)
            bid = np.maximum(np.floor((mid - half) / tick + 1e-9) * tick, 0.0)
            ask = np.ceil((mid + half) / tick - 1e-9) * tick
            columns["expiry"] += [expiry] * n
            columns["strike"] += strikes.tolist()
            columns["type"] += ["C" if is_call else "P"] * n
            columns["bid"] += np.round(bid, 2).tolist()
            columns["ask"] += np.round(ask, 2).tolist()
    return {name: np.array(values) if name in ("strike", "bid", "ask") else values
            for name, values in columns.items()}


def write_index_chain(out: typing.TextIO = sys.stdout) -> None:
    """Writes index_chain() as CSV with a header line."""
    chain = index_chain()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(list(chain))
    writer.writerows(zip(*(
        [repr(float(x)) for x in v] if name != "expiry" and name != "type" else v
        for name, v in chain.items())))


def main() -> None:
    chain()
    spot_model()
    bad_quote()
    batch()


if __name__ == "__main__":
    main()
