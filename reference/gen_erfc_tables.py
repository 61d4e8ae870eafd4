"""Writes core/src/special/erfc_tables.hpp: the polynomials of tarvik's
correctly rounded erfc (core/src/special/erfc.hpp), from mpmath at 300 bits.

One table of rows, each a polynomial of degree 10 in t = x - mid on one
interval of x >= 0 (mid the interval's centre, so that t is exact, or 0 on
the first interval), interpolating at the Chebyshev points:
- erfc itself on [k/32, (k+1)/32) for k < 8, then on 32 intervals a binade
  (x's exponent and leading five fraction bits) up to 1.5: no exponential
  where most arguments lie;
- beyond, 1.5 <= x < 27.5: erfcx(x) = exp(x^2) erfc(x) on the same intervals
  a binade, erfc being exp(-x^2) erfcx(x).

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
NEAR = 8  # intervals of 1/32 below 1/4 (erfc.hpp)
DEGREE = 10
PER_BINADE = 32
ZERO = mpmath.mpf("27.3")  # above, erfc rounds to 0; the last row reaches it (erfc.hpp)
DIRECT_TOP = mpmath.mpf("1.5")  # erfc's own polynomials below, erfcx's from here (erfc.hpp)


def erfcx(x):
    return mpmath.exp(x * x) * mpmath.erfc(x)


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

    w(f"// The first {HEAD} coefficients of each polynomial as hi, lo, then the rest.")
    w(f"inline constexpr int kErfcHead = {HEAD};")
    w("")

    def polynomial(f, a, b, mid):
        """The row of f's polynomial in t = x - mid on [a, b] and its error."""

        def shifted(t):
            return f(mid + t)

        row = rounded(interpolate(shifted, a - mid, b - mid, DEGREE))
        return row, worst_error(shifted, row, a - mid, b - mid)

    def fit(f, x, top):
        """The rows of f's polynomials on [x, top), 32 a binade, and their worst error."""
        rows = []
        worst = mpmath.mpf(0)
        while x < top:
            width = mpmath.mpf(2) ** (int(mpmath.floor(mpmath.log(x, 2)))) / PER_BINADE
            row, err = polynomial(f, x, x + width, x + width / 2)
            worst = max(worst, err)
            rows.append((x, row))
            x = x + width
        return rows, worst, x

    def row_text(a, row):
        return f"    {{{', '.join(c.hex() for c in row)}}},  // from {float(a)}"

    columns = 2 * HEAD + DEGREE + 1 - HEAD
    shift = 52 - (PER_BINADE.bit_length() - 1)
    near = []
    near_worst = mpmath.mpf(0)
    for k in range(NEAR):
        a, b = mpmath.mpf(k) / 32, mpmath.mpf(k + 1) / 32
        row, err = polynomial(mpmath.erfc, a, b, 0 if k == 0 else (a + b) / 2)
        near_worst = max(near_worst, err)
        near.append((a, row))
    direct, direct_worst, x = fit(mpmath.erfc, mpmath.mpf(NEAR) / 32, DIRECT_TOP)
    scaled, scaled_worst, top = fit(erfcx, x, ZERO)
    rows = near + direct + scaled
    w(f"// Row i: a polynomial of degree {DEGREE} in t = x - mid on one interval of x,")
    w(f"// measured relative error at most")
    w(f"// - rows 0 to {NEAR - 1}: erfc on [i/32, (i+1)/32), mid 0 for row 0: 2^{log2_of(near_worst):.1f};")
    w(f"// - rows {NEAR} to {NEAR + len(direct) - 1}: erfc on [1/4, {float(x)}), {PER_BINADE} intervals a binade, row")
    w(f"//   {NEAR} + j for the x whose bits, shifted right by {shift}, exceed those of 1/4 by j:")
    w(f"//   2^{log2_of(direct_worst):.1f};")
    w(f"// - rows {NEAR + len(direct)} to {len(rows) - 1}: erfcx(x) = exp(x^2) erfc(x) on [{float(x)}, {float(top)}), the")
    w(f"//   same intervals a binade: 2^{log2_of(scaled_worst):.1f}.")
    w(f"inline constexpr int kErfcNearRows = {NEAR};")
    w(f"inline constexpr int kErfcxShift = {shift};")
    w(f"inline constexpr double kErfcRows[{len(rows)}][{columns}] = {{")
    out.extend(row_text(a, row) for a, row in rows)
    w("};")
    w("")

    w("// 2/sqrt(pi) - 1 in 256 fractional bits, most significant limb first, truncated.")
    w("inline constexpr std::uint64_t kTwoBySqrtPiFixed[4] = {" +
      limbs_text(limbs_of(2 / mpmath.sqrt(mpmath.pi) - 1)) + "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
