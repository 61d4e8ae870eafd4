"""Makes the pictures of docs/surface.md from the built-in index chain
(tarvik.demo.index_chain: bid and ask of calls and puts over eight expiries,
forwards and discount factors from put-call parity):

  surface-smiles.png   each expiry's mid volatilities, bid-to-ask bars and
                       fitted smile (tarvik.plot.smiles)
  surface-density.png  the risk-neutral densities of the fitted expiries
                       (tarvik.plot.density)
  surface-heatmap.png  the implied volatilities over log-moneyness and
                       maturity (tarvik.plot.heatmap)

The chain is seeded and the fit deterministic, so the pictures change only
with the code.

Usage (needs matplotlib, pandas and narwhals; a few seconds):
  PYTHONPATH=build/pkg python3 docs/make_surface_figures.py [output directory]
"""

import os
import sys

import pandas as pd
import tarvik.demo
import tarvik.frame
import tarvik.plot


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    chain = pd.DataFrame(tarvik.demo.index_chain())
    quotes = dict(bid="bid", ask="ask", forward="parity", expiry="expiry",
                  valuation=tarvik.demo.INDEX_VALUATION)
    surface = tarvik.frame.fit_surface(chain, **quotes)
    vols = tarvik.frame.smile_quotes(chain, **quotes)
    figures = {
        "surface-smiles.png": tarvik.plot.smiles(surface, vols),
        "surface-density.png": tarvik.plot.density(surface),
        "surface-heatmap.png": tarvik.plot.heatmap(surface),
    }
    for name, figure in figures.items():
        path = os.path.join(out, name)
        figure.savefig(path, dpi=90)
        print(path)
    rmse = surface.parameters["rmse"]
    print(f"{len(surface.maturities)} expiries fitted, {len(surface.failures)} not;"
          f" weighted rmse in total variance {rmse.min():.2g} to {rmse.max():.2g}")


if __name__ == "__main__":
    main()
