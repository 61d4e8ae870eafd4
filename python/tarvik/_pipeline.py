"""One path from a quote table's columns to its results, taken by the frame
layer and the command line alike: the model a table is priced with, chosen
and checked once (`Model`), and `run`, which reads the columns it needs from
a `Source` and goes from maturities (or expiry dates: `expired`), mids (or
prices: `one_sided_quote`, `crossed_quote`) and parity forwards to the
results of the batch functions, with a reason for each row without one.
Priced from volatilities on parity forwards, the quoted prices (or mids)
are read for the parity fit alone: a bad quote keeps its row out of the fit
and gives it no reason.
"""

from __future__ import annotations

import dataclasses
import typing

import numpy as np

import tarvik

from . import _core, _quotes
from ._quotes import EXPIRED, GREEKS, SPOT_GREEKS, Table

if typing.TYPE_CHECKING:
    import numpy.typing as npt

    _Floats = npt.NDArray[np.float64]
    _Flags = npt.NDArray[np.bool_]
    _Times = npt.NDArray[np.int64]

# The rules a model's choices keep, each with what the frame layer says where
# it is broken; of several, the first is told. run() tells those on parity
# forwards where it comes to the forward, after reading the quotes; the others
# before it reads anything.
RULES = {
    "american_on_forward": 'exercise="american" is for the spot model (spot=)',
    "normal_on_spot": 'model="normal" prices on a forward (forward=), not on spot=',
    "shift_not_black": 'shift= is for Black-76 quotes on a forward (model="black", forward=)',
    "dividend_on_forward": "dividend= belongs to the spot model (spot=)",
    "discount_on_spot": "discount= belongs to Black-76 (forward=); the spot model takes rate=",
    "rate_and_discount": "give rate= or discount=, not both",
    "parity_on_spot": 'forward="parity" is a forward: not for the spot model (spot=)',
    "parity_discounted": 'forward="parity" gives the discount factor too: drop rate= and discount=',
    "schedule_on_forward": "dividend_schedule= belongs to the spot model (spot=)",
}
PARITY_RULES = ("parity_on_spot", "parity_discounted")


@dataclasses.dataclass(frozen=True)
class Model:
    """How a table is priced: on a spot (Black-Scholes-Merton, or American
    exercise) or on a forward (Black-76, shifted or not, or the normal
    model), and what discounts it: a rate, a discount factor, or on a forward
    neither (undiscounted quotes), or the discount factor that put-call
    parity gives with the forward. The fields say what is given, not its
    values; `broken` tells the rules of RULES that the choices break."""

    spot: bool = False
    normal: bool = False
    shifted: bool = False
    american: bool = False
    rate: bool = False
    discount: bool = False
    dividend: bool = False
    parity: bool = False
    schedule: bool = False

    def broken(self) -> tuple[str, ...]:
        """The rules these choices break: keys of RULES, in its order."""
        return tuple(rule for rule, broke in (
            ("american_on_forward", self.american and not self.spot),
            ("normal_on_spot", self.normal and self.spot),
            ("shift_not_black", self.shifted and (self.spot or self.normal)),
            ("dividend_on_forward", self.dividend and not self.spot),
            ("discount_on_spot", self.discount and self.spot),
            ("rate_and_discount", self.rate and self.discount),
            ("parity_on_spot", self.parity and self.spot),
            ("parity_discounted", self.parity and (self.rate or self.discount)),
            ("schedule_on_forward", self.schedule and not self.spot),
        ) if broke)

    def check(self, rules: typing.Iterable[str] = RULES) -> None:
        """ValueError telling the first of `rules` that these choices break."""
        broken = set(self.broken()).intersection(rules)
        if broken:
            raise ValueError(RULES[next(rule for rule in RULES if rule in broken)])

    @property
    def underlying(self) -> str:
        """The role of the underlying's column: "spot" or "forward"."""
        return "spot" if self.spot else "forward"

    def result_columns(self, implied: bool, greeks: bool) -> tuple[str, ...]:
        """The names of the result columns, in their order (before error)."""
        main = "iv" if implied else "price"
        return (main, *(SPOT_GREEKS if self.spot else GREEKS)) if greeks else (main,)


def audit_columns(implied: bool) -> tuple[str, ...]:
    """The names of the columns that say what each row was computed from: the
    price inverted (implied volatilities only), the forward, the discount
    factor and the maturity in years."""
    return (("used_mid",) if implied else ()) + ("used_forward", "used_discount",
                                                  "used_maturity")


