# atomkit.FrameIndex: frames found by the module's reader agree with atomkit.read of the file and
# of a stream fed in chunks on every file shape (blank lines, \r\n, a BOM, no final newline,
# chunk edges), saved indexes, workers, and a file that changes, or holds odd things, gives an
# error and never a signal or a hang.
import bz2
import gzip
import lzma
import multiprocessing
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _atomkit
import atomkit
from atomkit.base import files
from atomkit.index import index as frame_index
from comment_oracle import native_parse as parse
from helpers import examples
from reference_walker import PLAIN_XYZ
from run import peak_extra_bytes


def assert_same_frame(got, want):
    """Two frames hold the same values, dtypes and key order."""
    assert (got.symbols is None) == (want.symbols is None)
    if want.symbols is not None:
        assert got.symbols.tolist() == want.symbols.tolist()
    assert list(got.arrays) == list(want.arrays)
    for name, values in want.arrays.items():
        assert got.arrays[name].dtype == values.dtype and got.arrays[name].shape == values.shape, name
        np.testing.assert_array_equal(got.arrays[name], values)
    assert got.pbc == want.pbc
    assert (got.lattice is None) == (want.lattice is None)
    if want.lattice is not None:
        np.testing.assert_array_equal(got.lattice, want.lattice)
    assert list(got.info) == list(want.info)
    for key, value in want.info.items():
        assert type(got.info[key]) is type(value), key
        np.testing.assert_array_equal(got.info[key], value)


def assert_same_frames(got, want):
    assert len(got) == len(want)
    for a, b in zip(got, want):
        assert_same_frame(a, b)


def frame_text(k, newline="\n"):
    """A small frame whose columns and comment change with k."""
    if k % 3 == 0:
        lines = ["2", f'Lattice="{k + 1} 0 0 0 2 0 0 0 3" Properties=species:S:1:pos:R:3 step={k} pbc="T F T"',
                 f"H {k} 0 0", "O 0 1.5 -2e-3"]
    elif k % 3 == 1:
        lines = ["1", f"PROPERTIES=species:S:1:pos:R:3:tag:I:1:fixed:L:1 step={k}", f"Si 1 2 3 {k} T"]
    else:
        lines = ["3", f"plain comment {k}", "He 0 0 0", "He 1 0 0", f"He {k} 0 0"]
    return newline.join(lines) + newline


SHAPES = {
    "plain": "".join(frame_text(k) for k in range(7)),
    "blank lines between frames": "\n\n" + "\n \t\n".join(frame_text(k) for k in range(7)) + "\n\n",
    "crlf": "".join(frame_text(k, "\r\n") for k in range(7)),
    "crlf and blank lines": "\r\n".join(frame_text(k, "\r\n") for k in range(7)),
    "no final newline": "".join(frame_text(k) for k in range(7)).rstrip("\n"),
    "bom": "\ufeff" + "".join(frame_text(k) for k in range(4)),
    "empty frames": "0\n\n" + frame_text(1) + "0\ncomment=x\n0\n",
    "empty frame at the end": frame_text(0) + "0\n",
    "blank atom lines of no columns": "2\nProperties= a=1\n\n \t\r\n" + frame_text(2),
    "long runs of blank lines": frame_text(0) + "\n \t\r\n" * 150 + frame_text(1) + " \n" * 90 + frame_text(2)
                                + "\n" * 40,
}


@pytest.fixture(params=[7, 100, 1 << 24], ids=["chunks of 7", "chunks of 100", "chunks of 16M"])
def chunk(request, monkeypatch):
    """A stream read in chunks that cut frames, lines and \r\n pairs anywhere."""
    monkeypatch.setattr(files, "FIRST_CHUNK", request.param)
    monkeypatch.setattr(files, "CHUNK", request.param)


def streamed(path, index=":"):
    """atomkit.read of the file as a stream (read in chunks)."""
    with open(path, "rb") as stream:
        return atomkit.read(stream, index)


