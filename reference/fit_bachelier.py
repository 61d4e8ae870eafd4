"""Fits the rational approximations of the normal-model kernels and measures them.

    python3 reference/fit_bachelier.py [--inverse]   # prints the C++ tables and their errors

(--inverse: only the tables of the implied volatility; --inverse 2 3: only
those pieces away from the money.)

Seven tables, each a ratio of polynomials P/Q with Q(0) = 1, fitted to 50-digit
mpmath values by linearised least squares on Chebyshev nodes with
relative-error weights (Loeb's iteration) and Lawson reweighting towards the
minimax fit:

* q(u) = 1 - u m(u), m(u) = Phi(-u)/phi(u) the Mills ratio, on 0 <= u <= 1
  and on 1 <= u <= 5.5 (rationals in u), so that the Bachelier time value
  s phi(u) q(u) keeps its relative accuracy where 1 - u m(u) cancels and
  costs no exponential;
* u^2 q(u) on u >= 5.5, as a rational in t = 1/u^2 (q's asymptotic series
  1/u^2 - 3/u^4 + 15/u^6 - ... is the fit's value at t = 0);
* the inverse of g(u) = phi(u) q(u) / u (the time value over |F - K|) for
  g >= g(1): u/w as a rational in w = 1/g, degree 10/10;
* the same for g < g(1), down to g = exp(-1455) (the smallest time value
  over the largest |F - K|), in y = -2 ln g on four pieces of u (1 to 2.5,
  6.8, 19 and 54.2): u/sqrt(y) = 1 - h/y, h a rational of degree 8/8 in
  x = (y - c) 2^-e in [0, 1] from the piece's start c. A single rational
  converges slowly there (u/sqrt(y) has terms in ln(y)/y: 10/10 in
  1/sqrt(y) on the whole range reaches only 7e-13), pieces converge fast;
  from the start of a piece the coefficients are positive (about its middle
  they alternate and cancel in doubles); and the rounding of h reaches
  u/sqrt(y) damped by h/(y - h).

The inverse tables are the implied volatility itself (no correction step
follows), so each is fitted to well below eps. The errors printed are those
of the tables rounded to doubles and evaluated in double arithmetic by
Horner's rule, over 20,000 random points (4,000 for the
inverse tables, against 50-digit values of u at the double argument), in
units of eps = 2^-52, beside the fit's own relative error.
"""

import random
import sys

import mpmath as mp

mp.mp.dps = 50
EPS = 2.0**-52
U_MID, U_TAIL = 1.0, 5.5
LOG_G_MIN = -1455.0


def q_exact(u):
    u = mp.mpf(u)
    m = mp.sqrt(mp.pi / 2) * mp.exp(u * u / 2) * mp.erfc(u / mp.sqrt(2))
    return 1 - u * m


def tail_exact(t):
    if t == 0:
        return mp.mpf(1)
    return q_exact(1 / mp.sqrt(t)) / t


def g_exact(u):
    u = mp.mpf(u)
    return mp.npdf(u) * q_exact(u) / u


def u_of_log_g(lg):
    """u with ln g(u) = lg, by Newton on ln g (d ln g/du = -1/(u q))."""
    lg = mp.mpf(lg)
    u = mp.sqrt(-2 * lg) if lg < -1 else mp.exp(-lg) / mp.sqrt(2 * mp.pi)
    if lg < -1:
        u = max(u - 3 * mp.log(u) / u, mp.mpf("0.5"))
    for _ in range(100):
        q = q_exact(u)
        step = (mp.log(mp.npdf(u) * q / u) - lg) * u * q
        u = u + step if step > -u / 2 else u / 2
        if abs(step) < u * mp.mpf(10) ** -45:
            break
    return u


def ratfit(f, a, b, m, n, npts=200, iters=12):
    """P/Q (degrees m, n, Q(0) = 1) near-minimax in relative error on [a, b]."""
    xs = [(a + b) / 2 + (b - a) / 2 * mp.cos(mp.pi * (2 * i + 1) / (2 * npts)) for i in range(npts)]
    fs = [f(x) for x in xs]
    qprev = [mp.mpf(1)] * npts
    lw = [mp.mpf(1)] * npts
    best = None
    for it in range(iters):
        A = mp.matrix(npts, m + 1 + n)
        rhs = mp.matrix(npts, 1)
        for i, (x, fx) in enumerate(zip(xs, fs)):
            w = lw[i] / (fx * qprev[i])
            for j in range(m + 1):
                A[i, j] = w * x**j
            for j in range(1, n + 1):
                A[i, m + j] = -w * fx * x**j
            rhs[i] = w * fx
        sol, _ = mp.qr_solve(A, rhs)
        p = [sol[j] for j in range(m + 1)]
        q = [mp.mpf(1)] + [sol[m + j] for j in range(1, n + 1)]
        errs = []
        for i, (x, fx) in enumerate(zip(xs, fs)):
            qprev[i] = mp.polyval(q[::-1], x)
            errs.append(abs(mp.polyval(p[::-1], x) / qprev[i] / fx - 1))
        e = max(errs)
        if best is None or e < best[0]:
            best = (e, p, q)
        if it >= 3:
            lw = [lw[i] * mp.sqrt(errs[i] / e) + mp.mpf("1e-30") for i in range(npts)]
            s = sum(lw)
            lw = [v * npts / s for v in lw]
    return best


def horner_ratio(p, q, x):
    pv = 0.0
    for c in reversed(p):
        pv = pv * x + c
    qv = 0.0
    for c in reversed(q):
        qv = qv * x + c
    return pv / qv


