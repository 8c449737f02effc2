# The differential harness of the read paths: every public way of reading a file, and the
# reference walker, run on the same bytes, each result reduced to a comparable outcome, and the
# relations the paths must keep.
"""Outcomes of the read paths on one input, and the disagreements between them."""
from __future__ import annotations

import contextlib
import gzip
import io
import os
import random
import re
import warnings
import zlib
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Callable

import numpy as np
from hypothesis import strategies as st

import _atomkit
import atomkit
import reference_walker
from atomkit.cli import main as cli

NAME = "<file>"
THREADS = (1, 2, 7)


def value(v: Any) -> Any:
    """A value reduced to something == compares exactly: its type, dtype (str width included),
    shape and bits, so that 1 and 1.0, U1 and U2, NaN and NaN compare as they should."""
    if isinstance(v, np.ndarray):
        if v.dtype == object:
            return ("O", v.shape, tuple(value(x) for x in v.ravel().tolist()))
        return (v.dtype.str, v.shape, np.ascontiguousarray(v).tobytes())
    if isinstance(v, (list, tuple)):
        return (type(v).__name__, tuple(value(x) for x in v))
    if isinstance(v, float):
        return ("float", v.hex())
    if isinstance(v, np.generic):
        return (type(v).__name__, value(v.item()))
    return (type(v).__name__, v)


def frame_value(frame: Any) -> tuple:
    return (type(frame).__name__,
            None if frame.symbols is None else value(frame.symbols),
            tuple((name, value(a)) for name, a in frame.arrays.items()),
            None if frame.lattice is None else value(frame.lattice),
            value(frame.pbc),
            tuple((key, value(v)) for key, v in frame.info.items()))


def error_value(error: BaseException, names: tuple[str, ...]) -> tuple:
    """(type, errno or None, message): every name of the file replaced by NAME and a leading
    "NAME: " dropped, since a stream without a name has none; `named` below says it was there."""
    message = str(error)
    for name in names:
        message = message.replace(name, NAME)
    return (type(error).__name__, getattr(error, "errno", None), message.removeprefix(f"{NAME}: "))


def shown(text: str, names: tuple[str, ...]) -> str:
    for name in names:
        text = text.replace(name, NAME)
    return text


@dataclass(frozen=True)
class Outcome:
    """What a path gave: the frames it returned (or yielded before its error), the
    SkippedFrameWarning messages in order, and its error or None. `named`: an error or warning
    that should name the file did (None for a source without a name)."""
    frames: tuple
    warnings: tuple = ()
    error: tuple | None = None
    named: bool | None = None

    def same(self) -> tuple:
        return self.frames, self.warnings, self.error

    def describe(self) -> str:
        return f"{len(self.frames)} frames, warnings {list(self.warnings)}, error {self.error}"


def skipped_message(text: str) -> str:
    return text.split(": skipped the frame at ", 1)[-1]


def run(call: Callable[[], Any], names: tuple[str, ...], own: str | None) -> Outcome:
    """Runs a read path, collecting what it yields up to its error and what it warns."""
    frames: list = []
    error = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            for frame in call():
                frames.append(frame_value(frame))
        except (ValueError, OSError, IndexError) as raised:
            error = raised
    skipped = [str(w.message) for w in caught if issubclass(w.category, atomkit.SkippedFrameWarning)]
    messages = skipped + ([str(error)] if error is not None else [])
    is_named = all(m.startswith(f"{own}: ") for m in messages) if own else None
    return Outcome(tuple(frames), tuple(skipped_message(shown(w, names)) for w in skipped),
                   None if error is None else error_value(error, names), is_named)


