# FrameIndex: where every frame of a plain extended XYZ file starts, found by one pass over
# its line ends, so that any frame is read straight from a memory map; saved beside the file.
"""atomkit.FrameIndex."""
from __future__ import annotations

import mmap
import operator
import os
import re
import tempfile
from array import array
from typing import Any, Iterator

import numpy as np

from atomkit import _comment
from atomkit._frame import Frame
from atomkit._io import Input
from atomkit._properties import PLAIN_XYZ
from atomkit._reader import _frame, _frames

_BOM = b"\xef\xbb\xbf"
# First bytes and file name suffixes of the compressed forms a text file is commonly kept in.
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"))
_SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
# Bytes searched for line ends at a time: big enough that NumPy's per-call cost vanishes,
# small enough that the temporaries stay in the cache's neighbourhood.
_WINDOW = 1 << 24
_SAVED_SUFFIX = ".atomkit-index.npz"
_SAVED_VERSION = 1
_NO_ENDS = np.empty(0, dtype=np.intp)
# What surely comes before an ordinary Properties key: `key=value` items, each value bare or
# double-quoted (no escapes, brackets or single quotes), each followed by spaces or tabs. The
# comment-line tokenizer reads such a run as just those items.
_PLAIN_ITEMS = re.compile(rb'(?:[^\s="\'\\\[{\x1c-\x1f]+=(?:"[^"\\]*"|[^\s="\'\\\[{\x1c-\x1f]+)[ \t]+)*')
# A bare value that the tokenizer ends where this one ends (at whitespace, as str.isspace
# has it, or the end of the line).
_PLAIN_VALUE = re.compile(rb'[^\s="\'\\\[{\x1c-\x1f]+(?=[\s\x1c-\x1f]|\Z)')
_SPACE = b" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f"


def saved_path(path: str | os.PathLike[str]) -> str:
    """Where `FrameIndex.save()` puts the index of the file at `path`."""
    return os.fspath(path) + _SAVED_SUFFIX


def _refuse_compressed(path: str, head: bytes) -> None:
    kind = next((name for magic, name in _MAGIC if head.startswith(magic)), None)
    if kind is None:
        kind = _SUFFIXES.get(os.path.splitext(path)[1].lower())
    if kind is not None:
        raise ValueError(f"{path} is compressed ({kind}): a FrameIndex reads frames at byte offsets of the "
                         "plain text, which a compressed stream does not have; decompress it first")


def _map(path: str) -> tuple[Input, tuple[int, int]]:
    """The file's bytes (a read-only map, or b"" for an empty file) and its (size, mtime in ns)."""
    if not os.path.isfile(path):  # before opening: opening a pipe would wait for a writer
        os.stat(path)  # FileNotFoundError and the like, as such
        raise ValueError(f"{path} is not a regular file: a FrameIndex needs random access")
    with open(path, "rb") as fileobj:
        stat = os.fstat(fileobj.fileno())
        key = (stat.st_size, stat.st_mtime_ns)
        if stat.st_size == 0:
            return Input(b""), key
        mapped = mmap.mmap(fileobj.fileno(), 0, access=mmap.ACCESS_READ)
    source = Input(mapped, None, (mapped.close,))
    try:
        _refuse_compressed(path, source.data[:8])
    except ValueError:
        source.close()
        raise
    return source, key


# The last ordinary comment line up to the end of its Properties value, and that value: the
# lines of a trajectory often differ only after it.
_last_head: tuple[bytes, str] = (b"\n", "")


def named_properties(comment: bytes) -> str | None:
    """The Properties string that a frame's comment line names (the plain xyz columns when
    it names none), as the reader finds it. For a line the reader refuses, None or whatever
    the line seems to name: reading that frame raises the reason. Ordinary lines are
    answered from the bytes; anything unusual goes through the comment-line parser."""
    global _last_head
    head, value = _last_head
    size = len(head)
    if comment[:size] == head and comment[size:size + 1] in _SPACE:
        return value
    if comment.isascii():
        if b"=" not in comment:
            return PLAIN_XYZ
        at = comment.lower().find(b"properties=")
        # A second Properties key would be an error the reader reports when it reads the frame.
        if at >= 0 and _PLAIN_ITEMS.fullmatch(comment, 0, at) is not None:
            bare = _PLAIN_VALUE.match(comment, at + 11)
            if bare is not None:
                value = bare.group().decode("ascii")
                _last_head = (comment[:bare.end()], value)
                return value
    try:
        properties = _comment.parse(str(comment, "utf-8"))[0]
    except ValueError:  # UnicodeDecodeError included
        return None
    return PLAIN_XYZ if properties is None else properties


