# The one pass that indexes a plain extended XYZ file: the module's frame scanner run over
# windows of it (count lines, atom lines passed by their line feeds, the Properties each
# comment line names), with Python deciding what the scanner leaves to it: comment lines it
# cannot read alone, and the error of a frame that cannot be read.
"""The scan behind atomkit.FrameIndex, and where atomkit.read finds the frames of a plain
file it counts from the end."""
from __future__ import annotations

import os
import re
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import NoReturn

import numpy as np

import _atomkit
from atomkit.base.files import LINE_LIMIT, changed, long_line, pread
from atomkit.base.text import COMMENT_SPACE_BYTES
from atomkit.comment.read import parse
from atomkit.reading.frames import frame_error
from atomkit.reading.layouts import PLAIN_XYZ

# Bytes read and scanned at a time, into one reused buffer: enough that the cost of a call
# vanishes, few enough that memory stays small (and that a window read stays in the cache
# until it is scanned). A count or comment line longer than a window gets a longer one.
_WINDOW = 1 << 20
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

# Why scan_frames_rs stopped (the first item of its stop), the failure that is a long line,
# and where its state holds the layout decided for a comment line.
_MORE, _DONE, _COMMENT = 0, 1, 2
_LONG_LINE = 3
_LAYOUT = 10
_NO_FRAMES = np.empty((0, 4), dtype=np.int64)


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
            properties = parse(str(comment, "utf-8"))[0]
        except ValueError:  # UnicodeDecodeError included
            return None
        return PLAIN_XYZ if properties is None else properties


def _verdict(source: int | bytes, path: str, start: int, stop: int, lineno: int) -> NoReturn:
    """Raises the error of the frame that the file's bytes start..stop hold (from its count
    line, file line `lineno`), as atomkit.read words it. `source` is the file's descriptor or
    its bytes."""
    data = pread(source, start, stop) if isinstance(source, int) else source[start:stop]
    if len(data) != stop - start:
        raise changed(path, "opened")
    error = frame_error(data, lineno, False)  # (the frame is passed over, not read)
    if error is not None:
        raise error
    # The scanner refuses a count of more digits than int() takes by default; with the limit
    # raised (sys.set_int_max_str_digits), the reader may take it.
    raise ValueError(f"line {lineno}: the frame scanner refused a frame that atomkit.read takes")


def _frames(source: int | bytes, size: int, path: str, window: int | None, line_limit: int | None,
            known: dict[bytes, int] | None, decide: Callable[[bytes, bytes | None], int] | None,
            limit: int | None = None, partial: bool = False,
            start: int = 0) -> tuple[np.ndarray, tuple[int, int, int] | None, int]:
    """The (count-line offset, atom count, count-line number, layout) of every frame, one row
    each, from the module's scanner run window by window over the file (`source`: its
    descriptor, read a window at a time, or all its bytes). With `known` (the Properties values
    whose layouts are known), `decide(comment line, value or None)` gives the layout of a
    comment line the scanner asks about; without, comment lines are not read. With `limit`,
    the scan may end once more than `limit` frames are found. A frame atomkit.read would not
    get through raises the error it would raise; with `partial`, the frames before it come
    back instead, with (its count line's offset, where its bytes that show the failure end, its
    line) second (None when there is none). Third, the line the scan ended on. `start`: a
    frame's count line to scan from, as if the file began there (its line numbered 1), and
    `size` then where to end as if the file ended there."""
    window = _WINDOW if window is None else window
    line_limit = LINE_LIMIT if line_limit is None else line_limit
    # No longer than the limit and one byte: then a window can hold a whole line, and only
    # the lines that cross its ends can be too long.
    span = max(1, min(window, line_limit + 1, size - start))
    held = source if isinstance(source, int) else None
    buf = bytearray(span if held is not None else 0)
    view = memoryview(buf if held is not None else source)
    state = (size, line_limit, start, 1, start, 0, 0, 0, 0, 0, -1)
    scan_frames = _atomkit.scan_frames_rs
    parts = []
    offset, length = start, 0  # the window: view[:length] holds the file's bytes from `offset`
    total, failed = 0, None
    while True:
        found, state, stop = scan_frames(view[:length] if held is not None else view[offset:offset + length],
                                         offset, state, known)
        if len(found):
            parts.append(found)
            total += len(found)
            if limit is not None and total > limit:
                break
        kind = stop[0]
        if kind == _MORE:
            position = state[2]
            if position != offset or not length:
                length = min(span, size - position)
            else:  # a line runs past the window: a longer one holds it, or shows it too long
                grown = min(2 * length, line_limit + 1, size - position)
                if grown == length:
                    raise AssertionError(f"the frame scanner stopped at byte {position} of {path}")
                length = grown
                if held is not None and length > len(buf):
                    buf = bytearray(length)
                    view = memoryview(buf)
            if held is not None and os.preadv(held, [view[:length]], position) != length:
                raise changed(path, "opened")
            offset = position
        elif kind == _COMMENT:
            _, begin, end, candidate = stop
            if held is None:
                begin, end = begin + offset, end + offset
            state = state[:_LAYOUT] + (decide(bytes(view[begin:end]), candidate),)  # type: ignore[misc]
        elif kind == _DONE:
            break
        else:
            _, failure, start, stop_at, lineno = stop
            if failure == _LONG_LINE:
                raise long_line(lineno)
            if not partial:
                _verdict(source, path, start, stop_at, lineno)
            failed = (start, stop_at, lineno)
            break
    rows = np.concatenate(parts) if len(parts) > 1 else parts[0] if parts else _NO_FRAMES
    if failed is not None:  # the frame that fails may have been found already
        rows = rows[rows[:, 0] < failed[0]]
    return rows, failed, state[3]


