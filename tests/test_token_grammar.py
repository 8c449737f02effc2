# Token value grammars as read_atom_lines_rs applies them: accepted and refused texts, the
# exact reasons and their precedence, and values checked against Python's float()/int().
import ctypes
import math
import platform
import struct
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _atomkit import read_atom_lines_rs
from helpers import examples

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
NAN, NEG_NAN = 0x7FF8000000000000, 0xFFF8000000000000
TOO_LARGE = "number too large to fit in target type"
TOO_SMALL = "number too small to fit in target type"
INVALID = "invalid digit found in string"
ZEROS = "0" * 65535
HALF_TINY = str(5**1075)  # 2**-1075, half the smallest subnormal, is HALF_TINY * 10**-1075
FAR_HALF_TINY = "0." + "0" * (65536 + 1075 - len(HALF_TINY)) + HALF_TINY  # = 2**-1075 / 1e65536


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def float_bits(texts):
    floats = read_atom_lines_rs(list(texts), b"f")["floats"]
    return [int(b) for b in floats[:, 0].view(np.uint64)]


def refusal(token, code):
    # The token sits in row 1, behind a line that the code accepts.
    with pytest.raises(ValueError) as caught:
        read_atom_lines_rs(["T" if code == b"b" else "1", token], code)
    return str(caught.value)


def quoted(token):
    return '"' + token.replace("\\", "\\\\").replace('"', '\\"') + '"'


ACCEPTED_FLOATS = [
    ("1", 1.0), ("1.", 1.0), (".5", 0.5), ("-.5", -0.5), ("+3", 3.0), ("007.50", 7.5),
    ("1e5", 1e5), ("1E+05", 1e5), ("1.5e-3", 1.5e-3), ("-INF", -math.inf),
    ("+Infinity", math.inf), ("iNfInItY", math.inf), ("inf", math.inf), ("-0", -0.0),
    ("-0.0", -0.0), ("+0e-999", 0.0), ("1.7976931348623158e308", 1.7976931348623157e308),
    ("1.7976931348623159e308", math.inf), ("1e309", math.inf), ("-1e309", -math.inf),
    ("1e-400", 0.0), ("-1e-400", -0.0), ("2.4703282292062327e-324", 0.0),
    ("2.4703282292062328e-324", 5e-324), ("1" * 5000, math.inf),
    ("0." + "0" * 5000 + "1e5000", 0.1),
    (str(2**53 + 1), 2.0**53), (str(2**53 + 1) + ".0000000001", 2.0**53 + 2),
    # Edges of a single exact operation: 17 digits past 2**53, powers of ten past 1e22.
    ("1325566603534034.9", 1325566603534035.0), ("1e-23", 1e-23),
    ("9007199254740992e37", 9.007199254740992e52),
    # Exponents are exact for any length of significand, however long the runs of zeros
    # that cancel them, and saturate only far beyond the range of doubles.
    ("1e0000000000000000000000000001", 10.0), ("0." + ZEROS + "1e65536", 1.0),
    ("-0." + ZEROS + "1e+65536", -1.0), ("1" + ZEROS + "e-65536", 0.1),
    ("0." + "0" * 70000 + "1e700001", math.inf), ("0." + "0" * 10**6 + "1e1000001", 1.0),
    ("1" * 10**6 + "e-999990", float("1" * 10**6 + "e-999990")),
    ("1e65536999999999", math.inf), ("-1e-65536999999999", -0.0), ("0e99999999999999", 0.0),
    ("1e" + "9" * 40, math.inf), ("1e-" + "9" * 40, 0.0),
    ("-" + FAR_HALF_TINY + "e65536", -0.0), (FAR_HALF_TINY + "0" * 100 + "1e65536", 5e-324),
]


def test_accepted_float_texts():
    texts, expected = zip(*ACCEPTED_FLOATS)
    assert float_bits(texts) == [bits(x) for x in expected]


@pytest.mark.parametrize("text,expected", [
    ("nan", NAN), ("NaN", NAN), ("+NAN", NAN), ("-nan", NEG_NAN), ("-nAn", NEG_NAN)])
def test_nan_bit_patterns(text, expected):
    assert float_bits([text]) == [expected]


