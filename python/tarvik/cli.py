"""The command line, ``python -m tarvik``: ``demo`` (the built-in tour, also
run when no command is given; ``--chain`` writes the built-in index chain),
``iv`` (implied volatilities and Greeks of a CSV file of quotes), ``price``
(prices and Greeks from volatilities) and ``surface`` (a smile fitted to
each expiry of a CSV file of quotes, its parameters written as CSV).

``iv`` and ``price`` read a CSV file with a header line and write every line
back, followed by the new fields: the result, the Greeks and ``error`` (empty
where the row has a result, else why not, in the words of ``tarvik.frame``:
an IVError kind of ``tarvik.ERROR_KINDS``, ``ragged_row`` for a line with
more or fewer fields than the header, copied as it came, ``unparsable`` for
a field that is not a number or a date, ``missing_value`` for an empty one,
``unparsable_type``, ``crossed_quote``, ``one_sided_quote`` or ``expired``);
``--audit`` adds what each row was computed from, before ``error``. A result
column that the input already has is left out of the copied line and
written anew, so ``price | iv`` round-trips. Rows pass in chunks, so a file
larger than memory streams through (``--forward parity`` reads the whole
file first). Numbers follow one grammar in both CSV engines: an optional
sign, ASCII digits with an optional point, an optional exponent, or inf,
infinity, nan in any case, with blanks around them ignored. Where pyarrow is
installed (``pip install tarvik[fast]``), Arrow parses the CSV text; the
numbers are written by the extension for both engines, and the output is the
same to the byte.

Failures are those of a Unix tool: one line on standard error naming the
file and line, exit status 1 (2 for a usage error: an unknown option, a
missing column, a missing engine); Ctrl-C exits 130 leaving only complete
lines; a closed output pipe ends the command quietly. Rows without a result
leave the status 0 unless ``--fail-on-error`` or ``--max-failed`` asks for 3.

``surface`` reads the whole file, with iv's column options, into the
Black-76 implied volatilities of ``_pipeline.smile_quotes`` (the mids', and
the bids' and asks'), fits ``tarvik.surface.fit`` to them and writes its
``parameters`` by maturity, an ``error`` column last: empty for a fitted
expiry, the reason for one not fitted (whose other fields but the maturity
are empty). Quotes without a volatility are counted by kind on standard
error, as iv counts rows; the status is 1 where no expiry is fitted, 3 with
``--fail-on-error`` where one is not. ``--plot FILE`` draws the smiles with
``tarvik.plot.smiles``.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.util
import io
import operator
import os
import signal
import sys
import typing

import numpy as np

import tarvik

from . import _core, _pipeline, _quotes
from .demo import INDEX_VALUATION

__all__ = ["main"]

if typing.TYPE_CHECKING:
    import numpy.typing as npt

    _Floats = npt.NDArray[np.float64]
    _Flags = npt.NDArray[np.bool_]

PROG = "python -m tarvik"
UNPARSABLE = _quotes.UNPARSABLE
# Every reason a row can have, in the order of the summary on stderr.
KINDS = tuple(k for k in tarvik.ERROR_KINDS if k) + (
    _quotes.RAGGED_ROW, UNPARSABLE, _quotes.MISSING_VALUE, _quotes.UNPARSABLE_TYPE,
    _quotes.CROSSED_QUOTE, _quotes.ONE_SIDED_QUOTE, _quotes.EXPIRED)
# The csv module's default field limit, kept by both engines.
FIELD_LIMIT = 131072
# What the command line says where the options break a rule of the model
# (_pipeline.RULES; of several, the first here is told).
MODEL_RULES = {
    "discount_on_spot": "--discount-col is for Black-76 (a forward column); the spot model "
                        "discounts with --rate-col",
    "normal_on_spot": "--model normal is on a forward column, not a spot column",
    "american_on_forward": "--exercise american is on a spot column, not a forward column",
    "shift_not_black": "--shift and --shift-col are for Black-76 on a forward column",
    "parity_discounted": "--forward parity gives the discount factor too: drop --rate-col and "
                         "--discount-col",
    "schedule_on_forward": "--dividend-schedule is for the spot model (a spot column)",
}
# The exit statuses, as --help tells them.
SOME_FAILED = 3
EXIT_STATUSES = (
    "exit status: 0 every row has a result (or some rows have none, unless "
    "--fail-on-error or --max-failed says otherwise); 1 no row has a result, or "
    "the input cannot be read or the output written; 2 a usage error (an unknown "
    f"option, a missing column, a missing engine); {SOME_FAILED} more rows without a "
    "result than --fail-on-error or --max-failed allow, every row written; 130 "
    "interrupted (Ctrl-C)")

SURFACE_EXIT_STATUSES = (
    "exit status: 0 an expiry or more fitted (expiries not fitted have their reason in the "
    "error column); 1 no expiry fitted (every line written), or the input cannot be read or "
    "the output written; 2 a usage error (an unknown option, a missing column, an unknown "
    f"smile, a missing matplotlib for --plot); {SOME_FAILED} with --fail-on-error, an expiry "
    "not fitted (every line written); 130 interrupted (Ctrl-C)")


class Failure(Exception):
    """A failure reported as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def parse_args(argv: typing.Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="European option prices, Greeks and implied volatilities of CSV files.")
    parser.add_argument("--version", action="version", version=f"tarvik {tarvik.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{demo,iv,price,surface}")
    demo = commands.add_parser("demo", help="a tour of tarvik on a built-in option chain (the "
                               "default)")
    demo.add_argument("--chain", action="store_true",
                      help="instead of the tour, write the built-in chain of index options "
                      "(bid and ask of calls and puts, eight expiries, valued on "
                      f"{INDEX_VALUATION}) as CSV to standard output, for surface")
    for command, summary in (("iv", "implied volatility and Greeks of each quoted price"),
                             ("price", "price and Greeks of each quoted volatility")):
        sub = commands.add_parser(command, help=summary, epilog=EXIT_STATUSES, description=(
            f"Appends the {summary}, and an error column, to a CSV file. Black-76 on a "
            "forward column (undiscounted, or discounted by --rate-col or --discount-col), "
            "or Black-Scholes-Merton on a spot column with a rate and a dividend yield (0 "
            "where their columns are absent). Units: maturity in years (or ACT/365F from "
            "the valuation date to the expiry); rate, dividend and volatility per year; "
            "theta -dV/dT per year; vega, vanna and vomma per unit of volatility."))
        quote_options(sub, command)
        sub.add_argument("--dividend-schedule", metavar="FILE",
                         help="cash dividends on known dates (spot model; with --exercise american, "
                              "calls with dividend <= min(0, rate) or with dividend > 0 and "
                              "rate >= 0, puts with rate <= min(0, dividend) or with rate > 0 "
                              "and dividend >= 0): a "
                              "CSV file with amount, and ex_date (with --valuation-date) or time "
                              "(years); with an underlying column, per row's underlying")
        sub.add_argument("--underlying-col",
                         help="each row's underlying, for --dividend-schedule (default: "
                              "underlying)")
        sub.add_argument("--model", choices=("black", "normal"), default="black",
                         help="on a forward: Black-76 (the default) or the normal (Bachelier) "
                         "model, forwards and strikes any real, volatility in price units per "
                         "square root of a year")
        sub.add_argument("--exercise", choices=("european", "american"), default="european",
                         help="on a spot column: European (the default) or American exercise "
                         "(some milliseconds a row)")
        shift = sub.add_mutually_exclusive_group()
        shift.add_argument("--shift", type=float, metavar="D",
                           help="Black-76 on a forward: shifted-lognormal quotes, Black-76 on "
                           "F + D and K + D")
        shift.add_argument("--shift-col", help="as --shift, a shift per row")
        sub.add_argument("--no-greeks", action="store_true", help=f"append only the {command}")
        sub.add_argument("--audit", action="store_true",
                         help="append what each row was computed from: "
                         f"{', '.join(_pipeline.audit_columns(command == 'iv'))}")
        failed = sub.add_mutually_exclusive_group()
        failed.add_argument("--fail-on-error", action="store_const", const=0.0,
                            dest="max_failed", help=f"exit with status {SOME_FAILED} if any "
                            "row has no result (after writing every row)")
        failed.add_argument("--max-failed", type=share, metavar="FRACTION",
                            help=f"exit with status {SOME_FAILED} if more than this share of "
                            "the rows (0 to 1) have no result (after writing every row)")
        run_options(sub)
        sub.add_argument("--chunk-rows", type=int, default=100_000, metavar="N",
                         help="rows read at a time (default: %(default)s)")
        engine_option(sub)
    sub = commands.add_parser(
        "surface", help="a volatility surface fitted to the quotes, one smile per expiry",
        epilog=SURFACE_EXIT_STATUSES, description=(
            "Fits a smile to each expiry's Black-76 implied volatilities (those of the mids, "
            "bounded by the bids' and asks' with --bid-col and --ask-col) and writes the "
            "fitted parameters as CSV, a line per expiry by maturity: the columns of "
            "tarvik.surface.Surface.parameters, then error, empty where the expiry is "
            "fitted, else why not (the other fields then empty but the maturity). Quotes are "
            "read as by iv (Black-76 on a forward column, or the spot model; European "
            "exercise); a quote without a volatility stays out, and standard error counts "
            "them by kind."))
    quote_options(sub, "surface")
    sub.add_argument("--smile", help="the smile of each expiry, as tarvik.surface.fit takes it: "
                     "essvi or svi (default: fit's own)")
    sub.add_argument("--plot", metavar="FILE",
                     help="also draw each expiry's quotes (bid/ask bars) and fitted smile to "
                     "FILE (a PNG, SVG or PDF by its extension; needs matplotlib: pip install "
                     "'tarvik[plot]')")
    sub.add_argument("--fail-on-error", action="store_true",
                     help=f"exit with status {SOME_FAILED} if an expiry is not fitted (after "
                     "writing every line)")
    run_options(sub)
    engine_option(sub)
    # What iv reads that surface leaves at iv's defaults.
    sub.set_defaults(model="black", exercise="european", shift=None, shift_col=None,
                     dividend_schedule=None, underlying_col=None, no_greeks=True, audit=True,
                     max_failed=None)
    return parser.parse_args(argv)