class Trickle(io.BytesIO):
    """A stream that gives a few bytes a read (at most a 64th of its data, 7 at least), as a
    slow pipe does: frames come cut anywhere."""

    def __init__(self, data: bytes):
        super().__init__(data)
        self.step = max(7, len(data) // 64)

    def read(self, size: int | None = -1) -> bytes:
        return super().read(self.step if size is None or size < 0 else min(size, self.step))

    read1 = read


def split_frames(call: Callable[[], Any]) -> Any:
    """call() with every frame of 2 atoms or more parsed in parts at once: a wave a frame, which
    leaves the other thread free for the frame's rows; and a file read 16 bytes at once, so that
    a frame of more than 64 bytes has its atom lines read a window at a time, in pieces."""
    threshold = _atomkit._set_parallel_threshold(2)
    tuning = _atomkit._set_reader_tuning(1, 1 << 62, 16)
    try:
        return call()
    finally:
        _atomkit._set_reader_tuning(*tuning)
        _atomkit._set_parallel_threshold(threshold)


class Paths:
    """Every read path on the bytes `data`, written to `folder` as a plain file (and a gzip copy
    of another name when asked for); each outcome computed once, when first asked for."""

    def __init__(self, data: bytes, folder: str):
        self.data, self._outcomes = data, {}
        self.path = os.path.join(folder, "frames.xyz")
        with open(self.path, "wb") as out:
            out.write(data)
        # The longer name first: the gzip copy's is replaced before the plain file's.
        self.names = (os.path.join(folder, "copy.xyz.gz"), self.path)

    def _run(self, call: Callable[[], Any]) -> Outcome:
        return run(call, self.names, self.path)

    @cached_property
    def gz(self) -> str:
        gz = self.names[0]
        with gzip.open(gz, "wb") as out:
            out.write(self.data)
        return gz

    def calls(self, errors: str) -> dict[str, Callable[[], Any]]:
        p = self.path
        return {
            "read": lambda: atomkit.read(p, ":", errors=errors),
            "iread": lambda: atomkit.iread(p, errors=errors),
            **{f"read_table/{t}": (lambda t=t: atomkit.read_table(p, threads=t, errors=errors)) for t in THREADS},
            "read_table/split": lambda: split_frames(lambda: atomkit.read_table(p, threads=2, errors=errors)),
            "BytesIO": lambda: atomkit.read(io.BytesIO(self.data), ":", errors=errors),
            "BytesIO/split": lambda: split_frames(lambda: atomkit.read(io.BytesIO(self.data), ":", errors=errors)),
            "trickle": lambda: atomkit.read(Trickle(self.data), ":", errors=errors),
            "gzip": lambda: atomkit.read(self.gz, ":", errors=errors),
            # The reference walker: what every path must read, and what it reads the way the
            # package reads today.
            "oracle": lambda: reference_walker.read(p, ":", errors=errors),
            "oracle/today": lambda: reference_walker.read(p, ":", errors=errors, behaviour=reference_walker.TODAY),
        }

    def outcome(self, errors: str, name: str) -> Outcome:
        """Path `name` ("read", "iread", "read_table/T", "BytesIO", "trickle", "gzip", "oracle",
        "oracle/today") with `errors`."""
        key = (errors, name)
        if key not in self._outcomes:
            own = {"BytesIO": "", "BytesIO/split": "", "trickle": "", "gzip": self.names[0]}.get(name, self.path)
            self._outcomes[key] = run(self.calls(errors)[name], self.names, own)
        return self._outcomes[key]

    @cached_property
    def index(self) -> tuple[Outcome | None, list[Outcome], Outcome | None, list[int]]:
        """FrameIndex: (the error building it, or None; index[k] for every k, each one frame or
        its error; index.table(); the frames' offsets)."""
        try:
            index = atomkit.FrameIndex(self.path, use_saved=False)
        except (ValueError, OSError) as error:
            return self._run(lambda: raise_(error)), [], None, []
        with index:
            items = [self._run(lambda k=k: [index[k]]) for k in range(len(index))]
            return None, items, self._run(index.table), index.offsets.tolist()

    def count_lines(self, errors: str) -> list[int] | None:
        """The count lines of the frames a table of `errors` holds (every frame, or those
        index[k] reads), from the index's offsets; None where no index can be built."""
        built_error, items, _, offsets = self.index
        if built_error is not None:
            return None
        lines = [self.data.count(b"\n", 0, offset) + 1 for offset in offsets]
        return [line for line, item in zip(lines, items) if errors == "raise" or item.frames]

    def table(self, errors: str) -> Any:
        """read_table(path, errors=errors), or None where it raises."""
        key = f"table/{errors}"
        if key not in self._outcomes:
            try:
                self._outcomes[key] = atomkit.read_table(self.path, errors=errors)
            except ValueError:
                self._outcomes[key] = None
        return self._outcomes[key]

    @cached_property
    def check(self) -> tuple[list[str], str | None, int]:
        """`atomkit check`, run in-process: the bad frames it lists, the line it says a file
        could not be read with (after every bad frame), both without the file's name; its status."""
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = cli.main(["check", "-q", self.path])
        bad = [line.removeprefix(f"{self.path}: ") for line in out.getvalue().splitlines()[:-1]]
        fatal = err.getvalue().strip() or None
        if fatal is not None:
            fatal = fatal.removeprefix(f"atomkit: {self.path}: ").removeprefix("cannot read it: ")
        return [shown(b, self.names) for b in bad], fatal and shown(fatal, self.names), status


def raise_(error: BaseException) -> Any:
    raise error


# ---- the relations -------------------------------------------------------------------------
# Each returns the disagreements it finds, as lines for a report; [] when the paths agree.

KIND_NAMES = {"f": "float", "i": "int", "b": "bool", "U": "str"}
SPECIES = "column 'species'"  # a species column that is not one str an atom: worded its own way


def atom_columns(frame: tuple) -> list[tuple[str, tuple[str, int]]]:
    """(name, (kind, width)) of a frame value's per-atom columns, the symbols as "species"."""
    columns = [] if frame[1] is None else [("species", ("U", 1))]
    for name, (dtype, shape, _) in frame[2]:
        columns.append((name, (dtype[1:2], shape[1] if len(shape) > 1 else 1)))
    return columns


def expected_clash(frames: tuple, lines: list[int] | None) -> str | None:
    """The error a table of `frames` (count lines `lines`; None: unknown, written "#") must
    raise: the first per-atom column whose kind or width differs from its first frame's."""
    first: dict[str, tuple[int, tuple[str, int]]] = {}

    def said(kind: tuple[str, int]) -> str:
        return f"{KIND_NAMES.get(kind[0], kind[0])} of width {kind[1]}"

    for b, frame in enumerate(frames):
        for name, kind in atom_columns(frame):
            if name == "species" and frame[1] is None:
                return SPECIES
            a, was = first.setdefault(name, (b, kind))
            if kind != was:
                at = (lambda k: "#") if lines is None else lines.__getitem__
                return (f"line {at(b)}: column {name!r} is {said(was)} in frame {a} but {said(kind)} in frame {b} "
                        f"(frame {a} at line {at(a)})")
    return None


def clash_core(message: str) -> str:
    """A clash message without the lines it names."""
    return re.sub(r"^line \S+: | \(frame [0-9]+ at line \S+\)$", "", message)


def table_clash(paths: Paths, errors: str) -> tuple[str | None, bool]:
    """The clash a table of `errors` must raise, or None; and whether its lines are known."""
    lines = paths.count_lines(errors)
    return expected_clash(paths.outcome(errors, "iread").frames, lines), lines is not None


def disagreement(name: str, got: Outcome, want: Outcome, other: str = "read") -> list[str]:
    return [f"{name}: {got.describe()}; {other}: {want.describe()}" +
            ("; frames differ" if got.frames != want.frames and got.frames and want.frames else "")]


def same_as_read(paths: Paths, errors: str, names: tuple[str, ...]) -> list[str]:
    """Paths `names` give read(":")'s frames, warnings and error, and name the file in them;
    iread yields the frames before its error too; a table raises where it cannot stack a
    column of the frames (that error's wording is the relation below)."""
    want = paths.outcome(errors, "read")
    found = []
    clash = table_clash(paths, errors)[0] if names[0].startswith("read_table") else None
    for name in names:
        got = paths.outcome(errors, name)
        if name == "iread" and want.error is not None:
            agree = got.error == want.error and got.warnings == want.warnings
        elif clash is not None:
            agree = bool(got.error) and (clash_core(clash) in got.error[2] or got.error == want.error)
        else:
            agree = got.same() == want.same()
        if got.named is False and clash is None:  # a clash's wording is the relation below
            found.append(f"{name}: a message does not name the file")
        found += [] if agree else disagreement(name, got, want)
    return found


def oracle_where_no_rule_applies(paths: Paths, errors: str) -> list[str]:
    """Where the walker reads an input the same by the rules and the way the package reads
    today (no rule changes its outcome), read(":") gives the walker's frames, warnings and error."""
    if paths.outcome(errors, "oracle").same() != paths.outcome(errors, "oracle/today").same():
        return []
    return same_as_read(paths, errors, ("oracle",))


def clash_is_worded(paths: Paths) -> list[str]:
    """A per-atom column a table cannot stack: "line Lb: column 'x' is K1 in frame a but K2 in
    frame b (frame a at line La)", named by the file, on any number of threads."""
    clash, _ = table_clash(paths, "raise")
    if clash is None or clash == SPECIES or paths.outcome("raise", "read").error is not None:
        return []
    found = []
    for t in THREADS:
        got = paths.outcome("raise", f"read_table/{t}")
        if got.error != ("ValueError", None, clash) or not got.named:
            found.append(f"read_table/{t} raises {got.error and got.error[2]!r} (named: {got.named}), not {clash!r}")
    return found


def raise_is_first_refusal(paths: Paths) -> list[str]:
    """errors="raise" stops at the first frame errors="skip" leaves out (or at its fatal error),
    keeping the frames before it; without refusals both read the same frames."""
    strict, lenient = paths.outcome("raise", "iread"), paths.outcome("skip", "iread")
    first = lenient.warnings[0] if lenient.warnings else lenient.error and lenient.error[2]
    found = []
    if (strict.error and strict.error[2]) != first:
        found.append(f"raise ends with {strict.error}; skip's first refusal is {first!r}")
    if strict.frames != lenient.frames[:len(strict.frames)] or (first is None and strict.frames != lenient.frames):
        found.append(f"raise keeps {len(strict.frames)} frames, not skip's first ones ({len(lenient.frames)})")
    return found


def index_fails_as_read(paths: Paths) -> list[str]:
    """Building a FrameIndex raises exactly when read(skip) ends with an error, and that error."""
    built_error = paths.index[0]
    got, want = built_error and built_error.error, paths.outcome("skip", "iread").error
    return [] if got == want else [f"FrameIndex: {got}; read(skip) ends with {want}"]


def index_is_read(paths: Paths) -> list[str]:
    """index[k] for every k: the frames read(skip) keeps, and the skipped frames' errors in
    order, named by the file."""
    built_error, items, _, _ = paths.index
    lenient = paths.outcome("skip", "iread")
    if built_error is not None or lenient.error is not None:
        return []
    frames = tuple(f for item in items for f in item.frames)
    errors = tuple(item.error[2] for item in items if item.error)
    found = []
    if frames != lenient.frames:
        found.append(f"index[k]: {len(frames)} frames; read(skip) keeps {len(lenient.frames)}" +
                     (" (equal in number, not in value)" if len(frames) == len(lenient.frames) else ""))
    if errors != lenient.warnings:
        found.append(f"index[k] errors {list(errors)}; read(skip) warns {list(lenient.warnings)}")
    if any(item.named is False for item in items):
        found.append("index[k]: an error does not name the file")
    return found


def index_table_is_read_table(paths: Paths) -> list[str]:
    built_error, _, table, _ = paths.index
    if built_error is not None:
        return []
    want = paths.outcome("raise", "read_table/2")
    return [] if table.same() == want.same() else disagreement("index.table()", table, want, "read_table")


def check_is_skip(paths: Paths) -> list[str]:
    """check lists the frames read(skip) leaves out, with the same messages, then its fatal error."""
    bad, fatal, status = paths.check
    lenient = paths.outcome("skip", "read")
    want = list(lenient.warnings) + ([lenient.error[2]] if lenient.error else [])
    got = bad + ([fatal] if fatal else [])
    found = [] if got == want else [f"check: {got}; read(skip): {want}"]
    if status != (2 if fatal else 1 if bad else 0):
        found.append(f"check exits with {status} after {len(bad)} bad frames, fatal {fatal!r}")
    return found


def tables(paths: Paths) -> list[tuple[str, Any]]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", atomkit.SkippedFrameWarning)
        return [(errors, table) for errors in ("raise", "skip") if (table := paths.table(errors)) is not None]


def table_rows_are_frames(paths: Paths) -> list[str]:
    """table[k] is read's frame k, dtypes and str widths included."""
    found = []
    for errors, table in tables(paths):
        rows = tuple(frame_value(table[k]) for k in range(len(table)))
        if rows != paths.outcome(errors, "read").frames:
            found.append(f"table[k] differs from read's frame k, errors={errors}")
    return found


def table_str_info_fills(paths: Paths) -> list[str]:
    """A str info column is "" in the frames that lack its key."""
    found = []
    for errors, table in tables(paths):
        for key, column in table.info.items():
            absent = ~np.asarray(table.info_present[key])
            if column.dtype.kind == "U" and not (column[absent] == "").all():
                found.append(f"info[{key!r}] is {column[absent].tolist()} where absent, errors={errors}")
    return found


def table_species_in_order(paths: Paths) -> list[str]:
    """table.species holds the species of the frames read, in order of first appearance."""
    found = []
    for errors, table in tables(paths):
        index = np.asarray(table.species_index)
        order = list(dict.fromkeys(index[index >= 0].tolist()))
        if order != list(range(len(table.species))):
            found.append(f"species {table.species.tolist()}, met as {order}, errors={errors}")
    return found


TABLES = (*(f"read_table/{t}" for t in THREADS), "read_table/split")
RELATIONS: dict[str, Callable[[Paths], list[str]]] = {
    **{f"{' '.join(names)} == read, errors={errors}": (lambda paths, errors=errors, names=names:
                                                        same_as_read(paths, errors, names))
       for names in (("iread",), TABLES, ("BytesIO", "BytesIO/split", "trickle", "gzip"), ("oracle",)) for errors in ("raise", "skip")},
    **{f"oracle == read where no rule changes the outcome, errors={errors}":
       (lambda paths, errors=errors: oracle_where_no_rule_applies(paths, errors)) for errors in ("raise", "skip")},
    "a table's column clash names the file and both lines": clash_is_worded,
    "raise stops at skip's first refusal": raise_is_first_refusal,
    "FrameIndex fails as read(skip) ends": index_fails_as_read,
    "index[k] is read(skip)": index_is_read,
    "index.table() is read_table": index_table_is_read_table,
    "check is read(skip)": check_is_skip,
    "table[k] is read's frame k": table_rows_are_frames,
    "table str info is '' where absent": table_str_info_fills,
    "table species in order of first appearance": table_species_in_order,
}


# ---- the inputs ----------------------------------------------------------------------------

TOKENS = {
    "S": st.sampled_from(["H", "O", "Si", "Xx", "é", "a_b", "1", "T", "Uuo", "ß"]),
    "R": st.one_of(st.sampled_from(["0", "1.5", "-2.25e-3", "1E5", "3", "-0.0", ".5", "7."]),
                   st.floats(allow_nan=False, allow_infinity=False).map(repr)),
    "I": st.integers(-10**6, 10**6).map(str),
    "L": st.sampled_from(["T", "F", "True", "False", "TRUE", "false"]),
}
# Comment-line values by kind: what the frames of one file give one key may change kind.
VALUES = {
    "int": st.integers(-10**12, 10**12).map(str),
    "float": st.sampled_from(["1.5", "-3e-2", "2.", "1E3", "-0.0"]),
    "bool": st.sampled_from(["T", "F", "True", "false"]),
    "str": st.sampled_from(["abc", "x_y", "é", '"a b"', '"q \\" q"', "'s q'", '""']),
    "array": st.sampled_from(['"1 2 3"', "[1, 2, 3]", "{1.5 2 3}", '"1.5 -2 0.25"', "[T, F, T]", '["a", "bc"]']),
    "matrix": st.sampled_from(['"1 2 3 4 5 6 7 8 9"', '"0.5 0 0 0 0.5 0 0 0 0.5"']),
    "nested": st.sampled_from(["[[1, 2], [3, 4]]", "[[1.5], [2]]", "[[T, F]]"]),
    "huge": st.just("123456789012345678901234567890"),
}
KEYS = ["e", "cfg", "n", "names", "stress", "virial", "flag", "step"]
COLUMNS = ["pos", "forces", "q", "tag", "fixed", "label"]


@st.composite
def layouts(draw):
    """Columns as (name, kind, count), or None for a comment line without Properties."""
    if draw(st.integers(0, 9)) == 0:
        return None
    columns = [("species", "S", 1)] if draw(st.booleans()) else []
    for name in draw(st.lists(st.sampled_from(COLUMNS), unique=True, min_size=0 if columns else 1, max_size=3)):
        columns.append((name, draw(st.sampled_from("SRIL")), draw(st.integers(1, 3))))
    return columns


@st.composite
def frame_text(draw, layout, keys):
    natoms = draw(st.integers(0, 5))
    columns = [("species", "S", 1), ("pos", "R", 3)] if layout is None else layout
    items = []
    if layout is not None:
        items.append("Properties=" + ":".join(f"{n}:{k}:{c}" for n, k, c in layout))
        if draw(st.booleans()):
            items.append(f'Lattice="{draw(st.integers(1, 9))} 0 0 0 {draw(TOKENS["R"])} 0 0 0 1.5"')
        if draw(st.booleans()):
            items.append(f'pbc="{" ".join(draw(st.lists(st.sampled_from("TF"), min_size=3, max_size=3)))}"')
        for key, kind in keys.items():
            if draw(st.integers(0, 3)):  # keys present in some frames only, of a kind that may change
                kind = kind if draw(st.integers(0, 4)) else draw(st.sampled_from(sorted(VALUES)))
                items.append(f"{key}={draw(VALUES[kind])}")
        items = draw(st.permutations(items))
    comment = " ".join(items) if layout is not None else draw(st.sampled_from(["", "plain words", "Å"]))
    atoms = [" ".join(draw(TOKENS[kind]) for _, kind, count in columns for _ in range(count)) for _ in range(natoms)]
    return [str(natoms), comment, *atoms]


@st.composite
def valid_files(draw):
    """Files every path should read whole: varied Properties and comment values, blank
    lines between frames, a BOM, CRLF line ends, no final line feed."""
    shapes = draw(st.lists(layouts(), min_size=1, max_size=3))
    keys = draw(st.dictionaries(st.sampled_from(KEYS), st.sampled_from(sorted(VALUES)), max_size=4))
    lines: list[str] = []
    for _ in range(draw(st.integers(0, 5))):
        if lines and draw(st.integers(0, 3)) == 0:
            lines += draw(st.sampled_from([[""], [" "], ["", "\t"]]))
        lines += draw(frame_text(draw(st.sampled_from(shapes)), keys))
    newline = draw(st.sampled_from(["\n", "\r\n"]))
    text = newline.join(lines) + (newline if lines and draw(st.booleans()) else "")
    return ("\ufeff" if draw(st.integers(0, 5)) == 0 else "").encode() + text.encode()


def _lines(data: bytes) -> list[bytes]:
    return data.split(b"\n")


def mutate(data: bytes, rng: random.Random) -> bytes:
    """`data` damaged once: a byte flipped, deleted or inserted, a line duplicated or deleted,
    an atom line given an extra token, a count line changed, or the file cut short."""
    kind = rng.choice(["flip", "delete", "insert", "duplicate", "drop", "extra", "count", "cut"])
    if not data:
        return b"1\n"
    at = rng.randrange(len(data))
    if kind == "flip":
        return data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:]
    if kind == "delete":
        return data[:at] + data[at + 1:]
    if kind == "insert":
        return data[:at] + bytes([rng.choice(b'0 .\n-xT"=[]{}\t\r')]) + data[at:]
    if kind == "cut":
        return data[:at]
    lines = _lines(data)
    i = rng.randrange(len(lines))
    if kind == "duplicate":
        lines.insert(i, lines[i])
    elif kind == "drop":
        del lines[i]
    elif kind == "extra":
        atom_lines = [j for j, line in enumerate(lines) if len(line.split()) > 1 and b"=" not in line] or [i]
        j = rng.choice(atom_lines)
        lines[j] = lines[j].rstrip(b"\r") + rng.choice([b" 7", b" x", b"\t1.5"])
    else:
        counts = [j for j, line in enumerate(lines) if line.strip().isdigit()] or [i]
        j = rng.choice(counts)
        n = int(lines[j]) if lines[j].strip().isdigit() else 0
        lines[j] = rng.choice([str(n + 1), str(max(n - 1, 0)), str(n + 2), "x", "-1", ""]).encode()
    return b"\n".join(lines)


def mutants(data: bytes, count: int, seed: int = 0) -> list[bytes]:
    """`count` damaged copies of `data`, the same ones every run."""
    rng = random.Random(zlib.crc32(data) + seed)
    return [mutate(data, rng) for _ in range(count)]


def head(path: str, frames: int = 3, size: int = 1 << 16) -> bytes:
    """The first `frames` frames of a file, fewer past `size` bytes (one at least), or its
    first lines where they do not parse."""
    with open(path, "rb") as source:
        lines = source.read().split(b"\n")
    end = 0
    try:
        for _ in range(frames):
            if end and sum(map(len, lines[:end])) > size:
                break
            end += int(lines[end]) + 2
    except (ValueError, IndexError):
        end = end or 12
    return b"\n".join(lines[:end]) + b"\n"
