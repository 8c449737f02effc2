# The public writing function: frames (or a whole FrameTable, a batch of frames at a time) to
# an extended XYZ or plain XYZ file, a path written whole or not at all.
"""atomkit.write."""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from atomkit.base.files import Output
from atomkit.base.frame import Frame
from atomkit.table.table import FrameTable
from atomkit.writing.table_write import write_table
from atomkit.writing.writer import _formatter, _write_frames, frame_parts


def write(dest: Any, frames: Frame | Iterable[Frame], append: bool = False, *, columns: Any = None,
          info: Any = True, plain: bool = False) -> None:
    """Writes frames to an extended XYZ file, or a plain XYZ one.

    dest: a path (str or os.PathLike; `.gz`, `.bz2` and `.xz` are compressed by suffix),
        or a binary or text file object (written from its current position).
    frames: a Frame or an iterable of them (consumed as it is written).
    append: add to the end of an existing file at `dest` instead of replacing it.
    columns: None (every array) or a sequence of names: the per-atom columns written, in
        that order, with "species" naming the symbols. The species are always written
        first, wherever the sequence names them, as readers expect; a sequence without
        "species" leaves them out.
    info: True (all of `info`), False (none: the comment line holds Lattice, Properties and
        pbc only) or a sequence of keys, written in that order.
    plain: write plain XYZ: the count line, a comment line holding `info["comment"]` (as
        str(); empty if there is none), then per atom the species and the three positions
        (`pos`, else `positions`), nothing else. It does not combine with `columns` or
        `info` (TypeError).

    A name in `columns` or `info` that a frame lacks, or one named twice, is a ValueError;
    so is a frame that plain XYZ cannot hold (no species, no (natoms, 3) positions, a
    comment with a line break). The message numbers the frame from 0 among those written.

    A path is written whole or not at all: the frames go to a temporary file beside it,
    which replaces it (keeping its permission bits; a symlink is written through) once every
    frame is written and synced to disk. If a frame cannot be written, or the frames'
    iterable raises, the file at `dest` is left as it was (with `append`, cut back to its old
    length), so a file can be rewritten from frames read out of itself.

    Atom lines are written `%-2s` (species first), `%16.8f`, `%8d` and `T`/`F`; positions
    (`pos`, `positions`) are written as reals even when their dtype is integer or bool. The
    comment line holds Lattice, Properties, pbc, then `info` in its order. Reading the file
    gives equal values (floats in atom lines to 8 decimals), except where the format cannot
    tell: a (natoms, 1) array comes back as (natoms,); a str info value that reads as a
    number, bool or list of them comes back as that (except under the key `comment`); a
    9-value `stress` or `virial` comes back as 3x3; a str array named `species` comes back
    as the symbols; a plain XYZ comment comes back stripped, as `comment`, unless it holds
    `=` (it is then read as key=value items).
    """
    parts = _formatter(columns, info, plain)
    if isinstance(frames, Frame):
        frames = (frames,)
    with Output(dest, append) as out:
        if isinstance(frames, FrameTable) and parts is frame_parts:  # all of it: a batch at a time
            write_table(out, frames)
        else:
            _write_frames(out, frames, parts)
