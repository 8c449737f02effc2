# The extxyz host in examples/: an in-memory round trip with the module and with the Python
# loops, the exact text of a frame, column codes from Properties, and malformed input.
import io
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import extxyz  # noqa: E402

LATTICE = np.array([[10.0, 0.0, 0.0], [0.5, 11.0, 0.0], [0.0, -0.25, 12.0]])
INFO = {"comment": 'two "quoted" words', "step": 7, "energy": -12.5, "relaxed": False}
HEADER = (
    'Lattice="10.0 0.0 0.0 0.5 11.0 0.0 0.0 -0.25 12.0" '
    "Properties=species:S:1:pos:R:3:forces:R:3:tag:I:1:fixed:L:1 "
    'pbc="T T T" comment="two \\"quoted\\" words" step=7 energy=-12.5 relaxed=F'
)
FIRST_ATOM = ("Ö        1.50000000      -0.25000000   -1234.00000001       0.00000000"
              "      -3.00000000      -0.12345679    -1000  T")

def structure(natoms, seed):
    rng = np.random.default_rng(seed)
    symbols = rng.choice(np.array(["Si", "O", "Ö", "H", "Fe"]), natoms)
    arrays = {
        "pos": rng.uniform(-100.0, 100.0, (natoms, 3)),
        "forces": rng.normal(0.0, 2.0, (natoms, 3)),
        "tag": rng.integers(-10**9, 10**9, natoms),
        "fixed": rng.random(natoms) < 0.3,
    }
    symbols[0] = "Ö"
    arrays["pos"][0] = [1.5, -0.25, -1234.0000000051]
    arrays["forces"][0] = [1e-9, -3.0, -0.123456789]
    arrays["tag"][0], arrays["fixed"][0] = -1000, True
    return symbols, arrays


@pytest.mark.parametrize("loops", [False, True], ids=["atomkit", "python-loops"])
def test_round_trip_in_memory(loops):
    hooks = ({"atom_block": extxyz.write_atoms_loop}, {"atom_lines": extxyz.read_atom_lines_loop}) if loops else ({}, {})
    frames = [structure(50, seed) for seed in (1, 2)]
    f = io.StringIO()
    for symbols, arrays in frames:
        extxyz.write_frame(f, symbols, arrays, LATTICE, info=INFO, **hooks[0])
    lines = f.getvalue().splitlines()
    assert len(lines) == 2 * 52 and lines[:3] == ["50", HEADER, FIRST_ATOM]

    f.seek(0)
    read = list(extxyz.read_frames(f, **hooks[1]))
    assert len(read) == 2
    for frame, (symbols, arrays) in zip(read, frames):
        assert frame.symbols.tolist() == symbols.tolist()
        assert list(frame.arrays) == ["pos", "forces", "tag", "fixed"]
        for name in ("tag", "fixed"):
            assert frame.arrays[name].dtype == arrays[name].dtype
            np.testing.assert_array_equal(frame.arrays[name], arrays[name])
        for name in ("pos", "forces"):
            assert frame.arrays[name].shape == (50, 3)
            assert (np.abs(frame.arrays[name] - arrays[name]) <= 5e-9 + 2 * np.spacing(np.abs(arrays[name]))).all()
        np.testing.assert_array_equal(frame.lattice, LATTICE)
        assert frame.pbc == (True, True, True) and frame.info == INFO


@pytest.mark.parametrize(
    "properties, col_types",
    [
        ("species:S:1:pos:R:3:forces:R:3:tag:I:1:fixed:L:1", b"sffffffib"),
        ("species:S:1", b"s"),
        ("flags:L:2:id:I:1:names:S:2:x:R:1", b"bbissf"),
        ("species:S:1:pos:R:12", b"s" + b"f" * 12),
    ],
)
def test_col_types_of(properties, col_types):
    assert extxyz.col_types_of(properties) == col_types


@pytest.mark.parametrize(
    "properties",
    ["species:S", "species:X:1", "species:S:0", "species:S:01", "pos:R:1.5", ":R:1", "a:R:1:a:I:1", "species:s:1"],
)
def test_bad_properties(properties):
    with pytest.raises(ValueError, match="Properties"):
        extxyz.col_types_of(properties)


def test_reader_takes_any_columns_and_defaults():
    text = "2\nProperties=species:S:1:label:S:2:q:R:1:n:I:2 note=x\nH a b 1.5 1 2\nO c d -2 3 4\n\n"
    (frame,) = extxyz.read_frames(io.StringIO(text))
    assert frame.symbols.tolist() == ["H", "O"] and frame.lattice is None and frame.pbc == (False, False, False)
    assert frame.arrays["label"].tolist() == [["a", "b"], ["c", "d"]]
    assert frame.arrays["q"].tolist() == [1.5, -2.0] and frame.arrays["n"].tolist() == [[1, 2], [3, 4]]
    assert frame.info == {"note": "x"}


@pytest.mark.parametrize(
    "text, message",
    [
        ("2\nProperties=species:S:1:q:R:1\nH 1.0\n", "ends inside a frame"),
        ("x\n", "line 1: expected an atom count"),
        ("1\nProperties=species:S:1:q:R:1\nH 1.0\n1\nProperties=species:S:1:q:R:1\nH 1.x\n",
         r'frame at line 4 \(atom lines from line 6\): row 0: cannot parse "1.x" as float'),
        ('1\nkey="unclosed\nH 1 2 3\n', "comment line"),
    ],
)
def test_reader_errors(text, message):
    with pytest.raises(ValueError, match=message):
        list(extxyz.read_frames(io.StringIO(text)))


@pytest.mark.parametrize(
    "symbols, arrays, error",
    [
        (["H", ""], {}, ValueError),
        (["H", "O H"], {}, ValueError),
        (["H", "O"], {"pos": np.zeros((3, 3))}, ValueError),
        (["H", "O"], {"label": np.array(["a", "b"])}, TypeError),
    ],
)
def test_writer_refuses_what_it_cannot_read_back(symbols, arrays, error):
    with pytest.raises(error):
        extxyz.write_frame(io.StringIO(), symbols, arrays)
