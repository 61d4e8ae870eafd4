"""Writes core/src/special/cbrt_tables.hpp: the tables of tarvik's correctly
rounded cbrt (core/src/special/cbrt.hpp), from mpmath at 300 bits.

- cbrt(m) for m in [1, 2) on 32 intervals (m's leading five fraction bits),
  each a polynomial of degree 4 in t = m - mid (mid the interval's centre,
  so that t is exact, |t| <= 2^-6) interpolating cbrt at the Chebyshev
  points, coefficients rounded to doubles: the fast path's first
  approximation, which one Newton step in double-double then squares the
  error of. The largest relative error, as rounded, measured on a grid of
  each interval, is printed beside the table.
- 2^(r/3), r = 0, 1, 2, as double-doubles (relative error printed).

Run: python3 reference/gen_cbrt_tables.py > core/src/special/cbrt_tables.hpp
"""
import mpmath
from doubles import header, log2_of, rn, write_header

INTERVALS = 32
DEGREE = 4
GRID = 200


def interpolate(f, half, degree):
    """Monomial coefficients, lowest power first, of the polynomial in t
    interpolating f(t) at the Chebyshev points of [-half, half]."""
    n = degree + 1
    nodes = [half * mpmath.cos(mpmath.pi * (k + mpmath.mpf(1) / 2) / n) for k in range(n)]
    matrix = mpmath.matrix([[t**j for j in range(n)] for t in nodes])
    values = mpmath.matrix([f(t) for t in nodes])
    return list(mpmath.lu_solve(matrix, values))


def main():
    out = header("gen_cbrt_tables.py")
    w = out.append
    half = mpmath.mpf(1) / (2 * INTERVALS)
    rows, worst = [], mpmath.mpf(0)
    for i in range(INTERVALS):
        mid = 1 + (2 * i + 1) * half
        coeffs = [rn(c) for c in interpolate(lambda t: mpmath.cbrt(mid + t), half, DEGREE)]
        for k in range(GRID + 1):
            t = -half + 2 * half * k / GRID
            p = sum(mpmath.mpf(c) * t**j for j, c in enumerate(coeffs))
            exact = mpmath.cbrt(mid + t)
            worst = max(worst, abs((p - exact) / exact))
        rows.append("    {" + ", ".join(c.hex() for c in reversed(coeffs)) + "},")
    w(f"// cbrt(mid + t) for m = mid + t in [1, 2), |t| <= 2^-6, row i for m's leading")
    w(f"// five fraction bits i, mid = 1 + (2i + 1)/64: coefficients from t^{DEGREE} down;")
    w(f"// measured relative error at most 2^{log2_of(worst):.1f}.")
    w(f"inline constexpr double kCbrtStart[{INTERVALS}][{DEGREE + 1}] = {{")
    out.extend(rows)
    w("};")
    w("")
    worst = mpmath.mpf(0)
    pows = []
    for r in range(3):
        c = mpmath.power(2, mpmath.mpf(r) / 3)
        hi = rn(c)
        lo = rn(c - hi)
        worst = max(worst, abs((mpmath.mpf(hi) + lo - c) / c))
        pows.append(f"    {{{hi.hex()}, {lo.hex()}}},")
    w(f"// 2^(r/3) = hi + lo, r = 0, 1, 2; measured relative error at most 2^{log2_of(worst):.1f}.")
    w("inline constexpr double kCbrtOfTwo[3][2] = {")
    out.extend(pows)
    w("};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
