"""The grammar of numbers in CSV text, written apart from the extension's
reader as a regular expression: the oracle of tests/test_cli.py and
fuzz/calls.py."""

import re

# The number grammar of both CSV engines: an optional sign, ASCII digits
# with an optional point, an optional exponent, or inf/infinity/nan in any
# case, with blanks around. float() alone would also take "1_0" and
# non-ASCII digits.
NUMBER = re.compile(
    r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))",
    re.ASCII)


def number(text):
    """The value of a CSV field (blanks and tabs around it ignored), or None."""
    text = text.strip(" \t")
    return float(text) if NUMBER.fullmatch(text) else None
