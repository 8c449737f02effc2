# The reader every read path is held to: a source walked line by line, each frame read alone and
# strictly, with the frames, SkippedFrameWarnings and the error that every path must give.
"""The frame-by-frame walker: `read`, `iread` and `scan` as atomkit must read.

Self-contained: it reads a source's bytes itself (`Input`, `open_input`), types comment lines
with the module's parser (`comment_oracle.parse`), cuts Properties into columns (`Layout`) and
reads atom lines with `read_atom_lines` (the module's `read_atom_lines_rs`, or Python loops put
in its place), one frame at a time.

What it reads (`Behaviour`, RULES unless asked otherwise):
- an atom line with more tokens than the Properties declare refuses its frame
  (`row N: expected C tokens, found T`), after any bad token of the frame;
- a bad count line, or a file that ends after a count line, right after a frame that cannot be
  read is that frame's error, and fatal (typically: the frame counts more atoms than it has);
- a file that ends inside a frame whose comment line is whole (ends in a line feed) but refused
  fails with that comment line's error, else with "the file ends inside a frame";
- errors="skip" warns "{name}: skipped the frame at {message}" per refused frame and goes on;
  a scan failure (count line, end of file, long line) still ends the read;
- str arrays are as wide as their widest value, as NumPy counts it (trailing NULs not).
`TODAY` is how the package reads as it stands (atom lines past their columns taken but by its
check, no failure made the frame before's, a refused comment line of a frame cut short raised
where the frame is read): the tests that hold that package to the walker, and the benchmarks'
frame-by-frame baseline, read with it.
"""
from __future__ import annotations

import functools
import os
import re
import sys
import warnings
from collections.abc import Container, Iterator
from dataclasses import dataclass, replace
from stat import S_ISREG
from typing import Any, Callable

import numpy as np

import _atomkit
import atomkit
from atomkit.base import compression, files
from atomkit.base.files import describe, long_line
from atomkit.base.frame import Frame
from atomkit.base.text import COLUMN_NAME, KIND_CODES, SEPARATOR_BYTES, SPECIES, WHITESPACE_BYTES
from comment_oracle import parse

_ALL = sys.maxsize
_BOM = b"\xef\xbb\xbf"
_TOKEN = re.compile(b"[^" + re.escape(SEPARATOR_BYTES) + b"]+")
# What bytes.strip() takes for blank: a line of only these holds no count.
_BLANK = re.compile(b"[" + re.escape(WHITESPACE_BYTES) + b"]*")
_ROW = re.compile(r"row ([0-9]+): ")
PLAIN_XYZ = "species:S:1:pos:R:3"
_PERIODIC, _OPEN = (True, True, True), (False, False, False)


@dataclass(frozen=True)
class Behaviour:
    """How the walker reads. `strict`: an atom line with tokens past its columns refuses its
    frame. `attribution`: a bad count line, or an end after the count line, right after a
    frame that cannot be read is that frame's error, and fatal. `cut_comment`: when the file
    ends inside a frame whose comment line is refused, that line's error is the failure if the
    line is "whole" (ends in a line feed), or if the frame is "wanted" (read, not passed over);
    else the file ends inside the frame."""
    strict: bool = True
    attribution: bool = True
    cut_comment: str = "whole"


RULES = Behaviour()
TODAY = Behaviour(strict=False, attribution=False, cut_comment="wanted")

# What reads a frame's atom lines (a list of str, the module's column codes) into the module's
# dict of columns, or raises "row N: ..."; looked up at each call, so that Python loops of the
# same signature may take its place.
read_atom_lines: Callable[[list[str], bytes], dict[str, Any]] = _atomkit.read_atom_lines_rs


# ---- the bytes of a source ------------------------------------------------------------------

def _newlines(data: bytes) -> int:
    # NumPy finds the line feeds of a chunk several times faster than bytes.count does.
    if len(data) < 1 << 16:
        return data.count(b"\n")
    return int(np.count_nonzero(np.frombuffer(data, np.uint8) == 10))


