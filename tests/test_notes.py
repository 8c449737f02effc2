# Exception notes: the facts a fixed message leaves out (what an argument should have been,
# which code ran past which matrix, a Unicode space in a bad line), while the message, the
# type and args stay exactly as they were.
import sys

import numpy as np
import pytest

from _atomkit import read_atom_block_rs, read_atom_lines_rs, write_atoms_rs
from helpers import Index, capture_panic, empty_matrices, symbols, write

SYM = symbols("H")
F, I, B = empty_matrices()
REFUSED = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def expected(dtype):
    return f"expected a 2-dimensional numpy.ndarray of {dtype} (native byte order); got "


@pytest.mark.parametrize("call, message, note", [
    (lambda: write_atoms_rs(SYM, 1, [[1.0]], I, B, b""), "argument 'float_mat': 'list' object cannot be "
     "converted to 'PyArray<T, D>'", expected("float64") + "list (not a numpy.ndarray)"),
    (lambda: write_atoms_rs(SYM, 1, np.zeros(3), I, B, b""), f"argument 'float_mat': {REFUSED}",
     expected("float64") + "a 1-dimensional array of float64"),
    (lambda: write_atoms_rs(SYM, 1, np.zeros((1, 1), np.float32), I, B, b""), f"argument 'float_mat': {REFUSED}",
     expected("float64") + "a 2-dimensional array of float32"),
    (lambda: write_atoms_rs(SYM, 1, np.zeros((1, 1), ">f8"), I, B, b""), f"argument 'float_mat': {REFUSED}",
     expected("float64") + "a 2-dimensional array of >f8 (not in native byte order)"),
    (lambda: write_atoms_rs(SYM, 1, F, np.zeros((1, 1), np.int32), B, b""), f"argument 'int_mat': {REFUSED}",
     expected("int64") + "a 2-dimensional array of int32"),
    (lambda: write_atoms_rs(SYM, 1, F, I, np.zeros((1, 1), bool), b""), f"argument 'bool_mat': {REFUSED}",
     expected("uint8") + "a 2-dimensional array of bool; a bool array can be passed as its .view(numpy.uint8)"),
    (lambda: write_atoms_rs(SYM.astype(np.int32), 1, F, I, B, b""), f"argument 'sym_codepoints': {REFUSED}",
     expected("uint32") + "a 2-dimensional array of int32"),
], ids=["list", "1-D", "float32", "big-endian", "int32", "bool", "int32 symbols"])
def test_refused_arrays(call, message, note):
    e = raised(call)
    assert type(e) is TypeError and e.args == (message,)
    assert e.__notes__ == [note]


@pytest.mark.parametrize("call, message, note", [
    (lambda: write(SYM, -1), "can't convert negative int to unsigned",
     "argument 'sym_width': an integer from 0 to 18446744073709551615 is needed"),
    (lambda: write(SYM, 2**64), "int too big to convert",
     "argument 'sym_width': an integer from 0 to 18446744073709551615 is needed"),
    (lambda: write(SYM, 1, col_types=[102, 300]), "out of range integral type conversion attempted",
     "argument 'col_types', item 1: each item is a column code from 0 to 255"),
    (lambda: write(SYM, 1, col_types=(1, 2, -1)), "out of range integral type conversion attempted",
     "argument 'col_types', item 2: each item is a column code from 0 to 255"),
    (lambda: read_atom_lines_rs(["H"], [115, 2**80]), "Python int too large to convert to C long",
     "argument 'col_types', item 1: each item is a column code from 0 to 255"),
    (lambda: read_atom_block_rs(b"H\n", -1, 1, b"s"), "can't convert negative int to unsigned",
     "argument 'offset': an integer from 0 to 18446744073709551615 is needed"),
], ids=["negative width", "huge width", "item 300", "item -1", "item beyond long", "negative offset"])
def test_overflow_errors_name_their_argument(call, message, note):
    e = raised(call)
    assert type(e) is OverflowError and e.args == (message,)
    assert e.__notes__ == [note]


def test_errors_of_the_callers_own_code_get_no_note():
    for call in (lambda error: write(SYM, Index(error)), lambda error: write(SYM, 1, col_types=[115, Index(error)])):
        mine = OverflowError("mine")
        assert raised(lambda: call(mine)) is mine and not hasattr(mine, "__notes__")


