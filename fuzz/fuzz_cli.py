#!/usr/bin/env python3
"""Fuzzes the command line's reading of a quotes file with atheris: hostile
bytes (after a few bytes that pick the command and its options) go through
python -m tarvik iv/price in memory. A run may end in a one-line failure
(tarvik.cli.Failure); anything else raised is a finding, and so is an output
whose rows are not the input's rows, one for one.

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
           ["--spot-col", "forward"], ["--rate-col", "rate"]]


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    command = fdp.PickValueInList(["iv", "price"])
    argv = [command, *fdp.PickValueInList(OPTIONS), *fdp.PickValueInList(OPTIONS)]
    if command == "price" and "--bid-col" in argv:
        return
    if "--engine" in argv and not cli.importlib.util.find_spec("pyarrow"):
        return
    source = io.BytesIO(fdp.ConsumeBytes(fdp.remaining_bytes()))
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