class Input:
    """The bytes of a source. `data` holds a prefix of what is left to read, starting at
    byte `base` of the source; while `eof` is False, `more(data, pos, lines, lineno)` drops
    data[:pos] and returns (the rest extended to hold at least `lines` line feeds or all
    that is left, count of line feeds in it). `lineno` is the file line at `pos`, for the
    message of a line longer than the limit. Chunks are asked for as atomkit.base.files sizes
    them when asked (a test may make them small). A regular file opened by its path (`fd`)
    must keep its size and modification time while it is read, and its I/O errors name it."""

    def __init__(self, data: Any, read: Callable[[int], Any] | None = None,
                 closers: tuple[Callable[[], None], ...] = (), name: str = "", fd: int = -1):
        self.data = data
        self.eof = read is None
        self.base = 0
        self.name = name
        self._read, self._closers, self._fd = read, closers, fd
        self._identity = self._io(self._stat)
        self._taken = 0
        self._ask = min(files.FIRST_CHUNK, files.CHUNK)

    def _stat(self) -> tuple[int, int] | None:
        if self._fd < 0:
            return None
        stat = os.fstat(self._fd)
        return stat.st_size, stat.st_mtime_ns

    def _io(self, call: Callable[..., Any], *args: Any) -> Any:
        try:
            return call(*args)
        except OSError as error:
            if self._fd < 0 or error.filename is not None:
                raise
            raise OSError(error.errno, error.strerror, self.name) from error

    def more(self, data: Any, pos: int, lines: int, lineno: int = 1, have: int = -1) -> tuple[bytes, int]:
        rest = data[pos:]
        self.base += pos
        parts = [rest]
        if have < 0:  # the caller may know how many line feeds the rest holds
            have = _newlines(rest)
        # Bytes of the line still open at the end: a run without line feeds is refused once
        # it passes the limit, so no more than that is ever held for one line.
        open_line = len(rest) - rest.rfind(b"\n") - 1
        while have < lines and not self.eof:
            chunk = self._io(self._read, self._ask)
            self._ask = min(2 * self._ask, files.CHUNK)
            if not chunk:
                self.eof = True
                break
            if type(chunk) is str:
                chunk = chunk.encode("utf-8")
            self._taken += len(chunk)
            parts.append(chunk)
            found = _newlines(chunk)
            open_line = len(chunk) - chunk.rfind(b"\n") - 1 if found else open_line + len(chunk)
            if open_line > files.LINE_LIMIT:
                raise long_line(lineno + have + found)
            have += found
        # A file cut short, grown, or rewritten in place since it was opened.
        if self._io(self._stat) != self._identity or (self.eof and self._identity and self._taken != self._identity[0]):
            raise files.changed(self.name, "opened")
        self.data = b"".join(parts)
        return self.data, have

    def load_all(self) -> None:
        """Reads the rest of a stream, so that `data` holds the whole source."""
        if not self.eof:
            self.more(self.data, 0, 1 << 62)

    def close(self) -> None:
        self.data = b""
        for close in self._closers:
            self._io(close)

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _stream(fileobj: Any, closers: tuple[Callable[[], None], ...] = (), name: str = "") -> Input:
    if not hasattr(fileobj, "read"):
        raise TypeError(f"cannot read from a {type(fileobj).__name__}: expected a path or a file object")
    return Input(b"", fileobj.read, closers, name or describe(fileobj))


def open_input(source: Any) -> Input:
    """The Input of a path (decompressed by suffix) or of a binary or text file object."""
    if not isinstance(source, (str, os.PathLike)):
        return _stream(source)
    name = os.fspath(source)
    opener = compression.opener(source)
    if opener is not open:
        fileobj = opener(source, "rb")
        return _stream(fileobj, (fileobj.close,), name)
    raw = open(source, "rb", buffering=0)  # noqa: SIM115 (closed by the Input)
    try:
        stat = os.fstat(raw.fileno())
    except BaseException:
        raw.close()
        raise
    if not S_ISREG(stat.st_mode):  # a pipe or a device: read as it comes
        return _stream(raw, (raw.close,), name)
    return Input(b"", raw.read, (raw.close,), name, raw.fileno())


# ---- the columns a Properties string names ----------------------------------------------------

_GROUPS = {"R": 0, "I": 1, "L": 2, "S": 3}
_COUNT = re.compile(r"[1-9][0-9]*\Z")


def _strs(values: list[str]) -> np.ndarray:
    """A str array of `values` as wide as the widest as NumPy counts it (it keeps no trailing
    NULs), one character at least."""
    width = max((len(value.rstrip("\0")) for value in set(values)), default=1)
    return np.array(values, dtype=f"U{max(width, 1)}")


