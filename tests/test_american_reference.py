"""American prices against the converged reference of the whole benchmark
portfolio (tests/data/american_portfolio_reference.csv: index, price; the
options are rebuilt here from the grid, in the order of
reference/american_portfolio.hpp; how the table was made and why it is converged:
docs/accuracy-speed.md). The goal is 1e-10 in |p - p_ref| / max(p_ref, 1e-4 K)
on every option; a fixed sample and the hardest options keep the test fast."""
import itertools
import pathlib

import numpy as np
import tarvik

REFERENCE = pathlib.Path(__file__).parent / "data" / "american_portfolio_reference.csv"
# The worst of the default scheme: long calls at low volatility with r = 0
# and q = 0.12 (in the put's form a rate far above the yield, the boundary
# far below the strike), a half-year call with q just under r, a long put
# with r = 0.1 and no yield.
HARD = [5140, 9543, 11415, 11561, 12941]
GRID = ((25.0, 50.0, 80.0, 90.0, 100.0, 110.0, 120.0, 150.0, 200.0),
        (1 / 12, 0.25, 0.5, 1.0, 2.0, 3.0), (0.0, 0.02, 0.04, 0.06, 0.08, 0.1),
        (0.0, 0.04, 0.08, 0.12), (0.1, 0.2, 0.3, 0.4, 0.5, 0.6), (False, True))


def portfolio():
    s, t, r, q, v, call = (np.array(c) for c in zip(*itertools.product(*GRID)))
    return s, np.full(s.size, 100.0), t, r, q, v, call


def test_prices_meet_the_accuracy_goal_on_the_portfolio():
    table = np.loadtxt(REFERENCE, delimiter=",", skiprows=2)
    index, ref = table[:, 0].astype(int), table[:, 1]
    assert index.tolist() == list(range(15552))
    sample = np.union1d(np.arange(5, index.size, 31), HARD)
    s, k, t, r, q, v, call = (a[sample] for a in portfolio())
    got = tarvik.american_prices(s, k, t, r, q, v, call)
    error = np.abs(got - ref[sample]) / np.maximum(ref[sample], 1e-4 * k)
    at = int(np.argmax(error))
    assert error[at] <= 1e-10, (
        f"worst {error[at]:.3g} over {sample.size} options (rms {np.sqrt(np.mean(error**2)):.3g})"
        f" at index {sample[at]}: S={s[at]} T={t[at]:.4g} r={r[at]} q={q[at]} vol={v[at]}"
        f" {'call' if call[at] else 'put'}")
