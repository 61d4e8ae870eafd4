"""Pure-Python model of the normal functions, the Black-76 price and its
sensitivities, and the spot model; and the IEEE helpers the other models
build on.

Python floats are IEEE doubles evaluated operation by operation, and
math.exp, math.log, math.erfc and math.sqrt call the same C library as the
extension, so every function here reproduces the extension's result bit for
bit when it follows the same formulas in the same order. Where Python raises
instead of following IEEE (division by zero, an overflowing exp, the
logarithm of 0 or of a negative number), the helpers return what C gets.

Functions take their arguments in the order of the Python functions of
tarvik (is_call last). The validated price raises ModelError, whose args are
(kind, message) exactly as tarvik.IVError carries them.
"""

import math
import sys
from decimal import Decimal

C_PDF = 0.3989422804014327  # 1/sqrt(2*pi)
C_SQRT_HALF = 0.70710678118654757  # 1/sqrt(2) rounded once (not 1/sqrt(2.0))
EPS = 2.0**-52
MAX_FINITE = sys.float_info.max
INF, NAN = math.inf, math.nan


def div(a, b):
    """a / b, with the IEEE result for b = 0."""
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return -INF if (a < 0.0) != (math.copysign(1.0, b) < 0.0) else INF
    return a / b


def exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return INF


def log(v):
    """The C library's log: -inf at zero, NaN below (math.log raises there)."""
    if v == 0.0:
        return -INF
    return NAN if v < 0.0 else math.log(v)  # NaN and +inf pass through


class ModelError(Exception):
    """A rejected input: args == (kind, message)."""


