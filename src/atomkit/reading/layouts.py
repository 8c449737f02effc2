# The Properties string of a frame read: the columns of its atom lines, parsed once per
# distinct string into a read layout (the module's column codes, the named arrays they make).
"""Column layouts for reading atom lines.

`read_layout(properties)` -> ReadLayout (cached per string): the module's column codes and
how to cut its result into named arrays (with the StrColumns of the walk that reads them).
"""
from __future__ import annotations

import re
from typing import Any

import numpy as np

from atomkit.base.memo import Memo
from atomkit.base.text import COLUMN_NAME, KIND_CODES, SPECIES

PLAIN_XYZ = "species:S:1:pos:R:3"
_GROUPS = {"R": 0, "I": 1, "L": 2, "S": 3}
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
            if not COLUMN_NAME.match(name) or name in seen:
                raise ValueError(f"Properties {properties!r}: bad or repeated name {name!r}")
            if kind not in KIND_CODES:
                raise ValueError(f"Properties {properties!r}: {name} has kind {kind!r}, not one of S, R, I, L")
            if not _COUNT.match(count_text):
                raise ValueError(f"Properties {properties!r}: {name} has count {count_text!r}")
            seen.add(name)
            count, group = int(count_text), _GROUPS[kind]
            start = cursor[group]
            cursor[group] += count
            codes.append(KIND_CODES[kind] * count)
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
