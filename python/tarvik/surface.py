"""Implied-volatility smiles and surfaces from quotes.

``fit`` turns Black-76 implied volatilities of several expiries into a
:class:`Surface`, one smile per expiry in total implied variance w = vol^2 T
over log-moneyness k = ln(K/F), fitted by weighted least squares:

- ``smile="essvi"`` (the default): eSSVI (Hendriks and Martini 2019),
  w(k) = (theta + rho psi k + sqrt((psi k + theta rho)^2 + theta^2 (1 - rho^2))) / 2
  per expiry, fitted expiry after expiry (Corbetta, Cohort, Laachir and
  Martini 2019), each smile free of butterfly arbitrage and on or above the
  one before at every k: the surface has no static arbitrage by
  construction;
- ``smile="svi"``: raw SVI (Gatheral 2004),
  w(k) = a + b (rho (k - m) + sqrt((k - m)^2 + sigma^2)), per expiry on its
  own, free of butterfly arbitrage (Durrleman's g(k) >= 0 at every k,
  Gatheral and Jacquier 2014); two smiles may cross, which ``check``
  reports.

Between expiries the total variance is linear in T at fixed k;
``Surface.check`` reports the smallest g of each smile and the largest
calendar violation.

The numerics (the fit, g, the density, the evaluation over arrays) are the
core's; this module groups the quotes, weighs them and keeps the result.
"""

from __future__ import annotations

import math
import typing

import numpy as np

from . import _core

__all__ = ["Surface", "fit"]

_LEAST_QUOTES = 5
_QUANTITY = {"total_variance": 0, "butterfly": 1, "density": 2, "implied_volatility": 3,
             "forward": 4}
_SMILES = {"svi": ("a", "b", "rho", "m", "sigma"), "essvi": ("theta", "rho", "psi")}


def _floats(name: str, values: typing.Any, n: int | None = None) -> np.ndarray:
    array = np.asarray(values, dtype=float)
    if array.ndim == 0:
        array = np.full(1 if n is None else n, float(array))
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, not of shape {array.shape}")
    if n is not None and array.size != n:
        raise ValueError(f"{name} must have {n} elements (one per quote), not {array.size}")
    return np.ascontiguousarray(array)


