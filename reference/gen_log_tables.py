"""Writes core/src/special/log_tables.hpp: the tables of tarvik's correctly
rounded log (core/src/special/log.hpp), from mpmath at 300 bits.

- ln(j/256) for j = 180..364 (the table points c_j = j/256 around the reduced
  argument m in [sqrt(2)/2, sqrt(2)]), each a double-double hi + lo with
  hi = RN(ln c_j), lo = RN(ln c_j - hi): relative error printed.
- ln 2 in two parts: hi of 42 significant bits (so that e hi is exact for
  |e| < 2^11) and lo = RN(ln 2 - hi).
- The coefficients (-1)^(n+1)/n, n = 3..10, of ln(1 + f) = f - f^2/2 + f^3 Q(f),
  rounded to nearest.

Run: python3 reference/gen_log_tables.py > core/src/special/log_tables.hpp
"""
import mpmath
from doubles import header, rn, rn_bits, write_header

FIRST, LAST = 180, 364


def main():
    out = header("gen_log_tables.py")
    w = out.append
    worst = mpmath.mpf(0)
    rows = []
    for j in range(FIRST, LAST + 1):
        t = mpmath.log(mpmath.mpf(j) / 256)
        hi = rn(t)
        lo = rn(t - hi)
        if t != 0:
            worst = max(worst, abs((mpmath.mpf(hi) + lo - t) / t))
        rows.append(f"    {{{hi.hex()}, {lo.hex()}}},  // ln({j}/256)")
    w(f"inline constexpr int kLogFirst = {FIRST};")
    w(f"// ln(j/256) = hi + lo, j = {FIRST}..{LAST}; measured relative error at most "
      f"2^{float(mpmath.log(worst, 2)):.1f}.")
    w(f"inline constexpr double kLogTable[{LAST - FIRST + 1}][2] = {{")
    out.extend(rows)
    w("};")
    ln2 = mpmath.log(2)
    hi = rn_bits(ln2, 42)
    lo = rn(ln2 - hi)
    err = abs(mpmath.mpf(hi) + lo - ln2) / ln2
    w("")
    w(f"// ln 2 = hi + lo, relative error 2^{float(mpmath.log(err, 2)):.1f}; hi has 42 significant bits.")
    w(f"inline constexpr double kLn2Hi = {hi.hex()};")
    w(f"inline constexpr double kLn2Lo = {lo.hex()};")
    w("")
    w("// (-1)^(n+1)/n, n = 10 down to 3, rounded to nearest: Q(f), highest power first.")
    w("inline constexpr double kLogSeries[8] = {" +
      ", ".join(rn(mpmath.mpf((-1) ** (n + 1)) / n).hex() for n in range(10, 2, -1)) + "};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
