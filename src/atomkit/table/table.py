# FrameTable: many frames as columns (per-atom columns concatenated over frames, per-frame
# values stacked, masks where frames differ); made by the one joiner (atomkit.table.build).
"""atomkit.FrameTable."""
from __future__ import annotations

from collections.abc import Iterator
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


def narrowed(values: np.ndarray, width: int | None = None) -> np.ndarray:
    """A str array as wide as its widest str (1 at least; `width` where it is known), as every
    path gives a frame's str arrays: a frame cut from a table is as wide as one read alone."""
    if width is None:
        width = int(np.char.str_len(values).max(initial=1)) if values.size else 1
    return values if values.dtype.itemsize == 4 * width else values.astype(f"U{width}")


def frame_widths(values: np.ndarray, offsets: list[int]) -> list[int]:
    """The width of each frame's part of a str column (frame k's rows offsets[k]..offsets[k+1]):
    its widest str, 1 for a frame without rows; in one pass over the column."""
    lengths = np.char.str_len(values.reshape(len(values), -1)).max(axis=1, initial=1) if len(values) else values
    starts = np.array(offsets[:-1], np.int64)
    filled = np.diff(offsets) > 0
    widths = np.ones(len(starts), np.int64)
    if filled.any():
        widths[filled] = np.maximum.reduceat(lengths, starts[filled])
    return widths.tolist()


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
    How each frame goes back to a Frame: `frame_kinds` lists the distinct (array names in
    file order, has species, info keys in line order) and `kind_of` (int32) gives each
    frame's; `exact` holds, by info key, an object array of the values as written where the
    column alone does not give them back (ints among floats, strs ending in NUL).

    `len(table)`, `table[k]` (a Frame equal to what atomkit.read gives for that frame, its
    arrays views of the table's), `table[a:b:c]` (a FrameTable), and iteration over Frames;
    `atomkit.write(path, table)` writes the frames.
    """

    __slots__ = ("natoms", "atom_offsets", "species", "species_index", "arrays", "array_present",
                 "lattice", "has_lattice", "pbc", "info", "info_present", "frame_kinds", "kind_of", "exact",
                 "_species_lengths")

    def __init__(self, natoms: np.ndarray, *, species: np.ndarray, species_index: np.ndarray,
                 arrays: dict[str, np.ndarray], array_present: dict[str, np.ndarray], lattice: np.ndarray,
                 has_lattice: np.ndarray, pbc: np.ndarray, info: dict[str, np.ndarray],
                 info_present: dict[str, np.ndarray], frame_kinds: list[tuple[Any, ...]], kind_of: np.ndarray,
                 exact: dict[str, np.ndarray] | None = None, atom_offsets: np.ndarray | None = None):
        n = len(natoms)
        self.natoms = natoms
        self.atom_offsets = np.concatenate(([0], np.cumsum(natoms))).astype(np.int64) if atom_offsets is None \
            else atom_offsets
        atoms = int(self.atom_offsets[-1])
        self.species, self.species_index, self.arrays, self.array_present = species, species_index, arrays, array_present
        self.lattice, self.has_lattice, self.pbc = lattice, has_lattice, pbc
        self.info, self.info_present, self.exact = info, info_present, exact or {}
        self.frame_kinds, self.kind_of = frame_kinds, kind_of
        self._species_lengths: np.ndarray | None = None  # made on first need
        _check(self, n, atoms)

    def __len__(self) -> int:
        return len(self.natoms)

    def __iter__(self) -> Iterator[Frame]:
        # Every column is turned into Python values or cut once, not indexed a frame at a time.
        offsets = self.atom_offsets.tolist()
        kinds, kind_of = self.frame_kinds, self.kind_of.tolist()
        lattices, has_lattice = self.lattice, self.has_lattice.tolist()
        pbcs = [tuple(flags) for flags in self.pbc.tolist()]
        info = {key: (self.exact[key] if key in self.exact else values if values.ndim > 1 else values.tolist())
                for key, values in self.info.items()}
        symbols = self.symbols
        widths, full = frame_widths(symbols, offsets), symbols.dtype.itemsize // 4
        strs = {name: frame_widths(values, offsets) for name, values in self.arrays.items() if values.dtype.kind == "U"}
        columns = self.arrays
        for k in range(len(kind_of)):
            start, stop = offsets[k], offsets[k + 1]
            names, has_species, keys = kinds[kind_of[k]]
            arrays = {name: columns[name][start:stop] for name in names}
            if strs:
                for name in strs.keys() & arrays.keys():
                    arrays[name] = narrowed(arrays[name], strs[name][k])
            frame_symbols = None
            if has_species:
                frame_symbols = symbols[start:stop]
                if widths[k] != full:
                    frame_symbols = frame_symbols.astype(f"U{widths[k]}")
            yield Frame(frame_symbols, arrays, lattices[k] if has_lattice[k] else None, pbcs[k],
                        {key: info[key][k] for key in keys})

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
        names, has_species, keys = self.frame_kinds[self.kind_of[k]]
        symbols = None
        if has_species:
            index = self.species_index[start:stop]
            if self._species_lengths is None:
                self._species_lengths = np.char.str_len(self.species)
            width = int(self._species_lengths[index].max(initial=1)) if len(index) else 1
            symbols = narrowed(self.species[index], width)
        arrays = {name: _cut(self.arrays[name], start, stop) for name in names}
        lattice = self.lattice[k] if self.has_lattice[k] else None
        info: dict[str, Any] = {}
        for key in keys:
            exact = self.exact.get(key)
            if exact is not None:
                info[key] = exact[k]
            else:
                value = self.info[key][k]
                info[key] = value if value.ndim else value.item()
        return Frame(symbols, arrays, lattice, tuple(bool(p) for p in self.pbc[k]), info)

    def _range(self, start: int, stop: int) -> FrameTable:
        """Frames start..stop: every column a view of this table's."""
        first, last = int(self.atom_offsets[start]), int(self.atom_offsets[stop])
        return self._with(slice(start, stop), self.atom_offsets[start:stop + 1] - first,
                          self.species_index[first:last], {name: values[first:last] for name, values in self.arrays.items()})

    def _take(self, frames: np.ndarray) -> FrameTable:
        """The frames listed, in that order: the columns gathered anew."""
        natoms = self.natoms[frames]
        offsets = np.concatenate(([0], np.cumsum(natoms))).astype(np.int64)
        # Every chosen frame's atoms, in order: a start repeated per atom plus its rank.
        atoms = np.repeat(self.atom_offsets[frames] - offsets[:-1], natoms) + np.arange(offsets[-1])
        return self._with(frames, offsets, self.species_index[atoms],
                          {name: values[atoms] for name, values in self.arrays.items()})

    def _with(self, frames: slice | np.ndarray, offsets: np.ndarray, species_index: np.ndarray,
              arrays: dict[str, np.ndarray]) -> FrameTable:
        return FrameTable(self.natoms[frames], atom_offsets=offsets, species=self.species, species_index=species_index,
                          arrays=arrays, array_present={name: p[frames] for name, p in self.array_present.items()},
                          lattice=self.lattice[frames], has_lattice=self.has_lattice[frames], pbc=self.pbc[frames],
                          info={key: values[frames] for key, values in self.info.items()},
                          info_present={key: p[frames] for key, p in self.info_present.items()},
                          frame_kinds=self.frame_kinds, kind_of=self.kind_of[frames],
                          exact={key: values[frames] for key, values in self.exact.items()})


def _cut(values: np.ndarray, start: int, stop: int) -> np.ndarray:
    """Atoms start..stop of a per-atom column: a view, or for strs as wide as their widest."""
    part = values[start:stop]
    return narrowed(part) if part.dtype.kind == "U" else part


def _check(table: FrameTable, n: int, atoms: int) -> None:
    """ValueError unless the columns fit together: n frames of `atoms` atoms in all."""
    problems = []
    if table.natoms.shape != (n,) or len(table.atom_offsets) != n + 1:
        problems.append("natoms and atom_offsets")
    if table.species_index.shape != (atoms,) or table.species_index.dtype != np.int32:
        problems.append("species_index")
    for name, values in table.arrays.items():
        if len(values) != atoms or table.array_present.get(name, np.zeros(0)).shape != (n,):
            problems.append(f"array {name!r}")
    if table.lattice.shape != (n, 3, 3) or table.has_lattice.shape != (n,) or table.pbc.shape != (n, 3):
        problems.append("lattice, has_lattice and pbc")
    for key, values in table.info.items():
        if len(values) != n or table.info_present.get(key, np.zeros(0)).shape != (n,):
            problems.append(f"info {key!r}")
    for key, values in table.exact.items():
        if key not in table.info or values.shape != (n,) or values.dtype.kind != "O":
            problems.append(f"exact {key!r}")
    if table.kind_of.shape != (n,) or (n and not 0 <= int(table.kind_of.max(initial=0)) < len(table.frame_kinds)):
        problems.append("kind_of")
    if problems:
        raise ValueError(f"a FrameTable of {n} frames and {atoms} atoms cannot hold these columns: "
                         + ", ".join(problems))
