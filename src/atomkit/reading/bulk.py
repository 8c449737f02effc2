# read_table's bulk path: a file's frames found by the module's scan, then read by a module call
# (one for a file up to a GiB) whose threads each read and parse the text of their own frames
# into the table's columns; Python only names the columns (in reading.compose). The runs and
# calls here serve reading.runs too.
"""The bulk reading behind atomkit.read_table."""
from __future__ import annotations

import contextlib
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import _atomkit
from atomkit.base.files import Input, pread
from atomkit.reading.compose import _compose, _LayoutRows
from atomkit.reading.frames import _plain_file
from atomkit.reading.layouts import PLAIN_XYZ, ReadLayout, read_layout
from atomkit.reading.scan import scan_rows
from atomkit.table.table import FrameTable

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
