# The frame scan behind FrameIndex and atomkit.read from the end (the module's scanner, window
# by window) against the pure-Python scan it replaced (index_scan_oracle): the same frames,
# line numbers and Properties, and the same error, on generated files with blank lines, a
# BOM, \r\n, mixed Properties, frames without atoms, unicode and unreadable comment lines and
# bad frames anywhere, in windows down to a few bytes.
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import index_scan_oracle
import reference_walker
from atomkit.base.files import LINE_LIMIT, LineTooLong
from atomkit.comment.read import parse
from atomkit.reading import scan as frame_scan
from helpers import examples
from reference_walker import PLAIN_XYZ, TODAY, Input

COMMENTS = [
    "Properties=species:S:1:pos:R:3 e=1",
    'Lattice="{k} 0 0 0 1 0 0 0 1" Properties=species:S:1:pos:R:3:q:R:1 pbc="T T T"',
    'Lattice="1 0 0 0 {k} 0 0 0 1" Properties=species:S:1:pos:R:3:q:R:1 e={k}',
    "PROPERTIES=species:S:1:pos:R:3 step={k}",
    'Properties="species:S:1:pos:R:3"',
    "e={k} Properties=species:S:1:pos:R:3:f:R:1",
    "properties = species:S:1:pos:R:3:f:R:1",
    "plain comment {k}",
    "",
    "  ",
    "comment=é Properties=species:S:1:pos:R:3",
    "Å ångström {k}",
    "x=[[1, 2], [3, 4]] Properties=species:S:1:pos:R:3",
    'names=["a", "b"] Properties=species:S:1:pos:R:3:q:R:1',
    "a=1 a=2",
    'a="open Properties=q:R:1',
    "Properties=a:R:1 Properties=b:R:1",
    "k=\udce9 Properties=species:S:1:pos:R:3",  # an undecodable byte (0xE9), as surrogateescape has it
]
ATOM_LINES = ["H 0 0 0", "O 1.5 -2 3e-3", "5", "", "  ", "Si\t1 2 3 T"]
BLANK_LINES = ["", " ", "\t", "\r", " \x0b\x0c "]


def encoded(line):
    return line.encode("utf-8", "surrogateescape")


@st.composite
def frame_lines(draw, k):
    natoms = draw(st.integers(0, 4))
    count = draw(st.sampled_from([str(natoms), f" {natoms} ", f"+{natoms}", f"0{natoms}", f"{natoms}\t"]))
    comment = draw(st.sampled_from(COMMENTS)).format(k=k)
    return [count, comment] + [draw(st.sampled_from(ATOM_LINES)) for _ in range(natoms)]


@st.composite
def files(draw, bad=True):
    """A file of frames and runs of blank lines, perhaps with a bad frame somewhere."""
    lines = []
    for k in range(draw(st.integers(0, 8))):
        if draw(st.booleans()):
            lines += draw(st.lists(st.sampled_from(BLANK_LINES), min_size=1, max_size=3))
        lines += draw(frame_lines(k))
    ending = "\n"
    if bad and draw(st.booleans()):
        kind = draw(st.sampled_from(["bad count", "negative", "count at the end", "cut short", "no comment"]))
        at = draw(st.integers(0, len(lines)))
        if kind == "bad count":
            lines[at:at] = ["x"]
        elif kind == "negative":
            lines[at:at] = ["-2", "c", "H 0 0 0"]
        elif kind == "count at the end":
            lines.append("3")
            ending = ""
        elif kind == "cut short":
            lines += ["3", "Properties=species:S:1:pos:R:3", "H 0 0 0"]
        else:
            lines.append("2")
    newline = draw(st.sampled_from(["\n", "\r\n"]))
    text = newline.join(lines) + (newline if lines and ending and draw(st.booleans()) else "")
    data = encoded(text)
    if draw(st.booleans()):
        data = b"\xef\xbb\xbf" + data
    return data


def outcome(scan):
    """The arrays a scan gives, or its error as (type, message)."""
    try:
        return scan()
    except ValueError as error:
        return type(error), str(error)


def readable(comment):
    try:
        parse(str(comment, "utf-8"))
        return True
    except ValueError:
        return False


def comment_lines(data, offsets):
    return [data[offset:].split(b"\n", 2)[1] if data[offset:].count(b"\n") else b"" for offset in offsets.tolist()]


def assert_same_scan(got, want, data):
    if isinstance(want, tuple) and isinstance(want[0], type):
        assert got == want
        return
    assert not (isinstance(got, tuple) and isinstance(got[0], type)), got
    offsets, natoms, lines, layouts, properties = got
    for name, a, b in zip(("offsets", "natoms", "lines"), got[:3], want[:3]):
        assert a.dtype == b.dtype and a.tolist() == b.tolist(), name
    assert layouts.dtype == want[3].dtype == np.int32
    # Layouts are numbered as they first appear, each string once.
    assert len(set(properties)) == len(properties)
    assert all(layouts[:k].max(initial=-1) + 1 >= layouts[k] for k in range(len(layouts)))
    comments = comment_lines(data, offsets)
    if all(readable(comment) for comment in comments):
        assert layouts.tolist() == want[3].tolist() and properties == want[4]
    # Lines the reader refuses may name anything; every other frame names what the parser finds.
    for k, comment in enumerate(comments):
        if readable(comment):
            named = parse(str(comment, "utf-8"))[0]
            assert properties[layouts[k]] == (PLAIN_XYZ if named is None else named), comment
            assert want[4][want[3][k]] == properties[layouts[k]]


