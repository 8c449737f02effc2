# The one joiner of tables: the columns of frames gathered part by part (a run's layouts, or
# frames one by one) into one FrameTable, every per-atom column keeping one type and width.
"""Building FrameTables."""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from atomkit.base.frame import Frame
from atomkit.table.table import FrameTable

_I64 = (-(1 << 63), (1 << 63) - 1)
_KIND_NAMES = {"f": "float", "i": "int", "u": "int", "b": "bool", "U": "str"}


def _kind(values: np.ndarray) -> tuple[str, tuple[int, ...]]:
    return values.dtype.kind, values.shape[1:]


def _describe(kind: tuple[str, tuple[int, ...]]) -> str:
    width = kind[1][0] if kind[1] else 1
    return f"{_KIND_NAMES.get(kind[0], kind[0])} of width {width}"


def info_column(values: list[Any], frames: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray | None]:
    """(column, exact or None) of one info key that frames `frames` of `n` have, from their
    values: a typed array where the values agree in type and shape, else an object array;
    `exact` keeps the values themselves where the column alone would not give them back."""
    first = values[0]
    if all(isinstance(v, np.ndarray) for v in values):
        shapes = {v.shape for v in values}
        kinds = {v.dtype.kind for v in values}
        if len(shapes) == 1 and (len(kinds) == 1 or kinds <= {"i", "f"}) and kinds <= set("ifbU"):
            stacked = np.stack(values) if len(kinds) == 1 else np.stack(values).astype(np.float64)
            column = np.zeros((n, *first.shape), stacked.dtype)
            column[frames] = stacked
            # Str arrays of other widths (a frame's own is as its values were typed) are kept too.
            same = len(kinds) == 1 and len({v.dtype.itemsize for v in values}) == 1
            return column, (None if same else _objects(values, frames, n))
    types = {type(v) for v in values}
    scalar = {bool: np.bool_, int: np.int64, float: np.float64, str: np.str_}
    if len(types) == 1 and first.__class__ in scalar and not (
            type(first) is int and not all(_I64[0] <= v <= _I64[1] for v in values)):
        column = np.zeros(n, np.asarray(values).dtype if type(first) is str else scalar[type(first)])
        column[frames] = values
        # NumPy's str drops a str's trailing NULs: such texts are kept as they are too.
        lossy = type(first) is str and any(v.endswith("\0") for v in values)
        return column, (_objects(values, frames, n) if lossy else None)
    if types == {int, float} and all(type(v) is float or _I64[0] <= v <= _I64[1] for v in values):
        column = np.zeros(n, np.float64)
        column[frames] = [float(v) for v in values]
        return column, _objects(values, frames, n)
    exact = _objects(values, frames, n)
    return exact, exact


def _objects(values: list[Any], frames: np.ndarray, n: int) -> np.ndarray:
    out = np.full(n, None, dtype=object)
    for k, value in zip(frames.tolist(), values):
        out[k] = value
    return out


class _AtomColumn:
    """One per-atom column being gathered: its kind, the first frame that had it (and that
    frame's line), and the (frames, values) of every part that has it."""

    __slots__ = ("kind", "first", "line", "parts")

    def __init__(self, kind: tuple[str, tuple[int, ...]], first: int, line: int | None):
        self.kind, self.first, self.line, self.parts = kind, first, line, []


class InfoPiece:
    """One part's values of an info key: frames first..first+len(present), typed (`values`,
    `exact` as a table holds them) or as Python values by frame (`loose`)."""

    __slots__ = ("first", "present", "values", "exact", "loose")

    def __init__(self, first: int, present: np.ndarray, values: np.ndarray | None, exact: np.ndarray | None,
                 loose: dict[int, Any] | None = None):
        self.first, self.present, self.values, self.exact, self.loose = first, present, values, exact, loose or {}

    def python_values(self) -> dict[int, Any]:
        """The values by frame (numbered in the joined table), as frames give them."""
        found = dict(self.loose)
        if self.values is not None:
            for k in np.flatnonzero(self.present).tolist():
                if k in found:
                    continue
                if self.exact is not None:
                    found[k] = self.exact[k]
                else:
                    value = self.values[k]
                    found[k] = value if value.ndim else value.item()
        return {self.first + k: value for k, value in found.items()}


