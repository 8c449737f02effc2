# The Properties string of a frame written: built once per distinct set of arrays into a
# write layout (the string, and the module calls that write the atom lines).
"""Column layouts for writing atom lines.

`write_layout(has_symbols, signature)` -> WriteLayout (cached per signature): the Properties
string and the calls that write it.
"""
from __future__ import annotations

from typing import Any

from atomkit.base.memo import Memo
from atomkit.base.text import COLUMN_NAME, KIND_CODES, SPECIES

# `%-2s`, as extxyz writers have always written species; longer symbols are never cut.
SYMBOL_WIDTH = 2

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
            if type(name) is not str or not COLUMN_NAME.match(name):
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
            segment.codes += KIND_CODES[kind] * count
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
