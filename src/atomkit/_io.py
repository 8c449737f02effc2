# Where frames come from and go to: paths (plain, or .gz/.bz2/.xz by suffix) and binary or
# text file objects, as bytes for the reader and as a text sink for the writer.
"""Sources and sinks.

`open_input(source)` -> Input: the bytes to parse (a whole plain file is mapped into
memory; compressed files and file objects are read in chunks) with `more()` to extend
them. `open_output(dest, append)` -> Output with `write(str)`.
"""
from __future__ import annotations

import bz2
import gzip
import io
import lzma
import mmap
import os
from typing import Any, BinaryIO, Callable

import numpy as np

_OPENERS: dict[str, Callable[..., Any]] = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
# Bytes asked of a stream at a time; a frame longer than this is read in several.
CHUNK = 1 << 22
# The longest line read. No real file comes near it; a run without line feeds (a sparse or
# corrupted file, /dev/zero) fails once it passes this, before it takes all memory.
LINE_LIMIT = 256 << 20


class LineTooLong(ValueError):
    """A line past LINE_LIMIT: the rest of the source cannot be read as frames."""


def long_line(lineno: int) -> LineTooLong:
    """The error for file line `lineno`, which runs past LINE_LIMIT without a line feed."""
    return LineTooLong(f"line {lineno}: longer than {LINE_LIMIT >> 20} MiB without a line feed "
                      "(not an extended XYZ file, or a corrupted one)")


def changed(name: str, since: str, advice: str = "") -> ValueError:
    """The error for a file that was truncated, replaced or rewritten while it was read;
    `since` says when it was known ("opened", "indexed"), `advice` what to do about it."""
    return ValueError(f"{name} changed since it was {since} (truncated, replaced or rewritten)"
                      + (f": {advice}" if advice else ""))


def _newlines(data: bytes) -> int:
    # NumPy finds the line feeds of a chunk several times faster than bytes.count does.
    if len(data) < 1 << 16:
        return data.count(b"\n")
    return int(np.count_nonzero(np.frombuffer(data, np.uint8) == 10))


def _opener(path: str | os.PathLike[str]) -> Callable[..., Any]:
    return _OPENERS.get(os.path.splitext(os.fspath(path))[1].lower(), open)


def describe(target: Any) -> str:
    """How messages name a source or destination."""
    if isinstance(target, (str, os.PathLike)):
        return os.fspath(target)  # type: ignore[return-value]
    return str(getattr(target, "name", "") or type(target).__name__)


class Input:
    """The bytes of a source. `data` holds a prefix of what is left to read; while `eof` is
    False, `more(data, pos, lines)` returns (data[pos:] extended to hold at least `lines`
    line feeds or all the rest, count of line feeds in it)."""

    def __init__(self, data: Any, read: Callable[[int], Any] | None = None,
                 closers: tuple[Callable[[], None], ...] = ()):
        self.data = data
        self.eof = read is None
        self._read, self._closers = read, closers

    def more(self, data: Any, pos: int, lines: int) -> tuple[bytes, int]:
        parts = [data[pos:]]
        have = _newlines(parts[0])
        while have < lines and not self.eof:
            chunk = self._read(CHUNK)  # type: ignore[misc]
            if not chunk:
                self.eof = True
                break
            if type(chunk) is str:
                chunk = chunk.encode("utf-8")
            parts.append(chunk)
            have += _newlines(chunk)
        self.data = b"".join(parts)
        return self.data, have

    def load_all(self) -> None:
        """Reads the rest of a stream, so that `data` holds the whole source."""
        if not self.eof:
            self.more(self.data, 0, 1 << 62)

    def close(self) -> None:
        self.data = b""
        for close in self._closers:
            try:
                close()
            except BufferError:
                pass  # a view on the map is still alive somewhere; the map goes with it

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _stream(fileobj: Any, closers: tuple[Callable[[], None], ...] = ()) -> Input:
    if not hasattr(fileobj, "read"):
        raise TypeError(f"cannot read from a {type(fileobj).__name__}: expected a path or a file object")
    return Input(b"", fileobj.read, closers)


def open_input(source: Any) -> Input:
    """The Input of a path or a binary or text file object."""
    if not isinstance(source, (str, os.PathLike)):
        return _stream(source)
    opener = _opener(source)
    fileobj: BinaryIO = opener(source, "rb")
    if opener is not open:
        return _stream(fileobj, (fileobj.close,))
    try:
        # A plain file is mapped: no copy, and pages come in as the parser reaches them.
        mapped = mmap.mmap(fileobj.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):  # empty, or not a regular file (a pipe, a device)
        return _stream(fileobj, (fileobj.close,))
    return Input(mapped, None, (mapped.close, fileobj.close))


# Text is encoded this much at a time: a buffer of this size is reused from the heap, while
# one as long as a big frame's atom block would be mapped, page-faulted and unmapped each time.
ENCODE_SLICE = 1 << 16


class Output:
    """A text sink: `write(str)` to a path or file object."""

    def __init__(self, dest: Any, append: bool):
        self._close: Callable[[], None] | None = None
        if isinstance(dest, (str, os.PathLike)):
            fileobj = _opener(dest)(dest, "ab" if append else "wb")
            self._close = fileobj.close
        elif hasattr(dest, "write"):
            fileobj = dest
        else:
            raise TypeError(f"cannot write to a {type(dest).__name__}: expected a path or a file object")
        self._write = fileobj.write
        self._text = isinstance(fileobj, io.TextIOBase)

    def write(self, text: str) -> None:
        if self._text:
            self._write(text)
        elif len(text) <= ENCODE_SLICE:
            self._write(text.encode("utf-8"))
        else:
            for start in range(0, len(text), ENCODE_SLICE):
                self._write(text[start:start + ENCODE_SLICE].encode("utf-8"))

    def __enter__(self) -> Output:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._close is not None:
            self._close()