class Joiner:
    """Gathers the columns of a FrameTable a part at a time, frames in order. A per-atom column
    whose type or width changes between frames is a ValueError naming both frames (and their
    count lines, where the parts say them)."""

    def __init__(self) -> None:
        self.n = 0
        self.natoms: list[np.ndarray] = []
        self.cells: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        self.lines: list[np.ndarray | None] = []
        self.species: dict[str, int] = {}
        self.species_parts: list[tuple[np.ndarray, np.ndarray]] = []
        self.columns: dict[str, _AtomColumn] = {}
        self.info: dict[str, list[InfoPiece]] = {}
        self.kinds: dict[tuple[Any, ...], int] = {}
        self.kind_of: list[np.ndarray] = []

    def line_of(self, frame: int) -> int | None:
        """The count line of frame `frame` (of those gathered), where its part said it."""
        at = 0
        for natoms, lines in zip(self.natoms, self.lines):
            if frame < at + len(natoms):
                return None if lines is None else int(lines[frame - at])
            at += len(natoms)
        return None

    def frames(self, natoms: np.ndarray, lattice: np.ndarray, has_lattice: np.ndarray, pbc: np.ndarray,
               kinds: list[tuple[Any, ...]], kind_of: np.ndarray, lines: np.ndarray | None = None) -> int:
        """Adds frames with their per-frame values; returns the number of the first."""
        first = self.n
        self.n += len(natoms)
        self.natoms.append(natoms)
        self.lines.append(lines)
        self.cells.append((lattice, has_lattice, pbc))
        numbers = np.array([self.kinds.setdefault(kind, len(self.kinds)) for kind in kinds] or [0], np.int32)
        self.kind_of.append(numbers[kind_of])
        return first

    def coded_species(self, frames: np.ndarray, names: list[str], index: np.ndarray) -> None:
        """The species of the atoms of `frames` (in order): each atom's index into `names`."""
        codes = np.array([self.species.setdefault(name, len(self.species)) for name in names] or [0], np.int32)
        first = int(frames[0]) if len(frames) else self.n
        gathered = self.columns.get("species")
        if gathered is None:
            self.columns["species"] = _AtomColumn(("U", ()), first, self.line_of(first))
        elif gathered.kind != ("U", ()):
            self._clash("species", gathered, ("U", ()), first)
        same = len(codes) == len(names) and (codes == np.arange(len(codes))).all()
        self.species_parts.append((frames, index.astype(np.int32, copy=False) if same else codes[index]))

    def arrays(self, frames: np.ndarray, arrays: dict[str, np.ndarray]) -> None:
        """The per-atom columns but the species of `frames` (their atoms in order)."""
        first = int(frames[0]) if len(frames) else self.n
        for name, values in arrays.items():
            kind = _kind(values)
            gathered = self.columns.get(name)
            if name == "species":  # the name the table keeps for symbols: one str an atom
                if gathered is None:
                    raise ValueError(f"{self._at(first)}column 'species' is {_describe(kind)} in frame {first}; "
                                     "a table keeps species as one str column")
                self._clash(name, gathered, kind, first)
            if gathered is None:
                gathered = self.columns[name] = _AtomColumn(kind, first, self.line_of(first))
            elif kind != gathered.kind:
                self._clash(name, gathered, kind, first)
            gathered.parts.append((frames, values))

    def _at(self, frame: int) -> str:
        line = self.line_of(frame)
        return "" if line is None else f"line {line}: "

    def _clash(self, name: str, gathered: _AtomColumn, kind: tuple[str, tuple[int, ...]], frame: int) -> None:
        where = "" if gathered.line is None or self.line_of(frame) is None else \
            f" (frame {gathered.first} at line {gathered.line})"
        raise ValueError(f"{self._at(frame)}column {name!r} is {_describe(gathered.kind)} in frame {gathered.first} "
                         f"but {_describe(kind)} in frame {frame}{where}")

    def info_piece(self, key: str, piece: InfoPiece) -> None:
        self.info.setdefault(key, []).append(piece)

    def table(self) -> FrameTable:
        n = self.n
        natoms = np.concatenate(self.natoms) if self.natoms else np.zeros(0, np.int64)
        offsets = np.concatenate(([0], np.cumsum(natoms))).astype(np.int64)
        lattice, has_lattice, pbc = (np.concatenate(parts) for parts in zip(*self.cells)) if self.cells else \
            (np.zeros((0, 3, 3)), np.zeros(0, bool), np.zeros((0, 3), bool))
        species_index, species_present = self._placed(natoms, offsets, self.species_parts, np.dtype(np.int32), -1)
        arrays, present = {}, {"species": species_present}
        for name, gathered in self.columns.items():
            if name == "species":
                continue
            dtype = np.result_type(*(values.dtype for _, values in gathered.parts))
            arrays[name], present[name] = self._placed(natoms, offsets, gathered.parts, dtype, 0, gathered.kind[1])
        info, info_present, exact = {}, {}, {}
        for key, pieces in self.info.items():
            info[key], info_present[key], column_exact = _joined_info(n, pieces)
            if column_exact is not None:
                exact[key] = column_exact
        species = np.array(list(self.species), dtype=str) if self.species else np.empty(0, dtype="<U1")
        if len(self.species_parts) > 1:
            species, species_index = _in_order_met(species, species_index)
        return FrameTable(natoms, atom_offsets=offsets, species=species, species_index=species_index, arrays=arrays,
                          array_present=present, lattice=lattice, has_lattice=has_lattice, pbc=pbc, info=info,
                          info_present=info_present, frame_kinds=list(self.kinds),
                          kind_of=np.concatenate(self.kind_of) if self.kind_of else np.zeros(0, np.int32), exact=exact)

    def _placed(self, natoms: np.ndarray, offsets: np.ndarray, parts: list[tuple[np.ndarray, np.ndarray]],
                dtype: np.dtype, fill: int, shape: tuple[int, ...] = ()) -> tuple[np.ndarray, np.ndarray]:
        """One per-atom column over every frame (`fill` where a frame lacks it) and which frames
        have it. Parts that cover every frame in order are joined as they are (one: no copy)."""
        n = len(natoms)
        present = np.zeros(n, bool)
        frames = [frames for frames, _ in parts]
        if frames and sum(map(len, frames)) == n and (np.concatenate(frames) == np.arange(n)).all():
            present[:] = True
            values = [values for _, values in parts]
            joined = values[0] if len(values) == 1 else np.concatenate(values)
            return joined.astype(dtype, copy=False), present
        column = np.zeros((int(offsets[-1]), *shape), dtype)
        if fill:
            column.fill(fill)
        for frames, values in parts:
            counts = natoms[frames]
            atoms = np.repeat(offsets[frames] - np.cumsum(counts) + counts, counts) + np.arange(int(counts.sum()))
            column[atoms] = values
            present[frames] = True
        return column, present


