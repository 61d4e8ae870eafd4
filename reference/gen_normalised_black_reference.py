#!/usr/bin/env python3
"""Write the 50-digit reference tables of the core's accuracy tests.

Evaluates, with mpmath at mp.dps = 50, on fixed grids of double arguments:

  core/tests/data/normalised_black_reference.txt   x  s  b(x, s)
  core/tests/data/erfcx_reference.txt              x  exp(x^2) erfc(x)
  core/tests/data/inverse_norm_cdf_reference.txt   u  z with Phi(z) = u

b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2) is the normalised
Black call price. Arguments are written with repr (they read back to the same
double), references with 25 significant digits. Each value is computed a
second time at 80 digits and the two must agree to 30 digits, which guards
the cancellation in b at small s; values below 1e-340 (zero in double
precision) are written as 0.

Usage: python3 reference/gen_normalised_black_reference.py [output directory]
"""
import math
import os
import sys

import mpmath as mp

mp.mp.dps = 50
DIGITS = 25


def black(x, s):
    x, s = mp.mpf(x), mp.mpf(s)
    if s == 0:
        return 2 * mp.sinh(x / 2) if x > 0 else mp.mpf(0)
    h, t = x / s, s / 2
    return mp.ncdf(h + t) * mp.exp(x / 2) - mp.ncdf(h - t) * mp.exp(-x / 2)


def erfcx(x):
    x = mp.mpf(x)
    return mp.exp(x * x) * mp.erfc(x)


def inverse_norm_cdf(u):
    """z with Phi(z) = u, by Newton's method on log Phi(z) = log u."""
    u = mp.mpf(u)
    if u > mp.mpf(0.5):
        return -inverse_norm_cdf(1 - u)  # 1 - u is exact at this precision
    if u == mp.mpf(0.5):
        return mp.mpf(0)
    target = mp.log(u)
    z = -mp.sqrt(-2 * target) if u < mp.mpf(0.1) else mp.mpf(-1)
    for _ in range(200):
        dz = (mp.log(mp.ncdf(z)) - target) * mp.ncdf(z) / mp.npdf(z)
        z -= dz
        if abs(dz) <= abs(z) * mp.mpf(10) ** (-(mp.mp.dps - 5)) + mp.mpf(10) ** (-(mp.mp.dps - 5)):
            return z
    raise RuntimeError(f"no convergence at u = {float(u)!r}")


def checked(f, *args):
    """f at 50 digits, confirmed at 80; values far below the double range
    (where the 50-digit exponent itself runs out of digits) are written as 0."""
    v50 = f(*args)
    with mp.workdps(80):
        v80 = f(*args)
    if abs(v80) < mp.mpf(10) ** -340:
        return mp.mpf(0)
    if abs(v50 - v80) > abs(v80) * mp.mpf(10) ** -30:
        raise RuntimeError(f"{f.__name__}{args!r}: 50 and 80 digits disagree")
    return v50


def logspace(lo, hi, n):
    return [float(10 ** (math.log10(lo) + (math.log10(hi) - math.log10(lo)) * i / (n - 1)))
            for i in range(n)]


def black_grid():
    xs = [-50.0, -35.0, -20.0, -12.0, -8.0, -5.0, -3.0, -2.0, -1.0, -0.5, -0.2, -0.1,
          -0.03, -0.01, -1e-3, -1e-5, 0.0, 1e-3, 0.05, 0.109375, 0.5, 2.0, 10.0]
    ss = logspace(1e-8, 50.0, 22)
    points = [(x, s) for x in xs for s in ss]
    # Around the region boundaries: t = tau, h + t = 0.85, h = -10.
    tau = 0.21022410381342865
    for x in (0.0, -0.05, -0.3, -1.0):
        points += [(x, 2 * tau * f) for f in (0.999, 1.0, 1.001)]
    for s in (0.5, 1.0, 1.7, 3.0):
        x = (0.85 - 0.5 * s) * s
        if x <= 0:
            points += [(x * f, s) for f in (0.999, 1.0, 1.001)]
    for s in (0.5, 1.0, 2.0, 4.0):
        points += [(-10.0 * s * f, s) for f in (0.999, 1.0, 1.001)]
    return points


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "core", "tests", "data")
    os.makedirs(out, exist_ok=True)

    with open(os.path.join(out, "normalised_black_reference.txt"), "w") as f:
        f.write("# x s b(x,s): normalised Black call price, mpmath 50 digits\n")
        for x, s in black_grid():
            f.write(f"{x!r} {s!r} {mp.nstr(checked(black, x, s), DIGITS)}\n")

    with open(os.path.join(out, "erfcx_reference.txt"), "w") as f:
        f.write("# x exp(x^2)*erfc(x), mpmath 50 digits\n")
        xs = [0.0, 1e-300, 1e-17, 1.11e-16, 1e-10, 1e-3, 0.1, 0.3, 0.46875, 0.46875000000000006,
              0.5, 1.0, 2.0, 3.0, 3.9999999999999996, 4.0, 4.000000000000001, 5.0, 8.0, 12.0,
              30.0, 100.0, 1e3, 1e5, 1e7, 6.71e7, 1e8, 1e12]
        xs += logspace(1e-3, 6e7, 40)
        xs += [-x for x in xs if 0 < x <= 26.0]
        xs += [-26.0, -26.628]
        for x in sorted(set(xs)):
            f.write(f"{x!r} {mp.nstr(checked(erfcx, x), DIGITS)}\n")

    with open(os.path.join(out, "inverse_norm_cdf_reference.txt"), "w") as f:
        f.write("# u z with Phi(z) = u, mpmath 50 digits\n")
        us = [1e-300, 1e-200, 1e-100, 1e-50, 1e-20, math.exp(-25.0), 1.3888e-11, 1.3889e-11,
              1e-10, 1e-5, 1e-3, 0.01, 0.05, 0.075, 0.07500000000000001, 0.1, 0.2, 0.3, 0.4,
              0.45, 0.5, 0.55, 0.6, 0.7, 0.8, 0.9, 0.924, 0.925, 0.95, 0.975, 0.99, 0.999,
              0.99999, 1.0 - 1e-10, 1.0 - 2.0 ** -52, 1.0 - 2.0 ** -53]
        us += logspace(1e-300, 0.5, 60)
        for u in sorted(set(us)):
            f.write(f"{u!r} {mp.nstr(checked(inverse_norm_cdf, u), DIGITS)}\n")


if __name__ == "__main__":
    main()
