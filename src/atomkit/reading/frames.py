# One frame read alone, and the errors of frames worded from what the module says (named by
# their file); what a frame index in a call means; the warning of a frame left out.
"""Frames read alone and the errors of frames."""
from __future__ import annotations

import io
import os
import re
import stat
import sys
from typing import Any

from atomkit.base.files import Input
from atomkit.base.frame import Frame
from atomkit.comment.read import parse
from atomkit.reading import block as _block
from atomkit.reading.layouts import PLAIN_XYZ, StrColumns, read_layout

Index = int | slice | str
_PERIODIC = (True, True, True)
_OPEN = (False, False, False)
_ROW = re.compile(r"row ([0-9]+): ")
_ALL = sys.maxsize


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


def frame_error(raw: bytes, lineno: int, wanted: bool) -> ValueError | None:
    """The error of a frame the frame scanner could not pass, from its bytes (from its count
    line, file line `lineno`, to the end of the file): a count line that is no atom count, or
    a file that ends before the frame does (after a bad comment line, that line's error if the
    frame is `wanted`, that is read rather than passed over). None where the reader takes it
    (a count of more digits than the scanner takes, with int()'s limit raised)."""
    newline = raw.find(b"\n")
    try:
        natoms = _atom_count(raw[:newline if newline >= 0 else len(raw)], lineno)
    except ValueError as error:
        return error
    if newline < 0:
        return ValueError(f"line {lineno}: the file ends after the atom count, before the comment line")
    comment_end = raw.find(b"\n", newline + 1)
    if comment_end < 0:
        comment_end = len(raw)
    ended = _ends_inside(raw, min(comment_end + 1, len(raw)), natoms, lineno)
    return (comment_error(raw[newline + 1:comment_end], lineno) if wanted and ended else None) or ended


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
        start = offset
        for _ in range(int(row.group(1))):  # the data holds every atom line: _ends_inside saw to that
            start = data.find(b"\n", start) + 1
        return atom_error(message, int(row.group(1)), data, start, count_line)
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
        properties, lattice, pbc, info = parse(comment)
        return lattice, pbc, info, read_layout(PLAIN_XYZ if properties is None else properties)
    except ValueError as error:
        raise ValueError(f"line {count_line + 1}: {error}: {comment.rstrip(chr(13))!r}") from error


def _frame(data: Any, comment_start: int, comment_end: int, natoms: int, count_line: int,
           columns: StrColumns | None = None) -> tuple[Frame, int]:
    """The frame whose comment line is data[comment_start:comment_end] and the offset after
    it, read alone. `columns`: the str columns of a frame read before, whose arrays equal
    ones are copied from."""
    lattice, pbc, info, layout = _comment_line(data[comment_start:comment_end], count_line)
    offset = min(comment_end + 1, len(data))
    try:
        parsed, end = _block.read_block(data, offset, natoms, layout.col_types)
    except ValueError as error:
        raise _atom_error(error, data, offset, natoms, count_line) from error
    symbols, arrays = layout.unpack(parsed, StrColumns() if columns is None else columns)
    if pbc is None:
        pbc = _PERIODIC if lattice is not None else _OPEN
    return Frame(symbols, arrays, lattice, pbc, info), end


def _atom_count(count_text: bytes, lineno: int) -> int:
    try:
        natoms = int(count_text)
        if natoms >= 0:
            return natoms
    except ValueError:
        pass
    text = str(count_text, "utf-8", "replace").strip()
    raise ValueError(f"line {lineno}: expected the number of atoms, found {text[:80]!r}")


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
    """The descriptor and size (when opened) of the plain regular file that `data` reads, or
    None for any other source (a pipe or a device among them: what is read of it cannot be
    read again). open_input reads a plain file through its unbuffered file object, whose seek
    the Input keeps; nothing is read yet when this is asked."""
    raw = getattr(data._seek, "__self__", None)
    if isinstance(raw, io.FileIO) and not raw.closed and stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
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
