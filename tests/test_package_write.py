# atomkit.write: the exact text it writes, every info type and column kind read back equal,
# frames it must refuse, the column, info and plain XYZ options, and a Hypothesis round trip.
import io

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import atomkit
from atomkit import Frame
from python_loops import python_loops

from test_package_read import BRACKETED, FORTRAN, PLAIN_XYZ, QUOTING, SPECIES_LESS, STRING_COLUMNS
from helpers import examples

# %16.8f keeps 8 decimals: the value read back is within half a unit of the last of them.
DECIMALS = 5e-9


def written(frames, **options):
    out = io.StringIO()
    atomkit.write(out, frames, **options)
    return out.getvalue()


def reread(frames, **options):
    return atomkit.read(io.StringIO(written(frames, **options)), ":")


def assert_values_equal(got, want, tolerance=0.0):
    if isinstance(want, np.ndarray):
        assert isinstance(got, np.ndarray) and got.shape == want.shape, (got, want)
        if want.dtype.kind == "f":
            with np.errstate(invalid="ignore", over="ignore"):
                close = np.abs(got - want) <= tolerance + 2 * np.spacing(np.abs(want))
            assert (close | (np.isnan(got) & np.isnan(want)) | (got == want)).all(), (got, want)
        else:
            assert got.dtype.kind == ("i" if want.dtype.kind == "u" else want.dtype.kind)
            assert got.tolist() == want.tolist()
    elif isinstance(want, float) and np.isnan(want):
        assert type(got) is float and np.isnan(got)
    else:
        assert got == want and type(got) is type(want), (got, want)


def assert_frames_equal(got, want):
    if want.symbols is None:
        assert got.symbols is None
    else:
        assert got.symbols.tolist() == list(want.symbols)
    assert list(got.arrays) == list(want.arrays)
    for name, values in want.arrays.items():
        assert_values_equal(got.arrays[name], np.asarray(values), DECIMALS)
    if want.lattice is None:
        assert got.lattice is None
    else:
        assert_values_equal(got.lattice, np.asarray(want.lattice, dtype=np.float64))
    assert got.pbc == tuple(bool(p) for p in want.pbc)
    assert list(got.info) == list(want.info)
    for key, value in want.info.items():
        assert_values_equal(got.info[key], value)


def test_exact_text():
    frame = Frame(
        symbols=np.array(["Si", "O", "Uuo"]),
        arrays={"pos": np.array([[0.0, 1.5, -2.25], [1e-9, -0.0, 1234.5], [3.0, 2.0, 1.0]]),
                "tag": np.array([7, -30, 123456789]), "fixed": np.array([True, False, True])},
        lattice=np.diag([10.0, 11.0, 12.5]), pbc=(True, True, False),
        info={"energy": -1.25, "step": 3, "done": False, "note": 'a "b"', "stress": np.arange(9.0).reshape(3, 3)},
    )
    assert written(frame) == (
        "3\n"
        'Lattice="10.0 0.0 0.0 0.0 11.0 0.0 0.0 0.0 12.5" Properties=species:S:1:pos:R:3:tag:I:1:fixed:L:1 '
        'pbc="T T F" energy=-1.25 step=3 done=F note="a \\"b\\"" stress="0.0 1.0 2.0 3.0 4.0 5.0 6.0 7.0 8.0"\n'
        "Si       0.00000000       1.50000000      -2.25000000        7  T\n"
        "O        0.00000000      -0.00000000    1234.50000000      -30  F\n"
        "Uuo       3.00000000       2.00000000       1.00000000 123456789  T\n"
    )


@pytest.mark.parametrize("text", [BRACKETED, QUOTING, FORTRAN, SPECIES_LESS, STRING_COLUMNS, PLAIN_XYZ])
@pytest.mark.parametrize("loops", [False, True], ids=["module", "python-loops"])
def test_read_write_read(text, loops):
    """What read returns, write takes; reading that gives the same values; and writing
    those again gives the same text."""
    with python_loops() if loops else io.StringIO():
        first = atomkit.read(io.StringIO(text), ":")
        again = reread(first)
        for got, want in zip(again, first, strict=True):
            assert_frames_equal(got, want)
        assert written(again) == written(first)


def test_species_less_and_string_columns_text():
    species_less, strings = written(atomkit.read(io.StringIO(SPECIES_LESS))), written(atomkit.read(io.StringIO(STRING_COLUMNS)))
    assert "None" not in species_less and species_less.splitlines()[2] == (
        "       26       0.00000000       0.00000000       0.00000000")
    assert strings.splitlines()[3] == "Ow       1.00000000       1.00000000       1.00000000 b2 z w  F"


