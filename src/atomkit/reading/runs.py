# What a run of the module's Reader becomes: the frames it read as Frames (cut from its layouts'
# matrices), or their columns added to the one joiner of tables.
"""Runs into Frames and FrameTables."""
from __future__ import annotations

from typing import Any

import numpy as np

from atomkit.base.frame import Frame
from atomkit.base.text import SPECIES
from atomkit.table.build import InfoPiece, Joiner

_GROUPS = {"R": 0, "I": 1, "L": 2, "S": 3}


class Plan:
    """Where each named column of one layout lies in the reader's matrices: `columns` holds
    (name, group (0 float, 1 int, 2 bool, 3 str), first column in its group, count) in file
    order, `species` the str column of the symbols or None. Made from the reader's own
    description of the layout: the Properties grammar is the module's alone."""

    __slots__ = ("columns", "species", "names")

    def __init__(self, layout: Any):
        self.columns: list[tuple[str, int, int, int]] = []
        self.species: int | None = None
        cursor = [0, 0, 0, 0]
        for name, kind, count in zip(layout.names, layout.kinds, layout.counts):
            group = _GROUPS[kind]
            start = cursor[group]
            cursor[group] += count
            if group == 3 and name == SPECIES and count == 1:
                self.species = start
                continue
            self.columns.append((name, group, start, count))
        self.names = tuple(name for name, *_ in self.columns)

    def arrays(self, table: Any, strs: list[np.ndarray]) -> dict[str, np.ndarray]:
        """The named columns of an AtomTable (`strs`: its str columns as arrays)."""
        sources = (table.floats, table.ints, table.bools)
        arrays = {}
        for name, group, start, count in self.columns:
            if group < 3:
                values = sources[group]
                arrays[name] = values[:, start] if count == 1 else values[:, start:start + count]
            else:
                arrays[name] = strs[start] if count == 1 else np.stack(strs[start:start + count], axis=1)
        return arrays


def plans(layouts: tuple[Any, ...]) -> list[Plan | None]:
    """The plan of each layout the reader describes (None for a refused or unreadable one)."""
    return [None if layout is None else Plan(layout) for layout in layouts]


def _strs(table: Any, plan: Plan) -> list[np.ndarray | None]:
    """Each str column of an AtomTable as a str array, one row an atom; None for the species
    column of a plan that keeps it apart (a table keeps species as distinct names and indices)."""
    return [None if column == plan.species else np.array(distinct or [""], dtype=str)[index]
            for column, (distinct, index) in enumerate(table.strs)]


def _widths(values: np.ndarray, starts: np.ndarray, counts: np.ndarray) -> list[int]:
    """The width of each frame's part of a str column (frames of `counts` rows from `starts`);
    1 for a frame without atoms."""
    lengths = np.char.str_len(values.reshape(len(values), -1)).max(axis=1, initial=1) if len(values) else values
    widths = np.ones(len(starts), np.int64)
    filled = counts > 0
    if filled.any():
        widths[filled] = np.maximum.reduceat(lengths, starts[filled])
    return widths.tolist()


def _info_by_frame(run: Any) -> tuple[list[Any], dict[int, dict[int, Any]]]:
    """Each info column's values ready for frames (a list, or a column of arrays), and the
    loose values by column and row."""
    loose: dict[int, dict[int, Any]] = {}
    for row, column, value in run.loose:
        loose.setdefault(column, {})[row] = value
    columns = []
    for c, column in enumerate(run.info):
        values = column.values
        if values is None:
            columns.append(None)
        elif type(values) is tuple:
            texts, index = values
            columns.append([texts[i] if i >= 0 else None for i in index.tolist()])
        elif column.integers is not None:
            ints, integral = column.integers
            reals = values.tolist()
            for row in np.flatnonzero(integral).tolist():
                reals[row] = int(ints[row])
            columns.append(reals)
        else:
            columns.append(values if values.ndim > 1 else values.tolist())
        if c in loose and columns[-1] is not None and not isinstance(columns[-1], list):
            columns[-1] = list(columns[-1])
    return columns, loose


