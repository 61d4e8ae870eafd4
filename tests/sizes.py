"""How many cases the tests that draw many take: the suite's bounded sample,
or with TARVIK_TEST_FULL=1 the full size their measured figures come from
(the accuracy sweeps ten times over; the American domain table's
monotonicity check at every hundredth of the table instead of ten of its
options), some ten minutes more than the suite:

  TARVIK_TEST_FULL=1 PYTHONPATH=build/pkg python3 -m pytest -q tests
"""

import os

FULL = os.environ.get("TARVIK_TEST_FULL") == "1"


def sample(bounded, full):
    return full if FULL else bounded
