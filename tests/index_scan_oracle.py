# The scan behind atomkit.FrameIndex written in Python alone, the oracle of
# tests/test_index_scan.py: 1 MiB windows searched for line ends with NumPy, each frame's count
# line and Properties read in Python, and a frame that cannot be passed walked again by the
# reference walker for its error.
"""The pure-Python frame-index scan, as an oracle."""
from __future__ import annotations

import os
import re
from array import array

import numpy as np

from atomkit.base.files import LINE_LIMIT, changed, long_line, pread
from atomkit.base.text import WHITESPACE_BYTES
from comment_oracle import parse
from reference_walker import PLAIN_XYZ, RULES, Behaviour, Input, walk

# What an index holds: offsets, atom counts and line numbers of the count lines, layout
# numbers, and the Properties strings those stand for.
Arrays = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[str | None, ...]]

_BOM = b"\xef\xbb\xbf"
_NO_ENDS = np.empty(0, dtype=np.intp)
# A byte that bytes.strip() keeps: the line holding it is not blank.
_SOLID = re.compile(b"[^" + re.escape(WHITESPACE_BYTES) + b"]")


class _Window:
    """A file being indexed, read a window at a time into one reused buffer and searched for
    line feeds: `buf` holds its bytes from offset `base` to `searched`. Memory stays that of
    a window whatever the file's size, and a line longer than LINE_LIMIT raises as soon as
    the search passes the limit."""

    def __init__(self, fd: int, size: int, path: str, window: int, line_limit: int):
        self.fd, self.size, self.path, self.line_limit = fd, size, path, line_limit
        # No larger than the limit: then only a line that crosses windows can pass it.
        self.buf = bytearray(min(window, line_limit, size))
        self._bytes, self._view = np.frombuffer(self.buf, np.uint8), memoryview(self.buf)
        self.base = self.searched = 0
        self._last, self._count = -1, 0  # the last line end found, and how many were found

    def search(self) -> np.ndarray:
        """The line ends of the next window; the end of the file ends a last line without a
        line feed."""
        start = self.searched
        want = min(len(self.buf), self.size - start)
        if os.preadv(self.fd, [self._view[:want]], start) != want:
            raise changed(self.path, "opened")
        found = np.flatnonzero(self._bytes[:want] == 10)
        found += start
        self.base, self.searched = start, start + want
        if self.searched == self.size and self.buf[want - 1] != 10:
            found = np.append(found, self.size)
        first = found.item(0) if len(found) else self.searched
        if first - self._last - 1 > self.line_limit:
            raise long_line(self._count + 1)
        if len(found):
            self._last = found.item(-1)
            self._count += len(found)
        return found

    def more(self, ends: np.ndarray, need: int) -> np.ndarray:
        """`ends` extended window by window until it holds `need`, or the file is searched."""
        while len(ends) < need and self.searched < self.size:
            found = self.search()
            ends = np.concatenate((ends, found)) if len(ends) else found
        return ends

    def reach(self, ends: np.ndarray, k: int) -> tuple[np.ndarray, int]:
        """(ends, k) searched on until ends[k] is found (k >= len(ends) if the file ends
        first). The ends before the k-th are let go: a frame of any length holds a window's."""
        while k >= len(ends) and self.searched < self.size:
            k -= len(ends)
            ends = self.search()
        return ends, k

    def text(self, start: int, stop: int) -> bytes | bytearray:
        """The bytes from `start` to `stop`: from the window if it holds them, else read."""
        if self.base <= start and stop <= self.searched:
            return self.buf[start - self.base:stop - self.base]
        data = pread(self.fd, start, stop)
        if len(data) != stop - start:
            raise changed(self.path, "opened")
        return data

    def skip_blank(self, ends: np.ndarray, j: int, lineno: int) -> tuple[int, int, int]:
        """From the blank line that ends[j] ends (file line `lineno`): (j, offset, line) of the
        next line that holds more than whitespace, or of the line after the last end found.
        A run of blank lines costs a search for a byte, not a step a line."""
        start = ends.item(j) + 1
        hit = None
        if start < self.base:  # lines that began in an earlier window
            match = _SOLID.search(self.text(start, self.base))
            hit = None if match is None else start + match.start()
        if hit is None:
            match = _SOLID.search(self.buf, max(start - self.base, 0), self.searched - self.base)
            hit = None if match is None else self.base + match.start()
        k = len(ends) if hit is None else int(ends.searchsorted(hit))  # the end of hit's line
        return k, ends.item(k - 1) + 1, lineno + k - j

    def verdict(self, start: int, stop: int, lineno: int, before: tuple[int, int] | None,
                behaviour: Behaviour) -> None:
        """Walks the frame in bytes start..stop (count line `lineno`), after the frame before it
        (count line at `before`: (offset, line), or None), as the reference walker does,
        raising the scan's failure if it has one."""
        first, line = (start, lineno) if before is None else before
        for _ in walk(Input(bytes(self.text(first, stop))), (), 1 if before is None else 2, 0, line,
                      behaviour=behaviour):
            pass


