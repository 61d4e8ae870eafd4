"""Independent descriptions of what tarvik computes, in plain Python: the
Black-76 price by its four textbook cases (against which the staged price
plans of the core are checked bit for bit), and the input checks of every
pricing and implied-volatility function, in their order, with their
messages; and the grammar of numbers in CSV text.

Python floats are IEEE doubles evaluated operation by operation and
math.erfc, math.exp, math.log and math.sqrt call the same C library as the
extension, so a formula written here in the same order gives the same bits.
Where Python raises instead of following IEEE (an overflowing exp, the
logarithm of 0 or of a negative number) the helpers return what C gets.
Functions raise ModelError with args == (kind, message), as tarvik.IVError.
"""

import math
import re
from decimal import Decimal

SQRT_HALF = 0.70710678118654757  # 1/sqrt(2) rounded once
INF, NAN = math.inf, math.nan


class ModelError(Exception):
    """A rejected input: args == (kind, message)."""


def exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return INF


def log(v):
    if v == 0.0:
        return -INF
    return NAN if v < 0.0 else math.log(v)


def format_number(v):
    """Shortest round-trip decimal, positional, no '.0' on integral values."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "-inf" if v < 0 else "inf"
    return format(Decimal(repr(v)).normalize(), "f")


def invalid(reason):
    return ModelError("invalid_input", "invalid input: " + reason)


def positive(kind, name, v):
    if v <= 0.0:
        raise ModelError(kind, f"{name} must be positive, got {format_number(v)}")


def norm_cdf(x):
    if math.isnan(x):
        return NAN
    if math.isinf(x):
        return 1.0 if x > 0.0 else 0.0
    return math.erfc(x * -SQRT_HALF) * 0.5


def norm_cdf_c(x):
    return norm_cdf(-x)


def non_negative(price):
    return 0.0 if price < 0.0 else price  # rounding below zero; -0 stays


def black_price_total_vol(f, k, s, is_call):
    """Out of the money directly, in the money by put-call parity; a price
    never below +0; the limits F (call) and K (put) as s grows without end."""
    if not (math.isfinite(f) and math.isfinite(k) and math.isfinite(s)) or s < 0.0:
        return NAN
    if s == 0.0:
        d = f - k if is_call else k - f
        return d if d > 0.0 else 0.0
    x = log(f) - log(k)
    d1 = (x + s * (s * 0.5)) / s
    d2 = d1 - s
    if math.isinf(s * (s * 0.5)) and not math.isnan(x):
        d1, d2 = INF, -INF
    if math.isnan(d1):
        return NAN
    if is_call and x < 0.0:
        return non_negative(f * norm_cdf(d1) - k * norm_cdf(d2))
    if is_call:
        return (f - k) + (k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    if x > 0.0:
        return non_negative(k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    return (k - f) + (f * norm_cdf(d1) - k * norm_cdf(d2))


# ---- input checks, in order ------------------------------------------------

def strike_maturity_vol(strike, maturity, volatility):
    positive("negative_strike", "strike", strike)
    positive("negative_time", "maturity", maturity)
    if volatility < 0.0:
        raise invalid("volatility must be non-negative")


def black_checks(forward, strike, maturity, volatility, *_):
    if not all(map(math.isfinite, (forward, strike, maturity, volatility))):
        raise invalid("non-finite Black input")
    positive("negative_forward", "forward", forward)
    strike_maturity_vol(strike, maturity, volatility)


def spot_side(spot, rate, dividend):
    if not all(map(math.isfinite, (spot, rate, dividend))):
        raise invalid("non-finite Black-Scholes input")
    if spot <= 0.0:
        raise invalid("spot must be positive")


def forward_of(spot, maturity, rate, dividend, suffix=""):
    f = spot * exp(maturity * (rate - dividend))
    if not math.isfinite(f) or f <= 0.0:
        raise invalid("non-finite or non-positive forward" + suffix)
    return f


def discounts(rate, dividend, maturity, both):
    """D_r and D_q; the price checks only D_r."""
    d_r, d_q = exp(-(rate * maturity)), exp(-(dividend * maturity))
    if not math.isfinite(d_r) or (both and not math.isfinite(d_q)):
        raise invalid("non-finite discount factor" + ("s" if both else ""))
    return d_r, d_q


def spot_checks(spot, strike, maturity, rate, dividend, volatility, *_, price=False):
    """The spot-model checks; returns the forward and the discount factors."""
    spot_side(spot, rate, dividend)
    if not all(map(math.isfinite, (strike, maturity, volatility))):
        raise invalid("non-finite Black input")
    strike_maturity_vol(strike, maturity, volatility)
    f = forward_of(spot, maturity, rate, dividend, " from spot/rates" if price else "")
    return (f, *discounts(rate, dividend, maturity, not price))


def forward_checks(spot, maturity, rate, dividend):
    if not all(map(math.isfinite, (spot, maturity, rate, dividend))):
        raise invalid("non-finite forward inputs")
    if spot <= 0.0:
        raise invalid("spot must be positive")
    positive("negative_time", "maturity", maturity)
    return forward_of(spot, maturity, rate, dividend)


def implied_volatility_checks(price, forward, strike, maturity, is_call):
    if not all(map(math.isfinite, (price, forward, strike, maturity))):
        raise invalid("non-finite implied-volatility input")
    positive("negative_forward", "forward", forward)
    positive("negative_strike", "strike", strike)
    positive("negative_time", "maturity", maturity)
    intrinsic = max(forward - strike if is_call else strike - forward, 0.0)
    bound("price", price, intrinsic, forward if is_call else strike)


def spot_implied_volatility_checks(price, spot, strike, maturity, rate, dividend, is_call):
    """Bounds in discounted units: S e^(-qT) and K e^(-rT)."""
    spot_side(spot, rate, dividend)
    if not all(map(math.isfinite, (price, strike, maturity))):
        raise invalid("non-finite implied-volatility input")
    positive("negative_strike", "strike", strike)
    positive("negative_time", "maturity", maturity)
    forward_of(spot, maturity, rate, dividend, " from spot/rates")
    d_r, d_q = discounts(rate, dividend, maturity, True)
    if d_r == 0.0:
        raise invalid("rate discount factor underflows to 0")
    s, k = spot * d_q, strike * d_r
    bound("price", price, max(s - k if is_call else k - s, 0.0), s if is_call else k)


def normalised_checks(beta, x, is_call):
    if not (math.isfinite(beta) and math.isfinite(x)):
        raise invalid("non-finite normalised input")
    iota = 0.0
    if (x > 0.0) if is_call else (x < 0.0):
        if x * x < 0.011962890625:  # 2 sinh(x/2) by its Taylor series
            y = x * x
            u = y * (y * (y * (y / 92897280.0 + 3.1001984126984127e-06) + 0.00052083333333333333)
                     + 0.041666666666666664) + 1.0
            iota = x * u
        else:
            b = exp(0.5 * x)
            iota = b + (-1.0 / b if b else -INF)
        iota = max(iota if is_call else -iota, 0.0)
    bound("beta", beta, iota, exp(x * (0.5 if is_call else -0.5)))


def bound(_, price, intrinsic, maximum):
    if price < intrinsic:
        raise ModelError("price_below_intrinsic", f"option price {format_number(price)} "
                         f"is below intrinsic value {format_number(intrinsic)}")
    if price >= maximum:
        raise ModelError("price_above_maximum", f"option price {format_number(price)} "
                         f"exceeds maximum value {format_number(maximum)}")


# ---- the normal (Bachelier) model: any finite forward and strike --------------

def bachelier_checks(forward, strike, maturity, volatility, *_):
    if not all(map(math.isfinite, (forward, strike, maturity, volatility))):
        raise invalid("non-finite Bachelier input")
    positive("negative_time", "maturity", maturity)
    if volatility < 0.0:
        raise invalid("volatility must be non-negative")
    if not math.isfinite(forward - strike):
        raise invalid("forward minus strike overflows")


def bachelier_implied_volatility_checks(price, forward, strike, maturity, is_call):
    """No upper bound: a call's price grows without limit in the volatility."""
    if not all(map(math.isfinite, (price, forward, strike, maturity))):
        raise invalid("non-finite implied-volatility input")
    positive("negative_time", "maturity", maturity)
    if not math.isfinite(forward - strike):
        raise invalid("forward minus strike overflows")
    bound("price", price, max(forward - strike if is_call else strike - forward, 0.0), INF)


# The number grammar of both CSV engines: an optional sign, ASCII digits
# with an optional point, an optional exponent, or inf/infinity/nan in any
# case, with blanks around. float() alone would also take "1_0" and
# non-ASCII digits.
NUMBER = re.compile(
    r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))",
    re.ASCII)


def number(text):
    """The value of a CSV field (blanks and tabs around it ignored), or None."""
    text = text.strip(" \t")
    return float(text) if NUMBER.fullmatch(text) else None
