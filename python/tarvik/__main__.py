"""``python -m tarvik``: the tour, or the ``iv`` and ``price`` commands (see
``python -m tarvik --help`` and tarvik.cli)."""

import sys

from tarvik.cli import main

if __name__ == "__main__":
    sys.exit(main())
