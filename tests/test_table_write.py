# A FrameTable written whole (its comment lines made by the module from columns) against its
# frames written one by one: floats of every exponent and the odd ones, each kind of info
# column the module types, and the columns write_frames_rs refuses.
import io

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _atomkit
import atomkit
from atomkit import Frame
from atomkit.table.build import table_of
from atomkit.writing import writer

ODD_FLOATS = [float("nan"), float("inf"), -float("inf"), -0.0, 0.0, 5e-324, 2.2250738585072014e-308, 1e-5, 0.0001,
              1e16, 9999999999999998.0, 1.7976931348623157e308, 0.1, -1.5]


def written(frames):
    out = io.BytesIO()
    atomkit.write(out, frames)
    return out.getvalue()


def frame(k, info, lattice=True, pbc=(True, False, True)):
    return Frame(np.array(["H", "Og"][: 1 + k % 2]), {"pos": np.full((1 + k % 2, 3), k / 3)},
                 np.diag([k + 1.5, 2.0, 3.0]) if lattice else None, pbc, info)


def assert_written_as_frames(frames):
    table = table_of(frames)
    assert written(table) == written(list(table))


@given(st.lists(st.lists(st.floats(width=64), min_size=13, max_size=13) | st.sampled_from(ODD_FLOATS).map(lambda x: [x] * 13),
                min_size=1, max_size=6))
def test_floats_of_every_exponent(rows):
    frames = [Frame(None, {"pos": np.array([row[:3]])}, np.array(row[:9]).reshape(3, 3) if row[0] == row[0] else None,
                    (k % 2 == 0, True, False), {"e": row[9], "v": np.array(row[10:13])}) for k, row in enumerate(rows)]
    assert_written_as_frames(frames)


# One info column a case, a value a frame: each kind the module types, and a few it is handed
# as texts (nested lists, uint64, bool rows, objects).
@pytest.mark.parametrize("values", [
    ODD_FLOATS,
    [1, -(2**63), 2**63 - 1, 0],
    [np.uint64(2**64 - 1), np.uint64(1)],
    [True, False, True],
    ["a", "two words", "", 'q"uote', "a", "x=y", "\u00e9t\u00e9"],
    [np.array([1, -2, 3], np.int32), np.array([4, 5, 6], np.int32)],
    [np.array([1.5]), np.array([-0.0])],
    [np.array([True, False]), np.array([False, False])],
    [np.arange(9.0).reshape(3, 3), np.full((3, 3), np.nan)],
    [np.arange(9).reshape(3, 3), -np.arange(9).reshape(3, 3)],
    [1, "a", 2.5, [1, 2]],
])
@pytest.mark.parametrize("key", ["x", "stress", "two words"])
def test_each_column_kind(values, key):
    frames = [frame(k, {key: value, "n": k}, lattice=k % 3 != 1, pbc=(k % 2 == 0,) * 3) for k, value in enumerate(values)]
    assert_written_as_frames(frames)


# Float columns that lie side by side in one matrix are written without a copy; any other
# two views of one matrix are not that matrix.
@pytest.mark.parametrize("first, second", [(slice(0, 3), slice(3, 6)), (slice(3, 6), slice(0, 3)),
                                           (slice(0, 3), slice(4, 7)), (slice(1, 4), slice(4, 5))])
def test_columns_of_one_matrix(first, second, monkeypatch):
    monkeypatch.setattr(writer, "_SIDE_BY_SIDE_ATOMS", 1)
    matrix = np.arange(70.0).reshape(10, 7) / 7
    frames = [Frame(np.array(["H"] * 5), {"pos": matrix[k:k + 5, first], "q": matrix[k:k + 5, second]}) for k in (0, 5)]
    copies = [Frame(f.symbols, {name: np.array(v) for name, v in f.arrays.items()}) for f in frames]
    assert written(frames) == written(copies)


BLOCK = b"H 1\nO 2\n"
FRAMES = np.array([[1, 0, 4], [1, 4, 8]], np.int64)


def test_items_absent_and_of_every_form():
    items = [(0, ["a=1", None]), (1, 'L="', np.array([[1.0, -0.0], [np.nan, 1e16]]), '"', np.array([[0], [1]], np.uint8)),
             (2, "n=", np.array([[-(2**63)], [5]]), "", None), (3, ["p=F", "p=T"], np.array([[1], [0]]))]
    assert _atomkit.write_frames_rs(BLOCK, FRAMES, items) == (
        b"1\na=1 n=-9223372036854775808 p=T\nH 1\n1\nL=\"nan 1e+16\" n=5 p=F\nO 2\n")


@pytest.mark.parametrize("frames, items, message", [
    (FRAMES, [(3, ["x"], np.array([[0], [1]]))], "item 0: frame 1 picks text 1 of 1"),
    (FRAMES, [(0, ["x"])], "item 0 has 1 texts for 2 frames"),
    (FRAMES, [(1, "", np.zeros((2, 1)), "", np.zeros((2, 2), np.uint8))], "present needs one column"),
    (np.array([[1, 4, 9]], np.int64), [], "frame 0 has lines outside the block"),
    (np.array([[1, 4, 3]], np.int64), [], "frame 0 has lines outside the block"),
    (FRAMES, [(4, "x")], "an item is"),
])
def test_refused_columns(frames, items, message):
    with pytest.raises(ValueError, match=message):
        _atomkit.write_frames_rs(BLOCK, frames, items)
