# read_table's bulk path: a file's frames found by the module's scan, then read by a module call
# (one for a file up to a GiB) whose threads each read and parse the text of their own frames
# into the table's columns; Python only names the columns (in _table_compose). The runs and
# calls here serve _run_read too.
"""The bulk reading behind atomkit.read_table."""
from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import _atomkit
from atomkit._index_file import pread
from atomkit._index_scan import scan_rows
from atomkit._io import Input, open_input
from atomkit._properties import PLAIN_XYZ, ReadLayout, read_layout
from atomkit._reader import Index, _index, _plain_file, describe, in_file
from atomkit._frame import Frame
from atomkit._table import FrameTable, species_clash, table_of
from atomkit._table_compose import _compose, _LayoutRows
from atomkit._table_concat import concat

# Text read and parsed by one of the run reader's module calls at most: a plain file is read
# this much at a time (one read ahead), so that its text (with what one call makes of it) stays
# under a tenth of a large file beside the frames; calls of this size cost no more than one big one.
_BATCH_BYTES = 1 << 22
# A file's frames are read into a table by one call of at most this much text. A call lets the
# interpreter lock go for its whole length, so Ctrl-C waits for it: a larger file is read in
# calls whose columns are copied into the table's, one call's beside the table at a time.
_SEGMENT_BYTES = 1 << 30
_REFUSAL = 5  # the items of read_table_rs's refusal


def _frame_ends(rows: np.ndarray, size: int, chosen: np.ndarray) -> np.ndarray:
    """Where the text of each of the frames `chosen` ends: where the next frame starts."""
    return np.append(rows[1:, 0], size)[chosen]


def _spans(rows: np.ndarray, size: int, chosen: np.ndarray, most: int | None = None) -> list[tuple[int, int]]:
    """The chosen frames (ascending) in runs whose text takes about `most` bytes at most
    (_BATCH_BYTES by default): (first, stop) into `chosen` each."""
    most = _BATCH_BYTES if most is None else most
    starts = rows[chosen, 0]
    ends = _frame_ends(rows, size, chosen)
    runs, first = [], 0
    while first < len(chosen):
        stop = max(first + 1, int(np.searchsorted(ends, starts[first] + most, side="right")))
        runs.append((first, stop))
        first = stop
    return runs


def bulk_table(data: Input, selection: slice, threads: int) -> FrameTable | None:
    """The table of the frames `selection` of a plain regular file, scanned and read a part at
    a time, or None where the bulk path leaves it to the run reader (a frame that cannot be
    read, or one it does not read alone)."""
    plain = _plain_file(data)
    if plain is None:
        return None
    source, size = plain
    try:
        rows, properties, _ = scan_rows(source, size, data.name, threads=threads)
    except ValueError:
        return None
    chosen = np.arange(len(rows))[selection]
    order = None
    if len(chosen) > 1 and chosen[1] < chosen[0]:  # backwards: read forwards, then turned
        chosen, order = chosen[::-1], np.arange(len(chosen))[::-1]
    table = rows_table(source, size, rows, properties, chosen, threads)
    return table if table is None or order is None else table._take(order)


def _texts(source: int | bytes, bounds: list[tuple[int, int]]) -> Iterator[Any]:
    """The bytes low..high of each of `bounds`. A file's are read one ahead on a helper
    thread while the module parses the ones before (both let the interpreter lock go)."""
    if not isinstance(source, int):
        for low, high in bounds:
            yield memoryview(source)[low:high]
        return
    with ThreadPoolExecutor(max_workers=1) as reader:
        ahead = reader.submit(pread, source, *bounds[0]) if bounds else None
        for k in range(len(bounds)):
            text = ahead.result()  # type: ignore[union-attr]
            ahead = reader.submit(pread, source, *bounds[k + 1]) if k + 1 < len(bounds) else None
            yield text


def _layouts_of(properties: tuple[str | None, ...]) -> list[ReadLayout | None]:
    """The layout of each Properties string; None for one that is refused (its frames'
    errors say why)."""
    layouts: list[ReadLayout | None] = []
    for text in properties:
        try:
            layouts.append(read_layout(PLAIN_XYZ if text is None else text))
        except ValueError:
            layouts.append(None)
    return layouts


