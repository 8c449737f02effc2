# A FrameIndex saved beside its file as a small .npz, and loaded back only while it still
# fits the file: same size and modification time, frames that start where it says.
"""The saved form of atomkit.FrameIndex."""
from __future__ import annotations

import os
import stat
import tempfile
from typing import Any

import numpy as np

from atomkit.base.files import pread
from atomkit.index.file import OPEN_FLAGS, count_end

# What an index holds: offsets, atom counts and line numbers of the count lines, layout
# numbers, and the Properties strings those stand for.
Arrays = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[str | None, ...]]
_SAVED_SUFFIX = ".atomkit-index.npz"
_SAVED_VERSION = 1


def saved_path(path: str | os.PathLike[str]) -> str:
    """Where `FrameIndex.save()` puts the index of the file at `path`."""
    return os.fspath(path) + _SAVED_SUFFIX


def save(path: str, key: tuple[int, int], arrays: Arrays) -> str:
    """Writes the index `arrays` of the file at `path` (of `key`, its size and mtime) beside
    it, with the file's permission bits, and returns where. Offsets and line numbers go in as
    differences, which compress to a few bytes a frame."""
    offsets, natoms, lines, layouts, properties = arrays
    target = saved_path(path)
    mode = stat.S_IMODE(os.stat(path).st_mode) & 0o777
    expected_lines = np.concatenate(([1], lines[:-1] + natoms[:-1] + 2)) if len(natoms) else natoms
    fields = {
        "version": np.int64(_SAVED_VERSION),
        "key": np.array(key, dtype=np.int64),
        "offset_steps": np.diff(offsets, prepend=0),
        "natoms": natoms,
        "blank_lines": lines - expected_lines,
        "layouts": layouts,
        "properties": np.array(["" if p is None else p for p in properties], dtype=str),
        "unreadable": np.array([p is None for p in properties], dtype=bool),
    }
    directory = os.path.dirname(os.path.abspath(target))
    # Written aside and renamed into place: a reader never sees half an index.
    fd, temporary = tempfile.mkstemp(prefix=".atomkit-index-", suffix=".npz", dir=directory)
    try:
        with os.fdopen(fd, "wb") as fileobj:
            os.fchmod(fd, mode)
            np.savez_compressed(fileobj, **fields)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return target


def load(path: str, key: tuple[int, int], fd: int) -> Arrays | None:
    """The index saved for the file at `path` (of `key`, open as `fd`) if it is still valid:
    None when there is none, it is stale, it cannot be read, or its first and last frames'
    count lines no longer say their atom counts."""
    found = _load(saved_path(path), key)
    if found is None or not _heads_fit(fd, found[0], found[1]):
        return None
    return found


def _heads_fit(fd: int, offsets: np.ndarray, natoms: np.ndarray) -> bool:
    """Whether the first and last frames' count lines still say their atom counts: a saved
    index of another file of the same size and time (copied with its time kept) mostly fails."""
    first_and_last = (0, len(offsets) - 1) if len(offsets) else ()
    return all(count_end(pread(fd, offsets.item(k), offsets.item(k) + 64), natoms.item(k)) >= 0
               for k in first_and_last)


def _load(path: str, key: tuple[int, int]) -> Arrays | None:
    """The arrays of the index saved at `path` if it is a regular file made from a file of
    this key; None when there is none, it is stale, or it cannot be read."""
    try:
        fd = os.open(path, OPEN_FLAGS)
    except OSError:
        return None
    with open(fd, "rb") as fileobj:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        try:
            with np.load(fileobj, allow_pickle=False) as saved:
                if int(saved["version"]) != _SAVED_VERSION or tuple(saved["key"].tolist()) != key:
                    return None
                return _checked(saved, key[0])
        except Exception:  # truncated, from another version, not an index at all
            return None


def _checked(saved: Any, size: int) -> Arrays | None:
    """The saved arrays as an index of a file of `size` bytes, or None unless they can be one:
    a hand-made or damaged index must not send reads to the wrong bytes."""
    ints = [saved[name] for name in ("offset_steps", "natoms", "blank_lines", "layouts")]
    texts, unreadable = saved["properties"], saved["unreadable"]
    if not (all(a.dtype.kind in "iu" and a.ndim == 1 and a.shape == ints[0].shape for a in ints)
            and texts.dtype.kind == "U" and unreadable.dtype == bool and texts.ndim == 1
            and texts.shape == unreadable.shape):
        return None
    steps, natoms, blanks, layouts = (a.astype(np.int64) for a in ints)  # (too large: negative, refused)
    if len(natoms) and not (0 <= natoms.min() <= natoms.max() <= size and 0 <= blanks.min() <= blanks.max() <= size
                            and 0 <= layouts.min() <= layouts.max() < len(texts)):
        return None
    offsets = np.cumsum(steps)
    blanks[1:] += natoms[:-1] + 2
    lines = np.cumsum(blanks) + 1
    # (Sums that overflow wrap around and break the order.)
    if len(offsets) and not (offsets[0] >= 0 and offsets[-1] < size and lines[-1] <= size + 1
                             and (np.diff(offsets) > 0).all() and (np.diff(lines) > 0).all()):
        return None
    properties = tuple(None if bad else text for text, bad in zip(texts.tolist(), unreadable.tolist()))
    return offsets, natoms, lines, layouts.astype(np.int32), properties
