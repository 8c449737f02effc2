# Writing extended XYZ files: one str per frame (count line, comment line, atom block from
# _block), several frames per write call; what repeats between frames is formatted once.
"""atomkit.write."""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from atomkit import _block
from atomkit._comment_write import item_text, lattice_text, pbc_text
from atomkit._frame import Frame
from atomkit._io import Output
from atomkit._memo import Memo
from atomkit._properties import Segment, write_layout
from atomkit._text import WHITESPACE

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
    return np.concatenate([arrays[name].reshape(natoms, 1) if flat else arrays[name] for name, flat in names],
                          axis=1, dtype=dtype)


def _segment_block(segment: Segment, symbols: Any, arrays: dict[str, np.ndarray], natoms: int,
                   written: _Written) -> str:
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


def frame_parts(frame: Frame, written: _Written | None = None) -> tuple[str, str]:
    """One frame as text: (count and comment lines, atom lines). `written` is what the write
    call has kept from the frames before, if it has written any."""
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
        columns = [_segment_block(segment, symbols, arrays, natoms, written).split("\n") for segment in segments]
        block = "\n".join(map(" ".join, zip(*columns)))[:-len(segments) + 1] if natoms else ""
    lattice = frame.lattice
    parts = [_lattice_text(lattice, written), layout.properties] if lattice is not None else [layout.properties]
    parts.append(pbc_text(frame.pbc))
    for key, value in frame.info.items():
        parts.append(item_text(key, value))
    return f"{natoms}\n{' '.join(parts)}\n", block


def write(dest: Any, frames: Frame | Iterable[Frame], append: bool = False) -> None:
    """Writes frames to an extended XYZ file.

    dest: a path (str or os.PathLike; `.gz`, `.bz2` and `.xz` are compressed by suffix),
        or a binary or text file object (written from its current position).
    frames: a Frame or an iterable of them (consumed as it is written).
    append: add to the end of an existing file at `dest` instead of replacing it.

    A path is written whole or not at all: the frames go to a temporary file beside it,
    which replaces it (keeping its permission bits; a symlink is written through) once every
    frame is written and synced to disk. If a frame cannot be written, or the frames'
    iterable raises, the file at `dest` is left as it was (with `append`, cut back to its old
    length), so a file can be rewritten from frames read out of itself.

    Atom lines are written `%-2s` (species first), `%16.8f`, `%8d` and `T`/`F`; the comment
    line holds Lattice, Properties, pbc, then `info` in its order. Reading the file gives
    equal values (floats in atom lines to 8 decimals), except where the format cannot tell:
    a (natoms, 1) array comes back as (natoms,); a str info value that reads as a number,
    bool or list of them comes back as that (except under the key `comment`); a 9-value
    `stress` or `virial` comes back as 3x3; a str array named `species` comes back as the
    symbols.
    """
    if isinstance(frames, Frame):
        frames = (frames,)
    with Output(dest, append) as out:
        # Small frames are gathered and written together; a large block goes out alone,
        # without being copied into a bigger string first.
        pieces: list[str] = []
        size = 0
        written = _Written()
        try:
            for frame in frames:
                header, block = frame_parts(frame, written)
                if len(block) >= _FLUSH:
                    pieces.append(header)
                    out.write("".join(pieces))
                    pieces.clear()
                    size = 0
                    out.write(block)
                    continue
                pieces.append(header)
                pieces.append(block)
                size += len(block)
                if size >= _FLUSH:
                    chunk = "".join(pieces)
                    pieces.clear()
                    size = 0
                    out.write(chunk)
        except BaseException:
            # A file object keeps the whole frames before the failure, as if written one by
            # one; a path is left as it was, so nothing more goes to it.
            if pieces and not out.owned:
                out.write("".join(pieces))
            raise
        if pieces:
            out.write("".join(pieces))
