# atomkit.read/iread on files as real producers write them: every comment-line form, atom
# lines with odd spacing, compression and sources, frame selection, and errors by file line.
import bz2
import gzip
import io
import lzma
import pathlib

import numpy as np
import pytest

import atomkit
from atomkit.base import files
from atomkit.reading import api as reading_api
import reference_walker
from python_loops import python_loops


@pytest.fixture(params=["module", "python-loops"])
def backend(request, monkeypatch):
    """Each test that takes it runs with the module and with the plain Python loops (frames
    walked one at a time by the tests' reference walker, atom lines split and parsed in Python)."""
    if request.param == "module":
        yield
    else:
        monkeypatch.setattr(atomkit, "read", reference_walker.read)
        monkeypatch.setattr(atomkit, "iread", reference_walker.iread)
        with python_loops():
            yield


def read_text(text, index=-1):
    return atomkit.read(io.BytesIO(text.encode() if isinstance(text, str) else text), index)


# Bracketed pbc and a 9-value stress, as the format's own test files write them.
BRACKETED = (
    '2\nLattice="5.43 0.0 0.0 0.0 5.43 0.0 0.0 0.0 5.43" Properties=species:S:1:pos:R:3:forces:R:3 '
    'energy=-10.25 pbc=[T, T, F] stress="1.5 0.1 0.2 0.1 2.5 0.3 0.2 0.3 3.5"\n'
    "Si 0.0 0.0 0.0 0.5 -0.5 0.25\nSi 1.3575 1.3575 1.3575 -0.5 0.5 -0.25\n"
)
# Single-quoted values, a quoted key, keys without values, escapes, braces, nested brackets.
QUOTING = (
    "1\nProperties=species:S:1:pos:R:3 Z_values='S 26 51 57' \"my key\"=3 relaxed "
    "note=\"say \\\"hi\\\" \\\\ there\" ids={4 5 6} grid=[[1, 2], [3, 4]] names=['a b', \"c\"] flag=F\n"
    "Fe 0 0 0\n"
)
# Fortran-style output: padded count line, tabs, \r\n, E-notation, leading and trailing spaces.
FORTRAN = (
    "     2   \r\n"
    "lattice=\"10.0 0 0 0 10.0 0 0 0 10.0\"\tPROPERTIES=species:S:1:pos:R:3:q:R:1   PBC=\"T T T\"  \r\n"
    "   O\t  1.000000E+00   -2.5000E-01\t3.0e0   -8.0E-01   \r\n"
    "   H\t  1.5E+00   0.25\t3.0   4.0E-01   \r\n"
)
SPECIES_LESS = "2\nProperties=Z:I:1:pos:R:3 virial=\"1 2 3 4 5 6 7 8 9\"\n26 0 0 0\n8 1.5 0 0\n"
STRING_COLUMNS = (
    "2\nProperties=species:S:1:pos:R:3:label:S:1:tags:S:2:fixed:L:1\n"
    "H 0 0 0 a1 x y T\nOw 1 1 1 b2 z w F\n"
)
PLAIN_XYZ = "2\nHelium as a Lennard-Jones fluid\nHe 0.0 0.0 0.0\nHe 3.4 0.0 0.0\n"


def test_bracketed_pbc_and_stress(backend):
    frame = read_text(BRACKETED)
    assert frame.pbc == (True, True, False)
    assert frame.symbols.tolist() == ["Si", "Si"]
    np.testing.assert_array_equal(frame.lattice, np.eye(3) * 5.43)
    np.testing.assert_array_equal(frame.arrays["forces"], [[0.5, -0.5, 0.25], [-0.5, 0.5, -0.25]])
    assert list(frame.info) == ["energy", "stress"] and frame.info["energy"] == -10.25
    np.testing.assert_array_equal(frame.info["stress"], [[1.5, 0.1, 0.2], [0.1, 2.5, 0.3], [0.2, 0.3, 3.5]])


def test_quoting_forms():
    info = read_text(QUOTING).info
    assert list(info) == ["Z_values", "my key", "relaxed", "note", "ids", "grid", "names", "flag"]
    assert info["Z_values"] == "S 26 51 57" and info["my key"] == 3 and info["relaxed"] is True
    assert info["note"] == 'say "hi" \\ there' and info["flag"] is False
    assert info["ids"].dtype == np.int64 and info["ids"].tolist() == [4, 5, 6]
    assert info["grid"].tolist() == [[1, 2], [3, 4]]
    assert info["names"].tolist() == ["a b", "c"]


