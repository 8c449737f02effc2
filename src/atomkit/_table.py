# FrameTable: many frames as columns (per-atom columns concatenated over frames, per-frame
# values stacked, masks where frames differ), and read_table that builds one from a file.
"""atomkit.read_table and FrameTable."""
from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

from atomkit._frame import Frame
from atomkit._reader import Index, iread

# Element symbols by atomic number (1 = H); species that are not elements have no number.
_ELEMENTS = (
    "H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn Ga Ge As "
    "Se Br Kr Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe Cs Ba La Ce Pr Nd Pm Sm Eu Gd "
    "Tb Dy Ho Er Tm Yb Lu Hf Ta W Re Os Ir Pt Au Hg Tl Pb Bi Po At Rn Fr Ra Ac Th Pa U Np Pu Am "
    "Cm Bk Cf Es Fm Md No Lr Rf Db Sg Bh Hs Mt Ds Rg Cn Nh Fl Mc Lv Ts Og").split()
_NUMBER = {symbol: z for z, symbol in enumerate(_ELEMENTS, 1)}
_I64 = (-(1 << 63), (1 << 63) - 1)


def _column_kind(values: np.ndarray) -> tuple[str, tuple[int, ...]]:
    return values.dtype.kind, values.shape[1:]


def _describe(kind: tuple[str, tuple[int, ...]]) -> str:
    names = {"f": "float", "i": "int", "u": "int", "b": "bool", "U": "str"}
    width = kind[1][0] if kind[1] else 1
    return f"{names.get(kind[0], kind[0])} of width {width}"


class _Columns:
    """One per-atom column being gathered: its kind, the first frame that had it, and the
    (frame, values) of every frame that has it."""

    __slots__ = ("kind", "first", "parts")

    def __init__(self, kind: tuple[str, tuple[int, ...]], first: int):
        self.kind, self.first, self.parts = kind, first, []


def _info_column(values: list[Any], frames: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray | None]:
    """(column, raw) for one info key that frames `frames` of `n` have: a typed array where
    the values agree in type and shape, else an object array; `raw` keeps the values
    themselves where the column alone would not give them back exactly (int among float)."""
    first = values[0]
    if all(isinstance(v, np.ndarray) for v in values):
        shapes = {v.shape for v in values}
        kinds = {v.dtype.kind for v in values}
        if len(shapes) == 1 and (len(kinds) == 1 or kinds <= {"i", "f"}) and kinds <= set("ifbU"):
            stacked = np.stack(values) if len(kinds) == 1 else np.stack(values).astype(np.float64)
            column = np.zeros((n, *first.shape), stacked.dtype)
            column[frames] = stacked
            return column, (None if len(kinds) == 1 else _objects(values, frames, n))
    types = {type(v) for v in values}
    scalar = {bool: np.bool_, int: np.int64, float: np.float64, str: np.str_}
    if len(types) == 1 and first.__class__ in scalar and not (
            type(first) is int and not all(_I64[0] <= v <= _I64[1] for v in values)):
        column = np.zeros(n, np.asarray(values).dtype if type(first) is str else scalar[type(first)])
        column[frames] = values
        return column, None
    if types == {int, float} and all(type(v) is float or _I64[0] <= v <= _I64[1] for v in values):
        column = np.zeros(n, np.float64)
        column[frames] = [float(v) for v in values]
        return column, _objects(values, frames, n)
    raw = _objects(values, frames, n)
    return raw, raw


def _objects(values: list[Any], frames: np.ndarray, n: int) -> np.ndarray:
    out = np.full(n, None, dtype=object)
    for k, value in zip(frames.tolist(), values):
        out[k] = value
    return out


