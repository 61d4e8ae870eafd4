"""Pictures of a fitted surface (``pip install "tarvik[plot]"``: matplotlib):
each expiry's smile beside its quotes (``smiles``), the risk-neutral
densities (``density``) and the implied volatilities over log-moneyness (or
strike) and maturity (``heatmap``).

Each function returns a ``matplotlib.figure.Figure`` made without pyplot,
so nothing is shown and no window opens: save it (``fig.savefig``), or let
a notebook show it. ``density`` and ``heatmap`` draw into ``ax=`` instead,
where given, and return its figure.

For example::

    import numpy as np, tarvik.plot
    from tarvik import surface

    T = np.repeat([0.25, 1.0], 9)
    K = 100 * np.exp(np.tile(np.linspace(-0.3, 0.2, 9), 2) * np.sqrt(T))
    s = surface.fit(K, np.full(K.size, 100.0), T, 0.2 - 0.1 * np.log(K / 100))
    tarvik.plot.heatmap(s).savefig("surface.png")
"""

from __future__ import annotations

import math
import typing

import numpy as np

if typing.TYPE_CHECKING:
    from matplotlib.axes import Axes as _Axes  # type: ignore[import-not-found,unused-ignore]
    from matplotlib.figure import Figure as _Figure  # type: ignore[import-not-found,unused-ignore]

__all__ = ["density", "heatmap", "smiles"]

# The columns smiles() reads from its quotes: those of tarvik.frame.smile_quotes.
_QUOTE_COLUMNS = ("strike", "iv", "bid_iv", "ask_iv", "used_maturity", "maturity", "used_forward")


def _new_figure(**kwargs: typing.Any) -> _Figure:
    try:
        from matplotlib.figure import Figure  # type: ignore[import-not-found,unused-ignore]
    except ImportError as e:
        raise ModuleNotFoundError('tarvik.plot needs matplotlib: pip install "tarvik[plot]"',
                                  name="matplotlib") from e
    return Figure(layout="constrained", **kwargs)


def _percent(axis: typing.Any) -> None:
    from matplotlib.ticker import PercentFormatter  # type: ignore[import-not-found,unused-ignore]

    axis.set_major_formatter(PercentFormatter(1.0))


def _floats(values: typing.Any) -> np.ndarray:
    """A column (pandas, Polars, NumPy, a list) as float64, NaN for nulls."""
    if hasattr(values, "to_numpy"):
        try:
            values = values.to_numpy(dtype=float, na_value=np.nan)  # pandas
        except TypeError:
            values = values.to_numpy()  # Polars: nulls of floats are NaN
    return np.asarray(values, dtype=float).reshape(-1)


def _quote_columns(quotes: typing.Any) -> dict[str, np.ndarray]:
    """The columns of _QUOTE_COLUMNS that `quotes` has (a pandas or Polars
    frame, a mapping of columns), with "maturity" for used_maturity."""
    if quotes is None:
        return {}
    if hasattr(quotes, "collect") and not hasattr(quotes, "iloc"):  # a Polars LazyFrame
        quotes = quotes.collect()
    names = quotes.columns if hasattr(quotes, "columns") else quotes
    out = {name: _floats(quotes[name]) for name in _QUOTE_COLUMNS if name in names}
    if "used_maturity" in out:
        out["maturity"] = out.pop("used_maturity")
    missing = [name for name in ("strike", "iv", "maturity") if name not in out]
    if missing:
        raise ValueError(f"quotes need the columns strike, iv and used_maturity (or maturity), "
                         f"as tarvik.frame.smile_quotes gives them: no {', '.join(missing)}")
    return out


def _atm_sd(surface: typing.Any, t: float) -> float:
    """The at-the-money standard deviation sqrt(w(0, t)) of the surface."""
    return math.sqrt(float(np.asarray(surface.total_variance(0.0, t)).reshape(-1)[0]))


def _short_label(t: float) -> str:
    return f"{round(t * 365)}d" if t < 1 else f"{t:.3g}y"


def _maturity_label(t: float) -> str:
    return f"T = {t:.3g} y ({round(t * 365)} d)" if t < 1 else f"T = {t:.3g} y"


