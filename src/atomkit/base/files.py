# Where frames come from and go to: paths (plain, or .gz/.bz2/.xz by suffix) and binary or
# text file objects, as bytes for the reader and as a text sink for the writer; a file's bytes
# read at an offset.
"""Sources and sinks.

`Output(dest, append)` with `write(str)` and `write_bytes(bytes)`: a path is written whole
or not at all. `pread(fd, start, stop)`: a file's bytes start..stop.
"""
from __future__ import annotations

import gzip
import io
import os
import tempfile
from stat import S_ISREG
from typing import Any, BinaryIO, Callable

from atomkit.base import compression

# Bytes asked of a stream at a time; a frame longer than this is read in several. Small
# enough that counting a chunk's line feeds finds it still in the cache. The first asks of
# a source are smaller and double up to it, so one small frame costs little to reach.
CHUNK = 1 << 20
FIRST_CHUNK = 1 << 14
# The longest line read. No real file comes near it; a run without line feeds (a sparse or
# corrupted file, /dev/zero) fails once it passes this, before it takes all memory.
LINE_LIMIT = 256 << 20


class LineTooLong(ValueError):
    """A line past LINE_LIMIT: the rest of the source cannot be read as frames."""


def long_line(lineno: int) -> LineTooLong:
    """The error for file line `lineno`, which runs past LINE_LIMIT without a line feed."""
    limit = f"{LINE_LIMIT >> 20} MiB" if LINE_LIMIT >= 1 << 20 else f"{LINE_LIMIT} bytes"
    return LineTooLong(f"line {lineno}: longer than {limit} without a line feed "
                      "(not an extended XYZ file, or a corrupted one)")


def changed(name: str, since: str, advice: str = "") -> ValueError:
    """The error for a file that was truncated, replaced or rewritten while it was read;
    `since` says when it was known ("opened", "indexed"), `advice` what to do about it."""
    return ValueError(f"{name} changed since it was {since} (truncated, replaced or rewritten)"
                      + (f": {advice}" if advice else ""))


def pread(fd: int, start: int, stop: int) -> bytes:
    """The bytes from `start` to `stop`, fewer only where the file ends first (one read
    returns at most 2 GiB)."""
    data = os.pread(fd, stop - start, start)
    while 0 < len(data) < stop - start:
        more = os.pread(fd, stop - start - len(data), start + len(data))
        if not more:
            break
        data += more
    return data


def _opener(path: str | os.PathLike[str]) -> Callable[..., Any]:
    """What opens `path` to be written, as its suffix says (see compression.opener)."""
    return compression.opener(path, writing=True)


def describe(target: Any) -> str:
    """How messages name a source or destination."""
    if isinstance(target, (str, os.PathLike)):
        return os.fspath(target)  # type: ignore[return-value]
    return str(getattr(target, "name", "") or type(target).__name__)


# Text is encoded this much at a time: a buffer of this size is reused from the heap, while
# one as long as a big frame's atom block would be mapped, page-faulted and unmapped each time.
ENCODE_SLICE = 1 << 16


def _umask() -> int:
    # Read rather than set and restored: os.umask would change it for every thread meanwhile.
    try:
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _compressing(opener: Callable[..., Any], raw: BinaryIO, target: str, mode: str) -> Any:
    if opener is gzip.open:  # the header names the target, not the temporary file
        return gzip.GzipFile(filename=target, mode=mode, fileobj=raw)
    return opener(raw, mode)


def _sync_folder(folder: str) -> None:
    try:
        fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # a file system that cannot sync folders still renamed the file
    finally:
        os.close(fd)


def _quietly(*calls: Callable[[], Any]) -> None:
    for call in calls:
        try:
            call()
        except Exception:  # already failing: the first error is the one to report
            pass


def _names_a_stream(path: str) -> bool:
    """Whether `path` names an open descriptor (/dev/stdout, /proc/self/fd/1, or a link to
    one): it is written through as it is, even when it leads to a regular file, which the
    shell may have opened for appending."""
    for _ in range(8):
        if os.path.abspath(path).startswith(("/dev/", "/proc/")):
            return True
        if not os.path.islink(path):
            return False
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    return True


class _Replacing:
    """A new file beside `target` that takes its place only when finished: until then the
    target is untouched (and can be read as it was), and abandoning leaves no trace."""

    def __init__(self, path: str, opener: Callable[..., Any], old: os.stat_result | None):
        self.target = os.path.realpath(path)  # a symlink is written through and stays one
        folder, name = os.path.split(self.target)
        fd, self.temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
        self.raw = self.fileobj = os.fdopen(fd, "wb")
        self.old = old
        if opener is not open:
            try:
                self.fileobj = _compressing(opener, self.raw, self.target, "wb")
            except BaseException:
                self.abandon()
                raise

    def finish(self) -> None:
        try:
            if self.fileobj is not self.raw:
                self.fileobj.close()
            self.raw.flush()
            fd = self.raw.fileno()
            old = self.old
            os.fchmod(fd, old.st_mode & 0o7777 if old is not None else 0o666 & ~_umask())
            if old is not None and (old.st_uid, old.st_gid) != (os.getuid(), os.getgid()):
                _quietly(lambda: os.fchown(fd, old.st_uid, old.st_gid))
            os.fsync(fd)
            self.raw.close()
            os.replace(self.temporary, self.target)
        except BaseException:
            self.abandon()
            raise
        _sync_folder(os.path.dirname(self.target))

    def abandon(self) -> None:
        _quietly(self.fileobj.close, self.raw.close, lambda: os.unlink(self.temporary))