@pytest.mark.parametrize(
    "value",
    [True, False, 0, -17, 2**70, 0.1, -1e-300, float("inf"), float("nan"), "word", "two words", "",
     'q"u\'o\\te', "line\nbreak", "[x", np.float32(0.5), np.int16(-3), np.bool_(True),
     np.array([1.5]), np.array([1, 2, 3]), np.array([True, False]), np.array(["a b", "c"]), np.array([]),
     np.array([[1.0, 2.0], [3.0, 4.0]]), np.arange(9.0).reshape(3, 3), [1, 2, 3]],
)
def test_info_values_round_trip(value):
    frame = Frame(symbols=np.array(["H"]), arrays={"pos": np.zeros((1, 3))}, info={"first": 1, "x": value, "last": 2})
    got = reread(frame)[0].info
    want = np.asarray(value) if isinstance(value, list) else value.item() if isinstance(value, np.generic) else value
    assert list(got) == ["first", "x", "last"]
    assert_values_equal(got["x"], want)


@pytest.mark.parametrize(
    "frame, error",
    [
        (Frame(symbols=np.array(["H", ""])), ValueError),
        (Frame(symbols=np.array(["H", "O H"])), ValueError),
        (Frame(symbols=np.array(["H", "O"]), arrays={"pos": np.zeros((3, 3))}), ValueError),
        (Frame(symbols=np.array(["H"]), arrays={"species": np.array(["O"])}), ValueError),
        (Frame(arrays={"bad name": np.zeros(1)}), ValueError),
        (Frame(arrays={"z": np.zeros(1, dtype=complex)}), TypeError),
        (Frame(arrays={"z": np.zeros((1, 2, 2))}), ValueError),
        (Frame(arrays={"label": np.array(["a\tb"])}), ValueError),
        (Frame(info={"PBC": 1}), ValueError),
        (Frame(info={"a": None}), TypeError),
        (Frame(info={"a": np.zeros((2, 2, 2))}), ValueError),
        (Frame(lattice=np.eye(2)), ValueError),
        (Frame(pbc=(True, False)), ValueError),
    ],
)
def test_refused_frames(frame, error):
    with pytest.raises(error):
        written(frame)


def test_symbols_changed_in_place_between_frames():
    """What the writer remembers between frames (the species, the lattice) follows changes
    made in place to the arrays it was given."""
    symbols, lattice = np.array(["H", "O"]), np.eye(3)
    frame = Frame(symbols=symbols, arrays={"pos": np.zeros((2, 3))}, lattice=lattice)
    first = written(frame)
    symbols[1], lattice[0, 0] = "C", 2.0
    second = reread(frame)[0]
    assert "O" in first and second.symbols.tolist() == ["H", "C"] and second.lattice[0, 0] == 2.0
    symbols[0] = " "
    with pytest.raises(ValueError, match="whitespace"):
        written(frame)


def test_paths_append_and_compression(tmp_path):
    frames = atomkit.read(io.StringIO(BRACKETED + STRING_COLUMNS), ":")
    for name in ("out.xyz", "out.xyz.gz", "out.xyz.bz2", "out.xyz.xz"):
        path = tmp_path / name
        atomkit.write(path, frames[0])
        atomkit.write(str(path), frames[1:], append=True)
        for got, want in zip(atomkit.read(path, ":"), frames, strict=True):
            assert_frames_equal(got, want)
    binary = io.BytesIO()
    atomkit.write(binary, (f for f in frames))
    assert binary.getvalue().decode() == written(frames)


# ---- columns, info, plain XYZ ---------------------------------------------------------

# What the writer wrote before it had options: its defaults must keep writing exactly this.
DEFAULT_TEXT = (
    "2\n"
    'Lattice="5.43 0.0 0.0 0.0 5.43 0.0 0.0 0.0 5.43" Properties=species:S:1:pos:R:3:forces:R:3 pbc="T T F" '
    'energy=-10.25 stress="1.5 0.1 0.2 0.1 2.5 0.3 0.2 0.3 3.5"\n'
    "Si       0.00000000       0.00000000       0.00000000       0.50000000      -0.50000000       0.25000000\n"
    "Si       1.35750000       1.35750000       1.35750000      -0.50000000       0.50000000      -0.25000000\n"
    "1\n"
    'Properties=species:S:1:pos:R:3 pbc="F F F" Z_values="S 26 51 57" "my key"=3 relaxed=T '
    'note="say \\"hi\\" \\\\ there" ids="4 5 6" grid=[[1, 2], [3, 4]] names=["a b", "c"] flag=F\n'
    "Fe       0.00000000       0.00000000       0.00000000\n"
    "2\n"
    'Properties=Z:I:1:pos:R:3 pbc="F F F" virial="1.0 2.0 3.0 4.0 5.0 6.0 7.0 8.0 9.0"\n'
    "       26       0.00000000       0.00000000       0.00000000\n"
    "        8       1.50000000       0.00000000       0.00000000\n"
    "2\n"
    'Properties=species:S:1:pos:R:3:label:S:1:tags:S:2:fixed:L:1 pbc="F F F"\n'
    "H        0.00000000       0.00000000       0.00000000 a1 x y  T\n"
    "Ow       1.00000000       1.00000000       1.00000000 b2 z w  F\n"
    "2\n"
    'Properties=species:S:1:pos:R:3 pbc="F F F" comment="Helium as a Lennard-Jones fluid"\n'
    "He       0.00000000       0.00000000       0.00000000\n"
    "He       3.40000000       0.00000000       0.00000000\n"
)


