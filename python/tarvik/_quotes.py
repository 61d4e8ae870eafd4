"""What a quote table means: the reading of option types and dates, the
ACT/365F year fraction, the mid of a bid/ask quote, the pairs of put-call
parity (their line is fitted by the core, ``_core._parity_line``), and the
table of each row's reason for having no result. The path
from a table's columns to its results (``_pipeline``), ``tarvik.frame``
(DataFrames) and the command line sit on it; numbers in text are read by the
extension (``_core._csv_numbers``).
"""

from __future__ import annotations

import datetime as _dt
import typing
from itertools import repeat

import numpy as np

from . import _core

if typing.TYPE_CHECKING:
    import numpy.typing as npt

    _Floats = npt.NDArray[np.float64]
    _Flags = npt.NDArray[np.bool_]

GREEKS = ("delta", "gamma", "vega", "theta", "vanna", "vomma")
SPOT_GREEKS = GREEKS + ("rho", "dividend_rho")

# The layer's own reasons for a row without a result, beside IVError kinds;
# the first that applies to a row is its reason. An empty field (or a null)
# is missing_value in every column; a field that holds something unreadable
# is unparsable (unparsable_type in the option type's column).
RAGGED_ROW = "ragged_row"
UNPARSABLE = "unparsable"
UNPARSABLE_TYPE = "unparsable_type"
MISSING_VALUE = "missing_value"
CROSSED_QUOTE = "crossed_quote"
ONE_SIDED_QUOTE = "one_sided_quote"
EXPIRED = "expired"

CALLS = frozenset(("c", "call", "1", "true"))
PUTS = frozenset(("p", "put", "0", "false"))

MICROSECONDS_PER_YEAR = 365 * 86_400 * 1_000_000  # ACT/365F

# The common spellings, read without a function call each.
SPELLINGS = {text: code for code, words in ((1, CALLS), (0, PUTS)) for word in words
              for text in (word, word.upper(), word.capitalize())}


# What option_type_codes gives besides 1 (a call) and 0 (a put).
NOT_A_TYPE = 2
NO_TYPE = 3


def option_type_codes(values: typing.Sequence[typing.Any]) -> npt.NDArray[np.int8]:
    """1 for a call, 0 for a put (bools, 1/0, and the strings c/p, call/put,
    1/0, true/false in any case, blanks ignored), NO_TYPE for an empty value
    (None, NaN, a blank string), NOT_A_TYPE for anything else."""
    try:
        out = np.fromiter(map(SPELLINGS.get, values, repeat(4)), np.int8, len(values))
    except TypeError:  # an unhashable value
        out = np.full(len(values), 4, np.int8)
    for i in np.flatnonzero(out == 4).tolist():
        out[i] = option_type_code(values[i])
    return out


def option_type_code(v: typing.Any) -> int:
    if isinstance(v, (bool, np.bool_)):
        return int(bool(v))
    if isinstance(v, str):
        s = v.strip().lower()
        return 1 if s in CALLS else 0 if s in PUTS else NOT_A_TYPE if s else NO_TYPE
    if v is None:
        return NO_TYPE
    try:
        f = float(v)
    except (TypeError, ValueError):
        return NO_TYPE if is_empty(v) else NOT_A_TYPE
    return 1 if f == 1.0 else 0 if f == 0.0 else NO_TYPE if f != f else NOT_A_TYPE


def is_empty(value: typing.Any) -> bool:
    """Whether a value stands for nothing: None, a blank string, or a value
    unequal to itself (NaN, NaT, pandas' NA)."""
    if value is None or (isinstance(value, str) and not value.strip()):
        return True
    try:
        return bool(value != value)
    except (TypeError, ValueError):  # pandas' NA has no truth value
        return True


def timestamp_us(value: typing.Any) -> int | None:
    """Microseconds since 1970-01-01 UTC of a date (its midnight), a naive
    timestamp (taken as UTC), an aware one (converted), or the ISO 8601 text
    of one; None for anything else."""
    if isinstance(value, str):
        text = value.strip()
        if not text:
            return None
        try:
            value = _dt.datetime.fromisoformat(text.replace("Z", "+00:00"))
        except ValueError:
            return None
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            return None
        return int(value.astype("datetime64[us]").astype(np.int64))
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        delta = value - _dt.datetime(1970, 1, 1)
        return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds
    if isinstance(value, _dt.date):
        return (value - _dt.date(1970, 1, 1)).days * 86_400 * 1_000_000
    return None


