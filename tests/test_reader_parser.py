# Tests of the atom line parser behind _atomkit.read_atom_lines_rs: tokenising, typed and
# skip columns, the "row ..." messages and the quoted token form inside them.
import numpy as np
import pytest
from hypothesis import given, strategies as st

import _atomkit

read = _atomkit.read_atom_lines_rs
SEPARATORS = " \t\n\f\r"


def message_of(lines, col_types):
    with pytest.raises(ValueError) as info:
        read(lines, col_types)
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "lines, col_types, floats, strs",
    [
        (["  H   0.0\t1.5  2.0\r\n"], b"sfff", [[0.0, 1.5, 2.0]], [["H"]]),
        (["\fH\f1\f2\f3\f"], b"sfff", [[1, 2, 3]], [["H"]]),
        (["H 0 0 0 extra words"], b"sfff", [[0, 0, 0]], [["H"]]),
        (["O 1\n2 3 extra"], b"sfff", [[1, 2, 3]], [["O"]]),  # "\n" inside an element
        (["1 junk 2"], b"fxf", [[1, 2]], []),
        (["1 2 3"], b"fFf", [[1, 3]], []),  # upper-case F is a skip column
        (["1 junk 2"], [102, 0, 102], [[1, 2]], []),
        (["a b c d", "e f g h"], b"sxss", np.zeros((2, 0)), [["a", "e"], ["c", "g"], ["d", "h"]]),
        # vertical tab and non-ASCII spaces are token characters, not separators
        (["H\vX 1", "a\xa0b 2", "c\x85d 3", "e\u3000f 4"], b"sf", [[1], [2], [3], [4]],
         [["H\vX", "a\xa0b", "c\x85d", "e\u3000f"]]),
    ],
)
def test_tokens_and_columns(lines, col_types, floats, strs):
    result = read(lines, col_types)
    assert result["floats"].dtype == np.float64
    np.testing.assert_array_equal(result["floats"], np.array(floats, dtype=np.float64))
    assert result["strs"] == strs


def test_mixed_columns_and_layout():
    result = read(["Si 1.5 7 2 T x", "O -0.5 8 -3 F"], [115, 102, 102, 105, 98])
    assert list(result) == ["floats", "ints", "bools", "strs"]
    np.testing.assert_array_equal(result["floats"], [[1.5, 7.0], [-0.5, 8.0]])
    np.testing.assert_array_equal(result["ints"], [[2], [-3]])
    assert result["ints"].dtype == np.int64 and result["bools"].dtype == np.uint8
    np.testing.assert_array_equal(result["bools"], [[1], [0]])
    assert result["strs"] == [["Si", "O"]]


@pytest.mark.parametrize(
    "lines, col_types, shapes, strs",
    [
        ([], b"fis", [(0, 1), (0, 1), (0, 0)], [[]]),
        (["", "no numbers here", "  "], b"", [(3, 0)] * 3, []),
    ],
)
def test_empty_inputs(lines, col_types, shapes, strs):
    result = read(lines, col_types)
    assert [result[k].shape for k in ("floats", "ints", "bools")] == shapes
    assert result["strs"] == strs


@pytest.mark.parametrize(
    "lines, col_types, message",
    [
        (["H 0.0"], b"sfff", "row 0: expected 4 tokens, ran out"),
        ([""], b"s", "row 0: expected 1 tokens, ran out"),
        ([" \t\r\n\f "], b"x", "row 0: expected 1 tokens, ran out"),
        (["1 2"], b"fFf", "row 0: expected 3 tokens, ran out"),  # skip codes count
        (["1\n2"], b"fff", "row 0: expected 3 tokens, ran out"),
        (["1", "2", "3 4", ""], b"f", "row 3: expected 1 tokens, ran out"),
        (["1 2 3", "4 5 6", "7 8 9", "H 12x 1"], b"sif",
         'row 3: cannot parse "12x" as int: invalid digit found in string'),
        (["H x"], b"sfff", 'row 0: cannot parse "x" as float: invalid float literal'),
        (["H 1 1 T", "H 1 1 t"], b"sffb", 'row 1: cannot parse "t" as bool'),
        (["99999999999999999999x"], b"i",
         'row 0: cannot parse "99999999999999999999x" as int: number too large to fit in target type'),
        (["-9223372036854775809"], b"i",
         'row 0: cannot parse "-9223372036854775809" as int: number too small to fit in target type'),
        (["1 1", "2 junk"], b"xi", 'row 1: cannot parse "junk" as int: invalid digit found in string'),
    ],
)
def test_bad_lines(lines, col_types, message):
    assert message_of(lines, col_types) == message


@pytest.mark.parametrize(
    "token, quoted",
    [
        ("1.0\v2.0", r'"1.0\u{b}2.0"'),
        ("1\xa02", r'"1\u{a0}2"'),
        ("1\x852", r'"1\u{85}2"'),
        ("1\u30002", r'"1\u{3000}2"'),
        ("e\u0301", r'"e\u{301}"'),  # combining mark: Grapheme_Extend
        ("\uff9e", r'"\u{ff9e}"'),  # Lm, but Other_Grapheme_Extend
        ("a\x00b", r'"a\0b"'),
        ("a\x01\x1f\x7fb", r'"a\u{1}\u{1f}\u{7f}b"'),
        ('a"b\\c\'d', r'"a\"b\\c' + "'" + r'd"'),
        ("\u200d\ufeff\u2028\ue000\U0010ffff\u0378", r'"\u{200d}\u{feff}\u{2028}\u{e000}\u{10ffff}\u{378}"'),
        ("Üé中😀ab", '"Üé中😀ab"'),  # printable non-ASCII stays as it is
    ],
)
def test_quoted_token_form(token, quoted):
    assert message_of([token], b"f") == f"row 0: cannot parse {quoted} as float: invalid float literal"


token_text = st.text(st.characters(blacklist_characters=SEPARATORS, blacklist_categories=["Cs"]), min_size=1)


@given(
    tokens=st.lists(token_text, max_size=6),
    gaps=st.lists(st.text(st.sampled_from(SEPARATORS), min_size=1), min_size=7, max_size=7),
    ncols=st.integers(0, 6),
)
def test_tokenising_matches_whitespace_split(tokens, gaps, ncols):
    # Separators of any kind and length, also before the first and after the last token.
    line = gaps[0] + "".join(t + g for t, g in zip(tokens, gaps[1:]))
    if ncols > len(tokens):
        assert message_of([line], b"s" * ncols) == f"row 0: expected {ncols} tokens, ran out"
    else:
        assert read([line], b"s" * ncols)["strs"] == [[t] for t in tokens[:ncols]]
