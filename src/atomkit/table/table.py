# FrameTable: many frames as columns (per-atom columns concatenated over frames, per-frame
# values stacked, masks where frames differ), with the Builder of its columns and table_of,
# which builds one from frames.
"""atomkit.FrameTable."""
from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

from atomkit.base.frame import Frame

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


def species_clash(symbols: int, values: np.ndarray, frame: int) -> ValueError:
    """The error of frame `frame`'s per-atom column "species" that is not one str an atom: a
    table keeps that name for the symbols (first had by frame `symbols`, -1 for none yet)."""
    where = f" but {_describe(_column_kind(values))} in frame {frame}"
    return ValueError(f"column 'species' is str of width 1 in frame {symbols}{where}" if symbols >= 0 else
                      f"column 'species' is {where[5:]}; a table keeps species as one str column")


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
            # Str arrays of other widths (a frame's own is as its values were typed) are kept too.
            exact = len(kinds) == 1 and len({v.dtype.itemsize for v in values}) == 1
            return column, (None if exact else _objects(values, frames, n))
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
    raw = _objects(values, frames, n)
    return raw, raw


def _objects(values: list[Any], frames: np.ndarray, n: int) -> np.ndarray:
    out = np.full(n, None, dtype=object)
    for k, value in zip(frames.tolist(), values):
        out[k] = value
    return out


class _Narrowed:
    """A str column cut into frames, each as wide as its own longest str (as a frame read
    alone is), not as the widest of the table."""

    __slots__ = ("values", "offsets", "widths")

    def __init__(self, values: np.ndarray, offsets: list[int]):
        self.values, self.offsets = values, offsets
        lengths = np.char.str_len(values.reshape(len(values), -1)).max(axis=1, initial=1) if len(values) else values
        starts = np.array(offsets[:-1], np.int64)
        filled = starts < len(values)
        self.widths = np.ones(len(starts), np.int64)
        if filled.any():
            self.widths[filled] = np.maximum.reduceat(lengths, starts[filled])
        self.widths = np.where(np.diff(offsets) > 0, self.widths, 1).tolist()

    def frame(self, k: int) -> np.ndarray:
        part = self.values[self.offsets[k]:self.offsets[k + 1]]
        width = self.widths[k]
        return part if part.dtype.itemsize == 4 * width else part.astype(f"U{width}")


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
        # Every column is turned into Python values or cut once, not indexed a frame at a time.
        offsets = self.atom_offsets.tolist()
        layouts, layout_of = self._layouts, self._layout_of.tolist()
        lattices, has_lattice = self.lattice, self.has_lattice.tolist()
        pbcs = [tuple(flags) for flags in self.pbc.tolist()]
        info = {key: (self._raw[key] if key in self._raw else values if values.ndim > 1 else values.tolist())
                for key, values in self.info.items()}
        symbols = _Narrowed(self.symbols, offsets)
        arrays = {name: _Narrowed(values, offsets) if values.dtype.kind == "U" else values
                  for name, values in self.arrays.items()}
        for k in range(len(layout_of)):
            start, stop = offsets[k], offsets[k + 1]
            names, has_species, keys = layouts[layout_of[k]]
            yield Frame(symbols.frame(k) if has_species else None,
                        {name: arrays[name].frame(k) if isinstance(arrays[name], _Narrowed) else arrays[name][start:stop]
                         for name in names},
                        lattices[k] if has_lattice[k] else None, pbcs[k], {key: info[key][k] for key in keys})

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


