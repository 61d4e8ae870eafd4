"""The accuracy of each implied-volatility solver against 50-digit mpmath
inversions of the same double prices."""

import math

import numpy as np
from option_sets import FORWARD

# ----------------------------------------------------------------------------
# Reference volatilities: 50-digit mpmath inversions of the double prices

def reference_vols(options, indices):
    from mpmath import mp, mpf

    mp.dps = 50

    def black(f, k, s, call):
        d1 = (mp.log(f / k) + s * s / 2) / s
        d2 = d1 - s
        if call:
            return f * mp.ncdf(d1) - k * mp.ncdf(d2)
        return k * mp.ncdf(-d2) - f * mp.ncdf(-d1)

    out = np.empty(len(indices))
    f = mpf(FORWARD)
    for j, i in enumerate(indices.tolist()):
        p, k = mpf(float(options.price[i])), mpf(float(options.strike[i]))
        sqrt_t = mp.sqrt(mpf(float(options.maturity[i])))
        call = bool(options.is_call[i])

        def excess(s):  # relative, so that tiny prices converge as well as large ones
            return black(f, k, s, call) / p - 1

        # Bracket the root around the volatility the price was made from,
        # widening until the sign changes, then close in on it.
        guess = mpf(float(options.vol[i])) * sqrt_t
        lo, hi = guess * (1 - mpf(2) ** -20), guess * (1 + mpf(2) ** -20)
        while excess(lo) > 0:
            lo /= 2
        while excess(hi) < 0:
            hi *= 2
        out[j] = float(mp.findroot(excess, (lo, hi), solver="anderson") / sqrt_t)
    return out


def errors(vols, reference):
    finite = np.isfinite(vols)
    rel = np.abs(vols[finite] - reference[finite]) / reference[finite]
    return {"max": float(rel.max()) if rel.size else math.nan,
            "median": float(np.median(rel)) if rel.size else math.nan,
            "failures": int((~finite).sum())}


def sample_vols(solver, blocks, positions, size):
    fn = solver.make(blocks)
    out = np.full(size, np.nan)
    for v, pos in zip(solver.vols(fn(), blocks), positions):
        out[pos] = v
    return out
