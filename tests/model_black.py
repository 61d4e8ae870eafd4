"""Pure-Python model of the normal functions and the Black-76 price.

Python floats are IEEE doubles evaluated operation by operation, and
math.exp, math.log, math.erfc and math.sqrt call the same C library as the
extension, so every function here reproduces the extension's result bit for
bit when it follows the same formulas in the same order. Tests compare the
two over many inputs; other models import the pieces they build on.

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
TAIL_THRESHOLD = -10.0
TAIL_CUTOFF = -67108864.0  # -2**26


class ModelError(Exception):
    """A rejected input: args == (kind, message)."""

    @property
    def kind(self):
        return self.args[0]

    @property
    def message(self):
        return self.args[1]


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


def negative_time(v):
    return ModelError("negative_time", "maturity must be positive, got " + format_number(v))


def negative_forward(v):
    return ModelError("negative_forward", "forward must be positive, got " + format_number(v))


def negative_strike(v):
    return ModelError("negative_strike", "strike must be positive, got " + format_number(v))


def c_log(x):
    """The C library's log: -inf at zero, NaN below (math.log raises there)."""
    if x == 0.0:
        return -math.inf
    if x < 0.0 or math.isnan(x):
        return math.nan
    return math.log(x)


def norm_pdf(x):
    if math.isnan(x):
        return math.nan
    if math.isinf(x):
        return 0.0
    u = x * -0.5
    u = x * u
    return math.exp(u) * C_PDF


def norm_cdf(x):
    if math.isnan(x):
        return math.nan
    if math.isinf(x):
        return 1.0 if x > 0 else 0.0
    return math.erfc(x * -C_SQRT_HALF) * 0.5


def norm_cdf_c(x):
    if math.isnan(x):
        return math.nan
    if math.isinf(x):
        return 0.0 if x > 0 else 1.0
    return math.erfc(x * C_SQRT_HALF) * 0.5


def norm_cdf_tail(z):
    """Phi(z); at or below -10 by the asymptotic series of A&S 26.2.12."""
    if not z <= TAIL_THRESHOLD:
        return norm_cdf(z)
    s = 1.0
    if z >= TAIL_CUTOFF:
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
    p = norm_pdf(z)
    return (-(p * s)) / z


def black_intrinsic(forward, strike, is_call):
    d = forward - strike if is_call else strike - forward
    return d if d > 0.0 else 0.0


def log_moneyness(forward, strike):
    return c_log(forward) - c_log(strike)


def non_negative(price):
    # Rounding can leave an out-of-the-money difference below zero: that is +0.
    return 0.0 if price < 0.0 else price


def black_price_total_vol(forward, strike, total_vol, is_call):
    f, k, s = forward, strike, total_vol
    if not (math.isfinite(f) and math.isfinite(k) and math.isfinite(s)) or s < 0.0:
        return math.nan
    if s == 0.0:
        return black_intrinsic(f, k, is_call)
    x = c_log(f) - c_log(k)
    d1 = (x + s * (s * 0.5)) / s
    d2 = d1 - s
    if is_call:
        if x < 0.0 or math.isnan(x):
            return non_negative(f * norm_cdf(d1) - k * norm_cdf(d2))
        return (f - k) + (k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    if x > 0.0 or math.isnan(x):
        return non_negative(k * norm_cdf_c(d2) - f * norm_cdf_c(d1))
    return (k - f) + (f * norm_cdf(d1) - k * norm_cdf(d2))


def validate_black_inputs(forward, strike, maturity, volatility):
    """Raises the first failure of the standard Black checks."""
    if not all(map(math.isfinite, (forward, strike, maturity, volatility))):
        raise invalid_input("non-finite Black input")
    if forward <= 0.0:
        raise negative_forward(forward)
    if strike <= 0.0:
        raise negative_strike(strike)
    if maturity <= 0.0:
        raise negative_time(maturity)
    if volatility < 0.0:
        raise invalid_input("volatility must be non-negative")


def black_price(forward, strike, maturity, volatility, is_call):
    validate_black_inputs(forward, strike, maturity, volatility)
    s = volatility * math.sqrt(maturity)
    return black_price_total_vol(forward, strike, s, is_call)