@pytest.mark.parametrize("token", [
    ".", "-", "+", "-.", "e5", ".e5", "1e", "1e+", "1e-+5", "1.5.2", "1,5", "1_000", "0x10",
    "0x1p3", "1d5", "1D5", "nan(1)", "-nan(1)", "NaNQ", "infin", "infinit", "infinityx", "in",
    "Infinity1", "+-1", "--1", "1.0f", "1e5.0", "1e5e5", "１", "١", "\\1", '"1"'])
def test_refused_float_texts(token):
    expected = f"row 1: cannot parse {quoted(token)} as float: invalid float literal"
    assert refusal(token, b"f") == expected


@pytest.mark.parametrize("token,expected", [
    ("+5", 5), ("-0", 0), ("0" * 40 + "7", 7), (str(I64_MAX), I64_MAX), (str(I64_MIN), I64_MIN),
    ("-" + "0" * 30 + str(2**63), I64_MIN), (str(2**63), TOO_LARGE), (str(I64_MIN - 1), TOO_SMALL),
    # The first failing character decides: the range can be left before a bad character.
    ("9" * 20 + "x", TOO_LARGE), ("-" + "9" * 20 + "x", TOO_SMALL), (str(I64_MAX) + "x", INVALID),
    (str(I64_MIN) + "x", INVALID), ("1" * 18 + "x" + "9" * 30, INVALID), ("12x", INVALID),
    ("1.0", INVALID), ("1e3", INVALID), ("0x10", INVALID), ("--1", INVALID), ("+-1", INVALID),
    ("+", INVALID), ("-", INVALID), ("１", INVALID), ("1_0", INVALID)])
def test_int_values_and_reasons(token, expected):
    if isinstance(expected, int):
        assert read_atom_lines_rs([token], b"i")["ints"].tolist() == [[expected]]
    else:
        assert refusal(token, b"i") == f"row 1: cannot parse {quoted(token)} as int: {expected}"


def test_bool_texts():
    texts = ["T", "True", "TRUE", "true", "F", "False", "FALSE", "false"]
    bools = read_atom_lines_rs([" ".join(texts)], b"b" * 8)["bools"]
    assert bools.tolist() == [[1] * 4 + [0] * 4]


@pytest.mark.parametrize("token", ["t", "f", "1", "0", "yes", "tRUE", "True.", ".true.", "Tru"])
def test_refused_bool_texts(token):
    assert refusal(token, b"b") == f"row 1: cannot parse {quoted(token)} as bool"


# Generated texts, many per call, against Python's float() and int().
def digit_strings(min_size, max_size):
    return st.text("0123456789", min_size=min_size, max_size=max_size)


@st.composite
def decimal_texts(draw):
    # Up to 19 digits near exponent zero take the exact fast path; 20 to 800 digits do not.
    short = draw(st.booleans())
    digits = draw(digit_strings(1, 19) if short else digit_strings(20, 800))
    split = draw(st.integers(0, len(digits)))
    whole, fraction = digits[:split], digits[split:]
    mantissa = whole + "." + fraction if draw(st.booleans()) or not whole else digits
    near_range = st.integers(-340 - len(fraction), 320 - len(whole))
    exponent = draw(st.integers(-45, 45) if short else near_range | st.integers(-99999, 99999))
    exponent_sign = "-" if exponent < 0 else "+" * draw(st.booleans())
    exponent_text = draw(st.sampled_from(["e", "E"])) + exponent_sign
    exponent_text += "0" * draw(st.integers(0, 30)) + str(abs(exponent))
    return draw(st.sampled_from(["", "+", "-"])) + mantissa + exponent_text * draw(st.booleans())


@st.composite
def halfway_texts(draw):
    # Exactly between two adjacent doubles (subnormal to the largest), or a hair either side.
    x = draw(st.floats(min_value=5e-324, max_value=1.7976931348623157e308))
    below, above = Fraction(math.nextafter(x, 0)), math.nextafter(x, math.inf)
    above = Fraction(x) * 2 - below if math.isinf(above) else Fraction(above)
    middle = (Fraction(x) + above) / 2
    scale = middle.denominator.bit_length() - 1
    digits, nudge = middle.numerator * 5**scale, draw(st.sampled_from([0, 1, -1]))
    if nudge:
        extra = draw(st.integers(1, 400))
        digits, scale = digits * 10**extra + nudge, scale + extra
    return draw(st.sampled_from(["", "-"])) + f"{digits}e-{scale}"


