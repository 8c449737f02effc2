# An input file of the `atomkit` command: opened and decompressed by suffix, read in chunks,
# and whatever stops its reading turned into one line for the user.
"""Source: a file the atomkit command reads."""
from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Any

from atomkit import _compression, _io
from atomkit._cli_common import Unreadable, reason
from atomkit._compression import READ_ERRORS
from atomkit._frame import Frame
from atomkit._reader import iread, scan


class Source:
    """An input file: `stream` is what the reader parses (decompressed by suffix, read in
    chunks, so memory stays flat whatever the file's size) and `position()` the bytes of
    the file itself read so far."""

    def __init__(self, path: str):
        self.path = path
        try:
            self._raw = open(path, "rb")  # noqa: SIM115 (closed in close())
            self.size = os.fstat(self._raw.fileno()).st_size
        except OSError as error:
            raise Unreadable(f"{path}: {reason(error)}") from None
        try:
            opener = _compression.opener(path)
        except ValueError as error:  # a compressed form no decompressor here reads
            self._raw.close()
            raise Unreadable(str(error)) from None
        self.kind = os.path.splitext(path)[1].lower() if opener is not open else ""
        self.stream: Any = self._raw if opener is open else opener(self._raw, "rb")

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
            except _io.LineTooLong as error:  # a ValueError, but no bad frame
                raise self.unreadable(error) from None
            except passed:
                raise
            except Exception as error:
                raise self.unreadable(error) from None
            yield item

    def scanned(self) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
        """`scan` of the file, guarded; the line past the limit that ends a scan is
        Unreadable too: what follows it cannot be read as frames."""
        for item, comment in self.guard(scan(self.stream)):
            if isinstance(item, _io.LineTooLong):
                raise self.unreadable(item)
            yield item, comment

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