class _Layouts:
    """The layout numbers of one file's Properties strings, numbered as they first appear, for
    the comment lines the scanner asks about; `known` holds the values it then finds alone."""

    __slots__ = ("names", "known", "layout_of")

    def __init__(self) -> None:
        self.names = PropertiesNames()
        self.known: dict[bytes, int] = {}
        self.layout_of: dict[str | None, int] = {}

    def decide(self, comment: bytes, candidate: bytes | None) -> int:
        # A comment line the scanner could not read, or that names a value new to it: named
        # here, and the value learnt when the scanner found the same.
        properties = self.names.named_properties(comment)
        layout = self.layout_of.get(properties)
        if layout is None:
            layout = self.layout_of[properties] = len(self.layout_of)
        if candidate is not None and properties is not None and candidate == properties.encode():
            self.known[candidate] = layout
        return layout


def scan_rows(source: int | bytes, size: int, path: str, window: int | None = None,
              line_limit: int | None = None, limit: int | None = None, partial: bool = False,
              threads: int = 1) -> tuple[np.ndarray, tuple[str | None, ...], tuple[int, int, int] | None]:
    """(count-line offset, atom count, count-line number, layout number) of every frame of the
    file, one row each, and the Properties strings that layout numbers stand for (numbered as
    they first appear). `source` is the file's descriptor or all its bytes. Only line ends are
    looked at, and each frame's count and comment lines; a frame atomkit.read would not get
    through raises the error it would raise. `window` and `line_limit` default to _WINDOW and
    LINE_LIMIT; `limit`, `partial` (and the third item) as for _frames. `threads`: how many
    parts of a large file's descriptor may be scanned at once."""
    if threads > 1 and isinstance(source, int) and limit is None and size >= _PARTS_FROM:
        try:
            found = _scan_parts(source, size, path, window, line_limit, threads)
        except (ValueError, OSError):  # scanned again whole, which raises what it should
            found = None
        if found is not None:
            return (*found, None)
    layouts = _Layouts()
    rows, failed, _ = _frames(source, size, path, window, line_limit, layouts.known, layouts.decide, limit, partial)
    return rows, tuple(layouts.layout_of), failed


# A file this large is scanned in parts at once when threads are given; each part starts at a
# count line guessed within this many bytes of an even split.
_PARTS_FROM = 32 << 20
_GUESS_BYTES = 1 << 16
_DIGITS_LINE = re.compile(rb"\n[ \t]*\+?[0-9]+[ \t\r]*\n")


