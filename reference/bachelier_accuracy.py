"""Accuracy sweep of the normal (Bachelier) model against mpmath at 50 digits.

    PYTHONPATH=build/pkg python3 reference/bachelier_accuracy.py [points_per_region]

Over regions of u = |F - K|/(sigma sqrt T), from the money (u = 0) to the far
tail where the out-of-the-money price nears the least normal double
(u ~ 37.5), on both sides of the money, with forwards and strikes of either
sign and magnitudes from 1e-4 to 1e2:

* implied volatility: the price computed at 50 digits and rounded to a double
  is inverted by tarvik; the error is |sigma - exact| / exact, exact the
  volatility whose price is exactly that double (Newton at 50 digits), in
  units of eps max(1, kappa), kappa = P/(sigma dP/dsigma) the condition number
  (the target is 8);
* price and sensitivities: relative error in ulps (eps) against their values
  at the double inputs.

Prints worst and median per region. QuantLib's bachelierBlackFormulaImpliedVol
on the same prices is in bench/bachelier_compare.py.
"""

import math
import random
import statistics
import sys

import mpmath as mp
import tarvik

mp.mp.dps = 50
EPS = 2.0**-52
REGIONS = [(0.0, 0.0), (1e-12, 1e-4), (1e-4, 1.0), (1.0, 5.5), (5.5, 10.0), (10.0, 20.0),
           (20.0, 37.5)]


def time_value(a, s):
    """s phi(a/s) - a Phi(-a/s) for a = |F - K| >= 0."""
    u = a / s
    return s * mp.npdf(u) - a * mp.ncdf(-u)


def exact_price(forward, strike, maturity, vol, is_call):
    f, k, t, v = map(mp.mpf, (forward, strike, maturity, vol))
    x = f - k if is_call else k - f
    return max(x, 0) + time_value(abs(x), v * mp.sqrt(t))


def exact_inverse(price, forward, strike, maturity, is_call, start):
    """sigma with exact_price(sigma) = price (a double), by Newton on s =
    sigma sqrt T (dV/ds = phi(a/s)), in log space for a tail price."""
    f, k, t = map(mp.mpf, (forward, strike, maturity))
    x = f - k if is_call else k - f
    v, a = mp.mpf(price) - max(x, 0), abs(x)
    s = mp.mpf(start) * mp.sqrt(t)
    for _ in range(100):
        g = time_value(a, s)
        step = (mp.log(g) - mp.log(v)) * g / mp.npdf(a / s)
        s = s - step if step < s else s / 2
        if abs(step) < s * mp.mpf(10) ** -45:
            break
    return s / mp.sqrt(t)


def option(rng, u, in_the_money):
    is_call = rng.random() < 0.5
    forward = rng.choice((-1, 1)) * 10.0 ** rng.uniform(-4, 2)
    maturity = 10.0 ** rng.uniform(-2, 1.5)
    vol = abs(forward) * 10.0 ** rng.uniform(-1.5, 0.5)
    sign = 1.0 if in_the_money == is_call else -1.0
    return forward, forward - sign * u * vol * math.sqrt(maturity), maturity, vol, is_call


def iv_error(args):
    forward, strike, maturity, vol, is_call = args
    p = exact_price(*args)
    price = float(p)
    intrinsic = max(forward - strike if is_call else strike - forward, 0.0)
    if price <= intrinsic or price - intrinsic < 2.2250738585072014e-308:
        return None
    got = tarvik.bachelier_implied_volatility(price, forward, strike, maturity, is_call)
    sigma = exact_inverse(price, forward, strike, maturity, is_call, got)
    vega = mp.sqrt(maturity) * mp.npdf((mp.mpf(forward) - strike) / (sigma * mp.sqrt(maturity)))
    kappa = mp.mpf(price) / (sigma * vega)
    return float(abs(got / sigma - 1) / EPS / max(1, kappa)), float(kappa)


def greek_errors(args):
    forward, strike, maturity, vol, is_call = args
    f, k, t, v = map(mp.mpf, args[:4])
    s = v * mp.sqrt(t)
    d = (f - k) / s
    n = mp.npdf(d)
    want = {"price": exact_price(*args), "delta": mp.ncdf(d) if is_call else -mp.ncdf(-d),
            "gamma": n / s, "vega": mp.sqrt(t) * n, "theta": -v * n / (2 * mp.sqrt(t)),
            "vanna": -d * n / v, "vomma": d * d * mp.sqrt(t) * n / v}
    out = {}
    for name, w in want.items():
        fn = getattr(tarvik, "bachelier_" + name)
        got = fn(*args) if name in ("price", "delta") else fn(*args[:4])
        if w != 0 and abs(w) > 2.2250738585072014e-308:
            out[name] = float(abs(mp.mpf(got) / w - 1)) / EPS
    return out


def sweep(per_region, seed=20):
    rng = random.Random(seed)
    rows = []
    for lo, hi in REGIONS:
        for side in ("out", "in"):
            iv, greeks = [], {}
            for _ in range(per_region):
                u = lo if lo == hi else math.exp(rng.uniform(math.log(lo), math.log(hi)))
                args = option(rng, u, side == "in")
                r = iv_error(args)
                if r is not None:
                    iv.append(r[0])
                for name, e in greek_errors(args).items():
                    greeks.setdefault(name, []).append(e)
            rows.append(((lo, hi), side, iv, greeks))
    return rows


def main():
    per_region = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    print("u region         side  n    IV worst  IV median   (eps max(1, kappa))   "
          "price worst/median, Greeks worst (ulps)")
    for (lo, hi), side, iv, greeks in sweep(per_region):
        g = " ".join(f"{n}={max(v):.1f}" for n, v in greeks.items() if n != "price")
        pr = greeks.get("price", [0.0])
        print(f"[{lo:<7g}, {hi:<7g}] {side:>4} {len(iv):4d} {max(iv, default=0):9.2f} "
              f"{statistics.median(iv) if iv else 0:9.2f}   price={max(pr):.1f}/"
              f"{statistics.median(pr):.2f} {g}")


if __name__ == "__main__":
    main()