class Layout:
    """What a Properties string says about the atom lines: `col_types` for the module, and
    `unpack(columns)` -> (symbols or None, arrays in file order)."""

    __slots__ = ("col_types", "plan", "species")

    def __init__(self, properties: str):
        self.species: int | None = None  # its str column
        fields = properties.split(":") if properties else []
        if len(fields) % 3:
            raise ValueError(f"Properties {properties!r}: expected name:kind:count triples")
        codes, self.plan, seen = [], [], set()
        cursor = [0, 0, 0, 0]
        for name, kind, count_text in zip(fields[0::3], fields[1::3], fields[2::3]):
            if not COLUMN_NAME.match(name) or name in seen:
                raise ValueError(f"Properties {properties!r}: bad or repeated name {name!r}")
            if kind not in KIND_CODES:
                raise ValueError(f"Properties {properties!r}: {name} has kind {kind!r}, not one of S, R, I, L")
            if not _COUNT.match(count_text):
                raise ValueError(f"Properties {properties!r}: {name} has count {count_text!r}")
            seen.add(name)
            count, group = int(count_text), _GROUPS[kind]
            start = cursor[group]
            cursor[group] += count
            codes.append(KIND_CODES[kind] * count)
            if group == 3 and name == SPECIES and count == 1:
                self.species = start
                continue
            self.plan.append((name, group, start, count))
        self.col_types = "".join(codes).encode("ascii")

    def unpack(self, parsed: dict[str, Any]) -> tuple[np.ndarray | None, dict[str, np.ndarray]]:
        strs = parsed["strs"]
        sources = (parsed["floats"], parsed["ints"], parsed["bools"].view(np.bool_))
        arrays: dict[str, np.ndarray] = {}
        for name, group, start, count in self.plan:
            if group < 3:
                arrays[name] = sources[group][:, start if count == 1 else slice(start, start + count)]
            elif count == 1:
                arrays[name] = _strs(strs[start])
            else:
                arrays[name] = _strs([value for column in strs[start:start + count] for value in column]).reshape(
                    count, -1).T.copy()
        species = self.species
        return (None if species is None else _strs(strs[species])), arrays


@functools.lru_cache(maxsize=256)
def layout(properties: str) -> Layout:
    """The Layout of a Properties string; ValueError for a bad one."""
    return Layout(properties)


# ---- the errors of frames ---------------------------------------------------------------------

def _line_text(line: bytes) -> str:
    return str(line, "utf-8", "replace").rstrip("\r")


def count_error(count_text: bytes, lineno: int) -> ValueError:
    text = str(count_text, "utf-8", "replace").strip()
    return ValueError(f"line {lineno}: expected the number of atoms, found {text[:80]!r}")


def atom_count(count_text: bytes, lineno: int) -> int:
    """The atom count a count line holds, as int() reads it; ValueError for none."""
    try:
        natoms = int(count_text)
    except ValueError:
        natoms = -1
    if natoms < 0:
        raise count_error(count_text, lineno)
    return natoms


def no_comment(lineno: int) -> ValueError:
    return ValueError(f"line {lineno}: the file ends after the atom count, before the comment line")


def ends_inside(natoms: int, have: int, lineno: int) -> ValueError:
    return ValueError(f"line {lineno}: the file ends inside a frame of {natoms} atoms (it holds {have} of its atom lines)")