@pytest.mark.parametrize("shape", SHAPES)
def test_frames_and_offsets_agree_with_read(tmp_path, chunk, shape):
    path = tmp_path / "frames.xyz"
    path.write_bytes(SHAPES[shape].encode())
    index = atomkit.FrameIndex(path, use_saved=False)
    want = atomkit.read(path, ":")
    assert_same_frames(streamed(path), want)
    assert_same_frames(streamed(path, "::-2"), atomkit.read(path, "::-2"))
    assert len(index) == len(want)
    assert_same_frames(list(index), want)
    assert_same_frames(index[2:], atomkit.read(path, "2:"))
    assert_same_frames(index[::-2], atomkit.read(path, "::-2"))
    assert_same_frame(index[-1], atomkit.read(path))
    assert_same_frame(index[np.int64(1)], atomkit.read(path, 1))
    data = path.read_bytes()
    for k, offset in enumerate(index.offsets.tolist()):
        count_line = data[offset:].split(b"\n", 1)[0]
        assert int(count_line) == index.natoms[k]
        assert index._lines[k] == data[:offset].count(b"\n") + 1  # the line errors name
        assert want[k].natoms == index.natoms[k] or not want[k].arrays  # no columns, no count
        named = parse(str(data[offset:].split(b"\n")[1], "utf-8"))[0]
        assert index.properties(k) == (PLAIN_XYZ if named is None else named)