def _in_order_met(species: np.ndarray, index: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The species renumbered in the order their atoms come (parts joined layout by layout
    number them by part first)."""
    having = index >= 0
    codes, first = np.unique(index[having], return_index=True)
    order = codes[np.argsort(first, kind="stable")]
    renumber = np.zeros(len(species) + 1, np.int32)
    renumber[order] = np.arange(len(order), dtype=np.int32)
    renumber[-1] = -1
    return species[order], renumber[index]


def _joined_info(n: int, pieces: list[InfoPiece]) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """(column, present, exact or None) of one info key over `n` frames from its pieces:
    stacked as they stand where every piece typed it alike, else made from the values."""
    present = np.zeros(n, bool)
    for piece in pieces:
        present[piece.first:piece.first + len(piece.present)] = piece.present
    typed = [piece for piece in pieces if piece.values is not None and not piece.loose]
    if len(typed) == len(pieces):
        if len(pieces) == 1 and pieces[0].first == 0 and len(pieces[0].present) == n:
            return pieces[0].values, present, pieces[0].exact
        kinds = {_kind(piece.values) for piece in pieces}
        if len(kinds) == 1 and next(iter(kinds))[0] != "O":
            column = np.zeros((n, *pieces[0].values.shape[1:]), np.result_type(*(p.values for p in pieces)))
            for piece in pieces:
                column[piece.first:piece.first + len(piece.present)] = piece.values
            if not any(piece.exact is not None for piece in pieces):
                return column, present, None
            exact = np.full(n, None, dtype=object)
            for frame, value in _all_values(pieces).items():
                exact[frame] = value
            return column, present, exact
    found = _all_values(pieces)
    frames = np.flatnonzero(present)
    column, exact = info_column([found[k] for k in frames.tolist()], frames, n)
    return column, present, exact


def _all_values(pieces: list[InfoPiece]) -> dict[int, Any]:
    found: dict[int, Any] = {}
    for piece in pieces:
        found.update(piece.python_values())
    return found


def table_of(frames: Iterable[Frame]) -> FrameTable:
    """The FrameTable of the frames given, in order. ValueError if a per-atom column's type or
    width differs between two frames, naming both."""
    joiner = Joiner()
    frames = list(frames)
    n = len(frames)
    kinds = [(tuple(frame.arrays), frame.symbols is not None, tuple(frame.info)) for frame in frames]
    lattice = np.zeros((n, 3, 3))
    has_lattice = np.array([frame.lattice is not None for frame in frames], bool)
    if has_lattice.any():
        lattice[has_lattice] = [frame.lattice for frame in frames if frame.lattice is not None]
    pbc = np.array([frame.pbc for frame in frames], bool).reshape(n, 3)
    joiner.frames(np.array([frame.natoms for frame in frames], np.int64), lattice, has_lattice, pbc, kinds,
                  np.arange(n, dtype=np.int32))
    for k, frame in enumerate(frames):
        at = np.array([k])
        if frame.symbols is not None:
            names, inverse = np.unique(np.asarray(frame.symbols), return_inverse=True)
            joiner.coded_species(at, names.tolist(), inverse.reshape(-1))
        joiner.arrays(at, {name: np.asarray(values) for name, values in frame.arrays.items()})
    keys = dict.fromkeys(key for frame in frames for key in frame.info)
    for key in keys:
        present = np.fromiter((key in frame.info for frame in frames), bool, n)
        joiner.info_piece(key, InfoPiece(0, present, None, None,
                                          {k: frames[k].info[key] for k in np.flatnonzero(present).tolist()}))
    return joiner.table()