def comment_line(raw: bytes, count_line: int) -> tuple[Any, ...]:
    """The comment line `raw` of the frame whose count line is `count_line`, read: (lattice,
    pbc, info, Layout)."""
    try:
        comment = str(raw, "utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"line {count_line + 1}: the comment line is not UTF-8: {bytes(raw)!r}") from error
    try:
        properties, lattice, pbc, info = parse(comment)
        return lattice, pbc, info, layout(PLAIN_XYZ if properties is None else properties)
    except ValueError as error:
        raise ValueError(f"line {count_line + 1}: {error}: {comment.rstrip(chr(13))!r}") from error


def comment_error(raw: bytes, count_line: int) -> ValueError | None:
    """The error of the comment line `raw`, or None if it is read."""
    try:
        comment_line(raw, count_line)
    except ValueError as error:
        return error
    return None


def atom_error(cause: ValueError, lines: list[bytes], count_line: int) -> ValueError:
    """The error of a frame's atom lines `lines`: the parser's "row N: ..." with the file line
    of its row and that line's text (without them for a failure in no line)."""
    message = str(cause)
    row = _ROW.match(message)
    if row is None or int(row.group(1)) >= len(lines):
        return ValueError(f"line {count_line + 2}: {message}")
    number = int(row.group(1))
    return ValueError(f"line {count_line + 2 + number}: {message}: {_line_text(lines[number])!r}")


# ---- atom lines -----------------------------------------------------------------------------

_KINDS = {"f": "float", "i": "int", "b": "bool", "s": "str"}


def _quoted(token: bytes) -> str:
    """A token as the module's messages quote it; a byte that is no part of UTF-8 as \\x{hex}."""
    text = token.decode("utf-8", "surrogateescape")
    quoted = []
    for run in re.split("([\udc80-\udcff])", text):
        if len(run) == 1 and "\udc80" <= run <= "\udcff":
            quoted.append(f"\\x{{{ord(run) - 0xDC00:02x}}}")
        elif run:  # no bool starts with x: the module quotes the run in its refusal
            try:
                _atomkit.read_atom_lines_rs(["x" + run], b"b")
            except ValueError as error:
                quoted.append(str(error)[len('row 0: cannot parse "x'):-len('" as bool')])
    return '"' + "".join(quoted) + '"'


def _bad_bytes(token: bytes, code: str) -> str:
    """Why the module refuses a token that is not UTF-8 in a column of `code`."""
    reason = {"f": ": invalid float literal", "b": "", "s": ": invalid UTF-8"}.get(code)
    if reason is None:  # an int: the first character that is no digit decides, or the range before it
        try:
            _atomkit.read_atom_lines_rs([re.sub(rb"[\x80-\xff]", b"x", token).decode("ascii")], b"i")
        except ValueError as error:
            reason = ": " + str(error).rsplit(" as int: ", 1)[1]
    return f"cannot parse {_quoted(token)} as {_KINDS[code]}{reason}"


def _rows_alone(lines: list[bytes], col_types: bytes) -> dict[str, Any]:
    """The atom lines read row by row, token by token, for a frame with a line that is not
    UTF-8: what the module reads from the bytes."""
    codes, rows = col_types.decode("ascii"), []
    for row, line in enumerate(lines):
        tokens, texts = _TOKEN.findall(line), []
        for k, code in enumerate(codes):
            if k >= len(tokens):
                raise ValueError(f"row {row}: expected {len(codes)} tokens, ran out")
            try:
                texts.append(tokens[k].decode("utf-8"))
            except UnicodeDecodeError:
                raise ValueError(f"row {row}: {_bad_bytes(tokens[k], code)}") from None
            try:
                read_atom_lines([texts[-1]], code.encode("ascii"))
            except ValueError as error:
                raise ValueError(f"row {row}: {str(error).removeprefix('row 0: ')}") from None
        rows.append(read_atom_lines([" ".join(texts)], col_types))
    return {"floats": np.concatenate([r["floats"] for r in rows]), "ints": np.concatenate([r["ints"] for r in rows]),
            "bools": np.concatenate([r["bools"] for r in rows]),
            "strs": [[r["strs"][c][0] for r in rows] for c in range(len(rows[0]["strs"]))]}


def _stray_row(block: bytes, natoms: int, columns: int) -> str | None:
    """The message of the first of the `natoms` lines of `block` with more tokens than
    `columns`, or None. Every line holds `columns` tokens or more."""
    if b"\v" not in block and len(block.split()) == natoms * columns:
        return None  # (a vertical tab belongs to its token; bytes.split() would split at it)
    for row, line in enumerate(block.split(b"\n")):
        found = len(_TOKEN.findall(line))
        if found > columns:
            return f"row {row}: expected {columns} tokens, found {found}"
    return None


def atom_lines(block: bytes, natoms: int, col_types: bytes, count_line: int, strict: bool) -> dict[str, Any]:
    """The module's columns of the `natoms` atom lines `block` (without the last line feed) of
    the frame whose count line is `count_line`; the frame's error if they cannot be read."""
    if not natoms:
        return read_atom_lines([], col_types)
    try:
        try:
            texts = block.decode("utf-8").split("\n")
        except UnicodeDecodeError:
            parsed = _rows_alone(block.split(b"\n"), col_types)
        else:
            parsed = read_atom_lines(texts, col_types)
        stray = _stray_row(block, natoms, len(col_types)) if strict else None
        if stray is not None:
            raise ValueError(stray)
    except ValueError as error:
        raise atom_error(error, block.split(b"\n"), count_line) from error
    return parsed


# ---- one frame --------------------------------------------------------------------------------

def read_frame(comment: bytes, block: bytes, natoms: int, count_line: int, strict: bool = True) -> Frame:
    """The frame of the comment line `comment` and the atom lines `block` (all `natoms` of
    them, without the last line feed), whose count line is file line `count_line`, read alone."""
    lattice, pbc, info, columns = comment_line(comment, count_line)
    symbols, arrays = columns.unpack(atom_lines(block, natoms, columns.col_types, count_line, strict))
    if pbc is None:
        pbc = _PERIODIC if lattice is not None else _OPEN
    return Frame(symbols, arrays, lattice, pbc, info)


class LineSkipper:
    """Passes over runs of lines of one source, guessing where a long run ends from the
    lines passed over before (a walk over a file keeps one; the guess is its own)."""

    __slots__ = ("bytes_per_line",)

    def __init__(self) -> None:
        # Bytes per line of the last long run of lines walked: where the next run is guessed to end.
        self.bytes_per_line = 80

    def skip(self, data: Any, offset: int, count: int) -> int:
        """The offset just past `count` lines of `data` starting at `offset`. A line ends in
        a line feed; the last one may instead end at the end of the data. ValueError when the
        data holds fewer lines."""
        size = len(data)
        if not 0 <= offset <= size:
            raise ValueError(f"offset {offset} is outside the data ({size} bytes)")
        find, rfind = data.find, data.rfind
        pos, left = offset, count
        bytes_per_line = self.bytes_per_line
        # Long runs: count the line feeds up to where the run should end at the usual line
        # length, then step back or go on from there.
        while left > 16:
            guess = min(size, pos + left * bytes_per_line)
            found = data.count(b"\n", pos, guess)
            if found >= left:
                if found - left > 16:  # lines much shorter than guessed: guess again
                    bytes_per_line = max(1, (guess - pos) // found)
                    continue
                end = guess
                for _ in range(found - left + 1):
                    end = rfind(b"\n", pos, end)
                self.bytes_per_line = max(1, -(-(end + 1 - offset) // count))
                return end + 1
            if found:
                start = pos
                pos = rfind(b"\n", pos, guess) + 1
                left -= found
                bytes_per_line = -(-(pos - start) // found) + 1
            elif guess < size:
                bytes_per_line *= 2  # not one line feed: lines much longer than guessed
            if guess >= size:
                break
        self.bytes_per_line = bytes_per_line
        for done in range(left):
            newline = find(b"\n", pos)
            if newline < 0:
                if done == left - 1 and pos < size:
                    return size
                raise ValueError(f"the data ends after {count - left + done} of {count} lines")
            pos = newline + 1
        return pos


# ---- the walk ---------------------------------------------------------------------------------

class _Walk:
    """Where a walk over a source stands: `data` holds a prefix of what is left, `pos` the
    offset in it of file line `lineno`, `have` the line feeds known to be in data[pos:] (a
    source held whole never needs more)."""

    __slots__ = ("source", "data", "size", "pos", "lineno", "have")

    def __init__(self, source: Input, pos: int, lineno: int):
        self.source, self.data, self.pos, self.lineno = source, source.data, pos, lineno
        self.size = len(self.data)
        self.have = _ALL if source.eof else 0

    def top_up(self, lines: int) -> bool:
        """Makes data[pos:] hold `lines` line feeds, or all that is left; whether it read."""
        if self.have >= lines or self.source.eof:
            return False
        self.data, self.have = self.source.more(self.data, self.pos, lines, self.lineno, max(self.have, 0))
        self.pos, self.size = 0, len(self.data)
        return True

    def advance(self, pos: int, lines: int) -> None:
        self.pos, self.lineno, self.have = pos, self.lineno + lines, self.have - lines

    def count_line(self) -> tuple[bytes, int] | None:
        """The next count line's text and where it ends, past any blank lines before it; None
        at the end of the source."""
        while True:
            self.top_up(1)
            data, pos = self.data, self.pos
            if self.lineno == 1 and data[pos:pos + 3] == _BOM:
                pos = self.pos = pos + len(_BOM)
            # A run of blank lines is passed over at once: a file of nothing else is walked
            # in linear time.
            if not data[pos:pos + 1].isdigit():
                line_start = data.rfind(b"\n", pos, _BLANK.match(data, pos).end()) + 1
                if line_start > pos:
                    self.advance(line_start, data.count(b"\n", pos, line_start))
                    continue  # what is left may not hold a whole line: top it up first
            if pos >= self.size:
                return None
            newline = data.find(b"\n", pos)
            count_end = newline if newline >= 0 else self.size
            count_text = data[pos:count_end]
            if count_text.strip():
                return count_text, count_end
            self.advance(count_end + 1, 1)


@dataclass
class _Found:
    """A frame the walk passed (its comment line data[comment_start:comment_end], its atom lines
    data[offset:end] without the last line feed), read when first asked for."""
    data: bytes
    comment_start: int
    comment_end: int
    offset: int
    end: int
    natoms: int
    lineno: int
    strict: bool
    verdict: Frame | ValueError | None = None

    @property
    def comment(self) -> bytes:
        return bytes(self.data[self.comment_start:self.comment_end])

    def read(self) -> Frame | ValueError:
        if self.verdict is None:
            block = bytes(self.data[self.offset:self.end])
            try:
                self.verdict = read_frame(self.comment, block, self.natoms, self.lineno, self.strict)
            except ValueError as error:
                self.verdict = error
        return self.verdict


def _ends_inside(found: _Found, wanted: bool, behaviour: Behaviour) -> ValueError:
    """The failure of a frame the data ends inside: its refused comment line's error where
    `behaviour` says so, else "the file ends inside"."""
    whole = found.comment_end < len(found.data)
    if (behaviour.cut_comment == "whole" and whole) or (behaviour.cut_comment == "wanted" and wanted):
        refused = comment_error(found.comment, found.lineno)
        if refused is not None:
            return refused
    tail = found.data[found.offset:]
    have = tail.count(b"\n") + (0 if tail.endswith(b"\n") or not tail else 1)
    return ends_inside(found.natoms, have, found.lineno)


def _frame_failure(walk_at: _Walk, count_text: bytes, count_end: int) -> tuple[int, int, ValueError | None]:
    """(atom count, where the count line ends, the failure of a count line that holds no atom
    count or of a source that ends after it)."""
    lineno = walk_at.lineno
    try:
        natoms = atom_count(count_text, lineno)
    except ValueError as error:
        return -1, count_end, error
    if walk_at.top_up(natoms + 2):
        count_end = walk_at.data.find(b"\n", walk_at.pos)
    return natoms, count_end, no_comment(lineno) if count_end < 0 or count_end >= walk_at.size else None


def walk(source: Input, wanted: Container[int], stop: int, pos: int = 0, lineno: int = 1,
         starts: list[tuple[int, int]] | None = None, mode: str = "read",
         behaviour: Behaviour = RULES) -> Iterator[Any]:
    """Walks the frames of `source` from offset `pos` (file line `lineno`): frame k, counted
    from there, is read if k is in `wanted` and passed over otherwise; the walk ends at the
    end of the data or before frame `stop`. `starts` gets (offset, line) of each frame's count
    line. `mode`: "read" yields the frames read and raises the first refusal; "skip" leaves a
    refused frame out with a SkippedFrameWarning; "scan" reads every frame and yields (Frame or
    the ValueError that says why it cannot be read, its comment line). A scan failure raises."""
    walk_at, skipper = _Walk(source, pos, lineno), LineSkipper()
    before: _Found | None = None  # the frame before, whose error a failure of the next may be
    held: _Found | None = None  # a refused frame not yet let go: the next count line decides how
    index = 0
    while index < stop:
        line = walk_at.count_line()
        if line is None:
            break
        natoms, count_end, failure = _frame_failure(walk_at, *line)
        if failure is not None:
            if behaviour.attribution and before is not None and type(before.read()) is not Frame:
                raise before.read()
            yield from _let_go(held, mode, source.name)
            raise failure
        data, size = walk_at.data, walk_at.size
        if starts is not None:
            starts.append((source.base + walk_at.pos, walk_at.lineno))
        comment_end = data.find(b"\n", count_end + 1)
        comment_end = size if comment_end < 0 else comment_end
        offset = min(comment_end + 1, size)
        found = _Found(data, count_end + 1, comment_end, offset, offset, natoms, walk_at.lineno, behaviour.strict)
        reading = mode == "scan" or index in wanted
        try:
            end = skipper.skip(data, offset, natoms)
        except ValueError:
            yield from _let_go(held, mode, source.name)
            raise _ends_inside(found, reading, behaviour) from None
        yield from _let_go(held, mode, source.name)  # the count line after it was sound
        found.end, held, before = end - 1 if end > offset and data[end - 1] == 10 else end, None, found
        if reading:
            item = found.read()
            if type(item) is Frame:
                yield (item, found.comment) if mode == "scan" else item
            elif mode == "read":
                raise item
            else:
                held = found
        walk_at.advance(end, natoms + 2)
        index += 1
    yield from _let_go(held, mode, source.name)


def _let_go(refused: _Found | None, mode: str, name: str) -> Iterator[Any]:
    """A refused frame let go: yielded with its comment line (scan), or warned of (skip)."""
    if refused is None:
        return
    if mode == "scan":
        yield refused.read(), refused.comment
    else:
        warnings.warn(atomkit.SkippedFrameWarning(f"{name}: skipped the frame at {refused.read()}"), stacklevel=4)


# ---- what the package's functions return ------------------------------------------------------

def frame_index(index: Any) -> int | slice:
    """A frame index as atomkit takes it: an int, a slice, or either written as a str."""
    if isinstance(index, str):
        text = index.strip()
        if ":" not in text:
            return int(text)
        return slice(*[int(part) if part.strip() else None for part in text.split(":")])
    return index if isinstance(index, slice) else int(index.__index__())


def iread(source: Any, index: Any = ":", errors: str = "raise", behaviour: Behaviour = RULES) -> Iterator[Frame]:
    """atomkit.iread as the walker reads (errors without the file's name: `read` names them)."""
    index = frame_index(index)
    mode = "skip" if errors == "skip" and isinstance(index, slice) else "read"
    with open_input(source) as data:
        if isinstance(index, int) and index >= 0:
            found = False
            for frame in walk(data, (index,), index + 1, behaviour=behaviour):
                found = True
                yield frame
            if not found:
                raise IndexError(f"frame {index} is past the end of {describe(source)}")
            return
        if isinstance(index, slice) and (index.step or 1) > 0 and (index.start or 0) >= 0 and (
                index.stop is None or index.stop >= 0):
            wanted = range(index.start or 0, _ALL if index.stop is None else index.stop, index.step or 1)
            yield from walk(data, wanted, wanted.stop, mode=mode, behaviour=behaviour)
            return
        # Counting from the end: the source held whole, one pass to find where the frames
        # start, then those chosen.
        data.load_all()
        starts: list[tuple[int, int]] = []
        for _ in walk(data, (), _ALL, starts=starts, behaviour=behaviour):
            pass
        try:
            chosen = range(len(starts))[index]
        except IndexError:
            raise IndexError(f"frame {index} is not in {describe(source)} ({len(starts)} frames)") from None
        for k in ([chosen] if isinstance(chosen, int) else chosen):
            yield from walk(data, (0,), 1, *starts[k], mode=mode, behaviour=behaviour)


def named(error: ValueError, source: Any) -> None:
    """Puts the file's name in front of the error of a frame ("train.xyz: line 262: ..."):
    a path's, or a file object's `name` (one without a str name is left out)."""
    name = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", None)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if isinstance(name, str) and name and error.args and str(error.args[0]).startswith("line "):
        error.args = (f"{name}: {error.args[0]}", *error.args[1:])


def read(source: Any, index: Any = -1, errors: str = "raise", behaviour: Behaviour = RULES) -> Frame | list[Frame]:
    """atomkit.read as the walker reads: the frame `index`, or a list for a slice; errors
    named by the file."""
    selection = frame_index(index)
    try:
        frames = list(iread(source, selection, errors, behaviour))
    except ValueError as error:
        named(error, source)
        raise
    return frames[0] if isinstance(selection, int) else frames


def scan(source: Any, behaviour: Behaviour = RULES) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
    """Every frame of `source` read strictly, as atomkit's check reads them: (Frame or the
    ValueError that says why it cannot be read, its comment line); a scan failure is the last
    item (comment None)."""
    with open_input(source) as data:
        try:
            yield from walk(data, (), _ALL, mode="scan", behaviour=replace(behaviour, strict=True))
        except ValueError as error:
            yield error, None