class _Appending:
    """The end of an existing file: its length is noted first, and abandoning cuts it back
    to that length. A plain file without a final line feed gets one before the first frame."""

    def __init__(self, path: str, opener: Callable[..., Any]):
        flags = os.O_APPEND | os.O_CREAT
        try:
            fd, readable = os.open(path, flags | os.O_RDWR, 0o666), True
        except PermissionError:  # a file we may write but not read: its end cannot be seen
            fd, readable = os.open(path, flags | os.O_WRONLY, 0o666), False
        self.raw = os.fdopen(fd, "ab")
        self.keep = -1
        try:
            # A descriptor of its own cuts the file back even after the file object is closed.
            self.keep = os.dup(fd)
            self.length = os.fstat(fd).st_size
            self.fileobj = self.raw if opener is open else _compressing(opener, self.raw, path, "ab")
            self.missing_newline = (opener is open and readable and self.length > 0
                                    and os.pread(fd, 1, self.length - 1) != b"\n")
        except BaseException:  # nothing written yet: only the descriptors to give back
            self.raw.close()
            if self.keep >= 0:
                os.close(self.keep)
            raise

    def finish(self) -> None:
        try:
            if self.fileobj is not self.raw:
                self.fileobj.close()
            self.raw.flush()
            os.fsync(self.raw.fileno())
            self.raw.close()
        except BaseException:
            self.abandon()
            raise
        os.close(self.keep)

    def abandon(self) -> None:
        _quietly(self.fileobj.close, self.raw.close, lambda: os.ftruncate(self.keep, self.length))
        os.close(self.keep)


class Output:
    """A text sink: `write(str)` to a path or a file object. A path is written whole or not at
    all: a new file takes the place of the old one when the `with` block ends without an
    error (keeping its permission bits; a symlink stays a link to the new file), and is
    removed when it ends with one; `append` cuts the file back to its old length on an
    error. A path that is not a regular file (a pipe, a device) and file objects are written
    as the text comes."""

    def __init__(self, dest: Any, append: bool):
        self._target: _Replacing | _Appending | None = None
        self._close: Callable[[], None] | None = None
        self._lead = ""
        if isinstance(dest, (str, os.PathLike)):
            fileobj = self._open(os.fspath(dest), append)
        elif hasattr(dest, "write"):
            fileobj = dest
        else:
            raise TypeError(f"cannot write to a {type(dest).__name__}: expected a path or a file object")
        self._write = fileobj.write
        self._text = isinstance(fileobj, io.TextIOBase)

    def _open(self, path: str, append: bool) -> Any:
        opener = _opener(path)
        try:
            old: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            old = None
        # An open descriptor's name (/dev/stdout) is appended to: opened to be written afresh
        # it would cut short a file that the shell opened for appending.
        stream = _names_a_stream(path)
        if (old is None or S_ISREG(old.st_mode)) and not stream:
            try:
                self._target = _Appending(path, opener) if append else _Replacing(path, opener, old)
            except PermissionError:
                if append or old is None:
                    raise
                # A folder we may not add to, holding a file we may write: in place, as before.
            else:
                self._lead = "\n" if getattr(self._target, "missing_newline", False) else ""
                return self._target.fileobj
        fileobj = opener(path, "ab" if append or stream else "wb")
        self._close = fileobj.close
        return fileobj

    def write(self, text: str) -> None:
        if self._lead:
            text, self._lead = self._lead + text, ""
        if self._text:
            self._write(text)
        elif len(text) <= ENCODE_SLICE:
            self._write(text.encode("utf-8"))
        else:
            for start in range(0, len(text), ENCODE_SLICE):
                self._write(text[start:start + ENCODE_SLICE].encode("utf-8"))

    def write_bytes(self, data: bytes) -> None:
        """`write` of text already encoded as UTF-8 (whole characters)."""
        if self._text:
            self.write(data.decode("utf-8"))
            return
        if self._lead:
            self._write(self._lead.encode("utf-8"))
            self._lead = ""
        self._write(data)

    @property
    def owned(self) -> bool:
        """Whether a failure takes back what was written (a path, not a file object)."""
        return self._target is not None

    def __enter__(self) -> Output:
        return self

    def __exit__(self, error: type[BaseException] | None, *rest: object) -> None:
        if self._target is not None:
            if error is None:
                self._target.finish()
            else:
                self._target.abandon()
        elif self._close is not None:
            self._close()
