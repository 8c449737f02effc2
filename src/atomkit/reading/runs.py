# Frames read in runs for read, iread, scan and FrameIndex: the frames of a file found by
# the module's scan (or of a stream as it comes), each run one read_table_rs call whose table
# the Frames are cut from, and the frames it refuses worded as a frame read alone words them.
"""The run reader behind atomkit.read, iread and scan."""
from __future__ import annotations

import os
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

import _atomkit
from atomkit.base import files
from atomkit.base.files import Input, changed, pread
from atomkit.base.frame import Frame
from atomkit.reading.bulk import _REFUSAL, _call, _layouts_of, _runs
from atomkit.reading.compose import _compose
from atomkit.reading.frames import _ALL, SkippedFrameWarning, _frame, _plain_file, atom_error, comment_error, frame_error
from atomkit.reading.scan import _LONG_LINE, StreamScan, scan_rows
from atomkit.table.table import FrameTable

# A forward read of a file up to this size scans it whole first (the scan's rows take 32 bytes
# a frame), then reads its runs with the next one read ahead; a larger one is read as a stream,
# so its first frames come at once and memory stays flat whatever its length.
_SCANNED_WHOLE = 1 << 30
# Why read_table_rs refused a frame: the second item of its refusal.
_COMMENT, _ATOMS, _CLASH = 0, 1, 2
# Info values that change type between frames of one run: after this many, the rest of the
# run is read a frame a call, each of which is taken (instead of one call per clash).
_CLASHES = 4


def iter_frames(data: Input, index: int | slice, errors: str, described: str, tables: bool = False,
                threads: int | None = None) -> Iterator[Any]:
    """The frames `index` of a source, read a run at a time as tables that the frames are cut
    from, with the errors and warnings of the frame-by-frame reader (an int index: one frame,
    IndexError naming the source as `described` where one from the end is not there). A plain
    regular file (as reading.frames._plain_file finds it) is scanned with pread; a forward selection
    of a stream is read in parts as it comes; a stream read from its end is held whole.
    `tables` (a forward slice only): the runs come as FrameTables, not cut into Frames;
    `threads`: the most threads a run's call parses on (None: atomkit.get_threads())."""
    selection = slice(index, index + 1 or None) if isinstance(index, int) else index
    forward = is_forward(selection)
    plain = _plain_file(data)
    if tables and (isinstance(index, int) or not forward):
        raise AssertionError("runs as tables are read forwards only")
    if forward and (plain is None or plain[1] > _SCANNED_WHOLE):
        return _stream_frames(data, selection, errors == "skip", tables=tables, threads=threads)
    if plain is None:
        data.load_all()
    source, size = plain if plain is not None else (data.data, len(data.data))
    try:
        # A forward read gets the frames before one the scan cannot pass, as the reader would.
        rows, properties, failed = scan_rows(source, size, data.name, line_limit=files.LINE_LIMIT,
                                             limit=selection.stop if forward else None, partial=forward)
    except ValueError:  # a line past the limit: read as a stream, the frames before it come first
        if plain is None or not forward:
            raise
        return _stream_frames(data, selection, errors == "skip", tables=tables, threads=threads)
    picked = range(len(rows))[selection]
    if isinstance(index, int) and index < 0 and not picked:
        raise IndexError(f"frame {index} is not in {described} ({len(rows)} frames)")
    if isinstance(index, int) and picked:  # one frame: a table's machinery costs more than it
        return iter([_alone(source, size if failed is None else failed[0], rows, picked[0], data)])
    frames = _batches(source, failed[0] if failed is not None else size, rows, _layouts_of(properties),
                      selection, errors == "skip", data.name, data._size if plain is not None else -1,
                      tables=tables, threads=threads)
    return frames if failed is None else _failing(frames, data, source, len(rows), failed, selection)


def is_forward(selection: slice) -> bool:
    """Whether a slice runs forwards from the start (no step back, no count from the end)."""
    return (selection.step or 1) > 0 and (selection.start or 0) >= 0 and (selection.stop is None or selection.stop >= 0)


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
    return _frame(raw, *_comment_span(raw, 0), natoms, lineno)[0]


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
             checking: bool = False, tables: bool = False, threads: int | None = None) -> Iterator[Any]:
    """The frames `selection` (a slice or the numbers) of the frames `rows` that the source's
    bytes up to `end` hold, a run at a time. A file (descriptor `source`) is checked against
    its `size` when opened after each run, since text read ahead may be all there is: one cut
    short "changed since it was {since}". `checking` (bytes only): atom lines are read
    strictly, and every frame comes as (the Frame or its error, its comment line's bytes).
    `tables` (ascending only): each run comes as FrameTables instead of Frames."""
    chosen = np.arange(len(rows))[selection]
    backwards = len(chosen) > 1 and chosen[1] < chosen[0]
    ascending = chosen[::-1] if backwards else chosen
    threads = threads or _atomkit.get_threads()
    held = isinstance(source, int) and size >= 0
    for first, stop, text, low in _runs(source, end, rows, ascending, backwards):
        if text is None or held and os.fstat(source).st_size < size:  # type: ignore[arg-type]
            raise changed(name, since, advice)
        picked = rows[ascending[first:stop]]
        items = _run_items(text, low, picked, layouts, threads, checking, tables)
        if checking:
            yield from zip(items, (_comment_of(source, offset) for offset in rows[ascending[first:stop], 0].tolist()))
            continue
        for item in (reversed(list(items)) if backwards else items):
            if type(item) is Frame or type(item) is FrameTable:
                yield item
            elif skip_bad:
                warnings.warn(SkippedFrameWarning(f"{name}: skipped the frame at {item}"), stacklevel=3)
            else:
                raise item
    if held and os.fstat(source).st_size < size:  # type: ignore[arg-type]
        raise changed(name, since, advice)


