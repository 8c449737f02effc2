# Writing a FrameTable: runs of frames that share their columns and info keys written a batch
# at a time: the atom lines of the whole batch by one module call over the table's columns,
# the comment lines from texts made a column at a time, then the two interleaved frame by
# frame. The bytes are those of writing the table's frames one by one.
"""atomkit.write of a FrameTable."""
from __future__ import annotations

from typing import Any

import numpy as np

from atomkit._comment_write import _format_floats, item_text, pbc_text
from atomkit._io import Output
from atomkit._properties import write_layout
from atomkit._table import FrameTable
from atomkit._text import MATRIX_KEYS
from atomkit._writer import _segment_block, _Written, frame_parts

# Atoms whose lines one module call writes at most: big enough that the call's cost vanishes
# (and that the module's threads share it), small enough that the text stays a few MB.
_BATCH_ATOMS = 1 << 16
_F8 = np.dtype(np.float64)
_PBC = {(a, b, c): pbc_text((a, b, c)) for a in (False, True) for b in (False, True) for c in (False, True)}


def _floats(values: np.ndarray) -> list[str]:
    """repr() of every float, row by row."""
    if not values.size:
        return []
    return _format_floats(np.ascontiguousarray(values, np.float64).reshape(1, -1), " ").split(" ")


def _grouped(texts: list[str], width: int, lead: str, separator: str, tail: str) -> list[str]:
    return [lead + separator.join(texts[i:i + width]) + tail for i in range(0, len(texts), width)]


def _lattices(table: FrameTable, a: int, b: int) -> list[str | None]:
    present = table.has_lattice[a:b]
    texts = iter(_grouped(_floats(table.lattice[a:b][present]), 9, 'Lattice="', " ", '"'))
    return [next(texts) if flag else None for flag in present.tolist()]


def _item_texts(table: FrameTable, key: str, a: int, b: int) -> list[str]:
    """`key=value` of every frame a..b, all of which have the key."""
    raw = table._raw.get(key)
    if raw is not None:  # values a typed column does not give back exactly
        return [item_text(key, value) for value in raw[a:b].tolist()]
    values = table.info[key][a:b]
    if values.dtype.kind == "O":
        return [item_text(key, value) for value in values.tolist()]
    prefix = item_text(key, 0)[:-1]  # (the key checked as writing checks it)
    kind, shape = values.dtype.kind, values.shape[1:]
    if values.dtype == _F8 and shape == ():
        return [prefix + text for text in _floats(values)]
    if kind in "iub" and shape == ():
        return [item_text(key, value) for value in values.tolist()]
    if kind == "U" and shape == ():
        texts = {value: item_text(key, value) for value in set(values.tolist())}
        return [texts[value] for value in values.tolist()]
    if values.dtype == _F8 and len(shape) == 1 and shape[0] > 1:
        return _grouped(_floats(values), shape[0], prefix + '"', " ", '"')
    if values.dtype == _F8 and shape == (3, 3) and key.lower() in MATRIX_KEYS:
        return _grouped(_floats(values), 9, prefix + '"', " ", '"')  # stress, virial: nine values quoted
    return [item_text(key, value) for value in values]


def _run_text(table: FrameTable, a: int, b: int, written: _Written) -> bytes:
    """The text of frames a..b, which share their columns and info keys."""
    names, has_species, keys = table._layouts[table._layout_of[a]]
    first, last = int(table.atom_offsets[a]), int(table.atom_offsets[b])
    arrays = {name: table.arrays[name][first:last] for name in names}
    layout = write_layout(has_species, tuple((name, v.dtype.kind, v.shape[1:]) for name, v in arrays.items()))
    if len(layout.segments) != 1:  # lines stitched from several calls: frame by frame
        frames = [table._frame(k) for k in range(a, b)]
        return b"".join(header.encode() + block for header, block in (frame_parts(f, written) for f in frames))
    symbols = table.species[table.species_index[first:last]] if has_species else None
    block = _segment_block(layout.segments[0], symbols, arrays, last - first, written)
    cuts = _line_starts(block, last - first)[table.atom_offsets[a:b + 1] - first].tolist()
    properties = layout.properties
    pbcs = [_PBC[tuple(flags)] for flags in table.pbc[a:b].tolist()]
    heads = [f"{count}\n{properties} " if lattice is None else f"{count}\n{lattice} {properties} "
             for count, lattice in zip(table.natoms[a:b].tolist(), _lattices(table, a, b))]
    headers = [f"{head}{' '.join(items)}\n" for head, *items in zip(heads, pbcs, *(_item_texts(table, key, a, b) for key in keys))]
    # The headers encoded at once, then cut apart (at a byte no comment line holds).
    joined = "\0".join(headers)
    encoded = joined.encode().split(b"\0") if joined.count("\0") == len(headers) - 1 else [h.encode() for h in headers]
    view = memoryview(block)
    pieces: list[Any] = [None] * (2 * len(headers))
    pieces[0::2] = encoded
    pieces[1::2] = [view[start:stop] for start, stop in zip(cuts, cuts[1:])]
    return b"".join(pieces)


def _line_starts(block: bytes, rows: int) -> np.ndarray:
    """Where each of the block's `rows` lines starts, and its end."""
    raw = np.frombuffer(block, np.uint8)
    width = block.find(b"\n") + 1
    # Lines of one width (no field wider than its format): every width-th byte a line feed.
    if rows and width * rows == len(block) and (raw[width - 1::width] == 10).all():
        return np.arange(0, len(block) + 1, width)
    return np.concatenate(([0], np.flatnonzero(raw == 10) + 1))


def write_table(out: Output, table: FrameTable) -> None:
    """Writes every frame of `table` to `out`, as writing its frames one by one does."""
    n = len(table)
    changes = np.flatnonzero(np.diff(table._layout_of)) + 1
    starts = [0, *changes.tolist(), n]
    offsets = table.atom_offsets
    written = _Written()
    for run_start, run_stop in zip(starts, starts[1:]):
        a = run_start
        while a < run_stop:
            # As many frames as _BATCH_ATOMS atoms hold (one at least).
            b = int(np.searchsorted(offsets, offsets[a] + _BATCH_ATOMS, side="right")) - 1
            b = min(max(b, a + 1), run_stop)
            out.write_bytes(_run_text(table, a, b, written))
            a = b
