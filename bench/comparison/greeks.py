"""Prices, deltas and vegas: tarvik's batch functions beside the NumPy/SciPy
expressions a user would write."""

import numpy as np
import tarvik
from option_sets import FORWARD
from scipy.special import ndtr

# ----------------------------------------------------------------------------
# Prices and Greeks beside the NumPy/SciPy expressions

def _d1(strike, maturity, vol):
    s = vol * np.sqrt(maturity)
    return (np.log(FORWARD / strike) + 0.5 * s * s) / s, s


def numpy_black(strike, maturity, vol, call):
    d1, s = _d1(strike, maturity, vol)
    d2 = d1 - s
    if call:
        return FORWARD * ndtr(d1) - strike * ndtr(d2)
    return strike * ndtr(-d2) - FORWARD * ndtr(-d1)


def numpy_delta(strike, maturity, vol, call):
    d1, _ = _d1(strike, maturity, vol)
    return ndtr(d1) if call else -ndtr(-d1)


def numpy_vega(strike, maturity, vol):
    d1, _ = _d1(strike, maturity, vol)
    return FORWARD * np.sqrt(maturity) * np.exp(-0.5 * d1 * d1) * 0.3989422804014327


def greek_contenders(blocks, whole):
    """Key -> (label, function) for black_prices, deltas and vegas."""
    bp, de, ve = tarvik.black_prices, tarvik.deltas, tarvik.vegas
    k, t, v = whole.strike, whole.maturity, whole.vol

    def per_block(fn):
        return lambda: [fn(b) for b in blocks]

    def by_flag(key, name, fn, numpy_label, numpy_fn):
        """Serial, parallel and NumPy over the blocks of calls and puts."""
        return {
            f"{key}_serial": (f"`{name}`, serial",
                              per_block(lambda b: fn(FORWARD, b.strike, b.maturity, b.vol, b.flag))),
            f"{key}_parallel": (f"`{name}`, parallel",
                                per_block(lambda b: fn(FORWARD, b.strike, b.maturity, b.vol, b.flag,
                                                       parallel=True))),
            f"{key}_numpy": (numpy_label,
                             per_block(lambda b: numpy_fn(b.strike, b.maturity, b.vol, b.flag))),
        }
    return {
        **by_flag("black", "black_prices", bp,
                  "NumPy/SciPy Black-76 expression (`scipy.special.ndtr`)", numpy_black),
        **by_flag("delta", "deltas", de, "NumPy/SciPy delta expression (`ndtr(d1)`)", numpy_delta),
        "vega_serial": ("`vegas`, serial", lambda: [ve(FORWARD, k, t, v)]),
        "vega_parallel": ("`vegas`, parallel", lambda: [ve(FORWARD, k, t, v, parallel=True)]),
        "vega_numpy": ("NumPy vega expression (`F sqrt(T) exp(-d1^2/2)/sqrt(2 pi)`)",
                       lambda: [numpy_vega(k, t, v)]),
    }
