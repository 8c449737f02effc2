# The frame-by-frame reader that atomkit walked files with before it read runs of frames as
# tables, kept as the oracle of that reading: a walk over a source topping its bytes up line by
# line, each frame read alone, the lines of frames not wanted counted, stray tokens counted.
"""The frame-by-frame walker: `iread` and `scan` as the package read before."""
from __future__ import annotations

import re
import sys
import warnings
from collections.abc import Container, Iterator
from typing import Any

import numpy as np

from atomkit.base.files import Input, describe, open_input
from atomkit.base.frame import Frame
from atomkit.base.text import SEPARATOR_BYTES, WHITESPACE_BYTES
from atomkit.reading.frames import (SkippedFrameWarning, _atom_count, _comment_line, _ends_inside, _frame, _index,
                                    _line_text)
from atomkit.reading.layouts import StrColumns

_ALL = sys.maxsize
_BOM = b"\xef\xbb\xbf"
_TOKEN = re.compile(b"[^" + re.escape(SEPARATOR_BYTES) + b"]+")
# What bytes.strip() takes for blank: a line of only these holds no count.
_BLANK = re.compile(b"[" + re.escape(WHITESPACE_BYTES) + b"]*")
# Blocks up to this size have their tokens counted by bytes.split (NumPy's fixed cost is higher).
_SMALL_BLOCK = 2048


def _count_newlines(data: Any, start: int, end: int) -> int:
    count = getattr(data, "count", None)  # bytes and bytearray; an mmap has no count()
    if count is not None:
        return count(b"\n", start, end)
    return int(np.count_nonzero(np.frombuffer(data, dtype=np.uint8, count=end - start, offset=start) == 10))


