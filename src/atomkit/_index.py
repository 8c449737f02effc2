# FrameIndex: where every frame of a plain extended XYZ file starts, found by one pass over
# its line ends a window at a time, so that any frame is read by itself; saved beside the file.
"""atomkit.FrameIndex."""
from __future__ import annotations

import operator
import os
import re
import stat
import tempfile
from array import array
from typing import Any, Iterator

import numpy as np

from atomkit import _comment
from atomkit._frame import Frame
from atomkit._io import LINE_LIMIT, Input, changed, long_line
from atomkit._properties import PLAIN_XYZ
from atomkit._reader import _frame, _frames

_BOM = b"\xef\xbb\xbf"
# First bytes and file name suffixes of the compressed forms a text file is commonly kept in.
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"))
_SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
# Bytes read and searched for line ends at a time, into one reused buffer: enough that the
# cost per call vanishes, few enough that the search's temporaries (a flag a byte, 8 bytes a
# line end) stay small even when every byte is a line feed.
_WINDOW = 1 << 20
_SAVED_SUFFIX = ".atomkit-index.npz"
_SAVED_VERSION = 1
_NO_ENDS = np.empty(0, dtype=np.intp)
# Opened without waiting: a FIFO (or a device) opens at once, to be refused, instead of
# blocking until some writer appears.
_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK
# A byte that bytes.strip() keeps: the line holding it is not blank.
_SOLID = re.compile(rb"[^ \t\n\r\x0b\x0c]")
# Bytes that, before a Properties key, could leave it inside a single-quoted or bracketed
# value, or escape a quote.
_NOT_BEFORE = b"'\\[{"
# A bare value that the tokenizer ends where this one ends (at whitespace, as str.isspace
# has it, or the end of the line).
_PLAIN_VALUE = re.compile(rb'[^\s="\'\\\[{\x1c-\x1f]+(?=[\s\x1c-\x1f]|\Z)')
# The ASCII bytes the comment-line tokenizer takes for whitespace (those of str.isspace).
_SPACE = b" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f"
_EQUALS, _QUOTE = ord("="), ord('"')
# What an index holds: offsets, atom counts and line numbers of the count lines, layout
# numbers, and the Properties strings those stand for.
_Arrays = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[str | None, ...]]


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


def _open_regular(path: str) -> tuple[int, tuple[int, int]]:
    """A descriptor of the regular file at `path` and its (size, mtime in ns); ValueError for
    anything else."""
    fd = os.open(path, _OPEN_FLAGS)
    info = os.fstat(fd)
    if stat.S_ISREG(info.st_mode):
        return fd, (info.st_size, info.st_mtime_ns)
    os.close(fd)
    raise ValueError(f"{path} is not a regular file: a FrameIndex needs random access")


def _pread(fd: int, start: int, stop: int) -> bytes:
    """The bytes from `start` to `stop`, fewer only where the file ends first (one read
    returns at most 2 GiB)."""
    data = os.pread(fd, stop - start, start)
    while 0 < len(data) < stop - start:
        more = os.pread(fd, stop - start - len(data), start + len(data))
        if not more:
            break
        data += more
    return data


def _count_end(data: bytes, natoms: int) -> int:
    """Where the count line that starts `data` ends, or -1 unless it counts `natoms` atoms."""
    head = b"%d\n" % natoms
    if data.startswith(head):  # as written; any other form of the same count is parsed
        return len(head) - 1
    end = data.find(b"\n")
    try:
        return end if end >= 0 and int(data[:end]) == natoms else -1
    except ValueError:
        return -1