class Source(typing.Protocol):
    """Where `run` reads a table's columns, each when it comes to it. A
    reader may give a row a reason as it reads (in `table`: the first reason
    given is the row's), so that reading and the steps of `run` give reasons
    in the order it goes; a reader that read everything first has given its
    reasons before any of run's; run may point `table` at one of its own
    while it reads what is to give no row a reason (the prices of a parity
    fit). Roles: strike, price, vol, forward, spot (number); rate, discount,
    dividend, shift (optional)."""

    n: int
    table: Table

    def maturity(self) -> _Floats | float | None:
        """Years to expiry, or None where they come from dates()."""

    def dates(self) -> tuple[_Times | int, _Times | int]:
        """Expiry and valuation, microseconds since 1970 UTC."""

    def is_call(self) -> _Flags:
        """True for a call, per row."""

    def bid_ask(self) -> tuple[_Floats | float, _Floats | float] | None:
        """The bid and ask, where the price is their mid; else None."""

    def number(self, role: str) -> _Floats | float:
        """A column of numbers, or one for every row."""

    def optional(self, role: str) -> _Floats | float | None:
        """As number(), or None where the role is not given."""


class Quotes(typing.NamedTuple):
    """What every use of a table reads first: the maturity in years, the
    option type, the strike and the quote (the price, or the volatility);
    priced from volatilities on parity forwards, also the quoted prices
    the fit takes (NaN for a row it leaves out)."""

    maturity: _Floats | float
    is_call: _Flags
    strike: _Floats | float
    quote: _Floats | float
    fit: _Floats | None = None


def quotes(source: Source, implied: bool, parity: bool = False) -> Quotes:
    """Reads the maturity (from dates where the source has them: `expired`
    where expiry is not after valuation), the type and the strike, then the
    price (see `quoted`) or the volatility. With `parity` and volatilities,
    the prices are read before the volatility, for the parity fit alone."""
    table, n = source.table, source.n
    years = source.maturity()
    if years is None:
        years = np.broadcast_to(_quotes.year_fraction(*source.dates()), (n,)).copy()
        table.fail(~(years > 0.0), EXPIRED)
    is_call = source.is_call()
    strike = source.number("strike")
    if implied:
        return Quotes(years, is_call, strike, quoted(source))
    fit = None
    if parity:
        # The prices are read into a table of their own: a bad quote keeps
        # its row out of the fit (as a reason read before it does), not from
        # a price. The volatility is read after them, so that a bad one
        # keeps no quote out of the fit.
        own = source.table = Table(n)
        try:
            prices = quoted(source)
        finally:
            source.table = table
        fit = np.where(table.has | own.has, np.nan, prices)
    return Quotes(years, is_call, strike, source.number("vol"), fit)


def quoted(source: Source) -> _Floats | float:
    """The price of each row: the mid of bid and ask, where given
    (`one_sided_quote` where a side is missing or zero, `crossed_quote`
    where bid > ask), else the price column."""
    sides = source.bid_ask()
    if sides is None:
        return source.number("price")
    quote, crossed, one_sided = _quotes.mid(*(np.broadcast_to(s, (source.n,)) for s in sides))
    source.table.fail(one_sided, _quotes.ONE_SIDED_QUOTE)
    source.table.fail(crossed, _quotes.CROSSED_QUOTE)
    return quote


def parity(source: Source, q: Quotes) -> tuple[_Floats, _Floats, _Floats, npt.NDArray[np.int64],
                                                _Floats, npt.NDArray[np.intp]]:
    """_quotes.parity over the rows without a reason yet, or over q.fit:
    there every row stays in its maturity's group, and so takes its
    forward, whatever its quote."""
    n = source.n
    maturity, strike = np.broadcast_to(q.maturity, (n,)), np.broadcast_to(q.strike, (n,))
    if q.fit is not None:
        return _quotes.parity(maturity, strike, q.fit, q.is_call)
    ok = ~source.table.has
    return _quotes.parity(np.where(ok, maturity, np.nan), strike,
                          np.where(ok, np.broadcast_to(q.quote, (n,)), np.nan), q.is_call)


# The rows of a table that share one dividend schedule (None: every row),
# and the schedule as the european_ functions take it (keywords).
Schedules = list[tuple[typing.Optional["_Flags"], dict[str, typing.Any]]]


