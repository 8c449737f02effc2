# Where the `atomkit` command starts: the command's modules (and NumPy behind them) are
# imported here, so that Ctrl-C while they load ends with one line, as it does later.
"""The entry point of the `atomkit` console script and of `python -m atomkit`."""
from __future__ import annotations

import sys

# The console script imports this module first: Ctrl-C while the command loads lands here, and
# the command then ends as it would later.
try:
    from atomkit.cli.main import main as _run
except KeyboardInterrupt:
    _run = None  # type: ignore[assignment]


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    if _run is None:
        print("atomkit: interrupted", file=sys.stderr)
        return 130
    return _run(argv)
