# The Frame: one structure of an extended XYZ file as the package reads and writes it.
"""The Frame dataclass."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np


@dataclass(slots=True, eq=False)
class Frame:
    """One frame of an extended XYZ file.

    symbols: the species column as a NumPy str array of shape (natoms,), or None when the
        file has no species column.
    arrays: the other per-atom columns by name, in file order: float64, int64, bool or str
        arrays of shape (natoms,) or (natoms, k). Columns read from one frame may be views
        of one shared matrix per type.
    lattice: the cell as a (3, 3) float64 array, one cell vector per row, or None.
    pbc: periodicity along the three cell vectors.
    info: the other comment-line values, in file order: bool, int, float, str or NumPy
        arrays (a 9-value `stress` or `virial` as 3x3); a plain comment line is `comment`.
    """

    symbols: np.ndarray | None = None
    arrays: dict[str, np.ndarray] = field(default_factory=dict)
    lattice: np.ndarray | None = None
    pbc: tuple[bool, bool, bool] = (False, False, False)
    info: dict[str, Any] = field(default_factory=dict)

    @property
    def natoms(self) -> int:
        """The number of atoms: the length of `symbols` or of any array."""
        if self.symbols is not None:
            return len(self.symbols)
        for values in self.arrays.values():
            return len(values)
        return 0
