# The Properties string of a frame: the columns of its atom lines. Parsed once per distinct
# string into a read layout, and built once per distinct set of arrays into a write layout.
"""Column layouts for reading and writing atom lines.

`read_layout(properties)` -> ReadLayout (cached per string): the module's column codes and
how to cut its result into named arrays (with the StrColumns of the walk that reads them).
`write_layout(has_symbols, signature)` -> WriteLayout (cached per signature): the Properties
string and the calls that write it.
"""
from __future__ import annotations

import re
from typing import Any

import numpy as np

from atomkit._memo import Memo

SPECIES = "species"
PLAIN_XYZ = "species:S:1:pos:R:3"
# `%-2s`, as extxyz writers have always written species; longer symbols are never cut.
SYMBOL_WIDTH = 2
_KIND_CODES = {"S": "s", "R": "f", "I": "i", "L": "b"}
_GROUPS = {"R": 0, "I": 1, "L": 2, "S": 3}
_NAME = re.compile(r"[^\s:=\"'\\\[\]{}]+\Z")
_COUNT = re.compile(r"[1-9][0-9]*\Z")


class StrColumns:
    """Turns the module's lists of str into NumPy str arrays for one walk over a file; a
    column that holds the same strings as in the frame before (species of a trajectory) is
    copied from that frame's array instead of built again."""

    __slots__ = ("last",)

    def __init__(self) -> None:
        # By column: the strings of the frame before and the array built of them.
        self.last: dict[int, tuple[list[str], np.ndarray]] = {}

    def array(self, column: int, values: list[str]) -> np.ndarray:
        last = self.last.get(column)
        if last is not None and values == last[0]:
            return last[1].copy()
        width = max(map(len, set(values)), default=1)
        array = np.array(values, dtype=f"U{max(width, 1)}")
        self.last[column] = (values, array)
        return array.copy()


class ReadLayout:
    """What a Properties string says about the atom lines: `col_types` for the module, and
    `unpack(result, columns)` -> (symbols or None, arrays in file order). Never changed once
    built: one layout serves every thread that reads its string."""

    __slots__ = ("col_types", "plan", "species")

    def __init__(self, properties: str):
        self.species: int | None = None  # its str column
        fields = properties.split(":") if properties else []
        if len(fields) % 3:
            raise ValueError(f"Properties {properties!r}: expected name:kind:count triples")
        codes, self.plan, seen = [], [], set()
        cursor = [0, 0, 0, 0]
        for name, kind, count_text in zip(fields[0::3], fields[1::3], fields[2::3]):
            if not _NAME.match(name) or name in seen:
                raise ValueError(f"Properties {properties!r}: bad or repeated name {name!r}")
            if kind not in _KIND_CODES:
                raise ValueError(f"Properties {properties!r}: {name} has kind {kind!r}, not one of S, R, I, L")
            if not _COUNT.match(count_text):
                raise ValueError(f"Properties {properties!r}: {name} has count {count_text!r}")
            seen.add(name)
            count, group = int(count_text), _GROUPS[kind]
            start = cursor[group]
            cursor[group] += count
            codes.append(_KIND_CODES[kind] * count)
            if group == 3:
                if name == SPECIES and count == 1:
                    self.species = start
                    continue
                where: Any = count
            else:
                where = start if count == 1 else slice(start, start + count)
            self.plan.append((name, group, start, where))
        self.col_types = "".join(codes).encode("ascii")

    def unpack(self, parsed: dict[str, Any], columns: StrColumns) -> tuple[np.ndarray | None, dict[str, np.ndarray]]:
        strs = parsed["strs"]
        sources = (parsed["floats"], parsed["ints"], parsed["bools"].view(np.bool_))
        arrays: dict[str, np.ndarray] = {}
        for name, group, start, where in self.plan:
            if group < 3:
                arrays[name] = sources[group][:, where]
            elif where > 1:
                arrays[name] = np.array(strs[start:start + where], dtype=str).T.copy()
            else:
                arrays[name] = columns.array(start, strs[start])
        species = self.species
        return (columns.array(species, strs[species]) if species is not None else None), arrays