class FrameTable:
    """Many frames of extended XYZ as NumPy columns, for training loops and analysis.

    Per atom (all frames' atoms one after another; frame k's are
    `[atom_offsets[k]:atom_offsets[k + 1]]`):
        species_index: int32 index into `species` (the distinct species, in order of first
            appearance), -1 for frames without a species column; `symbols` and `numbers`
            (atomic numbers) are made from them on demand.
        arrays: the other per-atom columns by name, float64, int64, bool or str, of shape
            (atoms,) or (atoms, k): the union of all frames' columns.
        array_present: for each name in `arrays` (and "species"), which frames have it; rows
            of frames without it are zero (or "" or False).
    Per frame:
        natoms (int64), atom_offsets (n + 1 values), lattice (n, 3, 3; zero where
        `has_lattice` is False), pbc (n, 3), info: every info key as an array (scalars 1-D,
        vectors 2-D, 3x3 values 3-D, strings as str arrays, anything else an object array)
        with `info_present` saying which frames have it.

    `len(table)`, `table[k]` (a Frame equal to what atomkit.read gives for that frame, its
    arrays views of the table's), `table[a:b:c]` (a FrameTable), and iteration over Frames;
    `atomkit.write(path, table)` writes the frames.
    """

    __slots__ = ("natoms", "atom_offsets", "species", "species_index", "arrays", "array_present",
                 "lattice", "has_lattice", "pbc", "info", "info_present", "_layouts", "_layout_of", "_raw")

    def __len__(self) -> int:
        return len(self.natoms)

    def __iter__(self) -> Iterator[Frame]:
        return (self._frame(k) for k in range(len(self)))

    def __getitem__(self, index: int | slice) -> Any:
        if isinstance(index, slice):
            start, stop, step = index.indices(len(self))
            if step == 1:
                return self._range(start, max(start, stop))
            return self._take(np.arange(len(self))[index])
        if isinstance(index, (bool, np.bool_)) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"FrameTable indices are int or slice, not {type(index).__name__}")
        k = int(index) + len(self) if index < 0 else int(index)
        if not 0 <= k < len(self):
            raise IndexError(f"frame {index} is out of range ({len(self)} frames)")
        return self._frame(k)

    def __repr__(self) -> str:
        return (f"<FrameTable: {len(self)} frames, {int(self.atom_offsets[-1])} atoms, "
                f"arrays {list(self.arrays)}, info {list(self.info)}>")

    @property
    def symbols(self) -> np.ndarray:
        """The species of every atom as a str array ("" for frames without species)."""
        names = np.append(self.species, np.array([""], dtype=self.species.dtype))
        return names[self.species_index]

    @property
    def numbers(self) -> np.ndarray:
        """The atomic number of every atom (int64). ValueError if a species is not an
        element symbol."""
        table = np.zeros(len(self.species) + 1, np.int64)
        for i, name in enumerate(self.species.tolist()):
            if name not in _NUMBER:
                raise ValueError(f"species {name!r} is not an element symbol")
            table[i] = _NUMBER[name]
        if (self.species_index < 0).any():
            raise ValueError("some frames have no species column")
        return table[self.species_index]

    def _frame(self, k: int) -> Frame:
        start, stop = int(self.atom_offsets[k]), int(self.atom_offsets[k + 1])
        names, has_species, keys = self._layouts[self._layout_of[k]]
        symbols = self.species[self.species_index[start:stop]] if has_species else None
        arrays = {name: self.arrays[name][start:stop] for name in names}
        lattice = self.lattice[k] if self.has_lattice[k] else None
        info: dict[str, Any] = {}
        for key in keys:
            raw = self._raw.get(key)
            if raw is not None:
                info[key] = raw[k]
            else:
                value = self.info[key][k]
                info[key] = value if value.ndim else value.item()
        return Frame(symbols, arrays, lattice, tuple(bool(p) for p in self.pbc[k]), info)

    def _range(self, start: int, stop: int) -> FrameTable:
        """Frames start..stop: every column a view of this table's."""
        table = self._per_frame(slice(start, stop))
        first, last = int(self.atom_offsets[start]), int(self.atom_offsets[stop])
        table.atom_offsets = self.atom_offsets[start:stop + 1] - first
        table.species_index = self.species_index[first:last]
        table.arrays = {name: values[first:last] for name, values in self.arrays.items()}
        return table

    def _take(self, frames: np.ndarray) -> FrameTable:
        """The frames listed, in that order: the columns gathered anew."""
        table = self._per_frame(frames)
        table.atom_offsets = np.concatenate(([0], np.cumsum(table.natoms))).astype(np.int64)
        # Every chosen frame's atoms, in order: a start repeated per atom plus its rank.
        starts = self.atom_offsets[frames]
        atoms = np.repeat(starts - table.atom_offsets[:-1], table.natoms) + np.arange(table.atom_offsets[-1])
        table.species_index = self.species_index[atoms]
        table.arrays = {name: values[atoms] for name, values in self.arrays.items()}
        return table

    def _per_frame(self, frames: slice | np.ndarray) -> FrameTable:
        """A table of the frames chosen with its per-frame columns; the per-atom ones are the
        caller's to fill."""
        table = FrameTable.__new__(FrameTable)
        table.natoms, table.species = self.natoms[frames], self.species
        table.array_present = {name: present[frames] for name, present in self.array_present.items()}
        table.lattice, table.has_lattice, table.pbc = self.lattice[frames], self.has_lattice[frames], self.pbc[frames]
        table.info = {key: values[frames] for key, values in self.info.items()}
        table.info_present = {key: present[frames] for key, present in self.info_present.items()}
        table._layouts, table._layout_of = self._layouts, self._layout_of[frames]
        table._raw = {key: raw[frames] for key, raw in self._raw.items()}
        return table