def frames_of(run: Any, layout_plans: list[Plan | None]) -> list[Frame]:
    """The Frames of a run, in its order: arrays are views of the run's matrices (str arrays
    as wide as the frame's widest), info values as the comment line typed them."""
    n = len(run.frames)
    if n == 1:
        return [_alone(run, layout_plans)]
    layout_of = run.layout.tolist()
    natoms = run.natoms.tolist()
    # Per layout: its named arrays over its frames, its symbols, and which of its arrays are
    # strs; per frame: its first row in its layout's table, and the widths of its strs.
    cut: dict[int, tuple[dict[str, np.ndarray], np.ndarray | None, int, list[str]]] = {}
    first_row = [0] * n
    symbol_width = [1] * n
    str_width: dict[str, list[int]] = {}
    for table in run.atoms:
        plan = layout_plans[table.layout]
        mine = np.flatnonzero(run.layout == table.layout)
        counts = run.natoms[mine]
        starts = np.concatenate(([0], np.cumsum(counts)[:-1])).astype(np.int64)
        frames_here = mine.tolist()
        for k, start in zip(frames_here, starts.tolist()):
            first_row[k] = start
        arrays = plan.arrays(table, _strs(table, plan))
        symbols, full = None, 0
        if plan.species is not None:
            distinct, index = table.strs[plan.species]
            symbols = np.array(distinct or [""], dtype=str)[index]
            full = symbols.dtype.itemsize // 4
            for k, width in zip(frames_here, _widths(symbols, starts, counts)):
                symbol_width[k] = width
        str_names = [name for name, values in arrays.items() if values.dtype.kind == "U"]
        for name in str_names:
            widths = str_width.setdefault(name, [1] * n)
            for k, width in zip(frames_here, _widths(arrays[name], starts, counts)):
                widths[k] = width
        cut[table.layout] = (arrays, symbols, full, str_names)
    columns, loose = _info_by_frame(run)
    # Each key set's (key, column) pairs, and whether any of its columns holds loose values.
    keys = [([(run.info[c].key, c) for c in key_set], any(c in loose for c in key_set)) for key_set in run.key_sets]
    key_set = run.key_set.tolist()
    lattices, has_lattice = run.lattice, run.has_lattice.tolist()
    pbcs = [tuple(flags) for flags in run.pbc.tolist()]
    frames = []
    for k in range(n):
        arrays, symbols, full, str_names = cut[layout_of[k]]
        start = first_row[k]
        stop = start + natoms[k]
        frame_arrays = {name: values[start:stop] for name, values in arrays.items()}
        for name in str_names:
            width = str_width[name][k]
            if frame_arrays[name].dtype.itemsize != 4 * width:
                frame_arrays[name] = frame_arrays[name].astype(f"U{width}")
        frame_symbols = None
        if symbols is not None:
            frame_symbols = symbols[start:stop]
            if symbol_width[k] != full:
                frame_symbols = frame_symbols.astype(f"U{symbol_width[k]}")
        pairs, has_loose = keys[key_set[k]]
        if has_loose:
            info = {key: loose[c][k] if c in loose and k in loose[c] else columns[c][k] for key, c in pairs}
        else:
            info = {key: columns[c][k] for key, c in pairs}
        frames.append(Frame(frame_symbols, frame_arrays, lattices[k] if has_lattice[k] else None, pbcs[k], info))
    return frames


def _alone(run: Any, layout_plans: list[Plan | None]) -> Frame:
    """The Frame of a run of one frame (FrameIndex[k], one frame by number): what frames_of
    makes of it, without its setup for many frames."""
    plan = layout_plans[int(run.layout[0])]
    symbols, arrays = None, {}
    if run.atoms:
        table = run.atoms[0]
        strs = [None if column == plan.species else _one_frame_strs(distinct, index)
                for column, (distinct, index) in enumerate(table.strs)]
        arrays = plan.arrays(table, strs)
        if plan.species is not None:
            symbols = _one_frame_strs(*table.strs[plan.species])
        for name, values in arrays.items():
            if values.ndim > 1 and values.dtype.kind == "U":  # columns stacked: as wide as the widest
                arrays[name] = values.astype(f"U{max(int(np.char.str_len(values).max(initial=1)), 1)}")
    elif plan.species is not None:
        symbols = np.empty(0, dtype="<U1")
    info = {}
    loose = {column: value for _, column, value in run.loose}
    for c in run.key_sets[int(run.key_set[0])]:
        column = run.info[c]
        info[column.key] = loose[c] if c in loose else _first_value(column)
    return Frame(symbols, arrays, run.lattice[0] if run.has_lattice[0] else None, tuple(run.pbc[0].tolist()), info)