def named_properties(comment: bytes) -> str | None:
    """The Properties string a frame's comment line names (the plain xyz columns when it names
    none); None for a line that cannot be read."""
    try:
        properties = parse(str(comment, "utf-8"))[0]
    except ValueError:  # UnicodeDecodeError included
        return None
    return PLAIN_XYZ if properties is None else properties


def scan(fd: int, size: int, path: str, window_size: int = 1 << 20, line_limit: int = LINE_LIMIT,
         behaviour: Behaviour = RULES) -> Arrays:
    """(count-line offset, atom count, count-line number, layout number) of every frame of the
    file, and the Properties strings that layout numbers stand for. Only line ends are looked
    at, and each frame's count and comment lines; a file the walker reads with `behaviour`
    cannot pass raises the walker's failure."""
    window = _Window(fd, size, path, window_size, line_limit)
    buf = window.buf
    found = array("q")  # (count-line offset, atom count, count-line number, layout number) a frame
    record = found.extend
    layout_of: dict[str | None, int] = {}
    ends, j, have, base = _NO_ENDS, 0, 0, 0  # ends[j] is where the line at `pos` ends
    before = None  # (offset, line) of the count line of the frame before
    pos = len(_BOM) if window.text(0, min(3, size)) == _BOM else 0
    lineno = 1
    while True:
        if j + 2 > have:
            ends, j = window.more(ends[j:], 2), 0
            have, base = len(ends), window.base
            if not have:
                break
        end = ends.item(j)
        text = buf[pos - base:end - base] if pos >= base else window.text(pos, end)
        try:
            natoms = int(text)
        except ValueError:
            if not text.strip():  # blank lines between frames
                j, pos, lineno = window.skip_blank(ends, j, lineno)
                continue
            natoms = -1
        if natoms < 0 or end >= size:  # raises: no count, or no comment line after it
            window.verdict(pos, min(end + 1, size), lineno, before, behaviour)
        stop = ends.item(j + 1) if j + 1 < have else size
        properties = named_properties(buf[end + 1 - base:stop - base] if end >= base else window.text(end + 1, stop))
        layout = layout_of.get(properties)
        if layout is None:
            layout = layout_of[properties] = len(layout_of)
        last = j + natoms + 1
        if last >= have:
            ends, last = window.reach(ends, last)
            have, base = len(ends), window.base
            if last >= have:
                # The file ends inside this frame: an error, unless it is a frame without
                # atoms whose comment line is the empty end of the file.
                window.verdict(pos, size, lineno, before, behaviour)
                record((pos, natoms, lineno, layout))
                break
        record((pos, natoms, lineno, layout))
        before = (pos, lineno)
        pos = ends.item(last) + 1
        j, lineno = last + 1, lineno + natoms + 2
    table = np.frombuffer(found, np.int64).reshape(-1, 4)
    return (table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(), table[:, 3].astype(np.int32),
            tuple(layout_of))
