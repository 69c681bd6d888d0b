"""``python -m halvec``: the command line of :mod:`halvec.cli`, the same program as the
``halvec`` console script."""

import sys

from halvec.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main(prog="python -m halvec"))
