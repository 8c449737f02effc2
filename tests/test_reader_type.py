# _atomkit.Reader: its arguments and their errors (caller code run while they convert
# included), its named results over every kind of source, the messages of refused frames as
# users read them, OSError, calls from several threads, a signal during a long read, and
# nothing left behind by many calls.
import errno
import gc
import mmap
import os
import signal
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import _atomkit
from _atomkit import Reader
from helpers import Index

SAMPLE = (
    b"2\n"
    b'Lattice="2 0 0 0 3 0 0 0 4" Properties=species:S:1:pos:R:3:tag:I:1 energy=-1.5 n=3 ok=T name=water '
    b'stress="1 0 0 0 1 0 0 0 1" v="1 2 3" m=1 nested=[[1,2],[3,4]]\n'
    b"H 0.0 0.0 0.0 1\n"
    b"O 1.0 1.0 1.0 2\n"
    b"1\n"
    b'Properties=species:S:1:pos:R:3:flag:L:1 energy=-2.0 m=2.5 pbc="T F T"\n'
    b"C 0.5 0.5 0.5 T\n"
    b"\n"
    b"2\n"
    b'Lattice="2 0 0 0 3 0 0 0 4" Properties=species:S:1:pos:R:3:tag:I:1 energy=-3.0 name=ice\n'
    b"He 1 2 3 4\n"
    b"H 0 0 0 5\n"
)
LAYOUT_0 = "species:S:1:pos:R:3:tag:I:1"
LAYOUT_1 = "species:S:1:pos:R:3:flag:L:1"


def everything(reader):
    """The reader scanned to its end, and all its frames read."""
    scan = reader.scan()
    assert scan.complete and scan.failure is None
    return reader.read(np.arange(reader.first_held, scan.found, dtype=np.int64))


def plain(value):
    """A result as plain values (arrays with their dtype and shape) for comparing runs."""
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tolist())
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [plain(item) for item in value])
    return value


@pytest.fixture
def sample_path(tmp_path):
    path = tmp_path / "sample.xyz"
    path.write_bytes(SAMPLE)
    return path


def stream_run(data, chunk=1):
    reader = Reader(None)
    for start in range(0, len(data), chunk):
        reader.feed(data[start:start + chunk])
        reader.scan()
    reader.finish()
    return everything(reader)


def file_run(path):
    with open(path, "rb") as file:
        return everything(Reader(file.fileno(), name=str(path)))


# ---- Results ---------------------------------------------------------------------------------