def _one_frame_strs(distinct: list[str], index: np.ndarray) -> np.ndarray:
    """A str column of one frame: every distinct token is its own, so the array of them is as
    wide as the widest (but for trailing NULs, which NumPy's str does not keep)."""
    values = np.array(distinct or [""], dtype=str)[index]
    if "\0" in "".join(distinct) and any(token.endswith("\0") for token in distinct):
        width = max(int(np.char.str_len(values).max(initial=1)), 1)
        values = values.astype(f"U{width}")
    return values


def _first_value(column: Any) -> Any:
    """The value of an info column in the first frame of a run, as the comment line typed it."""
    values = column.values
    if type(values) is tuple:
        texts, index = values
        return texts[int(index[0])]
    if column.integers is not None and column.integers[1][0]:
        return int(column.integers[0][0])
    value = values[0]
    return value if value.ndim else value.item()


def add_run(joiner: Joiner, run: Any, layout_plans: list[Plan | None]) -> None:
    """Adds the frames of a run to a table being joined."""
    n = len(run.frames)
    kinds, kind_of = _kinds(run, layout_plans)
    first = joiner.frames(run.natoms, run.lattice, run.has_lattice, run.pbc, kinds, kind_of, run.lines)
    having = [(table, np.flatnonzero(run.layout == table.layout)) for table in run.atoms]
    # In the order of each layout's first frame: a column's kind is the first frame's, and the
    # clash named is the first frame that differs.
    for table, mine in sorted(having, key=lambda pair: int(pair[1][0]) if len(pair[1]) else n):
        plan = layout_plans[table.layout]
        frames = first + mine
        if plan.species is not None:
            distinct, index = table.strs[plan.species]
            joiner.coded_species(frames, list(distinct), index)
        joiner.arrays(frames, plan.arrays(table, _strs(table, plan)))
    loose: dict[int, dict[int, Any]] = {}
    for row, column, value in run.loose:
        loose.setdefault(column, {})[row] = value
    for c, column in enumerate(run.info):
        values, exact = _typed_info(column, n)
        present = column.present
        if c in loose:  # (frames whose value is loose are not among those the column holds)
            present = present.copy()
            present[list(loose[c])] = True
        joiner.info_piece(column.key, InfoPiece(first, present, values, exact, loose.get(c)))


def _typed_info(column: Any, n: int) -> tuple[np.ndarray | None, np.ndarray | None]:
    """A run's info column as a table holds it: values (texts as a str array, "" where absent)
    and the exact values where the column alone does not give them back."""
    values = column.values
    if values is None:
        return None, None
    if type(values) is tuple:
        texts, index = values
        typed = np.array([*texts, ""], dtype=str)[index]
        if any(text.endswith("\0") for text in texts):
            exact = np.full(n, None, dtype=object)
            for row in np.flatnonzero(index >= 0).tolist():
                exact[row] = texts[index[row]]
            return typed, exact
        return typed, None
    if column.integers is not None:
        ints, integral = column.integers
        exact = np.full(n, None, dtype=object)
        present = np.flatnonzero(column.present)
        exact[present] = values[present].tolist()
        for row in np.flatnonzero(integral).tolist():
            exact[row] = int(ints[row])
        return values, exact
    return values, None


def _kinds(run: Any, layout_plans: list[Plan | None]) -> tuple[list[tuple[Any, ...]], np.ndarray]:
    """The distinct (array names, has species, info keys) of a run's frames, and each frame's."""
    width = max(len(run.key_sets), 1)
    pairs, inverse = np.unique(run.layout.astype(np.int64) * width + run.key_set, return_inverse=True)
    kinds = []
    for pair in pairs.tolist():
        plan = layout_plans[pair // width]
        keys = tuple(run.info[c].key for c in run.key_sets[pair % width])
        kinds.append((plan.names, plan.species is not None, keys))
    return kinds, inverse.reshape(-1).astype(np.int32)
