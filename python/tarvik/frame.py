"""Quote tables in, risk tables out: implied volatilities, prices and Greeks
of pandas and Polars DataFrames (``pip install tarvik[frame]``).

Each market or contract argument names a column, or is a number (or a date)
that applies to every row. The result is a frame of the kind that went in:
the original columns untouched, the new ones appended (a result column the
input already has is replaced), and an ``error`` column: null where the row
has a result, else why not (an ``IVError`` kind, or ``missing_value`` for
an empty value, ``unparsable`` for one that is not a number or a date,
``unparsable_type``, ``crossed_quote``, ``one_sided_quote``, ``expired``: the
command line's words). ``audit=True`` adds ``used_mid`` (implied
volatilities), ``used_forward``, ``used_discount`` and ``used_maturity``.
A Polars LazyFrame is collected and its result returned lazy; a column of
numbers of any width is read as float64, a text column by the command
line's number grammar; an argument may be a Series or a 1-D array of the
frame's length instead of a column name.

Maturities are ``maturity=`` (a column in years) or ACT/365F year fractions
from ``valuation=`` to ``expiry=`` (dates, timestamps or ISO 8601 texts): a
date is its midnight, a naive timestamp is UTC, an aware one is converted to
UTC. ``forward=`` selects Black-76 (``rate=`` or ``discount=`` discount it:
the quoted price is the discount factor times the Black-76 price, and the
price and Greeks returned are those of the quoted price; theta with
``discount=`` holds the discount factor fixed), ``spot=`` the spot model
(``rate=`` and ``dividend=``, 0 if absent). ``forward="parity"`` takes the
forward F and discount factor D of each expiry from put-call parity
(``parity_forwards``) over the quoted prices, ``price=`` or the mid of
``bid=`` and ``ask=``: a quote that is missing, one-sided or crossed stays
out of the fit, and the rows of an expiry without two strikes quoted on
both sides are ``missing_value``. ``prices`` reads those quotes too, beside
the volatilities, for the fit alone: it prices every row of an expiry from
its volatility on F, discounted by D, as ``forward=`` and ``discount=``
columns holding them would; a bad quote gives its row no reason there (its
volatility, strike, maturity and the like do).

``model="normal"`` takes the normal (Bachelier) model on the forward instead
of Black-76 (forwards and strikes may be negative; discounting as for
Black-76; ``iv`` is then the normal volatility, in price units per square
root of a year). ``shift=`` (a column or a number) d makes Black-76 quotes
shifted-lognormal: Black-76 on F + d and K + d, for prices, Greeks and
implied volatilities alike (not with ``spot=`` or the normal model).
``exercise="american"`` (with ``spot=``) takes American exercise: the
``american_*`` functions, some milliseconds a row.

``dividend_schedule=`` (with ``spot=``) prices a stock that pays cash
dividends on known dates (the ``european_*`` functions, or with
``exercise="american"`` the ``american_*`` ones, which price calls with
dividend <= min(0, rate) or with dividend > 0 and rate >= 0, puts with
rate <= min(0, dividend) and puts with rate > 0 and dividend >= 0 and give
other rows the reason invalid_input; a millisecond or so a row, some
hundredths to tenths of a second an option exercised between ex-dates): a
frame of the kind that went in, with an
``amount`` column and the ex-dates as ``ex_date`` (dates, timestamps or ISO
8601 texts: ACT/365F years from ``valuation=``, one date) or ``time``
(years); with an ``underlying`` column, each quote takes the dividends of
its row's underlying (the quotes' column ``underlying=``, "underlying"
unless named), else every quote takes them all. ``dividend=`` stays the
continuous yield.

>>> import pandas as pd, tarvik.frame
>>> quotes = pd.DataFrame({"expiry": pd.to_datetime(["2026-06-19"] * 2),
...                        "strike": [95.0, 105.0], "type": ["C", "P"],
...                        "bid": [7.9, 8.3], "ask": [8.1, 8.5]})
>>> out = tarvik.frame.implied_volatilities(quotes, bid="bid", ask="ask", forward=100.0,
...                                         expiry="expiry", valuation="2026-03-20")
>>> out["iv"].round(4).tolist(), bool(out["error"].isna().all())
([0.2637, 0.2718], True)

``fit_surface`` fits a volatility surface (``tarvik.surface``) to a chain's
Black-76 implied volatilities, those of the mids and, where ``bid=`` and
``ask=`` are given, of the bids and asks, which ``smile_quotes`` gives as
columns.
"""