def run_python(code, *args, timeout=120):
    """`code` run by a child Python with these arguments: where a signal or a hang cannot take
    the suite with it."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=timeout)


def write_text(tmp_path, text):
    path = tmp_path / "frames.xyz"
    path.write_bytes(text.encode())
    return path


@pytest.mark.parametrize(
    "text",
    [
        frame_text(0) + "x\n" + frame_text(1),
        frame_text(0) + "-1\n\n",
        frame_text(0) + "3\nProperties=species:S:1:pos:R:3\nH 0 0 0\nH 0 0 0\n",
        frame_text(0) + "3\nProperties=species:S:1:pos:R:3\nH 0 0 0\nH 0 0 0",
        frame_text(0) + "2",
        frame_text(0) + "2\n",
        frame_text(0) + "2\ncomment",
    ],
)
def test_damaged_files_raise_what_read_raises(tmp_path, chunk, text):
    path = write_text(tmp_path, text)
    with pytest.raises(ValueError) as want:
        atomkit.read(path, ":")
    for read in (lambda: atomkit.FrameIndex(path), lambda: streamed(path)):
        with pytest.raises(ValueError) as got:
            read()
        assert str(got.value) == str(want.value)


def scan_calls(path):
    """The function calls a scan of `path` makes, C functions included, and the index."""
    calls = 0

    def count(frame, event, arg):
        nonlocal calls
        calls += 1

    sys.setprofile(count)
    try:
        index = atomkit.FrameIndex(path, use_saved=False)
    finally:
        sys.setprofile(None)
    return calls, index


@pytest.mark.parametrize("blank", ["\n", " \t\r\n"])
def test_runs_of_blank_lines_are_passed_over_in_bulk(tmp_path, blank):
    """No step a blank line: the calls a scan makes do not grow with the runs."""
    calls = []
    for run in (10, 20000):
        path = write_text(tmp_path, frame_text(0) + blank * run + frame_text(1) + blank * run)
        count, index = scan_calls(path)
        calls.append(count)
        assert index._lines.tolist() == [1, 5 + run]
        assert_same_frames(list(index), atomkit.read(path, ":"))
    assert calls[1] < 1.5 * calls[0]


@pytest.mark.parametrize("head, filler, line", [
    ("", b"\0", 1),
    (frame_text(0), b"\0", 5),  # a sparse file's hole after its frames
    (frame_text(0), b" ", 5),
    (frame_text(0) + "2\n", b"x", 6),
    (frame_text(0) + "2\nx=1\nH 0 0 0\n", b"H", 8),
], ids=["first line", "NULs after the frames", "blank", "comment line", "atom line"])
def test_a_line_past_the_limit_is_refused_without_holding_it(tmp_path, monkeypatch, head, filler, line):
    monkeypatch.setattr(frame_index, "LINE_LIMIT", 1 << 16)
    path = tmp_path / "frames.xyz"
    path.write_bytes(head.encode() + filler * (4 << 20))

    def index():
        with pytest.raises(files.LineTooLong, match=f"^{re.escape(str(path))}: line {line}: "):
            atomkit.FrameIndex(path)
    peak = peak_extra_bytes(index, ())  # the resident high-water mark: the module's memory too
    assert peak is None or peak < 1 << 20, peak


def test_bad_values_raise_when_their_frame_is_read(tmp_path):
    """The scan counts lines only: a value that cannot be parsed is the business of its frame."""
    path = write_text(tmp_path, frame_text(0) + "1\nProperties=species:S:1:flag:L:1\nH maybe\n" + frame_text(1)
                      + '1\na="open Properties=species:S:1:pos:R:3\nH 0 0 0\n')
    index = atomkit.FrameIndex(path)
    assert_same_frame(index[2], atomkit.read(path, 2))
    assert index.properties(3) is None
    for k, line in ((1, "line 7: "), (3, "line 12: ")):
        with pytest.raises(ValueError) as want:
            atomkit.read(path, k)
        with pytest.raises(ValueError) as got:
            index[k]
        assert str(got.value) == str(want.value) and str(got.value).startswith(f"{path}: {line}")


@pytest.mark.parametrize("k", [5, -6])
def test_index_past_the_end(tmp_path, k):
    index = atomkit.FrameIndex(write_text(tmp_path, "".join(frame_text(j) for j in range(5))))
    with pytest.raises(IndexError, match=f"frame {k} is not in .* \\(5 frames\\)"):
        index[k]


def test_empty_file(tmp_path):
    index = atomkit.FrameIndex(write_text(tmp_path, ""))
    assert len(index) == 0 and list(index) == [] and index[:] == []
    index.save()
    assert len(atomkit.FrameIndex(index.path)) == 0


# ---- saved indexes --------------------------------------------------------------------

def test_saved_index_is_used_while_valid(tmp_path, monkeypatch):
    path = write_text(tmp_path, SHAPES["blank lines between frames"])
    built = atomkit.FrameIndex(path)
    assert built.save() == os.fspath(path) + ".atomkit-index.npz"
    monkeypatch.setattr(frame_index.FrameIndex, "_scan", None)  # any scan now fails
    loaded = atomkit.FrameIndex(path)
    for name in ("_offsets", "_natoms", "_lines", "_layouts", "_properties"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(built, name))
    assert_same_frames(list(loaded), atomkit.read(path, ":"))


@pytest.mark.parametrize("change", ["appended", "same size, new time", "same time, new size", "corrupt index"])
def test_stale_saved_index_is_rebuilt(tmp_path, change):
    path = write_text(tmp_path, "".join(frame_text(k) for k in range(4)))
    saved = atomkit.FrameIndex(path).save()
    stat = os.stat(path)
    if change == "appended":
        with open(path, "a") as f:
            f.write(frame_text(4))
    elif change == "same size, new time":  # the same bytes with the frames in another order
        path.write_text("".join(frame_text(k) for k in (2, 1, 0, 3)))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1000))
    elif change == "same time, new size":
        with open(path, "a") as f:
            f.write(frame_text(4))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    else:
        with open(saved, "r+b") as f:
            f.seek(40)
            f.write(b"\0" * 64)
    index = atomkit.FrameIndex(path)
    assert_same_frames(list(index), atomkit.read(path, ":"))


def other_file_with_its_size_and_time(path, saved):
    """Frames of other sizes in as many bytes, given the indexed file's time (cp -p, rsync -t)."""
    stat = os.stat(path)
    text = "4\nx=1\n" + "H 0 0 0\n" * 4 + "".join(frame_text(k) for k in range(1, 4))
    path.write_text(text + " " * (stat.st_size - len(text) - 1) + "\n")
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


