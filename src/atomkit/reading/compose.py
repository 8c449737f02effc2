# The FrameTable of runs of frames from what read_table_rs made of them: each layout's atom
# columns named by its plan, the calls' info columns joined as one call would make them, and
# the values no module column keeps put in columns of their own.
"""Tables composed from the module's columns."""
from __future__ import annotations

from typing import Any

import numpy as np

from atomkit.reading.layouts import ReadLayout
from atomkit.table.table import Builder, FrameTable, _info_column


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
        if values is None:  # every value of the key is loose
            continue
        if isinstance(values, tuple):  # texts: distinct values, and each frame's (-1: absent)
            texts, index = values
            values = np.array([*texts, ""], dtype=str)[index]
            if any(text.endswith("\0") for text in texts):  # which NumPy's str drops: kept as they are
                integers = np.array([*texts, None], dtype=object)[index]
        parts.append((first, present, values, integers))


def _raw(n: int, pieces: list[tuple[int, np.ndarray, np.ndarray, Any]]) -> np.ndarray:
    """Each frame's value as written, of a key whose frames hold integers and reals, or texts
    that a str array does not hold whole."""
    raw = np.full(n, None, dtype=object)
    for first, present, values, integers in pieces:
        part = raw[first:first + len(present)]
        if isinstance(integers, np.ndarray):  # texts as written
            part[present] = integers[present]
            continue
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


def _loose_columns(table: FrameTable, loose: list[tuple[int, str, Any]]) -> None:
    """Puts the values no module column keeps (nested lists, lists of strs, ints beyond
    int64; typed by the module) in their keys' columns, each column made as reading the
    frames one by one makes it."""
    values_by_key: dict[str, dict[int, Any]] = {}
    for frame, key, value in loose:
        values_by_key.setdefault(key, {})[frame] = value
    n = len(table)
    for key, values_of in values_by_key.items():
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
    loose: list[tuple[int, str, Any]] = []
    for first, (_, _, _, info, key_set, key_sets, _, values) in results:
        _info_pieces(info, first, pieces)
        loose.extend((first + frame, key, value) for frame, key, value in values)
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
    if not _join_info(table, n, pieces):
        return None
    _loose_columns(table, loose)
    builder.atom_columns(table)
    # A frame's place in _layouts: its Properties and its info keys in line order.
    width = max(len(key_sets_of), 1)
    pairs, inverse = np.unique(rows[:, 3] * width + key_set_of, return_inverse=True)
    key_names = list(key_sets_of)
    table._layout_of = inverse.reshape(-1).astype(np.int32)
    table._layouts = [(*names[pair // width], key_names[pair % width]) for pair in pairs.tolist()]
    return table
