# The frame scan of the module's reader (behind FrameIndex, atomkit.read and every other read
# path) against the pure-Python scan (index_scan_oracle) and the frame-by-frame walk: the same
# frames, line numbers and Properties, and the same error, on generated files with blank lines,
# a BOM, \r\n, mixed Properties, frames without atoms, unicode and unreadable comment lines and
# bad frames anywhere, over a file's descriptor and over a stream fed a few bytes at a time.
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _atomkit
import index_scan_oracle
import reference_walker
from atomkit.base import files as base_files
from atomkit.base.files import LINE_LIMIT, LineTooLong
from atomkit.reading.reader import Source
from comment_oracle import native_parse as parse
from helpers import examples
from reference_walker import PLAIN_XYZ, Input

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
    offsets, natoms, lines, layouts, properties, ends = got
    for name, a, b in zip(("offsets", "natoms", "lines"), got[:3], want[:3]):
        assert a.dtype == b.dtype and a.tolist() == b.tolist(), name
    assert ends.tolist() == [frame_end(data, offset, count) for offset, count in zip(offsets.tolist(), natoms.tolist())]
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


def frame_end(data, offset, natoms):
    """Just past the line feed of a frame's last line (or the end of the data)."""
    for _ in range(natoms + 2):
        newline = data.find(b"\n", offset)
        offset = len(data) if newline < 0 else newline + 1
    return offset


def reader_scan(path, chunk, line_limit=LINE_LIMIT, threads=0):
    """What the module's reader finds in a file (over its descriptor, or fed as a stream `chunk`
    bytes at a time): (offsets, natoms, lines, layouts, properties, ends), or its failure as
    the package raises it, (type, message)."""
    if chunk is None:
        fd = os.open(path, os.O_RDONLY)
        try:
            reader = _atomkit.Reader(fd, name=str(path), line_limit=line_limit, threads=threads)
            found = reader.scan()
        finally:
            os.close(fd)
    else:
        reader, data = _atomkit.Reader(None, line_limit=line_limit), path.read_bytes()
        for start in range(0, len(data), chunk):
            reader.feed(data[start:start + chunk])
            found = reader.scan()
        reader.finish()
        found = reader.scan()
    assert found.complete
    if found.failure is not None:
        error = Source(reader, str(path)).error(found.failure)
        return type(error), str(error)
    rows = reader.rows
    return rows[:, 0], rows[:, 1], rows[:, 2], rows[:, 3].astype(np.int32), reader.properties, rows[:, 4]


def scan_both(path, chunk, line_limit=LINE_LIMIT, threads=0):
    """The reader's scan and the oracle's (its long-line error worded for `line_limit`)."""
    got = reader_scan(path, chunk, line_limit, threads)
    size = os.path.getsize(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(base_files, "LINE_LIMIT", line_limit)
            want = outcome(lambda: index_scan_oracle.scan(fd, size, str(path), line_limit=line_limit))
    finally:
        os.close(fd)
    return got, want


def walked_starts(data):
    """(offsets, lines) of the frames as the frame-by-frame walk finds them, or its error."""
    starts = []
    try:
        for _ in reference_walker.walk(Input(data), (), 1 << 62, starts=starts):
            pass
    except ValueError as error:
        return type(error), str(error)
    return [offset for offset, _ in starts], [lineno for _, lineno in starts]


@settings(max_examples=examples(300), deadline=None)
@given(files(), st.sampled_from([None, 1, 7, 64, 1000]))
def test_scan_is_the_python_scans(tmp_path_factory, data, chunk):
    path = tmp_path_factory.mktemp("scan") / "frames.xyz"
    path.write_bytes(data)
    got, want = scan_both(path, chunk)
    assert_same_scan(got, want, data)
    walked = walked_starts(data)
    if isinstance(walked[0], type):
        assert got == walked
    else:
        assert (got[0].tolist(), got[2].tolist()) == walked


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
@pytest.mark.parametrize("chunk", [None, 7, 40, 41, 100])
def test_lines_past_the_limit(tmp_path, text, line, chunk):
    path = tmp_path / "frames.xyz"
    data = text.encode()
    path.write_bytes(data)
    got, want = scan_both(path, chunk, line_limit=LONG)
    assert_same_scan(got, want, data)
    if line is None:
        assert isinstance(got[0], np.ndarray)
    else:
        assert got[0] is LineTooLong and got[1].startswith(f"line {line}: longer than {LONG} bytes")


def test_unusual_comment_lines_in_a_stream(tmp_path):
    """Comment lines of one Properties value but for a quoted value or a word before it, and
    one that cannot be read, in a stream fed in 4 KiB chunks: each value is one layout."""
    lines = []
    for k in range(300):
        lines += ["1", f'Lattice="{k} 0 0 0 1 0 0 0 1" Properties=species:S:1:pos:R:3 e={k}', "H 0 0 0"]
        lines += ["1", f"comment=é{k} Properties=species:S:1:pos:R:3:q:R:1", "H 0 0 0 1"]
        lines += ["1", f"plain {k}", "H 0 0 0"]
    path = tmp_path / "frames.xyz"
    path.write_bytes("\n".join(lines).encode() + b"\n1\nk=\xe9\nH 0 0 0\n")
    _, _, _, layouts, properties, _ = reader_scan(path, 4096)
    assert properties == ("species:S:1:pos:R:3", "species:S:1:pos:R:3:q:R:1", None)
    assert layouts.tolist() == [0, 1, 0] * 300 + [2]