from __future__ import annotations

import importlib
import numbers as _numbers
import typing

import numpy as np

from . import _core, _pipeline, _quotes

__all__ = ["fit_surface", "implied_volatilities", "parity_forwards", "prices", "smile_quotes"]


def _narwhals() -> typing.Any:
    for name in ("narwhals.stable.v2", "narwhals.stable.v1"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    raise ImportError("tarvik.frame needs narwhals: pip install 'tarvik[frame]'")


class _Frame:
    """A narwhals view of the input and the reading of its arguments (role ->
    a column name or a value), as the pipeline's source: each column is read
    when the pipeline comes to it, a missing value noted then."""

    def __init__(self, quotes: typing.Any, **args: typing.Any) -> None:
        self.nw = _narwhals()
        df = self.nw.from_native(quotes)
        # A lazy frame is collected here, and its result made lazy again.
        self.lazy = isinstance(df, self.nw.LazyFrame)
        self.df = df.collect() if self.lazy else self.nw.from_native(quotes, eager_only=True)
        self.n = len(self.df)
        self.table = _quotes.Table(self.n)
        self.args = args

    def has(self, name: typing.Any) -> bool:
        return isinstance(name, str) and name in self.df.columns

    def column(self, name: str) -> typing.Any:
        if name not in self.df.columns:
            raise ValueError(f"no column {name!r} in the frame (columns: "
                             f"{', '.join(map(str, self.df.columns))})")
        return self.df[name]

    def series(self, arg: typing.Any) -> typing.Any:
        """The column an argument names, or the Series (pandas, Polars) or
        1-D NumPy array it is, taken by position; None for anything else."""
        if isinstance(arg, str):
            return self.column(arg)
        if isinstance(arg, np.ndarray) and arg.ndim == 1:
            s = self.nw.new_series("", arg, backend=self.nw.get_native_namespace(self.df))
        else:
            s = self.nw.from_native(arg, series_only=True, pass_through=True)
            if not isinstance(s, self.nw.Series):
                return None
        if len(s) != self.n:
            raise ValueError(f"a Series of {len(s)} values for a frame of {self.n} rows")
        return s

    def floats(self, arg: typing.Any, what: str, missing: bool = True) -> np.ndarray | float:
        """A column (or Series) as float64: numbers of any width as they are,
        text by the command line's grammar (unparsable where it is not a
        number); null, NaN and empty text are missing_value. Or a number."""
        s = None if isinstance(arg, _numbers.Real) else self.series(arg)
        if s is not None:
            if s.dtype.is_numeric():
                values = np.array(s.cast(self.nw.Float64()).to_numpy(), dtype=np.float64)
                bad = np.zeros(self.n, bool)
            else:
                values, bad = _numbers_of(s.to_list())
                if bad.any() and np.isnan(values).all():  # not one number: not numbers at all
                    name = f"column {arg!r}" if isinstance(arg, str) else "the Series"
                    raise ValueError(f"{name} ({what}) is not numeric")
                self.table.fail(bad, _quotes.UNPARSABLE)
            if missing:
                self.table.missing(values)
            return values
        if isinstance(arg, _numbers.Real) and not isinstance(arg, bool):
            value = float(arg)
            self.table.missing(value)
            return value
        raise TypeError(f"{what} must be a column name or a number, not {arg!r}")

    def timestamps(self, arg: typing.Any, what: str) -> np.ndarray:
        """Microseconds since the epoch, UTC, per row (or one value)."""
        nw = self.nw
        s = self.series(arg) if not isinstance(arg, str) or arg in self.df.columns else None
        if s is not None:
            dtype = s.dtype
            if dtype == nw.Date:
                s = s.cast(nw.Datetime("us"))
                dtype = s.dtype
            if isinstance(dtype, nw.Datetime):
                if dtype.time_zone is not None:
                    s = s.dt.convert_time_zone("UTC").dt.replace_time_zone(None)
                null = s.is_null().to_numpy()
                us = s.dt.timestamp("us").fill_null(0).to_numpy().astype(np.int64)
                self.table.fail(null, _quotes.MISSING_VALUE)
                return np.asarray(us, np.int64)
            values, bad, empty = _quotes.timestamps_us(s.to_list())
            self.table.fail(bad, _quotes.UNPARSABLE)
            self.table.fail(empty, _quotes.MISSING_VALUE)
            return values
        value = _quotes.timestamp_us(arg)
        if value is None:
            raise ValueError(f"{what} must be a column name, a date or a timestamp, not {arg!r}")
        return np.asarray(value, np.int64)

    def maturity(self) -> np.ndarray | float | None:
        maturity, expiry = self.args["maturity"], self.args["expiry"]
        if maturity is None and expiry is None and self.has("maturity"):
            maturity = "maturity"
        if maturity is not None:
            return self.floats(maturity, "maturity")
        if expiry is None or self.args["valuation"] is None:
            raise ValueError("give maturity= (years), or expiry= and valuation=")
        return None

    def dates(self) -> tuple[np.ndarray, np.ndarray]:
        return (self.timestamps(self.args["expiry"], "expiry"),
                self.timestamps(self.args["valuation"], "valuation"))

    def is_call(self) -> np.ndarray:
        arg = self.args["type"]
        s = self.series(arg) if not isinstance(arg, str) or arg in self.df.columns else None
        if s is not None:
            if s.dtype == self.nw.Boolean and not s.is_null().any():
                codes = s.to_numpy().astype(np.int8)
            else:
                codes = _quotes.option_type_codes(s.to_list())
        elif isinstance(arg, str) and len(self.df.columns) and arg == "type":
            raise ValueError("no column 'type' in the frame: give option_type= (a column or "
                             "'C'/'P')")
        else:
            codes = np.full(self.n, _quotes.option_type_code(arg), np.int8)
        self.table.fail(codes == _quotes.NOT_A_TYPE, _quotes.UNPARSABLE_TYPE)
        self.table.fail(codes == _quotes.NO_TYPE, _quotes.MISSING_VALUE)
        return codes == 1

    def bid_ask(self) -> tuple[np.ndarray | float, np.ndarray | float] | None:
        bid, ask = self.args.get("bid"), self.args.get("ask")
        if self.has(self.args["price"]) or (bid is None and ask is None):
            return None
        if bid is None or ask is None:
            raise ValueError("give both bid= and ask= (or a price column)")
        # A missing side is a one-sided quote, not a missing value.
        return self.floats(bid, "bid", missing=False), self.floats(ask, "ask", missing=False)

    def number(self, role: str) -> np.ndarray | float:
        return self.floats(self.args[role], role)

    def optional(self, role: str) -> np.ndarray | float | None:
        arg = self.args.get(role)
        return None if arg is None else self.floats(arg, role)

    def result(self, columns: dict[str, np.ndarray]) -> typing.Any:
        nw = self.nw
        backend = nw.get_native_namespace(self.df)
        new = [nw.new_series(name, values, nw.Float64(), backend=backend)
               for name, values in columns.items()]
        reason = [None if r is None else str(r) for r in self.table.reason.tolist()]
        new.append(nw.new_series("error", reason, nw.String(), backend=backend))
        return self.native(self.df.with_columns(*new))

    def native(self, df: typing.Any) -> typing.Any:
        """A result as the kind of frame that came in (lazy where it was)."""
        return (df.lazy() if self.lazy else df).to_native()


def _numbers_of(values: list[typing.Any]) -> tuple[np.ndarray, np.ndarray]:
    """The numbers of a column's values: text by the command line's grammar,
    numbers (Decimal too) as float() takes them; and where a value is neither
    (NaN there, and where a value is empty)."""
    out = np.full(len(values), np.nan)
    bad = np.zeros(len(values), bool)
    texts, at = [], []
    for i, v in enumerate(values):
        if isinstance(v, str):
            if "\n" in v or "\r" in v:
                bad[i] = True
            elif v.strip():
                texts.append(v)
                at.append(i)
        elif isinstance(v, _numbers.Real) or (  # a Decimal is a Number, not Real
                isinstance(v, _numbers.Number) and not isinstance(v, _numbers.Complex)):
            out[i] = float(typing.cast(typing.SupportsFloat, v))
        elif not _quotes.is_empty(v):
            bad[i] = True
    if texts:
        numbers, kinds = _core._csv_numbers("\n".join(texts).encode())
        out[at] = numbers
        bad[at] = kinds == 1
    return out, bad


def _model(f: _Frame, forward: typing.Any, spot: typing.Any) -> tuple[bool, typing.Any]:
    if forward is not None and spot is not None:
        raise ValueError("give forward= (Black-76) or spot= (spot model), not both")
    if forward is None and spot is None:
        if f.has("forward"):
            return False, "forward"
        if f.has("spot"):
            return True, "spot"
        raise ValueError("give forward= (Black-76) or spot= (spot model)")
    return (False, forward) if forward is not None else (True, spot)


def _schedules(f: _Frame, schedule: typing.Any,
               underlying: typing.Any) -> _pipeline.Schedules | None:
    """The groups of rows that share a dividend schedule, and each group's
    schedule, from the frame `schedule` (see the module's documentation)."""
    if schedule is None:
        if underlying is not None:
            raise ValueError("underlying= goes with dividend_schedule=")
        return None
    table = _Frame(schedule)
    columns = set(map(str, table.df.columns))
    if "amount" not in columns or not columns & {"ex_date", "time"}:
        raise ValueError("dividend_schedule= takes a frame with an 'amount' column and the "
                         "ex-dates as 'ex_date' (dates) or 'time' (years)")
    amounts = np.broadcast_to(table.floats("amount", "amount"), (table.n,))
    if "time" in columns:
        times = np.broadcast_to(table.floats("time", "time"), (table.n,))
    else:
        valuation = _quotes.timestamp_us(f.args["valuation"])
        if valuation is None:
            raise ValueError("a dividend_schedule= with ex_date needs valuation= (one date)")
        times = _quotes.year_fraction(table.timestamps("ex_date", "ex_date"), valuation)
    if table.table.has.any():
        row = int(np.argmax(table.table.has))
        raise ValueError(f"dividend_schedule= row {row}: {table.table.reason[row]}")

    if "underlying" not in columns:
        return _pipeline.group_schedules(None, f.n, {None: (times, amounts)})
    names = np.array(table.column("underlying").to_list(), dtype=object)
    by_key = {key: (times[names == key], amounts[names == key]) for key in dict.fromkeys(names)}
    keys = f.column("underlying" if underlying is None else underlying).to_list()
    return _pipeline.group_schedules(keys, f.n, by_key)


def _prepared(quotes: typing.Any, *, vol: typing.Any, price: typing.Any, bid: typing.Any,
              ask: typing.Any, forward: typing.Any, spot: typing.Any, rate: typing.Any,
              dividend: typing.Any, discount: typing.Any, strike: typing.Any,
              maturity: typing.Any, expiry: typing.Any, valuation: typing.Any,
              option_type: typing.Any, model: str, shift: typing.Any = None,
              exercise: str = "european",
              dividend_schedule: typing.Any = None) -> tuple[_Frame, _pipeline.Model]:
    """The frame of the quotes, its arguments checked, and the model its
    columns choose, the underlying's source in place."""
    if model not in ("black", "normal"):
        raise ValueError(f'model= is "black" or "normal", not {model!r}')
    if exercise not in ("european", "american"):
        raise ValueError(f'exercise= is "european" or "american", not {exercise!r}')
    f = _Frame(quotes, maturity=maturity, expiry=expiry, valuation=valuation, type=option_type,
               strike=strike, bid=bid, ask=ask, rate=rate, discount=discount,
               dividend=dividend, shift=shift, price=price, vol=vol)
    is_spot, source = _model(f, forward, spot)
    chosen = _pipeline.Model(
        spot=is_spot, normal=model == "normal", shifted=shift is not None,
        american=exercise == "american", rate=rate is not None, discount=discount is not None,
        dividend=dividend is not None, schedule=dividend_schedule is not None,
        parity=isinstance(source, str) and source == "parity" and not f.has("parity"))
    chosen.check(("schedule_on_forward",))
    f.args[chosen.underlying] = source
    return f, chosen


def _run(quotes: typing.Any, *, implied: bool, vol: typing.Any, price: typing.Any,
         bid: typing.Any, ask: typing.Any, forward: typing.Any, spot: typing.Any, rate: typing.Any,
         dividend: typing.Any, discount: typing.Any, strike: typing.Any, maturity: typing.Any,
         expiry: typing.Any, valuation: typing.Any, option_type: typing.Any, greeks: bool,
         parallel: bool, model: str, shift: typing.Any,
         exercise: str = "european", audit: bool = False,
         dividend_schedule: typing.Any = None, underlying: typing.Any = None) -> typing.Any:
    f, chosen = _prepared(quotes, vol=vol, price=price, bid=bid, ask=ask, forward=forward,
                          spot=spot, rate=rate, dividend=dividend, discount=discount,
                          strike=strike, maturity=maturity, expiry=expiry, valuation=valuation,
                          option_type=option_type, model=model, shift=shift, exercise=exercise,
                          dividend_schedule=dividend_schedule)
    schedules = _schedules(f, dividend_schedule, underlying)
    return f.result(_pipeline.run(chosen, f, implied=implied, greeks=greeks, parallel=parallel,
                                  audit=audit, schedules=schedules))


def implied_volatilities(quotes: typing.Any, *, price: str = "price", bid: typing.Any = None,
                         ask: typing.Any = None, forward: typing.Any = None,
                         spot: typing.Any = None, rate: typing.Any = None,
                         dividend: typing.Any = None, discount: typing.Any = None,
                         strike: typing.Any = "strike", maturity: typing.Any = None,
                         expiry: typing.Any = None, valuation: typing.Any = None,
                         option_type: typing.Any = "type", greeks: bool = True,
                         parallel: bool = False, model: str = "black",
                         shift: typing.Any = None, exercise: str = "european",
                         audit: bool = False, dividend_schedule: typing.Any = None,
                         underlying: typing.Any = None) -> typing.Any:
    """Implied volatility (column ``iv``: per year, or in price units per
    square root of a year for ``model="normal"``), the Greeks (``delta gamma
    vega theta vanna vomma``, and ``rho dividend_rho`` on a spot) and
    ``error`` of each quoted price; with ``audit=True`` also ``used_mid``,
    ``used_forward``, ``used_discount`` and ``used_maturity``, what each row
    was computed from; see the module's documentation."""
    return _run(quotes, implied=True, vol=None, price=price, bid=bid, ask=ask, forward=forward,
                spot=spot, rate=rate, dividend=dividend, discount=discount, strike=strike,
                maturity=maturity, expiry=expiry, valuation=valuation, option_type=option_type,
                greeks=greeks, parallel=parallel, model=model, shift=shift, exercise=exercise,
                audit=audit, dividend_schedule=dividend_schedule, underlying=underlying)


def prices(quotes: typing.Any, *, vol: typing.Any = "vol", price: str = "price",
           bid: typing.Any = None, ask: typing.Any = None, forward: typing.Any = None,
           spot: typing.Any = None, rate: typing.Any = None, dividend: typing.Any = None,
           discount: typing.Any = None, strike: typing.Any = "strike",
           maturity: typing.Any = None, expiry: typing.Any = None, valuation: typing.Any = None,
           option_type: typing.Any = "type", greeks: bool = True,
           parallel: bool = False, model: str = "black", shift: typing.Any = None,
           exercise: str = "european", audit: bool = False,
           dividend_schedule: typing.Any = None, underlying: typing.Any = None) -> typing.Any:
    """Price (column ``price``), the Greeks and ``error`` of each row's
    volatility ``vol`` (per year; price units per square root of a year for
    ``model="normal"``); with ``audit=True`` also ``used_forward``,
    ``used_discount`` and ``used_maturity``; see the module's documentation.
    ``price``, ``bid`` and ``ask`` are the quoted prices that
    ``forward="parity"`` fits forwards to, as for ``implied_volatilities``;
    they are read only for it."""
    return _run(quotes, implied=False, vol=vol, price=price, bid=bid, ask=ask, forward=forward,
                spot=spot, rate=rate, dividend=dividend, discount=discount, strike=strike,
                maturity=maturity, expiry=expiry, valuation=valuation, option_type=option_type,
                greeks=greeks, parallel=parallel, model=model, shift=shift, exercise=exercise,
                audit=audit, dividend_schedule=dividend_schedule, underlying=underlying)


def parity_forwards(quotes: typing.Any, *, price: str = "price", bid: typing.Any = None,
                    ask: typing.Any = None, strike: typing.Any = "strike",
                    maturity: typing.Any = None, expiry: typing.Any = None,
                    valuation: typing.Any = None, option_type: typing.Any = "type") -> typing.Any:
    """One row per expiry: the expiry (or maturity) column under its input
    name, ``forward`` F and ``discount`` D from put-call parity
    C - P = D (F - K) by least squares over the strikes quoted on both sides,
    ``pairs`` (the number of such strikes; F and D need two) and ``residual``
    (root-mean-square, in price units)."""
    f = _Frame(quotes, maturity=maturity, expiry=expiry, valuation=valuation, type=option_type,
               strike=strike, price=price, bid=bid, ask=ask)
    keys, fwd, disc, pairs, residual, group = _pipeline.parity(f, _pipeline.quotes(f, True))
    finite = np.isfinite(keys)
    nw = f.nw
    backend = nw.get_native_namespace(f.df)
    key_name = expiry if isinstance(expiry, str) and maturity is None else (
        maturity if isinstance(maturity, str) else "maturity")
    if key_name in f.df.columns:
        first = np.array([np.flatnonzero(group == j)[0] for j in np.flatnonzero(finite)], np.int64)
        key = f.df[key_name][first.tolist()] if len(first) else f.df[key_name][:0]
        key = nw.maybe_reset_index(key.alias(key_name))
    else:
        key = nw.new_series(key_name, keys[finite], nw.Float64(), backend=backend)
    cols = [key,
            nw.new_series("forward", fwd[finite], nw.Float64(), backend=backend),
            nw.new_series("discount", disc[finite], nw.Float64(), backend=backend),
            nw.new_series("pairs", pairs[finite], nw.Int64(), backend=backend),
            nw.new_series("residual", residual[finite], nw.Float64(), backend=backend)]
    # The key's own frame, the others beside it: nothing through Arrow.
    return f.native(key.to_frame().with_columns(*cols[1:]))


def _smile_columns(quotes: typing.Any, *, price: typing.Any, bid: typing.Any, ask: typing.Any,
                   forward: typing.Any, spot: typing.Any, rate: typing.Any, dividend: typing.Any,
                   discount: typing.Any, strike: typing.Any, maturity: typing.Any,
                   expiry: typing.Any, valuation: typing.Any, option_type: typing.Any,
                   model: str, parallel: bool) -> tuple[_Frame, dict[str, np.ndarray]]:
    """The frame of the quotes and its columns of _pipeline.smile_quotes."""
    f, chosen = _prepared(quotes, vol=None, price=price, bid=bid, ask=ask, forward=forward,
                          spot=spot, rate=rate, dividend=dividend, discount=discount,
                          strike=strike, maturity=maturity, expiry=expiry, valuation=valuation,
                          option_type=option_type, model=model)
    return f, _pipeline.smile_quotes(chosen, f, parallel=parallel)


def smile_quotes(quotes: typing.Any, *, price: str = "price", bid: typing.Any = None,
                 ask: typing.Any = None, forward: typing.Any = None, spot: typing.Any = None,
                 rate: typing.Any = None, dividend: typing.Any = None,
                 discount: typing.Any = None, strike: typing.Any = "strike",
                 maturity: typing.Any = None, expiry: typing.Any = None,
                 valuation: typing.Any = None, option_type: typing.Any = "type",
                 model: str = "black", parallel: bool = False) -> typing.Any:
    """The Black-76 implied volatilities a surface is fitted to, appended to
    the quotes: ``iv`` (of the price, or the mid of ``bid=`` and ``ask=``,
    as ``implied_volatilities`` gives it), ``bid_iv`` and ``ask_iv`` (of
    the bid and the ask, on the same forward, discount factor and maturity;
    null without ``bid=`` and ``ask=``, or where ``iv`` is; 0 for a bid
    below the discounted intrinsic value, which bounds no volatility from
    below), ``used_forward`` (on a spot, the forward the spot model prices
    on), ``used_discount``, ``used_maturity`` and ``error``. The arguments
    are those of ``implied_volatilities``; ``model="normal"`` quotes have no
    Black-76 volatility and are refused (ValueError). ``tarvik.plot.smiles``
    draws these columns beside the fitted smiles."""
    f, columns = _smile_columns(quotes, price=price, bid=bid, ask=ask, forward=forward,
                                spot=spot, rate=rate, dividend=dividend, discount=discount,
                                strike=strike, maturity=maturity, expiry=expiry,
                                valuation=valuation, option_type=option_type, model=model,
                                parallel=parallel)
    return f.result(columns)


def fit_surface(quotes: typing.Any, *, price: str = "price", bid: typing.Any = None,
                ask: typing.Any = None, forward: typing.Any = None, spot: typing.Any = None,
                rate: typing.Any = None, dividend: typing.Any = None,
                discount: typing.Any = None, strike: typing.Any = "strike",
                maturity: typing.Any = None, expiry: typing.Any = None,
                valuation: typing.Any = None, option_type: typing.Any = "type",
                model: str = "black", weights: typing.Any = None, smile: str | None = None,
                parallel: bool = False) -> typing.Any:
    """A volatility surface (``tarvik.surface.Surface``) fitted to the
    quotes' Black-76 implied volatilities, one smile per expiry: those of
    ``smile_quotes``, the mids' as the volatilities, the bids' and asks'
    (with ``bid=`` and ``ask=``) as ``bid_vols`` and ``ask_vols``, on each
    row's ``used_forward`` and ``used_maturity`` (an expiry is the rows of
    one maturity). A row without a volatility stays out of the fit; an
    expiry left with too few quotes is in the surface's ``failures``.
    ``weights`` (a column, a Series, an array or a number) is each quote's
    weight on its volatility error, ``smile`` the smile of each expiry
    (``tarvik.surface.fit``'s default if None); the other arguments are
    those of ``smile_quotes``.

    >>> import pandas as pd, tarvik.demo, tarvik.frame
    >>> chain = pd.DataFrame(tarvik.demo.index_chain())
    >>> s = tarvik.frame.fit_surface(chain, bid="bid", ask="ask", forward="parity",
    ...                              expiry="expiry", valuation=tarvik.demo.INDEX_VALUATION)
    >>> len(s.maturities), s.failures
    (8, {})
    """
    f, columns = _smile_columns(quotes, price=price, bid=bid, ask=ask, forward=forward,
                                spot=spot, rate=rate, dividend=dividend, discount=discount,
                                strike=strike, maturity=maturity, expiry=expiry,
                                valuation=valuation, option_type=option_type, model=model,
                                parallel=parallel)
    if weights is not None:
        weights = np.broadcast_to(f.floats(weights, "weights", missing=False), (f.n,))
    return _pipeline.fit_surface(f, columns, weights=weights, smile=smile)
