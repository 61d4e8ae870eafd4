"""Makes docs/iv-accuracy-normal.png: how far tarvik.bachelier_implied_volatility
lands from the exact inverse of the price it is given, against
u = |F - K|/(sigma sqrt T) from 1e-10 to 37.5 (where the out-of-the-money
price nears the least normal double), out of and in the money.

At each point an option with a forward and strike of either sign
(reference/bachelier_accuracy.py draws them) is priced at 50 digits and rounded
to a double; tarvik inverts that double, and the error is |sigma - exact| /
exact, exact the volatility whose price is exactly that double, in units of
eps max(1, kappa) (kappa = P/(sigma dP/dsigma)): the target is 8, the dashed
line (an error of 0 is drawn at 0.01). In the money the time value sinks below the intrinsic value's last
digit as u grows (kappa grows with it), and from there on a price carries no
volatility; those points are left out.

Usage (needs docs/requirements.txt; a minute or two on one core):
  PYTHONPATH=build/pkg python3 docs/make_accuracy_figure_normal.py [output.png] [points]
"""

import math
import os
import random
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from bachelier_accuracy import iv_error, option  # noqa: E402


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__),
                                                             "iv-accuracy-normal.png")
    points = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    rng = random.Random(20)
    fig, ax = plt.subplots(figsize=(8, 4.5))
    for side, colour in (("out", "tab:blue"), ("in", "tab:orange")):
        us, errs = [], []
        for i in range(points):
            u = math.exp(math.log(1e-10) + (math.log(37.5) - math.log(1e-10)) * i / (points - 1))
            r = iv_error(option(rng, u, side == "in"))
            if r is not None:
                us.append(u)
                errs.append(max(r[0], 1e-2))
        ax.scatter(us, errs, s=6, color=colour, label=f"{side} of the money (worst {max(errs):.2f})")
    ax.axhline(8, color="grey", linestyle="--", label="8 eps max(1, kappa)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylim(5e-3, 20)
    ax.set_xlabel("u = |F - K| / (sigma sqrt T)")
    ax.set_ylabel("error / (eps max(1, kappa))")
    ax.set_title("tarvik.bachelier_implied_volatility against 50-digit mpmath")
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print("wrote", out)


if __name__ == "__main__":
    main()