def group_schedules(keys: typing.Sequence[typing.Any] | None, n: int,
                    by_key: dict[typing.Any, tuple[_Floats, _Floats]]) -> Schedules:
    """The groups of n rows by their underlying `keys` (None: one schedule,
    by_key[None], for every row), each with its schedule (times, amounts,
    sorted by time) from `by_key`; the rows of an underlying without one in
    a last group of their own, with none."""
    def schedule_of(times: _Floats, amounts: _Floats) -> dict[str, typing.Any]:
        order = np.argsort(times, kind="stable")
        return {"dividend_times": np.ascontiguousarray(times[order]),
                "dividend_amounts": np.ascontiguousarray(amounts[order])}

    if keys is None:
        return [(None, schedule_of(*by_key[None]))]
    names = np.array(list(keys), dtype=object)
    groups: Schedules = []
    paid = np.zeros(n, bool)
    for key in dict.fromkeys(names.tolist()):
        if key in by_key:
            rows = names == key
            groups.append((rows, schedule_of(*by_key[key])))
            paid |= rows
    if not paid.all():
        groups.append((~paid, {}))
    return groups


def run(model: Model, source: Source, *, implied: bool, greeks: bool,
        parallel: bool, audit: bool = False,
        schedules: Schedules | None = None) -> dict[str, _Floats]:
    """The result columns of a table (see compute), each row's reason in
    source.table: implied volatilities from prices (`implied`), else prices
    from volatilities; ValueError where the model breaks a rule. With
    `audit`, the columns of audit_columns follow (see audited); with
    `schedules`, cash dividends (see compute)."""
    model.check(rule for rule in RULES if rule not in PARITY_RULES)
    q = quotes(source, implied, model.parity)
    rate = source.optional("rate")
    discount: typing.Any = source.optional("discount")
    model.check(PARITY_RULES)
    underlying: typing.Any
    if model.parity:
        # An expiry without two strikes quoted on both sides has no forward:
        # its rows get missing_value.
        _, forward, factor, _, _, group = parity(source, q)
        underlying = forward[group] if source.n else np.zeros(0)
        discount = factor[group] if source.n else np.zeros(0)
    else:
        underlying = source.number(model.underlying)
    dividend = source.optional("dividend")
    out = compute(model, source.table, quote=q.quote, implied=implied, underlying=underlying,
                  strike=q.strike, maturity=q.maturity, is_call=q.is_call, rate=rate,
                  dividend=dividend, discount=discount, shift=source.optional("shift"),
                  greeks=greeks, parallel=parallel, schedules=schedules)
    if audit:
        out.update(audited(model, source.n, q, implied, underlying, rate, dividend, discount))
    return out


# What a smile is fitted to: Black-76 implied volatilities of European
# quotes; each rule the models that have none break, with what the frame
# layer says.
SMILE_RULES = {
    "normal": 'a surface is fitted to Black-76 implied volatilities: model="normal" quotes '
              "have none",
    "shifted": "a surface is fitted to Black-76 implied volatilities, not shifted ones",
    "american": "a surface is fitted to the Black-76 implied volatilities of European quotes, "
                "not American ones",
    "schedule": "a surface is fitted to Black-76 implied volatilities on a forward: not with "
                "a dividend schedule",
}
SMILE_COLUMNS = ("iv", "bid_iv", "ask_iv", *audit_columns(True)[1:])


def smile_quotes(model: Model, source: Source, *, parallel: bool) -> dict[str, _Floats]:
    """The columns a surface is fitted to (SMILE_COLUMNS), each row's reason
    in source.table: "iv", the Black-76 implied volatility of the price (the
    mid of bid and ask, or the price) as run gives it, then those of the bid
    ("bid_iv") and the ask ("ask_iv") on the same forward, discount factor
    and maturity (NaN where there is no bid and ask, or no "iv"), and what
    they were computed from ("used_forward": on a spot, the forward the spot
    model prices on, "used_discount", "used_maturity"). A bid below the
    option's value at zero volatility (its discounted intrinsic value)
    bounds no volatility from below: its "bid_iv" is 0. ValueError where the
    model has no Black-76 volatilities (SMILE_RULES)."""
    for rule, broke in (("normal", model.normal), ("shifted", model.shifted),
                        ("american", model.american), ("schedule", model.schedule)):
        if broke:
            raise ValueError(SMILE_RULES[rule])
    n = source.n
    out = run(model, source, implied=True, greeks=False, parallel=parallel, audit=True)
    sides = source.bid_ask()
    quoted = {"iv": out["iv"], "bid_iv": np.full(n, np.nan), "ask_iv": np.full(n, np.nan)}
    if sides is not None and n:
        # Black-76 on the forward and discount factor of the mid: the parity
        # fit is the mids', and the spot model's price is Black-76's on them.
        strike, is_call = source.number("strike"), source.is_call()
        for name, side in zip(("bid_iv", "ask_iv"), sides):
            table = Table(n)
            table.fail(source.table.has, "no_mid")
            vol = compute(Model(discount=True), table, quote=side, implied=True,
                          underlying=out["used_forward"], strike=strike,
                          maturity=out["used_maturity"], is_call=is_call, rate=None,
                          dividend=None, discount=out["used_discount"], shift=None,
                          greeks=False, parallel=parallel)["iv"]
            if name == "bid_iv":
                vol[table.reason == "price_below_intrinsic"] = 0.0
            quoted[name] = vol
    return {**quoted, **{name: out[name] for name in SMILE_COLUMNS[3:]}}


