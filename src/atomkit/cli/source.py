# An input file of the `atomkit` command (or standard input, `-`): opened and decompressed by
# suffix or --input-format, read in chunks, and whatever stops its reading turned into one line.
"""Source: a file the atomkit command reads."""
from __future__ import annotations

import errno
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from atomkit.base import compression
from atomkit.base.compression import READ_ERRORS
from atomkit.base.files import LineTooLong
from atomkit.base.frame import Frame
from atomkit.cli.common import FORMATS, STDIN, Unreadable, label, reason
from atomkit.reading.api import Facts, checked, iread


class _Counted:
    """Standard input, read as it comes (no seeking), with a count of the bytes taken: a
    pipe has no position of its own. Closing it leaves standard input open."""

    name = label(STDIN)

    def __init__(self) -> None:
        if sys.stdin is None:  # started with its descriptor closed
            raise OSError(errno.EBADF, "there is no standard input")
        self._raw, self.count = sys.stdin.buffer, 0

    def read(self, size: int = -1) -> bytes:
        # read1 returns what has arrived, so frames are checked as they come down a pipe.
        data = self._raw.read1(size)
        self.count += len(data)
        return data

    def head(self) -> bytes:
        return self._raw.peek(8)[:8]

    def tell(self) -> int:
        return self.count

    def close(self) -> None:
        pass


def opener_of(form: str | None) -> Any:
    """What opens a stream in the form named by --input-format or --output-format (xyz,
    gz, bz2 or xz; none given is xyz): `open` for plain text, else the standard library's."""
    return open if form in (None, "xyz") else compression.opener(f"{STDIN}.{form}")


class Source:
    """An input file: `stream` is what the reader parses (decompressed by suffix, read in
    chunks, so memory stays flat whatever the file's size) and `position()` the bytes of
    the file itself read so far. `-` is standard input, decompressed as `form` says."""

    def __init__(self, path: str, form: str | None = None):
        self.path, self.kind = label(path), ""
        self._raw: Any
        try:
            self._raw = _Counted() if path == STDIN else open(path, "rb")  # noqa: SIM115 (closed in close())
            self.size = 0 if path == STDIN else os.fstat(self._raw.fileno()).st_size
        except OSError as error:
            raise Unreadable(f"{self.path}: {reason(error)}", opening=True) from None
        try:
            opener = self._opener(path, form)
        except Unreadable:
            self._raw.close()
            raise
        if opener is not open:
            self.kind = f".{form}" if path == STDIN else os.path.splitext(path)[1].lower()
        self.stream: Any = self._raw if opener is open else opener(self._raw, "rb")

    def _opener(self, path: str, form: str | None) -> Any:
        """What decompresses the file: its suffix says, or for standard input `form`.
        Unreadable for a compressed form not read here, and for compressed standard input
        read as plain, which would only give a bad count line."""
        try:
            if path != STDIN:
                return compression.opener(path)
            opener = opener_of(form)
            found = compression.kind("", self._raw.head()) if opener is open else None
        except ValueError as error:
            raise Unreadable(str(error), opening=True) from None
        except OSError as error:
            raise Unreadable(f"{self.path}: {reason(error)}", opening=True) from None
        if found is not None:
            form = next((form for form in FORMATS if compression.kind(f"{STDIN}.{form}") == found), None)
            advice = f"give --input-format {form}" if form else "atomkit does not read it; decompress it first"
            raise Unreadable(f"{self.path}: the data is compressed ({found}): {advice}", opening=True)
        return opener

    def position(self) -> int:
        return self._raw.tell()

    def guard(self, items: Iterable[Any], passed: tuple[type[Exception], ...] = ()) -> Iterator[Any]:
        """`items`, with whatever stops the reading of the file raised as Unreadable: a read
        or decompression error, a line past the limit, no memory, or anything unforeseen.
        Exceptions of the kinds `passed` (what the caller reports itself) go through."""
        iterator = iter(items)
        while True:
            try:
                item = next(iterator)
            except StopIteration:
                return
            except LineTooLong as error:  # a ValueError, but no bad frame
                raise self.unreadable(error) from None
            except passed:
                raise
            except Exception as error:
                raise self.unreadable(error) from None
            yield item

    def scanned(self) -> Iterator[tuple[Frame | ValueError, Facts | None]]:
        """Every frame of the file checked (see reading.api.checked), guarded; the line past
        the limit that ends a scan is Unreadable too: what follows it cannot be read as frames."""
        for item, facts in self.guard(checked(self.stream)):
            if isinstance(item, LineTooLong):
                raise self.unreadable(item)
            yield item, facts

    def selected(self, frames: str) -> Iterator[Frame]:
        """`iread` of the frames `frames` (a number or a slice), guarded; a frame that cannot
        be read (ValueError) and a frame number past the end (IndexError) go through."""
        return self.guard(iread(self.stream, frames), passed=(ValueError, IndexError))

    def unreadable(self, error: Exception) -> Unreadable:
        if isinstance(error, EOFError):
            return Unreadable(f"{self.path}: the {self.kind} data ends before its end marker "
                              "(the file is cut short)")
        what = f"decompress it as {self.kind}" if self.kind and isinstance(error, READ_ERRORS) else "read it"
        return Unreadable(f"{self.path}: cannot {what}: {reason(error)}")

    def close(self) -> None:
        if self.stream is not self._raw:
            try:
                self.stream.close()
            except READ_ERRORS:
                pass
        self._raw.close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
