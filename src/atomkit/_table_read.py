# read_table's bulk path: a source's frames found by the module's scan, then read a few
# tens of MB at a time by module calls into columns on several threads; Python only names
# and joins the columns.
"""The bulk reading behind atomkit.read_table."""
from __future__ import annotations

import contextlib
import os
import stat
import warnings
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import _atomkit
from atomkit._frame import Frame
from atomkit._index_file import pread
from atomkit._index_scan import _LONG_LINE, StreamScan, scan_rows
from atomkit import _io
from atomkit._io import Input, changed, open_input
from atomkit._properties import PLAIN_XYZ, ReadLayout, read_layout
from atomkit import _reader
from atomkit._reader import Index, SkippedFrameWarning, _index, _plain_file, iread
from atomkit._comment_read import _info_value, _lattice
from atomkit._table import Builder, FrameTable, _info_column, table_of


# Text read and parsed by one module call at most: a plain file is read this much at a time
# (one read ahead), so that its text (with what one call makes of it) stays under a tenth of
# a large file beside the columns; calls of this size cost no more than one big one.
_BATCH_BYTES = 1 << 22


def _strings(coded: tuple[list[str], np.ndarray]) -> np.ndarray:
    """A str column from its distinct tokens and each row's index into them."""
    distinct, index = coded
    return np.array(distinct or [""], dtype=str)[index]


def _layout_arrays(layout: ReadLayout, columns: tuple[Any, ...]) -> tuple[Any, dict[str, np.ndarray]]:
    """(species as (distinct, index) or None, arrays by name) of one layout's rows."""
    floats, ints, bools, strs = columns
    sources = (floats, ints, bools.view(np.bool_))
    arrays: dict[str, np.ndarray] = {}
    for name, group, start, where in layout.plan:
        if group < 3:
            arrays[name] = sources[group][:, where]
        elif where > 1:
            arrays[name] = np.stack([_strings(strs[c]) for c in range(start, start + where)], axis=1)
        else:
            arrays[name] = _strings(strs[start])
    return (strs[layout.species] if layout.species is not None else None), arrays


def _info_pieces(info: list[tuple[str, np.ndarray, Any, Any]], first: int,
                 pieces: dict[str, list[tuple[int, np.ndarray, np.ndarray, Any]]]) -> None:
    """Adds one call's info columns to `pieces` (key: (first frame, present, values, integers))."""
    for key, present, values, integers in info:
        parts = pieces.setdefault(key, [])
        if values is None:  # every value of the key was left to the package
            continue
        if isinstance(values, tuple):  # texts: distinct values, and each frame's (-1: absent)
            texts, index = values
            values = np.array([*texts, ""], dtype=str)[index]
        parts.append((first, present, values, integers))


def _raw(n: int, pieces: list[tuple[int, np.ndarray, np.ndarray, Any]]) -> np.ndarray:
    """Each frame's value as written, of a key whose frames hold integers and reals."""
    raw = np.full(n, None, dtype=object)
    for first, present, values, integers in pieces:
        part = raw[first:first + len(present)]
        part[present] = values[present].tolist()
        if values.dtype.kind == "i":
            continue
        if integers is not None:
            ints, integral = integers
            part[integral] = ints[integral].tolist()
    return raw


def _joined_column(n: int, pieces: list[tuple[int, np.ndarray, np.ndarray, Any]]) -> tuple[np.ndarray, np.ndarray, Any] | None:
    """(values, present, raw or None) of one key over `n` frames from the pieces the calls
    made, as one call over all the frames makes it; None where the pieces' types clash."""
    if not pieces:  # no value typed by the module: the package types them all
        return np.zeros(n), np.zeros(n, bool), None
    if len(pieces) == 1 and pieces[0][0] == 0 and len(pieces[0][1]) == n:
        _, present, values, integers = pieces[0]
        return values, present, (_raw(n, pieces) if integers is not None else None)
    kinds = {(values.dtype.kind, values.shape[1:]) for _, _, values, _ in pieces}
    numbers = kinds <= {("i", ()), ("f", ())}
    if len(kinds) > 1 and not numbers:
        return None
    dtype = np.float64 if numbers and len(kinds) > 1 else np.result_type(*(values.dtype for _, _, values, _ in pieces))
    column = np.zeros((n, *pieces[0][2].shape[1:]), dtype)
    present = np.zeros(n, bool)
    for first, part, values, _ in pieces:
        column[first:first + len(part)] = values
        present[first:first + len(part)] = part
    mixed = len(kinds) > 1 or any(integers is not None for *_, integers in pieces)
    return column, present, (_raw(n, pieces) if mixed else None)