class _Window:
    """A file being indexed, read a window at a time into one reused buffer and searched for
    line feeds: `buf` holds its bytes from offset `base` to `searched`. Memory stays that of
    a window whatever the file's size, and a line longer than LINE_LIMIT raises as soon as
    the search passes the limit."""

    def __init__(self, fd: int, size: int, path: str):
        self.fd, self.size, self.path = fd, size, path
        # No larger than the limit: then only a line that crosses windows can pass it.
        self.buf = bytearray(min(_WINDOW, LINE_LIMIT, size))
        self._bytes, self._view = np.frombuffer(self.buf, np.uint8), memoryview(self.buf)
        self.base = self.searched = 0
        self._last, self._count = -1, 0  # the last line end found, and how many were found

    def search(self) -> np.ndarray:
        """The line ends of the next window; the end of the file ends a last line without a
        line feed."""
        start = self.searched
        want = min(len(self.buf), self.size - start)
        if os.preadv(self.fd, [self._view[:want]], start) != want:
            raise changed(self.path, "opened")
        found = np.flatnonzero(self._bytes[:want] == 10)
        found += start
        self.base, self.searched = start, start + want
        if self.searched == self.size and self.buf[want - 1] != 10:
            found = np.append(found, self.size)
        first = found.item(0) if len(found) else self.searched
        if first - self._last - 1 > LINE_LIMIT:
            raise long_line(self._count + 1)
        if len(found):
            self._last = found.item(-1)
            self._count += len(found)
        return found

    def more(self, ends: np.ndarray, need: int) -> np.ndarray:
        """`ends` extended window by window until it holds `need`, or the file is searched."""
        while len(ends) < need and self.searched < self.size:
            found = self.search()
            ends = np.concatenate((ends, found)) if len(ends) else found
        return ends

    def reach(self, ends: np.ndarray, k: int) -> tuple[np.ndarray, int]:
        """(ends, k) searched on until ends[k] is found (k >= len(ends) if the file ends
        first). The ends before the k-th are let go: a frame of any length holds a window's."""
        while k >= len(ends) and self.searched < self.size:
            k -= len(ends)
            ends = self.search()
        return ends, k

    def text(self, start: int, stop: int) -> bytes | bytearray:
        """The bytes from `start` to `stop`: from the window if it holds them, else read."""
        if self.base <= start and stop <= self.searched:
            return self.buf[start - self.base:stop - self.base]
        data = _pread(self.fd, start, stop)
        if len(data) != stop - start:
            raise changed(self.path, "opened")
        return data

    def skip_blank(self, ends: np.ndarray, j: int, lineno: int) -> tuple[int, int, int]:
        """From the blank line that ends[j] ends (file line `lineno`): (j, offset, line) of the
        next line that holds more than whitespace, or of the line after the last end found.
        A run of blank lines costs a search for a byte, not a step a line."""
        start = ends.item(j) + 1
        hit = None
        if start < self.base:  # lines that began in an earlier window
            match = _SOLID.search(self.text(start, self.base))
            hit = None if match is None else start + match.start()
        if hit is None:
            match = _SOLID.search(self.buf, max(start - self.base, 0), self.searched - self.base)
            hit = None if match is None else self.base + match.start()
        k = len(ends) if hit is None else int(ends.searchsorted(hit))  # the end of hit's line
        return k, ends.item(k - 1) + 1, lineno + k - j

    def verdict(self, start: int, stop: int, lineno: int) -> None:
        """Walks the one frame in bytes start..stop as atomkit.read does, raising its error if
        it has one."""
        for _ in _frames(Input(bytes(self.text(start, stop))), (), 1, 0, lineno):
            pass


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