def quote_options(sub: argparse.ArgumentParser, command: str) -> None:
    """The input, the output and the columns of the quotes: iv's for surface."""
    sub.add_argument("input", nargs="?", default="-",
                     help="CSV file with a header line; - (the default) for standard input")
    sub.add_argument("-o", "--output", default="-",
                     help="where to write; - (the default) for standard output")
    model = sub.add_mutually_exclusive_group()
    model.add_argument("--forward-col", help="forward column (default: forward): Black-76")
    model.add_argument("--spot-col",
                       help="spot column (default: spot, when there is no forward column)")
    model.add_argument("--forward", choices=("parity",),
                       help="parity: each expiry's forward and discount factor from "
                       "put-call parity over the strikes quoted on both sides" + (
                           "" if command != "price" else " (--price-col, or --bid-col and "
                           "--ask-col: quoted prices beside the volatilities, for the "
                           "fit alone)"))
    if command == "price":
        sub.add_argument("--vol-col", default="vol", help="default: %(default)s")
    quoted = "default: %(default)s" + ("" if command != "price" else
                                       "; read only for --forward parity")
    sub.add_argument("--price-col", default="price", help=quoted)
    sub.add_argument("--bid-col", help="with --ask-col: the mid where there is no price")
    sub.add_argument("--ask-col")
    sub.add_argument("--strike-col", default="strike", help="default: %(default)s")
    sub.add_argument("--maturity-col", help="years (default: maturity)")
    sub.add_argument("--expiry-col", help="expiry dates or timestamps (ISO 8601), with "
                     "--valuation-date or --valuation-col; naive times are UTC")
    valuation = sub.add_mutually_exclusive_group()
    valuation.add_argument("--valuation-date", help="ISO 8601 date or timestamp")
    valuation.add_argument("--valuation-col")
    sub.add_argument("--type-col", default="type",
                     help="call/put, c/p, true/false or 1/0 in any case (default column: "
                     "%(default)s)")
    sub.add_argument("--rate-col", help="the rate (spot model; default: rate), or for "
                     "Black-76 the rate that discounts the price")
    sub.add_argument("--discount-col", help="Black-76: the discount factor of the price")
    sub.add_argument("--dividend-col", help="spot model (default: dividend)")


def run_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--parallel", action="store_true",
                     help="compute on tarvik's worker pool (TARVIK_NUM_THREADS threads, "
                     "else one per CPU)")


def engine_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("--engine", choices=("auto", "python", "pyarrow"), default="auto",
                     help="CSV engine; auto takes pyarrow where installed")


