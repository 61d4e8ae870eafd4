"""Writes core/src/special/expm1_log1p_tables.hpp: the tables of tarvik's
correctly rounded expm1 and log1p (core/src/special/expm1.hpp, log1p.hpp),
from mpmath at 300 bits. expm1 shares exp's table of 2^(j/128) and its
reduction (exp_tables.hpp); what it adds is its polynomial.

- expm1: exp(r) - 1 = r + r^2/2 + r^3 P(r) for |r| <= ln2/256 (plus the
  reduction's rounding), P Taylor's 1/3! + r/4! + ... + r^4/7! rounded to
  nearest: the truncation and the coefficients' rounding, relative to
  exp(r) - 1, printed as measured on a fine grid.
- log1p: for m in [sqrt(1/2), sqrt(2)) and k = round(256 m) in 181..362,
  c_k = RN(256/k) and -log(c_k) as a double-double hi + lo (relative error
  printed; c_256 = 1 and its logarithm 0 exactly), so that
  log(m) = -log(c_k) + log1p(c_k m - 1) with |c_k m - 1| <= tmax (printed).
- log1p(t) = t - t^2/2 + t^3 Q(t), Q Taylor's 1/3 - t/4 + ... + t^6/9 rounded
  to nearest: the truncation and rounding relative to log1p(t) over
  |t| <= tmax, printed as measured.
(ln 2 in two parts is log's, special/log_tables.hpp.)

Run: python3 reference/gen_expm1_log1p_tables.py > core/src/special/expm1_log1p_tables.hpp
"""
import mpmath
from doubles import header, log2_of, rn, write_header


def horner(coeffs, x):
    """coeffs from the highest power down, evaluated exactly."""
    p = mpmath.mpf(0)
    for c in coeffs:
        p = p * x + mpmath.mpf(c)
    return p


def grid(lo, hi, n):
    return [lo + (hi - lo) * mpmath.mpf(i) / n for i in range(n + 1)]


def main():
    out = header("gen_expm1_log1p_tables.py", '"special/value.hpp"')
    w = out.append

    # expm1's polynomial: P(r) = sum_{n=3..7} r^(n-3)/n!, highest power first.
    expm1_coeffs = [rn(1 / mpmath.factorial(n)) for n in range(7, 2, -1)]
    rmax = mpmath.log(2) / 256 * (1 + mpmath.mpf(2) ** -40)
    worst = mpmath.mpf(0)
    for r in grid(-rmax, rmax, 4000):
        if r == 0:
            continue
        approx = r + r * r / 2 + r**3 * horner(expm1_coeffs, r)
        exact = mpmath.expm1(r)
        worst = max(worst, abs((approx - exact) / exact))
    w("// exp(r) - 1 = r + r^2/2 + r^3 P(r), |r| <= ln2/256: Taylor's P to r^4/7!;")
    w(f"// measured relative error (truncation and coefficients) at most 2^{log2_of(worst):.1f}.")
    w("inline constexpr Poly<5> kExpm1Taylor = {")
    out.extend(f"    {c.hex()}," for c in expm1_coeffs)
    w("};")
    w("")

    # log1p's table.
    lo_m = mpmath.sqrt(mpmath.mpf(1) / 2)
    hi_m = mpmath.sqrt(mpmath.mpf(2))
    k_lo = int(mpmath.nint(lo_m * 256))
    k_hi = int(mpmath.nint(hi_m * 256))
    rows = []
    worst = mpmath.mpf(0)
    tmax = mpmath.mpf(0)
    for k in range(k_lo, k_hi + 1):
        c = rn(mpmath.mpf(256) / k)
        ell = -mpmath.log(c)
        hi = rn(ell)
        lo = rn(ell - hi)
        if ell != 0:
            worst = max(worst, abs((mpmath.mpf(hi) + lo - ell) / ell))
        # m in [(k - 1/2)/256, (k + 1/2)/256] within [sqrt(1/2), sqrt(2)).
        m0 = max(lo_m, (k - mpmath.mpf(1) / 2) / 256)
        m1 = min(hi_m, (k + mpmath.mpf(1) / 2) / 256)
        tmax = max(tmax, abs(c * m0 - 1), abs(c * m1 - 1))
        rows.append(f"    {{{c.hex()}, {hi.hex()}, {lo.hex()}}},")
    w(f"// k = round(256 m) for m in [sqrt(1/2), sqrt(2)): k in {k_lo}..{k_hi}.")
    w(f"inline constexpr int kLog1pFirst = {k_lo};")
    w(f"// Row k - {k_lo}: c = RN(256/k), -log(c) = hi + lo (relative error at most")
    w(f"// 2^{log2_of(worst):.1f}); |c m - 1| <= 2^{log2_of(tmax):.2f} over k's interval.")
    w(f"inline constexpr double kLog1pTable[{k_hi - k_lo + 1}][3] = {{")
    out.extend(rows)
    w("};")
    w("")

    log1p_coeffs = [rn(mpmath.mpf((-1) ** (n + 1)) / n) for n in range(9, 2, -1)]
    worst = mpmath.mpf(0)
    for t in grid(-tmax, tmax, 4000):
        if t == 0:
            continue
        approx = t - t * t / 2 + t**3 * horner(log1p_coeffs, t)
        exact = mpmath.log1p(t)
        worst = max(worst, abs((approx - exact) / exact))
    w(f"// log1p(t) = t - t^2/2 + t^3 Q(t), |t| <= 2^{log2_of(tmax):.2f}: Taylor's Q to t^6/9;")
    w(f"// measured relative error (truncation and coefficients) at most 2^{log2_of(worst):.1f}.")
    w("inline constexpr Poly<7> kLog1pTaylor = {")
    out.extend(f"    {c.hex()}," for c in log1p_coeffs)
    w("};")
    w("")
    write_header(out)


if __name__ == "__main__":
    main()