def rewrite_saved(**arrays):
    """A change to the saved arrays, the key left as it is."""
    def rewrite(path, saved):
        with np.load(saved) as f:
            fields = dict(f)
        for name, make in arrays.items():
            fields[name] = make(fields[name])
        np.savez(saved, **fields)
    return rewrite


@pytest.mark.parametrize("spoil", [
    other_file_with_its_size_and_time,
    rewrite_saved(natoms=lambda a: np.zeros(len(a), [("n", "<i8")])),
    rewrite_saved(natoms=lambda a: a - 3),
    rewrite_saved(offset_steps=lambda a: a[::-1]),
    rewrite_saved(offset_steps=lambda a: a + 10**6),
    rewrite_saved(blank_lines=lambda a: a - 5),
], ids=["another file", "structured natoms", "negative natoms", "offsets out of order", "offsets past the end",
        "lines going back"])
def test_saved_index_that_does_not_fit_the_file_is_ignored(tmp_path, spoil):
    path = write_text(tmp_path, "".join(frame_text(k) for k in range(4)))
    spoil(path, atomkit.FrameIndex(path).save())
    index, scanned = atomkit.FrameIndex(path), atomkit.FrameIndex(path, use_saved=False)
    for name in ("_offsets", "_natoms", "_lines"):
        np.testing.assert_array_equal(getattr(index, name), getattr(scanned, name))
    assert_same_frames(list(index), atomkit.read(path, ":"))


def test_fifo_at_the_saved_index_path_is_passed_over(tmp_path):
    path = write_text(tmp_path, "".join(frame_text(k) for k in range(4)))
    os.mkfifo(frame_index.saved_path(path))  # opening it to read would wait for a writer
    run = run_python("import sys, atomkit; print(len(atomkit.FrameIndex(sys.argv[1])))", path, timeout=30)
    assert (run.returncode, run.stdout) == (0, "4\n"), run.stderr[-2000:]


def test_saved_index_has_the_files_permissions(tmp_path):
    path = write_text(tmp_path, frame_text(0))
    os.chmod(path, 0o644)
    assert os.stat(atomkit.FrameIndex(path).save()).st_mode & 0o777 == 0o644


def test_saved_index_is_small(tmp_path):
    """Differences of offsets and line numbers: a regular trajectory costs about a byte a frame."""
    path = tmp_path / "frames.xyz"
    rng = np.random.default_rng(0)
    atomkit.write(path, (atomkit.Frame(np.array(["H"] * 8), {"pos": rng.random((8, 3))}, info={"e": float(k)})
                         for k in range(5000)))
    saved = atomkit.FrameIndex(path).save()
    assert os.path.getsize(saved) < 2 * 5000


def change_file(path, offsets, change):
    """Changes an indexed file of frame_text frames as `change` says."""
    stat = os.stat(path)
    if change == "appended":
        with open(path, "a") as f:
            f.write(frame_text(4))
    elif change == "rewritten in place":  # the same size; the clock moves on
        path.write_bytes(path.read_bytes().replace(b"H 3 0 0", b"H 4 0 0"))
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    else:  # a count line rewritten, the size and time put back as cp -p or rsync -t do
        with open(path, "r+b") as f:
            f.seek(int(offsets[3]))
            f.write(b"1")
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


@pytest.mark.parametrize("change", ["appended", "rewritten in place", "count line rewritten, time put back"])
def test_index_of_a_changed_file_refuses_to_read(tmp_path, change):
    path = write_text(tmp_path, "".join(frame_text(k) for k in range(4)))
    index = atomkit.FrameIndex(path)
    copy = pickle.loads(pickle.dumps(index))
    index[3], copy[0]  # both have the file open
    change_file(path, index.offsets, change)
    for changed in (index, copy):
        with pytest.raises(ValueError, match="frames.xyz changed since it was indexed .*: build a new FrameIndex"):
            changed[3]


