# Writing frames as extended XYZ (all or chosen columns and info) and plain XYZ: per frame its
# count and comment lines and its atom lines as UTF-8 bytes, several frames per write call; what
# repeats between frames is formatted once.
"""Frames to text, for atomkit.write."""
from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from atomkit.base.files import Output
from atomkit.base.frame import Frame
from atomkit.base.memo import Memo
from atomkit.base.text import SPECIES, WHITESPACE
from atomkit.comment.write import item_text, lattice_text, pbc_text
from atomkit.writing import block as _block
from atomkit.writing.layouts import POSITIONS, SYMBOL_WIDTH, Segment, write_layout

# Text gathered before one write call: enough that the call costs nothing per frame, little
# enough that its buffers are reused from the heap rather than mapped afresh each time.
_FLUSH = 1 << 16
# Token columns already checked (by width and code points): a trajectory's species are
# checked once.
_checked: Memo[tuple[int, bytes], bool] = Memo(64)
# What a written token may not hold: whitespace as bytes.split() has it (readers that split
# atom lines that way split at a vertical tab too).
_WHITESPACE_CODES = np.array(sorted(map(ord, WHITESPACE)), np.uint32)
_NO_CODES = np.empty((0, 0), np.uint32)
# A plain XYZ atom line in the module's column codes: the species, then three reals.
_PLAIN_COL_TYPES = b"sfff"


class _Written:
    """What one write call keeps from frame to frame: the last str column written (the
    array, its bytes, its code-point matrix) and the last Lattice (its bytes, its text)."""

    __slots__ = ("codes", "lattice")

    def __init__(self) -> None:
        self.codes: tuple[Any, bytes, np.ndarray] = (None, b"", _NO_CODES)
        self.lattice: tuple[bytes, str] = (b"", "")


def _check_tokens(codes: np.ndarray, what: str) -> None:
    """ValueError unless every row of `codes` reads back as one atom-line token."""
    if len(codes) and (not codes.shape[1] or (codes[:, 0] == 0).any()):
        raise ValueError(f"{what}: an empty string cannot be written as an atom-line token")
    # Only code points from 1 up to the highest whitespace are looked up (0 pads a shorter
    # string, and the others are few).
    low = codes[codes - np.uint32(1) < _WHITESPACE_CODES[-1]]
    if len(low) and np.isin(low, _WHITESPACE_CODES).any():
        raise ValueError(f"{what}: a string with whitespace cannot be written as an atom-line token")