def share(text: str) -> float:
    """A fraction from 0 to 1, for --max-failed."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a fraction from 0 to 1")
    return value


class Columns:
    """The columns a command reads (role -> header index), the result columns
    it writes, and the header fields it copies."""

    def __init__(self, args: argparse.Namespace, header: list[str]) -> None:
        names = [name.strip() for name in header]
        self.args = args
        iv = args.command != "price"  # surface reads the quotes as iv does
        self.parity = args.forward == "parity"
        self.spot = args.spot_col is not None or (
            args.forward_col is None and not self.parity and "forward" not in names
            and "spot" in names)
        self.model = _pipeline.Model(
            spot=self.spot, normal=args.model == "normal",
            shifted=args.shift is not None or bool(args.shift_col),
            american=args.exercise == "american", rate=bool(args.rate_col),
            # On a forward the rate discounts where both are given.
            discount=bool(args.discount_col) and (self.spot or self.parity or not args.rate_col),
            dividend=self.spot and bool(args.dividend_col), parity=self.parity,
            schedule=args.dividend_schedule is not None)
        broken = self.model.broken()
        if broken:
            rule = next((r for r in MODEL_RULES if r in broken), broken[0])
            raise Failure(MODEL_RULES.get(rule, _pipeline.RULES[rule]), 2)
        wanted: list[tuple[str, str]] = [("strike", args.strike_col), ("type", args.type_col)]
        if args.shift_col:
            wanted.append(("shift", args.shift_col))
        self.schedule, per_underlying = read_schedule(args)
        if per_underlying:
            wanted.append(("underlying", args.underlying_col or "underlying"))
        elif args.underlying_col:
            raise Failure("--underlying-col goes with a --dividend-schedule that has an "
                          "underlying column", 2)
        optional: list[tuple[str, str]] = []
        if not self.parity:
            wanted.append(("spot", args.spot_col or "spot") if self.spot else
                          ("forward", args.forward_col or "forward"))
        # price reads quoted prices only for a parity fit.
        if (iv or self.parity) and (args.bid_col or args.ask_col) and \
                args.price_col not in names:
            if not (args.bid_col and args.ask_col):
                raise Failure("give both --bid-col and --ask-col", 2)
            wanted += [("bid", args.bid_col), ("ask", args.ask_col)]
        elif iv or self.parity:
            wanted.append(("price", args.price_col))
        if not iv:
            wanted.append(("vol", args.vol_col))
        if args.expiry_col:
            if not (args.valuation_date or args.valuation_col):
                raise Failure("--expiry-col needs --valuation-date or --valuation-col", 2)
            wanted.append(("expiry", args.expiry_col))
            if args.valuation_col:
                wanted.append(("valuation", args.valuation_col))
        else:
            wanted.append(("maturity", args.maturity_col or "maturity"))
        if self.spot:
            for role, given in (("rate", args.rate_col), ("dividend", args.dividend_col)):
                (wanted if given else optional).append((role, given or role))
        elif args.rate_col:
            wanted.append(("rate", args.rate_col))
        elif args.discount_col:
            wanted.append(("discount", args.discount_col))
        missing = [name for _, name in wanted if name not in names]
        if missing:
            raise Failure(f"no column {', '.join(missing)} in the header ({', '.join(names)})", 2)
        self.index: dict[str, int] = {
            role: names.index(name) for role, name in wanted + optional if name in names}
        self.width = len(names)
        self.valuation_us: int | None = None
        if args.expiry_col and args.valuation_date:
            self.valuation_us = _quotes.timestamp_us(args.valuation_date)
            if self.valuation_us is None:
                raise Failure(f"--valuation-date {args.valuation_date!r} is not an ISO 8601 "
                              "date or timestamp", 2)
        self.added = [*self.model.result_columns(iv, not args.no_greeks),
                      *(_pipeline.audit_columns(iv) if args.audit else ()), "error"]
        # Result columns already in the input: left out of the copied lines.
        self.dropped = [i for i, name in enumerate(names) if name in self.added]
        self.header = header


# ---- reading ---------------------------------------------------------------

def read_schedule(args: argparse.Namespace) -> tuple[
        dict[typing.Any, tuple[_Floats, _Floats]] | None, bool]:
    """The dividends of --dividend-schedule by underlying (None: one schedule
    for every row), and whether the file names underlyings."""
    if args.dividend_schedule is None:
        return None, False
    try:
        with open(args.dividend_schedule, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise Failure(f"--dividend-schedule: {e}", 2) from None
    fields = {name.strip() for name in (rows[0].keys() if rows else ())}
    if "amount" not in fields or not fields & {"ex_date", "time"}:
        raise Failure("--dividend-schedule: a header with amount, and ex_date or time", 2)
    valuation = None
    if "time" not in fields:
        valuation = _quotes.timestamp_us(args.valuation_date) if args.valuation_date else None
        if valuation is None:
            raise Failure("--dividend-schedule with ex_date needs --valuation-date", 2)
    by_key: dict[typing.Any, list[tuple[float, float]]] = {}
    for line, row in enumerate(rows, start=2):
        row = {k.strip(): (v or "").strip() for k, v in row.items() if k is not None}
        try:
            amount = float(row["amount"])
            if valuation is None:
                when = float(row["time"])
            else:
                us = _quotes.timestamp_us(row["ex_date"])
                if us is None:
                    raise ValueError(row["ex_date"])
                when = float(_quotes.year_fraction(us, valuation))
        except ValueError as e:
            raise Failure(f"--dividend-schedule line {line}: not a number or date: {e}", 2) \
                from None
        by_key.setdefault(row.get("underlying"), []).append((when, amount))
    per_underlying = "underlying" in fields
    return {key: (np.array([t for t, _ in v]), np.array([a for _, a in v]))
            for key, v in by_key.items()}, per_underlying

class Lines:
    """The lines of a binary source as text without line ends, blank ones
    left out, a chunk at a time; a line that is not UTF-8 or holds a field
    over FIELD_LIMIT characters is a Failure naming its line number."""

    BLOCK = 1 << 20  # bytes asked of the source at a time

    def __init__(self, source: typing.BinaryIO, name: str) -> None:
        self.source = source
        self.name = name
        self.read = 0  # raw lines read so far
        self.first = 1  # the number of the first line of the last chunk
        # Read but not yet taken: pending[at:]. read1 returns what one read of
        # the source gives, so that a pipe's lines pass as they come.
        self.pending, self.at, self.ended = b"", 0, False
        self.read_some = getattr(source, "read1", None) or source.read

    def take(self, rows: int) -> bytes:
        """The bytes of the next `rows` raw lines, line ends included (fewer
        at the end of the input, whose last line may have no line end)."""
        parts, found = [], 0
        while True:
            end, count = line_end(self.pending, self.at, rows - found)
            found += count
            if end >= 0:
                parts.append(self.pending[self.at:end])
                self.at = end
                break
            parts.append(self.pending[self.at:])
            self.pending, self.at = b"" if self.ended else self.read_some(self.BLOCK), 0
            if not self.pending:
                self.ended = True
                break
        data = b"".join(parts)
        self.first = self.read + 1
        self.read += found + (not data.endswith(b"\n") and bool(data))
        return data

    def plain(self, data: bytes) -> tuple[bytes, npt.NDArray[np.intp]] | None:
        """Lines taken that need none of chunk()'s care (UTF-8 without a
        carriage return, no blank line, none over FIELD_LIMIT characters),
        ended by a line end each, and the offset of each line end; else None."""
        if not data or b"\r" in data:
            return None
        if not data.isascii():
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                return None
        if not data.endswith(b"\n"):
            data += b"\n"
        ends = np.flatnonzero(np.frombuffer(data, np.uint8) == 10)
        spans = np.diff(ends, prepend=-1)  # each line's length and its line end
        if spans.min() == 1 or spans.max() > FIELD_LIMIT + 1:  # a blank or a long line
            return None
        return data, ends

    def chunk(self, rows: int) -> list[str]:
        return self.lines_of(self.take(rows))

    def lines_of(self, data: bytes) -> list[str]:
        """The lines of bytes just taken, as chunk() gives them."""
        if not data:
            return []
        first = self.first
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            line = first + data.count(b"\n", 0, e.start)
            raise Failure(f"{self.name}: line {line}: not UTF-8 text ({e.reason})") from None
        lines = text.split("\n")
        if lines and not lines[-1]:
            lines.pop()
        for j, long_line in enumerate(lines if max(map(len, lines), default=0) > FIELD_LIMIT
                                      else ()):
            if len(long_line) > FIELD_LIMIT:
                try:
                    fields = next(csv.reader([long_line]))
                except csv.Error:
                    fields = [long_line]
                if max(map(len, fields)) > FIELD_LIMIT:
                    raise Failure(f"{self.name}: line {first + j}: a field larger than "
                                  f"{FIELD_LIMIT} characters")
        stripped = [line[:-1] if line.endswith("\r") else line for line in lines] if (
            "\r" in text) else lines
        self.stripped = stripped
        return list(filter(None, stripped))

    def number(self, j: int) -> int:
        """The line number of line j of the last chunk (blank lines counted)."""
        for i, line in enumerate(self.stripped):
            j -= bool(line)
            if j < 0:
                return self.first + i
        return self.first + len(self.stripped)

    def rows(self, lines: list[str]) -> list[list[str]]:
        """The fields of lines of the last chunk; a line that the csv module
        cannot read (a carriage return inside a field, a quoted field that
        spans lines) is a Failure naming it."""
        try:
            rows = list(csv.reader(lines))
        except csv.Error:
            rows = []
        if len(rows) == len(lines):
            return rows
        for j, line in enumerate(lines):
            try:
                if len(list(csv.reader([line]))) != 1:
                    raise csv.Error("a quoted field spans lines, which is not supported")
            except csv.Error as e:
                raise Failure(f"{self.name}: line {self.number(j)}: {e}") from None
        raise Failure(f"{self.name}: a quoted field spans lines, which is not supported")


def line_end(data: bytes, start: int, k: int) -> tuple[int, int]:
    """The offset just past the k-th line end of data from start (-1 if it
    has fewer), and the number of line ends found."""
    if k <= 1000:
        end = start
        for found in range(k):
            j = data.find(b"\n", end)
            if j < 0:
                return -1, found
            end = j + 1
        return end, k
    count = data.count(b"\n", start)
    if count < k:
        return -1, count
    ends = np.flatnonzero(np.frombuffer(data, np.uint8)[start:] == 10)
    return start + int(ends[k - 1]) + 1, k


def text_columns(lines: list[str], columns: Columns, engine: str,
                 reader: Lines) -> dict[str, typing.Any]:
    """The text of each column read: role -> a tuple of str, or an Arrow array
    of strings from the pyarrow engine; and the fields of each line when
    result columns are to be left out (else None)."""
    present = columns.index
    if engine == "pyarrow" and not columns.dropped:
        try:
            return arrow_text_columns("\n".join(lines).encode(), len(lines), present,
                                      columns.width)
        except ValueError:  # a row with its own field count: read it as Python does
            pass
    if not columns.dropped:
        fields = split_fields(lines, columns.width)
        if fields is not None:
            return {role: tuple(fields[i::columns.width]) for role, i in present.items()}
    rows = reader.rows(lines)
    given = rows
    # A row of another width than the header's: none of its fields is read.
    ragged = np.fromiter(map(len, rows), np.intp, len(rows)) != columns.width
    if ragged.any():
        blank = [""] * columns.width
        rows = [blank if r else row for row, r in zip(rows, ragged.tolist())]
    texts: dict[str, typing.Any] = {
        role: tuple(map(operator.itemgetter(i), rows)) for role, i in present.items()}
    texts["_ragged"] = ragged
    if columns.dropped:
        texts["_rows"] = given
    return texts


def split_fields(lines: list[str], width: int) -> list[str] | None:
    """The fields of lines, row after row, where each line splits at its
    commas as the csv module reads it (no quote, NUL or carriage return) into
    exactly `width` fields; else None."""
    text = "\n".join(lines)
    if '"' in text or "\0" in text or "\r" in text:
        return None
    if text.count(",") != len(lines) * (width - 1) or set(
            map(operator.methodcaller("count", ","), lines)) != {width - 1}:
        return None
    return text.replace("\n", ",").split(",")


def arrow_text_columns(data: bytes, rows: int, present: dict[str, int],
                       width: int) -> dict[str, typing.Any]:
    """The columns read by Arrow from the bytes of `rows` lines; ValueError
    where Arrow reads another number of rows or a row of another width."""
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.csv as pa_csv  # type: ignore[import-untyped,import-not-found,unused-ignore]

    names = [str(i) for i in range(width)]
    wanted = sorted(set(present.values()))  # a column may serve two roles
    table = pa_csv.read_csv(
        pa.BufferReader(data),
        read_options=pa_csv.ReadOptions(column_names=names),
        parse_options=pa_csv.ParseOptions(newlines_in_values=False),
        convert_options=pa_csv.ConvertOptions(
            include_columns=[names[i] for i in wanted],
            column_types={names[i]: pa.string() for i in wanted},
            strings_can_be_null=False, quoted_strings_can_be_null=False))
    if table.num_rows != rows:
        raise ValueError("rows and lines differ")
    return {role: table.column(names[i]) for role, i in present.items()}


NUMBER_BYTES = b"0123456789.eE+-"


def only_number_bytes(texts: typing.Any) -> bool:
    """Whether an Arrow string column has no null and no byte but digits,
    points, signs and exponent marks."""
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]

    for chunk in getattr(texts, "chunks", [texts]):
        if chunk.type != pa.string() or chunk.null_count:
            return False
        _, offsets_buffer, data_buffer = chunk.buffers()
        if not len(chunk) or data_buffer is None:
            continue  # no field, or only empty ones (which the cast refuses)
        start = chunk.offset
        offsets = np.frombuffer(offsets_buffer, np.int32)[start:start + len(chunk) + 1]
        text = memoryview(data_buffer)[offsets[0]:offsets[-1]].tobytes()
        if text.translate(None, NUMBER_BYTES):  # a byte left that is none of them
            return False
    return True


class ReadColumn(typing.NamedTuple):
    """A column of plain lines already read as numbers, and its first field."""

    values: _Floats
    bad: _Flags
    empty: _Flags
    first: str


def plain_columns(data: bytes, ends: npt.NDArray[np.intp],
                  columns: Columns) -> dict[str, typing.Any] | None:
    """The columns of plain lines (Lines.plain) that split at their commas as
    the csv module reads them (no quote or NUL, `width` fields each), the
    number columns read by the extension at once; else None."""
    if b'"' in data or b"\0" in data:
        return None
    n, width = len(ends), columns.width
    commas = np.flatnonzero(np.frombuffer(data, np.uint8) == 44)
    if len(commas) != n * (width - 1) or (width > 1 and not np.array_equal(
            np.searchsorted(commas, ends), np.arange(1, n + 1) * (width - 1))):
        return None
    # Every field, row after row, one per line: each comma a line end.
    values, kinds = _core._csv_numbers(data[:-1].replace(b",", b"\n"))
    text = data.decode()
    ascii_text = len(text) == len(data)  # offsets in bytes are offsets in text
    bounds = np.empty((n, width + 1), np.intp)
    bounds[:, 0] = np.concatenate([[-1], ends[:-1]])
    bounds[:, 1:-1] = commas.reshape(n, width - 1)
    bounds[:, -1] = ends
    out: dict[str, typing.Any] = {}
    for role, i in columns.index.items():
        if role in ("type", "expiry", "valuation", "underlying"):
            starts, stops = (bounds[:, i] + 1).tolist(), bounds[:, i + 1].tolist()
            out[role] = tuple(map(text.__getitem__, map(slice, starts, stops))) if ascii_text \
                else tuple(data[a:b].decode() for a, b in zip(starts, stops))
        else:
            kind = kinds[i::width]
            out[role] = ReadColumn(values[i::width].copy(), kind == 1, kind == 2,
                                   data[bounds[0, i] + 1:bounds[0, i + 1]].decode())
    return out


def numbers(texts: typing.Any) -> tuple[_Floats, _Flags, _Flags]:
    """The numbers of a column by the extension's grammar; where a field is
    not a number, and where it is empty (NaN in both)."""
    if isinstance(texts, ReadColumn):
        return texts.values, texts.bad, texts.empty
    if not len(texts):
        return np.zeros(0), np.zeros(0, bool), np.zeros(0, bool)
    if not isinstance(texts, tuple):
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]

        # Over digits, point, signs and exponent marks alone, Arrow's cast
        # refuses exactly the fields outside the grammar (every such string
        # of up to six characters checked) and reads the same values.
        if only_number_bytes(texts):
            with contextlib.suppress(pa.ArrowInvalid):
                none = np.zeros(len(texts), bool)
                return arrow_numpy(pc.cast(texts, pa.float64()), np.float64), none, none
        data = arrow_lines(texts)
    else:
        data = "\n".join(texts).encode()
    # The extension reads the fields, one a line (a field holds no line feed:
    # lines are split at them).
    values, kinds = _core._csv_numbers(data)
    return values, kinds == 1, kinds == 2


def arrow_lines(texts: typing.Any) -> bytes:
    """The fields of an Arrow string column without nulls (as the engine
    reads them), one a line, without the last line end."""
    parts = []
    for chunk in getattr(texts, "chunks", [texts]):
        if not len(chunk):
            continue
        _, offsets_buffer, data_buffer = chunk.buffers()
        start = chunk.offset
        offsets = np.frombuffer(offsets_buffer, np.int32)[start:start + len(chunk) + 1]
        data = (np.frombuffer(data_buffer, np.uint8)[offsets[0]:offsets[-1]]
                if data_buffer is not None else np.zeros(0, np.uint8))
        parts.append(np.insert(data, offsets[1:-1] - offsets[0], 10).tobytes())
    return b"\n".join(parts)


# Arrow arrays to and from NumPy through their buffers. (pyarrow's own
# conversions, and its compute functions given Python scalars, import pandas
# where it is installed, which takes longer than a chunk of rows.)

def arrow_numpy(values: typing.Any, dtype: typing.Any,
                fill: typing.Any = np.nan) -> npt.NDArray[typing.Any]:
    """The values of a fixed-width Arrow array or chunked array, `fill` where
    null."""
    parts = []
    for chunk in getattr(values, "chunks", [values]):
        validity, data = chunk.buffers()[:2]
        start, n = chunk.offset, len(chunk)
        part = np.frombuffer(data, dtype, start + n)[start:] if n else np.zeros(0, dtype)
        if chunk.null_count:
            valid = np.unpackbits(np.frombuffer(validity, np.uint8), bitorder="little")
            part = np.where(valid[start:start + n].astype(bool), part, fill).astype(dtype)
        parts.append(part)
    return np.concatenate(parts) if parts else np.zeros(0, dtype)


def arrow_strings(texts: list[str]) -> typing.Any:
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]

    encoded = [t.encode() for t in texts]
    offsets = np.zeros(len(texts) + 1, np.int32)
    np.cumsum([len(b) for b in encoded], out=offsets[1:])
    return pa.StringArray.from_buffers(len(texts), pa.py_buffer(offsets),
                                       pa.py_buffer(b"".join(encoded)))


def option_types(texts: typing.Any) -> npt.NDArray[np.int8]:
    """1 call, 0 put, 2 neither, per row."""
    if not isinstance(texts, tuple):
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]

        words = list(_quotes.SPELLINGS)
        where = pc.index_in(texts, value_set=arrow_strings(words))
        index = arrow_numpy(where, np.int32, len(words))
        out: npt.NDArray[np.int8] = np.array([*_quotes.SPELLINGS.values(), 2], np.int8)[index]
        other = np.flatnonzero(out == 2)
        if other.size:  # numbers such as 1.0, read as the python engine reads them
            out[other] = _quotes.option_type_codes(texts.take(pa.array(other)).to_pylist())
        return out
    return _quotes.option_type_codes(texts)


def column_text(texts: typing.Any) -> list[str]:
    if isinstance(texts, ReadColumn):
        return [texts.first]
    return list(texts) if isinstance(texts, tuple) else texts.to_pylist()


# ---- computing -------------------------------------------------------------

class Chunk:
    """The columns of a chunk of rows as the pipeline reads them
    (_pipeline.Source): all read before it runs, so that a row's faults in
    reading come before the reasons the pipeline finds; but the faults of
    `later` (role -> where, what) are told when the pipeline reads the role."""

    def __init__(self, table: _quotes.Table, values: dict[str, typing.Any],
                 codes: npt.NDArray[np.int8], dates: tuple[typing.Any, typing.Any],
                 later: dict[str, list[tuple[_Flags, str]]]) -> None:
        self.n, self.table, self.values, self.codes, self.times = table.n, table, values, codes, dates
        self.later = later

    def maturity(self) -> _Floats | None:
        return self.values.get("maturity")

    def dates(self) -> tuple[typing.Any, typing.Any]:
        return self.times

    def is_call(self) -> _Flags:
        flags: _Flags = self.codes == 1
        return flags

    def bid_ask(self) -> tuple[_Floats, _Floats] | None:
        return (self.values["bid"], self.values["ask"]) if "bid" in self.values else None

    def number(self, role: str) -> _Floats:
        for where, reason in self.later.pop(role, ()):
            self.table.fail(where, reason)
        return self.values[role]  # type: ignore[no-any-return]

    def optional(self, role: str) -> typing.Any:
        return self.values.get(role)


def read(n: int, columns: Columns, texts: dict[str, typing.Any], name: str,
         first_chunk: bool) -> Chunk:
    """The columns of a chunk of n rows, with the reason of each row whose
    fields cannot be read."""
    table = _quotes.Table(n)
    ragged = texts.get("_ragged")
    if ragged is not None:
        table.fail(ragged, _quotes.RAGGED_ROW)
    codes = option_types(texts["type"])
    table.fail(codes == _quotes.NOT_A_TYPE, _quotes.UNPARSABLE_TYPE)
    table.fail(codes == _quotes.NO_TYPE, _quotes.MISSING_VALUE)
    values: dict[str, typing.Any] = {}
    # Pricing on parity forwards, the quoted prices serve the fit alone (the
    # pipeline tells which rows it leaves out, giving them no reason), and
    # the volatility's faults wait for the pipeline to read it, after the
    # prices, so that a bad volatility keeps no quote out of the fit.
    fit_only = columns.parity and columns.args.command == "price"
    later: dict[str, list[tuple[_Flags, str]]] = {}
    for role in columns.index:
        if role in ("type", "expiry", "valuation", "underlying"):
            continue
        values[role], bad, empty = numbers(texts[role])
        if first_chunk and n and bad.all():
            sample = column_text(texts[role])[0]
            hint = " (dates? give --expiry-col)" if role == "maturity" else ""
            raise Failure(f"{name}: column {columns.header[columns.index[role]].strip()!r} "
                          f"holds no numbers (line 2: {sample!r}){hint}")
        if fit_only and role in ("price", "bid", "ask"):
            continue
        faults = [(bad, UNPARSABLE)]
        if role not in ("bid", "ask"):  # a missing side is a one-sided quote
            faults.append((empty, _quotes.MISSING_VALUE))
        if fit_only and role == "vol":
            later[role] = faults
        else:
            for where, reason in faults:
                table.fail(where, reason)
    if columns.args.shift is not None:
        values["shift"] = columns.args.shift
    dates: tuple[typing.Any, typing.Any] = (None, None)
    if "expiry" in columns.index:
        expiry, bad, empty = _quotes.timestamps_us(column_text(texts["expiry"]))
        if first_chunk and n and (bad | empty).all():
            raise Failure(f"{name}: column {columns.args.expiry_col!r} holds no dates "
                          f"(line 2: {column_text(texts['expiry'])[0]!r})")
        table.fail(bad, UNPARSABLE)
        table.fail(empty, _quotes.MISSING_VALUE)
        if "valuation" in columns.index:
            valuation, bad, empty = _quotes.timestamps_us(column_text(texts["valuation"]))
            table.fail(bad, UNPARSABLE)
            table.fail(empty, _quotes.MISSING_VALUE)
        else:
            valuation = columns.valuation_us  # type: ignore[assignment]
        dates = (expiry, valuation)
    return Chunk(table, values, codes, dates, later)


def compute(n: int, columns: Columns, texts: dict[str, typing.Any], name: str,
            first_chunk: bool, parallel: bool) -> tuple[list[_Floats], _quotes.Table]:
    """The new columns of a chunk of n rows (the result, then the Greeks) and
    the reason of each row without a result."""
    chunk = read(n, columns, texts, name, first_chunk)
    schedules = None
    if columns.schedule is not None:
        keys = column_text(texts["underlying"]) if "underlying" in columns.index else None
        if keys is not None:
            keys = [k.strip() for k in keys]
        schedules = _pipeline.group_schedules(keys, n, columns.schedule)
    out = _pipeline.run(columns.model, chunk, implied=columns.args.command == "iv",
                        greeks=not columns.args.no_greeks, parallel=parallel,
                        audit=columns.args.audit, schedules=schedules)
    ragged = texts.get("_ragged")
    if columns.args.audit and ragged is not None and ragged.any():
        for values in out.values():  # nothing of a ragged row was read
            values[ragged] = np.nan
    return list(out.values()), chunk.table


# ---- writing ---------------------------------------------------------------

def formatted(lines: list[str], results: list[_Floats], error: typing.Any,
              parallel: bool = False) -> bytes:
    """The output lines (UTF-8): each input line, then the new fields, each
    number written as repr() writes it (empty for NaN), then the error. The
    numbers are written by the extension, a whole chunk at once, for both
    engines."""
    if not lines:
        return b""
    table = np.column_stack(results).ravel() if len(results) > 1 else results[0]
    numbers = _core._csv_rows(table, len(results), parallel).decode("ascii").split("\n")
    return ("\n".join(map(",".join, zip(lines, numbers, error.tolist()))) + "\n").encode()


def plain_formatted(data: bytes, ends: npt.NDArray[np.intp], results: list[_Floats],
                    table: _quotes.Table, parallel: bool = False) -> bytearray:
    """The output lines of plain input lines (data, line ends at `ends`), as
    formatted() writes them: written by the extension around the input lines
    as they lie, for both engines."""
    n, k = len(ends), len(results)
    # The new fields and an empty error field; a row without a result has
    # only empty numbers (compute() sees to it), then its reason.
    values = np.column_stack([*results, np.full(n, np.nan)]).ravel()
    after = None
    if table.has.any():
        parts, done = [], 0
        for i, reason in zip(np.flatnonzero(table.has).tolist(),
                             table.reason[table.has].tolist()):
            parts.append(b"\n" * (i - done) + reason.encode() + b"\n")
            done = i + 1
        parts.append(b"\n" * (n - done))
        after = b"".join(parts)
    return _core._csv_rows(values, k + 1, parallel, data, after)


# ---- the commands ----------------------------------------------------------

def without_dropped(rows: list[list[str]], dropped: list[int]) -> list[str]:
    """The lines of rows with the fields at `dropped` left out."""
    keep = set(dropped)
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerows([[f for i, f in enumerate(row) if i not in keep] for row in rows])
    return buffer.getvalue().split("\n")[:-1]


def write_whole(sink: typing.BinaryIO, data: typing.Any) -> None:
    """Writes data at once, with Ctrl-C held back until it is written (so the
    output holds only complete lines)."""
    block = hasattr(signal, "pthread_sigmask")
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT}) if block else None
    try:
        view = memoryview(data)
        while view:  # a raw file may take part of it
            view = view[sink.write(view) or 0:]
    finally:
        if block:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)  # type: ignore[arg-type]


def engine_of(args: argparse.Namespace) -> str:
    """The CSV engine that --engine chooses: pyarrow or python."""
    engine: str = args.engine
    if engine == "auto":
        engine = "pyarrow" if importlib.util.find_spec("pyarrow") else "python"
    elif engine == "pyarrow" and not importlib.util.find_spec("pyarrow"):
        raise Failure("--engine pyarrow needs pyarrow: pip install 'tarvik[fast]'", 2)
    return engine


def read_header(lines: Lines, name: str) -> tuple[str, list[str]]:
    """The header line and its fields."""
    first = lines.chunk(1)
    if not first:
        raise Failure(f"{name}: the input is empty")
    header = first[0].lstrip("\ufeff")  # a byte order mark is no part of a name
    return header, lines.rows([header])[0]


def chunk_columns(lines: Lines, data: bytes, columns: Columns, engine: str) -> tuple[
        dict[str, typing.Any], tuple[bytes, npt.NDArray[np.intp]] | None, list[str]]:
    """The text of each column of the lines `data` just taken (role -> see
    text_columns, plain_columns), and either the plain lines and their ends
    (Lines.plain), or None and the lines as text."""
    # Plain lines go to the reader and back out as bytes, never as Python
    # strings; the python engine reads their number columns at once.
    plain = lines.plain(data) if not columns.dropped else None
    texts: dict[str, typing.Any] | None = None
    if plain is not None and engine == "pyarrow":
        with contextlib.suppress(ValueError):
            texts = arrow_text_columns(plain[0], len(plain[1]), columns.index, columns.width)
    elif plain is not None:
        texts = plain_columns(*plain, columns)
        if texts is None:
            plain = None
    chunk: list[str] = []
    if texts is None:
        plain = None
        chunk = lines.lines_of(data)
        texts = text_columns(chunk, columns, engine, lines) if chunk else {}
    return texts, plain, chunk


def convert(args: argparse.Namespace, source: typing.BinaryIO, sink: typing.BinaryIO,
            name: str, out_name: str, progress: Progress) -> dict[str, int]:
    """Runs `iv` or `price` from source to sink; the count of rows by kind."""
    engine = engine_of(args)
    lines = Lines(source, name)
    header, header_fields = read_header(lines, name)
    columns = Columns(args, header_fields)
    if columns.dropped:
        header = without_dropped([header_fields], columns.dropped)[0]
    counts: dict[str, int] = {}
    rows = max(args.chunk_rows, 1) if not columns.parity else sys.maxsize
    chunk_no = 0
    while True:
        data = lines.take(rows)
        if not data and chunk_no:  # the end of the input (a chunk may be only blank lines)
            break
        texts, plain, chunk = chunk_columns(lines, data, columns, engine)
        n = len(plain[1]) if plain is not None else len(chunk)
        if n:
            results, table = compute(n, columns, texts, name, chunk_no == 0, args.parallel)
        else:
            results, table = [], _quotes.Table(0)
        if plain is not None:
            text: bytes | bytearray = plain_formatted(*plain, results, table, args.parallel)
        else:
            copied = without_dropped(texts.pop("_rows"), columns.dropped) if "_rows" in texts \
                else chunk
            if "_ragged" in texts and columns.dropped:  # a ragged row's line as it came
                for i in np.flatnonzero(texts["_ragged"]).tolist():
                    copied[i] = chunk[i]
            error = np.full(n, "", dtype=object)
            error[table.has] = table.reason[table.has]
            text = formatted(copied, results, error, args.parallel)
        head = (",".join([header, *columns.added]) + "\n").encode() if chunk_no == 0 else b""
        try:
            if head:
                write_whole(sink, head)
            write_whole(sink, text)
        except BrokenPipeError:
            raise
        except OSError as e:
            quiet_stdout()
            raise Failure(f"{out_name}: {e.strerror} (writing the rows of {name} up to line "
                          f"{lines.read})") from None
        failed = int(table.has.sum())
        counts["ok"] = counts.get("ok", 0) + n - failed
        if failed:
            for kind in table.reason[table.has].tolist():
                counts[kind] = counts.get(kind, 0) + 1
        progress.update(n)
        chunk_no += 1
        if not data:
            break
    progress.close()
    return counts


class Progress:
    """Rows done (and the share of the file read) on stderr, if a terminal."""

    def __init__(self, source: typing.BinaryIO) -> None:
        self.show = sys.stderr.isatty()
        self.rows = 0
        self.raw = source
        try:
            self.size = os.fstat(source.fileno()).st_size
        except (OSError, ValueError, io.UnsupportedOperation):
            self.size = 0

    def update(self, rows: int) -> None:
        self.rows += rows
        if self.show:
            share = ""
            if self.size and self.raw.seekable():
                share = f" {min(self.raw.tell() / self.size, 1.0):6.1%}"
            sys.stderr.write(f"\r{self.rows:,} rows{share}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.show and self.rows:
            sys.stderr.write("\n")


def open_files(args: argparse.Namespace, files: contextlib.ExitStack) -> tuple[
        typing.BinaryIO, typing.BinaryIO, str, str]:
    """The input and the output, and their names in messages."""
    name = "<stdin>" if args.input == "-" else args.input
    out_name = "<stdout>" if args.output == "-" else args.output
    try:
        source = sys.stdin.buffer if args.input == "-" else files.enter_context(
            open(args.input, "rb"))
    except OSError as e:
        raise Failure(f"{name}: {e.strerror}") from None
    try:
        # Unbuffered: what is written is in the file, and a failed write
        # is not tried again on closing.
        if args.output == "-":
            sink = getattr(sys.stdout.buffer, "raw", sys.stdout.buffer)
        else:
            sink = files.enter_context(open(args.output, "wb", buffering=0))
    except OSError as e:
        raise Failure(f"{out_name}: {e.strerror}") from None
    return source, sink, name, out_name


def run(args: argparse.Namespace) -> int:
    if args.command == "surface":
        return run_surface(args)
    with contextlib.ExitStack() as files:
        source, sink, name, out_name = open_files(args, files)
        try:
            counts = convert(args, source, sink, name, out_name, Progress(source))
        except BrokenPipeError:
            raise
        except OSError as e:
            raise Failure(f"{e.filename or name}: {e.strerror}") from None
    ok = counts.pop("ok", 0)
    total = ok + sum(counts.values())
    kinds = ", ".join(f"{counts[k]:,} {k}" for k in KINDS if k in counts)
    if total and not ok:
        raise Failure(f"{name}: no row has a result ({kinds})")
    failed = sum(counts.values())
    if counts:
        sys.stderr.write(f"{PROG} {args.command}: {failed:,} of"
                         f" {total:,} rows without a result: {kinds}\n")
    if args.max_failed is not None and failed > args.max_failed * total:
        return SOME_FAILED
    return 0


# ---- surface ---------------------------------------------------------------

def smile_quotes(args: argparse.Namespace, source: typing.BinaryIO, name: str) -> tuple[
        Chunk, dict[str, _Floats]]:
    """The quotes of the whole input as iv reads them, and their columns of
    _pipeline.smile_quotes."""
    lines = Lines(source, name)
    columns = Columns(args, read_header(lines, name)[1])
    texts, plain, chunk = chunk_columns(lines, lines.take(sys.maxsize), columns, engine_of(args))
    n = len(plain[1]) if plain is not None else len(chunk)
    if not n:
        raise Failure(f"{name}: no quotes after the header")
    quotes = read(n, columns, texts, name, True)
    return quotes, _pipeline.smile_quotes(columns.model, quotes, parallel=args.parallel)


def parameter_lines(fitted: typing.Any) -> bytes:
    """The CSV lines of a surface's parameters, a line per fitted expiry and
    per expiry not fitted, by maturity, and the error column."""
    table = fitted.parameters
    names = list(table)
    lines: list[tuple[float, list[str]]] = []
    for i, t in enumerate(table["maturity"].tolist()):
        lines.append((t, [str(int(v[i])) if v.dtype.kind in "iu" else
                          repr(float(v[i])) if np.isfinite(v[i]) else ""
                          for v in table.values()] + [""]))
    for t, reason in fitted.failures.items():
        lines.append((t, [repr(float(t)) if name == "maturity" else "" for name in names]
                      + [reason]))
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow([*names, "error"])
    writer.writerows(fields for _, fields in sorted(lines, key=operator.itemgetter(0)))
    return buffer.getvalue().encode()


def run_surface(args: argparse.Namespace) -> int:
    if args.plot:
        if not importlib.util.find_spec("matplotlib"):
            raise Failure("--plot needs matplotlib: pip install 'tarvik[plot]'", 2)
        from matplotlib.figure import Figure  # type: ignore[import-not-found,unused-ignore]

        kind = os.path.splitext(args.plot)[1][1:].lower()
        if kind and kind not in Figure().canvas.get_supported_filetypes():
            raise Failure(f"--plot {args.plot}: matplotlib writes no .{kind} files", 2)
    with contextlib.ExitStack() as files:
        source, sink, name, out_name = open_files(args, files)
        try:
            quotes, vols = smile_quotes(args, source, name)
        except OSError as e:
            raise Failure(f"{e.filename or name}: {e.strerror}") from None
        try:
            fitted = _pipeline.fit_surface(quotes, vols, smile=args.smile)
        except ValueError as e:  # an unknown smile, told before anything is written
            if args.smile is None:
                raise
            raise Failure(f"--smile: {e}", 2) from None
        try:
            write_whole(sink, parameter_lines(fitted))
        except BrokenPipeError:
            raise
        except OSError as e:
            quiet_stdout()
            raise Failure(f"{out_name}: {e.strerror}") from None
    if args.plot:
        from . import plot

        figure = plot.smiles(fitted, {"strike": quotes.number("strike"), "iv": vols["iv"], **{
            name: vols[name] for name in ("bid_iv", "ask_iv", "used_maturity")}})
        try:
            figure.savefig(args.plot)
        except OSError as e:
            raise Failure(f"{args.plot}: {e.strerror}") from None
    table = quotes.table
    counts = {kind: int(np.sum(table.reason[table.has] == kind)) for kind in KINDS}
    kinds = ", ".join(f"{count:,} {kind}" for kind, count in counts.items() if count)
    if kinds:
        sys.stderr.write(f"{PROG} surface: {int(table.has.sum()):,} of {table.n:,} quotes "
                         f"without a volatility: {kinds}\n")
    expiries = len(fitted.maturities) + len(fitted.failures)
    if fitted.failures:
        sys.stderr.write(f"{PROG} surface: {len(fitted.failures)} of {expiries} expiries not "
                         "fitted (their error field says why)\n")
    if not len(fitted.maturities):
        raise Failure(f"{name}: no expiry fitted")
    return SOME_FAILED if args.fail_on_error and fitted.failures else 0


def quiet_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's last
    flush of a closed pipe or a full disk says nothing more."""
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: typing.Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.command in (None, "demo") and not getattr(args, "chain", False):
        from . import demo

        demo.main()
        return 0
    try:
        if args.command == "demo":
            from . import demo

            demo.write_index_chain(sys.stdout)
            sys.stdout.flush()
            return 0
        return run(args)
    except Failure as e:
        sys.stderr.write(f"{PROG} {args.command}: {e}\n")
        return e.status
    except BrokenPipeError:  # the reader stopped early (| head): end quietly, as cat does
        quiet_stdout()
        return 141
    except KeyboardInterrupt:
        return 130