def fit_surface(source: Source, columns: dict[str, _Floats], *, weights: typing.Any = None,
                smile: str | None = None) -> typing.Any:
    """tarvik.surface.fit over the columns of smile_quotes: the mids'
    volatilities on their forwards and maturities, bounded by the bids' and
    asks' where the source quotes both; `smile` None for fit's default."""
    from . import surface

    options: dict[str, typing.Any] = {}
    if source.bid_ask() is not None:
        options = {"bid_vols": columns["bid_iv"], "ask_vols": columns["ask_iv"]}
    if weights is not None:
        options["weights"] = weights
    if smile is not None:
        options["smile"] = smile
    return surface.fit(source.number("strike"), columns["used_forward"],
                       columns["used_maturity"], columns["iv"], **options)


def audited(model: Model, n: int, q: Quotes, implied: bool, underlying: _Floats | float,
            rate: _Floats | float | None, dividend: _Floats | float | None,
            discount: _Floats | float | None) -> dict[str, _Floats]:
    """What each row was computed from, by the same operations as compute,
    rows without a result included (NaN where a value is missing): the price
    inverted (the mid of bid and ask, or the price), the forward (on a spot,
    the forward S exp((r - q) T) the spot model prices on; unshifted), the
    discount factor (exp(-r T) of a rate, 1 for undiscounted quotes on a
    forward) and the maturity in years."""
    t = q.maturity
    forward: typing.Any
    if model.spot:
        r = 0.0 if rate is None else rate
        forward = _core._black_scholes_forwards(
            underlying, t, r, 0.0 if dividend is None else dividend)
        factor: typing.Any = _core._discount_factors(r, t)
    else:
        forward = underlying
        factor = (_core._discount_factors(rate, t) if rate is not None else
                  discount if discount is not None else 1.0)
    values = ((q.quote,) if implied else ()) + (forward, factor, t)
    return {name: np.broadcast_to(np.asarray(v, np.float64), (n,)).copy()
            for name, v in zip(audit_columns(implied), values)}


