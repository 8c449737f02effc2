# read_table's bulk path: a source's frames found by the module's scan, then read by one
# module call into columns on several threads, which Python only names and joins.
"""The bulk reading behind atomkit.read_table."""
from __future__ import annotations

import os
from typing import Any

import numpy as np

import _atomkit
from atomkit._index_scan import scan_rows
from atomkit._io import open_input
from atomkit._properties import PLAIN_XYZ, ReadLayout, read_layout
from atomkit._reader import Index, _index, iread
from atomkit._table import Builder, FrameTable, table_of


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


def _info(table: FrameTable, info: list[tuple[str, np.ndarray, Any, Any]]) -> None:
    table.info, table.info_present, table._raw = {}, {}, {}
    for key, present, values, integers in info:
        if isinstance(values, tuple):  # texts: distinct values, and each frame's (-1: absent)
            texts, index = values
            values = np.array([*texts, ""], dtype=str)[index]
        if integers is not None:  # integers among reals: each frame's value as written
            ints, integral = integers
            raw = np.full(len(present), None, dtype=object)
            raw[present] = values[present].tolist()
            raw[integral] = ints[integral].tolist()
            table._raw[key] = raw
        table.info[key], table.info_present[key] = values, present


def _compose(rows: np.ndarray, layouts: list[ReadLayout], result: tuple[Any, ...]) -> FrameTable:
    """The FrameTable of the frames `rows` from what read_table_rs made of them."""
    lattice, has_lattice, pbc, info, key_set, key_sets, atoms = result
    table = FrameTable.__new__(FrameTable)
    table.natoms = rows[:, 1].copy()
    table.atom_offsets = np.concatenate(([0], np.cumsum(table.natoms))).astype(np.int64)
    table.lattice, table.has_lattice, table.pbc = lattice, has_lattice, pbc
    _info(table, info)
    builder = Builder()
    layout_of = rows[:, 3]
    names: dict[int, tuple[Any, ...]] = {}
    for number in np.unique(layout_of).tolist():
        frames = np.flatnonzero(layout_of == number)
        species, arrays = _layout_arrays(layouts[number], atoms[number])
        if species is not None:
            builder.coded_species(frames, *species)
        builder.arrays(frames, arrays)
        names[number] = (tuple(arrays), species is not None)
    builder.atom_columns(table)
    # A frame's place in _layouts: its Properties and its info keys in line order.
    keys, width = list(table.info), max(len(key_sets), 1)
    pairs, inverse = np.unique(layout_of * width + key_set, return_inverse=True)
    table._layout_of = inverse.reshape(-1).astype(np.int32)
    table._layouts = [(*names[pair // width], tuple(keys[k] for k in key_sets[pair % width])) for pair in pairs.tolist()]
    return table


def bulk_table(data: bytes, name: str, selection: slice, threads: int) -> FrameTable | None:
    """The table of the frames `selection` of a whole source's bytes, or None where the bulk
    path leaves it to the frame-by-frame reader (a frame that cannot be read, or one it does
    not read alone)."""
    try:
        rows, properties = scan_rows(data, len(data), name)
        layouts = [read_layout(PLAIN_XYZ if text is None else text) for text in properties]
    except ValueError:
        return None
    rows = np.ascontiguousarray(rows[selection])
    result = _atomkit.read_table_rs(data, rows, tuple(layout.col_types for layout in layouts), threads)
    if isinstance(result, int):
        return None
    return _compose(rows, layouts, result)


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
            table = bulk_table(data.data, data.name, selection, threads or _atomkit.get_threads())
    if table is None:
        table = table_of(iread(source, selection, errors))
    if one and len(table) != 1:
        raise IndexError(f"frame {index} is out of range")
    return table