def timestamps_us(values: typing.Sequence[typing.Any]
                  ) -> tuple[npt.NDArray[np.int64], _Flags, _Flags]:
    """timestamp_us of each value (each distinct value read once), where one
    is unreadable, and where one is empty (is_empty); 0 at both."""
    out = np.zeros(len(values), np.int64)
    bad = np.zeros(len(values), bool)
    seen: dict[typing.Any, int | None] = {}
    for i, v in enumerate(values):
        try:
            t = seen[v] if v in seen else seen.setdefault(v, timestamp_us(v))
        except TypeError:  # unhashable
            t = timestamp_us(v)
        if t is None:
            bad[i] = True
        else:
            out[i] = t
    empty = np.zeros(len(values), bool)
    for i in np.flatnonzero(bad).tolist():
        empty[i] = is_empty(values[i])
    return out, bad & ~empty, empty


def year_fraction(expiry_us: npt.NDArray[np.int64] | int,
                  valuation_us: npt.NDArray[np.int64] | int) -> _Floats:
    """ACT/365F years from valuation to expiry, to the microsecond."""
    diff = np.asarray(expiry_us, np.int64) - np.asarray(valuation_us, np.int64)
    return np.asarray(diff / MICROSECONDS_PER_YEAR, np.float64)


def mid(bid: _Floats, ask: _Floats) -> tuple[_Floats, _Flags, _Flags]:
    """(bid + ask)/2, the crossed quotes (bid > ask) and the one-sided ones
    (a side missing or zero)."""
    one_sided = ~(bid != 0.0) | ~(ask != 0.0) | np.isnan(bid) | np.isnan(ask)
    crossed = ~one_sided & (bid > ask)
    return (bid + ask) * 0.5, crossed, one_sided


def parity(maturity: _Floats, strike: _Floats, price: _Floats, is_call: _Flags
           ) -> tuple[_Floats, _Floats, _Floats, npt.NDArray[np.int64], _Floats, npt.NDArray[np.intp]]:
    """Forward F and discount factor D of each distinct maturity from put-call
    parity C - P = D (F - K): a least-squares line through C - P against K
    over the strikes quoted on both sides (several quotes of one strike and
    type are averaged). Returns the maturities, F, D, the number of strikes
    used, the root-mean-square residual, and each row's maturity index."""
    keys, row_group = np.unique(maturity, return_inverse=True)
    usable = np.isfinite(price) & np.isfinite(strike) & np.isfinite(maturity)
    g = len(keys)
    forward = np.full(g, np.nan)
    discount = np.full(g, np.nan)
    pairs = np.zeros(g, np.int64)
    residual = np.full(g, np.nan)
    for j in range(g):
        rows = usable & (row_group == j)
        sides = []
        for side in (True, False):
            sel = rows & (is_call == side)
            ks, inv = np.unique(strike[sel], return_inverse=True)
            sums = np.bincount(inv, weights=price[sel], minlength=len(ks))
            sides.append(dict(zip(ks.tolist(), (sums / np.bincount(inv, minlength=len(ks))).tolist())))
        both = sorted(sides[0].keys() & sides[1].keys())
        pairs[j] = len(both)
        if len(both) < 2:
            continue
        k = np.array(both)
        y = np.array([sides[0][s] - sides[1][s] for s in both])
        forward[j], discount[j], residual[j] = _core._parity_line(k, y)
    return keys, forward, discount, pairs, residual, row_group


class Table:
    """A quote table's reason why each row has no result (None where it has
    one, and `has` False there)."""

    def __init__(self, n: int) -> None:
        self.n = n
        self.reason = np.full(n, None, dtype=object)
        self.has = np.zeros(n, bool)

    def fail(self, where: _Flags | bool, reason: str) -> None:
        """Gives rows without a reason yet this one."""
        mask = np.broadcast_to(np.asarray(where, bool), (self.n,)) & ~self.has
        if mask.any():
            self.reason[mask] = reason
            self.has |= mask

    def missing(self, values: _Floats | float) -> None:
        self.fail(np.isnan(values), MISSING_VALUE)
