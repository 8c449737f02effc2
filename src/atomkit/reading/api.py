# The public reading functions: read, iread and read_table over the one driver, with the
# selection parsed and every error named by its file; and the walk the `check` command takes.
"""atomkit.read, atomkit.iread and atomkit.read_table."""
from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, NamedTuple, overload

import numpy as np

from atomkit.base.frame import Frame
from atomkit.reading import reader
from atomkit.reading.errors import in_file
from atomkit.reading.runs import frames_of, plans
from atomkit.table.table import FrameTable

Index = int | slice | str


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


def _named(source: Any) -> Any:
    return os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", None)


def _check_errors(errors: str) -> None:
    if errors not in ("raise", "skip"):
        raise ValueError(f'errors must be "raise" or "skip", not {errors!r}')


def _iread(source: Any, index: int | slice, errors: str) -> Iterator[Frame]:
    _check_errors(errors)
    try:
        with reader.Source.open(source) as opened:
            # One frame asked for by number cannot be left out: its error is raised either way.
            yield from reader.frames(opened, index, errors == "skip" and isinstance(index, slice))
    except ValueError as error:
        in_file(error, _named(source))
        raise


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
    _check_errors(errors)
    try:
        with reader.Source.open(source) as opened:
            if isinstance(selection, int):
                return next(reader.frames(opened, selection, False))
            # In runs of RUN_BYTES, as iread: a run's buffers are used again by the next (one run
            # of a whole file would take fresh pages for every frame's arrays).
            return list(reader.frames(opened, selection, errors == "skip"))
    except ValueError as error:
        in_file(error, _named(source))
        raise


def read_table(source: Any, index: Index = ":", threads: int | None = None, errors: str = "raise") -> FrameTable:
    """The frames `index` (all by default) of an extended XYZ file as one FrameTable.

    source, index and errors as for atomkit.iread; an int index gives a table of one frame.
    threads: the most threads that parse atom lines at once (None: atomkit.get_threads());
    the table is the same for any count.

    ValueError for a frame that cannot be read (naming its line), or a per-atom column whose
    type or width differs between two frames (naming both and their lines); IndexError for
    an int index past the last frame.
    """
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be None or an int of at least 1, not {threads!r}")
    _check_errors(errors)
    selection = _index(index)
    one = isinstance(selection, int)
    if one:  # one frame asked for by number is not left out: its error is raised either way
        selection, errors = slice(selection, selection + 1 or None), "raise"
    try:
        with reader.Source.open(source, threads or 0) as opened:
            table = reader.table(opened, selection, errors == "skip")
    except ValueError as error:
        in_file(error, _named(source))
        raise
    if one and len(table) != 1:
        raise IndexError(f"frame {index} is out of range")
    return table


class Facts(NamedTuple):
    """What a frame's comment line itself held (the Frame fills in defaults): its Properties
    value (None without the key), whether it held Lattice and pbc, and its info keys."""

    properties: str | None
    lattice: bool
    pbc: bool
    keys: tuple[str, ...]


def checked(source: Any) -> Iterator[tuple[Frame | ValueError, Facts | None]]:
    """Every frame of `source` in order, for checking a whole file: (the Frame, or the
    ValueError that says why it cannot be read; what its comment line held, or None). A bad
    frame does not end the walk; the frame the scan cannot pass is the last item."""
    with reader.Source.open(source) as opened:
        for run, layout_plans, refusals in reader.runs(opened, slice(None), True, reader.RUN_BYTES):
            yield from _checked_run(opened, run, layout_plans, refusals)


def _checked_run(opened: reader.Source, run: Any, layout_plans: list[Any],
                 refusals: list[Any]) -> Iterator[tuple[Any, Any]]:
    if run is None:
        for refusal in refusals:
            yield opened.error(refusal), None
        return
    frames = frames_of(run, layout_plans)
    properties = opened.reader.properties
    facts = [Facts(properties[layout] if has else None, bool(lattice), bool(pbc),
                   tuple(run.info[c].key for c in run.key_sets[key_set]))
             for layout, has, lattice, pbc, key_set in zip(run.layout.tolist(), run.has_properties.tolist(),
                                                         run.has_lattice.tolist(), run.has_pbc.tolist(),
                                                         run.key_set.tolist())]
    numbers = run.frames.tolist()
    k = 0
    for refusal in refusals:
        while k < len(frames) and numbers[k] < refusal.frame:
            yield frames[k], facts[k]
            k += 1
        yield opened.error(refusal), None
        if refusal.fatal:
            return
    for frame, fact in zip(frames[k:], facts[k:]):
        yield frame, fact
