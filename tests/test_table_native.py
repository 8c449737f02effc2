# The module's reader against the frame-by-frame reader: files of every comment-line form and
# random files of frames with random values, read as a table equal to their frames read one by
# one (or failing as they fail), on one thread and on several, in one run or many, from a file
# or a stream; atomkit.read and iread (frames cut from the reader's runs), str widths included;
# the check command's walk; a table written as its frames are.
import io
import os
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import atomkit
import reference_walker
from atomkit.base import files
from atomkit.reading import api as reading_api, reader
from atomkit.writing import table_write
from comment_oracle import native_parse as parse
from test_index_scan import assert_same_scan as assert_same_rows, scan_both
from test_package_read import BRACKETED, FORTRAN, PLAIN_XYZ, QUOTING, SPECIES_LESS, STRING_COLUMNS


def assert_same(got, want, str_widths=False):
    """Frames read from the same text: equal values of equal types, NaN included (and str
    arrays as wide, with `str_widths`)."""
    assert (got.symbols is None) == (want.symbols is None)
    if want.symbols is not None:
        assert got.symbols.tolist() == want.symbols.tolist()
        assert not str_widths or got.symbols.dtype == want.symbols.dtype
    for name, values in [*want.arrays.items(), ("(lattice)", want.lattice)]:
        other = got.lattice if name == "(lattice)" else got.arrays[name]
        assert (other is None) == (values is None)
        if values is not None:
            assert other.shape == values.shape and (other.dtype == values.dtype or (
                not str_widths and other.dtype.kind == values.dtype.kind == "U"))
            assert np.array_equal(other, values, equal_nan=values.dtype.kind == "f")
    assert list(got.arrays) == list(want.arrays) and got.pbc == want.pbc
    assert list(got.info) == list(want.info)
    for key, value in want.info.items():
        other = got.info[key]
        assert type(other) is type(value), key
        if isinstance(value, np.ndarray):
            assert other.dtype == value.dtype and other.shape == value.shape
            assert np.array_equal(other, value, equal_nan=value.dtype.kind == "f")
        else:
            assert other == value or (value != value and other != other), key


def assert_table_is_read(tmp_path, text, threads=(1, 3)):
    path = tmp_path / "t.xyz"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    try:
        want = list(walked(path, ":"))
    except ValueError as error:
        for read in [lambda: atomkit.read(path, ":")] + [lambda count=count: atomkit.read_table(path, threads=count) for count in threads]:
            with pytest.raises(ValueError) as raised:
                read()
            assert str(raised.value) == str(error)
        with pytest.raises(ValueError) as raised:
            streamed(path)
        assert str(raised.value) == str(error).removeprefix(f"{path}: ")
        return
    for got, frame in zip(atomkit.read(path, ":"), want, strict=True):  # cut from one run
        assert_same(got, frame, str_widths=True)
    with pytest.MonkeyPatch.context() as patch:  # cut from runs of a few frames, backwards too
        in_runs(patch, 200)
        for got, frame in zip(atomkit.iread(path, "::-2"), want[::-2], strict=True):
            assert_same(got, frame, str_widths=True)
    for count, runs in [(count, False) for count in threads] + [(1, True)]:
        with pytest.MonkeyPatch.context() as patch, open(path, "rb") as stream:
            if runs:  # a stream read a few frames a call: the calls' columns joined
                in_runs(patch, 200)
            table = atomkit.read_table(stream if runs else path, threads=count)
        assert len(table) == len(want)
        for got, frame in zip(table, want):
            assert_same(got, frame)
    for got, frame in zip(streamed(path), want, strict=True):
        assert_same(got, frame)
    # Written a batch of frames at a time, as its frames are one by one.
    for batch in (None, 7):
        with pytest.MonkeyPatch.context() as patch:
            if batch:
                patch.setattr(table_write, "_BATCH_ATOMS", batch)
            assert written(table) == written(want)


def in_runs(patch, most, chunk=None):
    """Reads in many runs: runs of about `most` bytes of text (iread, and reads of a stream),
    a stream fed `chunk` bytes at a time."""
    patch.setattr(reader, "RUN_BYTES", most)
    if chunk is not None:
        patch.setattr(files, "FIRST_CHUNK", chunk)
        patch.setattr(files, "CHUNK", chunk)


