"""Writes core/src/special/exp_tables.hpp: the tables of tarvik's correctly
rounded exp (core/src/special/exp.hpp), from mpmath at 300 bits.

- 2^(j/128), j = 0..127, each as a double-double hi + lo (hi = RN(2^(j/128)),
  lo = RN(2^(j/128) - hi)): relative error below 2^-106 (printed).
- ln2/128 in three parts: L1 and L2 of 32 significant bits each (RN of
  ln2/128 and of the rest), so that k L1 and k L2 are exact for |k| < 2^21,
  and L3 = RN(ln2/128 - L1 - L2).
- 128/ln2 rounded to nearest (only picks k; any nearby value would do).
- ln 2 in 256 fractional bits (four 64-bit limbs, truncated) for the last
  resort's fixed-point arithmetic.

The polynomial is Taylor's (1/n! rounded to nearest), whose truncation and
coefficient rounding the error analysis in exp.hpp bounds.

Run: python3 reference/gen_exp_tables.py > core/src/special/exp_tables.hpp
"""
import mpmath
from doubles import header, limbs_of, limbs_text, rn, rn_bits, write_header


def main():
    out = header("gen_exp_tables.py", "<cstdint>")
    w = out.append
    worst = mpmath.mpf(0)
    rows = []
    for j in range(128):
        t = mpmath.power(2, mpmath.mpf(j) / 128)
        hi = rn(t)
        lo = rn(t - hi)
        worst = max(worst, abs((mpmath.mpf(hi) + lo - t) / t))
        rows.append(f"    {{{hi.hex()}, {lo.hex()}}},")
    w(f"// 2^(j/128) = hi + lo; measured relative error at most 2^{float(mpmath.log(worst, 2)):.1f}.")
    w("inline constexpr double kExp2Table[128][2] = {")
    out.extend(rows)
    w("};")
    L = mpmath.log(2) / 128
    l1 = rn_bits(L, 32)
    l2 = rn_bits(L - l1, 32)
    l3 = rn(L - l1 - l2)
    err = abs(mpmath.mpf(l1) + l2 + l3 - L) / L
    w("")
    w(f"// ln2/128 = L1 + L2 + L3, relative error 2^{float(mpmath.log(err, 2)):.1f}; "
      "L1 and L2 have 32 significant bits.")
    w(f"inline constexpr double kLn2By128Hi = {l1.hex()};")
    w(f"inline constexpr double kLn2By128Mid = {l2.hex()};")
    w(f"inline constexpr double kLn2By128Lo = {l3.hex()};")
    w(f"inline constexpr double k128ByLn2 = {rn(128 / mpmath.log(2)).hex()};")
    w("")
    w("// Taylor's coefficients 1/n!, n = 2..6, rounded to nearest.")
    w("inline constexpr double kExpTaylor[5] = {" +
      ", ".join(rn(1 / mpmath.factorial(n)).hex() for n in range(2, 7)) + "};")
    w("")
    w("// ln 2 in 256 fractional bits, most significant limb first, truncated.")
    w("inline constexpr std::uint64_t kLn2Fixed[4] = {" + limbs_text(limbs_of(mpmath.log(2))) +
      "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