class Builder:
    """Gathers the columns of a FrameTable: the per-frame values a frame at a time (`frame`),
    the per-atom columns a run of frames at a time (`atoms`, the frames' atoms one after
    another), then `table()`. A frame costs an append; the per-frame values are sorted into
    columns at the end, a column at a time."""

    def __init__(self) -> None:
        # (natoms, lattice or None, pbc, info, (array names in order, has species)) a frame
        self.frames: list[tuple[int, Any, Any, dict[str, Any], tuple[Any, ...]]] = []
        self.species: dict[str, int] = {}
        # The species symbols as indices into `species`; first: the first frame with symbols.
        self.columns: dict[str, _Columns] = {"species": _Columns(("i", ()), -1)}

    def frame(self, natoms: int, lattice: Any, pbc: Any, info: dict[str, Any], arrays: tuple[Any, ...]) -> None:
        self.frames.append((natoms, lattice, pbc, info, arrays))

    def atoms(self, frames: np.ndarray, symbols: np.ndarray | None, arrays: dict[str, np.ndarray]) -> None:
        """The per-atom columns of `frames` (frame numbers, in the order their atoms come)."""
        if symbols is not None:
            names, inverse = np.unique(symbols, return_inverse=True)
            self.coded_species(frames, names.tolist(), inverse.reshape(-1))
        self.arrays(frames, arrays)

    def coded_species(self, frames: np.ndarray, names: list[str], index: np.ndarray) -> None:
        """The species of the atoms of `frames`: each atom's index into `names`."""
        codes = np.array([self.species.setdefault(name, len(self.species)) for name in names], np.int32)
        gathered = self.columns["species"]
        gathered.first = int(frames[0]) if gathered.first < 0 else min(gathered.first, int(frames[0]))
        if (codes == np.arange(len(codes))).all():  # numbered as they are already: no copy
            self.columns["species"].parts.append((frames, index.astype(np.int32, copy=False)))
        else:
            self.columns["species"].parts.append((frames, codes[index]))

    def arrays(self, frames: np.ndarray, arrays: dict[str, np.ndarray]) -> None:
        """The per-atom columns but the species of `frames`; ValueError for a column whose type
        or width differs from a frame's before."""
        for name, values in arrays.items():
            values = np.asarray(values)
            if name == "species":  # the name the table keeps for symbols, one str per atom
                raise species_clash(self.columns["species"].first, values, int(frames[0]))
            gathered = self.columns.get(name)
            if gathered is None:
                gathered = self.columns[name] = _Columns(_column_kind(values), int(frames[0]))
            elif _column_kind(values) != gathered.kind:
                raise ValueError(f"column {name!r} is {_describe(gathered.kind)} in frame {gathered.first} "
                                 f"but {_describe(_column_kind(values))} in frame {int(frames[0])}")
            gathered.parts.append((frames, values))

    def table(self) -> FrameTable:
        n = len(self.frames)
        natoms, lattices, pbcs, infos, arrays = zip(*self.frames) if n else ((),) * 5
        table = FrameTable.__new__(FrameTable)
        table.natoms = np.array(natoms, np.int64)
        table.atom_offsets = np.concatenate(([0], np.cumsum(table.natoms))).astype(np.int64)
        self.atom_columns(table)
        table.has_lattice = np.array([lattice is not None for lattice in lattices], bool)
        table.lattice = np.zeros((n, 3, 3))
        if table.has_lattice.any():
            table.lattice[table.has_lattice] = [lattice for lattice in lattices if lattice is not None]
        table.pbc = np.array(pbcs, bool).reshape(n, 3)
        self._info(table, infos)
        layouts: dict[tuple[Any, ...], int] = {}
        table._layout_of = np.array([layouts.setdefault((*names, tuple(info)), len(layouts))
                                     for names, info in zip(arrays, infos)], np.int32)
        table._layouts = list(layouts)
        return table

    def atom_columns(self, table: FrameTable) -> None:
        """The per-atom columns of a table whose natoms and atom_offsets are set."""
        table.species = np.array(list(self.species), dtype=str) if self.species else np.empty(0, dtype="<U1")
        table.arrays, table.array_present = {}, {}
        for name, gathered in self.columns.items():
            column, table.array_present[name] = self._column(table, gathered, -1 if name == "species" else 0)
            if name == "species":
                table.species_index = column.astype(np.int32, copy=False)
            else:
                table.arrays[name] = column

    @staticmethod
    def _info(table: FrameTable, infos: tuple[dict[str, Any], ...]) -> None:
        """The info columns: every key any frame has, in order of first appearance."""
        n = len(infos)
        keys = dict.fromkeys(key for shape in dict.fromkeys(tuple(info) for info in infos) for key in shape)
        table.info, table.info_present, table._raw = {}, {}, {}
        for key in keys:
            present = np.fromiter((key in info for info in infos), bool, n)
            frames = np.flatnonzero(present)
            values = [infos[k][key] for k in frames.tolist()]
            table.info[key], raw = _info_column(values, frames, n)
            if raw is not None:
                table._raw[key] = raw
            table.info_present[key] = present

    @staticmethod
    def _column(table: FrameTable, gathered: _Columns, fill: int) -> tuple[np.ndarray, np.ndarray]:
        """One per-atom column over every frame (zero, or -1 for species, where a frame lacks
        it) and which frames have it."""
        offsets, present = table.atom_offsets, np.zeros(len(table.natoms), bool)
        dtypes = [values.dtype for _, values in gathered.parts] or [np.dtype(np.int32)]
        # Every frame's atoms, parts in frame order (a file of one layout): joined as they are.
        frames = [frames for frames, _ in gathered.parts]
        if frames and sum(map(len, frames)) == len(present) and \
                (np.concatenate(frames) == np.arange(len(present))).all():
            present[:] = True
            values = [values for _, values in gathered.parts]
            return (values[0] if len(values) == 1 else np.concatenate(values).astype(np.result_type(*dtypes))), present
        column = np.zeros((int(offsets[-1]), *gathered.kind[1]), np.result_type(*dtypes))
        if fill:
            column.fill(fill)
        for frames, values in gathered.parts:
            counts = table.natoms[frames]
            atoms = np.repeat(offsets[frames] - np.cumsum(counts) + counts, counts) + np.arange(int(counts.sum()))
            column[atoms] = values
            present[frames] = True
        return column, present


def table_of(frames: Iterable[Frame]) -> FrameTable:
    """The FrameTable of the frames given, in order. ValueError if a per-atom column's type or
    width differs between two frames, naming both."""
    builder = Builder()
    for k, frame in enumerate(frames):
        builder.frame(frame.natoms, frame.lattice, frame.pbc, frame.info, (tuple(frame.arrays), frame.symbols is not None))
        builder.atoms(np.array([k]), frame.symbols, frame.arrays)
    return builder.table()