def test_the_run_of_a_small_file(sample_path):
    run = file_run(sample_path)
    assert type(run) is _atomkit.Run and run.refusals == ()
    assert run.frames.tolist() == [0, 1, 2] and run.natoms.tolist() == [2, 1, 2] and run.lines.tolist() == [1, 5, 9]
    assert run.layout.tolist() == [0, 1, 0]
    for name, dtype, shape in [("frames", "<i8", (3,)), ("natoms", "<i8", (3,)), ("lines", "<i8", (3,)),
                               ("layout", "<i4", (3,)), ("lattice", "<f8", (3, 3, 3)), ("has_lattice", "|b1", (3,)),
                               ("pbc", "|b1", (3, 3)), ("has_pbc", "|b1", (3,)), ("has_properties", "|b1", (3,)),
                               ("key_set", "<i4", (3,))]:
        array = getattr(run, name)
        assert (name, array.dtype.str, array.shape) == (name, dtype, shape)
    assert run.lattice[0].tolist() == np.diag([2.0, 3.0, 4.0]).tolist() and not run.lattice[1].any()
    assert run.has_lattice.tolist() == [True, False, True] and run.has_pbc.tolist() == [False, True, False]
    assert run.pbc.tolist() == [[True] * 3, [True, False, True], [True] * 3]
    assert run.has_properties.all()

    info = {column.key: column for column in run.info}
    assert list(info) == ["energy", "n", "ok", "name", "stress", "v", "m", "nested"]
    assert all(type(column) is _atomkit.InfoColumn for column in run.info)
    assert plain(info["energy"].values) == ("<f8", (3,), [-1.5, -2.0, -3.0]) and info["energy"].present.all()
    assert plain(info["n"].values)[:2] == ("<i8", (3,)) and info["n"].present.tolist() == [True, False, False]
    assert info["ok"].values.dtype == np.bool_ and info["ok"].values[0]
    names, index = info["name"].values
    assert names == ["water", "ice"] and plain(index) == ("<i4", (3,), [0, -1, 1])
    assert info["stress"].values.shape == (3, 3, 3) and info["stress"].values.dtype == np.float64
    assert plain(info["v"].values)[:2] == ("<i8", (3, 3)) and info["v"].values[0].tolist() == [1, 2, 3]
    ints, integral = info["m"].integers
    assert info["m"].values[:2].tolist() == [1.0, 2.5] and ints[0] == 1 and integral.tolist() == [True, False, False]
    assert info["nested"].values is None and info["energy"].integers is None
    [(row, column, value)] = run.loose
    assert (row, run.info[column].key, value.tolist()) == (0, "nested", [[1, 2], [3, 4]])
    assert [run.key_sets[k] for k in run.key_set] == [tuple(range(8)), (0, 6), (0, 3)]

    first, second = run.atoms
    assert type(first) is _atomkit.AtomTable and (first.layout, second.layout) == (0, 1)
    assert plain(first.floats) == ("<f8", (4, 3), [[0, 0, 0], [1, 1, 1], [1, 2, 3], [0, 0, 0]])
    assert plain(first.ints) == ("<i8", (4, 1), [[1], [2], [4], [5]]) and first.bools.shape == (4, 0)
    [(species, rows)] = first.strs
    assert species == ["H", "O", "He"] and plain(rows) == ("<i4", (4,), [0, 1, 2, 0])
    assert plain(second.bools) == ("|b1", (1, 1), [[True]]) and second.ints.shape == (1, 0)
    assert first.floats.flags.c_contiguous and first.floats.flags.writeable


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda d: np.frombuffer(d, np.uint8),
                                  lambda d: memoryview(bytearray(d))[::1]])
def test_every_source_gives_the_same_run(sample_path, make):
    want = plain(file_run(sample_path))
    assert plain(everything(Reader(make(SAMPLE)))) == want
    assert plain(stream_run(SAMPLE)) == want