class LineSkipper:
    """Passes over runs of lines of one source, guessing where a long run ends from the
    lines passed over before (a walk over a file keeps one; the guess is its own)."""

    __slots__ = ("bytes_per_line",)

    def __init__(self) -> None:
        # Bytes per line of the last long run of lines walked: where the next run is guessed to end.
        self.bytes_per_line = 80

    def skip(self, data: Any, offset: int, count: int) -> int:
        """The offset just past `count` lines of `data` starting at `offset`. A line ends in
        a line feed; the last one may instead end at the end of the data. ValueError when the
        data holds fewer lines."""
        size = len(data)
        if not 0 <= offset <= size:
            raise ValueError(f"offset {offset} is outside the data ({size} bytes)")
        find, rfind = data.find, data.rfind
        pos, left = offset, count
        bytes_per_line = self.bytes_per_line
        # Long runs: count the line feeds up to where the run should end at the usual line
        # length, then step back or go on from there.
        while left > 16:
            guess = min(size, pos + left * bytes_per_line)
            found = _count_newlines(data, pos, guess)
            if found >= left:
                if found - left > 16:  # lines much shorter than guessed: guess again
                    bytes_per_line = max(1, (guess - pos) // found)
                    continue
                end = guess
                for _ in range(found - left + 1):
                    end = rfind(b"\n", pos, end)
                self.bytes_per_line = max(1, -(-(end + 1 - offset) // count))
                return end + 1
            if found:
                start = pos
                pos = rfind(b"\n", pos, guess) + 1
                left -= found
                bytes_per_line = -(-(pos - start) // found) + 1
            elif guess < size:
                bytes_per_line *= 2  # not one line feed: lines much longer than guessed
            if guess >= size:
                break
        self.bytes_per_line = bytes_per_line
        for done in range(left):
            newline = find(b"\n", pos)
            if newline < 0:
                if done == left - 1 and pos < size:
                    return size
                raise ValueError(f"the data ends after {count - left + done} of {count} lines")
            pos = newline + 1
        return pos


def skip_lines(data: Any, offset: int, count: int) -> int:
    """`LineSkipper.skip` with a guess of its own, for a run looked at once."""
    return LineSkipper().skip(data, offset, count)


def _byte_runs(chars: bytes) -> tuple[tuple[int, int], ...]:
    """The bytes of `chars` as runs of consecutive numbers, (first, last - first) each: one
    NumPy comparison tests a whole run."""
    runs: list[list[int]] = []
    for byte in sorted(set(chars)):
        if runs and sum(runs[-1]) + 1 == byte:
            runs[-1][1] += 1
        else:
            runs.append([byte, 0])
    return tuple((first, span) for first, span in runs)


_SEPARATOR_RUNS = _byte_runs(SEPARATOR_BYTES)
# In bytes without a vertical tab, the separators are all of the whitespace: fewer runs.
_WHITESPACE_RUNS = _byte_runs(WHITESPACE_BYTES)


def _in_runs(raw: np.ndarray, runs: tuple[tuple[int, int], ...]) -> np.ndarray:
    """Which bytes of `raw` are in one of `runs`."""
    found = None
    for first, span in runs:
        here = raw == first if not span else raw - np.uint8(first) <= span
        if found is None:
            found = here
        else:
            found |= here
    return found


def _stray_token(data: Any, offset: int, end: int, natoms: int, columns: int, count_line: int) -> ValueError | None:
    """The error for an atom line of data[offset:end] with more tokens than its `columns`,
    or None. The block reader passes over such tokens; a strict reading does not."""
    if end <= offset:
        return None
    # A vertical tab (rare) belongs to its token; bytes.split() would split at it.
    plain = data.find(b"\v", offset, end) < 0
    if plain and end - offset <= _SMALL_BLOCK:
        tokens = len(data[offset:end].split())
    else:
        raw = np.frombuffer(data, np.uint8, end - offset, offset)
        separator = _in_runs(raw, _WHITESPACE_RUNS if plain else _SEPARATOR_RUNS)
        # A token ends where a separator follows it, or at the end.
        tokens = int(np.count_nonzero(separator[:-1] < separator[1:])) + (not separator[-1])
        del raw, separator  # no view left on a mapped file
    if tokens == natoms * columns:  # no line holds fewer: the block reader saw to that
        return None
    start = offset
    for row in range(natoms):
        newline = data.find(b"\n", start, end)
        stop = newline if newline >= 0 else end
        found = len(_TOKEN.findall(data, start, stop))
        if found > columns:
            return ValueError(f"line {count_line + 2 + row}: row {row}: expected {columns} tokens, "
                              f"found {found}: {_line_text(data, start)!r}")
        start = stop + 1
    return None


def _read_frame(data: Any, comment_start: int, comment_end: int, natoms: int, count_line: int,
                strict: bool, columns: StrColumns) -> tuple[Frame, int]:
    """The package's frame reader; `strict` refuses atom lines with more tokens than columns."""
    frame, end = _frame(data, comment_start, comment_end, natoms, count_line, columns)
    if strict:
        layout = _comment_line(data[comment_start:comment_end], count_line)[3]
        stray = _stray_token(data, min(comment_end + 1, len(data)), end, natoms, len(layout.col_types), count_line)
        if stray is not None:
            raise stray
    return frame, end


class _Walk:
    """Where a walk over a source stands: `data` holds a prefix of what is left, `pos` the
    offset in it of file line `lineno`, `have` the line feeds known to be in data[pos:] (a
    source held whole never needs more)."""

    __slots__ = ("source", "data", "size", "pos", "lineno", "have")

    def __init__(self, source: Input, pos: int, lineno: int):
        self.source, self.data, self.pos, self.lineno = source, source.data, pos, lineno
        self.size = len(self.data)
        self.have = _ALL if source.eof else 0

    def top_up(self, lines: int) -> bool:
        """Makes data[pos:] hold `lines` line feeds, or all that is left; whether it read."""
        if self.have >= lines or self.source.eof:
            return False
        self.data, self.have = self.source.more(self.data, self.pos, lines, self.lineno, max(self.have, 0))
        self.pos, self.size = 0, len(self.data)
        return True

    def advance(self, pos: int, lines: int) -> None:
        self.pos, self.lineno, self.have = pos, self.lineno + lines, self.have - lines

    def count_line(self) -> tuple[bytes, int] | None:
        """The next count line's text and where it ends, past any blank lines before it; None
        at the end of the source."""
        while True:
            self.top_up(1)
            data, pos = self.data, self.pos
            if self.lineno == 1 and data[pos:pos + 3] == _BOM:
                pos = self.pos = pos + len(_BOM)
            # A run of blank lines is passed over at once: a file of nothing else is walked
            # in linear time.
            if not data[pos:pos + 1].isdigit():
                line_start = data.rfind(b"\n", pos, _BLANK.match(data, pos).end()) + 1
                if line_start > pos:
                    self.advance(line_start, data.count(b"\n", pos, line_start))
                    continue  # what is left may not hold a whole line: top it up first
            if pos >= self.size:
                return None
            newline = data.find(b"\n", pos)
            count_end = newline if newline >= 0 else self.size
            count_text = data[pos:count_end]
            if count_text.strip():
                return count_text, count_end
            self.advance(count_end + 1, 1)


def _scanned(data: Any, comment_start: int, comment_end: int, natoms: int, lineno: int,
             skipper: LineSkipper, columns: StrColumns, strict: bool = True) -> tuple[Frame | ValueError, int]:
    """A frame, or the error that says why it cannot be read, and where the walk goes on;
    raises that error when the data ends inside the frame."""
    try:
        return _read_frame(data, comment_start, comment_end, natoms, lineno, strict, columns)
    except ValueError as error:
        try:
            return error, skipper.skip(data, min(comment_end + 1, len(data)), natoms)
        except ValueError:
            raise error from None  # nothing follows it


def _frames(source: Input, wanted: Container[int], stop: int, pos: int = 0, lineno: int = 1,
            starts: list[tuple[int, int]] | None = None, scan: bool = False,
            skip_bad: bool = False) -> Iterator[Any]:
    """Walks the frames of `source` from offset `pos` (file line `lineno`): frame k, counted
    from there, is parsed and yielded if k is in `wanted` and skipped over otherwise; the walk
    ends at the end of the data or before frame `stop`. `starts` gets (offset, line) of each
    frame's count line. With `scan`, a frame is read strictly and yielded as (Frame or the
    ValueError that says why it cannot be read, its comment line as bytes), and the walk goes
    on past a bad frame as long as its lines can be counted. With `skip_bad`, such a frame is
    left out with a SkippedFrameWarning instead."""
    walk = _Walk(source, pos, lineno)
    skipper, columns = LineSkipper(), StrColumns()  # what the walk learns from frame to frame
    index = 0
    while index < stop:
        found = walk.count_line()
        if found is None:
            return
        count_text, count_end = found
        lineno = walk.lineno
        natoms = _atom_count(count_text, lineno)
        if walk.top_up(natoms + 2):
            count_end = walk.data.find(b"\n", walk.pos)
        data, size = walk.data, walk.size
        if starts is not None:
            starts.append((source.base + walk.pos, lineno))
        if count_end < 0 or count_end >= size:
            raise ValueError(f"line {lineno}: the file ends after the atom count, before the comment line")
        comment_start = count_end + 1
        comment_end = data.find(b"\n", comment_start)
        if comment_end < 0:
            comment_end = size
        if index in wanted and not scan and not skip_bad:
            frame, pos = _read_frame(data, comment_start, comment_end, natoms, lineno, False, columns)
            yield frame
        elif index in wanted and not scan:
            item, pos = _scanned(data, comment_start, comment_end, natoms, lineno, skipper, columns, False)
            if type(item) is Frame:
                yield item
            else:
                warnings.warn(SkippedFrameWarning(f"{source.name}: skipped the frame at {item}"), stacklevel=3)
        elif index in wanted:
            item, pos = _scanned(data, comment_start, comment_end, natoms, lineno, skipper, columns)
            yield item, data[comment_start:comment_end]
        else:
            offset = min(comment_end + 1, size)
            try:
                pos = skipper.skip(data, offset, natoms)
            except ValueError:
                raise _ends_inside(data, offset, natoms, lineno) from None
        walk.advance(pos, natoms + 2)
        index += 1


def iread(source: Any, index: Any = ":", errors: str = "raise") -> Iterator[Frame]:
    """atomkit.iread as the walker read (the file's name put in front by the caller's test)."""
    index = _index(index)
    skip_bad = errors == "skip" and isinstance(index, slice)
    with open_input(source) as data:
        if isinstance(index, int) and index >= 0:
            found = False
            for frame in _frames(data, (0,) if index == 0 else range(index, index + 1), index + 1):
                found = True
                yield frame
            if not found:
                raise IndexError(f"frame {index} is past the end of {describe(source)}")
            return
        if isinstance(index, slice) and (index.step or 1) > 0 and (index.start or 0) >= 0 and (
                index.stop is None or index.stop >= 0):
            wanted = range(index.start or 0, _ALL if index.stop is None else index.stop, index.step or 1)
            yield from _frames(data, wanted, wanted.stop, skip_bad=skip_bad)
            return
        # Counting from the end: the source held whole, one pass to find where the frames
        # start, then those chosen.
        data.load_all()
        starts: list[tuple[int, int]] = []
        for _ in _frames(data, (), _ALL, starts=starts):
            pass
        try:
            chosen = range(len(starts))[index]
        except IndexError:
            raise IndexError(f"frame {index} is not in {describe(source)} ({len(starts)} frames)") from None
        for k in ([chosen] if isinstance(chosen, int) else chosen):
            yield from _frames(data, (0,), 1, *starts[k], skip_bad=skip_bad)


def scan(source: Any) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
    """atomkit's strict scan as the walker read it."""
    with open_input(source) as data:
        try:
            yield from _frames(data, range(_ALL), _ALL, scan=True)
        except ValueError as error:
            yield error, None
