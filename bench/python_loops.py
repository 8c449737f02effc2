# The plain Python loops that the module's atom-block functions replace, with the same
# signatures and results: the baseline of benchmarks and a second opinion in tests.
"""Atom lines formatted and parsed one Python iteration per atom.

`write_atoms_loop` does `fmt % row` per atom; `read_atom_lines_loop` does `split()` and
`float()`/`int()` per token. `python_loops()` makes the package write atom lines, and the
tests' frame-by-frame walker (tests/reference_walker.py: the tests' folder must be on
sys.path) read them, with these loops, and counts the calls of each (`LoopCalls`).
"""
from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

import reference_walker
from atomkit.base.text import BOOL_WORDS
from atomkit.writing import block as write_block

_BOOLS = {word: int(value) for word, value in BOOL_WORDS.items()}


def write_atoms_loop(sym_codepoints: np.ndarray, sym_width: int, float_mat: np.ndarray,
                     int_mat: np.ndarray, bool_mat: np.ndarray, col_types: bytes) -> str:
    """write_atoms_rs as a Python loop: one `fmt % row` per atom."""
    natoms, width = sym_codepoints.shape
    symbols = (np.ascontiguousarray(sym_codepoints).view(f"U{width}")[:, 0].tolist()
               if width else [""] * natoms)
    fields, columns, cursor = [], [], {"f": 0, "i": 0, "b": 0}
    matrices = {"f": float_mat, "i": int_mat, "b": bool_mat.astype(np.bool_)}
    formats = {"f": " %16.8f", "i": " %8d", "b": "  %.1s"}  # "%.1s" % True == "T"
    for code in bytes(col_types).decode("latin-1"):
        if code == "s":
            fields.append(f"%-{sym_width}s")
            columns.append(symbols)
        elif code in formats:
            fields.append(formats[code])
            columns.append(matrices[code][:natoms, cursor[code]].tolist())
            cursor[code] += 1
    fmt = "".join(fields) + "\n"
    rows = zip(*columns) if columns else [()] * natoms
    return "".join([fmt % row for row in rows])


def write_atoms_bytes_loop(sym_codepoints: np.ndarray, sym_width: int, float_mat: np.ndarray,
                           int_mat: np.ndarray, bool_mat: np.ndarray, col_types: bytes) -> bytes:
    """write_atoms_bytes_rs as a Python loop: the loop's text, encoded."""
    return write_atoms_loop(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types).encode()


def _bool(token: str) -> int:
    try:
        return _BOOLS[token]
    except KeyError:
        raise ValueError(f'cannot parse "{token}" as bool') from None


def read_atom_lines_loop(lines: list[str], col_types: bytes) -> dict[str, Any]:
    """read_atom_lines_rs as a Python loop: split() and float()/int() per token. Like the
    module it ignores tokens past the last column."""
    codes = bytes(col_types).decode("latin-1")
    where = {c: [k for k, code in enumerate(codes) if code == c] for c in "sfib"}
    natoms = len(lines)
    floats = np.empty((natoms, len(where["f"])), dtype=np.float64)
    ints = np.empty((natoms, len(where["i"])), dtype=np.int64)
    bools = np.empty((natoms, len(where["b"])), dtype=np.uint8)
    strs: list[list[str]] = [[""] * natoms for _ in where["s"]]
    for row, line in enumerate(lines):
        tokens = line.split()
        try:
            if len(tokens) < len(codes):
                raise ValueError(f"expected {len(codes)} tokens, ran out")
            floats[row] = [float(tokens[k]) for k in where["f"]]
            ints[row] = [int(tokens[k]) for k in where["i"]]
            bools[row] = [_bool(tokens[k]) for k in where["b"]]
        except ValueError as error:
            raise ValueError(f"row {row}: {error}") from None
        for column, k in zip(strs, where["s"]):
            column[row] = tokens[k]
    return {"floats": floats, "ints": ints, "bools": bools, "strs": strs}


@dataclass
class LoopCalls:
    """How many times, within one python_loops() block, the package called the writer loop
    (`writes`) and the walker called the reader loop (`reads`): a baseline that reports a
    count of 0 timed something else than the loops."""
    writes: int = 0
    reads: int = 0


@contextlib.contextmanager
def python_loops() -> Iterator[LoopCalls]:
    """Within the block, the package writes atom lines, and the reference walker reads them,
    with the loops above instead of the module; yields their call counts. It patches
    atomkit.writing.block and the walker for the whole process: for benchmarks and tests,
    never while other threads read or write."""
    calls = LoopCalls()

    def write(*args: Any) -> bytes:
        calls.writes += 1
        return write_atoms_bytes_loop(*args)

    def read(lines: list[str], col_types: bytes) -> dict[str, Any]:
        calls.reads += 1
        return read_atom_lines_loop(lines, col_types)

    saved = reference_walker.read_atom_lines, write_block.write_block
    reference_walker.read_atom_lines, write_block.write_block = read, write
    try:
        yield calls
    finally:
        reference_walker.read_atom_lines, write_block.write_block = saved
