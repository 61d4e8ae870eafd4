"""The normal (Bachelier) model against 50-digit mpmath: prices and
sensitivities within a few ulps times their condition number, implied normal
volatilities of correctly rounded prices within 8 eps max(1, kappa) of the
exact inverse, from the money to the far tail (prices near the least normal
double), both sides, negative forwards and strikes included; and the
shifted-lognormal reading of Black-76. Input checks are in test_black.py,
batch = scalar and serial = parallel in test_batch.py."""

import math
import random

import pytest
import tarvik
from mpmath import mp, mpf

EPS = 2.0**-52
mp.dps = 50


def exact(forward, strike, maturity, vol, is_call):
    """Price and the six sensitivities at the double inputs, in mpmath."""
    f, k, t, v = map(mpf, (forward, strike, maturity, vol))
    s = v * mp.sqrt(t)
    d = (f - k) / s
    x = (f - k) if is_call else (k - f)
    n = mp.npdf(d)
    return {"price": x * mp.ncdf(x / s) + s * n,
            "delta": mp.ncdf(d) if is_call else -mp.ncdf(-d),
            "gamma": n / s, "vega": mp.sqrt(t) * n, "theta": -v * n / (2 * mp.sqrt(t)),
            "vanna": -d * n / v, "vomma": d * d * mp.sqrt(t) * n / v}


def draw(rng, u):
    """An option u = |F - K|/(sigma sqrt T) from the money, in or out of it."""
    is_call, itm = rng.random() < 0.5, rng.random() < 0.5
    forward = rng.uniform(-0.05, 0.05) * 10.0 ** rng.uniform(-2, 3)
    maturity, vol = rng.uniform(0.05, 30.0), abs(forward) * rng.uniform(0.05, 2.0) + 1e-4
    sign = 1.0 if itm == is_call else -1.0
    return forward, forward - sign * u * vol * math.sqrt(maturity), maturity, vol, is_call


def u_values(rng):
    return ([0.0] + [10.0 ** rng.uniform(-12, 0) for _ in range(25)]
            + [rng.uniform(0.0, 8.0) for _ in range(40)] + [rng.uniform(8.0, 37.5) for _ in range(30)])


def test_prices_and_sensitivities_against_mpmath():
    """Relative error in ulps over a condition number: u^2 + 1 covers the
    price's sensitivity to its inputs (the exponent -u^2/2); the derivatives
    carry one more factor u from d."""
    rng = random.Random(20)
    worst = {}
    for u in u_values(rng):
        args = draw(rng, u)
        ref = exact(*args)
        for name, want in ref.items():
            if want == 0:
                continue
            fn = getattr(tarvik, "bachelier_" + name)
            got = fn(*args) if name in ("price", "delta") else fn(*args[:4])
            m = mpf(got)
            cond = 1 + u * u + (u if name != "price" else 0)
            if name == "price" and args[4] == (args[0] > args[1]):  # in the money
                cond += float(abs(mpf(args[0]) - mpf(args[1])) / want)
            err = float(abs(m / want - 1)) / EPS / cond
            worst[name] = max(worst.get(name, 0.0), err)
    assert max(worst.values()) < 4, worst


@pytest.mark.parametrize("side", ["otm", "itm"])
def test_implied_volatility_within_8_eps_of_the_exact_inverse(side):
    """Of a correctly rounded price, over u from 0 to where the price nears
    the least normal double; kappa = P/(sigma dP/dsigma)."""
    rng = random.Random(side)
    worst = 0.0
    for u in u_values(rng):
        forward, strike, maturity, vol, is_call = draw(rng, u)
        if (side == "itm") != (is_call == (forward > strike)) and u > 0:
            strike = 2 * forward - strike
        intrinsic = max((forward - strike) if is_call else (strike - forward), 0.0)
        price = float(exact(forward, strike, maturity, vol, is_call)["price"])
        if price <= intrinsic or price < 2.2250738585072014e-308:
            continue
        got = tarvik.bachelier_implied_volatility(price, forward, strike, maturity, is_call)
        p = mpf(price)
        sigma = mp.findroot(lambda v: exact(forward, strike, maturity, v, is_call)["price"] - p,
                            mpf(got), tol=mpf(10) ** -45)
        kappa = p / (sigma * exact(forward, strike, maturity, sigma, is_call)["vega"])
        worst = max(worst, float(abs(got / sigma - 1) / EPS / max(1, kappa)))
    assert worst <= 8, worst


