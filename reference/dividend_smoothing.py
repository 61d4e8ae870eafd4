"""European prices on a stock that pays cash dividends on known dates (the
spot model of reference/dividend_quadrature.py: a drop by D_i at each
ex-date t_i, to max(S - D_i, 0)), for any number of dividends, by backward
recursion over the ex-dates with the value between them on uniform grids
in log-spot (the recursive integration of Haug, Haug and Lewis, Wilmott
Magazine 2003, with the interpolation on a grid of Vellekoop and
Nieuwenhuis, Applied Mathematical Finance 13(3), 2006):

  F_m(S) = Black-Scholes(S, K, T - t_m)                 (closed form),
  F_k(S) = e^{-r dt} E[F_{k+1}(max(S e^{mu dt + w Z} - D_{k+1}, 0))],

dt = t_{k+1} - t_k, w = vol sqrt(dt), mu = r - q - vol^2/2, the price
F_0(S_0). F_k is a Gaussian smoothing of width w in ln S, so it is smooth on
that scale: its grid has spacing w / 4 (h_per_w) and is read by Lagrange
interpolation on 16 nodes. The grid covers the log-spots the spot reaches
at t_k but for odds of some 1e-21 (9.5 standard deviations of the path,
the dividends taken at their largest), and no lower than where F_k is
F_k(0) but for such odds (9.5 w below ln D_{k+1}: the next dividend takes
the spot to 0). Each expectation is a sum over Gauss-Legendre panels in Z
on [-9.5, 9.5] at most one unit wide (zwidth) and no wider than the width
of F_{k+1}'s finest feature in units of w, broken where S e^{...} reaches
D_{k+1} (below it the value is F_{k+1}(0)) and, for the closed form, where
it reaches D_{k+1} + K, toward which the panels narrow geometrically to
the width vol sqrt(T - t_m) of the closed form's bend at the strike.

American calls with q <= min(0, r) (american=True; exercised, if at all, just
before an ex-date): the value just before each ex-date is max(S - K,
F(S - D)), each expectation's panels broken where the two cross (found on
a lattice of z a twentieth apart, then by Brent's method).

A design study of the method and a fast reference for many dividends:
halving the spacing and the panels changes the prices of
dividend_portfolio.py's first 40 options by at most 3e-12 of max(p, 1e-4 K),
and they agree with american_lcp --european within its estimate, with the
quadrature to 1e-14 for one and two dividends.

  python3 reference/dividend_smoothing.py IN.csv OUT.csv [--fine] [--american]
IN.csv as american_lcp reads it (S,K,T,r,q,vol,call,times,amounts); OUT.csv
rows index,price. As a module: price(...).
"""
import argparse
import math

import numpy as np
from numpy.polynomial.legendre import leggauss
from scipy.optimize import brentq
from scipy.special import ndtr

Z = 9.5
GAUSS_X, GAUSS_W = leggauss(12)
STENCIL = 16
# The barycentric weights of STENCIL equally spaced nodes.
BARYCENTRIC = np.array([(-1) ** i * math.comb(STENCIL - 1, i) for i in range(STENCIL)], float)


def black_scholes(s, k, tau, r, q, vol, call):
    """The European value at spots s >= 0 with tau >= 0 to expiry."""
    s = np.asarray(s, float)
    if tau <= 0:
        return np.maximum(s - k, 0.0) if call else np.maximum(k - s, 0.0)
    out = np.full(s.shape, 0.0 if call else k * math.exp(-r * tau))
    pos = s > 0
    sd = vol * math.sqrt(tau)
    sp = s[pos]
    d1 = (np.log(sp / k) + (r - q) * tau) / sd + sd / 2
    d2 = d1 - sd
    if call:
        out[pos] = sp * math.exp(-q * tau) * ndtr(d1) - k * math.exp(-r * tau) * ndtr(d2)
    else:
        out[pos] = k * math.exp(-r * tau) * ndtr(-d2) - sp * math.exp(-q * tau) * ndtr(-d1)
    return out


