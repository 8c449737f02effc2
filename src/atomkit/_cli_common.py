# What every command of `atomkit` shares: its exit statuses, and how it prints a line of
# output or a one-line message about a file it could not read.
"""Exit statuses, printing and error texts of the atomkit command."""
from __future__ import annotations

import sys
from typing import TYPE_CHECKING, TextIO

from atomkit._compression import READ_ERRORS

if TYPE_CHECKING:
    from atomkit._cli_progress import Progress

# Exit statuses.
SOUND, BAD, TROUBLE = 0, 1, 2


class Unreadable(Exception):
    """A file that cannot be opened or read to its end; the message is one line for the user."""


def shown(text: str) -> str:
    """`text` as it may be printed to any UTF-8 stream, strict ones included: the bytes of
    a file name that are not UTF-8 (which Python holds as surrogate escapes) become `\\xNN`."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a lone surrogate no file name decodes to
        raw = text.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace")


def say(text: str, stream: TextIO | None = None) -> None:
    """Prints a line of output or a message (standard output by default)."""
    print(shown(text), file=stream or sys.stdout)


def reason(error: BaseException) -> str:
    """What went wrong, for the end of a one-line message."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, (*READ_ERRORS, ValueError)):
        return getattr(error, "strerror", None) or str(error)
    return f"{type(error).__name__}: {error}"


def report_unreadable(error: Unreadable, progress: Progress) -> None:
    progress.clear()
    say(f"atomkit: {error}", sys.stderr)
