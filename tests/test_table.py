# read_table against atomkit.read frame by frame: mixed Properties, missing info keys, values
# of changing type, slices, writing a table back, and the errors of columns that disagree.
import io

import numpy as np
import pytest

import atomkit
from atomkit import Frame
from atomkit.base import files
from atomkit.reading import api as reading_api
from atomkit.table.build import table_of
import reference_walker
from test_package_write import assert_frames_equal


def mixed_frames(odd_values=True):
    """Frames as a training set mixes them: with and without forces, lattice and species;
    an energy that one frame writes as an int; keys some frames lack; with `odd_values`,
    values no typed column holds (a nested list, an int beyond int64)."""
    rng = np.random.default_rng(7)
    frames = []
    for k in range(9):
        n = (0, 1, 3, 5, 2, 4, 3, 1, 6)[k]
        arrays = {"pos": rng.normal(size=(n, 3)).round(6)}
        if k % 3:
            arrays["forces"] = rng.normal(size=(n, 3)).round(6)
        if k in (4, 8):
            arrays["tag"] = np.arange(n)
        info = {"energy": -3 if k == 5 else round(float(rng.normal()), 5), "config_type": f"kind{k % 2}"}
        if k % 2:
            info["stress"] = rng.normal(size=(3, 3)).round(4)
        if k == 6 and odd_values:
            info["nested"] = [[1, 2], [3, 4]]
            info["names"] = ["a", "b c"]
            info["huge"] = 1 << 70
        symbols = None if k == 7 else np.array(["H", "O", "Si"] * 2)[:n]
        lattice = None if k in (2, 3) else np.diag([5.0 + k, 6.0, 7.0])
        frames.append(Frame(symbols, arrays, lattice, (k % 2 == 0, True, False) if lattice is not None else (False,) * 3, info))
    return frames


@pytest.fixture(params=[True, False], ids=["odd-values", "typed-values"])
def mixed_file(tmp_path, request):
    path = tmp_path / "mixed.xyz"
    atomkit.write(path, mixed_frames(request.param))
    return path


@pytest.fixture
def typed_file(tmp_path):
    """Mixed frames whose every value the module types: read whole by one module call."""
    path = tmp_path / "typed.xyz"
    atomkit.write(path, mixed_frames(odd_values=False))
    return path


@pytest.mark.parametrize("selection", [slice(None), slice(None, None, 2), slice(-3, None), slice(5, 2), slice(1, 8, 3),
                                       slice(None, None, -2)])
def test_table_rows_are_the_frames_read(mixed_file, selection):
    frames = atomkit.read(mixed_file, ":")
    table = atomkit.read_table(mixed_file)
    for part, want in ((table[selection], frames[selection]), (atomkit.read_table(mixed_file, selection), frames[selection])):
        assert len(part) == len(want)
        for got, expected in zip(part, want):
            assert_frames_equal(got, expected)
        assert part.atom_offsets.tolist() == np.cumsum([0] + [f.natoms for f in want]).tolist()


def test_index_table_is_read_table(mixed_file):
    with atomkit.FrameIndex(mixed_file) as index:
        part = index.table(2, 7)
    for got, want in zip(part, atomkit.read_table(mixed_file, "2:7")):
        assert_frames_equal(got, want)
    assert len(part) == 5


def test_index_table_of_a_changed_file_raises(typed_file):
    with atomkit.FrameIndex(typed_file) as index:
        with open(typed_file, "ab") as out:
            out.write(b"\n")
        with pytest.raises(ValueError, match="changed since it was indexed"):
            index.table()


def test_columns_masks_and_written_bytes(mixed_file):
    table = atomkit.read_table(mixed_file)
    assert table.array_present["forces"].tolist() == [k % 3 != 0 for k in range(9)]
    assert table.array_present["species"].tolist() == [k != 7 for k in range(9)]
    assert table.has_lattice.tolist() == [k not in (2, 3) for k in range(9)]
    assert np.shares_memory(table[2:5].arrays["pos"], table.arrays["pos"])
    assert table.info["energy"].dtype == np.float64 and table.info["energy"][5] == -3.0
    assert table.info["stress"].shape == (9, 3, 3) and table.info_present["stress"].tolist() == [k % 2 == 1 for k in range(9)]
    assert table.info["config_type"].tolist() == [f"kind{k % 2}" for k in range(9)]
    assert table.symbols[table.atom_offsets[7]:table.atom_offsets[8]].tolist() == [""]
    assert table[:3].numbers.tolist() == [1, 1, 8, 14]
    with pytest.raises(ValueError, match="no species"):
        table.numbers
    for options in ({}, {"columns": ["pos"], "info": ["energy"]}, {"info": False}):
        written, expected = io.StringIO(), io.StringIO()
        atomkit.write(written, table, **options)
        atomkit.write(expected, atomkit.read(mixed_file, ":"), **options)
        assert written.getvalue() == expected.getvalue()


def test_numbers_refuse_what_is_not_an_element(tmp_path):
    path = tmp_path / "x.xyz"
    atomkit.write(path, [Frame(np.array(["H", "Xx"]), {"pos": np.zeros((2, 3))})])
    with pytest.raises(ValueError, match="'Xx' is not an element"):
        atomkit.read_table(path).numbers