def _runs(source: int | bytes, size: int, rows: np.ndarray, chosen: np.ndarray,
          reverse: bool = False) -> Iterator[tuple[int, int, Any, int]]:
    """The runs of the frames `chosen` (ascending) that _spans makes, with their text:
    (first, stop) into `chosen`, the bytes, and the offset they start at; the bytes are None
    where the file is cut short since the scan. `reverse`: the last run first."""
    spans = _spans(rows, size, chosen)
    bounds = [(int(rows[chosen[first], 0]),
               int(rows[chosen[stop - 1] + 1, 0]) if chosen[stop - 1] + 1 < len(rows) else size) for first, stop in spans]
    if reverse:
        spans.reverse()
        bounds.reverse()
    with contextlib.closing(_texts(source, bounds)) as texts:
        for (first, stop), (low, high), text in zip(spans, bounds, texts):
            yield first, stop, (text if len(text) == high - low else None), low


def _call(text: Any, low: int, picked: np.ndarray, layouts: list[Any], threads: int,
          strict: bool = False, ends: np.ndarray | None = None) -> tuple[Any, ...]:
    """read_table_rs over the frames `picked` (rows as the scan found them) of `text`, the
    file's bytes from offset `low`, or (with `ends`, where each frame's text ends) the file
    whose descriptor `text` is: its refusal (five items) as it is, or its result with each
    layout's atom columns by layout number ({number: columns}). `strict`: an atom line with
    more tokens than its columns is refused."""
    part = picked.copy() if ends is None else np.column_stack((picked, ends))
    part[:, 0] -= low
    # The call knows only the layouts of its frames (a file may name thousands).
    used, part[:, 3] = np.unique(part[:, 3], return_inverse=True)
    result = _atomkit.read_table_rs(text, part, tuple(layouts[number].col_types for number in used.tolist()), threads,
                                    int(strict))
    if len(result) == _REFUSAL:
        return result
    return (*result[:6], dict(zip(used.tolist(), result[6])), result[7])


def rows_table(fd: int, size: int, rows: np.ndarray, properties: tuple[str | None, ...],
               chosen: np.ndarray, threads: int) -> FrameTable | None:
    """The table of the frames `chosen` (ascending) of a file's frames `rows` as the scan found
    them (offset, atoms, line, layout; the Properties strings layouts stand for), read from the
    file `fd` of `size` bytes by calls whose threads each read the text of their own frames, a
    window at a time, into their rows of the call's columns (the table's, when one call reads
    all); None where a frame is left to the frame-by-frame reader, or the file changed since
    its scan."""
    layouts = _layouts_of(properties)
    picked = rows[chosen]
    if any(layouts[number] is None for number in np.unique(picked[:, 3]).tolist()):
        return None
    ends = _frame_ends(rows, size, chosen)
    spans = _spans(rows, size, chosen, _SEGMENT_BYTES)
    many = len(spans) > 1
    # Each layout's rows over all calls, filled as the calls come (one call keeps its own).
    atoms: dict[int, Any] = {}
    if many:
        totals = np.bincount(picked[:, 3], weights=picked[:, 1], minlength=len(layouts))
        atoms = {number: _LayoutRows(layouts[number].col_types, int(totals[number]))  # type: ignore[union-attr]
                 for number in np.unique(picked[:, 3]).tolist()}
    results = []
    for first, stop in spans:
        result = _call(fd, 0, picked[first:stop], layouts, threads, ends=ends[first:stop])
        if len(result) == _REFUSAL:
            return None
        for number, columns in result[6].items():
            if many:
                atoms[number].add(columns)
            else:
                atoms[number] = columns
        results.append((first, (*result[:6], None, result[7])))
    if many:
        atoms = {number: layout_rows.columns() for number, layout_rows in atoms.items()}
    return _compose(picked, layouts, results, atoms)


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
    from atomkit._run_read import is_forward, iter_frames  # (that module builds on this one)
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
