"""American puts (r > 0) on a stock with cash dividends: the NumPy prototype of
the boundary solver between ex-dates that core/src/dividends/exercise_boundary.cpp
carries out (the same nodes and equations; the library's prices agree with it
to 1e-13). Slow (minutes a price); what it found is below.

  PYTHONPATH=build/pkg python3 reference/dividend_put_boundary.py S K T r q vol TIMES AMOUNTS
      (TIMES and AMOUNTS joined by ';'); compare build/reference/american_lcp.

The model: the spot drops by D_i at each ex-date t_i (to max(S - D_i, 0)).
Backward over the stretches between ex-dates, strike 1:
- after the last ex-date the value is the plain American put
  (tarvik.american_prices over T - t_m; the payoff where t_m = T);
- on each earlier stretch, of length dt with the dividend D at its end, the
  terminal value is G(S) = F(max(S - D, 0)), F the value just after the
  dividend, held as Chebyshev panels in ln S above F's own boundary b (1 - S
  below it). The exercise region is [0, B(tau)], tau the time left to the
  stretch's end, and for every S
    V(tau, S) = Ghat(tau, S) + int_0^tau [r e^{-rs} N(-d-(s, S/B(tau - s)))
                                          - q S e^{-qs} N(-d+(s, S/B(tau - s)))] ds,
  Ghat(tau, S) = e^{-r tau} E[G(S e^{(r - q - vol^2/2) tau + vol sqrt(tau) Z})]
  (the early exercise premium of Kim 1990 and Jacka 1991 over the stretch,
  with G in place of the payoff; in closed form where G is linear, Gauss-
  Legendre over F's panels elsewhere). B is found node by node in tau with
  adaptive steps (the prediction from the last six nodes against the solution),
  the integral over each step in v = sqrt(tau - u) with B by Lagrange
  interpolation of degree 5; V at the stretch's start on Chebyshev panels is
  the next F.

Found:
- Just before an ex-date the put is never exercised (G(S) >= 1 - S + min(S,
  D)): B starts at 0 and follows the cap branch B ~ 1 - e^{-r tau} (the spot
  below D goes to 0 at the ex-date). Its smooth pasting is carried by a layer
  of width vol^2 tau^2 in s (B moves by its own size in tau), which the
  quadrature must resolve: breakpoints at v = vol tau 2^k.
- G has slope -1 on (D, D + b), so for small tau V_S = -1 holds there with no
  exercise: smooth pasting alone has spurious roots; value matching tells
  them apart.
- With q = 0 the main region opens all at once at tau1 = ln(1 + D) / r (the
  interest on the strike pays for the dividend given up): just before it the
  exercise deficit (1 - S) - V is flat, some -1e-9, over (c, 0.3), and the cap
  boundary c loses its footing (the node solves scatter by 0.3%); just after
  it the boundary rises as exp(-vol sqrt(2 tau ln(1 / (r (tau - tau1))))), from
  0.07 to 0.26 within 1e-10 years of tau1 (S = K = 100, r = 0.05, vol = 0.3,
  D = 2). There smooth pasting has no root node by node (the history lacks the
  exercise of the instants just past tau1, which makes the fit smooth);
  value matching (the deficit's largest crossing) has a clean one, with the
  nodes in ln(tau - tau1).
- Just past the opening the nodes solve value matching at steps doubling the
  time since it, each the deficit's largest crossing taken as it comes, up to
  1e-3 of the stretch; smooth pasting after that, once the history holds the
  rise (value matching there is ill-conditioned at small steps: its root moves
  by O(1/h) of its noise, and the step control rejects).
- Open: the cap boundary is held flat over the instants before tau1 where its
  solves scatter (some 1e-7 years here); calls with q > 0 (the region above B,
  starting at the ex-date's exercise level), q > 0 puts (a steep continuous
  rise instead of the opening), several dividends and the speed (minutes a
  price; the nodes before tau1 take most of it) are not done.
- Measured against build/reference/american_lcp --levels 8 --budget 4000000
  (K = 100, r = 0.05, q = 0, vol = 0.3): S = 100, T = 0.1, 0.5 at 0.05:
  3.81116543883 against 3.81116542899 +- 3.1e-7 (1.6 s); S = 100, T = 1, 2 at
  0.5: 10.7481708896 against 10.748170885 +- 4.2e-8 (4 minutes); S = 80, the
  same: 22.3610925054 against 22.361092513 +- 8.4e-8 (4 minutes).
"""