def test_a_mapped_file_and_a_stream_in_chunks(sample_path):
    with open(sample_path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        reader = Reader(mapped)
        assert plain(everything(reader)) == plain(file_run(sample_path))
        with pytest.raises(BufferError):
            mapped.close()  # held while the reader lives
        del reader
    assert plain(stream_run(SAMPLE, chunk=7)) == plain(file_run(sample_path))


def test_the_readers_own_view(sample_path):
    reader = Reader(SAMPLE)
    scan = reader.scan()
    assert type(scan) is _atomkit.ScanResult and scan == (3, True, None)
    assert reader.first_held == 0 and reader.properties == (LAYOUT_0, LAYOUT_1)
    rows = reader.rows
    assert rows.dtype == np.int64 and rows.shape == (3, 5)
    assert rows[:, 1].tolist() == [2, 1, 2] and rows[:, 2].tolist() == [1, 5, 9] and rows[:, 3].tolist() == [0, 1, 0]
    assert rows[0, 0] == 0 and rows[2, 4] == len(SAMPLE) and (rows[1:, 0] >= rows[:-1, 4]).all()
    layout = reader.layouts[0]
    assert type(layout) is _atomkit.Layout
    assert layout == (LAYOUT_0, ("species", "pos", "tag"), "SRI", (1, 3, 1))
    assert reader.layouts[1].kinds == "SRL"

    # The same frames given as found before: no scan needed, the same run.
    again = Reader(SAMPLE, rows=rows, properties=reader.properties)
    assert again.scan() == (3, True, None)
    assert plain(again.read(np.arange(3))) == plain(reader.read(np.arange(3)))

    reader.release(2)
    assert reader.first_held == 2 and reader.rows.tolist() == rows[2:].tolist()
    assert reader.read(np.array([2])).natoms.tolist() == [2]


def test_a_stream_scans_what_it_was_fed():
    reader = Reader(None)
    cut = SAMPLE.index(b"1\nProperties")
    reader.feed(SAMPLE[:cut])
    early = reader.scan()
    assert not early.complete and early.found <= 1
    reader.feed(SAMPLE[cut:])
    reader.finish()
    assert reader.scan() == (3, True, None)
    assert reader.scan(limit=0).found == 3


# ---- Refusals ----------------------------------------------------------------------------------

ATOMS = b"Properties=species:S:1:pos:R:3"
DIGITS = "1" * 5000
INT_LIMIT = ("Exceeds the limit (4300 digits) for integer string conversion: value has 5000 digits; "
             "use sys.set_int_max_str_digits() to increase the limit")


def refusal_of(data, **options):
    """The first refusal of a source: the scan's failure, or the first frame a read refuses."""
    reader = Reader(data, **options)
    scan = reader.scan()
    if scan.failure is not None:
        return scan.failure
    return reader.read(np.arange(scan.found), keep_going=True).refusals[0]


@pytest.mark.parametrize("data, kind, message", [
    (b"1\n" + ATOMS + b"\nH 0 0 0\nx\n", "count", "line 4: expected the number of atoms, found 'x'"),  # frame 1
    (b"  \xff" + b"y" * 100 + b" \n", "count",
     "line 1: expected the number of atoms, found '\ufffd" + "y" * 79 + "'"),
    (b"1", "no_comment", "line 1: the file ends after the atom count, before the comment line"),
    (b"1\n", "ends_inside", "line 1: the file ends inside a frame of 1 atoms (it holds 0 of its atom lines)"),
    (b"3\n" + ATOMS + b"\nH 0 0 0\n", "ends_inside",
     "line 1: the file ends inside a frame of 3 atoms (it holds 1 of its atom lines)"),
    (b"1\na=\xff\r\nH 0 0 0\n", "comment", "line 2: the comment line is not UTF-8: b'a=\\xff\\r'"),
    (b'1\nProperties=species:S:1:pos:R:3 a="open\nH 0 0 0\n', "comment",
     "line 2: cannot parse 'a=\"open': 'Properties=species:S:1:pos:R:3 a=\"open'"),
    (b'1\nLattice="1 2 3"\nH 0 0 0\n', "comment",
     "line 2: Lattice needs 9 numbers, got '\"1 2 3\"': 'Lattice=\"1 2 3\"'"),
    (b"1\na=1 a=2\nH 0 0 0\n", "comment", "line 2: key 'a' appears twice: 'a=1 a=2'"),
    (b"1\nProperties=species:S:1:pos:R\nH 0 0 0\n", "comment",
     "line 2: Properties 'species:S:1:pos:R': expected name:kind:count triples: 'Properties=species:S:1:pos:R'"),
    (b"1\nProperties=species:S:1:pos:X:3\nH 0 0 0\n", "comment",
     "line 2: Properties 'species:S:1:pos:X:3': pos has kind 'X', not one of S, R, I, L: "
     "'Properties=species:S:1:pos:X:3'"),
    (b"1\nProperties=species:S:1:pos:R:0\nH 0 0 0\n", "comment",
     "line 2: Properties 'species:S:1:pos:R:0': pos has count '0': 'Properties=species:S:1:pos:R:0'"),
    (b"1\nProperties=species:S:1:species:R:3\nH 0 0 0\n", "comment",
     "line 2: Properties 'species:S:1:species:R:3': bad or repeated name 'species': "
     "'Properties=species:S:1:species:R:3'"),
    (f"1\na={DIGITS}\nH 0 0 0\n".encode(), "comment", f"line 2: {INT_LIMIT}: 'a={DIGITS}'"),
    (b"2\nProperties=species:S:1:flag:L:1\nH T\nH t\r\n", "atoms", "line 4: row 1: cannot parse \"t\" as bool: 'H t'"),
    (b"1\n" + ATOMS + b"\nH 0 0 0 9\n", "atoms", "line 3: row 0: expected 4 tokens, found 5: 'H 0 0 0 9'"),
    # A frame that counts more atoms than it has: its lines run into the next frame, and the
    # failure to pass that one is this frame's.
    (b"2\n" + ATOMS + b"\nH 0 0 0\n1\n" + ATOMS + b"\nH 1 1 1\n", "atoms", "line 4: row 1: "),
])
def test_refusal_messages(data, kind, message):
    refusal = refusal_of(data)
    assert type(refusal) is _atomkit.Refusal and refusal.kind == kind
    assert refusal.message.startswith(message) if message.endswith(": ") else refusal.message == message
    assert (refusal.frame, refusal.count_line) == ((1, 4) if kind == "count" and refusal.line == 4 else (0, 1))
    # Scan failures are fatal, the attributed one included.
    assert refusal.fatal == (kind not in ("comment", "atoms") or message.endswith(": "))
    assert refusal.line == int(message.split(":")[0].split()[1])
    if kind == "atoms":
        assert refusal.message.startswith(f"line {refusal.line}: {refusal.cause}")
        assert refusal.cause.startswith(f"row {refusal.row}: ") and refusal.column >= 0
    elif kind == "comment" and "not UTF-8" not in refusal.message:  # the parser's, Properties' or int()'s words
        assert refusal.message.startswith(f"line {refusal.line}: {refusal.cause}: ") and refusal.row == -1
    else:
        assert refusal.cause is None and refusal.row == -1


def test_a_long_line(tmp_path):
    refusal = refusal_of(b"1\n" + b"a" * 100 + b"\nH 0 0 0\n", line_limit=16)
    assert refusal[:6] == (0, "long_line", 2, 1, -1, -1) and (refusal.cause, refusal.fatal) == (None, True)
    assert refusal.message == (
        "line 2: longer than 16 bytes without a line feed (not an extended XYZ file, or a corrupted one)")
    refusal = refusal_of(b"1\n\n" + b"H 0 0 0 " * ((1 << 18) + 1), line_limit=2 << 20)
    assert refusal.message.startswith("line 3: longer than 2 MiB without a line feed")


def test_an_integer_limit_raised_since_the_reader_was_made():
    reader = Reader(f"1\na={DIGITS}\nH 0 0 0\n".encode())
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        refusal = reader.read(np.arange(reader.scan().found)).refusals[0]
    finally:
        sys.set_int_max_str_digits(old)
    assert refusal.message == f"line 2: {INT_LIMIT}: 'a={DIGITS}'"


def test_keep_going_leaves_refused_frames_out():
    good = b"1\n" + ATOMS + b" e=1\nH 0 0 0\n"
    data = good + b"1\n" + ATOMS + b"\nH x 0 0\n" + good
    reader = Reader(data)
    frames = np.arange(reader.scan().found)
    stopped = reader.read(frames)
    assert stopped.frames.tolist() == [0] and [r.frame for r in stopped.refusals] == [1]
    went_on = reader.read(frames, keep_going=True)
    assert went_on.frames.tolist() == [0, 2] and [r.frame for r in went_on.refusals] == [1]
    assert went_on.atoms[0].floats.shape == (2, 3) and went_on.info[0].present.tolist() == [True, True]


def test_a_file_changed_since(tmp_path):
    path = tmp_path / "changed.xyz"
    path.write_bytes(SAMPLE)
    with open(path, "rb") as file:
        reader = Reader(file.fileno(), name=str(path))
        frames = np.arange(reader.scan().found)
        with open(path, "r+b") as writer:
            writer.truncate(len(SAMPLE) - 5)
        refusal = reader.read(frames).refusals[-1]
        assert (refusal.kind, refusal.message, refusal.fatal) == ("changed", "", True)
        # Frames found before, in a file that no longer holds them.
        rows = np.array([[0, 1, 1, 0, 10 ** 6]], np.int64)
        refused = Reader(file.fileno(), rows=rows, properties=(LAYOUT_0,)).read(np.array([0])).refusals
        assert [r.kind for r in refused] == ["changed"]


# ---- OSError ---------------------------------------------------------------------------------


def test_a_closed_descriptor_names_the_file(sample_path):
    fd = os.open(sample_path, os.O_RDONLY)
    reader = Reader(fd, name="named.xyz")
    os.close(fd)
    for call in (lambda: Reader(fd, name="named.xyz"), reader.scan, lambda: Reader(-1, name="named.xyz")):
        with pytest.raises(OSError) as raised:
            call()
        assert (raised.value.errno, raised.value.filename) == (errno.EBADF, "named.xyz")
        assert raised.value.strerror == os.strerror(errno.EBADF)
    with pytest.raises(OSError) as raised:
        Reader(fd)
    assert raised.value.filename is None


# ---- Arguments ---------------------------------------------------------------------------------

ROWS = np.array([[0, 1, 1, 0, 10]], np.int64)
NINE = b"1\n\nH 0 0 0\n" * 9


@pytest.mark.parametrize("call, error, message", [
    (lambda: Reader(), TypeError, "Reader() missing 1 required positional argument: 'source'"),
    (lambda: Reader(b"", 1), TypeError, "Reader() takes 1 positional argument but 2 were given"),
    (lambda: Reader(b"", 1, threads=1), TypeError,
     "Reader() takes 1 positional argument but 2 positional arguments (and 1 keyword-only argument) were given"),
    (lambda: Reader(b"", thread=1), TypeError, "Reader() got an unexpected keyword argument 'thread'"),
    (lambda: Reader(b"", source=b""), TypeError, "Reader() got multiple values for argument 'source'"),
    (lambda: Reader("text"), TypeError, "argument 'source': a bytes-like object is required, not 'str'"),
    (lambda: Reader(True), TypeError, "argument 'source': a bytes-like object is required, not 'bool'"),
    (lambda: Reader(b"", name=b"x"), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Reader(b"", threads="2"), TypeError, "argument 'threads': 'str' object cannot be interpreted as an integer"),
    (lambda: Reader(b"", threads=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: Reader(b"", line_limit=0), ValueError, "line_limit must be at least 1"),
    (lambda: Reader(b"", rows=ROWS), ValueError, "rows and properties are given together"),
    (lambda: Reader(b"", properties=("",)), ValueError, "rows and properties are given together"),
    (lambda: Reader(None, rows=ROWS, properties=("",)), ValueError, "a stream's frames are found as it is fed"),
    (lambda: Reader(b"", identity=(1, 2)), ValueError, "identity goes with the rows"),
    (lambda: Reader(b"", rows=ROWS, properties=("",), identity=(1,)), ValueError, "identity must be a tuple"),
    (lambda: Reader(b"", rows=ROWS.astype(float), properties=("",)), TypeError,
     "argument 'rows': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: Reader(b"", rows=ROWS, properties=("", 1)), TypeError,
     "argument 'properties': 'int' object cannot be converted to 'PyString'"),
    (lambda: Reader(b"", rows=ROWS, properties=""), TypeError,
     "argument 'properties': 'str' object cannot be converted to 'PyTuple'"),
    (lambda: Reader(NINE, rows=ROWS[:, :4], properties=("",)), ValueError, "rows must have 5 columns"),
    (lambda: Reader(NINE[:9], rows=ROWS, properties=("",)), ValueError,
     "rows: frame 0: its bytes end past the source's end"),
    (lambda: Reader(NINE, rows=ROWS + [[0, 0, 0, 1, 0]], properties=("",)), ValueError, "rows: frame 0: no such layout"),
    (lambda: Reader(NINE, rows=ROWS * [[1, 11, 1, 1, 1]], properties=("",)), ValueError,
     "rows: frame 0: more atoms than its bytes hold lines"),
    (lambda: Reader(NINE, rows=ROWS * [[1, 1, 0, 1, 1]], properties=("",)), ValueError,
     "rows: frame 0: line numbers count from 1"),
    (lambda: Reader(NINE, rows=np.array([[0, 1, 1, 0, 10], [5, 1, 3, 0, 20]]), properties=("",)), ValueError,
     "rows: frame 1: it starts before the frame before it ends"),
])
def test_constructor_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error and str(raised.value).startswith(message)


@pytest.fixture
def scanned():
    reader = Reader(SAMPLE)
    reader.scan()
    return reader


@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.scan(-2), ValueError, "limit must be -1"),
    (lambda r: r.scan("x"), TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
    (lambda r: r.scan(1, 2), TypeError, "Reader.scan() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda r: r.read(), TypeError, "Reader.read() missing 1 required positional argument: 'frames'"),
    (lambda r: r.read([0]), TypeError, "argument 'frames': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda r: r.read(np.zeros(1)), TypeError, "argument 'frames': 'ndarray' object cannot be converted"),
    (lambda r: r.read(np.zeros((1, 1), np.int64)), TypeError, "argument 'frames': 'ndarray' object cannot be"),
    (lambda r: r.read(np.array([3])), ValueError, "frames must be ascending frame numbers among those held (0 to 2)"),
    (lambda r: r.read(np.array([1, 1])), ValueError, "frames must be ascending"),
    (lambda r: r.read(np.array([-1])), ValueError, "frames must be ascending"),
    (lambda r: r.feed(b"1"), ValueError, "Reader.feed() is for a reader over a stream"),
    (lambda r: r.finish(), ValueError, "Reader.finish() is for a reader over a stream"),
    (lambda r: r.release(4), ValueError, "release(4): only 3 frames are found"),
    (lambda r: r.release(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda r: r.release(frames=1), TypeError, "Reader.release() got an unexpected keyword argument 'frames'"),
])
def test_method_errors(scanned, call, error, message):
    with pytest.raises(error) as raised:
        call(scanned)
    assert type(raised.value) is error and str(raised.value).startswith(message)


def test_a_finished_stream_takes_no_more():
    reader = Reader(None)
    reader.finish()
    for call in (lambda: reader.feed(b"1"), reader.finish):
        with pytest.raises(ValueError, match=r"after finish\(\)"):
            call()
    with pytest.raises(TypeError, match="argument 'data': a bytes-like object is required, not 'str'"):
        Reader(None).feed("1")


def test_caller_code_that_changes_arguments_while_they_convert(monkeypatch):
    # The source is held only after every argument is converted: a bytearray changed before
    # then is read as it is then.
    data = bytearray(SAMPLE)
    class Clear:
        def __index__(self):
            data[:] = SAMPLE[:SAMPLE.index(b"1\nProperties")]
            return 1
    reader = Reader(data, threads=Clear())
    assert reader.scan().found == 1
    with pytest.raises(BufferError):
        data.clear()

    # The rows are checked again when borrowed: a reshape by code that runs after their
    # check (here int()'s limit, asked for last) is refused, not read.
    scanned = Reader(SAMPLE)
    scanned.scan()
    table = scanned.rows.copy()
    def reshape():
        table.resize((15,), refcheck=False)
        return 4300
    monkeypatch.setattr(sys, "get_int_max_str_digits", reshape)
    with pytest.raises(TypeError, match="argument 'rows'"):
        Reader(SAMPLE, rows=table, properties=scanned.properties)
    monkeypatch.undo()

    # The frames of a read, the same way: reshaped by the truth of keep_going.
    frames = np.arange(3)
    class Flip:
        def __bool__(self):
            frames.resize((1, 3), refcheck=False)
            return True
    with pytest.raises(TypeError, match="argument 'frames'"):
        scanned.read(frames, keep_going=Flip())
    frames = np.arange(3)
    class Grow:
        def __bool__(self):
            frames.resize(100_000, refcheck=False)
            return False
    with pytest.raises(ValueError, match="frames must be ascending"):
        scanned.read(frames, keep_going=Grow())


def test_signatures():
    import inspect
    assert str(inspect.signature(Reader)) == ("(source, *, name='', threads=0, line_limit=268435456, rows=None, "
                                              "properties=None, identity=None)")
    assert str(inspect.signature(Reader.read)) == "(self, /, frames, keep_going=False, threads=0)"
    with pytest.raises(TypeError):
        type("Sub", (Reader,), {})
    assert _atomkit.Refusal.__match_args__ == ("frame", "kind", "line", "count_line", "row", "column", "message",
                                               "cause", "fatal")


# ---- Threads, signals, memory ----------------------------------------------------------------

FRAME_ATOMS = 2000


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A file of many frames that takes a while to read on one thread."""
    rng = np.random.default_rng(5)
    lines = "".join(f"Si {x:.8f} {y:.8f} {z:.8f} {k}\n" for k, (x, y, z) in enumerate(rng.normal(size=(FRAME_ATOMS, 3))))
    frame = f"{FRAME_ATOMS}\nProperties=species:S:1:pos:R:3:id:I:1 energy=-3.5\n{lines}".encode()
    path = tmp_path_factory.mktemp("big") / "big.xyz"
    path.write_bytes(frame * 600)
    return path


def test_two_reads_at_once_and_a_scan_refused(big):
    data = big.read_bytes()
    reader = Reader(data, threads=1)
    frames = np.arange(reader.scan().found)
    runs = []
    reading = threading.Thread(target=lambda: runs.append(reader.read(frames)))
    reading.start()
    refused = None
    while reading.is_alive() and refused is None:
        try:
            reader.scan()
        except RuntimeError as error:
            refused = error
    second = reader.read(frames[::7])  # a read shares the reader with another
    reading.join()
    assert str(refused) == "Reader.scan(): another call is using this Reader"
    assert runs[0].frames.size == frames.size and second.atoms[0].ints[:, 0].tolist() == list(range(FRAME_ATOMS)) * 86


def test_other_threads_run_while_a_file_is_read(big):
    ticks = []
    stop = threading.Event()
    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)
    with open(big, "rb") as file:
        reader = Reader(file.fileno(), threads=1)
        frames = np.arange(reader.scan().found)
        ticker = threading.Thread(target=tick)
        ticker.start()
        start = time.perf_counter()
        reader.read(frames)
        end = time.perf_counter()
        stop.set()
        ticker.join()
    assert sum(start < t < end for t in ticks) > 10


@pytest.fixture
def small_waves():
    """Readers that look at the signals every 256 KiB of text a thread reads."""
    previous = _atomkit._set_reader_tuning(1 << 18, 1 << 20, 1 << 20)
    yield
    _atomkit._set_reader_tuning(*previous)


def test_a_signal_ends_a_long_read(big, small_waves):
    with open(big, "rb") as file:
        reader = Reader(file.fileno(), threads=1)
        frames = np.arange(reader.scan().found)
        main = threading.get_ident()
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            times = []
            tracemalloc.start()
            for _ in range(4):
                sender = threading.Thread(target=lambda: (time.sleep(0.02), signal.pthread_kill(main, signal.SIGINT)))
                sender.start()
                start = time.perf_counter()
                with pytest.raises(KeyboardInterrupt):
                    reader.read(frames)
                times.append(time.perf_counter() - start)
                sender.join()
                if len(times) == 1:
                    traced = tracemalloc.get_traced_memory()[0]
            assert tracemalloc.get_traced_memory()[0] - traced < 64 << 10  # nothing of a read stopped remains
        finally:
            tracemalloc.stop()
            signal.signal(signal.SIGINT, previous)
        start = time.perf_counter()
        whole = reader.read(frames)
        assert whole.frames.size == frames.size and max(times) < (time.perf_counter() - start) / 2


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_leaks(sample_path):
    data = bytes(bytearray(SAMPLE))  # an object of its own, whose references are this test's
    bad = b"1\n" + ATOMS + b"\nH x 0 0\n" + b"3\n\n"
    def calls():
        everything(Reader(data))
        stream_run(data, chunk=64)
        refusal_of(bad)
        with open(sample_path, "rb") as file:
            everything(Reader(file.fileno()))
        for call in (lambda: Reader(data, threads=Index(ValueError("x"))), lambda: Reader(-1, name="x"),
                     lambda: Reader(data).read(np.array([5]))):
            with pytest.raises((ValueError, OSError)):
                call()
    for _ in range(50):
        calls()
    gc.collect()
    references = sys.getrefcount(data)
    tracemalloc.start()
    try:
        rss, traced = [], []
        for _ in range(5):
            for _ in range(100):
                calls()
            gc.collect()
            rss.append(rss_bytes())
            traced.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(data) == references
    assert traced[-1] - traced[1] < 64 << 10, traced
    # A leak grows in every interval; the allocator's own noise does not.
    assert not (np.diff(rss[-4:]) > 256 << 10).all(), rss
