"""The Black-76 price and the spot model: bit-for-bit agreement with the
textbook four-case formula, the input checks of every pricing and
implied-volatility function (order and messages) against their plain
description in model.py, Black-76 properties and accuracy against 50-digit
mpmath. The sensitivities' values are tested in test_greeks.py."""

import inspect
import math
import random
import struct
import sys
from fractions import Fraction

import model
import numpy as np
import pytest
import tarvik
from mpmath import mp, mpf

EPS = 2.0**-52
MIN_NORMAL = sys.float_info.min
MAX = sys.float_info.max
NAN, INF = math.nan, math.inf

SPECIAL = [0.0, -0.0, 1.0, -1.0, INF, -INF, NAN, 5e-324, -5e-324, MIN_NORMAL, 1e-310, MAX,
           -MAX, 1e-300, 1e300, -1e300, 1.3e154, 1.4e154, 2e154, -1.4e154, 8.3, -8.3, 10.0,
           -10.0, 37.5, -38.5, 700.0, -700.0, 1000.0, -1000.0]


def bits(v):
    return struct.pack("<d", v)


def same(a, b):
    """Bit-for-bit equality, except that every NaN equals every NaN."""
    return (a != a and b != b) or bits(a) == bits(b)


def any_double(rng):
    r = rng.random()
    if r < 0.3:
        return rng.choice(SPECIAL)
    if r < 0.55:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    return rng.choice((-1.0, 1.0)) * 10.0 ** rng.uniform(-323.0, 308.0)


def magnitude(rng, lo, hi):
    return 10.0 ** rng.uniform(lo, hi)


# Typical draws per parameter. Every argument but is_call is replaced by any
# double one time in ten, and in one draw in four all of them are positive
# magnitudes over the whole double range.
TYPICAL = {
    "x": lambda r: r.uniform(-40.0, 40.0),
    "forward": lambda r: 100.0 * math.exp(r.gauss(0.0, 0.6)),
    "maturity": lambda r: r.uniform(1e-4, 5.0),
    "volatility": lambda r: 0.0 if r.random() < 0.05 else r.uniform(0.0, 1.5),
    "total_vol": lambda r: 0.0 if r.random() < 0.05 else r.uniform(0.0, 3.0),
    "rate": lambda r: r.uniform(-0.1, 0.2),
    "beta": lambda r: r.uniform(0.0, 1.2),
}
TYPICAL.update(spot=TYPICAL["forward"], strike=TYPICAL["forward"], dividend=TYPICAL["rate"],
               price=lambda r: r.uniform(0.0, 120.0))

# The checks of each scalar function that can raise (model.py), and for the
# prices the value by the four-case formula; every other function never
# raises.
CHECKS = {"black_scholes_forward": model.forward_checks,
          "implied_volatility": model.implied_volatility_checks,
          "black_implied_volatility": model.implied_volatility_checks,
          "normalised_implied_volatility": model.normalised_checks}
for name in ("black_price", "delta", "gamma", "vega", "theta", "vanna", "vomma"):
    CHECKS[name] = model.black_checks
for name in ("delta", "gamma", "vega", "theta", "vanna", "vomma", "rho", "dividend_rho"):
    CHECKS["black_scholes_" + name] = model.spot_checks
CHECKS["black_scholes_implied_volatility"] = model.spot_implied_volatility_checks
for name in ("price", "delta", "gamma", "vega", "theta", "vanna", "vomma"):
    CHECKS["bachelier_" + name] = model.bachelier_checks
CHECKS["bachelier_implied_volatility"] = model.bachelier_implied_volatility_checks


def american_checks(spot, strike, maturity, rate, dividend, volatility, is_call):
    """The European price's checks (two exercise boundaries, a put with
    q < r < 0 or a call with r < q < 0, are priced as well)."""
    model.spot_checks(spot, strike, maturity, rate, dividend, volatility, price=True)


CHECKS["american_price"] = american_checks


def model_price(name, a):
    if name == "black_price_total_vol":
        return model.black_price_total_vol(*a)
    if name == "black_price":
        model.black_checks(*a)
        return model.black_price_total_vol(a[0], a[1], a[3] * math.sqrt(a[2]), a[4])
    f, d_r, _ = model.spot_checks(*a, price=True)
    return d_r * model.black_price_total_vol(f, a[1], math.sqrt(a[2]) * a[5], a[6])


# The American inversion (some ten prices a call) is checked in test_american.py.
SCALARS = [n for n in tarvik.__all__ if callable(getattr(tarvik, n))
           and n not in ("error_codes", "american_implied_volatility")
           and not isinstance(getattr(tarvik, n), type)
           and not (getattr(tarvik, n).__doc__ or "").startswith("Batch")]


