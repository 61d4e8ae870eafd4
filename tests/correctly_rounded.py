"""exp correctly rounded to nearest (mpmath at 200 bits, then one rounding),
as tarvik computes it: the tests' stand-in for tarvik's exp wherever they
compare bits (the C library's last bit varies between builds)."""
import math

import mpmath


def exp(x):
    if not math.isfinite(x):
        return math.exp(x)
    with mpmath.workprec(200):
        return float(mpmath.exp(mpmath.mpf(x)))