import sys

import numpy as np
from numpy.polynomial import chebyshev as C
from numpy.polynomial.legendre import leggauss
from scipy.optimize import brentq
from scipy.special import ndtr

SQ2PI = 1.0 / np.sqrt(2.0 * np.pi)


def phi(x):
    return SQ2PI * np.exp(-0.5 * x * x)


GX, GW = leggauss(10)
GX32, GW32 = leggauss(32)
P = 5  # interpolation degree of the boundary


def lagrange(t, u):
    """Lagrange weights of the nodes t at the points u (rows)."""
    u = np.atleast_1d(u)
    W = np.ones((len(u), len(t)))
    for a in range(len(t)):
        for c in range(len(t)):
            if a != c:
                W[:, a] *= (u - t[c]) / (t[a] - t[c])
    return W


class Fn:
    """Put value after a dividend: 1 - S for S <= b; Chebyshev panels in x = ln S on
    [ln b, top]; 0 above top."""

    def __init__(self, b, edges, coefs):
        self.b, self.edges, self.coefs = b, np.asarray(edges), coefs
        self.dcoefs = [C.chebder(c) * (2.0 / (edges[i + 1] - edges[i])) for i, c in enumerate(coefs)]

    def _eval(self, x, which):
        x = np.asarray(x, float)
        out = np.zeros_like(x)
        for i, c in enumerate(which):
            a, bb = self.edges[i], self.edges[i + 1]
            m = (x >= a) & (x <= bb) if i + 1 == len(which) else (x >= a) & (x < bb)
            if m.any():
                out[m] = C.chebval((2.0 * x[m] - (a + bb)) / (bb - a), c)
        return out

    def value(self, s):
        s = np.asarray(s, float)
        out = np.where(s <= self.b, 1.0 - s, 0.0)
        m = s > self.b
        if m.any():
            out[m] = self._eval(np.log(s[m]), self.coefs)
        return out

    def slope(self, s):
        """dF/dS."""
        s = np.asarray(s, float)
        out = np.where(s <= self.b, -1.0, 0.0)
        m = s > self.b
        if m.any():
            out[m] = self._eval(np.log(s[m]), self.dcoefs) / s[m]
        return out


def fit_fn(f, b, top, width, deg=24, tol=1e-14):
    """Chebyshev panels of f(S) (vectorised) on [ln b, top], split until the tail is below tol."""
    edges, coefs = [], []
    stack = []
    lo = np.log(b)
    n = max(1, int(np.ceil((top - lo) / width)))
    for i in range(n):
        stack.append((lo + (top - lo) * i / n, lo + (top - lo) * (i + 1) / n))
    stack.reverse()
    while stack:
        a, bb = stack.pop()
        c = C.chebinterpolate(lambda t: f(np.exp(0.5 * (a + bb) + 0.5 * (bb - a) * t)), deg)
        if (abs(c[-1]) + abs(c[-2]) + abs(c[-3]) > tol) and bb - a > 1e-6:
            mid = 0.5 * (a + bb)
            stack.append((mid, bb))
            stack.append((a, mid))
            continue
        edges.append(a)
        coefs.append(c)
    edges.append(top)
    return Fn(b, edges, coefs)


