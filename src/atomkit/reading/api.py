# The public reading functions: read and iread (frames of any source, one at a time), scan (every
# frame of a file checked, for the command) and read_table (frames as one FrameTable), over the
# bulk path of reading.bulk and the run reader of reading.runs.
"""atomkit.read, atomkit.iread and atomkit.read_table."""
from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, overload

import numpy as np

import _atomkit
from atomkit.base.files import describe, open_input
from atomkit.base.frame import Frame
from atomkit.reading.bulk import bulk_table
from atomkit.reading.frames import Index, _index, in_file
from atomkit.reading.runs import checked_frames, is_forward, iter_frames
from atomkit.table.concat import concat
from atomkit.table.table import FrameTable, species_clash, table_of


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
        found = False
        for frame in iter_frames(data, index, errors if skip_bad else "raise", describe(source)):
            found = True
            yield frame
        if not found and isinstance(index, int):
            raise IndexError(f"frame {index} is past the end of {describe(source)}")


def scan(source: Any) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
    """Every frame of `source` in order, for checking a whole file: (the Frame, or the
    ValueError that says why it cannot be read; its comment line as in the file). Unlike
    `iread`, an atom line with more tokens than the frame's columns is an error, and a bad
    frame does not end the walk: its count says how many lines to pass over.
    A bad count line, or data that ends inside a frame, is the last item (comment None)."""
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


def read_table(source: Any, index: Index = ":", threads: int | None = None, errors: str = "raise") -> FrameTable:
    """The frames `index` (all by default) of an extended XYZ file as one FrameTable.

    source, index and errors as for atomkit.iread; an int index gives a table of one frame.
    threads: the most threads that parse atom lines at once (None: atomkit.get_threads());
    the table is the same for any count.

    ValueError for a frame that cannot be read (naming its line), or a per-atom column whose
    type or width differs between two frames (naming both); IndexError for an int index past
    the last frame.
    """
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be None or an int of at least 1, not {threads!r}")
    if errors not in ("raise", "skip"):
        raise ValueError(f'errors must be "raise" or "skip", not {errors!r}')
    selection = _index(index)
    one = isinstance(selection, int)
    if one:  # one frame asked for by number is not left out: its error is raised either way
        selection, errors = slice(selection, selection + 1 or None), "raise"
    try:
        table = _read_table_named(source, selection, threads or _atomkit.get_threads(), errors)
    except ValueError as error:
        in_file(error, os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", None))
        raise
    if one and len(table) != 1:
        raise IndexError(f"frame {index} is out of range")
    return table


def _read_table_named(source: Any, selection: slice, threads: int, errors: str) -> FrameTable:
    """A regular file in bulk; the rest (and a file whose frames the bulk path leaves) a run at
    a time as the run reader reads it, forward selections as tables joined end to end."""
    with open_input(source) as data:
        table = bulk_table(data, selection, threads)
        if table is not None:
            return table
        if is_forward(selection):
            tables: list[FrameTable] = []
            for piece in iter_frames(data, selection, errors, describe(source), tables=True, threads=threads):
                tables.append(_frame_table(piece, tables) if type(piece) is Frame else piece)
            return concat(tables)
        return table_of(iter_frames(data, selection, errors, describe(source)))


def _frame_table(frame: Frame, before: list[FrameTable]) -> FrameTable:
    """The table of a frame read alone, which follows the tables `before`; its error names
    frames as the joined table numbers them."""
    if frame.symbols is None and "species" in frame.arrays:
        frames = [table.array_present["species"] for table in before]
        having = np.flatnonzero(np.concatenate(frames)) if frames else np.zeros(0, np.int64)
        raise species_clash(int(having[0]) if len(having) else -1, np.asarray(frame.arrays["species"]),
                            sum(len(table) for table in before))
    return table_of([frame])
