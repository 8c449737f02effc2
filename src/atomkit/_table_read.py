# read_table's bulk path: a file's frames found with one search for line ends, their comment
# lines typed one by one, and the atom lines of many frames that share a Properties string
# parsed by one block-reader call, in parts on several threads.
"""The bulk reading behind atomkit.read_table."""
from __future__ import annotations

import os
import threading
from typing import Any

import numpy as np

import _atomkit
from atomkit import _block, _comment_read
from atomkit._io import open_input
from atomkit._properties import PLAIN_XYZ, ReadLayout, StrColumns, read_layout
from atomkit._reader import Index, _index, iread
from atomkit._table import Builder, FrameTable, table_of

_BOM = b"\xef\xbb\xbf"
# Atoms parsed by one call at most: the joined text of a part stays a few tens of MB.
_PART_ATOMS = 1 << 18
# Fewer atoms than this a thread are parsed on the calling thread alone.
_THREAD_ATOMS = 1 << 14


class _NotBulk(Exception):
    """A frame the bulk path leaves to the frame-by-frame reader, which says what is wrong."""


def _line_ends(data: bytes) -> np.ndarray:
    ends = np.flatnonzero(np.frombuffer(data, np.uint8) == 10)
    if data and data[-1] != 10:  # a last line without a line feed
        ends = np.append(ends, len(data))
    return ends


def _count_lines(data: bytes, ends: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(line number from 0, atom count) of every frame's count line."""
    lines: list[int] = []
    counts: list[int] = []
    line, last = 0, len(ends)
    end_of = ends.item
    while line < last:
        text = data[end_of(line - 1) + 1 if line else 0:end_of(line)]
        try:
            natoms = int(text)
        except ValueError:
            if text.strip():
                raise _NotBulk from None
            line += 1  # a blank line between frames
            continue
        if natoms < 0 or line + 1 + natoms >= last:
            raise _NotBulk
        lines.append(line)
        counts.append(natoms)
        line += natoms + 2
    return np.array(lines, np.int64), np.array(counts, np.int64)


def _comments(data: bytes, ends: np.ndarray, lines: np.ndarray, counts: np.ndarray, chosen: np.ndarray,
              builder: Builder) -> dict[str, list[int]]:
    """Types the comment lines of the frames chosen into `builder`; their positions in
    `chosen` by Properties string."""
    groups: dict[str, list[int]] = {}
    columns: dict[str, tuple[Any, ...]] = {}  # (array names in order, has species) by Properties
    starts = (ends[lines[chosen]] + 1).tolist()
    stops = ends[lines[chosen] + 1].tolist()
    parse, add = _comment_read.parse, builder.frames.append
    for i, (start, stop, natoms) in enumerate(zip(starts, stops, counts[chosen].tolist())):
        try:
            properties, lattice, pbc, info = parse(str(data[start:stop], "utf-8"))
            if properties is None:
                properties = PLAIN_XYZ
            names = columns.get(properties)
            if names is None:
                layout = read_layout(properties)
                names = columns[properties] = (tuple(name for name, *_ in layout.plan), layout.species is not None)
        except ValueError:
            raise _NotBulk from None
        add((natoms, lattice, pbc if pbc is not None else (lattice is not None,) * 3, info, names))
        group = groups.get(properties)
        if group is None:
            group = groups[properties] = []
        group.append(i)
    return groups


def _parse_part(text: bytes, natoms: int, layout: ReadLayout, out: list[Any], slot: int) -> None:
    try:
        parsed, _ = _block.read_block(text, 0, natoms, layout.col_types)
        out[slot] = layout.unpack(parsed, StrColumns())
    except ValueError:
        out[slot] = None


def _atoms(data: bytes, spans: tuple[np.ndarray, np.ndarray], counts: np.ndarray, layout: ReadLayout,
           threads: int) -> list[tuple[int, int, Any]]:
    """The atom lines of a run of frames of one layout: (first, stop, (symbols, arrays)) per
    part of the run, parts parsed on up to `threads` threads."""
    total = int(counts.sum())
    parts = max(-(-total // _PART_ATOMS), min(threads, total // _THREAD_ATOMS), 1)
    cuts = np.searchsorted(np.cumsum(counts), np.linspace(0, total, parts + 1)[1:-1], side="right")
    bounds = sorted({0, len(counts), *cuts.tolist()})
    view = memoryview(data)
    out: list[Any] = [None] * (len(bounds) - 1)
    work = []
    for slot, (first, stop) in enumerate(zip(bounds, bounds[1:])):
        text = b"".join([view[a:b] for a, b in zip(spans[0][first:stop].tolist(), spans[1][first:stop].tolist())])
        work.append((text, int(counts[first:stop].sum()), layout, out, slot))
    for start in range(0, len(work), threads):
        batch = [threading.Thread(target=_parse_part, args=args) for args in work[start + 1:start + threads]]
        for thread in batch:
            thread.start()
        _parse_part(*work[start])
        for thread in batch:
            thread.join()
    if any(result is None for result in out):
        raise _NotBulk
    return [(first, stop, result) for first, stop, result in zip(bounds, bounds[1:], out)]


def bulk_table(data: bytes, selection: slice, threads: int) -> FrameTable | None:
    """The table of the frames `selection` of a whole source's bytes, or None where the bulk
    path leaves it to the frame-by-frame reader (a frame that cannot be read, a BOM)."""
    if not data or data.startswith(_BOM):
        return None
    ends = _line_ends(data)
    builder = Builder()
    try:
        lines, counts = _count_lines(data, ends)
        chosen = np.arange(len(lines))[selection]
        groups = _comments(data, ends, lines, counts, chosen, builder)
    except _NotBulk:
        return None
    first_atom = ends[lines[chosen] + 1] + 1
    last_end = np.minimum(ends[lines[chosen] + 1 + counts[chosen]] + 1, len(data))
    for properties, members in groups.items():
        frames = np.array(members, np.int64)
        spans = (first_atom[frames], last_end[frames])
        try:
            parts = _atoms(data, spans, counts[chosen][frames], read_layout(properties), threads)
        except _NotBulk:
            return None
        for first, stop, (symbols, arrays) in parts:
            builder.atoms(frames[first:stop], symbols, arrays)
    return builder.table()


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
    # A path can be read again frame by frame when the bulk path leaves a frame to it; a
    # stream cannot.
    if isinstance(source, (str, os.PathLike)):
        with open_input(source) as data:
            data.load_all()
            table = bulk_table(data.data, selection, threads or _atomkit.get_threads())
    if table is None:
        table = table_of(iread(source, selection, errors))
    if one and len(table) != 1:
        raise IndexError(f"frame {index} is out of range")
    return table
