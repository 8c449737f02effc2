# Where the `atomkit` command starts: the command's modules (and NumPy behind them) are
# imported here, so that Ctrl-C while they load ends with one line, as it does later.
"""The entry point of the `atomkit` console script and of `python -m atomkit`."""
from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    try:
        from atomkit._cli import main as run
    except KeyboardInterrupt:
        print("atomkit: interrupted", file=sys.stderr)
        return 130
    return run(argv)