def _join_info(table: FrameTable, n: int, pieces: dict[str, list[tuple[int, np.ndarray, np.ndarray, Any]]]) -> bool:
    """The table's info columns from every call's; False where their types clash."""
    table.info, table.info_present, table._raw = {}, {}, {}
    for key, parts in pieces.items():
        joined = _joined_column(n, parts)
        if joined is None:
            return False
        table.info[key], table.info_present[key], raw = joined
        if raw is not None:
            table._raw[key] = raw
    return True


class _LayoutRows:
    """One layout's atom columns over every call of a read, filled call by call (so that a
    call's columns go as soon as they are copied, and the columns are never held twice)."""

    __slots__ = ("floats", "ints", "bools", "strs", "filled")

    def __init__(self, col_types: bytes, rows: int):
        counts = [col_types.count(code) for code in b"fibs"]
        self.floats = np.empty((rows, counts[0]))
        self.ints = np.empty((rows, counts[1]), np.int64)
        self.bools = np.empty((rows, counts[2]), np.uint8)
        # Per str column: its distinct tokens in order of first appearance, their numbers, and
        # each row's.
        self.strs = [([], {}, np.empty(rows, np.int32)) for _ in range(counts[3])]
        self.filled = 0

    def add(self, columns: tuple[Any, ...]) -> None:
        floats, ints, bools, strs = columns
        rows = slice(self.filled, self.filled + len(floats))
        self.floats[rows], self.ints[rows], self.bools[rows] = floats, ints, bools
        for (tokens, numbers, index), (distinct, part) in zip(self.strs, strs):
            for token in distinct:
                if numbers.setdefault(token, len(numbers)) == len(tokens):
                    tokens.append(token)
            index[rows] = np.array([numbers[token] for token in distinct] or [0], np.int32)[part]
        self.filled = rows.stop

    def columns(self) -> tuple[Any, ...]:
        return self.floats, self.ints, self.bools, [(tokens, index) for tokens, _, index in self.strs]


def _typed_later(table: FrameTable, deferred: list[tuple[int, str | None, str]]) -> bool:
    """Types the values the module left as written (key None: the Lattice) as reading the
    frame alone does, and puts them in their columns; False where one does not type."""
    typed: dict[str | None, dict[int, Any]] = {}
    try:
        for frame, key, text in deferred:
            typed.setdefault(key, {})[frame] = _lattice(text) if key is None else _info_value(key, text)
    except ValueError:
        return False
    for frame, lattice in typed.pop(None, {}).items():
        table.lattice[frame], table.has_lattice[frame] = lattice, True
    n = len(table)
    for key, values_of in typed.items():
        column, raw = table.info[key], table._raw.pop(key, None)
        present = table.info_present[key].copy()
        present[list(values_of)] = True
        frames = np.flatnonzero(present)
        values = [values_of[k] if k in values_of else raw[k] if raw is not None else
                  column[k] if column.ndim > 1 else column[k].item() for k in frames.tolist()]
        table.info[key], raw = _info_column(values, frames, n)
        table.info_present[key] = present
        if raw is not None:
            table._raw[key] = raw
    return True