def _more_ends(buf: np.ndarray, ends: np.ndarray, scanned: int, need: int) -> tuple[np.ndarray, int]:
    """`ends` (offsets of line ends not yet used) extended with those of buf[scanned:] until it
    holds `need` or the data is done, and how far buf has been searched. The last line of data
    that does not end in a line feed ends at the end of the data."""
    size = len(buf)
    window = _WINDOW
    while len(ends) < need and scanned < size:
        stop = min(size, scanned + window)
        found = np.flatnonzero(buf[scanned:stop] == 10)
        found += scanned
        ends = np.concatenate((ends, found)) if len(ends) else found
        scanned = stop
        window *= 2  # a frame longer than a window: take bigger steps
        if scanned == size and buf[size - 1] != 10:
            ends = np.append(ends, size)
    return ends, scanned


def _reader_verdict(data: Any, pos: int, lineno: int) -> None:
    """Walks the one frame at `pos` as atomkit.read does, raising its error if it has one."""
    for _ in _frames(Input(data), (), 1, pos, lineno):
        pass


def _scan(data: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[str | None, ...]]:
    """(count-line offset, atom count, count-line number, layout number) of every frame of
    `data`, and the Properties strings that layout numbers stand for. Only line ends are
    looked at, and each frame's count and comment lines; a frame atomkit.read would not get
    through raises the error it would raise."""
    size = len(data)
    buf = np.frombuffer(data, dtype=np.uint8) if size else np.empty(0, np.uint8)
    offsets, counts, lines, layouts = array("q"), array("q"), array("q"), array("i")
    layout_of: dict[str | None, int] = {}
    ends, scanned, j, have = _NO_ENDS, 0, 0, 0  # ends[j] is where the line at `pos` ends
    pos = len(_BOM) if data[:3] == _BOM else 0
    lineno = 1
    try:
        while True:
            if j + 2 > have and scanned < size:
                ends, scanned = _more_ends(buf, ends[j:], scanned, 2)
                j, have = 0, len(ends)
            if j >= have:
                break
            end = ends.item(j)
            text = data[pos:end]
            if not text.strip():  # blank lines between frames
                pos, j, lineno = end + 1, j + 1, lineno + 1
                continue
            try:
                natoms = int(text)
            except ValueError:
                natoms = -1
            if natoms < 0 or end >= size:
                _reader_verdict(data, pos, lineno)  # raises: no count, or no comment line after it
            need = natoms + 2
            if j + need > have and scanned < size:
                ends, scanned = _more_ends(buf, ends[j:], scanned, need)
                j, have = 0, len(ends)
            last = j + need - 1
            if last < have:
                comment_end = ends.item(j + 1)
            else:
                # The data ends inside this frame: an error, unless it is a frame without
                # atoms whose comment line is the empty end of the data.
                _reader_verdict(data, pos, lineno)
                comment_end = size
            properties = named_properties(data[end + 1:comment_end])
            layout = layout_of.get(properties)
            if layout is None:
                layout = layout_of[properties] = len(layout_of)
            offsets.append(pos)
            counts.append(natoms)
            lines.append(lineno)
            layouts.append(layout)
            if last >= have:
                break
            pos = ends.item(last) + 1
            j, lineno = last + 1, lineno + need
    finally:
        del buf  # a view of the map would keep it from being closed
    return (np.frombuffer(offsets, np.int64), np.frombuffer(counts, np.int64), np.frombuffer(lines, np.int64),
            np.frombuffer(layouts, np.int32), tuple(layout_of))