@pytest.mark.parametrize("options", [{}, {"columns": None, "info": True, "plain": False}])
def test_defaults_write_what_they_always_wrote(options):
    frames = atomkit.read(io.StringIO(BRACKETED + QUOTING + SPECIES_LESS + STRING_COLUMNS + PLAIN_XYZ), ":")
    assert written(frames, **options) == DEFAULT_TEXT


def sample(step):
    """A frame with integer positions, an integer column that must stay one, and info."""
    return Frame(symbols=np.array(["H", "Og"]),
                 arrays={"pos": np.array([[0, 1, 2], [-3, 4, 5]]) + step, "forces": np.full((2, 3), 0.5),
                         "tag": np.array([7, 8])},
                 lattice=np.eye(3) * 4, pbc=(True, False, True),
                 info={"energy": -1.5, "comment": "two atoms", "step": step})


def cut(frame, symbols=True, arrays=(), info=(), cell=True):
    """`frame` as reading it back should give: its positions as reals, the named parts."""
    values = {name: frame.arrays[name].astype(np.float64) if name == "pos" else frame.arrays[name]
              for name in arrays}
    return Frame(frame.symbols if symbols else None, values, frame.lattice if cell else None,
                 frame.pbc if cell else (False, False, False), {key: frame.info[key] for key in info})


@pytest.mark.parametrize("options, want", [
    ({}, dict(arrays=["pos", "forces", "tag"], info=["energy", "comment", "step"])),
    ({"columns": ["tag", "species", "pos"]}, dict(arrays=["tag", "pos"], info=["energy", "comment", "step"])),
    ({"columns": ("forces",), "info": False}, dict(symbols=False, arrays=["forces"])),
    ({"info": ["step", "energy"]}, dict(arrays=["pos", "forces", "tag"], info=["step", "energy"])),
    ({"columns": ["pos"], "info": []}, dict(symbols=False, arrays=["pos"])),
    ({"plain": True}, dict(arrays=["pos"], info=["comment"], cell=False)),
], ids=["defaults", "species-listed-later", "no-species-no-info", "info-keys", "pos-only", "plain"])
def test_options_read_back(options, want):
    frames = [sample(0), sample(1)]
    for got, frame in zip(reread(frames, **options), frames, strict=True):
        assert_frames_equal(got, cut(frame, **want))


def test_plain_atom_lines_are_the_extended_ones():
    frame = sample(0)
    frame.arrays["pos"] = np.array([[0.125, -1e-9, 1234.5], [3.0, 2.0, 1.0]])
    plain, extended = written(frame, plain=True), written(frame, columns=["species", "pos"])
    assert plain.splitlines()[:2] == ["2", "two atoms"]
    assert plain.splitlines()[2:] == extended.splitlines()[2:]
    assert written(Frame(np.array(["He"]), {"positions": np.zeros((1, 3))}), plain=True) == (
        "1\n\nHe       0.00000000       0.00000000       0.00000000\n")


@pytest.mark.parametrize("name", ["pos", "positions"])
@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint8, np.bool_])
def test_integer_positions_written_as_reals(name, dtype):
    values = (np.arange(6) % 2).reshape(2, 3).astype(dtype)
    frame = Frame(np.array(["H", "H"]), {name: values, "n": np.array([1, 2], dtype)})
    text = written(frame)
    assert f"{name}:R:3" in text and ("n:I:1" if dtype is not np.bool_ else "n:L:1") in text
    got = atomkit.read(io.StringIO(text))
    assert got.arrays[name].dtype == np.float64 and got.arrays[name].tolist() == values.astype(float).tolist()