def format_number(v):
    """Shortest round-trip decimal, positional, no '.0' on integral values."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "-inf" if v < 0 else "inf"
    # repr is the shortest round-trip form (at most 17 digits, so normalize
    # under the default 28-digit context is exact); 'f' lays it out positionally.
    return format(Decimal(repr(v)).normalize(), "f")


def invalid_input(reason):
    return ModelError("invalid_input", "invalid input: " + reason)


def negative(kind, name, v):
    return ModelError(kind, f"{name} must be positive, got {format_number(v)}")


def norm_pdf(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 0.0
    u = x * -0.5
    u = x * u
    return exp(u) * C_PDF


def norm_cdf(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 1.0 if x > 0.0 else 0.0
    return math.erfc(x * -C_SQRT_HALF) * 0.5


def norm_cdf_c(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 0.0 if x > 0.0 else 1.0
    return math.erfc(x * C_SQRT_HALF) * 0.5


def norm_cdf_tail(z):
    """Phi(z); at or below -10 by the asymptotic series of A&S 26.2.12."""
    if not z <= -10.0:
        return norm_cdf(z)
    s = 1.0
    if z >= -67108864.0:  # -2^26: below, the first term is under an ulp of 1
        z2 = z * z
        i, g, last = 1.0, 1.0, MAX_FINITE
        while True:
            k = 4.0 * i
            xi = (k - 3.0) / z2
            yi = xi * ((k - 1.0) / z2)
            a = g * (xi - yi)
            s = s - a
            i = i + 1.0
            g = g * yi
            go_on = last > abs(a) and abs(a) >= abs(s * EPS)
            last = abs(a)
            if not go_on:
                break
    return (-(norm_pdf(z) * s)) / z


def black_intrinsic(forward, strike, is_call):
    d = forward - strike if is_call else strike - forward
    return d if d > 0.0 else 0.0


def log_moneyness(forward, strike):
    return log(forward) - log(strike)


def non_negative(price):
    # Rounding can leave an out-of-the-money difference below zero: that is +0.
    return 0.0 if price < 0.0 else price


def black_price_total_vol(forward, strike, total_vol, is_call):
    f, k, s = forward, strike, total_vol
    if not (math.isfinite(f) and math.isfinite(k) and math.isfinite(s)) or s < 0.0:
        return NAN
    if s == 0.0:
        return black_intrinsic(f, k, is_call)
    x = log(f) - log(k)
    half_variance = s * (s * 0.5)
    d1 = (x + half_variance) / s
    d2 = d1 - s
    if math.isinf(half_variance) and not math.isnan(x):  # the limit s -> inf
        d1, d2 = INF, -INF
    if is_call:
        if x < 0.0 or math.isnan(x):
            return non_negative(f * norm_cdf(d1) - k * norm_cdf(d2))
        return (f - k) + (k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    if x > 0.0 or math.isnan(x):
        return non_negative(k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    return (k - f) + (f * norm_cdf(d1) - k * norm_cdf(d2))


def validate_strike_maturity_vol(strike, maturity, volatility):
    if strike <= 0.0:
        raise negative("negative_strike", "strike", strike)
    if maturity <= 0.0:
        raise negative("negative_time", "maturity", maturity)
    if volatility < 0.0:
        raise invalid_input("volatility must be non-negative")


def validate_black_inputs(forward, strike, maturity, volatility):
    """Raises the first failure of the standard Black checks."""
    if not all(map(math.isfinite, (forward, strike, maturity, volatility))):
        raise invalid_input("non-finite Black input")
    if forward <= 0.0:
        raise negative("negative_forward", "forward", forward)
    validate_strike_maturity_vol(strike, maturity, volatility)


def black_price(forward, strike, maturity, volatility, is_call):
    validate_black_inputs(forward, strike, maturity, volatility)
    return black_price_total_vol(forward, strike, volatility * math.sqrt(maturity), is_call)


# ------------------------------------------- sensitivities and spot model --

def black_terms(forward, strike, maturity, volatility):
    """(F, d1, d2, s, sqrt(T), sigma, phi(d1)), or None when s = 0."""
    validate_black_inputs(forward, strike, maturity, volatility)
    sqrt_t = math.sqrt(maturity)
    s = volatility * sqrt_t
    if s == 0.0:
        return None
    x = log(forward) - log(strike)
    d1 = (x + s * (s * 0.5)) / s
    return forward, d1, d1 - s, s, sqrt_t, volatility, norm_pdf(d1)


def zero_vol_delta(forward, strike, is_call):
    x = log(forward) - log(strike)
    if x > 0.0:
        return 1.0 if is_call else 0.0
    if x == 0.0:
        return 0.5 if is_call else -0.5
    return 0.0 if is_call else -1.0


def delta(forward, strike, maturity, volatility, is_call):
    t = black_terms(forward, strike, maturity, volatility)
    if t is None:
        return zero_vol_delta(forward, strike, is_call)
    return norm_cdf(t[1]) if is_call else -norm_cdf_c(t[1])


def _black_greek(formula):
    def greek(forward, strike, maturity, volatility):
        t = black_terms(forward, strike, maturity, volatility)
        return 0.0 if t is None else formula(*t)

    return greek


gamma = _black_greek(lambda f, d1, d2, s, st, v, p: div(p, f * s))
vega = _black_greek(lambda f, d1, d2, s, st, v, p: st * (f * p))
theta = _black_greek(lambda f, d1, d2, s, st, v, p: (v * -(f * p)) / (st + st))
vanna = _black_greek(lambda f, d1, d2, s, st, v, p: -(p * d2) / v)
vomma = _black_greek(lambda f, d1, d2, s, st, v, p: (d2 * (d1 * (st * (f * p)))) / v)


def black_scholes_forward(spot, maturity, rate, dividend):
    if not all(map(math.isfinite, (spot, maturity, rate, dividend))):
        raise invalid_input("non-finite forward inputs")
    if spot <= 0.0:
        raise invalid_input("spot must be positive")
    if maturity <= 0.0:
        raise negative("negative_time", "maturity", maturity)
    f = spot * exp(maturity * (rate - dividend))
    if not math.isfinite(f) or f <= 0.0:
        raise invalid_input("non-finite or non-positive forward")
    return f


def _spot_forward(spot, strike, maturity, rate, dividend, volatility, bad_forward):
    if not all(map(math.isfinite, (spot, rate, dividend))):
        raise invalid_input("non-finite Black-Scholes input")
    if spot <= 0.0:
        raise invalid_input("spot must be positive")
    if not all(map(math.isfinite, (strike, maturity, volatility))):
        raise invalid_input("non-finite Black input")
    validate_strike_maturity_vol(strike, maturity, volatility)
    f = spot * exp(maturity * (rate - dividend))
    if not math.isfinite(f) or f <= 0.0:
        raise invalid_input(bad_forward)
    return f


def black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call):
    f = _spot_forward(spot, strike, maturity, rate, dividend, volatility,
                      "non-finite or non-positive forward from spot/rates")
    d_r = exp(-(rate * maturity))
    if not math.isfinite(d_r):
        raise invalid_input("non-finite discount factor")
    return d_r * black_price_total_vol(f, strike, math.sqrt(maturity) * volatility, is_call)


def _spot_terms(spot, strike, maturity, rate, dividend, volatility):
    f = _spot_forward(spot, strike, maturity, rate, dividend, volatility,
                      "non-finite or non-positive forward")
    d_r = exp(-(rate * maturity))
    d_q = exp(-(dividend * maturity))
    if not (math.isfinite(d_r) and math.isfinite(d_q)):
        raise invalid_input("non-finite discount factors")
    return f, d_r, d_q, black_terms(f, strike, maturity, volatility)


def black_scholes_delta(spot, strike, maturity, rate, dividend, volatility, is_call):
    f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
    if t is None:
        return d_q * zero_vol_delta(f, strike, is_call)
    return d_q * norm_cdf(t[1]) if is_call else d_q * (-norm_cdf_c(t[1]))


def black_scholes_theta(spot, strike, maturity, rate, dividend, volatility, is_call):
    f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
    if t is None:
        return 0.0
    _, d1, d2, s, st, v, p = t
    a = (v * (-(spot * d_q) * p)) / (st + st)
    if is_call:
        return (a - ((strike * rate) * d_r) * norm_cdf(d2)) + ((spot * dividend) * d_q) * norm_cdf(d1)
    return (a + ((strike * rate) * d_r) * norm_cdf_c(d2)) - ((spot * dividend) * d_q) * norm_cdf_c(d1)


def _spot_greek(formula):
    def greek(spot, strike, maturity, rate, dividend, volatility):
        f, d_r, d_q, t = _spot_terms(spot, strike, maturity, rate, dividend, volatility)
        if t is None:
            return 0.0
        _, d1, d2, s, st, v, p = t
        return formula(spot, f, d_r, d_q, d1, d2, s, st, v, p)

    return greek


black_scholes_gamma = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: div(dq * p, S * s))
black_scholes_vega = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: st * ((dr * f) * p))
black_scholes_vanna = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: (d2 * (-(dq * p))) / v)
black_scholes_vomma = _spot_greek(
    lambda S, f, dr, dq, d1, d2, s, st, v, p: (d2 * (d1 * (st * ((dr * f) * p)))) / v)