def scan_both(path, window, line_limit=LINE_LIMIT):
    size = os.path.getsize(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        got = outcome(lambda: frame_scan.scan(fd, size, str(path), window=window, line_limit=line_limit))
        # (As the package reads today: a failure after a refused frame is not that frame's.)
        want = outcome(lambda: index_scan_oracle.scan(fd, size, str(path), line_limit=line_limit, behaviour=TODAY))
        starts = outcome(lambda: frame_scan.frame_starts(fd, size, str(path), line_limit))
    finally:
        os.close(fd)
    return got, want, starts


def walked_starts(data):
    """(offsets, lines) of the frames as atomkit.read walks data held whole, or its error."""
    starts = []
    try:
        for _ in reference_walker.walk(Input(data), (), 1 << 62, starts=starts, behaviour=TODAY):
            pass
    except ValueError as error:
        return type(error), str(error)
    return [offset for offset, _ in starts], [lineno for _, lineno in starts]


@settings(max_examples=examples(300), deadline=None)
@given(files(), st.sampled_from([None, 1, 7, 64, 1000]))
def test_scan_is_the_python_scans(tmp_path_factory, data, window):
    path = tmp_path_factory.mktemp("scan") / "frames.xyz"
    path.write_bytes(data)
    got, want, starts = scan_both(path, window)
    assert_same_scan(got, want, data)
    # atomkit.read from the end finds the frames where its own walk does, with its errors.
    walked = walked_starts(data)
    if isinstance(starts, tuple) and isinstance(starts[0], type):
        assert starts == walked
    else:
        assert (starts[0].tolist(), starts[1].tolist()) == walked


LONG = 40  # bytes of the longest line in the tests below


@pytest.mark.parametrize("text, line", [
    ("1\nx\nH 0 0 0\n" + "2\ny\n" + "H" * 60 + "\nO\n", 6),           # an atom line
    ("1\nx\nH 0 0 0\n" + "\n" + " " * 60 + "\n1\nx\nH\n", 5),        # a blank line
    ("1\nx\nH 0 0 0\n" + "1\n" + "c" * 60 + "\nH\n", 5),              # a comment line
    ("1\nx\nH 0 0 0\n" + "1" + " " * 60 + "\nx\nH\n", 4),             # a count line
    ("1\nx\nH 0 0 0\n" + " " * 60, 4),                                # the last line, without its end
    ("1\nx\nH 0 0 0\n" + "9\nx\nH\n" + "y" * 60, 7),                  # inside a frame cut short
    ("\ufeff" + " " * 38 + "\n1\nx\nH\n", 1),                         # a first line with a BOM
    ("1\nx\nH 0 0 0\n" + " " * 40 + "\n", None),                      # lines of the limit are read
    ("5\nx\n" + "\n".join(["H" * 40] * 5) + "\n" + " " * 40, None),
])
@pytest.mark.parametrize("window", [None, 7, 40, 41, 100])
def test_lines_past_the_limit(tmp_path, text, line, window):
    path = tmp_path / "frames.xyz"
    data = text.encode()
    path.write_bytes(data)
    got, want, starts = scan_both(path, window, line_limit=LONG)
    assert_same_scan(got, want, data)
    if line is None:
        assert isinstance(starts[0], np.ndarray)
    else:
        assert got[0] is LineTooLong and got[1].startswith(f"line {line}: longer than") and starts == got


def test_unusual_comment_lines_are_asked_once_per_value(tmp_path, monkeypatch):
    """The scanner answers comment lines by itself once it knows their value: Python names
    each new value once, and each line only it can read."""
    asked = []
    named_properties = frame_scan.PropertiesNames.named_properties

    def counting(names, comment):
        asked.append(comment)
        return named_properties(names, comment)

    monkeypatch.setattr(frame_scan.PropertiesNames, "named_properties", counting)
    lines = []
    for k in range(300):
        lines += ["1", f'Lattice="{k} 0 0 0 1 0 0 0 1" Properties=species:S:1:pos:R:3 e={k}', "H 0 0 0"]
        lines += ["1", f"comment=é{k} Properties=species:S:1:pos:R:3:q:R:1", "H 0 0 0 1"]
        lines += ["1", f"plain {k}", "H 0 0 0"]
    data = "\n".join(lines).encode() + b"\n1\nk=\xe9\nH 0 0 0\n"
    path = tmp_path / "frames.xyz"
    path.write_bytes(data)
    fd = os.open(path, os.O_RDONLY)
    try:
        _, _, _, layouts, properties = frame_scan.scan(fd, len(data), str(path), window=4096)
    finally:
        os.close(fd)
    assert properties == ("species:S:1:pos:R:3", "species:S:1:pos:R:3:q:R:1", None)
    assert layouts.tolist() == [0, 1, 0] * 300 + [2]
    # Windows of 4 KiB forget what they learnt of the last line, not the values known.
    assert len(asked) == 3