@pytest.mark.parametrize("args, message, note", [
    ((symbols("H", "O"), 2, np.zeros((1, 3)), None, None, b"sfff"), "ndarray: index out of bounds",
     "float_mat has shape (1, 3), but col_types[1] reads its row 1 for atom 1: it needs a row for every atom "
     "of sym_codepoints"),
    ((SYM, 2, np.zeros((1, 3)), None, None, b"sfffxf"), "ndarray: index out of bounds",
     "col_types[5] is the 4th 'f' code, but float_mat has 3 columns"),
    ((SYM, 2, None, np.zeros((1, 1), np.int64), None, b"iiiiiiiiiiii"), "ndarray: index out of bounds",
     "col_types[1] is the 2nd 'i' code, but int_mat has 1 columns"),
    ((SYM, 70000, np.zeros((1, 1)), None, None, b"fs"), "Formatting argument out of range",
     "sym_width is 70000, but col_types[1] is an 's' code, and a symbol is padded to at most 65535 code points"),
    ((SYM, 2**63, None, None, None, b""), "capacity overflow",
     "the block of 1 atoms is budgeted at sym_width 9223372036854775808 + 17 per float_mat column + 9 per "
     "int_mat column + 3 per bool_mat column + 2 bytes a line (float_mat (1, 0), int_mat (1, 0), bool_mat "
     "(1, 0)): 2^63 bytes or more"),
], ids=["row short", "column past", "int column past", "width", "capacity"])
def test_internal_failures_a_callers_data_causes(args, message, note):
    sym, width, floats, ints, bools, codes = args
    e = capture_panic(write, sym, width, floats, ints, bools, codes)
    assert e.args == (message,)
    assert e.__notes__ == [note]


SPACE_NOTE = ("the line holds {} at column {}, which is part of a token: only ASCII space, tab, line feed, "
              "form feed and carriage return separate tokens")


@pytest.mark.parametrize("line, codes, message, note", [
    ("H 1\u00a02 3", b"sfff", 'row 0: cannot parse "1\\u{a0}2" as float: invalid float literal',
     SPACE_NOTE.format("U+00A0 NO-BREAK SPACE", 4)),
    ("H\u20091", b"sf", "row 0: expected 2 tokens, ran out", SPACE_NOTE.format("U+2009 THIN SPACE", 2)),
    ("\u00e9 7\u0085", b"si", 'row 0: cannot parse "7\\u{85}" as int: invalid digit found in string',
     SPACE_NOTE.format("U+0085 NEXT LINE", 4)),
    ("H 1\x0b2", b"sf", 'row 0: cannot parse "1\\u{b}2" as float: invalid float literal',
     SPACE_NOTE.format("U+000B LINE TABULATION", 4)),
    ("H x\u30002", b"sb", 'row 0: cannot parse "x\\u{3000}2" as bool', SPACE_NOTE.format("U+3000 IDEOGRAPHIC SPACE", 4)),
])
def test_unicode_spaces_in_a_bad_line(line, codes, message, note):
    for call in (lambda: read_atom_lines_rs([line], codes),
                 lambda: read_atom_block_rs(f"frame\n{line}\n".encode(), 6, 1, codes)):
        e = raised(call)
        assert type(e) is ValueError and e.args == (message,)
        assert e.__notes__ == [note]


def test_every_unicode_space_is_named():
    spaces = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace() and chr(c) not in " \t\n\x0c\r"]
    for space in spaces:
        e = raised(lambda: read_atom_lines_rs([f"1{space}2"], b"f"))
        (note,) = e.__notes__
        assert note.startswith(f"the line holds U+{ord(space):04X} ") and " at column 2," in note


def test_no_note_without_a_unicode_space():
    e = raised(lambda: read_atom_lines_rs(["H x\u00e9"], b"sf"))
    assert not hasattr(e, "__notes__")


def test_a_success_makes_no_note():
    # Describing a refused dtype runs NumPy's Python code; a call that succeeds must not.
    calls = []

    def profile(frame, event, arg):
        if event == "call" and "_dtype" in frame.f_code.co_filename:
            calls.append(frame.f_code.co_name)

    float32 = np.zeros((1, 1), np.float32)
    sys.setprofile(profile)
    try:
        for _ in range(100):
            write(SYM, 2, np.zeros((1, 3)), col_types=b"sfff")
            read_atom_lines_rs(["H 1\u00a02"], b"ss")
        succeeded = len(calls)
        raised(lambda: write_atoms_rs(SYM, 1, float32, I, B, b""))
    finally:
        sys.setprofile(None)
    assert succeeded == 0 and len(calls) > 0