# A file cut short under its reader: run in a child, where a signal (a mapped file's SIGBUS)
# or a hang cannot take the suite with it.
_CHANGED_UNDER_THE_INDEX = """
import os, sys
import _atomkit
import atomkit

path, when = sys.argv[1:]
Reader = _atomkit.Reader


class Truncating:  # the module's reader, the file cut short once a few frames of it are found

    def __init__(self, *args, **kwargs):
        self.reader = Reader(*args, **kwargs)

    def scan(self, limit=-1):
        self.reader.scan(2)
        os.truncate(path, 4096)
        return self.reader.scan(limit)

    def __getattr__(self, name):
        return getattr(self.reader, name)


try:
    if when == "while scanned":
        _atomkit.Reader = Truncating
        atomkit.FrameIndex(path, use_saved=False)
    else:
        index = atomkit.FrameIndex(path)
        index[0]
        os.truncate(path, 4096)
        index[len(index) - 1]
except ValueError as error:
    print(error)
"""


@pytest.mark.parametrize("when, since", [("while scanned", "opened"), ("after it was indexed", "indexed")])
def test_a_file_cut_short_is_an_error_not_a_signal(tmp_path, when, since):
    path = tmp_path / "frames.xyz"
    atomkit.write(path, [atomkit.Frame(np.array(["H"] * 50), {"pos": np.full((50, 3), 0.5)}) for _ in range(20)])
    run = run_python(_CHANGED_UNDER_THE_INDEX, path, when)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith(f"{path} changed since it was {since} (truncated, replaced or rewritten)")


# ---- workers --------------------------------------------------------------------------

def _frames_in_worker(index, ks):
    return [index[k] for k in ks], index._fd >= 0


def test_pickled_index_reads_in_a_spawned_worker(tmp_path):
    path = write_text(tmp_path, SHAPES["crlf and blank lines"])
    index = atomkit.FrameIndex(path)
    index[0]  # the file is open here; it does not travel
    assert len(pickle.dumps(index)) < 2000
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        frames, opened = pool.apply(_frames_in_worker, (index, [6, 0, 3]))
        parts = pool.starmap(_frames_in_worker, [(index.subset(2, 5), range(3)), (index.subset(5, 99), [-1])])
    assert opened
    want = atomkit.read(path, ":")
    assert_same_frames(frames, [want[6], want[0], want[3]])
    assert_same_frames(parts[0][0] + parts[1][0], want[2:5] + want[-1:])


def test_subset_holds_its_frames_only(tmp_path):
    path = write_text(tmp_path, "".join(frame_text(k) for k in range(9)))
    index = atomkit.FrameIndex(path)
    part = index.subset(3, 7)
    assert len(part) == 4 and part.offsets.tolist() == index.offsets[3:7].tolist()
    assert_same_frames(part[:], index[3:7])
    assert len(index.subset(8, 100)) == 1 and len(index.subset(9, 100)) == 0


# ---- compressed files -----------------------------------------------------------------

@pytest.mark.parametrize("opener, name", [(gzip.open, "frames.xyz.gz"), (gzip.open, "frames.xyz"),
                                          (bz2.open, "frames.bz2"), (lzma.open, "frames.data")])
def test_compressed_file_is_refused(tmp_path, opener, name):
    path = tmp_path / name
    with opener(path, "wb") as f:
        f.write(frame_text(0).encode())
    with pytest.raises(ValueError, match=r"is compressed \((gzip|bzip2|xz)\).*decompress it first"):
        atomkit.FrameIndex(path)


# ---- the Properties of each frame -----------------------------------------------------

