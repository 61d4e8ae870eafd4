#!/usr/bin/env python3
"""Fuzzes the command line's reading of a quotes file with atheris: hostile
bytes go through python -m tarvik iv/price in memory. An input's first two
bytes pick the command and two groups of options (OPTIONS), the rest is the
file, so that the seed corpus (fuzz/corpus/cli, written by
fuzz/cli_seeds.py) holds readable quote files: a header of every mode and a
few rows, from which mutations reach the batch functions. A run may end in a
one-line failure (tarvik.cli.Failure); anything else raised is a finding,
and so is an output whose rows are not the input's rows, one for one.

  python fuzz_cli.py [libFuzzer options] [corpus directories]
"""

import io
import sys
import warnings

import atheris

with atheris.instrument_imports(include=["tarvik"]):
    from tarvik import _quotes, cli  # noqa: F401

OPTIONS = [[], ["--no-greeks"], ["--engine", "pyarrow"], ["--chunk-rows", "2"],
           ["--bid-col", "bid", "--ask-col", "ask"], ["--expiry-col", "maturity",
                                                      "--valuation-date", "2026-01-02"],
           ["--spot-col", "forward"], ["--rate-col", "rate"], ["--audit"],
           ["--rate-col", "forward", "--engine", "pyarrow"]]


def arguments(first, second):
    """The command line the two leading bytes pick: the command from the low
    bit of the first, a group of options from the rest of each."""
    return ["price" if first & 1 else "iv", *OPTIONS[(first >> 1) % len(OPTIONS)],
            *OPTIONS[second % len(OPTIONS)]]


def one_input(data):
    if len(data) < 2:
        return
    argv = arguments(data[0], data[1])
    if "--engine" in argv and not cli.importlib.util.find_spec("pyarrow"):
        return
    source = io.BytesIO(data[2:])
    sink = io.BytesIO()
    try:
        args = cli.parse_args(argv)
        cli.convert(args, source, sink, "fuzz.csv", "out.csv", cli.Progress(source))
    except cli.Failure:
        return
    except SystemExit as e:  # argparse: only for option pairs that exclude each other
        if e.code == 2:
            return
        raise
    lines = [line for line in source.getvalue().decode().split("\n")
             if line.removesuffix("\r")]
    out = sink.getvalue().decode().split("\n")
    if out[-1] != "" or len(out) - 1 != len(lines):
        raise RuntimeError(f"{len(lines)} input lines, {len(out) - 1} output lines")


def main():
    warnings.simplefilter("ignore")
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    sys.exit(main())
