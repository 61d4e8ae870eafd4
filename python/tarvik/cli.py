"""The command line, ``python -m tarvik``: ``demo`` (the built-in tour, also
run when no command is given), ``iv`` (implied volatilities and Greeks of a
CSV file of quotes) and ``price`` (prices and Greeks from volatilities).

``iv`` and ``price`` read a CSV file with a header line and write every line
back as it was, followed by the new fields. Rows pass in chunks, so a file
larger than memory streams through. A row without a result gets empty new
fields, and standard error counts such rows by kind: the IVError kinds of
``tarvik.ERROR_KINDS``, or "unparsable" for a field that is not a number (as
``float()`` reads it) or an option type. Where pyarrow is installed
(``pip install tarvik[fast]``), Arrow parses the CSV text and formats the
numbers, about three times faster, and the output is the same to the byte.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.util
import inspect
import io
import operator
import os
import sys
import typing
from itertools import islice, repeat

import numpy as np

import tarvik

__all__ = ["main"]

if typing.TYPE_CHECKING:
    import numpy.typing as npt

    _Floats = npt.NDArray[np.float64]
    _Flags = npt.NDArray[np.bool_]

GREEKS = ("delta", "gamma", "vega", "theta", "vanna", "vomma")
SPOT_GREEKS = GREEKS + ("rho", "dividend_rho")
# Error code of a row with a field that cannot be read, after tarvik's own.
UNPARSABLE = len(tarvik.ERROR_KINDS)
KINDS = tarvik.ERROR_KINDS + ("unparsable",)
# The function of each command, by model (spot or not).
MAIN: dict[tuple[str, bool], typing.Callable[..., _Floats]] = {
    ("iv", False): tarvik.implied_volatilities,
    ("iv", True): tarvik.black_scholes_implied_volatilities,
    ("price", False): tarvik.black_prices,
    ("price", True): tarvik.black_scholes_prices,
}
OPTION_TYPES = {name: is_call for is_call, names in (
    (1, ("call", "Call", "CALL", "c", "C", "1")),
    (0, ("put", "Put", "PUT", "p", "P", "0"))) for name in names}


def parse_args(argv: typing.Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m tarvik",
        description="European option prices, Greeks and implied volatilities of CSV files.")
    parser.add_argument("--version", action="version", version=f"tarvik {tarvik.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{demo,iv,price}")
    commands.add_parser("demo", help="a tour of tarvik on a built-in option chain (the default)")
    for command, summary in (("iv", "implied volatility and Greeks of each quoted price"),
                             ("price", "price and Greeks of each quoted volatility")):
        sub = commands.add_parser(command, help=summary, description=(
            f"Appends the {summary} to a CSV file. Black-76 (undiscounted) on a forward "
            "column, or Black-Scholes-Merton on a spot column with a rate and a dividend "
            "yield (0 where their columns are absent). Units: maturity in years; rate, "
            "dividend and volatility per year; theta -dV/dT per year; vega, vanna and "
            "vomma per unit of volatility."))
        sub.add_argument("input", nargs="?", default="-",
                         help="CSV file with a header line; - (the default) for standard input")
        sub.add_argument("-o", "--output", default="-",
                         help="where to write; - (the default) for standard output")
        model = sub.add_mutually_exclusive_group()
        model.add_argument("--forward-col", help="forward column (default: forward): Black-76")
        model.add_argument("--spot-col",
                           help="spot column (default: spot, when there is no forward column)")
        if command == "iv":
            sub.add_argument("--price-col", default="price", help="default: %(default)s")
        else:
            sub.add_argument("--vol-col", default="vol", help="default: %(default)s")
        sub.add_argument("--strike-col", default="strike", help="default: %(default)s")
        sub.add_argument("--maturity-col", default="maturity", help="default: %(default)s")
        sub.add_argument("--type-col", default="type",
                         help="call/put, c/p, C/P or 1/0 (default column: %(default)s)")
        sub.add_argument("--rate-col", default="rate", help="spot model (default: %(default)s)")
        sub.add_argument("--dividend-col", default="dividend",
                         help="spot model (default: %(default)s)")
        sub.add_argument("--no-greeks", action="store_true", help=f"append only the {command}")
        sub.add_argument("--parallel", action="store_true",
                         help="compute on tarvik's worker pool (RAYON_NUM_THREADS threads, else"
                         " one per CPU)")
        sub.add_argument("--chunk-rows", type=int, default=100_000, metavar="N",
                         help="rows read at a time (default: %(default)s)")
        sub.add_argument("--engine", choices=("auto", "python", "pyarrow"), default="auto",
                         help="CSV engine; auto takes pyarrow where installed")
    return parser.parse_args(argv)


class Columns:
    """The columns a command reads: role -> header index (None: absent, use 0)."""

    def __init__(self, args: argparse.Namespace, header: list[str]) -> None:
        names = [name.strip() for name in header]
        self.spot = args.spot_col is not None or (
            args.forward_col is None and "forward" not in names and "spot" in names)
        underlying = ("spot", args.spot_col or "spot") if self.spot else (
            "forward", args.forward_col or "forward")
        quote = ("price", args.price_col) if args.command == "iv" else ("vol", args.vol_col)
        wanted = [quote, underlying, ("strike", args.strike_col),
                  ("maturity", args.maturity_col), ("type", args.type_col)]
        optional = [("rate", args.rate_col), ("dividend", args.dividend_col)] if self.spot else []
        missing = [name for _, name in wanted if name not in names]
        if missing:
            raise SystemExit(f"python -m tarvik {args.command}: no column {', '.join(missing)}"
                             f" in the header ({', '.join(names)})")
        self.index: dict[str, int | None] = {
            role: names.index(name) if name in names else None for role, name in wanted + optional}
        self.width = len(names)


# ---- reading ---------------------------------------------------------------

def text_columns(lines: list[str], columns: Columns, engine: str) -> dict[str, typing.Any]:
    """The text of each column that is present: role -> a tuple of str, or an
    Arrow array of strings from the pyarrow engine."""
    present = {role: i for role, i in columns.index.items() if i is not None}
    if engine == "pyarrow":
        try:
            return arrow_text_columns(lines, present, columns.width)
        except ValueError:  # a row with its own field count: read it as Python does
            pass
    rows = list(csv.reader(lines))
    if len(rows) != len(lines):
        raise SystemExit("python -m tarvik: a quoted field spans lines, which is not supported")
    need = max(present.values()) + 1
    if min(map(len, rows)) < need:
        rows = [row + [""] * (need - len(row)) for row in rows]
    return dict(zip(present, zip(*map(operator.itemgetter(*present.values()), rows))))


def arrow_text_columns(lines: list[str], present: dict[str, int],
                       width: int) -> dict[str, typing.Any]:
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.csv as pa_csv  # type: ignore[import-untyped,import-not-found,unused-ignore]

    names = [str(i) for i in range(width)]
    table = pa_csv.read_csv(
        io.BytesIO("\n".join(lines).encode()),
        read_options=pa_csv.ReadOptions(column_names=names),
        convert_options=pa_csv.ConvertOptions(
            include_columns=[names[i] for i in present.values()],
            column_types={names[i]: pa.string() for i in present.values()}))
    if table.num_rows != len(lines):
        raise ValueError("rows and lines differ")
    return {role: table.column(names[i]) for role, i in present.items()}


def numbers(texts: typing.Any) -> tuple[_Floats, _Flags | None]:
    """The numbers and, if any field was not one, where (those are NaN)."""
    if not isinstance(texts, tuple):
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]

        try:
            return texts.cast(pa.float64()).to_numpy(), None
        except pa.ArrowInvalid:  # Arrow reads fewer spellings than float(): ask float()
            texts = tuple(texts.to_pylist())
    try:
        return np.array(list(map(float, texts)), dtype=np.float64), None
    except ValueError:
        values = [number(text) for text in texts]
        bad = np.array([value is None for value in values], dtype=bool)
        return np.array([np.nan if v is None else v for v in values], dtype=np.float64), bad


def number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


def option_types(texts: typing.Any) -> tuple[_Flags, _Flags]:
    """is_call per row, and the rows whose type is none of OPTION_TYPES."""
    if not isinstance(texts, tuple):
        texts = texts.to_pylist()
    codes = np.fromiter(map(OPTION_TYPES.get, map(str.strip, texts), repeat(2)), np.int8,
                        len(texts))
    return codes == 1, codes == 2


# ---- computing -------------------------------------------------------------

def compute(command: str, columns: Columns, values: dict[str, typing.Any], is_call: _Flags,
            greeks: bool, parallel: bool) -> tuple[list[_Floats], npt.NDArray[np.int8]]:
    """The new columns of a chunk, and the error code of each row."""
    spot = columns.spot
    market = [values.get(role, 0.0) for role in (
        ("spot", "strike", "maturity", "rate", "dividend") if spot else
        ("forward", "strike", "maturity"))]
    main = MAIN[command, spot]
    args = [values["price"], *market] if command == "iv" else [*market, values["vol"]]
    result = main(*args, is_call, parallel)
    failed = np.isnan(result)
    codes = np.zeros(len(result), np.int8)
    if failed.any():
        codes[failed] = tarvik.error_codes(
            main, *[a[failed] if isinstance(a, np.ndarray) else a for a in args],
            is_call[failed])
    vol = result if command == "iv" else values["vol"]
    results = [result]
    for greek in (SPOT_GREEKS if spot else GREEKS) if greeks else ():
        function = getattr(tarvik, ("black_scholes_" if spot else "") + greek + "s")
        flag = [is_call] if "is_call" in inspect.signature(function).parameters else []
        results.append(function(*market, vol, *flag, parallel=parallel))
    return results, codes


# ---- writing ---------------------------------------------------------------

def formatted(lines: list[str], results: list[_Floats], engine: str) -> str:
    """The output lines: each input line, then the new fields (empty for NaN),
    each number written as repr() writes it."""
    if engine == "pyarrow":
        return arrow_formatted(lines, results)
    fields = []
    for column in results:
        texts = list(map(repr, column.tolist()))
        for i in np.flatnonzero(np.isnan(column)).tolist():
            texts[i] = ""
        fields.append(texts)
    return "".join(map("{}\n".format, map(",".join, zip(lines, *fields))))


def arrow_formatted(lines: list[str], results: list[_Floats]) -> str:
    import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]

    fields = [pa.array(lines, pa.string())]
    for column in results:
        nan = np.isnan(column)
        texts = pa.array(column, mask=nan).cast(pa.string())
        # Arrow writes the shortest digits that read back, as repr() does, but
        # picks plain or exponent notation by other rules and drops a ".0":
        # take repr() where Arrow's text is not a plain decimal fraction or
        # repr() would write an exponent (below 1e-4).
        plain = pc.and_(pc.match_substring(texts, "."), pc.invert(pc.match_substring(texts, "e")))
        other = ~nan & ~pc.fill_null(plain, True).to_numpy(zero_copy_only=False)
        other |= ~nan & (np.abs(column) < 1e-4)
        if other.any():
            texts = pc.replace_with_mask(texts, pa.array(other),
                                         pa.array(list(map(repr, column[other].tolist()))))
        fields.append(texts)
    joined = pc.binary_join_element_wise(*fields, ",", null_handling="replace",
                                         null_replacement="")
    whole = pa.ListArray.from_arrays(pa.array([0, len(joined)], pa.int32()), joined)
    return str(pc.binary_join(whole, "\n")[0].as_py()) + "\n"


# ---- the commands ----------------------------------------------------------

def convert(args: argparse.Namespace, source: typing.TextIO, sink: typing.TextIO,
            progress: Progress) -> dict[str, int]:
    """Runs `iv` or `price` from source to sink; the count of rows by kind."""
    engine = args.engine
    if engine == "auto":
        engine = "pyarrow" if importlib.util.find_spec("pyarrow") else "python"
    # The lines without their line ends, blank ones left out.
    lines = filter(None, map(operator.methodcaller("rstrip", "\r\n"), source))
    header = next(lines, "").lstrip("\ufeff")  # a byte order mark is no part of a name
    if not header:
        raise SystemExit(f"python -m tarvik {args.command}: the input is empty")
    columns = Columns(args, next(csv.reader([header])))
    added = ["iv" if args.command == "iv" else "price"]
    added += list(SPOT_GREEKS if columns.spot else GREEKS) * (not args.no_greeks)
    sink.write(",".join([header, *added]) + "\n")
    counts = np.zeros(len(KINDS), np.int64)
    while True:
        chunk = list(islice(lines, max(args.chunk_rows, 1)))
        if not chunk:
            break
        texts = text_columns(chunk, columns, engine)
        is_call, unparsable = option_types(texts.pop("type"))
        values = {}
        for role, text in texts.items():
            values[role], bad = numbers(text)
            if bad is not None:
                unparsable |= bad
        results, codes = compute(args.command, columns, values, is_call,
                                 not args.no_greeks, args.parallel)
        codes[unparsable] = UNPARSABLE
        for column in results:
            column[unparsable] = np.nan
        sink.write(formatted(chunk, results, engine))
        counts += np.bincount(codes, minlength=len(KINDS))
        progress.update(len(chunk))
    progress.close()
    return {kind or "ok": int(n) for kind, n in zip(KINDS, counts) if n}


class Progress:
    """Rows done (and the share of the file read) on stderr, if a terminal."""

    def __init__(self, source: typing.TextIO) -> None:
        self.show = sys.stderr.isatty()
        self.rows = 0
        self.raw = getattr(source, "buffer", None)
        try:
            self.size = os.fstat(source.fileno()).st_size
        except (OSError, ValueError, io.UnsupportedOperation):
            self.size = 0

    def update(self, rows: int) -> None:
        self.rows += rows
        if self.show:
            share = ""
            if self.size and self.raw is not None and self.raw.seekable():
                share = f" {min(self.raw.tell() / self.size, 1.0):6.1%}"
            sys.stderr.write(f"\r{self.rows:,} rows{share}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.show and self.rows:
            sys.stderr.write("\n")


def run(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as files:
        source = sys.stdin if args.input == "-" else files.enter_context(
            open(args.input, encoding="utf-8", newline=""))
        sink = sys.stdout if args.output == "-" else files.enter_context(
            open(args.output, "w", encoding="utf-8", newline=""))
        counts = convert(args, source, sink, Progress(source))
    ok = counts.pop("ok", 0)
    if counts:
        kinds = ", ".join(f"{n:,} {kind}" for kind, n in counts.items())
        sys.stderr.write(f"python -m tarvik {args.command}: {sum(counts.values()):,} of"
                         f" {ok + sum(counts.values()):,} rows without a result: {kinds}\n")
    return 0


def main(argv: typing.Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.command in (None, "demo"):
        from . import demo

        demo.main()
        return 0
    try:
        return run(args)
    except BrokenPipeError:  # the reader stopped early (| head): not an error
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
