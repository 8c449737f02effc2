# Tables joined end to end: the runs of a stream read a run at a time become one FrameTable,
# equal to building it from all their frames (table_of), without a Frame per frame.
"""FrameTables concatenated."""
from __future__ import annotations

from typing import Any

import numpy as np

from atomkit.table.table import FrameTable, _describe, _info_column, table_of


def concat(tables: list[FrameTable]) -> FrameTable:
    """One table of the frames of `tables`, in order, as table_of over all their frames makes
    it. ValueError where a per-atom column's type or width differs between two frames, naming
    both (numbered in the joined table). The tables are used up: their per-atom columns are
    let go as they are joined, so that memory holds one table's columns beyond the result's."""
    if len(tables) <= 1:
        return tables[0] if tables else table_of([])
    firsts = np.cumsum([0, *(len(table) for table in tables)])
    _check_kinds(tables, firsts.tolist())
    joined = FrameTable.__new__(FrameTable)
    joined.natoms = np.concatenate([table.natoms for table in tables])
    joined.atom_offsets = np.concatenate(([0], np.cumsum(joined.natoms))).astype(np.int64)
    _join_species(joined, tables)
    _join_arrays(joined, tables)
    for name in ("lattice", "has_lattice", "pbc"):
        setattr(joined, name, np.concatenate([getattr(table, name) for table in tables]))
    _join_info(joined, tables, firsts)
    layouts: dict[tuple[Any, ...], int] = {}
    joined._layout_of = np.concatenate([
        np.array([layouts.setdefault(layout, len(layouts)) for layout in table._layouts] or [0], np.int32)[table._layout_of]
        for table in tables])
    joined._layouts = list(layouts)
    return joined


def _check_kinds(tables: list[FrameTable], firsts: list[int]) -> None:
    """ValueError, as table_of raises it, for the first frame whose per-atom column differs in
    type or width from the first frame's that had it."""
    seen: dict[str, tuple[tuple[str, tuple[int, ...]], int]] = {}
    for table, first in zip(tables, firsts):
        clashes = []
        for name, values in table.arrays.items():
            frames = np.flatnonzero(table.array_present[name])
            if not len(frames):
                continue
            kind = (values.dtype.kind, values.shape[1:])
            known = seen.setdefault(name, (kind, first + int(frames[0])))
            if known[0] != kind:
                clashes.append((int(frames[0]), name, kind))
        if clashes:
            k, name, kind = min(clashes, key=lambda clash: (clash[0], table._layouts[table._layout_of[clash[0]]][0].index(clash[1])))
            (was, at) = seen[name]
            raise ValueError(f"column {name!r} is {_describe(was)} in frame {at} but {_describe(kind)} in frame {first + k}")


def _join_species(joined: FrameTable, tables: list[FrameTable]) -> None:
    """The species of the joined table: the distinct names in order of first appearance, each
    table's indices renumbered (-1, no species, kept)."""
    numbers: dict[str, int] = {}
    parts = []
    for table in tables:
        codes = np.array([numbers.setdefault(name, len(numbers)) for name in table.species.tolist()] + [-1], np.int32)
        parts.append(codes[table.species_index])  # index -1 takes the last code: -1
        table.species_index = None  # type: ignore[assignment]
    joined.species = np.array(list(numbers), dtype=str) if numbers else np.empty(0, dtype="<U1")
    joined.species_index = np.concatenate(parts)
    joined.array_present = {"species": np.concatenate([table.array_present["species"] for table in tables])}


def _join_arrays(joined: FrameTable, tables: list[FrameTable]) -> None:
    """The per-atom columns over the tables' frames (zero where a frame lacks one, as in each
    table), and which frames have each. The joined columns are made untouched and filled a
    table at a time, each table's columns let go once copied: memory holds one table's
    columns beyond the joined ones (a table's columns may be views of one matrix)."""
    kinds: dict[str, list[np.ndarray]] = {}
    for table in tables:
        for name, values in table.arrays.items():
            kinds.setdefault(name, []).append(values)
    atoms = int(joined.atom_offsets[-1])
    joined.arrays = {name: np.empty((atoms, *having[0].shape[1:]), np.result_type(*having))
                     for name, having in kinds.items()}
    kinds.clear()
    present: dict[str, list[np.ndarray]] = {name: [] for name in joined.arrays}
    at = 0
    for table in tables:
        stop = at + int(table.atom_offsets[-1])
        for name, column in joined.arrays.items():
            part = table.arrays.get(name)
            column[at:stop] = 0 if part is None else part
            present[name].append(np.zeros(len(table), bool) if part is None else table.array_present[name])
        table.arrays = {}
        at = stop
    for name, parts in present.items():
        joined.array_present[name] = np.concatenate(parts)


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