_TOKENS = st.sampled_from([
    "Properties=species:S:1:pos:R:3", "properties=pos:R:3", "PROPERTIES=Z:I:1", "Properties=", "Properties",
    'Properties="species:S:1"', "Properties=a=b", "Properties=a:S:1\x1cb", "Properties =x:R:1",
    'Lattice="1 0 0 0 1 0 0 0 1"', "e=-1.5", 'a="x Properties=q:R:1"', "a='y", "b=[1, 2]", "c={T F}",
    'd="', "\\", "x", "é=1", "pbc=T", '"quoted key"=1', "Properties=species:S:1:pos:R:3\x1c",
    'a=b"c', 'd="x', 'y"', 'k= "v w"', "w=x\x1cy", 'q="\\"', "Properties=a:R:1 Properties=b:R:1",
    'Properties=a:R:1"x', "Properties=a:R:1[x", "Properties=a:R:1:b:I:1",
    'a="x"b', '"', "=", "a=", 'a= "x y"', 'b="c=d"', 'c="" ', '"k"="v"', "Properties=\"a:R:1\"", "k=v=w",
    # Properties=... inside another value, or glued to another token
    'a="x Properties=q:R:1 y"', 'k=v"w', "a='x Properties=q:R:1 y'", "c={x Properties=q:R:1 y}",
    "xProperties=q:R:1", 'n="m"Properties=q:R:1',
])


@pytest.mark.parametrize(
    "lines",
    [
        ["Properties=pos:R:3 e=1", "Properties=pos:R:3:q:R:1 e=2", "Properties=pos:R:3"],
        ['a="1 2" Properties=pos:R:3', 'a="1 2" Properties=pos:R:3"x', 'a="1 2" Properties=pos:R:3\x1cq=1'],
        ['L="1 2" Properties=q:R:1 e=1', 'L="3 4 5" Properties=q:R:1', 'L="a\\" Properties=q:R:1 z"',
         'L="6" Properties=q:R:1:r:R:1', "L=\"'[\" Properties=q:R:1"],
        ["Properties=Z:I:1 x", "Properties=Z:I:1=x", "Properties=Z:I:1\tx=1", "Properties=Z:I:1é=1"],
        # a Properties key only in appearance: inside a value, or glued to another token
        ['k=v"w a=" Properties=q:R:1 y"', 'a="x Properties=q:R:1 y"', "a='x Properties=q:R:1 y'",
         "c={x Properties=q:R:1 y}", "b=[1, 2] Properties=q:R:1", "xProperties=q:R:1", 'n="m" Properties=q:R:1'],
    ],
)
def test_named_properties_of_lines_in_turn(lines):
    """Each line of a run that starts like the one before gets its own Properties."""
    assert_named_properties(lines)


def assert_named_properties(lines):
    """The Properties the module's reader finds for each line, given in turn as the comment lines
    of frames without atoms, are the parser's (for the lines the parser reads)."""
    reader = _atomkit.Reader(b"".join(b"0\n" + line.encode() + b"\n" for line in lines))
    assert reader.scan() == (len(lines), True, None)
    for line, layout in zip(lines, reader.rows[:, 3].tolist()):
        try:
            parsed = parse(line)[0]
        except ValueError:
            continue  # a frame with this comment line raises when read; the scan need not agree
        assert reader.properties[layout] == (PLAIN_XYZ if parsed is None else parsed), line


_ITEMS = st.lists(st.tuples(_TOKENS, st.sampled_from([" ", "\t", "  ", "\x0c", "\x1c"])), max_size=4)


@settings(max_examples=examples(1000), deadline=None)
@given(st.booleans(), _ITEMS, st.lists(st.tuples(st.text('0 .1"\\\'[x=', max_size=6), _ITEMS), min_size=1, max_size=4))
def test_named_properties_is_the_parsers(quoted_first, head, lines):
    """The Properties the scan finds for a comment line are what the comment-line parser finds,
    also for lines that start like the line before but for a first quoted value."""
    texts = []
    for inside, tail in lines:
        line = "".join(token + space for token, space in head + tail).rstrip(" ")
        texts.append(f'L="{inside}" {line}' if quoted_first else line)
    assert_named_properties(texts)