@pytest.mark.parametrize("stream", [False, True], ids=["file", "stream of runs"])
def test_a_column_that_changes_type_names_both_frames(tmp_path, monkeypatch, stream):
    path = tmp_path / "clash.xyz"
    frames = [Frame(np.array(["H"]), {"pos": np.zeros((1, 3)), "q": np.array([1.5])}) for _ in range(4)]
    frames[2].arrays["q"] = np.array([[1, 2]])
    frames[3].arrays["pos"] = np.zeros((1, 2))
    atomkit.write(path, frames)
    monkeypatch.setattr(files, "CHUNK", 5)  # a stream's runs of one frame each
    with pytest.raises(ValueError, match=r"column 'q' is float of width 1 in frame 0 but int of width 2 in frame 2"):
        atomkit.read_table(io.BytesIO(path.read_bytes()) if stream else path)


# "species" is the table's name for the symbols: a species column of another shape cannot sit
# beside them, and the error names the frames as they are in the file.
@pytest.mark.parametrize("first, message", [
    ("species:S:2", r"column 'species' is str of width 2 in frame 0; a table keeps species as one str column"),
    ("species:S:1", r"column 'species' is str of width 1 in frame 0 but str of width 2 in frame 1"),
])
@pytest.mark.parametrize("stream", [False, True], ids=["file", "stream of runs"])
def test_a_species_column_of_two_strs(tmp_path, monkeypatch, first, message, stream):
    path = tmp_path / "species.xyz"
    # (the second frame's info value changes type too: it is read by a call of its own)
    path.write_text(f"1\nProperties={first}:pos:R:3 a=1\nH {'X ' * (first[-1] == '2')}0 0 0\n"
                    "1\nProperties=species:S:2:pos:R:3 a=x\nH Y 0 0 0\n")
    assert len(atomkit.read(path, ":")) == 2
    monkeypatch.setattr(files, "CHUNK", 5)  # a stream's runs of one frame each
    with pytest.raises(ValueError, match=message):
        atomkit.read_table(io.BytesIO(path.read_bytes()) if stream else path)


@pytest.mark.parametrize("threads", [0, -1, 1.5, True])
def test_threads_must_be_a_count(mixed_file, threads):
    with pytest.raises(ValueError, match="threads"):
        atomkit.read_table(mixed_file, threads=threads)


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_threads_give_the_frame_by_frame_table(typed_file, threads):
    # The table the module's threads make is the one built from the oracle's frames.
    split = reading_api.read_table(typed_file, threads=threads)
    whole = table_of(reference_walker.read(typed_file, ":"))
    indexed = atomkit.FrameIndex(typed_file, use_saved=False).table(threads=threads)
    for got, also, want in zip(split, indexed, whole, strict=True):
        assert_frames_equal(got, want)
        assert_frames_equal(also, want)
    for name in whole.arrays:
        assert split.arrays[name].tolist() == whole.arrays[name].tolist()
    for key in whole.info:
        assert split.info[key].tolist() == whole.info[key].tolist()
    assert split.species_index.tolist() == whole.species_index.tolist() or \
        split.symbols.tolist() == whole.symbols.tolist()


@pytest.mark.parametrize("bad", ["3\nPBC\nH 0 0 0\n", "x\n\n", "2\nProperties=species:S:1:pos:R:3\nH 0 0 0\nH 0 0 z\n"])
def test_a_bad_frame_raises_what_read_raises(tmp_path, mixed_file, bad):
    path = tmp_path / "bad.xyz"
    path.write_bytes(mixed_file.read_bytes() + bad.encode())
    with pytest.raises(ValueError) as read_error:
        atomkit.read(path, ":")
    with pytest.raises(ValueError) as table_error:
        atomkit.read_table(path)
    assert str(table_error.value) == str(read_error.value)


def test_a_lenient_table_leaves_bad_frames_out(tmp_path, mixed_file):
    lines = mixed_file.read_bytes().split(b"\n")
    lines[1] = b'Properties=species:S:1:pos:R:3 a="open'  # frame 0's comment line
    path = tmp_path / "lenient.xyz"
    path.write_bytes(b"\n".join(lines))
    with pytest.warns(atomkit.SkippedFrameWarning, match=f"{path}: skipped the frame at line 2: "):
        table = atomkit.read_table(path, errors="skip")
    assert len(table) == 8
    for got, want in zip(table, atomkit.read(mixed_file, "1:")):
        assert_frames_equal(got, want)
    with pytest.raises(ValueError, match="line 2: "):  # one frame asked for by number is not left out
        atomkit.read_table(path, 0, errors="skip")


# NumPy's str arrays drop trailing NULs: a text info value ending in one still comes back whole.
@pytest.mark.parametrize("read", [lambda path: atomkit.read(path, ":"), lambda path: list(atomkit.read_table(path)),
                                  lambda path: list(atomkit.read_table(io.BytesIO(path.read_bytes())))],
                         ids=["read", "read_table", "read_table of a stream"])
def test_a_text_ending_in_nul_is_kept(tmp_path, read):
    path = tmp_path / "nul.xyz"
    atomkit.write(path, [Frame(np.array(["H"]), {"pos": np.zeros((1, 3))}, info={"s": text}) for text in ("\0", "a", "b\0")])
    assert [frame.info["s"] for frame in read(path)] == ["\0", "a", "b\0"]