def _scan(fd: int, size: int, path: str) -> _Arrays:
    """(count-line offset, atom count, count-line number, layout number) of every frame of the
    file, and the Properties strings that layout numbers stand for. Only line ends are looked
    at, and each frame's count and comment lines; a frame atomkit.read would not get through
    raises the error it would raise."""
    window = _Window(fd, size, path)
    buf = window.buf
    found = array("q")  # (count-line offset, atom count, count-line number, layout number) a frame
    record = found.extend
    layout_of: dict[str | None, int] = {}
    ends, j, have, base = _NO_ENDS, 0, 0, 0  # ends[j] is where the line at `pos` ends
    pos = len(_BOM) if window.text(0, min(3, size)) == _BOM else 0
    lineno = 1
    while True:
        if j + 2 > have:
            ends, j = window.more(ends[j:], 2), 0
            have, base = len(ends), window.base
            if not have:
                break
        end = ends.item(j)
        text = buf[pos - base:end - base] if pos >= base else window.text(pos, end)
        try:
            natoms = int(text)
        except ValueError:
            if not text.strip():  # blank lines between frames
                j, pos, lineno = window.skip_blank(ends, j, lineno)
                continue
            natoms = -1
        if natoms < 0 or end >= size:
            window.verdict(pos, min(end + 1, size), lineno)  # raises: no count, or no comment line after it
        stop = ends.item(j + 1) if j + 1 < have else size
        properties = named_properties(buf[end + 1 - base:stop - base] if end >= base else window.text(end + 1, stop))
        layout = layout_of.get(properties)
        if layout is None:
            layout = layout_of[properties] = len(layout_of)
        last = j + natoms + 1
        if last >= have:
            ends, last = window.reach(ends, last)
            have, base = len(ends), window.base
            if last >= have:
                # The file ends inside this frame: an error, unless it is a frame without
                # atoms whose comment line is the empty end of the file.
                window.verdict(pos, size, lineno)
                record((pos, natoms, lineno, layout))
                break
        record((pos, natoms, lineno, layout))
        pos = ends.item(last) + 1
        j, lineno = last + 1, lineno + natoms + 2
    table = np.frombuffer(found, np.int64).reshape(-1, 4)
    return (table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(), table[:, 3].astype(np.int32),
            tuple(layout_of))


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

    __slots__ = ("path", "_key", "_fd", "_end", "_offsets", "_natoms", "_lines", "_layouts", "_properties")

    def __init__(self, path: str | os.PathLike[str], *, use_saved: bool = True):
        self.path = os.fspath(path)
        self._fd = -1
        _refuse_compressed(self.path, b"")
        self._fd, self._key = _open_regular(self.path)
        self._end = size = self._key[0]
        try:
            found = _load(saved_path(self.path), self._key) if use_saved else None
            if found is None or not _heads_fit(self._fd, found[0], found[1]):
                _refuse_compressed(self.path, _pread(self._fd, 0, min(8, size)))
                found = _scan(self._fd, size, self.path)
            self._offsets, self._natoms, self._lines, self._layouts, self._properties = found
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
        fd = self._fd if self._fd >= 0 else self._open()
        start = self._offsets.item(k)
        stop = self._offsets.item(k + 1) if k + 1 < len(self._offsets) else self._end
        data = os.pread(fd, stop - start, start)  # the frame and any blank lines after it
        if len(data) < stop - start:
            data = _pread(fd, start, stop)
        info = os.fstat(fd)
        natoms = self._natoms.item(k)
        count_end = _count_end(data, natoms)
        if count_end < 0 or (info.st_size, info.st_mtime_ns) != self._key or len(data) != stop - start:
            raise changed(self.path, "indexed", "build a new FrameIndex")
        comment_end = data.find(b"\n", count_end + 1)
        if comment_end < 0:
            comment_end = len(data)
        return _frame(data, count_end + 1, comment_end, natoms, self._lines.item(k))[0]

    def _open(self) -> int:
        fd, key = _open_regular(self.path)
        if key != self._key:
            os.close(fd)
            raise changed(self.path, "indexed", "build a new FrameIndex")
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

    def subset(self, start: int, stop: int) -> FrameIndex:
        """The index of frames start..stop-1 only (numbered from 0): what a worker needs to read
        its share of the file, small to pickle."""
        start, stop, _ = slice(start, stop).indices(len(self))
        part = FrameIndex.__new__(FrameIndex)
        part.path, part._key, part._fd, part._properties = self.path, self._key, -1, self._properties
        part._end = self._offsets.item(stop) if stop < len(self) else self._end
        part._offsets, part._natoms = self._offsets[start:stop], self._natoms[start:stop]
        part._lines, part._layouts = self._lines[start:stop], self._layouts[start:stop]
        return part

    # ---- saving, pickling, closing -----------------------------------------------------

    def save(self) -> str:
        """Writes the index beside the file (see `saved_path`), with the file's permission
        bits, and returns where. Offsets and line numbers go in as differences, which compress
        to a few bytes a frame."""
        target = saved_path(self.path)
        mode = stat.S_IMODE(os.stat(self.path).st_mode) & 0o777
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
                os.fchmod(fd, mode)
                np.savez_compressed(fileobj, **fields)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
        return target

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "key": self._key, "end": self._end, "offsets": self._offsets,
                "natoms": self._natoms, "lines": self._lines, "layouts": self._layouts,
                "properties": self._properties}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.path, self._key, self._end, self._fd = state["path"], tuple(state["key"]), state["end"], -1
        self._offsets, self._natoms, self._lines = state["offsets"], state["natoms"], state["lines"]
        self._layouts, self._properties = state["layouts"], state["properties"]

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        # The same frames of the same file content: the same name for a task that reads them.
        first = int(self._offsets[0]) if len(self) else -1
        return ("atomkit.FrameIndex", self.path, *self._key, first, len(self))

    def close(self) -> None:
        """Closes the file; a later read opens it again."""
        fd, self._fd = self._fd, -1
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


def _heads_fit(fd: int, offsets: np.ndarray, natoms: np.ndarray) -> bool:
    """Whether the first and last frames' count lines still say their atom counts: a saved
    index of another file of the same size and time (copied with its time kept) mostly fails."""
    first_and_last = (0, len(offsets) - 1) if len(offsets) else ()
    return all(_count_end(_pread(fd, offsets.item(k), offsets.item(k) + 64), natoms.item(k)) >= 0
               for k in first_and_last)


def _load(path: str, key: tuple[int, int]) -> _Arrays | None:
    """The arrays of the index saved at `path` if it is a regular file made from a file of
    this key; None when there is none, it is stale, or it cannot be read."""
    try:
        fd = os.open(path, _OPEN_FLAGS)
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


def _checked(saved: Any, size: int) -> _Arrays | None:
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