def streamed(path):
    """The table of a file object read a few bytes at a time: the tables of its runs joined."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(files, "CHUNK", 5)
        return atomkit.read_table(io.BytesIO(path.read_bytes()))


def walked(source, index, errors="raise"):
    """The frames of `source` as the frame-by-frame reader reads them, errors named by file."""
    try:
        yield from reference_walker.iread(source, index, errors)
    except ValueError as error:
        reference_walker.named(error, source)
        raise


def written(frames):
    out = io.BytesIO()
    atomkit.write(out, frames)
    return out.getvalue()


@pytest.mark.parametrize("text", [BRACKETED, QUOTING, FORTRAN, SPECIES_LESS, STRING_COLUMNS, PLAIN_XYZ])
def test_every_comment_form(tmp_path, text):
    assert_table_is_read(tmp_path, text * 3)
    assert_table_is_read(tmp_path, "\ufeff" + text + "\n\n" + PLAIN_XYZ + text)


# Values of every kind the comment line holds, a few that only the package types, and some
# that fail.
VALUES = ["1", "-7", "2.5", "-1e-3", "nan", "T", "F", "word", '"two words"', "'q'", '"1 2 3"', "[1, 2.5]",
          "{T F}", '"1 2 3 4 5 6 7 8 9"', "[[1, 2], [3, 4]]", "[a, b]", "99999999999999999999", '"x', "[1,"]
PROPERTIES = ["species:S:1:pos:R:3", "species:S:1:pos:R:3:forces:R:3", "pos:R:3:Z:I:1:fixed:L:1:tag:S:2"]


@st.composite
def frame_texts(draw):
    properties = draw(st.sampled_from(PROPERTIES))
    natoms = draw(st.integers(0, 4))
    items = [f"{key}={draw(st.sampled_from(VALUES))}" for key in draw(st.lists(st.sampled_from("abcde"), unique=True))]
    if draw(st.booleans()):
        items.append('Lattice="%s"' % " ".join(map(str, draw(st.lists(st.integers(0, 9), min_size=9, max_size=9)))))
    items.append(draw(st.sampled_from(["", "pbc=\"T F T\"", "pbc=F", "pbc=\"T\u00a0F T\""])))
    items.insert(draw(st.integers(0, len(items))), f"Properties={properties}")
    cells = {"S": ["H", "Si", "Ow"], "R": ["0.5", "-1e2", "nan", "x"], "I": ["3", "-4"], "L": ["T", "F", "true"]}
    fields = properties.split(":")
    kinds = [kind for kind, count in zip(fields[1::3], fields[2::3]) for _ in range(int(count))]
    lines = [" ".join(draw(st.sampled_from(cells[kind])) for kind in kinds) for _ in range(natoms)]
    return "\n".join([str(natoms), " ".join(items), *lines]) + draw(st.sampled_from(["\n", "\r\n", "\n\n"]))


@settings(max_examples=150, deadline=None)
@given(st.lists(frame_texts(), min_size=1, max_size=6))
def test_random_files(tmp_path_factory, texts):
    assert_table_is_read(tmp_path_factory.mktemp("t"), "".join(texts))


def test_a_file_of_many_layouts(tmp_path):
    # Every frame names its own column: each run knows only its frames' layouts.
    frames = [atomkit.Frame(np.array(["H"]), {f"c{k}": np.array([float(k)])}) for k in range(600)]
    with pytest.MonkeyPatch.context() as patch:
        in_runs(patch, 4000)
        assert_table_is_read(tmp_path, written(frames), threads=(7,))


@pytest.mark.parametrize("read", [lambda path: atomkit.read(path, ":"), lambda path: list(atomkit.read_table(path))])
def test_a_pipe_is_read_once(tmp_path, read):
    # Read as it comes, once: a pipe cannot be opened again (its frames' info values change
    # type, which the reader takes as they are).
    import threading
    path = tmp_path / "pipe.xyz"
    os.mkfifo(path)
    writer = threading.Thread(target=path.write_text, args=("1\na=1\nH 0 0 0\n1\na=x\nH 1 1 1\n",))
    writer.start()
    frames = read(path)
    writer.join()
    assert [frame.info["a"] for frame in frames] == [1, "x"]


def test_a_file_cut_short_after_its_scan_says_it_changed(tmp_path, monkeypatch):
    path = tmp_path / "cut.xyz"
    path.write_text("1\na=1\nH 0 0 0\n" * 50)
    scan = reader.Source.scan_more

    def scan_then_cut(*args, **kwargs):
        found = scan(*args, **kwargs)
        os.truncate(path, 100)
        return found
    monkeypatch.setattr(reader.Source, "scan_more", scan_then_cut)
    with pytest.raises(ValueError, match=f"^{path} changed since it was opened"):
        atomkit.read_table(path)


def outcome(read):
    """The frames a read yields before it stops, the warnings it gives, and its error."""
    frames, error = [], None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            for frame in read():
                frames.append(frame)
        except ValueError as raised:
            error = str(raised)
    return frames, [str(w.message) for w in caught], error


GOOD = "2\na=1 Lattice=\"1 0 0 0 1 0 0 0 1\"\nH 0 0 0\nO 1 1 1\n"


# Frames the module refuses: a bad atom line, a bad comment line, one not UTF-8, refused
# Properties, a value only the package types and refuses; and info keys changing type.
BAD = ["1\na=1\nH 0 0\n", '1\na="x\nH 0 0 0\n', "1\na=\xff\nH 0 0 0\n", "1\nProperties=pos:Q:3\n0 0 0\n",
       "1\na=[[1],[1,2]]\nH 0 0 0\n"]
CLASHES = "".join(f"1\na={value}\nH 0 0 0\n" for value in ["word", 2, "[1, 2]", 3.5, "x", "T", 7])


@pytest.mark.parametrize("index", [":", "1:", "::3", ":4", "2:9:2", "::-1", "-3:"])
@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("tail", ["", "3\na=2\nH 0 0 0\n", "x\n"])
@pytest.mark.parametrize("batch, chunk", [(100, 7), (1 << 20, 1 << 20)])
@pytest.mark.parametrize("stream", [False, True])
def test_iread_in_batches_as_frame_by_frame(tmp_path, monkeypatch, index, errors, tail, batch, chunk, stream):
    # Then a file that ends inside a frame or on a bad count line: the frames before an error
    # still come, and the errors and warnings are the frame-by-frame reader's, from a file or
    # a stream read in runs and parts of any size.
    path = tmp_path / "f.xyz"
    path.write_bytes((GOOD * 3 + GOOD.join(BAD) + CLASHES + GOOD * 3 + tail).encode("latin-1"))
    want = outcome(lambda: walked(path, index, errors))
    in_runs(monkeypatch, batch, chunk)
    with open(path, "rb") as file:
        got = outcome(lambda: atomkit.iread(file if stream else path, index, errors))
    assert got[1:] == want[1:]
    assert len(got[0]) == len(want[0])
    for frame, expected in zip(*(got[0], want[0])):
        assert_same(frame, expected, str_widths=True)


@pytest.mark.parametrize("tail", ["", "3\na=2\nH 0 0 0\n", "x\n"])
@pytest.mark.parametrize("chunk", [7, 1 << 20])
def test_a_strict_scan_as_frame_by_frame(tmp_path, monkeypatch, tail, chunk):
    # Stray tokens (after the columns, or after a bad token) are errors of their own frames.
    path = tmp_path / "f.xyz"
    stray = "2\na=1\nH 0 0 0 extra\nH 0 0 0\n1\na=1\nH 0 0 x more\n"
    path.write_bytes((GOOD + GOOD.join(BAD) + stray + CLASHES + GOOD + tail).encode("latin-1"))
    want = list(reference_walker.scan(path))
    monkeypatch.setattr(files, "CHUNK", chunk)
    with open(path, "rb") as stream:
        assert_same_scan(list(reading_api.checked(stream)), want)
    assert_same_scan(list(reading_api.checked(path)), want)


@st.composite
def mutated_files(draw):
    """A file of random frames with a few bytes replaced, dropped or put in."""
    text = bytearray("".join(draw(st.lists(frame_texts(), min_size=1, max_size=5))).encode())
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(text)))
        byte = draw(st.sampled_from(b"\n \t0123456789.-xTF\"'=[]\xff\r"))
        operation = draw(st.sampled_from("replace drop insert".split()))
        if operation == "insert" or at == len(text):
            text.insert(at, byte)
        elif operation == "drop":
            del text[at]
        else:
            text[at] = byte
    return bytes(text)


@settings(max_examples=200, deadline=None)
@given(mutated_files(), st.sampled_from(["raise", "skip"]), st.booleans())
def test_mutated_files_as_frame_by_frame(tmp_path_factory, text, errors, stream):
    # Whatever the damage, the frames, warnings and error are the frame-by-frame reader's,
    # from a file scanned whole and from a stream read in parts of a few bytes.
    path = tmp_path_factory.mktemp("m") / "f.xyz"
    path.write_bytes(text)
    want = outcome(lambda: walked(path, ":", errors))
    with pytest.MonkeyPatch.context() as patch, open(path, "rb") as file:
        patch.setattr(files, "CHUNK", 5)
        got = outcome(lambda: atomkit.iread(file if stream else path, ":", errors))
    assert got[1:] == want[1:]
    assert len(got[0]) == len(want[0])
    for frame, expected in zip(got[0], want[0]):
        assert_same(frame, expected, str_widths=True)
    assert_same_scan(list(reading_api.checked(path)), list(reference_walker.scan(path)))


def assert_same_scan(got, want):
    """The check command's walk against the walker's: the same frames and errors, and what each
    frame's comment line held."""
    assert len(got) == len(want)
    for (item, facts), (expected, comment) in zip(got, want):
        if isinstance(expected, atomkit.Frame):
            assert_same(item, expected, str_widths=True)
            properties, lattice, pbc, info = parse(comment.decode())
            assert facts == (properties, lattice is not None, pbc is not None, tuple(info))
        else:
            assert type(item) is type(expected) and str(item) == str(expected) and facts is None


@settings(max_examples=300, deadline=None)
@given(mutated_files(), st.integers(1, 9), st.integers(1, 5))
def test_a_file_scanned_as_a_stream_as_whole(tmp_path_factory, text, chunk, threads):
    # The reader over a file (on any number of threads) and over a stream fed a few bytes at a
    # time: the frames, Properties and failure of the pure-Python scan.
    path = tmp_path_factory.mktemp("p") / "f.xyz"
    path.write_bytes(text)
    for fed in (None, chunk):
        got, want = scan_both(path, fed, threads=threads)
        assert_same_rows(got, want, text)