def draw(rng, names):
    wide = rng.random() < 0.25
    args = {}
    for name in names:
        if name == "is_call":
            args[name] = rng.random() < 0.5
        elif rng.random() < 0.1:
            args[name] = any_double(rng)
        else:
            args[name] = magnitude(rng, -300, 300) if wide else TYPICAL[name](rng)
    if "strike" in args and rng.random() < 0.05:  # at the money
        args["strike"] = args.get("forward", args.get("spot"))
    if "dividend" in args and rng.random() < 0.05:  # same F, extreme discount factors
        args["rate"] = args["dividend"] = rng.choice((-1000.0, -710.0, 710.0, 1000.0))
    return args


def outcome(fn, *args):
    """The value's bits, or the (kind, message) of the error raised."""
    try:
        value = fn(*args)
    except (tarvik.IVError, model.ModelError) as exc:
        return exc.args
    return "NaN" if math.isnan(value) else bits(value)


@pytest.mark.parametrize("name", SCALARS)
def test_values_and_checks_agree_with_their_description(name):
    """Prices bit for bit with the four-case formula; for every function the
    same error (kind and message, hence the order of the checks) or none."""
    fn = getattr(tarvik, name)
    names = list(inspect.signature(fn).parameters)
    rng = random.Random(name)
    mismatches, kinds = [], set()
    for _ in range(3000):
        a = list(draw(rng, names).values())
        got = outcome(fn, *a)
        if name in ("black_price", "black_price_total_vol", "black_scholes_price"):
            want = outcome(model_price, name, a)
        else:
            try:
                CHECKS.get(name, lambda *_: None)(*a)
                # The checks passed: a value, a solver that could not invert,
                # or an American premium beyond the doubles (rates of 1e100).
                want = got if not isinstance(got, tuple) or got[0] == "no_convergence" or \
                    got[1] == "invalid input: non-finite American price" else "a value"
            except model.ModelError as exc:
                want = exc.args
        if got != want:
            mismatches.append((a, got, want))
        kinds.add(got[0] if isinstance(got, tuple) else "value")
    assert mismatches[:5] == []
    assert len(kinds) > (1 if name in CHECKS or name == "black_scholes_price" else 0)


@pytest.mark.parametrize("name, args, expected", [
    ("black_price", (100, 100, 1, 0.2, True), 7.965567455405804),
    ("black_price", (100, 100, 1, 0.2, False), 7.965567455405804),
    ("black_price", (50, 100, 1, 0.01, True), 0.0), ("black_price", (200, 100, 1, 0.01, True), 100.0),
    ("black_price", (100, 100, 4, MAX, True), NAN),  # total volatility overflows
    ("black_price_total_vol", (100, 100, -0.1, True), NAN),
    ("black_price_total_vol", (INF, 100, 0.2, True), NAN),
    ("black_price_total_vol", (0, 100, 0.2, False), 100.0),
    ("black_price_total_vol", (100, 90, -0.0, True), 10.0),
    ("black_intrinsic", (NAN, 100, True), 0.0), ("log_moneyness", (0, 100), -INF),
])
def test_reference_value(name, args, expected):
    assert same(getattr(tarvik, name)(*args), expected)


def realistic(rng):
    f = magnitude(rng, -4, 8)
    return f, f * math.exp(rng.uniform(-2.0, 2.0)), magnitude(rng, -3, 1.5), magnitude(rng, -3, 0.5)


def test_put_call_parity_and_zero_volatility():
    # The in-the-money side is the out-of-the-money side's bracket plus the
    # rounded intrinsic value, so call - put - (F - K) is two roundings, at
    # most eps*max(call, put) (measured 0.83 of that).
    rng = random.Random(5)
    for _ in range(3000):
        f, k, t, v = realistic(rng)
        call, put = tarvik.black_price(f, k, t, v, True), tarvik.black_price(f, k, t, v, False)
        residual = Fraction(call) - Fraction(put) - (Fraction(f) - Fraction(k))
        assert abs(residual) <= Fraction(EPS) * Fraction(max(call, put)), (f, k, t, v)
        zero = rng.choice((0.0, -0.0))
        assert same(tarvik.black_price(f, k, t, zero, True), f - k if f > k else 0.0)
        assert same(tarvik.black_price(f, k, t, zero, False), k - f if k > f else 0.0)


def test_out_of_the_money_price_is_never_negative():
    # d1 from -3 down to -45, where both products underflow to +0 and where
    # they are subnormal and their difference could round below zero.
    rng = random.Random(6)
    for _ in range(3000):
        k, s, d1 = magnitude(rng, -4, 8), magnitude(rng, -6, 0.5), rng.uniform(-45.0, -3.0)
        f = k * math.exp(d1 * s - s * (s * 0.5))
        for args in ((f, k, s, True), (k, f, s, False)):
            price = tarvik.black_price_total_vol(*args)
            assert price >= 0.0 and math.copysign(1.0, price) == 1.0, args
            assert same(tarvik.black_price(args[0], args[1], 1.0, s, args[3]), price)