def fit(
    strikes: typing.Any,
    forwards: typing.Any,
    maturities: typing.Any,
    vols: typing.Any,
    *,
    bid_vols: typing.Any = None,
    ask_vols: typing.Any = None,
    weights: typing.Any = None,
    smile: str = "essvi",
) -> Surface:
    """Fit a surface to Black-76 implied volatilities, one smile per expiry.

    Parameters
    ----------
    strikes, forwards, maturities, vols
        One element per quote (floats broadcast): the strike, the expiry's
        forward, the maturity in years (quotes with the same maturity form
        one expiry) and the Black-76 implied volatility.
    bid_vols, ask_vols
        The implied volatilities of the bid and the ask, both or neither.
        A quote whose bid or ask is missing (NaN) or crossed (bid > ask)
        stays out of the fit.
    weights
        Each quote's weight on its volatility error. The default is the
        inverse of the bid/ask spread in volatility when both are given,
        else the Black-76 vega of the quote. The fit minimises
        sum (weight * (vol_fit - vol))^2, to first order: in total variance
        it weighs each residual by (weight / (2 vol T))^2.
    smile
        ``"essvi"`` (a surface free of static arbitrage) or ``"svi"`` (raw
        SVI per expiry, free of butterfly arbitrage).

    Returns
    -------
    Surface
        The fitted expiries, and in ``Surface.failures`` each expiry that
        was not fitted with the reason (fewer than five usable quotes, or
        forwards that differ within the expiry).
    """
    if smile not in _SMILES:
        raise ValueError(f"smile must be 'essvi' or 'svi', not {smile!r}")
    if (bid_vols is None) != (ask_vols is None):
        raise ValueError("bid_vols and ask_vols go together: pass both or neither")
    vols = _floats("vols", vols)
    n = vols.size
    strikes = _floats("strikes", strikes, n)
    forwards = _floats("forwards", forwards, n)
    maturities = _floats("maturities", maturities, n)
    usable = (
        np.isfinite(vols) & (vols > 0) & np.isfinite(strikes) & (strikes > 0)
        & np.isfinite(forwards) & (forwards > 0) & np.isfinite(maturities) & (maturities > 0)
    )
    if bid_vols is not None:
        bid, ask = _floats("bid_vols", bid_vols, n), _floats("ask_vols", ask_vols, n)
        usable &= np.isfinite(bid) & np.isfinite(ask) & (bid <= ask)
    if weights is not None:
        u = _floats("weights", weights, n)
        usable &= np.isfinite(u) & (u > 0)
    elif bid_vols is not None:
        with np.errstate(divide="ignore", invalid="ignore"):
            u = 1.0 / (ask - bid)
        # A zero spread would outweigh every other quote: it counts as the
        # narrowest positive spread of the chain.
        finite = usable & np.isfinite(u)
        top = u[finite].max() if finite.any() else 1.0
        u = np.where(usable & ~np.isfinite(u), top, u)
    else:
        u = _core.vegas(forwards, strikes, maturities, vols)
        usable &= np.isfinite(u) & (u > 0)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        k = np.log(strikes / forwards)
        w = vols * vols * maturities
        omega = (u / (2.0 * vols * maturities)) ** 2
    usable &= np.isfinite(k) & np.isfinite(w) & np.isfinite(omega) & (omega > 0)

    expiries: list[tuple[float, float, np.ndarray]] = []
    failures: dict[float, str] = {}
    for t in np.unique(maturities[np.isfinite(maturities) & (maturities > 0)]):
        use = (maturities == t) & usable
        count = int(use.sum())
        if count < _LEAST_QUOTES:
            failures[float(t)] = f"{count} usable quotes, fewer than {_LEAST_QUOTES}"
            continue
        f = forwards[use]
        if not np.all(f == f[0]):
            failures[float(t)] = "the forwards of the expiry differ"
            continue
        expiries.append((float(t), float(f[0]), use))
    fits: list[tuple[tuple[float, ...], float, str | None]]
    if smile == "svi":
        raw = [_core._svi_fit(k[use], w[use], omega[use]) for _, _, use in expiries]
        fits = [(row[:5], row[5], row[7]) for row in raw]
    else:
        counts = np.array([float(use.sum()) for _, _, use in expiries])
        chosen = [np.flatnonzero(use) for _, _, use in expiries]
        order = np.concatenate(chosen) if chosen else np.zeros(0, dtype=int)
        rows = _core._essvi_fit(counts, k[order], w[order], omega[order])
        fits = [(row[:3], row[3], row[5]) for row in rows]
    slices = []
    for (t, f0, use), (parameters, rmse, reason) in zip(expiries, fits):
        if reason is not None:
            failures[t] = reason
        else:
            slices.append((t, f0, parameters, rmse, int(use.sum())))
    return Surface(
        [s[0] for s in slices],
        [s[1] for s in slices],
        [s[2] for s in slices],
        smile=smile,
        rmse=[s[3] for s in slices],
        quotes=[s[4] for s in slices],
        failures=dict(sorted(failures.items())),
    )


def _terms(raw: typing.Any, k: np.ndarray) -> np.ndarray:
    """The size of raw SVI's terms at k, |a| + b (|rho x| + sqrt(x^2 + sigma^2))
    with x = k - m: the scale of the rounding of its total variance."""
    a, b, rho, m, sigma = raw
    x = k - m
    terms: np.ndarray = np.abs(a) + b * (np.abs(rho * x) + np.sqrt(x * x + sigma * sigma))
    return terms