def _codepoints(values: Any, what: str, written: _Written) -> np.ndarray:
    """A str column as the (natoms, width) code-point matrix the module takes, after making
    sure every value reads back as one token."""
    last = written.codes
    if values is last[0] and values.shape == last[2].shape[:1] and values.tobytes() == last[1]:
        return last[2]  # the species of a trajectory, passed again unchanged
    if type(values) is not np.ndarray or values.dtype.kind != "U":
        values = np.asarray(values, dtype=str)
    if values.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, not of shape {values.shape}")
    if not values.flags.c_contiguous:
        values = np.ascontiguousarray(values)
    codes = values.view(np.uint32).reshape(len(values), values.dtype.itemsize // 4)
    key = (codes.shape[1], codes.tobytes())
    if _checked.get(key) is None:
        _check_tokens(codes, what)
        _checked.put(key, True)
    written.codes = (values, key[1], codes)
    return codes


def _stack(arrays: dict[str, np.ndarray], names: list[tuple[str, bool]], dtype: Any, natoms: int) -> np.ndarray:
    """The named arrays side by side as one (natoms, k) matrix of `dtype`."""
    if not names:
        return np.empty((natoms, 0), dtype)
    if len(names) == 1:
        name, flat = names[0]
        matrix = arrays[name].reshape(natoms, 1) if flat else arrays[name]
        return matrix if matrix.dtype == dtype else matrix.astype(dtype)
    columns = [arrays[name].reshape(natoms, 1) if flat else arrays[name] for name, flat in names]
    joined = _side_by_side(columns, dtype) if natoms >= _SIDE_BY_SIDE_ATOMS else None
    return joined if joined is not None else np.concatenate(columns, axis=1, dtype=dtype)


# Atoms from which looking for columns side by side (a few microseconds) costs less than
# copying them would.
_SIDE_BY_SIDE_ATOMS = 1024


def _side_by_side(columns: list[np.ndarray], dtype: Any) -> np.ndarray | None:
    """The columns as one view when they lie side by side in one matrix already, as the
    columns of a table read from a file do (no copy then), else None."""
    first = columns[0]
    base = first.base
    if base is None or first.ndim != 2 or first.strides[1] != first.itemsize:
        return None
    row, item = first.strides
    if any(column.base is not base or column.dtype != dtype or column.strides != (row, item) for column in columns):
        return None
    address = first.__array_interface__["data"][0]
    for column in columns:
        if column.__array_interface__["data"][0] != address:
            return None
        address += column.shape[1] * item
    width = sum(column.shape[1] for column in columns)
    return np.lib.stride_tricks.as_strided(first, (len(first), width), (row, item), writeable=False)


def _segment_block(segment: Segment, symbols: Any, arrays: dict[str, np.ndarray], natoms: int,
                   written: _Written) -> bytes:
    text = segment.text
    if text is None:
        codes = _codepoints(symbols, "symbols", written)
    elif text is False:
        codes = np.empty((natoms, 0), np.uint32)
    else:
        name, column = text
        codes = _codepoints(arrays[name] if column is None else arrays[name][:, column], f"array {name!r}", written)
    bools = _stack(arrays, segment.bools, np.bool_, natoms).view(np.uint8)
    return _block.write_block(codes, segment.width, _stack(arrays, segment.floats, np.float64, natoms),
                              _stack(arrays, segment.ints, np.int64, natoms), bools, segment.col_types)


def _lattice_text(lattice: Any, written: _Written) -> str:
    if type(lattice) is not np.ndarray or lattice.dtype != np.float64:
        lattice = np.asarray(lattice, dtype=np.float64)
    if lattice.shape != (3, 3):
        raise ValueError(f"lattice must be of shape (3, 3), not {lattice.shape}")
    key = lattice.tobytes()
    last = written.lattice
    if last[0] == key:
        return last[1]
    text = lattice_text(lattice)
    written.lattice = (key, text)
    return text


def frame_parts(frame: Frame, written: _Written | None = None) -> tuple[str, bytes]:
    """One frame as text: (count and comment lines, atom lines as UTF-8). `written` is what
    the write call has kept from the frames before, if it has written any."""
    if written is None:
        written = _Written()
    symbols = frame.symbols
    arrays = frame.arrays
    natoms = None if symbols is None else len(symbols)
    signature = []
    converted = None
    for name, values in arrays.items():
        if type(values) is not np.ndarray:
            values = np.asarray(values)
            if converted is None:
                converted = dict(arrays)
            converted[name] = values
        shape = values.shape
        if natoms is None and shape:
            natoms = shape[0]
        if shape[:1] != (natoms,):
            raise ValueError(f"array {name!r} has shape {shape}, not ({natoms},) or ({natoms}, k)")
        signature.append((name, values.dtype.kind, shape[1:]))
    if converted is not None:
        arrays = converted
    if natoms is None:
        natoms = 0
    layout = write_layout(symbols is not None, tuple(signature))
    segments = layout.segments
    if len(segments) == 1:
        block = _segment_block(segments[0], symbols, arrays, natoms, written)
    else:
        # Only the first string column can be the module's symbol column: the others are
        # written as blocks of their own and the lines stitched together.
        columns = [_segment_block(segment, symbols, arrays, natoms, written).split(b"\n") for segment in segments]
        block = b"\n".join(map(b" ".join, zip(*columns)))[:-len(segments) + 1] if natoms else b""
    lattice = frame.lattice
    parts = [_lattice_text(lattice, written), layout.properties] if lattice is not None else [layout.properties]
    parts.append(pbc_text(frame.pbc))
    for key, value in frame.info.items():
        parts.append(item_text(key, value))
    return f"{natoms}\n{' '.join(parts)}\n", block


def _names(value: Any, what: str, expected: str) -> tuple[str, ...]:
    """The distinct str names of a sequence, in its order."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be {expected}, not {type(value).__name__}")
    names = tuple(value)
    seen: set[str] = set()
    for name in names:
        if type(name) is not str:
            raise TypeError(f"{what}: {name!r} is not a str")
        if name in seen:
            raise ValueError(f"{what} names {name!r} twice")
        seen.add(name)
    return names


def _listed(names: Iterable[Any]) -> str:
    return ", ".join(map(str, names)) or "none"


class _Selection:
    """Formats each frame cut down to the columns and info keys asked for (None: all of
    them), counting the frames to name the one that lacks a name."""

    __slots__ = ("columns", "keys", "number")

    def __init__(self, columns: tuple[str, ...] | None, keys: tuple[str, ...] | None):
        self.columns, self.keys, self.number = columns, keys, 0

    def __call__(self, frame: Frame, written: _Written) -> tuple[str, bytes]:
        number = self.number
        self.number += 1
        symbols, arrays, info = frame.symbols, frame.arrays, frame.info
        if self.columns is not None:
            # The layout puts species first wherever they are listed.
            kept_symbols, picked = None, {}
            for name in self.columns:
                if name == SPECIES and symbols is not None:
                    kept_symbols = symbols
                elif name in arrays:
                    picked[name] = arrays[name]
                else:
                    have = ([SPECIES] if symbols is not None else []) + list(arrays)
                    raise ValueError(f"frame {number} has no column {name!r} (it has {_listed(have)})")
            symbols, arrays = kept_symbols, picked
        if self.keys is not None:
            chosen = {}
            for key in self.keys:
                if key not in info:
                    raise ValueError(f"frame {number} has no info key {key!r} (it has {_listed(info)})")
                chosen[key] = info[key]
            info = chosen
        return frame_parts(Frame(symbols, arrays, frame.lattice, frame.pbc, info), written)


class _Plain:
    """Formats each frame as plain XYZ: the count, the comment, species and positions."""

    __slots__ = ("number",)

    def __init__(self) -> None:
        self.number = 0

    def __call__(self, frame: Frame, written: _Written) -> tuple[str, bytes]:
        number = self.number
        self.number += 1
        symbols = frame.symbols
        if symbols is None:
            raise ValueError(f"frame {number} has no species, which plain XYZ needs")
        natoms = len(symbols)
        positions = next((frame.arrays[name] for name in POSITIONS if name in frame.arrays), None)
        if positions is None:
            raise ValueError(f"frame {number} has no positions ('pos' or 'positions'), which plain XYZ needs")
        positions = np.asarray(positions)
        if positions.shape != (natoms, 3) or positions.dtype.kind not in "fiub":
            raise ValueError(f"frame {number}: positions of shape {positions.shape} and dtype {positions.dtype} "
                             f"cannot be written as plain XYZ, which needs ({natoms}, 3) numbers")
        comment = frame.info.get("comment", "")
        comment = comment if type(comment) is str else str(comment)
        if "\n" in comment or "\r" in comment:
            raise ValueError(f"frame {number}: a comment with a line break cannot be a plain XYZ comment line")
        block = _block.write_block(_codepoints(symbols, "symbols", written), SYMBOL_WIDTH,
                                   positions.astype(np.float64, copy=False), np.empty((natoms, 0), np.int64),
                                   np.empty((natoms, 0), np.uint8), _PLAIN_COL_TYPES)
        return f"{natoms}\n{comment}\n", block


def _formatter(columns: Any, info: Any, plain: bool) -> Callable[[Frame, _Written], tuple[str, bytes]]:
    """What turns each frame into text under the options of a write call; TypeError or
    ValueError for options that cannot be met by any frame."""
    if plain:
        if columns is not None or info is not True:
            raise TypeError("plain=True writes species and positions only: it does not combine with columns or info")
        return _Plain()
    if columns is None and info is True:
        return frame_parts
    names = None if columns is None else _names(columns, "columns", "None or a sequence of column names")
    if names == ():
        raise ValueError("columns names no column: a frame needs at least one")
    keys = None if info is True else () if info is False else _names(info, "info", "True, False or a sequence of keys")
    return _Selection(names, keys)


def _write_frames(out: Output, frames: Iterable[Frame],
                  parts: Callable[[Frame, _Written], tuple[str, bytes]]) -> None:
    # The text goes out as UTF-8 bytes: the atom lines come from the module as bytes, and only
    # the short count and comment lines are encoded here. Small frames are gathered and
    # written together; a large block goes out alone, without being copied first.
    pieces: list[bytes] = []
    size = 0
    written = _Written()
    write = out.write_bytes
    try:
        for frame in frames:
            header, block = parts(frame, written)
            if len(block) >= _FLUSH:
                pieces.append(header.encode())
                write(b"".join(pieces))
                pieces.clear()
                size = 0
                write(block)
                continue
            pieces.append(header.encode())
            pieces.append(block)
            size += len(block)
            if size >= _FLUSH:
                chunk = b"".join(pieces)
                pieces.clear()
                size = 0
                write(chunk)
    except BaseException:
        # A file object keeps the whole frames before the failure, as if written one by one;
        # a path is left as it was, so nothing more goes to it.
        if pieces and not out.owned:
            write(b"".join(pieces))
        raise
    if pieces:
        write(b"".join(pieces))
