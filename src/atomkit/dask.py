# Reading extended XYZ files on Dask: the frames of many files as one bag, each partition a
# range of frames of one file's FrameIndex, read by whichever worker gets it.
"""atomkit.dask.read_frames and read_tables (need the `dask` extra: pip install atomkit[dask]).

    import atomkit.dask

    bag = atomkit.dask.read_frames("data/*.xyz", frames_per_partition=500)
    energies = bag.map(lambda frame: frame.info["energy"]).compute()
    tables = atomkit.dask.read_tables("data/*.xyz", frames_per_partition=10000)
"""
from __future__ import annotations

import glob
import os
from collections.abc import Iterable
from typing import Any

from atomkit.base.frame import Frame
from atomkit.index.index import FrameIndex
from atomkit.table.table import FrameTable


def _paths(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The files named, in the order given; a pattern stands for its matches in sorted order."""
    items = [paths_or_glob] if isinstance(paths_or_glob, (str, os.PathLike)) else list(paths_or_glob)
    paths: list[str] = []
    for item in items:
        path = os.fspath(item)
        if glob.has_magic(path):
            matches = sorted(glob.glob(path))
            if not matches:
                raise FileNotFoundError(f"no file matches {path!r}")
            paths.extend(matches)
        else:
            paths.append(path)
    return paths


def _read_all(part: FrameIndex) -> list[Frame]:
    """The frames of one partition: what a worker runs."""
    try:
        return list(part)
    finally:
        part.close()


def read_frames(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                frames_per_partition: int = 1000) -> Any:
    """The frames of every file, in order, as a dask.bag.Bag.

    paths_or_glob: a path, a glob pattern ("data/*.xyz": its matches in sorted order), or a
        list of either. Files must be plain (uncompressed) extended XYZ.
    frames_per_partition: frames in each partition at most; a partition never spans two files.

    Each file's FrameIndex (the saved one where it is still valid, see FrameIndex.save) is
    built on the workers first, as one task a file, so this call computes that much; the
    partitions then carry only the offsets of their own frames, and a worker reads nothing
    of a file but its partition's frames.
    """
    return _bag(paths_or_glob, frames_per_partition, _read_all)


def _read_table(part: FrameIndex) -> list[FrameTable]:
    """The one table of a partition, as the partition's only item."""
    try:
        return [part.table()]
    finally:
        part.close()


def read_tables(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                frames_per_partition: int = 10000) -> Any:
    """The frames of every file as a dask.bag.Bag of FrameTables, one a partition (a range of
    at most `frames_per_partition` frames of one file), in order. Files and indexes as for
    read_frames."""
    return _bag(paths_or_glob, frames_per_partition, _read_table)


def _bag(paths_or_glob: Any, frames_per_partition: int, read_part: Any) -> Any:
    import dask
    import dask.bag

    if frames_per_partition < 1:
        raise ValueError(f"frames_per_partition must be at least 1, not {frames_per_partition}")
    paths = _paths(paths_or_glob)
    indexes = dask.compute(*[dask.delayed(FrameIndex, pure=False)(path) for path in paths])
    parts = []
    for index in indexes:
        for start in range(0, len(index), frames_per_partition):
            parts.append(dask.delayed(read_part, pure=True)(index.subset(start, start + frames_per_partition)))
    if not parts:
        return dask.bag.from_sequence([], npartitions=1)
    return dask.bag.from_delayed(parts)