def table(name, p, q):
    def poly(c):
        return ", ".join(repr(float(v)) for v in reversed(c))

    return (f"constexpr Poly<{len(p)}> k{name}P = {{{poly(p)}}};\n"
            f"constexpr Poly<{len(q)}> k{name}Q = {{{poly(q)}}};")


def worst_eps(approx, exact, a, b, count, seed=20):
    """The worst relative error of approx(x) (doubles) against exact(x) (50
    digits) over count uniform points of [a, b], in units of eps."""
    rng = random.Random(seed)
    worst = 0.0
    for _ in range(count):
        x = rng.uniform(a, b)
        worst = max(worst, float(abs(approx(x) / exact(x) - 1)))
    return worst / EPS


def measured(f, p, q, a, b, count=20000):
    pd, qd = [float(c) for c in p], [float(c) for c in q]
    return worst_eps(lambda x: horner_ratio(pd, qd, x), lambda x: f(mp.mpf(x)), a, b, count)


def measured_far(far, p, q, a, b, c, scale, count):
    """u/sqrt(y) = 1 - h((y - c) scale)/y in doubles, against 50-digit values."""
    pd, qd = [float(v) for v in p], [float(v) for v in q]
    return worst_eps(lambda y: 1.0 - horner_ratio(pd, qd, (y - c) * scale) / y,
                     lambda y: far(1 / mp.sqrt(mp.mpf(y))), a, b, count)


def main(inverse_only=False):
    if inverse_only:
        return inverse_tables()
    e, p, q = ratfit(q_exact, mp.mpf(0), mp.mpf(U_MID), 6, 6)
    print(table("Low", p, q))
    print(f"// q on [0, {U_MID}]: fit {mp.nstr(e, 3)}, "
          f"in doubles {measured(q_exact, p, q, 0.0, U_MID):.2f} eps")
    e, p, q = ratfit(q_exact, mp.mpf(U_MID), mp.mpf(U_TAIL), 7, 7)
    print(table("Mid", p, q))
    print(f"// q on [{U_MID}, {U_TAIL}]: fit {mp.nstr(e, 3)}, "
          f"in doubles {measured(q_exact, p, q, U_MID, U_TAIL):.2f} eps")
    t_max = 1 / U_TAIL**2
    e, p, q = ratfit(tail_exact, mp.mpf(0), mp.mpf(t_max), 5, 5)
    print(table("Tail", p, q))
    print(f"// u^2 q for u >= {U_TAIL}: fit {mp.nstr(e, 3)}, "
          f"in doubles {measured(tail_exact, p, q, 0.0, t_max):.2f} eps")
    inverse_tables()


def inverse_tables():
    g1 = g_exact(1)
    near = lambda w: u_of_log_g(-mp.log(w)) / w  # noqa: E731
    if not [a for a in sys.argv[1:] if a.isdigit()]:
        e, p, q = ratfit(near, mp.mpf("1e-12"), 1 / g1, 10, 10, 120, 14)
        print(table("Near", p, q))
        print(f"// u/w for g >= g(1) = {float(g1)!r}: fit {mp.nstr(e, 3)}, "
              f"in doubles {measured(near, p, q, 0.0, float(1 / g1), 4000):.2f} eps")
    far = lambda h: u_of_log_g(-1 / (2 * h * h)) * h  # noqa: E731
    cuts = [1.0, 2.5, 6.8, 19.0, None]
    # Degrees: the shorter pieces need fewer (a higher degree there only buys
    # coefficients that cancel in doubles).
    degrees = [8, 8, 8, 8]
    only = [int(a) for a in sys.argv[1:] if a.isdigit()]
    y_max = -2 * mp.mpf(LOG_G_MIN)
    for i in range(4):
        if only and i not in only:
            continue
        lo = -2 * mp.log(g_exact(cuts[i]))
        hi = y_max if cuts[i + 1] is None else -2 * mp.log(g_exact(cuts[i + 1]))
        if i:
            print(f"y at u = {cuts[i]}: {float(lo)!r}")
        # Each piece fitted a little beyond its ends (a boundary rounded to a
        # double picks either piece), in x = (y - c) 2^-e from its start c
        # (a double; 2^e at least its width, so that x is in [0, 1] and
        # formed exactly). The coefficients come out positive, so that their
        # sum in doubles cancels nothing; about the middle of a piece they
        # alternate in sign where x < 0 and cancel (h is the closer to a pole
        # the lower y).
        a, b = lo * (1 - mp.mpf("1e-3")), hi * (1 + mp.mpf("1e-3"))
        c = float(a)
        e = int(mp.ceil(mp.log(b - c, 2)))
        scale = mp.mpf(2) ** -e
        piece = lambda x: (1 - far(1 / mp.sqrt(x / scale + c))) * (x / scale + c)  # noqa: E731, B023
        err, p, q = ratfit(piece, (a - c) * scale, (b - c) * scale, degrees[i], degrees[i], 100, 14)
        print(f"center {c!r}, scale 2^{-e}")
        print(table(f"Far{i}", p, q))
        print(f"// h, y in [{float(lo):.6g}, {float(hi):.6g}]: fit {mp.nstr(err, 3)}, "
              f"u/sqrt(y) in doubles "
              f"{measured_far(far, p, q, float(a), float(b), c, float(scale), 4000):.2f} eps")

if __name__ == "__main__":
    main(inverse_only="--inverse" in sys.argv[1:])
