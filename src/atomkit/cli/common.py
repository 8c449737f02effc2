# What every command of `atomkit` shares: its exit statuses, and how it prints a line of
# output or a one-line message about a file it could not read.
"""Exit statuses, printing and error texts of the atomkit command."""
from __future__ import annotations

import os
import sys
from typing import TextIO

from atomkit.base.compression import READ_ERRORS

# Exit statuses.
SOUND, BAD, TROUBLE = 0, 1, 2
# The name that stands for standard input (and, as OUT of convert, standard output).
STDIN = "-"
# The forms a stream's compression is named by (--input-format, --output-format).
FORMATS = ("xyz", "gz", "bz2", "xz")


class Unreadable(Exception):
    """A file that cannot be opened or read to its end; the message is one line for the
    user. `opening`: it could not even be opened (or its form is one not read here)."""

    def __init__(self, message: str, opening: bool = False):
        super().__init__(message)
        self.opening = opening


def label(path: str) -> str:
    """How messages name the file `path`."""
    return "<stdin>" if path == STDIN else path


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


def quiet_stdout() -> None:
    """Sends what is left to print to nowhere: the reader of our output went away, and
    output still buffered would otherwise fail again when the interpreter exits."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):  # no descriptor of its own (a test's capture)
        pass