def table_of(frames: Iterable[Frame]) -> FrameTable:
    """The FrameTable of the frames given, in order. ValueError if a per-atom column's type or
    width differs between two frames, naming both."""
    natoms: list[int] = []
    species: dict[str, int] = {}
    species_parts: list[np.ndarray] = []
    columns: dict[str, _Columns] = {}
    lattices: list[tuple[int, np.ndarray]] = []
    pbcs: list[tuple[bool, bool, bool]] = []
    infos: dict[str, tuple[list[int], list[Any]]] = {}
    layouts: dict[tuple[Any, ...], int] = {}
    layout_of: list[int] = []
    has_species: list[bool] = []
    for k, frame in enumerate(frames):
        n = frame.natoms
        natoms.append(n)
        has_species.append(frame.symbols is not None)
        if frame.symbols is None:
            species_parts.append(np.full(n, -1, np.int32))
        else:
            names, inverse = np.unique(frame.symbols, return_inverse=True)
            codes = np.array([species.setdefault(name, len(species)) for name in names.tolist()], np.int32)
            species_parts.append(codes[inverse.reshape(-1)] if n else np.empty(0, np.int32))
        for name, values in frame.arrays.items():
            values = np.asarray(values)
            gathered = columns.get(name)
            if gathered is None:
                gathered = columns[name] = _Columns(_column_kind(values), k)
            elif _column_kind(values) != gathered.kind:
                raise ValueError(f"column {name!r} is {_describe(gathered.kind)} in frame {gathered.first} "
                                 f"but {_describe(_column_kind(values))} in frame {k}")
            gathered.parts.append((k, values))
        if frame.lattice is not None:
            lattices.append((k, np.asarray(frame.lattice, np.float64)))
        pbcs.append(tuple(bool(p) for p in frame.pbc))
        for key, value in frame.info.items():
            where, values = infos.setdefault(key, ([], []))
            where.append(k)
            values.append(value)
        layout = (tuple(frame.arrays), frame.symbols is not None, tuple(frame.info))
        layout_of.append(layouts.setdefault(layout, len(layouts)))
    return _assemble(natoms, (species, species_parts, has_species), columns, lattices, pbcs, infos,
                     layouts, layout_of)


def _assemble(natoms: list[int], species_of: tuple[dict[str, int], list[np.ndarray], list[bool]],
              columns: dict[str, _Columns], lattices: list[tuple[int, np.ndarray]],
              pbcs: list[tuple[bool, bool, bool]], infos: dict[str, tuple[list[int], list[Any]]],
              layouts: dict[tuple[Any, ...], int], layout_of: list[int]) -> FrameTable:
    n = len(natoms)
    species, species_parts, has_species = species_of
    table = FrameTable.__new__(FrameTable)
    table.natoms = np.array(natoms, np.int64)
    table.atom_offsets = np.concatenate(([0], np.cumsum(table.natoms))).astype(np.int64)
    table.species = np.array(list(species), dtype=str) if species else np.empty(0, dtype="<U1")
    table.species_index = np.concatenate(species_parts) if species_parts else np.empty(0, np.int32)
    table.array_present = {"species": np.array(has_species, bool)}
    table.arrays = {}
    for name, gathered in columns.items():
        dtype = np.result_type(*(values.dtype for _, values in gathered.parts))
        column = np.zeros((int(table.atom_offsets[-1]), *gathered.kind[1]), dtype)
        present = np.zeros(n, bool)
        for k, values in gathered.parts:
            column[table.atom_offsets[k]:table.atom_offsets[k + 1]] = values
            present[k] = True
        table.arrays[name], table.array_present[name] = column, present
    table.lattice = np.zeros((n, 3, 3))
    table.has_lattice = np.zeros(n, bool)
    for k, lattice in lattices:
        table.lattice[k], table.has_lattice[k] = lattice, True
    table.pbc = np.array(pbcs, bool).reshape(n, 3)
    table.info, table.info_present, table._raw = {}, {}, {}
    for key, (where, values) in infos.items():
        frames = np.array(where, np.intp)
        table.info[key], raw = _info_column(values, frames, n)
        if raw is not None:
            table._raw[key] = raw
        table.info_present[key] = np.zeros(n, bool)
        table.info_present[key][frames] = True
    table._layouts = list(layouts)
    table._layout_of = np.array(layout_of, np.int32)
    return table


def read_table(source: Any, index: Index = ":", threads: int | None = None, errors: str = "raise") -> FrameTable:
    """The frames `index` (all by default) of an extended XYZ file as one FrameTable.

    source, index and errors as for atomkit.iread. threads: the most threads the parse may
    use (None: as atomkit's other calls); the table is the same for any count.

    ValueError for a frame that cannot be read (naming its line), or a per-atom column whose
    type or width differs between two frames (naming both).
    """
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be None or an int of at least 1, not {threads!r}")
    if isinstance(index, (int, np.integer)) and not isinstance(index, bool):
        index = slice(int(index), int(index) + 1 or None)
    return table_of(iread(source, index, errors))