def test_fortran_style_lines(backend):
    frame = read_text(FORTRAN)
    assert frame.symbols.tolist() == ["O", "H"] and frame.pbc == (True, True, True)
    np.testing.assert_array_equal(frame.lattice, np.eye(3) * 10.0)
    np.testing.assert_array_equal(frame.arrays["pos"], [[1.0, -0.25, 3.0], [1.5, 0.25, 3.0]])
    np.testing.assert_array_equal(frame.arrays["q"], [-0.8, 0.4])
    assert frame.info == {}


def test_species_less_frame():
    frame = read_text(SPECIES_LESS)
    assert frame.symbols is None and list(frame.arrays) == ["Z", "pos"]
    assert frame.arrays["Z"].dtype == np.int64 and frame.arrays["Z"].tolist() == [26, 8]
    assert frame.info["virial"].shape == (3, 3) and frame.info["virial"][2, 0] == 7.0


def test_string_columns(backend):
    frame = read_text(STRING_COLUMNS)
    assert frame.symbols.tolist() == ["H", "Ow"]
    assert frame.arrays["label"].tolist() == ["a1", "b2"]
    assert frame.arrays["tags"].tolist() == [["x", "y"], ["z", "w"]]
    assert frame.arrays["fixed"].dtype == np.bool_ and frame.arrays["fixed"].tolist() == [True, False]


def test_plain_xyz_comment():
    frame = read_text(PLAIN_XYZ)
    assert frame.info == {"comment": "Helium as a Lennard-Jones fluid"}
    assert frame.lattice is None and frame.pbc == (False, False, False)
    assert frame.arrays["pos"].tolist() == [[0.0, 0.0, 0.0], [3.4, 0.0, 0.0]]


@pytest.mark.parametrize(
    "comment, expected",
    [
        ("a=1 b=-2.5e-3 c=T d=false e=word f=", {"a": 1, "b": -2.5e-3, "c": True, "d": False, "e": "word", "f": ""}),
        ('a="1" b="T F T" c="1 2.5" d=" x "', {"a": 1, "b": [True, False, True], "c": [1.0, 2.5], "d": " x "}),
        ("a=[1,2,3] b=[] c={T F} d=[x, y]", {"a": [1, 2, 3], "b": [], "c": [True, False], "d": ["x", "y"]}),
        ('a = 5 b="line\\nbreak" c=inf d=NaN', {"a": 5, "b": "line\nbreak", "c": float("inf"), "d": "nan"}),
        ("comment=42 t=t ok=ok", {"comment": "42", "t": "t", "ok": "ok"}),
        ("", {}),
    ],
)
def test_value_typing(comment, expected):
    info = read_text(f"0\n{comment}\n").info
    assert list(info) == list(expected)
    for key, want in expected.items():
        got = info[key]
        if want == "nan":
            assert np.isnan(got)
        elif isinstance(want, list):
            assert isinstance(got, np.ndarray) and got.tolist() == want
        else:
            assert got == want and type(got) is type(want)


def test_lattice_forms_and_default_pbc():
    nested = read_text("0\nLattice=[[2, 0, 0], [0, 3, 0], [0, 0, 4]]\n")
    np.testing.assert_array_equal(nested.lattice, np.diag([2.0, 3.0, 4.0]))
    assert nested.lattice.dtype == np.float64 and nested.pbc == (True, True, True)
    assert read_text('0\nLattice="1 0 0 0 1 0 0 0 1" pbc=F\n').pbc == (False, False, False)


@pytest.mark.parametrize(
    "text, message",
    [
        ("2\nProperties=species:S:1:flag:L:1\nH T\nH t\n", 'line 4: row 1: cannot parse "t" as bool'),
        ("1\nProperties=species:S:1:flag:L:1\nH tRUE\n", 'line 3: row 0: cannot parse "tRUE" as bool'),
        ("1\nProperties=species:S:1:flag:L:1\nH ok\n", "line 3: .*'H ok'"),
        ("1\nProperties=species:S:1:flag:L:1\nH 1\n", 'line 3: row 0: cannot parse "1" as bool'),
        ("1\nProperties=species:S:1:pos:R:3\nH 0 0 0\nx\n", "line 4: expected the number of atoms, found 'x'"),
        ("3\nProperties=species:S:1:pos:R:3\nH 0 0 0\n", "line 1: the file ends inside a frame of 3 atoms"),
        ('1\nProperties=species:S:1:pos:R:3 a="open\nH 0 0 0\n', "line 2: cannot parse 'a=\"open'"),
        ("1\nProperties=species:S:1:pos:R\nH 0 0 0\n", "line 2: Properties .*triples"),
        ("1\nProperties=species:S:1:pos:X:3\nH 0 0 0\n", "line 2: .*kind 'X'"),
        ('1\nLattice="1 2 3"\nH 0 0 0\n', "line 2: Lattice needs 9 numbers"),
        ("1\npbc=[T, T]\nH 0 0 0\n", "line 2: pbc needs three"),
        ("1\na=1 a=2\nH 0 0 0\n", "line 2: key 'a' appears twice"),
        ("1\nb=[[1, 2], [3]]\nH 0 0 0\n", "line 2: rows of different lengths"),
    ],
)
def test_errors_name_the_file_line(backend, text, message):
    with pytest.raises(ValueError, match=message) as info:
        read_text(text, ":")
    assert info.value.__cause__ is not None or "expected the number" in message or "ends inside" in message