def smiles(surface: typing.Any, quotes: typing.Any = None, *, x: str = "strike",
           columns: int | None = None, size: tuple[float, float] = (3.2, 2.5)) -> _Figure:
    """A panel per expiry: the fitted smile (Black-76 implied volatility
    against strike, or ``x="log_moneyness"``: ln(K/F) on the expiry's
    forward) and, with ``quotes``, the expiry's quotes: the mid's volatility
    as a point and a bar from the bid's to the ask's. ``quotes`` is a pandas
    or Polars frame (or a mapping of columns) with ``strike``, ``iv``,
    ``used_maturity`` (or ``maturity``) and optionally ``bid_iv``,
    ``ask_iv`` and ``used_forward``: what ``tarvik.frame.smile_quotes``
    gives. An expiry in the surface's ``failures`` has a panel of its
    quotes and the reason. ``columns`` panels a row (default: up to 4),
    each of ``size`` inches. The volatility axis is scaled to the mids and
    the smile; wider bars (deep in the money, where a bid bounds no
    volatility) run off it."""
    if x not in ("strike", "log_moneyness"):
        raise ValueError(f'x= is "strike" or "log_moneyness", not {x!r}')
    q = _quote_columns(quotes)
    fitted = [float(t) for t in surface.maturities]
    failed = {float(t): reason for t, reason in surface.failures.items()}
    panels = sorted(set(fitted) | set(failed))
    n = max(len(panels), 1)
    across = columns or min(4, math.ceil(math.sqrt(n)))
    down = math.ceil(n / across)
    fig = _new_figure(figsize=(size[0] * across, size[1] * down))
    from matplotlib.ticker import MaxNLocator  # type: ignore[import-not-found,unused-ignore]

    axes = fig.subplots(down, across, squeeze=False)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    legend = None  # on the first panel with something to name
    for t, ax in zip(panels, axes.flat):
        here = {}
        if q:
            rows = np.isclose(q["maturity"], t, rtol=1e-12, atol=0.0) & np.isfinite(q["iv"])
            here = {name: values[rows] for name, values in q.items()}
        forward = float(surface.forward(t)) if fitted else math.nan
        quoted_forward = here.get("used_forward", np.zeros(0))
        if quoted_forward[np.isfinite(quoted_forward)].size and t not in fitted:
            forward = float(quoted_forward[np.isfinite(quoted_forward)][0])

        def place(strikes: np.ndarray, f: float = forward) -> np.ndarray:
            return strikes if x == "strike" else np.log(strikes / f)

        levels = []
        if here and here["strike"].size:
            k = place(here["strike"])
            mid = here["iv"]
            levels.append(mid)
            if "bid_iv" in here and "ask_iv" in here:
                below = np.where(np.isfinite(here["bid_iv"]), mid - here["bid_iv"], 0.0)
                above = np.where(np.isfinite(here["ask_iv"]), here["ask_iv"] - mid, 0.0)
                ax.errorbar(k, mid, yerr=[np.maximum(below, 0), np.maximum(above, 0)], fmt="none",
                            ecolor="0.55", elinewidth=0.9, label="bid to ask")
            ax.plot(k, mid, "o", ms=2.5, color="C0", label="mid")
            span = np.log(here["strike"].max() / forward), np.log(here["strike"].min() / forward)
            low, high = min(span), max(span)
        else:
            sd = _atm_sd(surface, t) if t in fitted else 0.2
            low, high = -3.0 * sd, 2.0 * sd
        if t in fitted:
            pad = 0.05 * (high - low)
            strikes = forward * np.exp(np.linspace(low - pad, high + pad, 201))
            curve = surface.implied_volatilities(strikes, t)
            levels.append(curve)
            ax.plot(place(strikes), curve, color="C3", lw=1.3, label="fitted smile")
        else:
            ax.text(0.5, 0.5, f"not fitted:\n{failed[t]}", transform=ax.transAxes, ha="center",
                    va="center", fontsize=7, wrap=True)
        values = np.concatenate(levels) if levels else np.zeros(0)
        values = values[np.isfinite(values)]
        if values.size:
            lo, hi = values.min(), values.max()
            pad = 0.08 * (hi - lo) + 0.002
            ax.set_ylim(lo - pad, hi + pad)
        _percent(ax.yaxis)
        ax.set_title(_maturity_label(t), fontsize=9)
        ax.tick_params(labelsize=7)
        ax.xaxis.set_major_locator(MaxNLocator(5, steps=[1, 2, 2.5, 5, 10]))
        if not legend and ax.get_legend_handles_labels()[0]:
            legend = ax.legend(fontsize=6, loc="best")
    fig.supxlabel("strike" if x == "strike" else "log-moneyness ln(K/F)", fontsize=9)
    fig.supylabel("Black-76 implied volatility", fontsize=9)
    return fig


