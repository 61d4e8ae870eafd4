"""The Black-76 price and the spot model: what every scalar function does
with any doubles, the input checks (kinds, messages, which fault is told
first), Black-76 properties (parity, limits, never negative) and accuracy
against 50-digit mpmath, over realistic inputs and across the doubles. The
sensitivities' values are tested in test_greeks.py; the bits of every
function's values and messages are pinned in test_digests.py."""

import inspect
import math
import random
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest
import tarvik

import correctly_rounded
from mpmath import mp, mpf
from sizes import sample

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

# Functions without input checks: any doubles give a value (NaN at worst).
UNCHECKED = {"norm_pdf", "norm_cdf", "norm_cdf_c", "black_intrinsic", "log_moneyness",
             "black_price_total_vol"}
# The American inversion (some ten prices a call) is checked in test_american.py,
# the one with cash dividends (some five prices) in test_dividends.py.
SCALARS = [n for n in tarvik.__all__ if callable(getattr(tarvik, n))
           and n not in ("error_codes", "american_implied_volatility", "european_implied_volatility")
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


def same_price_by_another_entry(name, a, value):
    """The price again through the entry points it is made of: Black-76 on
    the total volatility sigma sqrt(T), and the spot model as the discounted
    Black-76 price on black_scholes_forward."""
    if name == "black_price":
        f, k, t, v, call = a
        return same(value, tarvik.black_price_total_vol(f, k, v * math.sqrt(t), call))
    if name == "black_scholes_price":
        s, k, t, r, q, v, call = a
        forward = tarvik.black_scholes_forward(s, t, r, q)
        return same(value, correctly_rounded.exp(-(r * t)) * tarvik.black_price(forward, k, t, v, call))
    return True


@pytest.mark.parametrize("name", SCALARS)
def test_any_doubles_give_a_value_or_an_error_of_a_known_kind(name):
    """Over draws across the doubles: functions without checks never raise,
    the others raise IVError of a listed kind only, invalid_input where an
    argument is not finite; prices are never negative and are the same bits
    through the entry points they are made of."""
    fn = getattr(tarvik, name)
    names = list(inspect.signature(fn).parameters)
    # A cash-dividend schedule, by keyword, for the functions that take one.
    schedule = {"dividend_times": [0.1, 0.6, 2.0], "dividend_amounts": [1.0, 0.5, 3.0]}
    kw = {k: v for k, v in schedule.items() if k in names}
    names = [p for p in names if p not in schedule]
    rng = random.Random(name)
    bad, kinds = [], set()
    # A price with dividends costs some thousand times the others (an American
    # put's boundary between ex-dates up to a second): fewer draws.
    for _ in range(150 if kw else 3000):
        a = list(draw(rng, names).values())
        try:
            value = fn(*a, **kw)
        except tarvik.IVError as exc:
            kind = exc.args[0]
            finite = all(math.isfinite(v) for v in a if not isinstance(v, bool))
            if name in UNCHECKED or kind not in tarvik.ERROR_KINDS or \
                    (not finite and kind != "invalid_input"):
                bad.append((a, exc.args))
            kinds.add(kind)
            continue
        kinds.add("value")
        if not isinstance(value, float) or ("price" in name and value < 0.0) or \
                not same_price_by_another_entry(name, a, value):
            bad.append((a, value))
    assert bad[:5] == []
    assert len(kinds) > (0 if name in UNCHECKED else 1)


@pytest.mark.parametrize("name, args, kind, message", [
    # Black-76: non-finite first, then forward, strike, maturity, volatility.
    ("black_price", (NAN, -1, -1, -1, True), "invalid_input", "invalid input: non-finite Black input"),
    ("vomma", (100, 100, 1, INF), "invalid_input", "invalid input: non-finite Black input"),
    ("black_price", (-1, -1, -1, -1, True), "negative_forward", "forward must be positive, got -1"),
    ("delta", (1, -0.0, -1, -1, True), "negative_strike", "strike must be positive, got -0"),
    ("black_price", (1, 1, 0, -1, True), "negative_time", "maturity must be positive, got 0"),
    ("gamma", (1, 1, 1, -1e-300), "invalid_input", "invalid input: volatility must be non-negative"),
    # The spot model: spot, rate and dividend before the Black-76 inputs.
    ("black_scholes_delta", (0, NAN, 1, 0.05, 0, 0.2, True), "invalid_input",
     "invalid input: spot must be positive"),
    ("black_scholes_delta", (100, 100, 1, NAN, 0, 0.2, True), "invalid_input",
     "invalid input: non-finite Black-Scholes input"),
    ("black_scholes_vega", (100, NAN, 1, 0.05, 0, 0.2), "invalid_input",
     "invalid input: non-finite Black input"),
    ("black_scholes_price", (1e300, 100, 10, 100, 0, 0.2, True), "invalid_input",
     "invalid input: non-finite or non-positive forward from spot/rates"),
    ("black_scholes_rho", (1e300, 100, 10, 100, 0, 0.2, True), "invalid_input",
     "invalid input: non-finite or non-positive forward"),
    # F = S whatever the rates when r = q; the price needs D_r, the Greeks both.
    ("black_scholes_price", (100, 100, 1, -1000, -1000, 0.2, True), "invalid_input",
     "invalid input: non-finite discount factor"),
    ("black_scholes_delta", (100, 100, 1, -1000, -1000, 0.2, True), "invalid_input",
     "invalid input: non-finite discount factors"),
    ("american_price", (100, -1, 1, 0.05, 0, 0.2, False), "negative_strike",
     "strike must be positive, got -1"),
    ("black_scholes_forward", (-5, 1, 0.05, 0), "invalid_input", "invalid input: spot must be positive"),
    ("black_scholes_forward", (100, 0, 0.05, 0), "negative_time", "maturity must be positive, got 0"),
    ("black_scholes_forward", (1e300, 10, 100, 0), "invalid_input",
     "invalid input: non-finite or non-positive forward"),
    # Implied volatilities: the price between the intrinsic value and F or K.
    ("implied_volatility", (100, 100, 100, 1, True), "price_above_maximum",
     "option price 100 exceeds maximum value 100"),
    ("black_implied_volatility", (5, 110, 100, 1, True), "price_below_intrinsic",
     "option price 5 is below intrinsic value 10"),
    ("black_implied_volatility", (5, 100, 100, -1, True), "negative_time",
     "maturity must be positive, got -1"),
    # ... in discounted units for the spot model: here K e^(-rT).
    ("black_scholes_implied_volatility", (95.2, 100, 100, 1, 0.05, 0, False), "price_above_maximum",
     f"option price 95.2 exceeds maximum value {100 * correctly_rounded.exp(-0.05)!r}"),
    # ... and for the normalised price: 2 sinh(x/2) and e^(x/2) for a call.
    ("normalised_implied_volatility", (1, 0, True), "price_above_maximum",
     "option price 1 exceeds maximum value 1"),
    ("normalised_implied_volatility", (2, 2, True), "price_below_intrinsic",
     f"option price 2 is below intrinsic value {2 * math.sinh(1)!r}"),
    ("normalised_implied_volatility", (NAN, 0, True), "invalid_input",
     "invalid input: non-finite normalised input"),
    # The normal model takes any finite forward and strike, and has no upper bound.
    ("bachelier_price", (1e308, -1e308, 1, 1, True), "invalid_input",
     "invalid input: forward minus strike overflows"),
    ("bachelier_vega", (1, 1, 1, -1), "invalid_input", "invalid input: volatility must be non-negative"),
    ("bachelier_implied_volatility", (0.5, 100, 90, 1, True), "price_below_intrinsic",
     "option price 0.5 is below intrinsic value 10"),
    ("bachelier_implied_volatility", (1, 100, 90, 0, True), "negative_time",
     "maturity must be positive, got 0"),
])
def test_rejected_inputs(name, args, kind, message):
    with pytest.raises(tarvik.IVError) as raised:
        getattr(tarvik, name)(*args)
    assert raised.value.args == (kind, message)


@pytest.mark.parametrize("name, args", [
    ("bachelier_price", (-5, 3, 1, 2, True)),  # negative forward
    ("bachelier_implied_volatility", (1e300, 100, 90, 1, True)),
    ("implied_volatility", (-0.0, 100, 100, 1, False)),  # -0 is not below 0
])
def test_accepted_near_a_bound(name, args):
    assert math.isfinite(getattr(tarvik, name)(*args))


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
        assert spot == correctly_rounded.exp(-(0.05 * 4.0)) * tarvik.black_scholes_forward(f, 4.0, 0.05, 0.02)


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


def wide(rng):
    """Forwards and strikes anywhere in the doubles' range. The price is
    homogeneous in F and K, so its accuracy is that of price / max(F, K):
    taken where that (and the price) is a normal double."""
    f = magnitude(rng, -300, 300)
    return f, f * math.exp(rng.uniform(-2.0, 2.0)), magnitude(rng, -3, 1.5), magnitude(rng, -3, 0.5)


def price_case(rng, inputs=realistic):
    while True:
        f, k, t, v = inputs(rng)
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
        if exact > MIN_NORMAL * (max(fm, km, 1) if inputs is wide else 1):
            break

    def amplified(p, d):
        return p * (1 + abs(d * mp.npdf(d) / mp.ncdf(sign * d)))

    kappa = (amplified(p1, d1) + amplified(p2, d2) + fm * mp.npdf(d1) * s + intrinsic) / exact
    return tarvik.black_price(f, k, t, v, is_call), exact, float(kappa)


def wide_price_case(rng):
    return price_case(rng, wide)


@pytest.mark.parametrize("case, bound", [
    (normal_case(tarvik.norm_pdf, -37.5, 37.5), 1.0),  # measured 0.83 over 20000 arguments
    (normal_case(tarvik.norm_cdf, -37.5, 8.3), 1.0),  # measured 0.80 over 20000
    (normal_case(tarvik.norm_cdf_c, -8.3, 37.5), 1.0),  # measured 0.78 over 20000
    (price_case, 0.75),  # measured 0.55, 0.59 over 20000
    (wide_price_case, 0.75),  # measured 0.52 over 2000, 0.62 over 20000
])
def test_accuracy(case, bound):
    rng = random.Random(case.__name__)
    with mp.workdps(50):
        worst = max(float(abs((mpf(computed) - exact) / exact)) / EPS / (1 + kappa)
                    for computed, exact, kappa in (case(rng) for _ in range(sample(2000, 20000))))
    print(f"{case.__name__}: worst relative error {worst:.3f} eps*(1+kappa)")
    assert worst <= bound