_read_layouts: Memo[str, ReadLayout] = Memo(256)


def read_layout(properties: str) -> ReadLayout:
    """The (cached) ReadLayout of a Properties string; ValueError for a bad one."""
    layout = _read_layouts.get(properties)
    if layout is None:
        layout = _read_layouts.put(properties, ReadLayout(properties))
    return layout


# ---- writing -------------------------------------------------------------------------

_WRITE_KINDS = {"f": "R", "i": "I", "u": "I", "b": "L", "U": "S"}
# Positions are written as reals whatever their dtype: many readers refuse integer positions.
POSITIONS = ("pos", "positions")  # the names positions go by, the first preferred


class Segment:
    """One write_atoms_rs call: an optional string column first (`text` names it: None for
    the species, (name, column or None) for an array) and the numeric arrays after it."""

    __slots__ = ("text", "width", "floats", "ints", "bools", "codes", "col_types")

    def __init__(self, text: Any, width: int):
        self.text, self.width = text, width
        self.floats: list[tuple[str, bool]] = []  # (name, is one-dimensional)
        self.ints: list[tuple[str, bool]] = []
        self.bools: list[tuple[str, bool]] = []
        self.codes = "s" if text is not False else ""
        self.col_types = b""


class WriteLayout:
    """The Properties string of a set of arrays and the segments that write its lines: one
    segment unless a string column other than a leading one needs lines stitched together."""

    __slots__ = ("properties", "segments")

    def __init__(self, has_symbols: bool, signature: tuple[tuple[str, str, tuple[int, ...]], ...]):
        fields = [f"{SPECIES}:S:1"] if has_symbols else []
        segments = [Segment(None, SYMBOL_WIDTH)] if has_symbols else [Segment(False, 0)]
        for name, kind_letter, extra_shape in signature:
            if type(name) is not str or not _NAME.match(name):
                raise ValueError(f"array name {name!r} is not a word without spaces, ':', '=', quotes or brackets")
            if has_symbols and name == SPECIES:
                raise ValueError("the species are written from `symbols`; `arrays` cannot hold them too")
            kind = _WRITE_KINDS.get(kind_letter)
            if name in POSITIONS and kind in ("I", "L"):
                kind = "R"
            if kind is None:
                raise TypeError(f"array {name!r}: dtype kind {kind_letter!r} is not float, integer, bool or str")
            if len(extra_shape) > 1 or extra_shape == (0,):
                raise ValueError(f"array {name!r}: per-atom values must be of shape (natoms,) or (natoms, k>0)")
            count = extra_shape[0] if extra_shape else 1
            fields.append(f"{name}:{kind}:{count}")
            if kind == "S":
                for column in range(count):
                    source = (name, column if extra_shape else None)
                    last = segments[-1]
                    if last.text is False and not last.codes:
                        segments[-1] = Segment(source, 0)
                    else:
                        segments.append(Segment(source, 0))
                continue
            segment = segments[-1]
            group = segment.floats if kind == "R" else segment.ints if kind == "I" else segment.bools
            group.append((name, not extra_shape))
            segment.codes += _KIND_CODES[kind] * count
        self.properties = "Properties=" + ":".join(fields)
        self.segments = segments
        for segment in segments:
            segment.col_types = segment.codes.encode("ascii")


_write_layouts: Memo[tuple[bool, tuple[Any, ...]], WriteLayout] = Memo(256)


def write_layout(has_symbols: bool, signature: tuple[Any, ...]) -> WriteLayout:
    """The (cached) WriteLayout of a frame with or without symbols and arrays of the given
    (name, dtype kind, shape[1:]) signature."""
    key = (has_symbols, signature)
    layout = _write_layouts.get(key)
    if layout is None:
        layout = _write_layouts.put(key, WriteLayout(has_symbols, signature))
    return layout
