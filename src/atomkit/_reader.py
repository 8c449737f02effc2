# Reading extended XYZ files: walking the bytes frame by frame with offsets, the comment
# line through _comment_read, the atom block through _block, errors tied to the file line.
"""atomkit.read and atomkit.iread."""
from __future__ import annotations

import io
import os
import re
import sys
import warnings
from collections.abc import Container, Iterator
from typing import Any, overload

import numpy as np

from atomkit import _block, _comment_read, _index_scan, _io
from atomkit._block import LineSkipper, skip_lines
from atomkit._frame import Frame
from atomkit._io import Input, describe, open_input
from atomkit._properties import PLAIN_XYZ, StrColumns, read_layout
from atomkit._text import SEPARATOR_BYTES, WHITESPACE_BYTES

Index = int | slice | str
_PERIODIC = (True, True, True)
_OPEN = (False, False, False)
_ROW = re.compile(r"row ([0-9]+): ")
_BOM = b"\xef\xbb\xbf"
_ALL = sys.maxsize
_TOKEN = re.compile(b"[^" + re.escape(SEPARATOR_BYTES) + b"]+")
# What bytes.strip() takes for blank: a line of only these holds no count.
_BLANK = re.compile(b"[" + re.escape(WHITESPACE_BYTES) + b"]*")
# Blocks up to this size have their tokens counted by bytes.split (NumPy's fixed cost is higher).
_SMALL_BLOCK = 2048


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


def _line_text(data: Any, start: int) -> str:
    end = data.find(b"\n", start)
    return str(data[start:end if end >= 0 else len(data)], "utf-8", "replace").rstrip("\r")


def _ends_inside(data: Any, offset: int, natoms: int, count_line: int) -> ValueError | None:
    """The error for a frame whose atom lines the data does not hold, or None if it does."""
    tail = bytes(data[offset:])
    have = tail.count(b"\n") + (0 if tail.endswith(b"\n") or not tail else 1)
    if have >= natoms:
        return None
    return ValueError(f"line {count_line}: the file ends inside a frame of {natoms} atoms "
                      f"(it holds {have} of its atom lines)")


def frame_error(raw: bytes, lineno: int) -> ValueError | None:
    """The error of a frame the frame scanner could not pass, from its bytes (from its count
    line, file line `lineno`, to the end of the file): a count line that is no atom count, or
    a file that ends before the frame does. None where the reader takes it (a count of more
    digits than the scanner takes, with int()'s limit raised)."""
    newline = raw.find(b"\n")
    try:
        natoms = _atom_count(raw[:newline if newline >= 0 else len(raw)], lineno)
    except ValueError as error:
        return error
    if newline < 0:
        return ValueError(f"line {lineno}: the file ends after the atom count, before the comment line")
    comment_end = raw.find(b"\n", newline + 1)
    return _ends_inside(raw, len(raw) if comment_end < 0 else comment_end + 1, natoms, lineno)


def atom_error(message: str, row: int | None, data: Any, line_start: int, count_line: int) -> ValueError:
    """The error of a frame's atom lines (from file line `count_line`): the parser's message
    with the file line of its `row` and the text of that line, which starts at `line_start`
    of `data` (None and -1: a failure in no line)."""
    if row is None or line_start < 0:
        return ValueError(f"line {count_line + 2}: {message}")
    return ValueError(f"line {count_line + 2 + row}: {message}: {_line_text(data, line_start)!r}")


def _atom_error(error: ValueError, data: Any, offset: int, natoms: int, count_line: int) -> ValueError:
    """The block reader's error with the file line of its row and that line's text."""
    ended = _ends_inside(data, offset, natoms, count_line)
    if ended is not None:
        return ended
    message = str(error)
    row = _ROW.match(message)
    if row is not None and int(row.group(1)) < natoms:
        return atom_error(message, int(row.group(1)), data, skip_lines(data, offset, int(row.group(1))), count_line)
    return atom_error(message, None, data, -1, count_line)


def comment_error(raw: bytes, count_line: int) -> ValueError | None:
    """The error of the comment line `raw` (file line count_line + 1), or None if it is read."""
    try:
        _comment_line(raw, count_line)
    except ValueError as error:
        return error
    return None


