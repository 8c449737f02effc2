# Type stub of the _atomkit extension module: the inner loops of an extended XYZ reader
# and writer, and the Reader type with its named results.
from collections.abc import Buffer, Sequence
from typing import Any, Literal, TypedDict, final

import numpy as np
import numpy.typing as npt
from _typeshed import structseq

__all__ = ["write_atoms_rs", "read_atom_lines_rs", "read_atom_block_rs", "parse_comment_rs", "format_floats_rs",
           "write_atoms_bytes_rs", "set_threads", "get_threads", "write_frames_rs", "Reader", "ScanResult", "Run",
           "InfoColumn", "AtomTable", "Layout", "Refusal"]

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

RefusalKind = Literal["count", "no_comment", "ends_inside", "long_line", "comment", "atoms", "changed"]

@final
class Refusal(structseq[Any], tuple[int, RefusalKind, int, int, int, int, str, str | None, bool]):
    """Why a frame was not read."""
    @property
    def frame(self) -> int: ...
    @property
    def kind(self) -> RefusalKind: ...
    @property
    def line(self) -> int: ...
    @property
    def count_line(self) -> int: ...
    @property
    def row(self) -> int: ...
    @property
    def column(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def cause(self) -> str | None: ...
    @property
    def fatal(self) -> bool: ...

@final
class ScanResult(structseq[Any], tuple[int, bool, Refusal | None]):
    """What Reader.scan found so far."""
    @property
    def found(self) -> int: ...
    @property
    def complete(self) -> bool: ...
    @property
    def failure(self) -> Refusal | None: ...

@final
class Layout(structseq[Any], tuple[str, tuple[str, ...], str, tuple[int, ...]]):
    """The columns a Properties value names."""
    @property
    def properties(self) -> str: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def kinds(self) -> str: ...
    @property
    def counts(self) -> tuple[int, ...]: ...

_Coded = tuple[list[str], npt.NDArray[np.int32]]

@final
class InfoColumn(structseq[Any], tuple[str, npt.NDArray[np.bool_], Any, Any]):
    """One info key over the frames of a Run."""
    @property
    def key(self) -> str: ...
    @property
    def present(self) -> npt.NDArray[np.bool_]: ...
    @property
    def values(self) -> npt.NDArray[np.float64] | npt.NDArray[np.int64] | npt.NDArray[np.bool_] | _Coded | None: ...
    @property
    def integers(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.bool_]] | None: ...

@final
class AtomTable(structseq[Any], tuple[int, Any, Any, Any, tuple[_Coded, ...]]):
    """The atom columns of one layout's frames in a Run."""
    @property
    def layout(self) -> int: ...
    @property
    def floats(self) -> npt.NDArray[np.float64]: ...
    @property
    def ints(self) -> npt.NDArray[np.int64]: ...
    @property
    def bools(self) -> npt.NDArray[np.bool_]: ...
    @property
    def strs(self) -> tuple[_Coded, ...]: ...

@final
class Run(structseq[Any], tuple[Any, ...]):
    """The frames Reader.read read, as columns."""
    @property
    def frames(self) -> npt.NDArray[np.int64]: ...
    @property
    def natoms(self) -> npt.NDArray[np.int64]: ...
    @property
    def lines(self) -> npt.NDArray[np.int64]: ...
    @property
    def layout(self) -> npt.NDArray[np.int32]: ...
    @property
    def lattice(self) -> npt.NDArray[np.float64]: ...
    @property
    def has_lattice(self) -> npt.NDArray[np.bool_]: ...
    @property
    def pbc(self) -> npt.NDArray[np.bool_]: ...
    @property
    def has_pbc(self) -> npt.NDArray[np.bool_]: ...
    @property
    def has_properties(self) -> npt.NDArray[np.bool_]: ...
    @property
    def info(self) -> tuple[InfoColumn, ...]: ...
    @property
    def key_sets(self) -> tuple[tuple[int, ...], ...]: ...
    @property
    def key_set(self) -> npt.NDArray[np.int32]: ...
    @property
    def loose(self) -> list[tuple[int, int, Any]]: ...
    @property
    def atoms(self) -> tuple[AtomTable, ...]: ...
    @property
    def refusals(self) -> tuple[Refusal, ...]: ...

@final
class Reader:
    """The frames of an extended XYZ source, found and read on the module's threads."""
    def __new__(
        cls,
        source: int | Buffer | None,
        *,
        name: str = "",
        threads: int = 0,
        line_limit: int = 268435456,
        rows: npt.NDArray[np.int64] | None = None,
        properties: Sequence[str | None] | None = None,
        identity: tuple[int, int] | None = None,
    ) -> Reader: ...
    def feed(self, data: Buffer) -> None:
        """Adds bytes to a reader over a stream (copied in)."""
    def finish(self) -> None:
        """Tells a reader over a stream that no more bytes come."""
    def scan(self, limit: int = -1) -> ScanResult:
        """Finds frames until more than `limit` are found in all (-1: to the end) or a stream's bytes run out."""
    def read(self, frames: npt.NDArray[np.int64], keep_going: bool = False, threads: int = 0) -> Run:
        """Reads the frames numbered in `frames` (int64, ascending, among those held) into a Run."""
    def release(self, frame: int) -> None:
        """Forgets the frames before `frame` (their rows, and a stream's bytes)."""
    @property
    def rows(self) -> npt.NDArray[np.int64]: ...
    @property
    def first_held(self) -> int: ...
    @property
    def properties(self) -> tuple[str | None, ...]: ...
    @property
    def layouts(self) -> tuple[Layout | None, ...]: ...
