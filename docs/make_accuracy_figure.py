"""Makes docs/iv-accuracy.png: how far tarvik.normalised_implied_volatility
lands from the exact inverse of the price it is given, over a grid of
log-moneyness x = ln(F/K) in [-5, 5] and total volatility s = sigma sqrt(T) in
[0.01, 5] (log-spaced), on the out-of-the-money side: a call for x <= 0, a put
for x > 0.

At each point:
  beta   the normalised Black price b(x, s) = P / sqrt(F K), computed with
         mpmath at 50 digits and rounded to a double: the solver's input;
  exact  the total volatility whose price is exactly that double, at 50
         digits (Newton's method from the solver's answer, within a bracket);
  error  |s - exact| / exact in units of eps = 2^-52, s the solver's answer.
A point whose price rounds to 0 or below the least normal double is left
grey: tarvik gives no volatility there (0 and NaN), since the price has no
digits, or too few, to recover one from. The colours end at 6 eps; a point
above that would be red.

Usage (needs docs/requirements.txt; under a minute on one core at 81 x 61):
  PYTHONPATH=build/pkg python3 docs/make_accuracy_figure.py [output.png] [nx ns]
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import mpmath as mp  # noqa: E402
import numpy as np  # noqa: E402
import tarvik  # noqa: E402

mp.mp.dps = 50
EPS = 2.0 ** -52


def price(x, s, is_call):
    """Normalised Black price at 50 digits; x, s are mpf."""
    d1, d2 = x / s + s / 2, x / s - s / 2
    if is_call:
        return mp.exp(x / 2) * mp.ncdf(d1) - mp.exp(-x / 2) * mp.ncdf(d2)
    return mp.exp(-x / 2) * mp.ncdf(-d2) - mp.exp(x / 2) * mp.ncdf(-d1)


def exact_inverse(beta, x, is_call, start):
    """The s > 0 with price(x, s) = beta: Newton steps on the logarithm of the
    price (whose derivative is the vega exp(x/2) phi(d1) over the price, on
    either side), halving the bracket instead where a step would leave it."""
    beta, x = mp.mpf(beta), mp.mpf(x)
    lo, hi = mp.mpf(start) / 2, mp.mpf(start) * 2
    while price(x, lo, is_call) > beta:
        lo /= 2
    while price(x, hi, is_call) < beta:
        hi *= 2
    s = mp.mpf(start)
    for _ in range(200):
        b = price(x, s, is_call)
        lo, hi = (lo, s) if b > beta else (s, hi)
        step = mp.log(b / beta) * b / (mp.exp(x / 2) * mp.npdf(x / s + s / 2))
        following = s - step if lo < s - step < hi else (lo + hi) / 2
        if abs(following - s) <= s * mp.mpf(10) ** -40:
            return following
        s = following
    raise RuntimeError(f"no convergence at x={x}, beta={beta}")


def errors(xs, ss):
    """The error in eps at each (s, x) of the grid (NaN where the price is 0
    or subnormal), and the prices."""
    error, beta = np.full((len(ss), len(xs)), np.nan), np.zeros((len(ss), len(xs)))
    for j, x in enumerate(xs):
        is_call = x <= 0
        for i, s in enumerate(ss):
            beta[i, j] = float(price(mp.mpf(x), mp.mpf(s), is_call))
            if beta[i, j] < sys.float_info.min:
                continue
            got = tarvik.normalised_implied_volatility(beta[i, j], x, is_call)
            exact = exact_inverse(beta[i, j], x, is_call, got)
            error[i, j] = float(abs(got - exact) / exact) / EPS
    return error, beta


def edges(centres, log=False):
    """Cell edges halfway between the grid points (geometrically if log)."""
    c = np.log(centres) if log else np.asarray(centres)
    inner = (c[1:] + c[:-1]) / 2
    e = np.concatenate([[2 * c[0] - inner[0]], inner, [2 * c[-1] - inner[-1]]])
    return np.exp(e) if log else e


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__),
                                                            "iv-accuracy.png")
    nx, ns = (int(a) for a in sys.argv[2:4]) if len(sys.argv) > 3 else (81, 61)
    xs = np.linspace(-5.0, 5.0, nx).tolist()
    ss = np.geomspace(0.01, 5.0, ns).tolist()
    err, beta = errors(xs, ss)
    # Near the maximum price (large s) the price tells s apart less well, and
    # the error grows with the condition number: a few eps at s = 5.
    top = 6.0
    over = err > top

    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=110)
    ax.set_facecolor("0.85")
    cmap = matplotlib.colormaps["viridis"].with_extremes(over="red")
    mesh = ax.pcolormesh(edges(xs), edges(ss, log=True), np.ma.masked_invalid(err),
                         cmap=cmap, vmin=0.0, vmax=top, shading="flat")
    ax.set_yscale("log")
    ax.set_xlabel("log-moneyness x = ln(F/K)   (calls for x \u2264 0, puts for x > 0)")
    ax.set_ylabel("total volatility s = \u03c3\u221aT")
    ax.set_title("tarvik.normalised_implied_volatility: relative error against the exact\n"
                 "inverse (mpmath, 50 digits) of each double price", fontsize=10)
    note = "grey: the price rounds to 0 or is subnormal"
    if over.any():
        note += f"\nred: above {top:g} \u03b5 ({over.sum()} points)"
    ax.text(xs[0], ss[0], note, ha="left", va="bottom", fontsize=8)
    fig.colorbar(mesh, ax=ax, extend="max" if over.any() else "neither",
                 label="|s \u2212 s_exact| / s_exact  in units of \u03b5 = 2\u207b\u2075\u00b2")
    fig.tight_layout()
    fig.savefig(out)
    normal = np.isfinite(err)
    print(f"{out}: {normal.sum()} points with a normal price, {np.sum(~normal)} without;"
          f" error in eps: median {np.median(err[normal]):.3f}, max {err[normal].max():.3f}")


if __name__ == "__main__":
    main()