class FrameIndex:
    """Random access to the frames of a plain (uncompressed) extended XYZ file.

        index = atomkit.FrameIndex("train.xyz")   # one pass over the line ends, or the saved index
        index.save()                              # train.xyz.atomkit-index.npz, reused while valid
        len(index), index[k], index[-1], index[10:20]

    Building it reads only line ends and each frame's count and comment lines; `index[k]`
    then parses frame k alone from a memory map, giving what `atomkit.read(path, k)` gives,
    at the same cost wherever the frame is in the file. An index pickles without its map
    (a worker process maps the file again), so it serves as a map-style dataset.

    A saved index is used when it was made from a file of the same size and modification
    time; otherwise the file is scanned again. An index whose file has changed since it was
    built refuses to read from it (ValueError). Compressed files are refused (ValueError):
    decompress them first.
    """

    __slots__ = ("path", "_key", "_source", "_offsets", "_natoms", "_lines", "_layouts", "_properties")

    def __init__(self, path: str | os.PathLike[str], *, use_saved: bool = True):
        self.path = os.fspath(path)
        self._source: Input | None = None
        _refuse_compressed(self.path, b"")
        if use_saved:
            key = _file_key(self.path)
            saved = _load(saved_path(self.path), key)
            if saved is not None:
                self._key = key
                self._offsets, self._natoms, self._lines, self._layouts, self._properties = saved
                return
        self._source, self._key = _map(self.path)
        try:
            self._offsets, self._natoms, self._lines, self._layouts, self._properties = _scan(self._source.data)
        except BaseException:
            self.close()
            raise

    # ---- the frames -------------------------------------------------------------------

    def __len__(self) -> int:
        return len(self._offsets)

    def __getitem__(self, index: int | slice) -> Any:
        """Frame `index` (negative counts from the end), or a list of frames for a slice."""
        if isinstance(index, slice):
            return [self._read(k) for k in range(len(self))[index]]
        k = operator.index(index)
        count = len(self)
        if not -count <= k < count:
            raise IndexError(f"frame {k} is not in {self.path} ({count} frames)")
        return self._read(k % count)

    def __iter__(self) -> Iterator[Frame]:
        for k in range(len(self)):
            yield self._read(k)

    def _read(self, k: int) -> Frame:
        data = (self._source or self._open()).data
        pos = int(self._offsets[k])
        comment_start = data.find(b"\n", pos) + 1
        comment_end = data.find(b"\n", comment_start)
        if comment_end < 0:
            comment_end = len(data)
        return _frame(data, comment_start, comment_end, int(self._natoms[k]), int(self._lines[k]))[0]

    def _open(self) -> Input:
        source, key = _map(self.path)
        if key != self._key:
            source.close()
            raise ValueError(f"{self.path} has changed since it was indexed (size and modification time "
                             f"{key} against {self._key}): build a new FrameIndex")
        self._source = source
        return source

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

    def subset(self, start: int, stop: int) -> FrameIndex:
        """The index of frames start..stop-1 only (numbered from 0): what a worker needs to read
        its share of the file, small to pickle."""
        start, stop, _ = slice(start, stop).indices(len(self))
        part = FrameIndex.__new__(FrameIndex)
        part.path, part._key, part._source, part._properties = self.path, self._key, None, self._properties
        part._offsets, part._natoms = self._offsets[start:stop], self._natoms[start:stop]
        part._lines, part._layouts = self._lines[start:stop], self._layouts[start:stop]
        return part

    # ---- saving, pickling, closing -----------------------------------------------------

    def save(self) -> str:
        """Writes the index beside the file (see `saved_path`) and returns where. Offsets and
        line numbers go in as differences, which compress to a few bytes a frame."""
        target = saved_path(self.path)
        natoms = self._natoms
        expected_lines = np.concatenate(([1], self._lines[:-1] + natoms[:-1] + 2)) if len(natoms) else natoms
        fields = {
            "version": np.int64(_SAVED_VERSION),
            "key": np.array(self._key, dtype=np.int64),
            "offset_steps": np.diff(self._offsets, prepend=0),
            "natoms": natoms,
            "blank_lines": self._lines - expected_lines,
            "layouts": self._layouts,
            "properties": np.array(["" if p is None else p for p in self._properties], dtype=str),
            "unreadable": np.array([p is None for p in self._properties], dtype=bool),
        }
        directory = os.path.dirname(os.path.abspath(target))
        # Written aside and renamed into place: a reader never sees half an index.
        fd, temporary = tempfile.mkstemp(prefix=".atomkit-index-", suffix=".npz", dir=directory)
        try:
            with os.fdopen(fd, "wb") as fileobj:
                np.savez_compressed(fileobj, **fields)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
        return target

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "key": self._key, "offsets": self._offsets, "natoms": self._natoms,
                "lines": self._lines, "layouts": self._layouts, "properties": self._properties}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.path, self._key, self._source = state["path"], tuple(state["key"]), None
        self._offsets, self._natoms, self._lines = state["offsets"], state["natoms"], state["lines"]
        self._layouts, self._properties = state["layouts"], state["properties"]

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        # The same frames of the same file content: the same name for a task that reads them.
        first = int(self._offsets[0]) if len(self) else -1
        return ("atomkit.FrameIndex", self.path, *self._key, first, len(self))

    def close(self) -> None:
        """Unmaps the file; a later read maps it again."""
        source, self._source = self._source, None
        if source is not None:
            source.close()

    def __enter__(self) -> FrameIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"FrameIndex({self.path!r}, {len(self)} frames)"


def _file_key(path: str) -> tuple[int, int]:
    stat = os.stat(path)
    return stat.st_size, stat.st_mtime_ns


def _load(path: str, key: tuple[int, int]) -> tuple[Any, ...] | None:
    """The arrays of the index saved at `path` if it was made from a file of this key; None
    when there is none, it is stale, or it cannot be read."""
    try:
        with np.load(path, allow_pickle=False) as saved:
            if int(saved["version"]) != _SAVED_VERSION or tuple(saved["key"].tolist()) != key:
                return None
            natoms = saved["natoms"].astype(np.int64)
            offsets = np.cumsum(saved["offset_steps"], dtype=np.int64)
            steps = saved["blank_lines"].astype(np.int64)
            steps[1:] += natoms[:-1] + 2
            lines = np.cumsum(steps, dtype=np.int64) + 1
            texts = saved["properties"].tolist()
            properties = tuple(None if bad else text for text, bad in zip(texts, saved["unreadable"].tolist()))
            layouts = saved["layouts"].astype(np.int32)
    except Exception:  # missing, truncated, from another version: scan the file instead
        return None
    if not (len(offsets) == len(lines) == len(layouts)) or (len(layouts) and not 0 <= layouts.min() <= layouts.max() < len(properties)):
        return None
    return offsets, natoms, lines, layouts, properties
