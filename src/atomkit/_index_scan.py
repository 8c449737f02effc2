# The one pass that indexes a plain extended XYZ file: its line ends searched a window at a
# time, each frame's count line read and the Properties its comment line names.
"""The scan behind atomkit.FrameIndex."""
from __future__ import annotations

import os
import re
from array import array

import numpy as np

from atomkit import _comment
from atomkit._index_file import pread
from atomkit._io import LINE_LIMIT, Input, changed, long_line
from atomkit._properties import PLAIN_XYZ
from atomkit._reader import _frames
from atomkit._text import COMMENT_SPACE_BYTES, WHITESPACE_BYTES

_BOM = b"\xef\xbb\xbf"
# Bytes read and searched for line ends at a time, into one reused buffer: enough that the
# cost per call vanishes, few enough that the search's temporaries (a flag a byte, 8 bytes a
# line end) stay small even when every byte is a line feed.
_WINDOW = 1 << 20
_NO_ENDS = np.empty(0, dtype=np.intp)
# A byte that bytes.strip() keeps: the line holding it is not blank.
_SOLID = re.compile(b"[^" + re.escape(WHITESPACE_BYTES) + b"]")
# Bytes that, before a Properties key, could leave it inside a single-quoted or bracketed
# value, or escape a quote.
_NOT_BEFORE = b"'\\[{"
# A bare value that the tokenizer ends where this one ends (at whitespace, as str.isspace
# has it, or the end of the line).
_PLAIN_VALUE = re.compile(rb'[^\s="\'\\\[{\x1c-\x1f]+(?=[\s\x1c-\x1f]|\Z)')
_EQUALS, _QUOTE = ord("="), ord('"')
# What an index holds: offsets, atom counts and line numbers of the count lines, layout
# numbers, and the Properties strings those stand for.
Arrays = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[str | None, ...]]


class _Window:
    """A file being indexed, read a window at a time into one reused buffer and searched for
    line feeds: `buf` holds its bytes from offset `base` to `searched`. Memory stays that of
    a window whatever the file's size, and a line longer than LINE_LIMIT raises as soon as
    the search passes the limit."""

    def __init__(self, fd: int, size: int, path: str):
        self.fd, self.size, self.path = fd, size, path
        # No larger than the limit: then only a line that crosses windows can pass it.
        self.buf = bytearray(min(_WINDOW, LINE_LIMIT, size))
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
        if first - self._last - 1 > LINE_LIMIT:
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

    def verdict(self, start: int, stop: int, lineno: int) -> None:
        """Walks the one frame in bytes start..stop as atomkit.read does, raising its error if
        it has one."""
        for _ in _frames(Input(bytes(self.text(start, stop))), (), 1, 0, lineno):
            pass


def _plainly_before(before: bytes) -> bool:
    """Whether the comment-line tokenizer surely starts an item at a key that follows `before`:
    it holds only bare tokens and double-quoted values that open right after their `=`, and
    ends in whitespace. (A quoted value glued to what follows it makes the line one the
    reader refuses.)"""
    if before and before[-1] not in COMMENT_SPACE_BYTES:
        return False
    if len(before.translate(None, _NOT_BEFORE)) != len(before):
        return False
    if _QUOTE not in before:
        return True
    parts = before.split(b'"')  # outside, inside, outside, ..., outside
    return len(parts) % 2 == 1 and all(outside.endswith(b"=") for outside in parts[:-1:2])


class PropertiesNames:
    """The Properties strings that the comment lines of one file name, asked for line after
    line. The lines of a trajectory mostly differ only in their first quoted value (the
    Lattice) or after the key, so what the last ordinary line was up to the end of its
    Properties value is kept: (the bytes up to and with the first double quote, those from
    the quote that closes it, that value), or (all of those bytes, b"", that value) with no
    quote before the key."""

    __slots__ = ("_last_head",)

    def __init__(self) -> None:
        self._last_head: tuple[bytes, bytes, str] = (b"\n", b"", "")

    def named_properties(self, comment: bytes) -> str | None:
        """The Properties string that a frame's comment line names (the plain xyz columns when
        it names none), as the reader finds it. For a line the reader refuses, None or whatever
        the line seems to name: reading that frame raises the reason. Ordinary lines are
        answered from the bytes; anything unusual goes through the comment-line parser."""
        lead, tail, value = self._last_head
        # (Bytes are looked for by their number: `bytes in bytes` is several times slower.)
        if comment.startswith(lead):
            end = len(lead)
            if tail:  # the same but for the text inside the first quotes
                close = comment.find(b'"', end)
                end = close + len(tail) if comment.startswith(tail, close) else -1  # (no quote: -1 fails)
                if end >= 0 and comment.find(b"\\", len(lead), close) >= 0:
                    end = -1  # an escape: a quote inside may not end the value
            if end >= 0 and (end == len(comment) or comment[end] in COMMENT_SPACE_BYTES):
                return value
        if comment.isascii():
            if _EQUALS not in comment:
                return PLAIN_XYZ
            at = comment.lower().find(b"properties=")
            # A second Properties key would be an error the reader reports when it reads the frame.
            if at >= 0 and _plainly_before(comment[:at]):
                bare = _PLAIN_VALUE.match(comment, at + 11)
                if bare is not None:
                    value = bare.group().decode("ascii")
                    quote = comment.find(b'"', 0, at)
                    if quote < 0:
                        self._last_head = (comment[:bare.end()], b"", value)
                    else:
                        closed = comment.find(b'"', quote + 1)
                        self._last_head = (comment[:quote + 1], comment[closed:bare.end()], value)
                    return value
        try:
            properties = _comment.parse(str(comment, "utf-8"))[0]
        except ValueError:  # UnicodeDecodeError included
            return None
        return PLAIN_XYZ if properties is None else properties


def scan(fd: int, size: int, path: str) -> Arrays:
    """(count-line offset, atom count, count-line number, layout number) of every frame of the
    file, and the Properties strings that layout numbers stand for. Only line ends are looked
    at, and each frame's count and comment lines; a frame atomkit.read would not get through
    raises the error it would raise."""
    window = _Window(fd, size, path)
    named_properties = PropertiesNames().named_properties
    buf = window.buf
    found = array("q")  # (count-line offset, atom count, count-line number, layout number) a frame
    record = found.extend
    layout_of: dict[str | None, int] = {}
    ends, j, have, base = _NO_ENDS, 0, 0, 0  # ends[j] is where the line at `pos` ends
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
        if natoms < 0 or end >= size:
            window.verdict(pos, min(end + 1, size), lineno)  # raises: no count, or no comment line after it
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
                window.verdict(pos, size, lineno)
                record((pos, natoms, lineno, layout))
                break
        record((pos, natoms, lineno, layout))
        pos = ends.item(last) + 1
        j, lineno = last + 1, lineno + natoms + 2
    table = np.frombuffer(found, np.int64).reshape(-1, 4)
    return (table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(), table[:, 3].astype(np.int32),
            tuple(layout_of))
