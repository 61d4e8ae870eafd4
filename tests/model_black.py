"""Pure-Python model of the normal functions and the Black-76 price, and the
IEEE helpers the other models build on.

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
    d1 = (x + s * (s * 0.5)) / s
    d2 = d1 - s
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
