"""The Python peers' SVI fits, for surface_compare.py, in a venv of their own.

svi-py needs Python 3.13, so surface_compare.py runs this file with the
venv's interpreter: it reads one chain from a .npz (strike, forward,
maturity, vol, bid_vol, ask_vol per quote, the spot) and writes, per peer
and setting, the fitted volatility of every quote, the raw SVI parameters
of every expiry, and processor times to a JSON file:

  one   the fit of one expiry (--expiry: its index among the expiries), best of --repeat
  whole the fit of every expiry through the package's surface entry point
        (its per-expiry fit in a loop where it has none for the setting), once

The settings, all raw SVI with the package's own defaults unless named:
  svi-py             pysvi.VolSurface.fit(df, model="svi")
  svi-py implied_vol the same with objective="implied_vol" (residuals in volatility)
  svi-py bid_ask     calibrate_slice with objective="bid_ask", w_bid and w_ask
  volsurface         volsurface.calibration.calibrate_surface(slices, RawSVI,
                     check_arbitrage=False)

Only the packages' public API is used, as their documentation gives it.

  python bench/surface_peers.py CHAIN.npz OUT.json [--expiry 15] [--repeat 3] [--only NAME,...]
"""
import argparse
import json
import math
import time
import traceback
import warnings

import numpy as np

SVI_NAMES = ("a", "b", "rho", "m", "sigma")


def processor_time(f):
    t0 = time.process_time()
    out = f()
    return time.process_time() - t0, out


def best_of(f, repeat):
    return min(processor_time(f)[0] for _ in range(repeat))


def floats(values):
    return [None if not math.isfinite(float(x)) else float(x) for x in values]


class Chain:
    def __init__(self, path):
        data = np.load(path)
        self.K, self.F, self.T = data["strike"], data["forward"], data["maturity"]
        self.vol, self.bid, self.ask = data["vol"], data["bid_vol"], data["ask_vol"]
        self.spot = float(data["spot"])
        self.expiries = np.unique(self.T)
        self.k = np.log(self.K / self.F)

    def at(self, i):
        return self.T == self.expiries[i]


def result(vols, params, one, whole, notes=()):
    return {
        "vols": floats(vols),
        "parameters": [None if p is None else [float(p[n]) for n in SVI_NAMES] for p in params],
        "one": one,
        "whole": whole,
        "notes": list(notes),
    }


def pysvi_frame(chain, mask=None):
    import pandas as pd

    mask = np.ones(chain.K.size, bool) if mask is None else mask
    return pd.DataFrame({
        "strike": chain.K[mask], "iv": chain.vol[mask],
        "maturity": chain.T[mask], "implied_forward": chain.F[mask],
    })


def pysvi_surface(chain, expiry, repeat, **kwargs):
    """VolSurface.fit over the chain; one expiry through calibrate_slice."""
    import pysvi

    df = pysvi_frame(chain)
    one_df = pysvi_frame(chain, chain.at(expiry))
    model = pysvi.get_model("svi")
    one = best_of(lambda: pysvi.calibrate_slice(one_df, model, **kwargs), repeat)
    whole, surface = processor_time(lambda: pysvi.VolSurface.fit(df, model="svi", **kwargs))
    vols = np.full(chain.K.size, np.nan)
    params, notes = [], []
    for t in chain.expiries:
        here = chain.T == t
        try:
            p = surface.params(float(t))
        except Exception as e:  # the expiry was not fitted
            notes.append(f"T={t:.4f}: {type(e).__name__}: {e}")
            params.append(None)
            continue
        params.append(p)
        w = model.total_variance(chain.k[here], p)
        vols[here] = np.sqrt(np.maximum(w, 0.0) / t)
    return result(vols, params, one, whole, notes)


def pysvi_bid_ask(chain, expiry, repeat):
    """calibrate_slice per expiry with the bid and ask total variances."""
    import pysvi

    model = pysvi.get_model("svi")

    def fit_one(i):
        here = chain.at(i)
        t = chain.expiries[i]
        return pysvi.calibrate_slice(
            pysvi_frame(chain, here), model, objective="bid_ask",
            w_bid=chain.bid[here] ** 2 * t, w_ask=chain.ask[here] ** 2 * t,
        )

    one = best_of(lambda: fit_one(expiry), repeat)
    whole, params = processor_time(lambda: [fit_one(i) for i in range(chain.expiries.size)])
    vols = np.full(chain.K.size, np.nan)
    notes = []
    for t, p in zip(chain.expiries, params):
        here = chain.T == t
        if p is None:
            notes.append(f"T={t:.4f}: calibrate_slice returned None")
            continue
        vols[here] = np.sqrt(np.maximum(model.total_variance(chain.k[here], p), 0.0) / t)
    return result(vols, params, one, whole, notes)


def volsurface_raw_svi(chain, expiry, repeat):
    from volsurface.calibration import calibrate_surface
    from volsurface.core import MarketSlice
    from volsurface.models import RawSVI

    def market(i):
        here = chain.at(i)
        order = np.argsort(chain.K[here])
        return MarketSlice(
            strikes=chain.K[here][order], ivs=chain.vol[here][order],
            expiry_years=float(chain.expiries[i]), forward=float(chain.F[here][0]),
            spot=chain.spot,
        )

    slices = [market(i) for i in range(chain.expiries.size)]
    one = best_of(lambda: RawSVI().fit(slices[expiry]), repeat)
    whole, fitted = processor_time(lambda: calibrate_surface(slices, RawSVI, check_arbitrage=False))
    vols = np.full(chain.K.size, np.nan)
    params, notes = [], []
    for t, s in zip(chain.expiries, slices):
        here = chain.T == t
        model = fitted.surface.slices.get(s.expiry_years)
        fr = fitted.fit_results.get(s.expiry_years)
        if model is None or fr is None:
            notes.append(f"T={t:.4f}: not fitted")
            params.append(None)
            continue
        if not fr.success:
            notes.append(f"T={t:.4f}: {fr.message}")
        params.append(fr.params)
        vols[here] = model.iv(chain.k[here])
    return result(vols, params, one, whole, notes)


SETTINGS = {
    "svi-py": lambda c, e, r: pysvi_surface(c, e, r),
    "svi-py implied_vol": lambda c, e, r: pysvi_surface(c, e, r, objective="implied_vol"),
    "svi-py bid_ask": pysvi_bid_ask,
    "volsurface": volsurface_raw_svi,
}
PACKAGES = {"svi-py": "svi-py", "volsurface": "volsurface"}


def version(name):
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("chain")
    parser.add_argument("out")
    parser.add_argument("--expiry", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", default=",".join(SETTINGS))
    args = parser.parse_args()
    chain = Chain(args.chain)
    out = {"versions": {p: version(p) for p in PACKAGES.values()}, "settings": {}}
    # The packages log and warn per slice; the figures are what is kept.
    warnings.simplefilter("ignore")
    try:
        from loguru import logger

        logger.remove()
    except ImportError:
        pass
    for name in args.only.split(","):
        try:
            out["settings"][name] = SETTINGS[name](chain, args.expiry, args.repeat)
        except Exception as e:
            out["settings"][name] = {
                "error": f"{type(e).__name__}: {e}",
                "traceback": traceback.format_exc(limit=3),
            }
    with open(args.out, "w") as f:
        json.dump(out, f)


if __name__ == "__main__":
    main()
