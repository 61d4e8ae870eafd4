"""Writes core/src/special/atan2_tables.hpp: the tables of tarvik's
correctly rounded atan2 (core/src/special/atan2.hpp), from mpmath at 300
bits.

- atan(k/64), k = 0..64, as double-doubles hi + lo (relative error below
  2^-106, printed) for the fast path, and in 256 fractional bits (four
  64-bit limbs, truncated) for the last resort.
- atan(v)/v = 1 + w (c1 + w (c2 + ...)), w = v^2, |v| <= 1/128: Taylor's
  c_n = (-1)^n/(2n+1) to degree 6 in w, c1 as a double-double, the rest
  doubles (the layout of trig_tables.hpp's polynomials); its error as
  stored, printed.
- pi and pi/2 as double-doubles, pi in 256 fractional bits, and the rounded
  pi, pi/2, pi/4 and 3 pi/4 that the special cases return.

Run: python3 reference/gen_atan2_tables.py > core/src/special/atan2_tables.hpp
"""
import mpmath
from doubles import header, limbs_of, limbs_text, log2_of, rn, write_header

DEGREE = 6
STEPS = 64


def layout(coeffs):
    """c_1 as hi, lo, then c_2, ... as doubles (c_0 = 1 left out)."""
    hi = rn(coeffs[1])
    return [hi, rn(coeffs[1] - hi)] + [rn(c) for c in coeffs[2:]]


def value_of(row, w):
    """1 + w (c_1 + w (c_2 + ...)) exactly, for the stored row."""
    coeffs = [mpmath.mpf(row[0]) + row[1]] + [mpmath.mpf(c) for c in row[2:]]
    p = mpmath.mpf(0)
    for c in reversed(coeffs):
        p = p * w + c
    return 1 + w * p


def pair(value):
    hi = rn(value)
    return hi, rn(value - hi)


def main():
    out = header("gen_atan2_tables.py", "<cstdint>")
    w = out.append
    worst = mpmath.mpf(0)
    rows, fixed_rows = [], []
    for k in range(STEPS + 1):
        a = mpmath.atan(mpmath.mpf(k) / STEPS)
        hi, lo = pair(a)
        if a != 0:
            worst = max(worst, abs((mpmath.mpf(hi) + lo - a) / a))
        rows.append(f"    {{{hi.hex()}, {lo.hex()}}},")
        fixed_rows.append("    {" + limbs_text(limbs_of(a)) + "},")
    w(f"// atan(k/{STEPS}) = hi + lo; measured relative error at most 2^{log2_of(worst):.1f}.")
    w(f"inline constexpr double kAtanTable[{STEPS + 1}][2] = {{")
    out.extend(rows)
    w("};")
    w("")
    w(f"// atan(k/{STEPS}) in 256 fractional bits, most significant limb first, truncated.")
    w(f"inline constexpr std::uint64_t kAtanFixed[{STEPS + 1}][4] = {{")
    out.extend(fixed_rows)
    w("};")
    w("")

    top = mpmath.mpf(1) / (2 * STEPS)
    row = layout([mpmath.mpf(-1) ** n / (2 * n + 1) for n in range(DEGREE + 1)])
    err = mpmath.mpf(0)
    for i in range(1, 2001):
        v = top * mpmath.mpf(i) / 2000
        err = max(err, abs(value_of(row, v * v) * v / mpmath.atan(v) - 1))
    w(f"// atan(v)/v = 1 + w (c1 + w (c2 + ...)), w = v^2, Taylor's to degree {DEGREE} in w")
    w("// (c1 as hi, lo, then c2...);")
    w(f"// measured relative error over |v| <= 1/{2 * STEPS} at most 2^{log2_of(err):.1f}.")
    w(f"inline constexpr double kAtanPoly[{len(row)}] = {{" + ", ".join(c.hex() for c in row) + "};")
    w("")
    pi_hi, pi_lo = pair(mpmath.pi)
    half_hi, half_lo = pair(mpmath.pi / 2)
    w("// pi and pi/2 = hi + lo (relative error below 2^-107).")
    w(f"inline constexpr double kPiHi = {pi_hi.hex()}, kPiLo = {pi_lo.hex()};")
    w(f"inline constexpr double kHalfPiHi = {half_hi.hex()}, kHalfPiLo = {half_lo.hex()};")
    w("// pi, pi/2, pi/4 and 3 pi/4 rounded to nearest.")
    w(f"inline constexpr double kPiRounded = {rn(mpmath.pi).hex()};")
    w(f"inline constexpr double kHalfPiRounded = {rn(mpmath.pi / 2).hex()};")
    w(f"inline constexpr double kQuarterPiRounded = {rn(mpmath.pi / 4).hex()};")
    w(f"inline constexpr double kThreeQuarterPiRounded = {rn(3 * mpmath.pi / 4).hex()};")
    w("// pi - 3 in 256 fractional bits, most significant limb first, truncated.")
    w("inline constexpr std::uint64_t kPiFixed[4] = {" +
      limbs_text(limbs_of(mpmath.pi - 3)) + "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
