#!/usr/bin/env python3
"""Fuzzes every function of tarvik._core with atheris (the calls and their
judgement are in calls.py). tools/fuzz.sh runs it on the sanitized build:

  python fuzz_calls.py [libFuzzer options] [corpus directories]
  python fuzz_calls.py --explain FILE...   # each input as the Python program it runs
  python fuzz_calls.py --last FILE         # the same for the input that was running

While it fuzzes, each input is kept in the file named by TARVIK_FUZZ_LAST
(length, then bytes) before it runs, so that an input that kills the process
outright (a sanitizer report, a signal) can still be shown afterwards.
"""

import hashlib
import mmap
import os
import sys
import warnings

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["calls"]):
    import calls

KEPT = 1 << 20  # longest input kept


def read_last(path):
    with open(path, "rb") as f:
        raw = f.read()
    return raw[4:4 + int.from_bytes(raw[:4], "little")]


def main():
    if sys.argv[1:2] == ["--explain"]:
        for path in sys.argv[2:]:
            with open(path, "rb") as f:
                print(f"# {path}\n{calls.explain(f.read())}\n")
        return
    if sys.argv[1:2] == ["--last"]:
        print(calls.explain(read_last(sys.argv[2])))
        return

    prefix = next((a.split("=", 1)[1] for a in sys.argv if a.startswith("-artifact_prefix=")), "./")
    keep = None
    if os.environ.get("TARVIK_FUZZ_LAST"):
        with open(os.environ["TARVIK_FUZZ_LAST"], "wb") as f:
            f.truncate(4 + KEPT)
        with open(os.environ["TARVIK_FUZZ_LAST"], "r+b") as f:
            keep = mmap.mmap(f.fileno(), 4 + KEPT)

    def one_input(data):
        if keep is not None:
            data = data[:KEPT]
            keep[:4 + len(data)] = len(data).to_bytes(4, "little") + data
        try:
            calls.run(data)
        except calls.Finding as finding:  # ends the run at once, with the program
            path = f"{prefix}finding-{hashlib.sha1(data).hexdigest()}"
            with open(path, "wb") as f:
                f.write(data)
            print(f"\n=== disallowed outcome ({path}): {finding}", file=sys.stderr, flush=True)
            os._exit(3)

    warnings.simplefilter("ignore")
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