def _comment_span(source: Any, offset: int) -> tuple[int, int]:
    """Where the comment line of the frame whose count line starts at `offset` of `source`
    starts and ends (without its line feed)."""
    start = source.find(b"\n", offset) + 1
    end = source.find(b"\n", start)
    return start, end if end >= 0 else len(source)


def _comment_of(source: Any, offset: int) -> bytes:
    """The comment line of the frame whose count line starts at `offset` of `source`."""
    start, end = _comment_span(source, offset)
    return source[start:end]


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
    raise frame_error(raw, lineno, _wanted(n, selection)) or _refused_count(lineno)


def _wanted(k: int, selection: slice) -> bool:
    """Whether frame k is one of a forward `selection`."""
    start, step = selection.start or 0, selection.step or 1
    return k >= start and (k - start) % step == 0 and (selection.stop is None or k < selection.stop)


def _stream_frames(data: Input, selection: slice, skip_bad: bool, checking: bool = False, tables: bool = False,
                   threads: int | None = None) -> Iterator[Any]:
    """The frames `selection` (forward) of a stream, read as they come: after each read, the
    frames it made whole are read as a run (from a pipe, a frame comes as soon as it is whole);
    the bytes of a frame not yet whole are kept for the next. `checking`, `tables` and
    `threads` as for _batches."""
    start, step = selection.start or 0, selection.step or 1
    stop = _ALL if selection.stop is None else selection.stop
    scan = StreamScan(files.LINE_LIMIT)
    # The stream's bytes from offset `base` not yet read as frames; frame `index` is the next.
    pending, base, index, ask = b"", 0, 0, min(files.FIRST_CHUNK, files.CHUNK)
    properties: tuple[str | None, ...] = ()
    layouts: list[Any] = []
    while index < stop:
        # Reads grow to CHUNK, and past it to what is held: a frame longer than a read is
        # joined in few copies.
        chunk = data.chunk(max(ask, len(pending)))
        ask = min(2 * ask, files.CHUNK)
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
            yield from _batches(pending, ends, rows, layouts, local, skip_bad, data.name, checking=checking,
                                tables=tables, threads=threads)
            index += len(rows)
        if failed is not None:
            kind, begin, stop_at, lineno = failed
            if kind == _LONG_LINE:
                raise files.long_line(lineno)
            if index < stop:
                raise frame_error(pending[begin - base:stop_at - base], lineno,
                                          _wanted(index, selection)) or _refused_count(lineno)
            return
        if data.eof:
            return
        pending, base = pending[scan.kept - base:], scan.kept


def _run_items(text: Any, low: int, picked: np.ndarray, layouts: list[Any], threads: int,
               strict: bool = False, tables: bool = False) -> Iterator[Any]:
    """The frames `picked` of one run, in order: each a Frame, or the ValueError that says why
    it cannot be read. Frames a call takes come cut from its table (`tables`: as that table);
    a refused frame is worded from the refusal, or read alone where its info values only clash
    with the frames' before. Frames whose columns of one name differ in type or width (which
    one table cannot hold) are read a layout's stretch of frames a call."""
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
                table = _call_table(picked[start:stop], layouts, result)
            except ValueError:  # columns of one name that differ
                if stop - start == 1:  # one frame the table cannot hold (species of two columns)
                    yield _frame_alone(text, low, picked, start)
                    start += 1
                elif by_layout:
                    clashes = _CLASHES
                by_layout = True
                continue
            yield from [table] if tables else table
            start = stop
            continue
        refused = start + result[0]
        if refused > start:  # the frames before it are taken
            yield from _run_items(text, low, picked[start:refused], layouts, threads, strict, tables)
        if result[1] == _CLASH:
            clashes += 1
            alone = _call(text, low, picked[refused:refused + 1], layouts, threads, strict)
            if len(alone) != _REFUSAL:
                try:
                    table = _call_table(picked[refused:refused + 1], layouts, alone)
                except ValueError:  # a frame no table holds (species of two columns)
                    yield _frame_alone(text, low, picked, refused)
                else:
                    yield from [table] if tables else table
                start = refused + 1
                continue
            result = (0, *alone[1:])
        yield _refusal(text, low, picked, refused, result)
        start = refused + 1


def _call_table(picked: np.ndarray, layouts: list[Any], result: tuple[Any, ...]) -> Any:
    """The FrameTable of the frames `picked` from what one read_table_rs call made of them
    (ValueError for columns of one name that differ, which no table holds)."""
    table = _compose(picked, layouts, [(0, (*result[:6], None, result[7]))], result[6])
    if table is None:
        raise AssertionError("the info columns of one call did not join")
    return table


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


def _comment_refusal(text: Any, low: int, picked: np.ndarray, k: int) -> ValueError:
    """The error of frame k's comment line, which the module refused."""
    error = comment_error(_comment_of(_frame_bytes(text, low, picked, k), 0), int(picked[k, 2]))
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
    begin = int(picked[k, 0]) - low
    raw = _frame_bytes(text, low, picked, k)
    error = atom_error(message, row, raw, line_start - begin if line_start >= 0 else -1, int(picked[k, 2]))
    error.__cause__ = ValueError(message)  # the parser's own words, as the block reader gives them
    return error
