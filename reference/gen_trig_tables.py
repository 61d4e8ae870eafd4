"""Writes core/src/special/trig_tables.hpp: the tables of tarvik's correctly
rounded sin and cos (core/src/special/trig.hpp), from mpmath at 300 bits
(2/pi at 1700).

- sin(j pi/64), j = 0..127, each as a double-double hi + lo (exact zeros and
  ones where the value is 0 or +-1; cos(j pi/64) is row j + 32): error
  below 2^-106 relative (printed).
- pi/64 in four parts: P1 and P2 of 30 significant bits (k P1 and k P2 exact
  for |k| < 2^23), P3 and P4 doubles (k P3 taken as an exact product),
  64/pi rounded to nearest (only picks k), and pi/64 as a double-double.
- sin(r)/r - 1 and cos(r) - 1 as u Q(u), u = r^2: Taylor's, Q's constant
  term as a double-double (-1/6; -1/2 is exact), the rest doubles; the
  error of the polynomials as stored over |r| <= pi/128, printed.
- 2/pi in 1536 bits (24 limbs, most significant first, truncated) for the
  Payne-Hanek reduction, and pi/2 in 256 fractional bits for the last resort.

Run: python3 reference/gen_trig_tables.py > core/src/special/trig_tables.hpp
"""
import mpmath
from doubles import header, limbs_of, limbs_text, log2_of, rn, rn_bits, write_header

SIN_DEGREE = 5  # in u = r^2
COS_DEGREE = 6
TWO_BY_PI_LIMBS = 24


def layout(coeffs):
    """Q's coefficients c_1, c_2, ... (c_0 = 1 left out): c_1 as hi, lo, then doubles."""
    hi = rn(coeffs[1])
    return [hi, rn(coeffs[1] - hi)] + [rn(c) for c in coeffs[2:]]


def value_of(row, u):
    """1 + u (c_1 + u (c_2 + ...)) exactly, for the stored row."""
    coeffs = [mpmath.mpf(row[0]) + row[1]] + [mpmath.mpf(c) for c in row[2:]]
    p = mpmath.mpf(0)
    for c in reversed(coeffs):
        p = p * u + c
    return 1 + u * p


def worst_error(f, row, top, points=2000):
    worst = mpmath.mpf(0)
    for i in range(1, points + 1):
        r = top * mpmath.mpf(i) / points
        worst = max(worst, abs(value_of(row, r * r) / f(r) - 1))
    return worst


def main():
    out = header("gen_trig_tables.py", "<cstdint>")
    w = out.append
    worst = mpmath.mpf(0)
    rows = []
    for j in range(128):
        s = mpmath.sinpi(mpmath.mpf(j) / 64)
        hi = rn(s)
        lo = rn(s - hi)
        if s != 0:
            worst = max(worst, abs((mpmath.mpf(hi) + lo - s) / s))
        rows.append(f"    {{{hi.hex()}, {lo.hex()}}},")
    w(f"// sin(j pi/64) = hi + lo; measured relative error at most 2^{log2_of(worst):.1f}.")
    w("inline constexpr double kSinTable[128][2] = {")
    out.extend(rows)
    w("};")
    w("")

    p = mpmath.pi / 64
    p1 = rn_bits(p, 30)
    p2 = rn_bits(p - p1, 30)
    p3 = rn(p - p1 - p2)
    p4 = rn(p - p1 - p2 - p3)
    err = abs(mpmath.mpf(p1) + p2 + p3 + p4 - p) / p
    w(f"// pi/64 = P1 + P2 + P3 + P4, relative error 2^{log2_of(err):.1f}; P1 and P2 have 30")
    w("// significant bits.")
    w(f"inline constexpr double kPiBy64P1 = {p1.hex()};")
    w(f"inline constexpr double kPiBy64P2 = {p2.hex()};")
    w(f"inline constexpr double kPiBy64P3 = {p3.hex()};")
    w(f"inline constexpr double kPiBy64P4 = {p4.hex()};")
    w(f"inline constexpr double k64ByPi = {rn(64 / mpmath.pi).hex()};")
    p_hi = rn(p)
    w(f"// pi/64 = hi + lo, relative error 2^{log2_of((mpmath.mpf(p_hi) + rn(p - p_hi) - p) / p):.1f}.")
    w(f"inline constexpr double kPiBy64Hi = {p_hi.hex()}, kPiBy64Lo = {rn(p - p_hi).hex()};")
    w("")

    top = mpmath.pi / 128
    sin_row = layout([(-1) ** n / mpmath.factorial(2 * n + 1) for n in range(SIN_DEGREE + 1)])
    cos_row = layout([(-1) ** n / mpmath.factorial(2 * n) for n in range(COS_DEGREE + 1)])
    sin_err = worst_error(lambda r: mpmath.sin(r) / r, sin_row, top)
    cos_err = worst_error(mpmath.cos, cos_row, top)
    w(f"// sin(r)/r = 1 + u (c1 + u (c2 + ...)), u = r^2, Taylor's to degree {SIN_DEGREE} in u")
    w("// (c1 as hi, lo, then c2...);")
    w(f"// measured relative error over |r| <= pi/128 at most 2^{log2_of(sin_err):.1f}.")
    w(f"inline constexpr double kSinPoly[{len(sin_row)}] = {{" +
      ", ".join(c.hex() for c in sin_row) + "};")
    w(f"// cos(r) = 1 + u (c1 + u (c2 + ...)), u = r^2, Taylor's to degree {COS_DEGREE} in u")
    w("// (c1 as hi, lo, then c2...);")
    w(f"// measured relative error over |r| <= pi/128 at most 2^{log2_of(cos_err):.1f}.")
    w(f"inline constexpr double kCosPoly[{len(cos_row)}] = {{" +
      ", ".join(c.hex() for c in cos_row) + "};")
    w("")

    with mpmath.workprec(64 * TWO_BY_PI_LIMBS + 200):
        two_by_pi = limbs_of(2 / mpmath.pi, TWO_BY_PI_LIMBS)
    w(f"// 2/pi in {64 * TWO_BY_PI_LIMBS} bits: limb i holds the bits of weights 2^-(64 i + 1) to")
    w("// 2^-(64 i + 64), truncated.")
    w(f"inline constexpr std::uint64_t kTwoByPiBits[{TWO_BY_PI_LIMBS}] = {{")
    for i in range(0, TWO_BY_PI_LIMBS, 3):
        w("    " + " ".join(f"0x{v:016x}u," for v in two_by_pi[i:i + 3]))
    w("};")
    w("")
    w("// pi/2 - 1 in 256 fractional bits, most significant limb first, truncated.")
    w("inline constexpr std::uint64_t kPiBy2Fixed[4] = {" +
      limbs_text(limbs_of(mpmath.pi / 2 - 1, 4)) + "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
