# Type stub of the _atomkit extension module: the inner loops of an extended XYZ reader
# and writer.
from collections.abc import Buffer, Sequence
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = ["write_atoms_rs", "read_atom_lines_rs", "read_atom_block_rs", "parse_comment_rs", "format_floats_rs",
           "write_atoms_bytes_rs", "set_threads", "get_threads"]

class _AtomColumns(TypedDict):
    floats: npt.NDArray[np.float64]
    ints: npt.NDArray[np.int64]
    bools: npt.NDArray[np.uint8]
    strs: list[list[str]]

def write_atoms_rs(
    sym_codepoints: npt.NDArray[np.uint32],
    sym_width: int,
    float_mat: npt.NDArray[np.float64],
    int_mat: npt.NDArray[np.int64],
    bool_mat: npt.NDArray[np.uint8],
    col_types: bytes | bytearray | Sequence[int],
) -> str:
    """Build the complete extxyz atom block (all `natoms` lines) as a Python str."""

def read_atom_lines_rs(
    lines: Sequence[str],
    col_types: bytes | bytearray | Sequence[int],
) -> _AtomColumns:
    """Parse `natoms` atom lines into float, int, bool and string columns."""

def read_atom_block_rs(
    data: Buffer,
    offset: int,
    natoms: int,
    col_types: bytes | bytearray | Sequence[int],
) -> tuple[_AtomColumns, int]:
    """Parse `natoms` atom lines straight from bytes, returning `(columns, end)`."""

def parse_comment_rs(
    line: str,
) -> tuple[
    str | None,
    npt.NDArray[np.float64] | None,
    tuple[bool, bool, bool] | None,
    dict[str, Any],
    None,
] | None:
    """Parse an extxyz comment line into `(properties, lattice, pbc, info, deferred)`; `deferred` is always None."""

def format_floats_rs(values: npt.NDArray[np.float64], separator: str) -> str:
    """Write every float of a 2-D float64 array as `repr()` does, row by row, joined by `separator`."""

def write_atoms_bytes_rs(
    sym_codepoints: npt.NDArray[np.uint32],
    sym_width: int,
    float_mat: npt.NDArray[np.float64],
    int_mat: npt.NDArray[np.int64],
    bool_mat: npt.NDArray[np.uint8],
    col_types: bytes | bytearray | Sequence[int],
) -> bytes:
    """Build the same atom block as `write_atoms_rs`, as UTF-8 bytes."""

def set_threads(n: int) -> None:
    """Use up to `n` threads (the calling thread included) for one large frame."""

def get_threads() -> int:
    """The number of threads one large frame may use (see `set_threads`)."""

def write_frames_rs(
    block: bytes,
    frames: npt.NDArray[np.int64],
    items: list[tuple[Any, ...]],
) -> bytes:
    """Write a batch of frames whole (count, comment and atom lines) as UTF-8 bytes."""