def _scan_parts(fd: int, size: int, path: str, window: int | None, line_limit: int | None,
                threads: int) -> tuple[np.ndarray, tuple[str | None, ...]] | None:
    """scan_rows' rows and Properties strings from parts of the file scanned at once, each from
    a line of digits alone (most likely a count line) near an even split to the next. A part's
    scan that does not end exactly where the next one starts shows that guess wrong; that, or a
    frame a part cannot pass, gives None, and the file is scanned whole."""
    starts = [0]
    count = min(threads, size // max(1, _PARTS_FROM // 4))  # parts of 8 MiB at least
    for k in range(1, count):
        at = size * k // count
        found = _DIGITS_LINE.search(pread(fd, at, min(size, at + _GUESS_BYTES)))
        if found is not None and at + found.start() + 1 > starts[-1]:
            starts.append(at + found.start() + 1)
    if len(starts) == 1:
        return None

    def part(first: int, end: int) -> tuple[np.ndarray, tuple[int, int, int] | None, int, _Layouts]:
        layouts = _Layouts()
        return (*_frames(fd, end, path, window, line_limit, layouts.known, layouts.decide, partial=True,
                         start=first), layouts)

    bounds = list(zip(starts, [*starts[1:], size]))
    with ThreadPoolExecutor(max_workers=len(bounds) - 1) as pool:
        later = [pool.submit(part, *bound) for bound in bounds[1:]]
        parts = [part(*bounds[0])] + [future.result() for future in later]
    layout_of: dict[str | None, int] = {}
    lines_before = 0
    for rows, failed, last_line, layouts in parts:
        if failed is not None:
            return None
        # Numbered as one scan numbers them: line numbers on from the parts before, layouts
        # by the Properties strings in order of first appearance.
        numbers = np.array([layout_of.setdefault(name, len(layout_of)) for name in layouts.layout_of] or [0])
        rows[:, 2] += lines_before
        rows[:, 3] = numbers[rows[:, 3]]
        lines_before += last_line - 1
    return np.concatenate([rows for rows, *_ in parts]), tuple(layout_of)


# The size a stream's scan is given until its end is known: it then asks for more at the end
# of every part.
_ENDLESS = 1 << 62
_PHASE, _FRAME_OFFSET = 5, 6


class StreamScan:
    """The frame scanner over a stream as its bytes come, its state carried from part to part:
    the frames found whole (rows as scan_rows gives them, offsets into the stream), the
    Properties strings their layout numbers stand for, and where the bytes still needed start."""

    def __init__(self, line_limit: int):
        self.state = (_ENDLESS, line_limit, 0, 1, 0, 0, 0, 0, 0, 0, -1)
        self.layouts = _Layouts()

    @property
    def position(self) -> int:
        """Where the scan goes on: the next part must start there or before."""
        return self.state[2]

    @property
    def kept(self) -> int:
        """Where the frame being found starts (or the scan's position between frames)."""
        return self.state[_FRAME_OFFSET] if self.state[_PHASE] else self.state[2]

    @property
    def properties(self) -> tuple[str | None, ...]:
        return tuple(self.layouts.layout_of)

    def scan(self, part: memoryview, offset: int, end: bool) -> tuple[np.ndarray, tuple[int, int, int, int] | None]:
        """The frames found whole in `part` (the stream's bytes from `offset`, which holds the
        scan's position; `end`: the stream ends with it), and the failure that stopped the scan
        ((kind, count-line offset, where the bytes that show it end, line)) or None."""
        if end:
            self.state = (offset + len(part), *self.state[1:])
        scan_frames, parts = _atomkit.scan_frames_rs, []
        while True:
            at = self.state[2]
            window = part[at - offset:]
            found, self.state, stop = scan_frames(window, at, self.state, self.layouts.known)
            if len(found):
                parts.append(found)
            if stop[0] == _COMMENT:
                _, begin, stop_at, candidate = stop
                self.state = self.state[:_LAYOUT] + (self.layouts.decide(bytes(window[begin:stop_at]), candidate),)
                continue
            rows = np.concatenate(parts) if len(parts) > 1 else parts[0] if parts else _NO_FRAMES
            return rows, (tuple(stop[1:]) if stop[0] not in (_MORE, _DONE) else None)


def scan(source: int | bytes, size: int, path: str, window: int | None = None, line_limit: int | None = None) -> Arrays:
    """scan_rows' columns apart: offsets, atom counts, line numbers, layouts (int32), and the
    Properties strings."""
    table, names, _ = scan_rows(source, size, path, window, line_limit)
    return table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(), table[:, 3].astype(np.int32), names


def frame_starts(fd: int, size: int, path: str, line_limit: int) -> tuple[np.ndarray, np.ndarray]:
    """(offset, line number) of every frame's count line, comment lines left unread: where
    atomkit.read finds the frames of a plain file it counts from the end, with its errors."""
    table, _, _ = _frames(fd, size, path, None, line_limit, None, None)
    return table[:, 0].copy(), table[:, 2].copy()