@pytest.mark.parametrize("args", [
    # d2 rounds to d1 at a tiny total volatility: the plain difference is -3.5e-18.
    (1.0, 1.0000000000000002, 1e-16, True),
    (1.0000000000000002, 1.0, 1e-16, False),
    # both products subnormal: the plain difference is -3.5e-321.
    (0.05431234935732418, 13336.394686938309, 0.3241532369550355, True),
])
def test_rounding_never_makes_a_price_negative(args):
    assert same(tarvik.black_price_total_vol(*args), 0.0)


@pytest.mark.parametrize("f, k", [(100.0, 120.0), (120.0, 100.0), (100.0, 100.0), (0.0, 100.0)])
@pytest.mark.parametrize("s", [1.3e154, 1.9e154, 1e200, MAX])
def test_price_tends_to_its_maximum_as_total_volatility_grows(f, k, s):
    # Also where s*(s/2) overflows: the call tends to F and the put to K.
    prices = tarvik.black_price_total_vol(f, k, s, True), tarvik.black_price_total_vol(f, k, s, False)
    assert prices == (f, k)
    if f > 0.0:
        assert list(tarvik.black_prices(f, k, 1.0, np.array([s, s]), False)) == [k, k]
        spot = tarvik.black_scholes_price(f, k, 4.0, 0.05, 0.02, s / 2.0, True)
        assert spot == math.exp(-(0.05 * 4.0)) * tarvik.black_scholes_forward(f, 4.0, 0.05, 0.02)


# ---- accuracy against mpmath at 50 digits ----------------------------------
# The worst relative error, in units of eps*(1 + kappa), kappa being the
# amplification of unavoidable roundings: of x*(-0.5)*x for the density
# (x^2), of x times the rounded 1/sqrt(2) for the distribution functions
# (|x phi(x)/Phi(x)|), and for the price of its two products (each with that
# kappa), of s (vega times s) and of the intrinsic value, relative to the
# price. Arguments stay where the results are normal doubles.

def normal_case(fn, lo, hi):
    def case(rng):
        x = rng.uniform(lo, hi)
        if rng.random() < 0.4:
            x = rng.choice((-1, 1)) * 10 ** rng.uniform(-12, 1.5)
        if fn is tarvik.norm_pdf:
            return fn(x), mp.npdf(x), x * x
        exact = mp.ncdf(x if fn is tarvik.norm_cdf else -mpf(x))
        return fn(x), exact, float(abs(x * mp.npdf(x) / exact))

    case.__name__ = fn.__name__
    return case


def price_case(rng):
    while True:
        f, k, t, v = realistic(rng)
        is_call = rng.random() < 0.5
        fm, km = mpf(f), mpf(k)
        s = mpf(v) * mp.sqrt(mpf(t))
        d1 = (mp.log(fm / km) + s * s / 2) / s
        d2 = d1 - s
        # The out-of-the-money products, as the price evaluates them.
        x = math.log(f) - math.log(k)
        sign = 1 if ((x < 0) if is_call else (x <= 0)) else -1
        p1, p2 = fm * mp.ncdf(sign * d1), km * mp.ncdf(sign * d2)
        intrinsic = max(fm - km, 0) if is_call else max(km - fm, 0)
        exact = intrinsic + sign * (p1 - p2)
        if exact > MIN_NORMAL:
            break

    def amplified(p, d):
        return p * (1 + abs(d * mp.npdf(d) / mp.ncdf(sign * d)))

    kappa = (amplified(p1, d1) + amplified(p2, d2) + fm * mp.npdf(d1) * s + intrinsic) / exact
    return tarvik.black_price(f, k, t, v, is_call), exact, float(kappa)


@pytest.mark.parametrize("case, bound", [
    (normal_case(tarvik.norm_pdf, -37.5, 37.5), 1.0),  # measured 0.83 over 20000 arguments
    (normal_case(tarvik.norm_cdf, -37.5, 8.3), 1.0),  # measured 0.80 over 20000
    (normal_case(tarvik.norm_cdf_c, -8.3, 37.5), 1.0),  # measured 0.78 over 20000
    (price_case, 0.75),  # measured 0.55, 0.59 over 20000
])
def test_accuracy(case, bound):
    rng = random.Random(case.__name__)
    with mp.workdps(50):
        worst = max(float(abs((mpf(computed) - exact) / exact)) / EPS / (1 + kappa)
                    for computed, exact, kappa in (case(rng) for _ in range(2000)))
    print(f"{case.__name__}: worst relative error {worst:.3f} eps*(1+kappa)")
    assert worst <= bound