@pytest.mark.parametrize("suffix, opener", [("", open), (".gz", gzip.open), (".bz2", bz2.open), (".xz", lzma.open)])
def test_paths_by_suffix(tmp_path, suffix, opener):
    path = tmp_path / f"frames.xyz{suffix}"
    with opener(path, "wb") as f:
        f.write((BRACKETED + PLAIN_XYZ).encode())
    assert [f.symbols[0] for f in atomkit.read(path, ":")] == ["Si", "He"]
    assert atomkit.read(str(path)).info == {"comment": "Helium as a Lennard-Jones fluid"}


def test_file_objects_binary_and_text():
    text = BRACKETED + STRING_COLUMNS
    for source in (io.BytesIO(text.encode()), io.StringIO(text)):
        frames = atomkit.read(source, ":")
        assert [len(f.symbols) for f in frames] == [2, 2] and frames[1].arrays["label"][1] == "b2"


def many_frames(count):
    return "".join(f"1\nProperties=species:S:1:pos:R:3 step={k}\nH {k} 0 0\n\n" for k in range(count))


@pytest.mark.parametrize(
    "index, steps",
    [(-1, 6), (0, 0), (3, 3), (-2, 5), (":", list(range(7))), ("2:5", [2, 3, 4]), ("::3", [0, 3, 6]),
     ("-3:", [4, 5, 6]), ("::-2", [6, 4, 2, 0]), (slice(1, None, 4), [1, 5]), ("5:100", [5, 6])],
)
def test_index_selection(index, steps):
    got = read_text(many_frames(7), index)
    assert ([f.info["step"] for f in got] if isinstance(got, list) else got.info["step"]) == steps


@pytest.mark.parametrize("index", [7, -8])
def test_index_past_the_end(index):
    with pytest.raises(IndexError):
        read_text(many_frames(7), index)


def test_stream_in_small_chunks(monkeypatch):
    """Frames that straddle every chunk boundary of a stream come out whole, and iread takes
    only what it has yielded so far."""
    monkeypatch.setattr(files, "CHUNK", 7)
    text = many_frames(50) + STRING_COLUMNS
    source = io.BytesIO(text.encode())
    frames = atomkit.iread(source)
    assert next(frames).info == {"step": 0} and source.tell() < 100
    rest = list(frames)
    assert [f.info["step"] for f in rest[:49]] == list(range(1, 50)) and rest[-1].arrays["tags"][1, 1] == "w"


def test_skipped_frames_are_not_parsed():
    """A forward selection does not look inside the frames it skips."""
    broken = "1\nProperties=species:S:1:flag:L:1\nH maybe\n"
    good = "1\nProperties=species:S:1:flag:L:1\nH T\n"
    assert atomkit.read(io.BytesIO((broken + good).encode()), 1).arrays["flag"].tolist() == [True]


def test_utf8_bom_and_no_final_newline():
    frame = read_text(b"\xef\xbb\xbf1\nProperties=species:S:1:pos:R:3 name=\xc3\x96\n\xc3\x96 1 2 3")
    assert frame.symbols.tolist() == ["Ö"] and frame.info == {"name": "Ö"}


def test_pathlike_and_empty_file(tmp_path):
    path = tmp_path / "empty.xyz"
    path.write_bytes(b"")
    assert atomkit.read(pathlib.PurePath(path), ":") == []
    with pytest.raises(IndexError):
        atomkit.read(path)


@pytest.mark.parametrize("given", ["path", "file", "nameless"])
def test_errors_name_the_file(tmp_path, given):
    path = tmp_path / "train.xyz"
    path.write_bytes(b"1\nProperties=species:S:1:flag:L:1\nH tRUE\n")
    source = {"path": lambda: path, "file": lambda: open(path, "rb"), "nameless": lambda: io.BytesIO(path.read_bytes())}[given]()
    with pytest.raises(ValueError) as error:
        atomkit.read(source, ":")
    prefix = "" if given == "nameless" else f"{path}: "
    assert str(error.value) == prefix + "line 3: row 0: cannot parse \"tRUE\" as bool: 'H tRUE'"
    if given == "file":
        source.close()