@pytest.mark.parametrize("options, frames, error, match", [
    ({"columns": ["species", "forces"]}, [sample(0), Frame(np.array(["H"]), {"pos": np.zeros((1, 3))})],
     ValueError, r"frame 1 has no column 'forces' \(it has species, pos\)"),
    ({"columns": ["species"]}, [Frame(arrays={"pos": np.zeros((1, 3))})], ValueError, r"frame 0 .*'species' \(it has pos\)"),
    ({"columns": ["pos", "tag", "pos"]}, [sample(0)], ValueError, "twice"),
    ({"columns": []}, [sample(0)], ValueError, "no column"),
    ({"columns": "pos"}, [sample(0)], TypeError, "sequence"),
    ({"info": ["energy", "volume"]}, [sample(0), sample(1)], ValueError, r"frame 0 has no info key 'volume'"),
    ({"info": ["step", "step"]}, [sample(0)], ValueError, "twice"),
    ({"info": None}, [sample(0)], TypeError, "True, False"),
    ({"plain": True, "columns": ["pos"]}, [sample(0)], TypeError, "combine"),
    ({"plain": True, "info": False}, [sample(0)], TypeError, "combine"),
    ({"plain": True}, [sample(0), Frame(arrays={"pos": np.zeros((1, 3))})], ValueError, "frame 1 has no species"),
    ({"plain": True}, [Frame(np.array(["H"]), {"forces": np.zeros((1, 3))})], ValueError, "no positions"),
    ({"plain": True}, [Frame(np.array(["H"]), {"pos": np.zeros((1, 2))})], ValueError, r"\(1, 3\)"),
    ({"plain": True}, [Frame(np.array(["H"]), {"pos": np.zeros((1, 3))}, info={"comment": "a\rb"})],
     ValueError, "line break"),
])
def test_refused_options(tmp_path, options, frames, error, match):
    path = tmp_path / "out.xyz"
    with pytest.raises(error, match=match):
        atomkit.write(path, frames, **options)
    assert not path.exists()


# ---- round trip over random frames ---------------------------------------------------

tokens = st.text(st.characters(codec="utf-8", exclude_categories=("Cs", "Zs", "Cc")), min_size=1, max_size=4)
keys = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",), exclude_characters="\n\r"), min_size=1, max_size=6).filter(
    lambda k: k.lower() not in ("lattice", "properties", "pbc"))
finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
# A str that reads back as a str: not a number, bool or list of them (those are typed).
texts = st.text(max_size=12).filter(
    lambda s: isinstance(atomkit.read(io.StringIO(f"0\nk={written_value(s)}\n")).info["k"], str))
info_values = st.one_of(
    st.booleans(), st.integers(-2**63, 2**63 - 1), st.floats(width=64), texts,
    hnp.arrays(np.float64, st.integers(0, 5), elements=finite),
    hnp.arrays(np.int64, st.integers(2, 5)), hnp.arrays(np.bool_, st.integers(2, 5)),
    hnp.arrays(np.float64, st.tuples(st.integers(1, 3), st.integers(1, 3)), elements=finite),
)


def written_value(value):
    from atomkit.comment.write import value_text
    return value_text(value)


@st.composite
def frames(draw):
    natoms = draw(st.integers(0, 6))
    # Width 0 is a 1-D column; a (natoms, 1) array would come back 1-D, as the format has it.
    column = st.tuples(st.sampled_from(["f", "i", "b", "s"]), st.sampled_from([0, 2, 3]))
    arrays = {}
    for index, (kind, width) in enumerate(draw(st.lists(column, max_size=5))):
        shape = (natoms,) if width == 0 else (natoms, width)
        if kind == "f":
            values = draw(hnp.arrays(np.float64, shape, elements=st.floats(-1e12, 1e12) | st.sampled_from([np.inf, -np.inf])))
        elif kind == "i":
            values = draw(hnp.arrays(np.int64, shape))
        elif kind == "b":
            values = draw(hnp.arrays(np.bool_, shape))
        else:
            values = draw(hnp.arrays(np.dtype("U4"), shape, elements=tokens))
        arrays[f"c{index}"] = values
    symbols = draw(st.none() | hnp.arrays(np.dtype("U4"), natoms, elements=tokens))
    if symbols is None and not arrays:
        arrays["pos"] = np.zeros((natoms, 3))
    lattice = draw(st.none() | hnp.arrays(np.float64, (3, 3), elements=finite))
    pbc = draw(st.tuples(st.booleans(), st.booleans(), st.booleans()))
    info = draw(st.dictionaries(keys, info_values, max_size=4))
    return Frame(symbols=symbols, arrays=arrays, lattice=lattice, pbc=pbc, info=info)


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(frames(), min_size=1, max_size=3))
def test_round_trip_random_frames(frames):
    for got, want in zip(reread(frames), frames, strict=True):
        assert_frames_equal(got, want)