@pytest.mark.parametrize("shift", [0.0, 0.01, 0.03])
def test_shifted_lognormal_is_black_on_shifted_forward_and_strike(shift):
    """A shifted-lognormal quote with shift d is Black-76 on F + d and K + d:
    negative rates priced and inverted through the Black functions."""
    forward, strike, maturity, vol = -0.004, 0.002, 2.0, 0.25
    if forward + shift <= 0 or strike + shift <= 0:
        with pytest.raises(tarvik.IVError):
            tarvik.black_price(forward + shift, strike + shift, maturity, vol, True)
        return
    price = tarvik.black_price(forward + shift, strike + shift, maturity, vol, True)
    f, k = mpf(forward) + shift, mpf(strike) + shift
    s = mpf(vol) * mp.sqrt(maturity)
    d1 = (mp.log(f / k) + s * s / 2) / s
    assert float(abs(price / (f * mp.ncdf(d1) - k * mp.ncdf(d1 - s)) - 1)) < 1e-12
    iv = tarvik.implied_volatility(price, forward + shift, strike + shift, maturity, True)
    assert abs(iv - vol) < 1e-14


@pytest.mark.parametrize("args, want", [
    ((0.0, 0.0, 1.0, 0.0, True), 0.0),                     # zero volatility, at the money
    ((-0.01, -0.02, 1.0, 0.0, True), 0.01),                # intrinsic, negative rates
    ((1e300, -1e300, 1.0, 1e300, False), None),            # huge magnitudes, u = 2
    ((3.0, -4.0, 1.0, 0.1, True), None),                   # u = 70: phi(d) underflows
    ((0.0, 1.0, 1.0, 1e-310, True), 0.0),                  # d overflows
])
def test_price_edges(args, want):
    """Finite sensitivities (never NaN) and the price to the ulp."""
    want = float(exact(*args)["price"]) if want is None else want
    assert tarvik.bachelier_price(*args) == pytest.approx(want, rel=4 * EPS, abs=0)
    for name in ("gamma", "vega", "theta", "vanna", "vomma"):
        assert math.isfinite(getattr(tarvik, "bachelier_" + name)(*args[:4]))


@pytest.mark.parametrize("price, args, want", [
    (1e-300, (0.0, 0.0, 1.0, True), 1e-300 * math.sqrt(2 * math.pi)),  # at the money
    (5e-324, (0.0, 1e-300, 1.0, True), None),   # the least time value: a finite volatility
    (1e300, (0.0, 5e-324, 1.0, False), None),   # v/|F - K| overflows
    # Away from the money (u = 5) at maturities whose product with -2 ln r
    # would overflow or lose digits unless scaled.
    (tarvik.bachelier_price(0.0, 1.0, 1e308, 2e-155, True), (0.0, 1.0, 1e308, True), None),
    (tarvik.bachelier_price(0.0, 1.0, 1e-320, 2e159, True), (0.0, 1.0, 1e-320, True), None),
])
def test_implied_volatility_edges(price, args, want):
    got = tarvik.bachelier_implied_volatility(price, *args)
    assert math.isfinite(got) and got > 0
    if want is not None:
        assert got == pytest.approx(want, rel=4 * EPS)
    back = tarvik.bachelier_price(args[0], args[1], args[2], got, args[3])
    assert back == pytest.approx(price, rel=1e-12)