def _compose(rows: np.ndarray, layouts: list[ReadLayout], results: list[tuple[int, tuple[Any, ...]]],
             atoms: dict[int, tuple[Any, ...]]) -> FrameTable | None:
    """The FrameTable of the frames `rows` from what read_table_rs made of them, call by call
    ((first frame, result) each), with every layout's atom columns over all calls; None where
    the calls' info types clash."""
    table = FrameTable.__new__(FrameTable)
    n = len(rows)
    table.natoms = rows[:, 1].copy()
    table.atom_offsets = np.concatenate(([0], np.cumsum(table.natoms))).astype(np.int64)
    if results:
        table.lattice, table.has_lattice, table.pbc = (
            np.concatenate([result[part] for _, result in results]) if len(results) > 1 else results[0][1][part]
            for part in range(3))
    else:
        table.lattice, table.has_lattice, table.pbc = np.zeros((0, 3, 3)), np.zeros(0, bool), np.zeros((0, 3), bool)
    pieces: dict[str, list[tuple[int, np.ndarray, np.ndarray, Any]]] = {}
    key_sets_of: dict[tuple[str, ...], int] = {}  # info keys in line order: their number
    key_set_of = np.zeros(n, np.int64)  # each frame's
    builder = Builder()
    names: dict[int, tuple[Any, ...]] = {}
    deferred: list[tuple[int, str | None, str]] = []
    for first, (_, _, _, info, key_set, key_sets, _, left) in results:
        _info_pieces(info, first, pieces)
        deferred.extend((first + frame, key, text) for frame, key, text in left)
        numbers = np.array([key_sets_of.setdefault(tuple(info[k][0] for k in keys), len(key_sets_of))
                            for keys in key_sets] or [0], np.int64)
        key_set_of[first:first + len(key_set)] = numbers[key_set]
    for number in np.unique(rows[:, 3]).tolist():
        frames = np.flatnonzero(rows[:, 3] == number)
        species, arrays = _layout_arrays(layouts[number], atoms[number])
        if species is not None:
            builder.coded_species(frames, *species)
        builder.arrays(frames, arrays)
        names[number] = (tuple(arrays), species is not None)
    if not _join_info(table, n, pieces) or not _typed_later(table, deferred):
        return None
    builder.atom_columns(table)
    # A frame's place in _layouts: its Properties and its info keys in line order.
    width = max(len(key_sets_of), 1)
    pairs, inverse = np.unique(rows[:, 3] * width + key_set_of, return_inverse=True)
    key_names = list(key_sets_of)
    table._layout_of = inverse.reshape(-1).astype(np.int32)
    table._layouts = [(*names[pair // width], key_names[pair % width]) for pair in pairs.tolist()]
    return table


def _spans(rows: np.ndarray, size: int, chosen: np.ndarray) -> list[tuple[int, int]]:
    """The chosen frames (ascending) in runs whose text takes about _BATCH_BYTES at most:
    (first, stop) into `chosen` each."""
    starts = rows[chosen, 0]
    ends = np.append(rows[1:, 0], size)[chosen]  # a frame ends where the next one starts
    runs, first = [], 0
    while first < len(chosen):
        stop = max(first + 1, int(np.searchsorted(ends, starts[first] + _BATCH_BYTES, side="right")))
        runs.append((first, stop))
        first = stop
    return runs


def bulk_table(data: Input, selection: slice, threads: int) -> FrameTable | None:
    """The table of the frames `selection` of a source, or None where the bulk path leaves it
    to the frame-by-frame reader (a frame that cannot be read, or one it does not read alone).
    A plain file is scanned and read a part at a time; any other source is held whole."""
    plain = _plain_file(data)
    try:
        if plain is None:
            data.load_all()
            whole = data.data
            source, size = whole, len(whole)
        else:
            source, size = plain
        rows, properties, _ = scan_rows(source, size, data.name)
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
          strict: bool = False) -> tuple[Any, ...]:
    """read_table_rs over the frames `picked` (rows as the scan found them) of `text`, the
    file's bytes from offset `low`: its refusal (five items) as it is, or its result with each
    layout's atom columns by layout number ({number: columns}). `strict`: an atom line with
    more tokens than its columns is refused."""
    part = picked.copy()
    part[:, 0] -= low
    # The call knows only the layouts of its frames (a file may name thousands).
    used, part[:, 3] = np.unique(part[:, 3], return_inverse=True)
    result = _atomkit.read_table_rs(text, part, tuple(layouts[number].col_types for number in used.tolist()), threads,
                                    int(strict))
    if len(result) == _REFUSAL:
        return result
    return (*result[:6], dict(zip(used.tolist(), result[6])), result[7])


# A forward read of a file up to this size scans it whole first (the scan's rows take 32 bytes
# a frame), then reads its runs with the next one read ahead; a larger one is read as a stream,
# so its first frames come at once and memory stays flat whatever its length.
_SCANNED_WHOLE = 1 << 30
_REFUSAL = 5
_COMMENT, _ATOMS, _CLASH = 0, 1, 2
# Info values that change type between frames of one run: after this many, the rest of the
# run is read a frame a call, each of which is taken (instead of one call per clash).
_CLASHES = 4


def rows_table(source: int | bytes, size: int, rows: np.ndarray, properties: tuple[str | None, ...],
               chosen: np.ndarray, threads: int) -> FrameTable | None:
    """The table of the frames `chosen` (ascending) of a source's frames `rows` as the scan
    found them (offset, atoms, line, layout; the Properties strings layouts stand for), read
    from `source` (a descriptor, read with pread, or all the bytes) of `size` bytes; None where
    a frame is left to the frame-by-frame reader."""
    layouts = _layouts_of(properties)
    picked = rows[chosen]
    if any(layouts[number] is None for number in np.unique(picked[:, 3]).tolist()):
        return None
    many = len(_spans(rows, size, chosen)) > 1
    # Each layout's rows over all calls, filled as the calls come (one call keeps its own).
    atoms: dict[int, Any] = {}
    if many:
        totals = np.bincount(picked[:, 3], weights=picked[:, 1], minlength=len(layouts))
        atoms = {number: _LayoutRows(layouts[number].col_types, int(totals[number]))  # type: ignore[union-attr]
                 for number in np.unique(picked[:, 3]).tolist()}
    results = []
    for first, stop, text, low in _runs(source, size, rows, chosen):
        result = None if text is None else _call(text, low, rows[chosen[first:stop]], layouts, threads)
        if result is None or len(result) == _REFUSAL:
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


def iter_frames(data: Input, index: int | slice, errors: str, described: str) -> Iterator[Frame]:
    """The frames `index` of a source, read a run at a time as tables that the frames are cut
    from, with the errors and warnings of the frame-by-frame reader (an int index: one frame,
    IndexError naming the source as `described` where one from the end is not there). A plain
    regular file (as _reader._plain_file finds it) is scanned with pread; a forward selection
    of a stream is read in parts as it comes; a stream read from its end is held whole."""
    selection = slice(index, index + 1 or None) if isinstance(index, int) else index
    forward = (selection.step or 1) > 0 and (selection.start or 0) >= 0 and (
        selection.stop is None or selection.stop >= 0)
    plain = _reader._plain_file(data)
    if plain is not None and not stat.S_ISREG(os.fstat(plain[0]).st_mode):
        plain = None
    if forward and (plain is None or plain[1] > _SCANNED_WHOLE):
        return _stream_frames(data, selection, errors == "skip")
    if plain is None:
        data.load_all()
    source, size = plain if plain is not None else (data.data, len(data.data))
    try:
        # A forward read gets the frames before one the scan cannot pass, as the reader would.
        rows, properties, failed = scan_rows(source, size, data.name, line_limit=_io.LINE_LIMIT,
                                             limit=selection.stop if forward else None, partial=forward)
    except ValueError:  # a line past the limit: read as a stream, the frames before it come first
        if plain is None or not forward:
            raise
        return _stream_frames(data, selection, errors == "skip")
    picked = range(len(rows))[selection]
    if isinstance(index, int) and index < 0 and not picked:
        raise IndexError(f"frame {index} is not in {described} ({len(rows)} frames)")
    if isinstance(index, int) and picked:  # one frame: a table's machinery costs more than it
        return iter([_alone(source, size if failed is None else failed[0], rows, picked[0], data)])
    frames = _batches(source, failed[0] if failed is not None else size, rows, _layouts_of(properties),
                      selection, errors == "skip", data.name, data._size if plain is not None else -1)
    return frames if failed is None else _failing(frames, data, source, len(rows), failed, selection)


def _alone(source: int | bytes, end: int, rows: np.ndarray, k: int, data: Input) -> Frame:
    """Frame k of the frames `rows` of a source whose frames end at `end`, read by the frame
    reader."""
    begin = int(rows[k, 0])
    stop = int(rows[k + 1, 0]) if k + 1 < len(rows) else end
    raw = pread(source, begin, stop) if isinstance(source, int) else bytes(source[begin:stop])
    if len(raw) != stop - begin:
        raise changed(data.name, "opened")
    return _read_alone(raw, int(rows[k, 1]), int(rows[k, 2]))


def _read_alone(raw: bytes, natoms: int, lineno: int) -> Frame:
    """The frame whose bytes (from its count line, file line `lineno`) are `raw`."""
    comment_start = raw.find(b"\n") + 1
    comment_end = raw.find(b"\n", comment_start)
    return _reader._frame(raw, comment_start, comment_end if comment_end >= 0 else len(raw), natoms, lineno)[0]


def checked_frames(data: Input) -> Iterator[tuple[Frame | ValueError, bytes]]:
    """Every frame of a source, read strictly (an atom line with more tokens than its columns
    is an error), as (the Frame or the error that says why it cannot be read, its comment line
    as bytes); a bad frame does not end the read, but a frame the scan cannot pass raises."""
    return _stream_frames(data, slice(None), False, checking=True)


def _refused_count(lineno: int) -> ValueError:
    # The scanner refuses a count of more digits than int() takes by default, which int() may
    # take with its limit raised (sys.set_int_max_str_digits): no file holds that many atoms.
    return ValueError(f"line {lineno}: the frame scanner refused a frame that atomkit.read takes")


def _batches(source: int | bytes, end: int, rows: np.ndarray, layouts: list[Any], selection: slice | np.ndarray,
             skip_bad: bool, name: str, size: int = -1, since: str = "opened", advice: str = "",
             checking: bool = False) -> Iterator[Any]:
    """The frames `selection` (a slice or the numbers) of the frames `rows` that the source's
    bytes up to `end` hold, a run at a time. A file (descriptor `source`) is checked against
    its `size` when opened after each run, since text read ahead may be all there is: one cut
    short "changed since it was {since}". `checking` (bytes only): atom lines are read
    strictly, and every frame comes as (the Frame or its error, its comment line's bytes)."""
    chosen = np.arange(len(rows))[selection]
    backwards = len(chosen) > 1 and chosen[1] < chosen[0]
    ascending = chosen[::-1] if backwards else chosen
    threads = _atomkit.get_threads()
    held = isinstance(source, int) and size >= 0
    for first, stop, text, low in _runs(source, end, rows, ascending, backwards):
        if text is None or held and os.fstat(source).st_size < size:  # type: ignore[arg-type]
            raise changed(name, since, advice)
        items = _run_items(text, low, rows[ascending[first:stop]], layouts, threads, checking)
        if checking:
            yield from zip(items, (_comment_of(source, offset) for offset in rows[ascending[first:stop], 0].tolist()))
            continue
        for item in (reversed(list(items)) if backwards else items):
            if type(item) is Frame:
                yield item
            elif skip_bad:
                warnings.warn(SkippedFrameWarning(f"{name}: skipped the frame at {item}"), stacklevel=3)
            else:
                raise item
    if held and os.fstat(source).st_size < size:  # type: ignore[arg-type]
        raise changed(name, since, advice)


def _comment_of(source: Any, offset: int) -> bytes:
    """The comment line of the frame whose count line starts at `offset` of `source`."""
    start = source.find(b"\n", offset) + 1
    end = source.find(b"\n", start)
    return source[start:end if end >= 0 else len(source)]


def frames_of(fd: int, end: int, rows: np.ndarray, properties: tuple[str | None, ...], chosen: np.ndarray,
              path: str) -> Iterator[Frame]:
    """The frames `chosen` of a file whose frames are `rows` (as the scan found them, the
    Properties strings their layout numbers stand for, the last ending at `end`), read a run
    at a time from the file's descriptor: a FrameIndex's, which checks the file afterwards."""
    return _batches(fd, end, rows, _layouts_of(properties), chosen, False, path, end, "indexed", "build a new FrameIndex")


def _failing(frames: Iterator[Frame], data: Input, source: int | bytes, n: int, failed: tuple[int, int, int],
             selection: slice) -> Iterator[Frame]:
    """`frames`, the frames before frame `n`, which the scan could not pass (`failed`: its
    offset, where the bytes that show why end, its line); then its error, if the selection runs
    past it."""
    yield from frames
    if selection.stop is not None and n >= selection.stop:
        return
    begin, stop, lineno = failed
    raw = pread(source, begin, stop) if isinstance(source, int) else bytes(source[begin:stop])
    if len(raw) != stop - begin:
        raise changed(data.name, "opened")
    raise _reader.frame_error(raw, lineno, _wanted(n, selection)) or _refused_count(lineno)


def _wanted(k: int, selection: slice) -> bool:
    """Whether frame k is one of a forward `selection`."""
    start, step = selection.start or 0, selection.step or 1
    return k >= start and (k - start) % step == 0 and (selection.stop is None or k < selection.stop)


def _stream_frames(data: Input, selection: slice, skip_bad: bool, checking: bool = False) -> Iterator[Any]:
    """The frames `selection` (forward) of a stream, read as they come: after each read, the
    frames it made whole are read as a run (from a pipe, a frame comes as soon as it is whole);
    the bytes of a frame not yet whole are kept for the next. `checking` as for _batches."""
    start, step = selection.start or 0, selection.step or 1
    stop = _reader._ALL if selection.stop is None else selection.stop
    scan = StreamScan(_io.LINE_LIMIT)
    # The stream's bytes from offset `base` not yet read as frames; frame `index` is the next.
    pending, base, index, ask = b"", 0, 0, min(_io.FIRST_CHUNK, _io.CHUNK)
    properties: tuple[str | None, ...] = ()
    layouts: list[Any] = []
    while index < stop:
        # Reads grow to CHUNK, and past it to what is held: a frame longer than a read is
        # joined in few copies.
        chunk = data.chunk(max(ask, len(pending)))
        ask = min(2 * ask, _io.CHUNK)
        pending += chunk
        with memoryview(pending) as view:
            rows, failed = scan.scan(view[scan.position - base:], scan.position, data.eof)
        if scan.properties != properties:
            properties = scan.properties
            layouts = _layouts_of(properties)
        if len(rows):
            rows[:, 0] -= base
            first = start if start >= index else start + -(-(index - start) // step) * step
            local = slice(first - index, max(first - index, min(stop - index, len(rows))), step)
            ends = (failed[1] if failed is not None else scan.kept) - base
            yield from _batches(pending, ends, rows, layouts, local, skip_bad, data.name, checking=checking)
            index += len(rows)
        if failed is not None:
            kind, begin, stop_at, lineno = failed
            if kind == _LONG_LINE:
                raise _io.long_line(lineno)
            if index < stop:
                raise _reader.frame_error(pending[begin - base:stop_at - base], lineno,
                                          _wanted(index, selection)) or _refused_count(lineno)
            return
        if data.eof:
            return
        pending, base = pending[scan.kept - base:], scan.kept


def _run_items(text: Any, low: int, picked: np.ndarray, layouts: list[Any], threads: int,
               strict: bool = False) -> Iterator[Any]:
    """The frames `picked` of one run, in order: each a Frame, or the ValueError that says why
    it cannot be read. Frames a call takes come cut from its table; a refused frame is worded
    from the refusal, or read alone where its info values only clash with the frames' before.
    Frames whose columns of one name differ in type or width (which one table cannot hold) are
    read a layout's stretch of frames a call."""
    bad_layout = np.array([layout is None for layout in layouts] or [False])[picked[:, 3]]
    start, clashes, by_layout = 0, 0, False
    while start < len(picked):
        stop = len(picked) if clashes < _CLASHES else start + 1
        if by_layout:
            other = np.flatnonzero(picked[start:stop, 3] != picked[start, 3])
            stop = start + int(other[0]) if len(other) else stop
        found = np.flatnonzero(bad_layout[start:stop])
        if len(found):  # a frame whose Properties are refused: the calls end before it
            stop = start + int(found[0])
            if stop == start:
                yield _comment_refusal(text, low, picked, start)
                start += 1
                continue
        result = _call(text, low, picked[start:stop], layouts, threads, strict)
        if len(result) != _REFUSAL:
            try:
                table = _compose(picked[start:stop], layouts, [(0, (*result[:6], None, result[7]))], result[6])
            except ValueError:  # columns of one name that differ
                if stop - start == 1:  # one frame the table cannot hold (species of two columns)
                    yield _frame_alone(text, low, picked, start)
                    start += 1
                elif by_layout:
                    clashes = _CLASHES
                by_layout = True
                continue
            if table is not None:
                yield from table
                start = stop
            elif stop - start == 1:  # a value only the package types, which it refuses
                yield _comment_refusal(text, low, picked, start)
                start += 1
            else:
                clashes = _CLASHES  # which frame it is: read them one a call
            continue
        refused = start + result[0]
        if refused > start:  # the frames before it are taken
            yield from _run_items(text, low, picked[start:refused], layouts, threads, strict)
        if result[1] == _CLASH:
            clashes += 1
            alone = _call(text, low, picked[refused:refused + 1], layouts, threads, strict)
            if len(alone) != _REFUSAL:
                yield from _compose(picked[refused:refused + 1], layouts, [(0, (*alone[:6], None, alone[7]))], alone[6]) \
                    or [_comment_refusal(text, low, picked, refused)]
                start = refused + 1
                continue
            result = (0, *alone[1:])
        yield _refusal(text, low, picked, refused, result)
        start = refused + 1


def _frame_bytes(text: Any, low: int, picked: np.ndarray, k: int) -> bytes:
    """Frame k's bytes from its count line to the next frame's (or the run's end)."""
    begin = int(picked[k, 0]) - low
    end = int(picked[k + 1, 0]) - low if k + 1 < len(picked) else len(text)
    return bytes(text[begin:end])


def _frame_alone(text: Any, low: int, picked: np.ndarray, k: int) -> Frame | ValueError:
    """Frame k read alone by the frame reader, or its error."""
    try:
        return _read_alone(_frame_bytes(text, low, picked, k), int(picked[k, 1]), int(picked[k, 2]))
    except ValueError as error:
        return error


def _comment_of_frame(text: Any, low: int, picked: np.ndarray, k: int) -> ValueError | None:
    """The error of frame k's comment line, or None if it is read."""
    raw = _frame_bytes(text, low, picked, k)
    comment_start = raw.find(b"\n") + 1
    comment_end = raw.find(b"\n", comment_start)
    return _reader.comment_error(raw[comment_start:comment_end if comment_end >= 0 else len(raw)], int(picked[k, 2]))


def _comment_refusal(text: Any, low: int, picked: np.ndarray, k: int) -> ValueError:
    error = _comment_of_frame(text, low, picked, k)
    if error is None:
        raise AssertionError(f"the module refused the comment line at line {int(picked[k, 2]) + 1}, "
                             "which the package reads")
    return error


def _refusal(text: Any, low: int, picked: np.ndarray, k: int, result: tuple[Any, ...]) -> ValueError:
    """The error of frame k that a call refused (`result`, its refusal)."""
    _, kind, row, message, line_start = result
    if kind == _COMMENT:
        return _comment_refusal(text, low, picked, k)
    if kind != _ATOMS:
        raise AssertionError(f"the module refused frame {k} alone for its info values")
    # A value the package types (a nested list) is read before the atom lines are.
    error = _comment_of_frame(text, low, picked, k)
    if error is not None:
        return error
    begin = int(picked[k, 0]) - low
    raw = _frame_bytes(text, low, picked, k)
    error = _reader.atom_error(message, row, raw, line_start - begin if line_start >= 0 else -1, int(picked[k, 2]))
    error.__cause__ = ValueError(message)  # the parser's own words, as the block reader gives them
    return error


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
    if one:
        selection = slice(selection, selection + 1 or None)
    table = None
    # A regular file can be read again frame by frame when the bulk path leaves a frame to
    # it; a stream, a pipe or a device cannot.
    if isinstance(source, (str, os.PathLike)) and os.path.isfile(source):
        with open_input(source) as data:
            table = bulk_table(data, selection, threads or _atomkit.get_threads())
    if table is None:
        table = table_of(iread(source, selection, errors))
    if one and len(table) != 1:
        raise IndexError(f"frame {index} is out of range")
    return table