class Surface:
    """Smiles at increasing maturities, joined linearly in total variance at
    fixed log-moneyness.

    At t before the first expiry T1 the total variance is w1(k) t/T1. After
    the last, Tn, the at-the-money total variance theta grows at the rate
    of the last segment (theta_n/Tn for one expiry): an eSSVI smile keeps
    psi and rho (w = l wn(k/l), l = theta(t)/theta_n, free of arbitrage), a
    raw SVI smile is shifted by the growth. The forward at t is linear in t
    on ln F between expiries, at the nearest segment's rate beyond them
    (one expiry: its forward).

    ``parameters`` are (theta, rho, psi) per expiry for ``smile="essvi"``,
    (a, b, rho, m, sigma) for ``smile="svi"``.
    """

    def __init__(
        self,
        maturities: typing.Any,
        forwards: typing.Any,
        parameters: typing.Any,
        *,
        smile: str = "essvi",
        rmse: typing.Any = None,
        quotes: typing.Any = None,
        failures: dict[float, str] | None = None,
    ) -> None:
        if smile not in _SMILES:
            raise ValueError(f"smile must be 'essvi' or 'svi', not {smile!r}")
        self.smile = smile
        width = len(_SMILES[smile])
        self._maturities = np.array(maturities, dtype=float).reshape(-1)
        self._forwards = np.array(forwards, dtype=float).reshape(-1)
        flat_parameters = np.array(parameters, dtype=float).reshape(-1)
        n = self._maturities.size
        if self._forwards.size != n or flat_parameters.size != width * n:
            raise ValueError(f"one forward and {width} parameters per maturity")
        self._parameters = flat_parameters.reshape(-1, width)
        if n and not (np.all(self._maturities > 0) and np.all(np.diff(self._maturities) > 0)):
            raise ValueError("maturities must be positive and increasing")
        if n and not np.all(self._forwards > 0):
            raise ValueError("forwards must be positive")
        self._rmse = np.full(n, np.nan) if rmse is None else np.array(rmse, dtype=float)
        self._quotes = np.zeros(n, dtype=int) if quotes is None else np.array(quotes, dtype=int)
        self.failures: dict[float, str] = dict(failures or {})
        flat = np.ascontiguousarray(self._parameters.reshape(-1))
        # Evaluated as raw SVI slices, the core's conversion for eSSVI.
        self._raw = (flat if smile == "svi" else _core._essvi_as_svi(flat)).reshape(-1, 5)
        self._flat = np.ascontiguousarray(self._raw.reshape(-1))

    @property
    def maturities(self) -> np.ndarray:
        """The fitted expiries' maturities, increasing."""
        return self._maturities.copy()

    @property
    def parameters(self) -> dict[str, np.ndarray]:
        """A table of the fitted expiries: maturity, forward, the smile's
        parameters (theta, rho, psi; or a, b, rho, m, sigma), rmse (in total
        variance, weighted) and quotes (used)."""
        table = {"maturity": self._maturities.copy(), "forward": self._forwards.copy()}
        for i, name in enumerate(_SMILES[self.smile]):
            table[name] = self._parameters[:, i].copy()
        table["rmse"] = self._rmse.copy()
        table["quotes"] = self._quotes.copy()
        return table

    def forward(self, maturities: typing.Any, *, parallel: bool = False) -> np.ndarray:
        """The forward at each maturity (see the class)."""
        return self._values(0.0, maturities, "forward", parallel)

    def _values(self, x: typing.Any, t: typing.Any, quantity: str, parallel: bool) -> np.ndarray:
        x = np.asarray(x, dtype=float)
        t = np.asarray(t, dtype=float)
        shape = np.broadcast_shapes(x.shape, t.shape)
        xb = x.reshape(-1) if x.shape == shape else np.broadcast_to(x, shape).reshape(-1)
        tb = t.reshape(-1) if t.shape == shape else np.broadcast_to(t, shape).reshape(-1)
        out = _core._surface_values(
            int(self.smile == "essvi"), self._maturities, self._forwards, self._flat,
            np.ascontiguousarray(xb), np.ascontiguousarray(tb), _QUANTITY[quantity], parallel,
        )
        return out.reshape(shape)

    def total_variance(self, k: typing.Any, maturities: typing.Any, *, parallel: bool = False) -> np.ndarray:
        """Total implied variance vol^2 t at log-moneyness k = ln(K/F) and
        maturity t (arrays broadcast against each other)."""
        return self._values(k, maturities, "total_variance", parallel)

    def implied_volatilities(
        self, strikes: typing.Any, maturities: typing.Any, forwards: typing.Any = None, *,
        parallel: bool = False,
    ) -> np.ndarray:
        """Black-76 implied volatilities at each (strike, maturity), on the
        surface's forwards unless ``forwards=`` gives them."""
        if forwards is None:
            return self._values(strikes, maturities, "implied_volatility", parallel)
        t = np.asarray(maturities, dtype=float)
        with np.errstate(divide="ignore", invalid="ignore"):
            k = np.log(np.asarray(strikes, dtype=float) / np.asarray(forwards, dtype=float))
            vols: np.ndarray = np.sqrt(self._values(k, t, "total_variance", parallel) / t)
            return vols

    def butterfly(self, k: typing.Any, maturities: typing.Any, *, parallel: bool = False) -> np.ndarray:
        """Durrleman's g(k) at each point: the density is nonnegative where
        g >= 0."""
        return self._values(k, maturities, "butterfly", parallel)

    def density(self, strikes: typing.Any, maturity: float, forward: float | None = None) -> np.ndarray:
        """The risk-neutral density of the underlying at expiry, per unit of
        strike, at each strike: g(k) / (K sqrt(2 pi w)) exp(-d2^2/2), the
        second strike derivative of the undiscounted call price
        (Breeden and Litzenberger 1978)."""
        K = np.asarray(strikes, dtype=float)
        f = float(self.forward(maturity)) if forward is None else float(forward)
        with np.errstate(divide="ignore", invalid="ignore"):
            k = np.log(K / f)
            density: np.ndarray = self._values(k, maturity, "density", False) / K
            return density

    def check(self, k: typing.Any = None) -> dict[str, typing.Any]:
        """The arbitrage report.

        ``slices``: for each smile, exactly, its smallest g over every k and
        where, and whether it is free of butterfly arbitrage. ``calendar``:
        between adjacent expiries, over the grid ``k`` (default 1,201 points
        from -3 to 3) and in the wings' slopes b (1 +- rho), the largest
        fall of total variance from one expiry to the next (falls within
        1e-12 of the larger smile's terms, |a| + b (|rho (k - m)| +
        sqrt((k - m)^2 + sigma^2)), the scale of its rounding, count as
        none). ``interpolated``:
        the smallest g over the grid at nine maturities between each pair
        of adjacent expiries. ``free`` is True when all three hold.
        """
        grid = np.linspace(-3.0, 3.0, 1201) if k is None else np.asarray(k, dtype=float)
        slices = []
        for t, (a, b, rho, m, sigma) in zip(self._maturities, self._raw):
            at, g, free = _core._svi_smallest_butterfly(a, b, rho, m, sigma)
            slices.append({"maturity": float(t), "smallest_g": g, "at_k": at, "free": free})
        worst, where, between = 0.0, math.nan, None
        lowest, lowest_at = math.inf, None
        for i in range(self._maturities.size - 1):
            t0, t1 = float(self._maturities[i]), float(self._maturities[i + 1])
            w0, w1 = self.total_variance(grid, t0), self.total_variance(grid, t1)
            p, q = self._raw[i], self._raw[i + 1]
            # Falls within rounding are none: a smile fitted onto the one
            # before it touches it, and w's rounding scales with its terms,
            # which dwarf w where a wing of slope b (1 +- rho) near 0 nears 0.
            fall = np.where(w0 - w1 > 1e-12 * np.maximum(_terms(p, grid), _terms(q, grid)),
                            w0 - w1, 0.0)
            j = int(np.argmax(fall))
            for side in (-1.0, 1.0):
                before, after = p[1] * (1 + side * p[2]), q[1] * (1 + side * q[2])
                if before - after > 1e-12 * max(p[1], q[1]) and worst < math.inf:
                    worst, where, between = math.inf, side * math.inf, (t0, t1)
            if fall[j] > worst:
                worst, where, between = float(fall[j]), float(grid[j]), (t0, t1)
            ts = t0 + (t1 - t0) * np.linspace(0.1, 0.9, 9)
            gs = self.butterfly(grid[:, None], ts[None, :])
            row, col = np.unravel_index(int(np.argmin(gs)), gs.shape)
            if gs[row, col] < lowest:
                lowest, lowest_at = float(gs[row, col]), (float(grid[row]), float(ts[col]))
        calendar = {"largest_violation": worst, "at_k": where, "between": between}
        interpolated = {"smallest_g": lowest, "at": lowest_at}
        free = all(s["free"] for s in slices) and worst <= 0.0 and not lowest < 0.0
        return {"slices": slices, "calendar": calendar, "interpolated": interpolated,
                "free": free}

    def to_dict(self) -> dict[str, typing.Any]:
        """The surface as plain JSON types; ``from_dict`` gives it back with
        the same bits."""
        return {
            "smile": self.smile,
            "maturities": [float(x) for x in self._maturities],
            "forwards": [float(x) for x in self._forwards],
            "parameters": [[float(x) for x in row] for row in self._parameters],
            "rmse": [float(x) for x in self._rmse],
            "quotes": [int(x) for x in self._quotes],
            "failures": [[float(t), r] for t, r in sorted(self.failures.items())],
        }

    @classmethod
    def from_dict(cls, data: dict[str, typing.Any]) -> Surface:
        """The surface that ``to_dict`` wrote."""
        return cls(
            data["maturities"],
            data["forwards"],
            data["parameters"],
            smile=data["smile"],
            rmse=data.get("rmse"),
            quotes=data.get("quotes"),
            failures={float(t): str(r) for t, r in data.get("failures", [])},
        )

    def __repr__(self) -> str:
        return (
            f"Surface({self.smile}, {self._maturities.size} expiries from {self._maturities.min():g} to "
            f"{self._maturities.max():g} years, {len(self.failures)} not fitted)"
            if self._maturities.size
            else f"Surface(no expiry fitted, {len(self.failures)} not fitted)"
        )