class Stretch:
    def __init__(self, nxt, D, dt, r, q, sig, b0=0.0):
        self.nxt, self.D, self.dt, self.r, self.q, self.sig = nxt, D, dt, r, q, sig
        self.mu = r - q - 0.5 * sig * sig
        self.branches = [[[0.0], [b0], None]]  # list of [taus, Bs, origin]

    # G(S) = F(max(S - D, 0))
    def G(self, s):
        return self.nxt.value(np.maximum(np.asarray(s, float) - self.D, 0.0))

    def ghat(self, tau, z):
        """e^{-r tau} E[G(z e^{mu tau + sd Y})] and its z-derivative, z an array."""
        z = np.atleast_1d(np.asarray(z, float))
        if tau == 0.0:
            s = z - self.D
            return self.G(z), np.where(s > 0, self.nxt.slope(np.maximum(s, 0)), 0.0)
        D, b, r, q = self.D, self.nxt.b, self.r, self.q
        sd = self.sig * np.sqrt(tau)
        m = np.log(z) + self.mu * tau
        with np.errstate(divide="ignore"):
            lD = (np.log(D) - m) / sd if D > 0 else np.full_like(m, -np.inf)
        lB = (np.log(D + b) - m) / sd
        fwd = z * np.exp((r - q) * tau)
        val = ndtr(lD) + (1.0 + D) * (ndtr(lB) - ndtr(lD)) - fwd * (ndtr(lB - sd) - ndtr(lD - sd))
        der = -np.exp(r * tau) * np.exp(-q * tau) * (ndtr(lB - sd) - ndtr(lD - sd))  # times e^{-r tau} below
        # Chebyshev part: y from max(lB, -9.5) to 9.5, pieces <= 0.5 and at F's edges.
        vc = np.zeros_like(z)
        dc = np.zeros_like(z)
        for i in range(len(z)):
            ya = max(lB[i], -9.5)
            if ya >= 9.5:
                continue
            br = [ya, 9.5]
            xe = self.nxt.edges
            ye = (np.log(np.exp(xe) + D) - m[i]) / sd
            br += [y for y in ye if ya < y < 9.5]
            br = np.sort(np.array(br))
            pts, wts = [], []
            for a, bb in zip(br[:-1], br[1:]):
                k = max(1, int(np.ceil((bb - a) / 0.5)))
                for j in range(k):
                    lo, hi = a + (bb - a) * j / k, a + (bb - a) * (j + 1) / k
                    pts.append(0.5 * (lo + hi) + 0.5 * (hi - lo) * GX32)
                    wts.append(0.5 * (hi - lo) * GW32)
            y = np.concatenate(pts)
            w = np.concatenate(wts) * phi(y)
            s = np.exp(m[i] + sd * y)
            sp = s - D
            vc[i] = np.sum(w * self.nxt.value(sp))
            dc[i] = np.sum(w * self.nxt.slope(sp) * s) / z[i]
        e = np.exp(-r * tau)
        return e * (val + vc), e * der + e * dc

    # The boundary B at u, from the branch holding u (nodes <= current), Lagrange degree P.
    def _interp_weights(self, taus, i, u, origin=None):
        """Weights of the nodes of a stencil for points u in [taus[i-1], taus[i]]; in
        ln(u - origin) where the branch has an origin."""
        n = len(taus)
        lo = max(0, min(i - 1 - P // 2, n - 1 - P))
        hi = min(n, lo + P + 1)
        idx = np.arange(lo, hi)
        t = np.asarray(taus)[idx]
        if origin is not None:
            t = np.log(t - origin)
            u = np.log(u - origin)
        return idx, lagrange(t, u)

    def points(self, tau, crit=None):
        """Quadrature over the history up to tau: s, weight, and the boundary at u = tau - s as
        base + wlast * B_last (B_last the last node of the last branch)."""
        S_, W_, base_, wl_ = [], [], [], []
        nb = len(self.branches)
        for bi, (taus, Bs, origin) in enumerate(self.branches):
            taus = np.asarray(taus)
            Bs = np.asarray(Bs)
            last = bi == nb - 1
            for i in range(1, len(taus)):
                u0, u1 = taus[i - 1], taus[i]
                if u1 > tau or u1 <= u0:
                    continue
                v0, v1 = np.sqrt(tau - u1), np.sqrt(tau - u0)
                br = [v0, v1]
                if crit is not None:
                    for c in crit:
                        if v0 < c < v1:
                            br.append(c)
                br = np.sort(br)
                for a, bb in zip(br[:-1], br[1:]):
                    v = 0.5 * (a + bb) + 0.5 * (bb - a) * GX
                    w = 0.5 * (bb - a) * GW * 2.0 * v
                    u = tau - v * v
                    idx, Wm = self._interp_weights(taus, i, u, origin)
                    vals = Bs[idx].copy()
                    wl = np.zeros(len(v))
                    if last and idx[-1] == len(taus) - 1:
                        wl = Wm[:, -1].copy()
                        vals[-1] = 0.0
                    S_.append(v * v)
                    W_.append(w)
                    base_.append(Wm @ vals)
                    wl_.append(wl)
        if not S_:
            e = np.zeros(0)
            return e, e, e, e
        return np.concatenate(S_), np.concatenate(W_), np.concatenate(base_), np.concatenate(wl_)

    def kernel(self, S, s, Bu):
        """f and f_S of the premium integrand at spots S (column) for points s, Bu."""
        r, q, sig = self.r, self.q, self.sig
        S = np.asarray(S, float)[:, None]
        sq = sig * np.sqrt(s)
        Bu = np.maximum(Bu, 1e-300)
        dp = (np.log(S / Bu) + (r - q + 0.5 * sig * sig) * s) / sq
        dm = dp - sq
        f = r * np.exp(-r * s) * ndtr(-dm) - q * S * np.exp(-q * s) * ndtr(-dp)
        fs = np.exp(-q * s) * (phi(dp) * (q - r / Bu) / sq - q * ndtr(-dp))
        return f, fs

    def residual(self, tau, B, pts):
        """The node's equation at B: value matching (the exercise deficit) just past an
        opening, smooth pasting (V_S + 1) elsewhere."""
        s, w, base, wl = pts
        f, fs = self.kernel([B], s, base + wl * B)
        g, gz = self.ghat(tau, [B])
        origin = self.branches[-1][2]
        if origin is not None and tau - origin < 1e-3 * self.dt:
            return (1.0 - B) - (g[0] + np.sum(w * f[0]))
        return gz[0] + np.sum(w * fs[0]) + 1.0

    def value(self, tau, S, btau=None):
        """V(tau, S) for spots S above the boundary (an array), all nodes <= tau known."""
        S = np.atleast_1d(np.asarray(S, float))
        g, _ = self.ghat(tau, S)
        if btau is None:
            btau = self.branches[-1][1][-1]
        eps = np.abs(np.log(S / btau)) if btau > 0 else np.ones_like(S)
        vc = max(np.min(eps), 1e-12) / self.sig / 8.0
        crit = []
        while vc < np.sqrt(tau):
            crit.append(vc)
            vc *= 2.0
        s, w, base, wl = self.points(tau, crit)
        f, _ = self.kernel(S, s, base + wl * btau)
        return g + f @ w

    def scan(self, t_new, Bo):
        """The largest spot above Bo where the representation (history so far) says exercise at
        t_new, refined to the value-matching point; None if none."""
        S = Bo * np.exp(np.linspace(1e-4, np.log(1.0 / Bo), 400))[:-1]
        d = (1.0 - S) - self.value(t_new, S, btau=Bo)
        ex = np.nonzero((d > 1e-12) & (S > 1.5 * Bo))[0]
        if len(ex) == 0 or ex[-1] + 1 >= len(S):
            return None
        i = ex[-1]
        lo, hi = S[i], S[i + 1]
        for _ in range(60):
            mid = np.sqrt(lo * hi)
            if (1.0 - mid) - self.value(t_new, [mid], btau=Bo)[0] > 0:
                lo = mid
            else:
                hi = mid
        return lo

    def reseed(self, tau, dt, verbose=False):
        """The boundary past a point where the node solves lose their footing: the first time
        after tau where the representation shows exercise above the last boundary, the old
        branch held flat until then, a new branch from there."""
        Bo = self.branches[-1][1][-1]
        h0 = 1e-10 * dt
        prev = tau
        k = 0
        while True:
            t_try = min(dt, tau + h0 * 2.0**k)
            found = self.scan(t_try, Bo)
            if found is not None:
                break
            if t_try >= dt:
                return None
            prev = t_try
            k += 1
        lo, hi = prev, t_try
        while hi - lo > 1e-12 * dt:
            mid = 0.5 * (lo + hi)
            if self.scan(mid, Bo) is None:
                lo = mid
            else:
                hi = mid
        self.branches[-1][0].append(hi)
        self.branches[-1][1].append(Bo)
        start = hi + 1e-10
        found = self.scan(start, Bo)
        if found is None:
            return None
        self.branches.append([[start], [found], hi])
        if verbose:
            print("reseed", tau, start, Bo, "->", found, flush=True)
        return start

    def solve_node(self, tau, guess, lo=None, hi=None, wide=False):
        taus, Bs, _ = self.branches[-1]
        crit = None
        if len(taus) >= 1:
            t0, b0 = taus[-1], Bs[-1]
            kappa = abs(np.log(guess / b0)) / (tau - t0) if b0 > 0 else 2.0 / tau
            kappa = max(kappa, 1.0 / tau)
            vc = self.sig / kappa
            crit = [vc * 2.0**k for k in range(-6, 60) if vc * 2.0**k < np.sqrt(tau - t0)]
        taus.append(tau)
        Bs.append(0.0)
        pts = self.points(tau, crit)
        R = lambda lb: self.residual(tau, np.exp(lb), pts)
        if wide:
            grid = np.linspace(np.log(guess) - np.log(1.5), -1e-9, 40)
            d = np.array([R(x) for x in grid])
            up = np.nonzero((d[:-1] > 0) & (d[1:] <= 0))[0]
            if len(up) == 0:
                taus.pop()
                Bs.pop()
                return None
            a, bb = grid[up[-1]], grid[up[-1] + 1]
            ra, rb = d[up[-1]], d[up[-1] + 1]
        elif lo is None:
            a = np.log(guess) - 1e-3
            bb = min(np.log(guess) + 1e-3, 0.0)
            ra, rb = R(a), R(bb)
            k = 0
            while ra * rb > 0 and k < 8:
                a -= 1e-3 * 2**k
                bb = min(bb + 1e-3 * 2**k, 0.0)
                ra, rb = R(a), R(bb)
                k += 1
        else:
            a, bb = np.log(lo), np.log(hi)
            ra, rb = R(a), R(bb)
        if ra * rb > 0:
            taus.pop()
            Bs.pop()
            return None
        lb = brentq(R, a, bb, xtol=1e-15, rtol=1e-15, maxiter=200)
        Bs[-1] = np.exp(lb)
        return Bs[-1]

    def predict(self, tau):
        taus, Bs, origin = self.branches[-1]
        n = len(taus)
        if n == 1:
            return None
        k = min(n, P + 1)
        t = np.asarray(taus[-k:])
        b = np.asarray(Bs[-k:])
        if origin is not None:
            t = np.log(t - origin)
            tau = np.log(tau - origin)
        return float(lagrange(t, tau)[0] @ b)

    def drop_last(self):
        self.branches[-1][0].pop()
        self.branches[-1][1].pop()

    def probe(self, tau, B):
        """The largest probe spot above B where the representation says exercise."""
        c = np.log(1.0 / B)
        if not c > 0.03:
            return None
        S = B * np.exp(np.linspace(0.02, c, 13)[:-1])
        v = self.value(tau, S)
        ex = S[v < (1.0 - S) - 1e-12]
        return ex.max() if len(ex) else None

    def restart(self, tau, dt, verbose):
        """reseed, as the march's new time and step."""
        t_new = self.reseed(tau, dt, verbose)
        if t_new is None:
            raise RuntimeError(f"no reseed at {tau:g}")
        return t_new, 1e-10 * dt

    def solve(self, tol=1e-10, first=1e-7, verbose=False):
        dt = self.dt
        tau = self.branches[-1][0][-1]
        h = first * dt
        nodes = 0
        while tau < dt:
            t = min(dt, tau + h)
            if not t > tau:
                raise RuntimeError(f"step underflow at {tau:g}")
            pred = self.predict(t)
            if pred is None:  # first step of a branch
                b0 = self.branches[-1][1][-1]
                pred = 1.0 - np.exp(-self.r * t) if b0 == 0.0 else b0
            pred = min(max(pred, 1e-300), 1.0)
            origin = self.branches[-1][2]
            if origin is not None and t - origin < 1e-3 * dt:
                # Just past the opening: value matching at steps doubling the time since it,
                # each the largest crossing, taken as it comes.
                B = self.solve_node(t, pred)
                if B is None:
                    B = self.solve_node(t, pred, wide=True)
                if B is None:
                    self.branches[-1][0].append(t)
                    self.branches[-1][1].append(pred)
                tau = t
                h = t - origin
                continue
            B = self.solve_node(t, pred)
            if B is None:
                if verbose:
                    print("noroot", t, h, pred, flush=True)
                if h < 1e-10 * dt:
                    tau, h = self.restart(tau, dt, verbose)
                    continue
                h *= 0.5
                if h < 1e-15 * dt:
                    raise RuntimeError(f"no root at {t:g}")
                continue
            ntaus = len(self.branches[-1][0])
            err = abs(B - pred) / B if ntaus > P + 1 else 0.0
            if err > tol and h < 1e-10 * dt:
                self.drop_last()
                tau, h = self.restart(tau, dt, verbose)
                continue
            if err > tol:
                if verbose > 1 or (verbose and h < 1e-9 * dt):
                    print("reject", t, h, B, pred, err, flush=True)
                self.drop_last()
                h *= 0.5
                continue
            ex = self.probe(t, B)
            if ex is not None:
                self.drop_last()
                B2 = self.solve_node(t, ex, lo=ex, hi=min(1.0, 1.5 * ex))
                if B2 is not None and self.probe(t, B2) is None:
                    if verbose:
                        print("higher root", t, B, "->", B2, flush=True)
                    tau = t
                    continue
                if B2 is not None:
                    self.drop_last()
                tau, h = self.restart(tau, dt, verbose)
                continue
            tau = t
            nodes += 1
            grow = 2.0 if err == 0.0 else min(2.0, 0.8 * (tol / err) ** (1.0 / (P + 1)))
            h *= max(grow, 0.3)
        if verbose:
            print("nodes", nodes, "branches", [len(b[0]) for b in self.branches])
        return self.branches[-1][1][-1]


def reach(S0, t_list, D_list, k, mu, sig):
    """Spots just after dividend k (0-based) but for odds of 1e-21."""
    tk = t_list[k]
    lo = S0 * np.exp(mu * tk - 9.5 * sig * np.sqrt(tk))
    hi = S0 * np.exp(mu * tk + 9.5 * sig * np.sqrt(tk))
    for i in range(k + 1):
        g = mu * (tk - t_list[i])
        sp = 9.5 * sig * np.sqrt(tk - t_list[i])
        lo -= D_list[i] * np.exp(g + sp)
        hi -= D_list[i] * np.exp(g - sp)
    return lo, hi


def price(S, K, T, r, q, sig, times, amounts, tol=1e-10, verbose=False):

    S0 = S / K
    t = [x for x, d in zip(times, amounts) if x <= T and d > 0]
    D = [d / K for x, d in zip(times, amounts) if x <= T and d > 0]
    mu = r - q - 0.5 * sig * sig
    m = len(t)
    # F after the last dividend: the plain American put over T - t_m.
    tau = T - t[-1]
    lo, hi = reach(S0, t, D, m - 1, mu, sig)
    top = np.log(max(hi, 1e-300)) + 0.5
    if tau == 0.0:
        nxt = Fn(1.0, [0.0, 1.0], [np.zeros(3)])
    else:
        from tarvik import american_prices

        f = lambda s: np.asarray(american_prices(s, 1.0, tau, r, q, sig, False))
        # boundary of the last stretch at tau: scan
        ss = np.exp(np.linspace(np.log(1e-3), 0, 4000))
        v = f(ss)
        ex = ss[np.abs(v - (1 - ss)) <= 1e-15]
        b = ex.max() if len(ex) else 1e-3
        nxt = fit_fn(f, b, max(top, np.log(b) + 0.1), 0.5 * sig * np.sqrt(tau))
    for k in range(m - 1, -1, -1):
        start = t[k - 1] if k > 0 else 0.0
        st = Stretch(nxt, D[k], t[k] - start, r, q, sig)
        bk = st.solve(tol=tol, verbose=verbose)
        if k == 0:
            if S0 <= bk:
                return K * (1 - S0)
            return K * st.value(st.dt, [S0])[0]
        lo, hi = reach(S0, t, D, k - 1, mu, sig)
        top = np.log(max(hi, 1e-300)) + 0.5
        f = lambda s: st.value(st.dt, s)
        nxt = fit_fn(f, bk, max(top, np.log(bk) + 0.1), 0.5 * sig * np.sqrt(st.dt))
        if verbose:
            print("level", k, "b", bk, "panels", len(nxt.coefs))
    return None


def main():
    if len(sys.argv) != 9:
        sys.exit(__doc__)
    S, K, T, r, q, vol = (float(x) for x in sys.argv[1:7])
    times = [float(x) for x in sys.argv[7].split(";")]
    amounts = [float(x) for x in sys.argv[8].split(";")]
    print(f"{price(S, K, T, r, q, vol, times, amounts, tol=1e-8):.12g}")


if __name__ == "__main__":
    main()