def density(surface: typing.Any, maturities: typing.Any = None, *, strikes: typing.Any = None,
            ax: _Axes | None = None) -> _Figure:
    """The risk-neutral density of the underlying at each of ``maturities``
    (default: the fitted expiries), per unit of strike, a line each: the
    second strike derivative of the undiscounted call price (Breeden and
    Litzenberger 1978), ``surface.density``. Over ``strikes``, or for each
    maturity from about four at-the-money standard deviations below its
    forward to three above."""
    ts = surface.maturities if maturities is None else np.atleast_1d(
        np.asarray(maturities, dtype=float))
    fig = _new_figure(figsize=(7.0, 4.0)) if ax is None else ax.figure
    if ax is None:
        ax = fig.add_subplot()
    from matplotlib import colormaps  # type: ignore[import-not-found,unused-ignore]

    colours = colormaps["viridis"](np.linspace(0.0, 0.9, max(len(ts), 1)))
    for t, colour in zip(ts, colours):
        t = float(t)
        if strikes is None:
            forward = float(surface.forward(t))
            sd = _atm_sd(surface, t)
            grid = forward * np.exp(np.linspace(-4.0 * sd, 3.0 * sd, 401))
        else:
            grid = np.asarray(strikes, dtype=float)
        ax.plot(grid, surface.density(grid, t), color=colour, lw=1.2, label=_maturity_label(t))
    ax.set_xlabel("strike")
    ax.set_ylabel("density per unit of strike")
    ax.set_ylim(bottom=0.0)
    ax.legend(fontsize=7)
    return typing.cast("_Figure", fig)


def heatmap(surface: typing.Any, *, x: str = "log_moneyness", points: typing.Any = None,
            maturities: typing.Any = None, ax: _Axes | None = None) -> _Figure:
    """The fitted implied volatility over log-moneyness ln(K/F) (or
    ``x="strike"``) and maturity, in colour, with lines of equal volatility
    and a dashed line at each fitted expiry. ``points`` are the
    log-moneyness values (or strikes), by default from 2.5 at-the-money
    standard deviations of the last expiry below the forward to 1.5 above;
    ``maturities`` the maturities, by default from the first expiry to the
    last, on a logarithmic axis. The colours span the 2nd to the 98th
    percentile of the volatilities drawn (the far wings of short expiries
    run beyond)."""
    if x not in ("strike", "log_moneyness"):
        raise ValueError(f'x= is "strike" or "log_moneyness", not {x!r}')
    fitted = surface.maturities
    if not len(fitted):
        raise ValueError("the surface has no fitted expiry")
    if maturities is None:
        first, last = float(fitted[0]), float(fitted[-1])
        if first == last:
            first, last = first / 2, last * 2
        ts = np.geomspace(first, last, 160)
    else:
        ts = np.asarray(maturities, dtype=float)
    last_forward = float(surface.forward(fitted[-1]))
    sd = _atm_sd(surface, float(fitted[-1]))
    if points is None:
        k = np.linspace(-2.5 * sd, 1.5 * sd, 201)
        grid = k if x == "log_moneyness" else last_forward * np.exp(k)
    else:
        grid = np.asarray(points, dtype=float)
    if x == "log_moneyness":
        vols = np.sqrt(surface.total_variance(grid[None, :], ts[:, None]) / ts[:, None])
    else:
        vols = surface.implied_volatilities(grid[None, :], ts[:, None])
    fig = _new_figure(figsize=(7.0, 4.5)) if ax is None else ax.figure
    if ax is None:
        ax = fig.add_subplot()
    finite = vols[np.isfinite(vols)]
    low, high = np.percentile(finite, [2, 98]) if finite.size else (0.0, 1.0)
    mesh = ax.pcolormesh(grid, ts, vols, shading="nearest", cmap="viridis", vmin=low, vmax=high)
    lines = ax.contour(grid, ts, vols, levels=np.linspace(low, high, 8)[1:-1], colors="white",
                       linewidths=0.6, alpha=0.8)
    ax.clabel(lines, fmt=lambda v: f"{v:.0%}", fontsize=7)
    for t in fitted:
        if ts.min() <= t <= ts.max():
            ax.axhline(t, color="white", lw=0.5, ls="--", alpha=0.6)
    ax.set_yscale("log")
    shown = [float(t) for t in fitted if ts.min() <= t <= ts.max()]
    ax.set_yticks(shown, [_short_label(t) for t in shown], minor=False)
    ax.set_yticks([], minor=True)
    ax.set_xlabel("log-moneyness ln(K/F)" if x == "log_moneyness" else "strike")
    ax.set_ylabel("maturity (the fitted expiries)")
    bar = fig.colorbar(mesh, ax=ax, extend="both", label="Black-76 implied volatility")
    _percent(bar.ax.yaxis)
    return typing.cast("_Figure", fig)
