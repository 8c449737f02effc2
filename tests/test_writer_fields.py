# The float, integer and boolean fields of write_atoms_rs, value by value against the
# printf-style formats they stand for ("%16.8f" with "NaN", "%8d", "T"/"F").
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from helpers import examples, write


def column(values, code, dtype):
    """Fields of one column, one per atom, without the separator."""
    values = np.asarray(values, dtype=dtype).reshape(-1, 1)
    natoms = len(values)
    sym = np.zeros((natoms, 0), dtype=np.uint32)
    kind = {b"f": "floats", b"i": "ints", b"b": "bools"}[code]
    text = write(sym, 0, **{kind: values}, col_types=code)
    assert text.endswith("\n") and text.count("\n") == natoms
    separator = "  " if code == b"b" else " "
    lines = text.split("\n")[:-1]
    assert all(line.startswith(separator) for line in lines)
    return [line[len(separator):] for line in lines]


def expected_float(x):
    return "             NaN" if math.isnan(x) else "%16.8f" % x


def check_floats(values):
    values = np.asarray(values, dtype=np.float64)
    assert column(values, b"f", np.float64) == [expected_float(x) for x in values.tolist()]
    # Runs of float columns are formatted several at a time: the same values as lines of
    # 8 and of 3 columns must give the same fields.
    for width in (8, 3):
        padded = np.resize(values, -(-len(values) // width) * width).reshape(-1, width)
        text = write(np.zeros((len(padded), 0), dtype=np.uint32), 0, floats=padded, col_types=b"f" * width)
        assert text.splitlines() == ["".join(" " + expected_float(x) for x in row) for row in padded.tolist()]


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.00000000"), (-0.0, "-0.00000000"), (0.1, "0.10000000"), (1 / 3, "0.33333333"),
        (2 / 3, "0.66666667"), (-2.25, "-2.25000000"), (0.001953125, "0.00195312"),
        (0.005859375, "0.00585938"), (2.675, "2.67500000"), (5e-9, "0.00000001"),
        (2.5e-8, "0.00000002"), (1e-9, "0.00000000"), (-1e-9, "-0.00000000"),
        (5e-324, "0.00000000"), (9.999999999, "10.00000000"), (-9.999999999, "-10.00000000"),
        (12345678.9, "12345678.90000000"), (1e23, "99999999999999991611392.00000000"),
        (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
        (-1.7976931348623157e308, "-" + str(int(1.7976931348623157e308)) + ".00000000"),
    ],
)
def test_float_table(value, text):
    assert column([value], b"f", np.float64) == [text.rjust(16)]


@pytest.mark.parametrize("bits", [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF])
def test_nan_of_any_sign_and_payload(bits):
    assert column(np.array([bits], dtype=np.uint64).view(np.float64), b"f", np.float64) == ["             NaN"]


def neighbours(bases, steps):
    bits = np.asarray(bases, dtype=np.float64).view(np.int64)[:, None] + np.arange(-steps, steps + 1)
    values = bits.ravel().view(np.float64)
    return np.concatenate([values, -values])


@pytest.mark.parametrize(
    "bases, steps",
    [
        (2.0 ** np.arange(94, 105), 200),  # where exact 128-bit scaling stops fitting
        (10.0 ** np.arange(28, 32), 200),
        (2.0 ** np.arange(-84, -60), 200),  # below 2^-74 everything rounds to zero
        (2.0 ** np.arange(-14, 40), 100),  # around the 64-bit shortcuts
        (2.0 ** np.arange(-1074, 1024), 3),  # every exponent, subnormals included
        ([5e-9, 1.5e-8, 2.5e-8, 0.001953125, 0.005859375, 9.999999999, 999999.999999995], 200),
    ],
)
def test_float_sweeps(bases, steps):
    check_floats(neighbours(bases, steps))


def test_float_halfway_cases():
    # Odd multiples of 2^-9 lie exactly halfway between two multiples of 10^-8.
    odd = np.arange(1, 400001, 2, dtype=np.float64)
    check_floats(np.concatenate([odd, odd * 2.0**20 + 1, odd * 2.0**35 + 1]) * 2.0**-9)


@settings(max_examples=examples(200))
@given(st.lists(st.floats(allow_nan=False), min_size=1, max_size=300))
def test_float_property(values):
    check_floats(values)


@settings(max_examples=examples(200))
@given(st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=300))
def test_float_bit_patterns(patterns):
    check_floats([struct.unpack("<d", struct.pack("<Q", p))[0] for p in patterns])


@pytest.mark.parametrize(
    "value, text",
    [(0, "0"), (-5, "-5"), (12345678, "12345678"), (-1234567, "-1234567"), (123456789, "123456789"),
     (2**63 - 1, "9223372036854775807"), (-(2**63), "-9223372036854775808"), (-(2**63) + 1, "-9223372036854775807")],
)
def test_int_table(value, text):
    assert column([value], b"i", np.int64) == [text.rjust(8)]


@settings(max_examples=examples(100))
@given(st.lists(st.integers(-(2**63), 2**63 - 1) | st.integers(-(10**9), 10**9), min_size=1, max_size=300))
def test_int_property(values):
    assert column(values, b"i", np.int64) == ["%8d" % v for v in values]


def test_bool_every_byte():
    assert column(np.arange(256), b"b", np.uint8) == ["F"] + ["T"] * 255