def compute(model: Model, table: Table, *, quote: _Floats | float, implied: bool,
            underlying: _Floats | float, strike: _Floats | float, maturity: _Floats | float,
            is_call: _Flags | bool, rate: _Floats | float | None,
            dividend: _Floats | float | None, discount: _Floats | float | None,
            shift: _Floats | float | None, greeks: bool, parallel: bool,
            schedules: Schedules | None = None) -> dict[str, _Floats]:
    """The result columns of a table: "iv" (from prices) or "price" (from
    volatilities), then the Greeks; NaN where a row has a reason in the table
    (set here from the IVError kind where the batch function rejects it).
    On a forward, the quoted price is the discount factor (exp(-r T) of a
    rate) times the model's price, and the normal model or a shift d
    (Black-76 on F + d and K + d) as the model says; on a spot, rate and
    dividend are 0 where not given, and with `schedules` the rows of each
    group take the european_ (or american_) functions on their dividend
    schedule (one batch call per group, the other rows NaN in it)."""
    n = table.n
    spot = model.spot
    vals = [quote, underlying, strike, maturity]
    if shift is not None:
        vals.append(shift)
    if spot:
        vals += [0.0 if rate is None else rate, 0.0 if dividend is None else dividend]
    for v in vals:
        table.missing(v)
    if discount is not None:
        table.missing(discount)
    skip = table.has.copy()
    fn: typing.Any
    args: list[typing.Any]
    vol: typing.Any
    g: typing.Any

    def clean(v: _Floats | float) -> _Floats | float:
        """NaN where a row is already without a result, so that the batch
        function rejects it too (and nothing is computed from garbage)."""
        if isinstance(v, np.ndarray) and skip.any():
            v = v.copy()
            v[skip] = np.nan
        return v

    flags = np.broadcast_to(np.asarray(is_call, bool), (n,)).copy() if n else np.zeros(0, bool)
    out: dict[str, _Floats] = {}
    # The batch calls made, for the error codes of their rejected rows: the
    # function, its value inputs, its schedule and its rows (None: all).
    calls: list[tuple[typing.Any, list[typing.Any], dict[str, typing.Any], typing.Any]] = []
    if spot:
        for rows, kw in schedules or [(None, {})]:
            inputs: tuple[typing.Any, ...] = (underlying, strike, maturity, vals[4], vals[5])
            if rows is not None:
                # Every other row NaN, so that the group's call rejects it at once.
                skip = table.has | ~rows
                inputs = tuple(np.ascontiguousarray(np.broadcast_to(np.asarray(v, np.float64), (n,)))
                               for v in inputs)
            s, k, t, r, q = (clean(v) for v in inputs)
            kind = "american" if model.american else "european" if kw else "black_scholes"
            if implied:
                p = clean(quote)
                fn = getattr(tarvik, f"{kind}_implied_volatilities")
                args = [p, s, k, t, r, q]
                vol = fn(*args, flags, parallel, **kw)
            else:
                vol = clean(quote)
                fn = getattr(tarvik, f"{kind}_prices")
                args = [s, k, t, r, q, vol]
            all_spot = getattr(tarvik, f"{kind}_greeks")
            g = (all_spot(s, k, t, r, q, vol, flags, parallel, **kw) if (greeks or not implied)
                 else None)
            main = vol if implied else g["price"] if g is not None else fn(*args, flags, **kw)
            columns = {"iv" if implied else "price": main}
            if g is not None and greeks:
                columns.update((name, g[name]) for name in SPOT_GREEKS)
            for name, values in columns.items():
                if rows is None:  # the Greeks are new arrays of n; the main value may be one
                    out[name] = values if name in SPOT_GREEKS else np.broadcast_to(values, (n,)).copy()
                else:
                    out.setdefault(name, np.full(n, np.nan))[rows] = np.broadcast_to(values, (n,))[rows]
            calls.append((fn, args, kw, rows))
    else:
        f, k, t = (clean(v) for v in (underlying, strike, maturity))
        if shift is not None:
            f, k = f + clean(shift), k + clean(shift)
        ivs, prices, all_greeks = (
            (tarvik.bachelier_implied_volatilities, tarvik.bachelier_prices,
             tarvik.bachelier_greeks) if model.normal else
            (tarvik.black_implied_volatilities, tarvik.black_prices, tarvik.black_greeks))
        d: typing.Any = _core._discount_factors(rate, t) if rate is not None else discount
        if d is not None:
            d = clean(d)
            table.fail(~(np.asarray(d) > 0.0), "invalid_input")
        if implied:
            p = clean(quote)
            undiscounted = _core._undiscounted_prices(p, d) if d is not None else p
            fn = ivs
            args = [undiscounted, f, k, t]
            vol = fn(*args, flags, parallel)
        else:
            vol = clean(quote)
            fn = prices
            args = [f, k, t, vol]
        g = all_greeks(f, k, t, vol, flags, parallel) if (greeks or not implied) else None
        scale = 1.0 if d is None else d
        if implied:
            out["iv"] = np.broadcast_to(vol, (n,)).copy()
        else:
            out["price"] = np.broadcast_to(g["price"] * scale, (n,)).copy()
        if g is not None and greeks:
            for name in GREEKS:
                out[name] = np.broadcast_to(g[name] * scale, (n,)).copy()
            if rate is not None:
                out["theta"] = np.broadcast_to(
                    _core._discounted_thetas(g["theta"], g["price"], d, rate), (n,)).copy()
        calls.append((fn, args, {}, None))
    main = out["iv" if implied else "price"]
    for fn, args, kw, rows in calls:
        failed = np.isnan(main) & ~table.has
        if rows is not None:
            failed &= rows
        if failed.any():
            pick = [a[failed] if isinstance(a, np.ndarray) and a.ndim else a for a in args]
            codes = tarvik.error_codes(fn, *pick, flags[failed], **kw)
            kinds = np.array(tarvik.ERROR_KINDS, dtype=object)[codes]
            table.reason[failed] = kinds
            table.has[failed] = codes != 0
    bad = table.has
    for column in out.values():
        column[bad] = np.nan
    return out