EDGES = ["1.7976931348623157", "1.7976931348623158", "1.7976931348623159", "2.4703282292062327",
         "2.4703282292062328", "4.9406564584124654", "2.2250738585072011", "2.2250738585072014"]
edge_texts = st.builds("{}{}e{}".format, st.sampled_from(EDGES), digit_strings(0, 40),
                       st.sampled_from([307, 308, 309, -307, -308, -309, -323, -324, -325]))


@settings(deadline=None, max_examples=examples(300))
@given(st.lists(decimal_texts() | halfway_texts() | edge_texts, min_size=1, max_size=40))
def test_generated_floats_match_python(texts):
    assert float_bits(texts) == [bits(float(t)) for t in texts]


@st.composite
def far_exponent_texts(draw):
    """Long runs of zeros before or after the digits, with an exponent that (nearly) cancels
    them: the value lands anywhere from underflow to overflow."""
    digits = draw(digit_strings(1, 30))
    zeros = draw(st.integers(0, 2_000) | st.integers(650_000, 1_200_000))
    shift = draw(st.integers(-340, 340))
    if draw(st.booleans()):
        return f"0.{'0' * zeros}{digits}e{zeros + shift}"
    return f"{digits}{'0' * zeros}e{-zeros + shift}"


@settings(deadline=None, max_examples=examples(60))
@given(st.lists(far_exponent_texts(), min_size=1, max_size=4))
def test_long_significands_with_far_exponents_match_python(texts):
    assert float_bits(texts) == [bits(float(t)) for t in texts]


ROUNDING_TEXTS = ["0.3", "2.675", "1e23", "-0.1", "123456789.123456789", "1" * 30 + "e-40",
                  "2.2250738585072011e-308", "4.9406564584124654e-324", "1.7976931348623158e308"]


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="x86 <fenv.h> values")
@pytest.mark.parametrize("mode", ["FE_UPWARD", "FE_DOWNWARD", "FE_TOWARDZERO"])
def test_values_do_not_depend_on_the_rounding_mode(mode):
    # Other native code in the process may change the mode; Python's own float() then reads
    # differently, so the expected values are taken before.
    libm = ctypes.CDLL(None)
    expected = [bits(float(t)) for t in ROUNDING_TEXTS]
    code = {"FE_UPWARD": 0x800, "FE_DOWNWARD": 0x400, "FE_TOWARDZERO": 0xC00}[mode]
    assert libm.fesetround(code) == 0
    try:
        got = float_bits(ROUNDING_TEXTS)
        still = libm.fegetround()
    finally:
        libm.fesetround(0)
    assert got == expected
    assert still == code  # the caller's mode is given back


def int_text(value, zeros, plus):
    return ("-" if value < 0 else "+" * plus) + "0" * zeros + str(abs(value))


@settings(deadline=None)
@given(st.lists(st.builds(int_text, st.integers(I64_MIN, I64_MAX), st.integers(0, 30),
                          st.booleans()), min_size=1),
       st.builds(int_text, st.integers(2**63, 2**70) | st.integers(-(2**70), I64_MIN - 1),
                 st.integers(0, 30), st.booleans()))
def test_generated_ints_match_python(texts, beyond):
    assert read_atom_lines_rs(texts, b"i")["ints"][:, 0].tolist() == [int(t) for t in texts]
    reason = TOO_SMALL if beyond.startswith("-") else TOO_LARGE
    with pytest.raises(ValueError, match=f"^row {len(texts)}: cannot parse .* as int: {reason}$"):
        read_atom_lines_rs(texts + [beyond], b"i")


fixed_shape = st.builds("{}{}.{}".format, st.sampled_from(["", "-", "+"]), digit_strings(1, 8), digit_strings(8, 8))


@settings(deadline=None, max_examples=examples(300))
@given(st.lists(fixed_shape, min_size=1, max_size=20), st.integers(0, 20))
def test_the_fixed_shape_after_any_prefix_matches_python(texts, pad):
    # Tokens shaped like "%16.8f" fields are read 16 bytes at a time once that many bytes
    # precede their end in the line: behind short and long prefixes, and alone.
    expected = [bits(float(t)) for t in texts]
    behind = read_atom_lines_rs([" " * pad + "x " + t for t in texts], b"xf")["floats"][:, 0]
    assert [int(b) for b in behind.view(np.uint64)] == expected
    assert float_bits(texts) == expected
