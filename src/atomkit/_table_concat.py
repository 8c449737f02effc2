# Tables joined end to end: the runs of a stream read a run at a time become one FrameTable,
# equal to building it from all their frames (table_of), without a Frame per frame.
"""FrameTables concatenated."""
from __future__ import annotations

from typing import Any

import numpy as np

from atomkit._table import Builder, FrameTable, _info_column, table_of


def concat(tables: list[FrameTable]) -> FrameTable:
    """One table of the frames of `tables`, in order, as table_of over all their frames makes
    it. ValueError where a per-atom column's type or width differs between two frames, naming
    both (numbered in the joined table)."""
    if len(tables) <= 1:
        return tables[0] if tables else table_of([])
    firsts = np.cumsum([0, *(len(table) for table in tables)])
    joined = FrameTable.__new__(FrameTable)
    joined.natoms = np.concatenate([table.natoms for table in tables])
    joined.atom_offsets = np.concatenate(([0], np.cumsum(joined.natoms))).astype(np.int64)
    builder = Builder()
    for table, first in zip(tables, firsts.tolist()):
        _add_atoms(builder, table, first)
    builder.atom_columns(joined)
    for name in ("lattice", "has_lattice", "pbc"):
        setattr(joined, name, np.concatenate([getattr(table, name) for table in tables]))
    _join_info(joined, tables, firsts)
    layouts: dict[tuple[Any, ...], int] = {}
    joined._layout_of = np.concatenate([
        np.array([layouts.setdefault(layout, len(layouts)) for layout in table._layouts] or [0], np.int32)[table._layout_of]
        for table in tables])
    joined._layouts = list(layouts)
    return joined


def _add_atoms(builder: Builder, table: FrameTable, first: int) -> None:
    """Gives `builder` the per-atom columns of `table`, whose frame 0 is frame `first`."""
    for name, present in table.array_present.items():
        frames = np.flatnonzero(present)
        if not len(frames):
            continue
        atoms = np.repeat(present, table.natoms) if len(frames) < len(present) else slice(None)
        if name == "species":
            builder.coded_species(frames + first, table.species.tolist(), table.species_index[atoms])
        else:
            builder.arrays(frames + first, {name: table.arrays[name][atoms]})


def _join_info(joined: FrameTable, tables: list[FrameTable], firsts: np.ndarray) -> None:
    """The info columns of the joined table: keys in order of first appearance, each column
    stacked as it stands where every table typed it alike, else made from the frames' values."""
    n = int(firsts[-1])
    keys = dict.fromkeys(key for table in tables for key in table.info)
    joined.info, joined.info_present, joined._raw = {}, {}, {}
    for key in keys:
        having = [(table, int(first)) for table, first in zip(tables, firsts.tolist()) if key in table.info]
        present = np.zeros(n, bool)
        for table, first in having:
            present[first:first + len(table)] = table.info_present[key]
        joined.info_present[key] = present
        columns = [table.info[key] for table, _ in having]
        alike = {(column.dtype.kind, column.shape[1:]) for column in columns}
        kind = next(iter(alike))[0]
        if len(alike) == 1 and kind != "O" and not any(key in table._raw for table, _ in having) and \
                (kind != "U" or columns[0].ndim == 1 or len({column.dtype for column in columns}) == 1):
            dtype = np.result_type(*columns)
            column = np.zeros((n, *columns[0].shape[1:]), dtype)
            for (table, first), part in zip(having, columns):
                column[first:first + len(table)] = part
            joined.info[key] = column
            continue
        values = [value for table, _ in having for value in _values(table, key)]
        joined.info[key], raw = _info_column(values, np.flatnonzero(present), n)
        if raw is not None:
            joined._raw[key] = raw


def _values(table: FrameTable, key: str) -> list[Any]:
    """The values of `key` in the frames of `table` that have it, as its frames give them."""
    frames = np.flatnonzero(table.info_present[key])
    raw = table._raw.get(key)
    if raw is not None:
        return raw[frames].tolist()
    column = table.info[key][frames]
    return list(column) if column.ndim > 1 else column.tolist()
