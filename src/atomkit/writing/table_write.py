# Writing a FrameTable: runs of frames that share their columns and info keys written a batch
# at a time: the atom lines of the whole batch by one module call over the table's columns,
# then the batch's text by another, from its comment items as columns (values the module does
# not type given as texts made here). The bytes are those of writing the frames one by one.
"""atomkit.write of a FrameTable."""
from __future__ import annotations

from typing import Any

import numpy as np

import _atomkit
from atomkit.base.files import Output
from atomkit.base.text import MATRIX_KEYS
from atomkit.comment.write import item_text, pbc_text
from atomkit.table.table import FrameTable
from atomkit.writing.layouts import write_layout
from atomkit.writing.writer import _segment_block, _Written, frame_parts

# Atoms whose lines one module call writes at most, and text a batch makes about: big enough
# that the calls' cost vanishes (and that the module's threads share a batch's atom lines),
# small enough that the batch's buffers are reused from batch to batch (write_frames_rs asks
# for twice its text's room, which glibc reuses up to 32 MiB). A buffer the allocator takes
# fresh from the system costs a page fault every 4 KiB, about as much as writing its text.
_BATCH_ATOMS = 1 << 16
_BATCH_BYTES = 4 << 20
_F8 = np.dtype(np.float64)
# The kinds of the module's item columns (see write_frames_rs).
_TEXTS, _REALS, _INTEGERS, _CHOICE = range(4)
# The eight pbc texts, picked by the flags read as the bits of an index.
_PBC = [pbc_text((a, b, c)) for a in (False, True) for b in (False, True) for c in (False, True)]
_PBC_BITS = np.array([4, 2, 1], np.int64)


def _item(table: FrameTable, key: str, a: int, b: int) -> tuple[Any, ...]:
    """The module's column of `key=value` for frames a..b, all of which have the key: typed
    columns written by the module, any other value made here by `item_text`, frame by frame."""
    raw = table.exact.get(key)
    if raw is not None:  # values a typed column does not give back exactly
        return (_TEXTS, [item_text(key, value) for value in raw[a:b].tolist()])
    values = table.info[key][a:b]
    if values.dtype.kind == "O":
        return (_TEXTS, [item_text(key, value) for value in values.tolist()])
    prefix = item_text(key, 0)[:-1]  # (the key checked as writing checks it)
    kind, shape, n = values.dtype.kind, values.shape[1:], b - a
    # Scalars bare; rows of several values, and nine of a stress or virial, quoted.
    quoted = (len(shape) == 1 and shape[0] > 1) or (shape == (3, 3) and key.lower() in MATRIX_KEYS)
    if values.dtype == _F8 and (shape == () or quoted):
        return (_REALS, prefix + '"' * quoted, values.reshape(n, -1), '"' * quoted, None)
    if kind == "i" and (shape == () or quoted):
        return (_INTEGERS, prefix + '"' * quoted, values.astype(np.int64).reshape(n, -1), '"' * quoted, None)
    if kind == "b" and shape == ():
        return (_CHOICE, [prefix + "F", prefix + "T"], values.astype(np.int64).reshape(n, 1))
    if kind == "U" and shape == ():
        distinct, index = np.unique(values, return_inverse=True)
        return (_CHOICE, [item_text(key, value) for value in distinct.tolist()], index.astype(np.int64).reshape(n, 1))
    return (_TEXTS, [item_text(key, value) for value in values])


def _run_text(table: FrameTable, a: int, b: int, written: _Written) -> bytes:
    """The text of frames a..b, which share their columns and info keys."""
    names, has_species, keys = table.frame_kinds[table.kind_of[a]]
    first, last = int(table.atom_offsets[a]), int(table.atom_offsets[b])
    arrays = {name: table.arrays[name][first:last] for name in names}
    layout = write_layout(has_species, tuple((name, v.dtype.kind, v.shape[1:]) for name, v in arrays.items()))
    if len(layout.segments) != 1:  # lines stitched from several calls: frame by frame
        frames = [table._frame(k) for k in range(a, b)]
        return b"".join(header.encode() + block for header, block in (frame_parts(f, written) for f in frames))
    symbols = table.species[table.species_index[first:last]] if has_species else None
    block = _segment_block(layout.segments[0], symbols, arrays, last - first, written)
    cuts = _line_starts(block, last - first)[table.atom_offsets[a:b + 1] - first]
    n = b - a
    lattice = np.ascontiguousarray(table.lattice[a:b], np.float64).reshape(n, 9)
    has_lattice = np.ascontiguousarray(table.has_lattice[a:b], np.bool_).view(np.uint8).reshape(n, 1)
    items = [(_REALS, 'Lattice="', lattice, '"', has_lattice),
             (_CHOICE, [layout.properties], np.zeros((n, 1), np.int64)),
             (_CHOICE, _PBC, (table.pbc[a:b].astype(bool) @ _PBC_BITS).reshape(n, 1)),
             *(_item(table, key, a, b) for key in keys)]
    frames = np.stack((table.natoms[a:b], cuts[:-1], cuts[1:]), axis=1).astype(np.int64, copy=False)
    return _atomkit.write_frames_rs(block, frames, items)


def _line_starts(block: bytes, rows: int) -> np.ndarray:
    """Where each of the block's `rows` lines starts, and its end."""
    raw = np.frombuffer(block, np.uint8)
    width = block.find(b"\n") + 1
    # Lines of one width (no field wider than its format): every width-th byte a line feed.
    if rows and width * rows == len(block) and (raw[width - 1::width] == 10).all():
        return np.arange(0, len(block) + 1, width)
    return np.concatenate(([0], np.flatnonzero(raw == 10) + 1))


def _batch_atoms(table: FrameTable, layout: int) -> int:
    """Atoms of a batch of the layout: the lines of _BATCH_BYTES, at 16 bytes a field."""
    names, has_species, _ = table.frame_kinds[layout]
    fields = int(has_species) + sum(int(np.prod(table.arrays[name].shape[1:])) for name in names)
    return max(1, min(_BATCH_ATOMS, _BATCH_BYTES // (16 * max(fields, 1))))


def write_table(out: Output, table: FrameTable) -> None:
    """Writes every frame of `table` to `out`, as writing its frames one by one does."""
    n = len(table)
    changes = np.flatnonzero(np.diff(table.kind_of)) + 1
    starts = [0, *changes.tolist(), n]
    offsets = table.atom_offsets
    written = _Written()
    for run_start, run_stop in zip(starts, starts[1:]):
        a = run_start
        atoms = _batch_atoms(table, int(table.kind_of[run_start]))
        while a < run_stop:
            # As many frames as that many atoms hold (one at least).
            b = int(np.searchsorted(offsets, offsets[a] + atoms, side="right")) - 1
            b = min(max(b, a + 1), run_stop)
            out.write_bytes(_run_text(table, a, b, written))
            a = b