def _comment_line(raw: bytes, count_line: int) -> tuple[Any, ...]:
    """The comment line `raw` read: (lattice, pbc, info, layout)."""
    try:
        comment = str(raw, "utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"line {count_line + 1}: the comment line is not UTF-8: {raw!r}") from error
    try:
        properties, lattice, pbc, info = _comment_read.parse(comment)
        return lattice, pbc, info, read_layout(PLAIN_XYZ if properties is None else properties)
    except ValueError as error:
        raise ValueError(f"line {count_line + 1}: {error}: {comment.rstrip(chr(13))!r}") from error


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


def _frame(data: Any, comment_start: int, comment_end: int, natoms: int, count_line: int,
           strict: bool = False, columns: StrColumns | None = None) -> tuple[Frame, int]:
    """The frame whose comment line is data[comment_start:comment_end] and the offset after
    it; `strict` refuses atom lines with more tokens than the frame has columns. `columns`
    are the str columns of the walk's frame before, if there is one."""
    lattice, pbc, info, layout = _comment_line(data[comment_start:comment_end], count_line)
    offset = min(comment_end + 1, len(data))
    try:
        parsed, end = _block.read_block(data, offset, natoms, layout.col_types)
    except ValueError as error:
        raise _atom_error(error, data, offset, natoms, count_line) from error
    if strict:
        stray = _stray_token(data, offset, end, natoms, len(layout.col_types), count_line)
        if stray is not None:
            raise stray
    symbols, arrays = layout.unpack(parsed, StrColumns() if columns is None else columns)
    if pbc is None:
        pbc = _PERIODIC if lattice is not None else _OPEN
    return Frame(symbols, arrays, lattice, pbc, info), end


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


def _atom_count(count_text: bytes, lineno: int) -> int:
    try:
        natoms = int(count_text)
        if natoms >= 0:
            return natoms
    except ValueError:
        pass
    text = str(count_text, "utf-8", "replace").strip()
    raise ValueError(f"line {lineno}: expected the number of atoms, found {text[:80]!r}")


def _scanned(data: Any, comment_start: int, comment_end: int, natoms: int, lineno: int,
             skipper: LineSkipper, columns: StrColumns, strict: bool = True) -> tuple[Frame | ValueError, int]:
    """A frame, or the error that says why it cannot be read, and where the walk goes on;
    raises that error when the data ends inside the frame."""
    try:
        return _frame(data, comment_start, comment_end, natoms, lineno, strict, columns)
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
            frame, pos = _frame(data, comment_start, comment_end, natoms, lineno, False, columns)
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


def _index(index: Index) -> int | slice:
    if isinstance(index, str):
        text = index.strip()
        if ":" not in text:
            return int(text)
        parts = [int(part) if part.strip() else None for part in text.split(":")]
        if len(parts) > 3:
            raise ValueError(f"index {index!r} is not an int or a slice like '1:10:2'")
        return slice(*parts)
    if isinstance(index, slice):
        return index
    # A list or a float is a plausible guess at the interface; name what it takes instead
    # of failing on a missing __index__.
    if not hasattr(type(index), "__index__"):
        raise TypeError("frame index must be an int, a slice, or a str like '-1' or '10:20:2', "
                        f"not {type(index).__name__}")
    return int(index.__index__())


class SkippedFrameWarning(UserWarning):
    """A frame that a lenient read (errors="skip") left out: the message names the file,
    the frame's line and why it could not be read."""


def _plain_file(data: Input) -> tuple[int, int] | None:
    """The descriptor and size (when opened) of the plain file that `data` reads, or None for
    any other source. open_input reads a plain file through its unbuffered file object, whose
    seek the Input keeps; nothing is read yet when this is asked."""
    raw = getattr(data._seek, "__self__", None)
    if isinstance(raw, io.FileIO) and not raw.closed:
        return raw.fileno(), data._size
    return None


def in_file(error: ValueError, name: Any) -> None:
    """Puts the file's name in front of the error of a frame ("train.xyz: line 262: ..."), so
    that a read over many files says which one is bad. `name`: a path, or a file object's
    `name` (one without a str name is left out)."""
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if isinstance(name, str) and name and error.args and isinstance(error.args[0], str) \
            and error.args[0].startswith("line "):
        error.args = (f"{name}: {error.args[0]}", *error.args[1:])


def _iread(source: Any, index: int | slice, errors: str = "raise") -> Iterator[Frame]:
    if errors not in ("raise", "skip"):
        raise ValueError(f'errors must be "raise" or "skip", not {errors!r}')
    try:
        yield from _iread_named(source, index, errors)
    except ValueError as error:
        in_file(error, os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", None))
        raise


def _iread_named(source: Any, index: int | slice, errors: str) -> Iterator[Frame]:
    # One frame asked for by number cannot be left out: its error is raised either way.
    skip_bad = errors == "skip" and isinstance(index, slice)
    with open_input(source) as data:
        # Frames come a run at a time, cut from tables the module reads.
        from atomkit._table_read import iter_frames  # (that module builds on this one)
        batches = iter_frames(data, index, errors if skip_bad else "raise", describe(source))
        if batches is not None:
            found = False
            for frame in batches:
                found = True
                yield frame
            if not found and isinstance(index, int):
                raise IndexError(f"frame {index} is past the end of {describe(source)}")
            return
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
        # Counting from the end: one pass to find where the frames start, then those chosen.
        # A plain file is scanned by the module (as a FrameIndex is built) and read again
        # from where they start; another source is held whole and walked.
        plain = _plain_file(data)
        if plain is not None:
            offsets, lines = _index_scan.frame_starts(*plain, data.name, _io.LINE_LIMIT)
        else:
            data.load_all()
            starts: list[tuple[int, int]] = []
            for _ in _frames(data, (), _ALL, starts=starts):
                pass
            offsets, lines = [offset for offset, _ in starts], [lineno for _, lineno in starts]
        try:
            chosen = range(len(offsets))[index]
        except IndexError:
            raise IndexError(f"frame {index} is not in {describe(source)} ({len(offsets)} frames)") from None
        if isinstance(chosen, int):
            chosen = range(chosen, chosen + 1)
        if plain is None:
            for k in chosen:
                yield from _frames(data, (0,), 1, int(offsets[k]), int(lines[k]), skip_bad=skip_bad)
            return
        # Forward runs are read in one walk; a backward one frame by frame.
        runs = [chosen] if chosen.step > 0 else [range(k, k + 1) for k in chosen]
        for run in runs:
            if not run:
                continue
            offset, lineno = int(offsets[run.start]), int(lines[run.start])
            data.seek(offset)
            yield from _frames(data, range(0, len(run) * run.step, run.step), (len(run) - 1) * run.step + 1,
                               0, lineno, skip_bad=skip_bad)


def scan(source: Any) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
    """Every frame of `source` in order, for checking a whole file: (the Frame, or the
    ValueError that says why it cannot be read; its comment line as in the file). Unlike
    `iread`, an atom line with more tokens than the frame's columns is an error, and a bad
    frame does not end the walk: its count says how many lines to pass over.
    A bad count line, or data that ends inside a frame, is the last item (comment None)."""
    from atomkit._table_read import checked_frames  # (that module builds on this one)
    with open_input(source) as data:
        try:
            yield from checked_frames(data)
        except ValueError as error:
            yield error, None


def iread(source: Any, index: Index = ":", errors: str = "raise") -> Iterator[Frame]:
    """Frames of an extended XYZ file, one at a time as the file is read.

    source: a path (str or os.PathLike; `.gz`, `.bz2` and `.xz` are decompressed by
        suffix) or a binary or text file object.
    index: which frames: an int (negative counts from the end), a slice, or the same as a
        str ("-1", ":", "10:20:2"). Frames outside a forward selection are skipped
        without being parsed; one counted from the end needs a first pass over the file.

    errors: "raise" (the default) ends the read at the first frame that cannot be read,
        with a ValueError naming its file line; "skip" leaves such a frame out of a
        selection of frames and warns once per frame (SkippedFrameWarning, naming the file,
        the line and the reason), so that `warnings` can count them or make them errors.
        Indices count the frames of the file, kept or not. A bad count line, or data that
        ends inside a frame, still raises: nothing after it can be trusted.

    Raises ValueError naming the file (a path, or a file object's `name` where it has one)
    and line, and showing its text, for a line that cannot be read ("train.xyz: line 262:
    ..."); IndexError for an int index past the last frame.
    """
    return _iread(source, _index(index), errors)


@overload
def read(source: Any, index: int = -1, errors: str = "raise") -> Frame: ...
@overload
def read(source: Any, index: slice, errors: str = "raise") -> list[Frame]: ...
@overload
def read(source: Any, index: str, errors: str = "raise") -> Frame | list[Frame]: ...


def read(source: Any, index: Index = -1, errors: str = "raise") -> Frame | list[Frame]:
    """The frame `index` of an extended XYZ file (the last one by default), or a list of
    frames when `index` is a slice or a str with ':' (":" for all). See `iread`, also for
    `errors="skip"`."""
    selection = _index(index)
    frames = list(_iread(source, selection, errors))
    return frames[0] if isinstance(selection, int) else frames