def panels(breaks, width, graded=None, eps=0.0):
    """Gauss-Legendre nodes and weights over [-Z, Z]: panels at most `width`
    wide between the breaks, and narrowing geometrically from 1 to eps
    toward `graded`."""
    breaks = list(breaks)
    if graded is not None and eps > 0:
        e = eps
        while e < 1.0:
            breaks += [graded - e, graded + e]
            e *= 2
    ends = sorted({-Z, Z} | {b for b in breaks if -Z < b < Z})
    xs, ws = [], []
    for a, b in zip(ends[:-1], ends[1:]):
        edges = np.linspace(a, b, max(1, math.ceil((b - a) / width)) + 1)
        for lo, hi in zip(edges[:-1], edges[1:]):
            xs.append(0.5 * (hi - lo) * GAUSS_X + 0.5 * (hi + lo))
            ws.append(0.5 * (hi - lo) * GAUSS_W)
    return np.concatenate(xs), np.concatenate(ws)


class Grid:
    """F on ln S' = a + i h, i = 0..n; below the grid F(0), above it
    `above` (a call's affine value deep in the money, a put's 0)."""

    def __init__(self, a, h, values, at_zero, above):
        self.a, self.h, self.v, self.at_zero, self.above = a, h, values, at_zero, above
        self.n = len(values) - 1

    def __call__(self, spots):
        out = np.full(spots.shape, self.at_zero)
        pos = spots > 0
        u = np.full(spots.shape, -1.0)
        u[pos] = (np.log(spots[pos]) - self.a) / self.h
        high = u > self.n
        out[high] = self.above(spots[high])
        inside = (u >= 0) & ~high
        ui = u[inside]
        first = np.clip(np.floor(ui).astype(int) - STENCIL // 2 + 1, 0, self.n - STENCIL + 1)
        nodes = first[:, None] + np.arange(STENCIL)
        d = (ui - first)[:, None] - np.arange(STENCIL)
        on_node = d == 0
        weights = BARYCENTRIC / np.where(on_node, 1.0, d)
        value = (weights * self.v[nodes]).sum(1) / weights.sum(1)
        hit = on_node.any(1)
        value[hit] = self.v[nodes[hit]][on_node[hit]]
        out[inside] = value
        return out


def crossings(g):
    """The z in (-Z, Z) where g changes sign, on a lattice a twentieth apart."""
    lattice = np.linspace(-Z, Z, int(40 * Z) + 1)
    values = g(lattice)
    found = np.nonzero(np.sign(values[:-1]) * np.sign(values[1:]) < 0)[0]
    return [brentq(lambda z: float(g(np.array([z]))[0]), lattice[i], lattice[i + 1],
                   xtol=1e-15, rtol=1e-15) for i in found]


def smooth(f, x, dt, d, mu, w, r, zwidth, feature, strike=None, exercise=None):
    """e^{-r dt} E[f(max(e^{x + mu dt + w Z} - d, 0))] at each log-spot x,
    f's finest feature `feature` wide in ln S (its bend at `strike` for the
    closed form, else its grid's smoothing); with `exercise` (an American
    call's strike), E[max(S - K, f(max(S - d, 0)))]."""
    width = zwidth * (1.0 if strike is not None else min(1.0, feature / w))
    eps = feature / w
    out = np.empty(len(x))
    for i, xi in enumerate(x):
        breaks, graded = [(math.log(d) - xi - mu * dt) / w], None
        if strike is not None:
            graded = (math.log(strike + d) - xi - mu * dt) / w
            breaks.append(graded)

        def before(z, xi=xi):
            spots = np.exp(xi + mu * dt + w * z)
            held = f(np.maximum(spots - d, 0.0))
            return held if exercise is None else np.maximum(spots - exercise, held)

        if exercise is not None:
            breaks += crossings(lambda z, xi=xi: np.exp(xi + mu * dt + w * z) - exercise
                                - f(np.maximum(np.exp(xi + mu * dt + w * z) - d, 0.0)))
        z, weight = panels(breaks, width, graded, eps)
        out[i] = np.sum(weight * before(z) * np.exp(-0.5 * z * z)) / math.sqrt(2 * math.pi)
    return math.exp(-r * dt) * out


def price(s0, k, t, r, q, vol, call, times, amounts, h_per_w=4.0, zwidth=1.0, american=False):
    """F_0(s0); the dividends with times in (0, t] count (one on t included).
    american: a call with q <= min(0, r) exercised just before an ex-date."""
    if american and not (call and q <= min(0.0, r)):
        raise ValueError("American exercise here is for calls with q <= min(0, r)")
    exercise = k if american else None
    divs = [(a, d) for a, d in zip(times, amounts) if a <= t]
    if not divs:
        return float(black_scholes(np.array([s0]), k, t, r, q, vol, call)[0])
    mu = r - q - 0.5 * vol * vol
    tau = t - divs[-1][0]
    f = lambda spots: black_scholes(spots, k, tau, r, q, vol, call)  # noqa: E731
    feature, strike = vol * math.sqrt(tau), k
    for j in range(len(divs) - 1, 0, -1):
        (t_k, _), (t_next, d) = divs[j - 1], divs[j]
        dt = t_next - t_k
        w = vol * math.sqrt(dt)
        # The reach of the spot just after the j-th ex-date.
        sd = vol * math.sqrt(t_k)

        def grown(sign):
            return sum(dd * math.exp(mu * (t_k - a) + sign * Z * vol * math.sqrt(t_k - a))
                       for a, dd in divs[:j])

        low = s0 * math.exp(mu * t_k - Z * sd) - grown(+1)
        high = s0 * math.exp(mu * t_k + Z * sd) - grown(-1)
        a = max(math.log(low) if low > 0 else -math.inf, math.log(d) - mu * dt - Z * w)
        b = math.log(max(high, 1e-300))
        if not b > a:
            b = a + w
        h = min(w / h_per_w, (b - a) / (2 * STENCIL))
        n = math.ceil((b - a) / h)
        x = a + h * np.arange(n + 1)
        values = smooth(f, x, dt, d, mu, w, r, zwidth, feature, strike, exercise)
        left = t - t_k
        later = divs[j:]

        def above(spots, left=left, later=later, dt=dt):
            if not call:
                return np.zeros_like(spots)
            if american:  # exercised at the next ex-date
                return spots * math.exp(-q * dt) - k * math.exp(-r * dt)
            forward = spots * math.exp((r - q) * left) - sum(
                dd * math.exp((r - q) * (t - a)) for a, dd in later)
            return math.exp(-r * left) * (forward - k)

        f = Grid(a, h, values, 0.0 if call else k * math.exp(-r * left), above)
        feature, strike = w, None
    t1, d = divs[0]
    w = vol * math.sqrt(t1)
    value = smooth(f, np.array([math.log(s0)]), t1, d, mu, w, r, zwidth, feature, strike, exercise)
    return float(value[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("src")
    parser.add_argument("out")
    parser.add_argument("--fine", action="store_true",
                        help="half the grid spacing and the panels (a convergence check)")
    parser.add_argument("--american", action="store_true",
                        help="American exercise (calls with q <= min(0, r) only)")
    args = parser.parse_args()
    fine = {"h_per_w": 8.0, "zwidth": 0.5} if args.fine else {}
    fine["american"] = args.american
    rows = []
    for line in open(args.src):
        fields = line.strip().split(",")
        try:
            s, k, t, r, q, vol = map(float, fields[:6])
            call = int(fields[6]) != 0
        except (ValueError, IndexError):
            continue
        times = [float(x) for x in fields[7].split(";")] if len(fields) > 8 else []
        amounts = [float(x) for x in fields[8].split(";")] if len(fields) > 8 else []
        rows.append(price(s, k, t, r, q, vol, call, times, amounts, **fine))
    with open(args.out, "w") as out:
        out.write("index,price\n")
        for i, p in enumerate(rows):
            out.write(f"{i},{p!r}\n")


if __name__ == "__main__":
    main()
