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
# Bytes searched for line ends at a time: enough that NumPy's cost per call vanishes, few
# enough that the search's temporary (a flag per byte) stays modest.
_WINDOW = 1 << 24
_SAVED_SUFFIX = ".atomkit-index.npz"
_SAVED_VERSION = 1
_NO_ENDS = np.empty(0, dtype=np.intp)
# Bytes that, before a Properties key, could leave it inside a single-quoted or bracketed
# value, or escape a quote.
_NOT_BEFORE = b"'\\[{"
# A bare value that the tokenizer ends where this one ends (at whitespace, as str.isspace
# has it, or the end of the line).
_PLAIN_VALUE = re.compile(rb'[^\s="\'\\\[{\x1c-\x1f]+(?=[\s\x1c-\x1f]|\Z)')
# The ASCII bytes the comment-line tokenizer takes for whitespace (those of str.isspace).
_SPACE = b" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f"
_EQUALS, _QUOTE = ord("="), ord('"')


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


# What the last ordinary comment line was up to the end of its Properties value, as (the
# bytes up to and with the first double quote, those from the quote that closes it, that
# value), or (all of those bytes, b"", that value) with no quote before the key: the lines of
# a trajectory mostly differ only in that first quoted value (the Lattice) or after the key.
_last_head: tuple[bytes, bytes, str] = (b"\n", b"", "")


def _plainly_before(before: bytes) -> bool:
    """Whether the comment-line tokenizer surely starts an item at a key that follows `before`:
    it holds only bare tokens and double-quoted values that open right after their `=`, and
    ends in whitespace. (A quoted value glued to what follows it makes the line one the
    reader refuses.)"""
    if before and before[-1] not in _SPACE:
        return False
    if len(before.translate(None, _NOT_BEFORE)) != len(before):
        return False
    if _QUOTE not in before:
        return True
    parts = before.split(b'"')  # outside, inside, outside, ..., outside
    return len(parts) % 2 == 1 and all(outside.endswith(b"=") for outside in parts[:-1:2])


def named_properties(comment: bytes) -> str | None:
    """The Properties string that a frame's comment line names (the plain xyz columns when
    it names none), as the reader finds it. For a line the reader refuses, None or whatever
    the line seems to name: reading that frame raises the reason. Ordinary lines are
    answered from the bytes; anything unusual goes through the comment-line parser."""
    global _last_head
    lead, tail, value = _last_head
    # (Bytes are looked for by their number: `bytes in bytes` is several times slower.)
    if comment.startswith(lead):
        end = len(lead)
        if tail:  # the same but for the text inside the first quotes
            close = comment.find(b'"', end)
            end = close + len(tail) if comment.startswith(tail, close) else -1  # (no quote: -1 fails)
            if end >= 0 and comment.find(b"\\", len(lead), close) >= 0:
                end = -1  # an escape: a quote inside may not end the value
        if end >= 0 and (end == len(comment) or comment[end] in _SPACE):
            return value
    if comment.isascii():
        if _EQUALS not in comment:
            return PLAIN_XYZ
        at = comment.lower().find(b"properties=")
        # A second Properties key would be an error the reader reports when it reads the frame.
        if at >= 0 and _plainly_before(comment[:at]):
            bare = _PLAIN_VALUE.match(comment, at + 11)
            if bare is not None:
                value = bare.group().decode("ascii")
                quote = comment.find(b'"', 0, at)
                if quote < 0:
                    _last_head = (comment[:bare.end()], b"", value)
                else:
                    _last_head = (comment[:quote + 1], comment[comment.find(b'"', quote + 1):bare.end()], value)
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
    found = array("q")  # (count-line offset, atom count, count-line number, layout number) a frame
    record = found.extend
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
            try:
                natoms = int(data[pos:end])
            except ValueError:
                if not data[pos:end].strip():  # blank lines between frames
                    pos, j, lineno = end + 1, j + 1, lineno + 1
                    continue
                natoms = -1
            if natoms < 0 or end >= size:
                _reader_verdict(data, pos, lineno)  # raises: no count, or no comment line after it
            need = natoms + 2
            if j + need > have and scanned < size:
                ends, scanned = _more_ends(buf, ends[j:], scanned, need)
                j, have = 0, len(ends)
            last = j + need - 1
            if last >= have:
                # The data ends inside this frame: an error, unless it is a frame without
                # atoms whose comment line is the empty end of the data.
                _reader_verdict(data, pos, lineno)
                record((pos, natoms, lineno, layout_of.setdefault(PLAIN_XYZ, len(layout_of))))
                break
            properties = named_properties(data[end + 1:ends.item(j + 1)])
            layout = layout_of.get(properties)
            if layout is None:
                layout = layout_of[properties] = len(layout_of)
            record((pos, natoms, lineno, layout))
            pos = ends.item(last) + 1
            j, lineno = last + 1, lineno + need
    finally:
        del buf  # a view of the map would keep it from being closed
    table = np.frombuffer(found, np.int64).reshape(-1, 4)
    return (table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(), table[:, 3].astype(np.int32),
            tuple(layout_of))


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
