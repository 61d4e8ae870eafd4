"""Writes core/src/special/erfc_tables.hpp: the polynomials of tarvik's
correctly rounded erfc (core/src/special/erfc.hpp), from mpmath at 300 bits.

- Near zero, |x| < 1/4: erf(x) = x P(x^2), P of degree 8 in u = x^2 over
  [0, 1/16], interpolating erf(sqrt u)/sqrt u at the Chebyshev points.
- For 1/4 <= x < 1.5: erfc itself on 32 intervals a binade (x's exponent and
  leading five fraction bits), each a polynomial of degree 10 in t = x - mid
  (mid the interval's centre, so that t is exact), interpolating erfc at the
  Chebyshev points: no exponential where most arguments lie.
- Beyond, 1.5 <= x < 27: erfc(x) = exp(-x^2) erfcx(x), erfcx on the same
  intervals, each a polynomial of degree 10 in t.

Every polynomial keeps its first three coefficients as double-doubles (the
evaluation carries them exactly, erfc.hpp) and the rest as doubles. The
relative error of each polynomial, as rounded, against the function, is
measured on a grid of each interval and printed beside the table.

The last resort's constant 2/sqrt(pi) in 256 fractional bits (and an integer
limb of 1) comes last.

Run: python3 reference/gen_erfc_tables.py > core/src/special/erfc_tables.hpp
"""
import mpmath
from doubles import header, limbs_of, limbs_text, log2_of, rn, write_header

HEAD = 3  # coefficients kept as double-doubles
SMALL_DEGREE = 8
DEGREE = 10
PER_BINADE = 32
TOP = mpmath.mpf("26.5")  # the fast path's last argument (erfc.hpp)
DIRECT_TOP = mpmath.mpf("1.5")  # erfc's own polynomials below, erfcx's from here (erfc.hpp)


def erfcx(x):
    return mpmath.exp(x * x) * mpmath.erfc(x)


def erf_by_x(u):
    if u == 0:
        return 2 / mpmath.sqrt(mpmath.pi)
    r = mpmath.sqrt(u)
    return mpmath.erf(r) / r


def interpolate(f, a, b, degree):
    """Monomial coefficients (lowest power first) of the polynomial in t that
    interpolates f(c + t) at the Chebyshev points of [a, b], c = 0 here: the
    caller passes f already shifted."""
    n = degree + 1
    nodes = [(a + b) / 2 + (b - a) / 2 * mpmath.cos(mpmath.pi * (k + mpmath.mpf(1) / 2) / n)
             for k in range(n)]
    matrix = mpmath.matrix([[t**j for j in range(n)] for t in nodes])
    values = mpmath.matrix([f(t) for t in nodes])
    return list(mpmath.lu_solve(matrix, values))


def rounded(coeffs):
    """The stored coefficients: the first HEAD as (hi, lo), the rest doubles."""
    row = []
    for j, c in enumerate(coeffs):
        hi = rn(c)
        if j < HEAD:
            row += [hi, rn(c - hi)]
        else:
            row.append(hi)
    return row


def value_of(row, t):
    """The stored polynomial at t, exactly."""
    coeffs = [mpmath.mpf(row[2 * j]) + row[2 * j + 1] for j in range(HEAD)]
    coeffs += [mpmath.mpf(c) for c in row[2 * HEAD:]]
    p = mpmath.mpf(0)
    for c in reversed(coeffs):
        p = p * t + c
    return p


def worst_error(f, row, a, b, points=200):
    worst = mpmath.mpf(0)
    for i in range(points + 1):
        t = a + (b - a) * mpmath.mpf(i) / points
        worst = max(worst, abs(value_of(row, t) / f(t) - 1))
    return worst


def main():
    out = header("gen_erfc_tables.py", "<cstdint>")
    w = out.append

    quarter = mpmath.mpf(1) / 16
    small = rounded(interpolate(erf_by_x, 0, quarter, SMALL_DEGREE))
    err = worst_error(erf_by_x, small, 0, quarter, 2000)
    w(f"// The first {HEAD} coefficients of each polynomial as hi, lo, then the rest.")
    w(f"inline constexpr int kErfcHead = {HEAD};")
    w("")
    w(f"// erf(x) = x P(x^2) for x^2 <= 1/16, P of degree {SMALL_DEGREE}; measured relative")
    w(f"// error at most 2^{log2_of(err):.1f}.")
    w(f"inline constexpr double kErfSmall[{len(small)}] = {{")
    out.extend(f"    {c.hex()}," for c in small)
    w("};")
    w("")

    def fit(f, x, top):
        """The rows of f's polynomials on [x, top) and their worst error."""
        rows = []
        worst = mpmath.mpf(0)
        while x < top:
            width = mpmath.mpf(2) ** (int(mpmath.floor(mpmath.log(x, 2)))) / PER_BINADE
            a, b = x, x + width
            mid = (a + b) / 2

            def shifted(t, mid=mid):
                return f(mid + t)

            row = rounded(interpolate(shifted, a - mid, b - mid, DEGREE))
            worst = max(worst, worst_error(shifted, row, a - mid, b - mid))
            rows.append((a, row))
            x = b
        return rows, worst, x

    def table(name, rows):
        w(f"inline constexpr double {name}[{len(rows)}][{columns}] = {{")
        for a, row in rows:
            w(f"    {{{', '.join(c.hex() for c in row)}}},  // from {float(a)}")
        w("};")
        w("")

    columns = 2 * HEAD + DEGREE + 1 - HEAD
    shift = 52 - (PER_BINADE.bit_length() - 1)
    direct, worst, x = fit(mpmath.erfc, mpmath.mpf(1) / 4, DIRECT_TOP)
    w(f"// erfc(x) on [1/4, {float(x)}): {PER_BINADE} intervals a binade, row i for the x whose")
    w(f"// bits, shifted right by {shift}, exceed those of 1/4 by i; each a polynomial of")
    w(f"// degree {DEGREE} in t = x - mid; measured relative error at most 2^{log2_of(worst):.1f}.")
    w(f"inline constexpr int kErfcxShift = {shift};")
    w(f"inline constexpr double kErfcDirectTop = {float(x)};")
    table("kErfcRows", direct)
    rows, worst, x = fit(erfcx, x, TOP + mpmath.mpf(1) / 2)
    w(f"// erfcx(x) = exp(x^2) erfc(x) on [{DIRECT_TOP}, {float(x)}), intervals and t as kErfcRows',")
    w(f"// row i here being row {len(direct)} + i there; measured relative error at most")
    w(f"// 2^{log2_of(worst):.1f}.")
    table("kErfcxRows", rows)

    w("// 2/sqrt(pi) - 1 in 256 fractional bits, most significant limb first, truncated.")
    w("inline constexpr std::uint64_t kTwoBySqrtPiFixed[4] = {" +
      limbs_text(limbs_of(2 / mpmath.sqrt(mpmath.pi) - 1)) + "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
