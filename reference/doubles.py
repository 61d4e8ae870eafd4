"""What the table generators of the correctly rounded functions share
(gen_exp_tables.py, gen_log_tables.py, gen_expm1_log1p_tables.py): mpmath
at 300 bits and the roundings of its values to doubles."""
import mpmath

mpmath.mp.prec = 300


def rn(x):
    """x rounded to the nearest double."""
    return float(mpmath.mpf(x))


def rn_bits(x, bits):
    """x rounded to nearest with `bits` significant bits."""
    m, e = mpmath.frexp(x)
    return float(mpmath.ldexp(mpmath.nint(m * 2**bits), int(e) - bits))


def log2_of(x):
    """log2 |x|, -inf for 0: the measured errors as powers of two."""
    return float(mpmath.log(abs(x), 2)) if x != 0 else float("-inf")
