# FrameIndex: where every frame of a plain extended XYZ file starts, found by the module's reader
# in one pass (or loaded from the index saved beside the file), so that any frame is read by
# itself through that reader, which checks the file against the index as it reads.
"""atomkit.FrameIndex."""
from __future__ import annotations

import operator
import os
from typing import Any, Iterator

import numpy as np

import _atomkit
from atomkit.base import compression
from atomkit.base.files import LINE_LIMIT, changed, pread
from atomkit.base.frame import Frame
from atomkit.index import saved
from atomkit.index.file import open_regular
from atomkit.index.saved import saved_path
from atomkit.reading import reader
from atomkit.reading.errors import in_file
from atomkit.reading.runs import add_run, frames_of
from atomkit.table.build import Joiner
from atomkit.table.table import FrameTable

__all__ = ["FrameIndex", "saved_path"]

_SINCE, _ADVICE = "indexed", "build a new FrameIndex"


def _refuse_compressed(path: str, head: bytes) -> None:
    kind = compression.kind(path, head)
    if kind is not None:
        raise ValueError(f"{path} is compressed ({kind}): a FrameIndex reads frames at byte offsets of the "
                         "plain text, which a compressed stream does not have; decompress it first")


class FrameIndex:
    """Random access to the frames of a plain (uncompressed) extended XYZ file.

        index = atomkit.FrameIndex("train.xyz")   # one pass over the line ends, or the saved index
        index.save()                              # train.xyz.atomkit-index.npz, reused while valid
        len(index), index[k], index[-1], index[10:20]

    Building it reads only line ends and each frame's count and comment lines, a window at a
    time; `index[k]` then reads frame k's bytes alone and parses them, giving what
    `atomkit.read(path, k)` gives, at the same cost wherever the frame is in the file. An
    index keeps the file open; it pickles without it (a worker process opens the file again),
    so it serves as a map-style dataset.

    A saved index is used when it was made from a file of the same size and modification
    time and its frames fit the file; otherwise the file is scanned again. Once the file has
    changed (another size or modification time, or a frame's count line that no longer says
    its atom count), reading a frame raises ValueError; so does building an index of a file
    that shrinks while it is scanned. Compressed files are refused (ValueError): decompress
    them first.
    """

    __slots__ = ("path", "_key", "_fd", "_end", "_offsets", "_natoms", "_lines", "_layouts", "_properties",
                 "_reader")

    def __init__(self, path: str | os.PathLike[str], *, use_saved: bool = True):
        self.path = os.fspath(path)
        self._fd, self._reader = -1, None
        _refuse_compressed(self.path, b"")
        self._fd, self._key = open_regular(self.path)
        self._end = size = self._key[0]
        try:
            found = saved.load(self.path, self._key, self._fd) if use_saved else None
            if found is not None and not self._reader_of(found):
                found = None
            if found is None:
                _refuse_compressed(self.path, pread(self._fd, 0, min(8, size)))
                found = self._scan()
            self._offsets, self._natoms, self._lines, self._layouts, self._properties = found
        except BaseException as error:
            self.close()
            if isinstance(error, ValueError):
                in_file(error, self.path)
            raise

    def _scan(self) -> tuple[Any, ...]:
        """The index made by the module's reader in one pass over the file."""
        made = _atomkit.Reader(self._fd, name=self.path, line_limit=LINE_LIMIT)
        found = made.scan(-1)
        if found.failure is not None:  # (not indexed yet: a file that changes changed since opened)
            raise reader.Source(made, self.path).error(found.failure)
        rows = made.rows
        self._reader = self._source(made)
        return (rows[:, 0].copy(), rows[:, 1].copy(), rows[:, 2].copy(), rows[:, 3].astype(np.int32),
                made.properties)

    def _reader_of(self, found: tuple[Any, ...]) -> bool:
        """Makes the reader of a saved index's frames; False where the module refuses them as
        frames of this file (a damaged or forged index: the file is scanned instead)."""
        offsets, natoms, lines, layouts, properties = found
        ends = np.append(offsets[1:], self._end)[:len(offsets)]
        rows = np.stack([offsets, natoms, lines, layouts.astype(np.int64), ends], axis=1)
        try:
            self._reader = self._source(_atomkit.Reader(self._fd, name=self.path, line_limit=LINE_LIMIT, rows=rows,
                                                        properties=tuple(properties), identity=self._key))
        except ValueError:
            return False
        return True

    def _source(self, made: Any) -> reader.Source:
        return reader.Source(made, self.path, since=_SINCE, advice=_ADVICE)

    def _opened(self) -> reader.Source:
        """The reader of the indexed frames (made once; a worker process makes its own)."""
        if self._reader is None:
            if self._fd < 0:
                self._open()
            if not self._reader_of((self._offsets, self._natoms, self._lines, self._layouts, self._properties)):
                raise changed(self.path, _SINCE, _ADVICE)
        return self._reader

    # ---- the frames -------------------------------------------------------------------

    def __len__(self) -> int:
        return len(self._offsets)

    def __getitem__(self, index: int | slice) -> Any:
        """Frame `index` (negative counts from the end), or a list of frames for a slice."""
        if isinstance(index, slice):
            return list(self._frames(range(len(self))[index]))
        k = operator.index(index)
        count = len(self)
        if not -count <= k < count:
            raise IndexError(f"frame {k} is not in {self.path} ({count} frames)")
        opened = self._opened()
        try:
            run = opened.reader.read(np.array([k % count], np.int64))
            if run.refusals:
                raise opened.error(run.refusals[0])
        except ValueError as error:
            in_file(error, self.path)
            raise
        return frames_of(run, opened.plans)[0]

    def __iter__(self) -> Iterator[Frame]:
        return self._frames(range(len(self)))

    def _frames(self, chosen: range) -> Iterator[Frame]:
        """The frames `chosen`, read a run of frames at a time."""
        if not chosen:
            return
        opened = self._opened()
        ascending = np.array(chosen, np.int64)
        backwards = len(ascending) > 1 and ascending[1] < ascending[0]
        if backwards:
            ascending = ascending[::-1]
        spans = reader._spans(opened.reader.rows, 0, ascending, reader.RUN_BYTES)
        try:
            for span in (reversed(spans) if backwards else spans):
                run = opened.reader.read(span)
                if run.refusals:
                    raise opened.error(run.refusals[0])
                frames = frames_of(run, opened.plans)
                yield from (reversed(frames) if backwards else frames)
        except ValueError as error:
            in_file(error, self.path)
            raise

    def _open(self) -> int:
        fd, key = open_regular(self.path)
        if key != self._key:
            os.close(fd)
            raise changed(self.path, _SINCE, _ADVICE)
        self._fd = fd
        return fd

    # ---- what the index knows without reading a frame ----------------------------------

    @property
    def natoms(self) -> np.ndarray:
        """The atom count of every frame (read-only int64 array)."""
        view = self._natoms.view()
        view.flags.writeable = False
        return view

    @property
    def offsets(self) -> np.ndarray:
        """The byte offset of every frame's count line (read-only int64 array)."""
        view = self._offsets.view()
        view.flags.writeable = False
        return view

    def properties(self, k: int) -> str | None:
        """The Properties string of frame `k`'s atom lines, as its comment line names it (the
        plain xyz columns when it names none). None (or what it seems to name) for a comment
        line that cannot be read; reading that frame raises the reason."""
        return self._properties[int(self._layouts[k])]

    def table(self, start: int = 0, stop: int | None = None, threads: int | None = None) -> FrameTable:
        """Frames start..stop-1 as one FrameTable, as atomkit.read_table reads them (on up to
        `threads` threads); the same as the table of `index[k]` for each k."""
        start, stop, _ = slice(start, stop).indices(len(self))
        opened = self._opened()
        joiner = Joiner()
        try:
            run = opened.reader.read(np.arange(start, max(start, stop), dtype=np.int64), threads=threads or 0)
            layout_plans = opened.plans
            if run.refusals:
                add_run(joiner, run, layout_plans)  # (a column clash before the refused frame comes first)
                raise opened.error(run.refusals[0])
            add_run(joiner, run, layout_plans)
            return joiner.table()
        except ValueError as error:
            in_file(error, self.path)
            raise

    def subset(self, start: int, stop: int) -> FrameIndex:
        """The index of frames start..stop-1 only (numbered from 0): what a worker needs to read
        its share of the file, small to pickle."""
        start, stop, _ = slice(start, stop).indices(len(self))
        part = FrameIndex.__new__(FrameIndex)
        part.path, part._key, part._fd, part._properties, part._reader = self.path, self._key, -1, self._properties, None
        part._end = self._offsets.item(stop) if stop < len(self) else self._end
        part._offsets, part._natoms = self._offsets[start:stop], self._natoms[start:stop]
        part._lines, part._layouts = self._lines[start:stop], self._layouts[start:stop]
        return part

    # ---- saving, pickling, closing -----------------------------------------------------

    def save(self) -> str:
        """Writes the index beside the file (see `saved_path`), with the file's permission
        bits, and returns where. Offsets and line numbers go in as differences, which compress
        to a few bytes a frame."""
        arrays = (self._offsets, self._natoms, self._lines, self._layouts, self._properties)
        return saved.save(self.path, self._key, arrays)

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "key": self._key, "end": self._end, "offsets": self._offsets,
                "natoms": self._natoms, "lines": self._lines, "layouts": self._layouts,
                "properties": self._properties}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.path, self._key, self._end, self._fd = state["path"], tuple(state["key"]), state["end"], -1
        self._offsets, self._natoms, self._lines = state["offsets"], state["natoms"], state["lines"]
        self._layouts, self._properties, self._reader = state["layouts"], state["properties"], None

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        # The same frames of the same file content: the same name for a task that reads them.
        first = int(self._offsets[0]) if len(self) else -1
        return ("atomkit.FrameIndex", self.path, *self._key, first, len(self))

    def close(self) -> None:
        """Closes the file; a later read opens it again."""
        fd, self._fd, self._reader = self._fd, -1, None
        if fd >= 0:
            os.close(fd)

    def __del__(self, _close: Any = os.close) -> None:
        # As a file object would: an index is mostly dropped, not closed.
        fd = getattr(self, "_fd", -1)
        if fd >= 0:
            _close(fd)

    def __enter__(self) -> FrameIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"FrameIndex({self.path!r}, {len(self)} frames)"
