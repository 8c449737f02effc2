# The reference walker's own outcomes (tests/reference_walker.py), which every read path is held
# to: the smallest input of each way a frame is refused or a read ends, read with errors "raise"
# and "skip", and the str widths of its frames.
import io
import warnings

import numpy as np
import pytest

import atomkit
import reference_walker

STRAY = "line 3: row 0: expected 4 tokens, found 5: 'H 0 0 0 7'"
RAN_OUT = "line 7: row 1: expected 4 tokens, ran out: '1'"
BAD_TOKEN = "line 4: row 1: cannot parse \"z\" as float: invalid float literal: 'O 0 0 z'"
TRIPLES = "line 2: Properties 'species:S': expected name:kind:count triples: 'Properties=species:S'"

# (bytes, {errors: (symbols of the frames iread yields, warnings, error)}), "both" where they agree.
CASES = {
    "tokens past the columns": (b"1\nx\nH 0 0 0 7\n1\nx\nO 0 0 0\n", {
        "raise": ([], [], STRAY), "skip": (["O"], [STRAY], None)}),
    "a bad token wins over tokens past the columns": (b"2\nx\nH 0 0 0 7\nO 0 0 z\n", {
        "raise": ([], [], BAD_TOKEN), "skip": ([], [BAD_TOKEN], None)}),
    "a bad count line after a refused frame": (b"1\nx\nO 0 0 0\n2\nx\nH 0 0 0\n1\nx\nH 0 0 0\n", {
        "both": (["O"], [], RAN_OUT)}),
    "an end after the count line after a refused frame": (b"1\nx\nH 0 0\n2", {
        "both": ([], [], "line 3: row 0: expected 4 tokens, ran out: 'H 0 0'")}),
    "an end inside the frame after a refused frame": (b"1\nx\nH 0 0\n2\nx\nH 0 0 0\n", {
        "raise": ([], [], "line 3: row 0: expected 4 tokens, ran out: 'H 0 0'"),
        "skip": ([], ["line 3: row 0: expected 4 tokens, ran out: 'H 0 0'"],
                 "line 4: the file ends inside a frame of 2 atoms (it holds 1 of its atom lines)")}),
    "an end inside a frame whose whole comment line is refused": (b"2\nProperties=species:S\nH\n", {
        "both": ([], [], TRIPLES)}),
    "an end inside a comment line": (b"2\nProperties=species:S", {
        "both": ([], [], "line 1: the file ends inside a frame of 2 atoms (it holds 0 of its atom lines)")}),
    "refusals in the middle": (b"1\nx\nH 0 0 0\n1\na=\"open\nH 0 0 0\n1\nx\nH 0 0 z\n1\nx\nO 1 1 1\n", {
        "raise": (["H"], [], "line 5: cannot parse 'a=\"open': 'a=\"open'"),
        "skip": (["H", "O"], ["line 5: cannot parse 'a=\"open': 'a=\"open'",
                              "line 9: row 0: cannot parse \"z\" as float: invalid float literal: 'H 0 0 z'"], None)}),
}


def walked(data, errors):
    """What iread yields before its error, the warnings' messages and the error."""
    symbols, error = [], None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            for frame in reference_walker.iread(io.BytesIO(data), ":", errors):
                symbols += frame.symbols.tolist()
        except ValueError as raised:
            error = str(raised)
    skipped = [str(w.message).removeprefix("BytesIO: skipped the frame at ") for w in caught
               if issubclass(w.category, atomkit.SkippedFrameWarning)]
    return symbols, skipped, error


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_refusals_and_failures(case, errors):
    data, outcomes = CASES[case]
    assert walked(data, errors) == outcomes.get(errors, outcomes.get("both"))


@pytest.mark.parametrize("text, column, dtype", [
    (b"1\nx\nH\x00 0 0 0\n", None, "<U1"),
    (b"2\nProperties=species:S:1:q:S:1\nH a\x00\x00\nOw b\n", "q", "<U1"),
    (b"2\nProperties=species:S:1:q:S:2\nH a b\x00\nO c ddd\n", "q", "<U3"),
    (b"0\nProperties=species:S:1:q:S:2\n", "q", "<U1"),
])
def test_str_arrays_as_wide_as_numpy_counts(text, column, dtype):
    frame = reference_walker.read(io.BytesIO(text), 0)
    assert (frame.symbols if column is None else frame.arrays[column]).dtype == np.dtype(dtype)
