# The module's comment-line parser against the Python reading of the line (comment_oracle: same
# values, types, dtypes and messages), and its float formatter against repr().
import math
import struct
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _atomkit
import comment_oracle
from atomkit.comment import write as comment_write
from helpers import examples

# ---- the parser -----------------------------------------------------------------------------


def same(a, b):
    """Equal values of equal types: arrays by dtype, shape and bytes, floats by bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[key], b[key]) for key in a)
    return a == b


def outcome(parse, line):
    try:
        return "value", parse(line)
    except ValueError as error:
        return "error", str(error)


def check_line(line):
    """parse(line) gives exactly what parse_python(line) gives; a line without UTF-8 (lone
    surrogates), which the module cannot take, the package refuses as encoding it does."""
    want = outcome(comment_oracle.parse_python, line)
    if native_route(line) == "python":
        with pytest.raises(UnicodeEncodeError):
            comment_oracle.native_parse(line)
        return want
    got = outcome(comment_oracle.native_parse, line)
    assert same(got, want), f"{line!r}:\n native {got!r}\n python {want!r}"
    return got


def native_route(line):
    """How the module took the line: 'native' (typed it all), 'python' (left the whole line
    to Python) or 'error'."""
    try:
        parsed = _atomkit.parse_comment_rs(line)
    except ValueError:
        return "error"
    if parsed is None:
        return "python"
    assert parsed[4] is None
    return "native"


LATTICE = 'Lattice="11.44 0.0 0.0 0.0 12.44 0.0 0.0 0.0 13.44"'
STRESS = 'stress="0.0009401229776087456 -0.007434992493538084 -0.0092 -0.0045 0.0022 -0.0101 -0.0021 -0.0016 0.0054"'

CASES = [
    # the usual line, and its parts in other spellings
    (f"{LATTICE} Properties=species:S:1:pos:R:3 pbc=\"T T T\" energy=-8.096529818348191 {STRESS}", "native"),
    ('lattice="1 0 0 0 1 0 0 0 1" PROPERTIES="species:S:1" PBC=[T, F, T]', "native"),
    ("Lattice=[1,0,0,0,1,0,0,0,1] pbc={T F F}", "native"),
    ("Lattice='1e0 0 0 0 1 0 0 0 1' pbc='T'", "native"),
    ("Lattice=\"1 0 0 0 1 0 0 0 1\" pbc=T", "native"),
    # a space beyond ASCII beside a flag is stepped over whole
    ('pbc="T\x85"', "native"),
    ('pbc="T\u00a0F T"', "native"),
    ('virial="1 2 3 4 5 6 7 8 9" Stress="1 2 3 4 5 6 7 8" STRESS2="1 2 3 4 5 6 7 8 9"', "native"),
    ('stress={1 2 3 4 5 6 7 8 9} virial=[1., 2, 3, 4, 5, 6, 7, 8, nan]', "native"),
    ("stress=\"T T T T T T T T T\" virial=\"a b c\" stress_x=1", "native"),
    # scalars of every shape
    ("a=1 b=-0 c=+7 d=007 e=1. f=.5 g=1e5 h=1E-5 i=inf j=-Infinity k=NaN l=-nan m=+.5e+3", "native"),
    ("a=9223372036854775807 b=-9223372036854775808 c=1e400 d=-1e-400 e=2.5e-324", "native"),
    ("a=T b=True c=TRUE d=true e=F f=False g=FALSE h=false i=t j=tRUE k=yes", "native"),
    ("a=1_0 b=\u0661\u0662 c=0x10 d=1e e=e5 f=. g=+ h=- i=infinit j=1.5.2 k=1e5e5 l=1,5", "native"),
    # quoted values
    ('a="1 2 3" b="1.5 2" c="1, 2, 3" d="1,2.5" e="1,,2.5" f=" 1 " g="T F T" h="T 1" i="" j=" "', "native"),
    ("a='1 2' b='x y' c='say \\'hi\\'' d=\"line\\nbreak\\r\\\\ \\q\" e=\"\\\"\"", "native"),
    ('a="1\u00a02" b="1\u3000,\u30002" c="1.5\u00a02" d="1_0 2" e="1\x1c2" f="1.5\x1f2.5"', "native"),
    ('a="1 2 x" b="nan inf -inf" c="1e5, 2E-3" d="+1 -2" e="1 , 2" f="1 ,, 2" g=",1,2"', "native"),
    # lists
    ("a=[] b=[ ] c=[,] d={} e=[1, 2, 3] f=[1 2 3] g={1.5, 2} h=[T, F] j=[1,2,]", "native"),
    ("a=[1,  2] b=[1\t2] c=[1\u00a02] d=[nan] e={-0}", "native"),
    # keys
    ('"my key"=3 "quoted \\"key\\""=x flag other "bare key" comment="a \\"b\\"" comment2=\'c\'', "native"),
    ("a = 1 b =2 c= 3 d= e=5 f=", "native"),
    ("\u00e9t\u00e9=1 \U0001f600=\U0001f600 k\u212a=1", "native"),
    (" \t leading=1 trailing=2 \r", "native"),
    # lines without '='
    ("Helium as a Lennard-Jones fluid", "native"),
    ("  \u3000spaced out\u00a0 ", "native"),
    ("", "native"),
    (" \t\r\u2028", "native"),
    # nested lists, strings in lists, integers beyond int64
    ("grid=[[1, 2], [3, 4]] names=['a b', \"c\"] words={x y} mixed=[T, 1]", "native"),
    ("a=99999999999999999999 b=\"1 99999999999999999999\" c=[-99999999999999999999]", "native"),
    ("Lattice=[[1,0,0],[0,1,0],[0,0,1]] x=1", "native"),
    ("a=[[1,2],[1.5,2]] b=[[T,F],[1,2]] c=[[],[]] d=[[1,2],['a','b']]", "native"),
    ("a=" + "1" * 5000, "error"),
    # values are typed in line order, so the first of their errors is raised
    ("a=[[1],[1,2]] Lattice=[x]", "error"),
    ("Lattice=[x] a=[[1],[1,2]]", "error"),
    # errors
    ("a=b=c", "error"),
    ("a =b=c", "error"),
    ('a= "x"y', "error"),
    ("a=[1, 2 [", "error"),
    ("a=[1,, 2]", "error"),
    ("a=[1, \u00a0]", "error"),
    ("a=[1 2 'x'y]", "error"),
    ('x="unclosed', "error"),
    ("'key'=1", "error"),
    ("=1", "error"),
    ("a=1 a=2", "error"),
    ("Lattice=1 lattice=2", "error"),
    ("Lattice x=1", "error"),
    ("x=1 pbc", "error"),
    ("Lattice", "native"),
    ("Lattice=5", "error"),
    ('Lattice="1 2 3"', "error"),
    ("Lattice=[T,T,T,T,T,T,T,T,T]", "error"),
    ("Lattice={a b c d e f g h i}", "error"),
    ("pbc=1", "error"),
    ("pbc=\"T F\"", "error"),
    ("pbc=\"T F T T\"", "error"),
    ("pbc=", "error"),
    ("Properties=a Properties=b", "error"),
    ("pbc=T PBC=F", "error"),
    ("x=" + "y" * 100 + "=z", "error"),
    ("a=[" + "x" * 40, "error"),
    # an error after a nested list or a list of strings
    ("a=[[1]] a=2", "error"),
    ("a=[[1],[1,2]] b=c=d", "error"),
    ("a=['x', 'y'] Lattice=5", "error"),
    # lone surrogates cannot be read as UTF-8
    ('a="\udcff"', "python"),
]


@pytest.mark.parametrize("line, route", CASES)
def test_lines(line, route):
    check_line(line)
    assert native_route(line) == route


def test_results_are_fresh_arrays():
    line = f"{LATTICE} stress=\"1 2 3 4 5 6 7 8 9\" a=[1, 2] b=\"T F\""
    first, second = comment_oracle.native_parse(line), comment_oracle.native_parse(line)
    for array in (first[1], first[3]["stress"], first[3]["a"], first[3]["b"]):
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
    first[1][0, 0] = 99.0
    assert second[1][0, 0] == 11.44 and comment_oracle.native_parse(line)[1][0, 0] == 11.44


SPACES = " \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"
# Look like spaces, or sit next to them in the tables, but str.isspace() refuses them.
NOT_SPACES = "\u200b\x00\u180e\u2060\ufeff\x84\x86"

space = st.sampled_from(SPACES)
gap = st.text(space, min_size=1, max_size=3)
maybe_gap = st.one_of(st.just(""), st.just(""), gap)

digits = st.text("0123456789", min_size=1, max_size=6)
sign = st.sampled_from(["", "", "+", "-"])
exponent = st.one_of(st.just(""), st.tuples(st.sampled_from("eE"), sign, digits).map("".join))
decimal = st.one_of(
    st.tuples(digits, st.sampled_from(["", "."])).map("".join),
    st.tuples(digits, st.just("."), digits).map("".join),
    st.tuples(st.just("."), digits).map("".join),
)
number = st.one_of(
    st.tuples(sign, decimal, exponent).map("".join),
    st.tuples(sign, st.sampled_from(["inf", "Infinity", "INF", "nan", "NaN", "iNfInItY"])).map("".join),
    st.integers(-(10 ** 25), 10 ** 25).map(str),
    st.floats().map(repr),
    st.sampled_from(["1_0", "\u0661\u0662", "0x10", "1e", "e5", ".", "+", "-", "infinit", "1.5.2", "1e5e5",
                     "9223372036854775807", "9223372036854775808", "-9223372036854775809", "1" * 30]),
)
flag = st.sampled_from(["T", "True", "TRUE", "true", "F", "False", "FALSE", "false", "t", "tRUE", "yes"])
word = st.text(st.sampled_from("abxyzT_.:+-1\u00e9\u212a\U0001f600" + NOT_SPACES), min_size=1, max_size=5)
token = st.one_of(number, number, flag, word)


def quote(text, mark):
    return mark + text.replace("\\", "\\\\").replace(mark, "\\" + mark) + mark


escape = st.sampled_from(["\\n", "\\r", "\\\\", '\\"', "\\'", "\\q", "\\\u00e9"])
list_gap = st.one_of(gap, st.tuples(maybe_gap, st.just(","), maybe_gap).map("".join), st.just(",,"))
quoted_item = st.tuples(st.text(st.sampled_from("ab 1,"), max_size=4), st.sampled_from("\"'")).map(lambda t: quote(*t))


@st.composite
def joined(draw, items, separators):
    parts = draw(st.lists(items, max_size=10))
    out = draw(maybe_gap)
    for i, part in enumerate(parts):
        out += (draw(separators) if i else "") + part
    return out + draw(st.one_of(st.just(""), maybe_gap, st.just(",")))


@st.composite
def same_kind(draw, items, separators):
    """Items that mostly agree (all numbers, all flags): the arrays the typing makes."""
    kind = draw(st.sampled_from([number, flag, token]))
    return draw(joined(st.one_of(kind, kind, kind, items), separators))


list_items = st.one_of(token, quoted_item)
flat_list = st.tuples(st.sampled_from(["[]", "{}"]), same_kind(list_items, list_gap)).map(
    lambda t: t[0][0] + t[1] + t[0][1])
nested_list = joined(flat_list.filter(lambda text: text[0] == "["), list_gap).map(lambda text: "[" + text + "]")


@st.composite
def matrix(draw):
    """Rows of one length, each of numbers, flags, words or quoted items: the nested lists
    that stack, and that NumPy turns into one dtype (strs as wide as its numbers' texts)."""
    width = draw(st.integers(0, 4))
    rows = [draw(st.lists(draw(st.sampled_from([number, flag, list_items])), min_size=width, max_size=width))
            for _ in range(draw(st.integers(1, 4)))]
    return "[" + draw(list_gap).join("[" + ", ".join(row) + "]" for row in rows) + "]"


content = st.one_of(same_kind(token, st.one_of(gap, list_gap)), st.text(st.sampled_from("1 T,\\\"'=[]{}"), max_size=8),
                    st.lists(st.one_of(token, escape, gap), max_size=6).map("".join))
quoted_value = st.one_of(
    st.tuples(content, st.sampled_from("\"'")).map(lambda t: quote(*t)),
    st.lists(st.one_of(token, escape, gap), max_size=5).map(lambda parts: '"' + "".join(parts) + '"'),
)
value = st.one_of(token, quoted_value, quoted_value, flat_list, flat_list, nested_list, matrix(), st.just(""),
                  st.text(st.sampled_from("=\"'[]{}\\ a1"), max_size=5))
key = st.one_of(
    st.sampled_from(["Lattice", "lattice", "LATTICE", "Properties", "properties", "pbc", "PBC", "Pbc", "stress",
                     "Stress", "VIRIAL", "virial", "comment", "energy", "a", "b", "l\u0130ttice", "k\u212a"]),
    word,
    st.tuples(st.text(st.sampled_from("ab =\\\"'"), max_size=5), st.just('"')).map(lambda t: quote(*t)),
)
item = st.one_of(
    key,
    st.tuples(key, maybe_gap, st.just("="), maybe_gap, value).map("".join),
    st.tuples(key, st.just("="), value).map("".join),
)
# The frame's own fields with values that mostly hold: nine numbers, one or three flags.
nine = st.lists(number, min_size=9, max_size=9)
three_flags = st.one_of(st.lists(flag, min_size=3, max_size=3), st.lists(flag, min_size=1, max_size=1))
framing_item = st.one_of(
    st.tuples(st.sampled_from(["Lattice=", "lattice = "]), st.one_of(
        nine.map(lambda t: '"' + " ".join(t) + '"'), nine.map(lambda t: "[" + ", ".join(t) + "]"),
        nine.map(lambda t: "{" + " ".join(t) + "}"), nine.map(lambda t: "'" + ",".join(t) + "'"),
        nine.map(lambda t: "[" + ", ".join("[" + ", ".join(t[i:i + 3]) + "]" for i in (0, 3, 6)) + "]"))).map("".join),
    st.tuples(st.sampled_from(["pbc=", "PBC="]), st.one_of(
        three_flags.map(lambda t: '"' + " ".join(t) + '"'), three_flags.map(lambda t: "[" + ", ".join(t) + "]"),
        three_flags.map(lambda t: "{" + " ".join(t) + "}"), three_flags.map(" ".join))).map("".join),
    st.tuples(st.sampled_from(["Properties=", "properties="]), st.one_of(word, quoted_value)).map("".join),
    st.tuples(st.sampled_from(["stress=", "Virial="]), nine.map(lambda t: '"' + " ".join(t) + '"')).map("".join),
)


@st.composite
def line(draw):
    """Items between spaces; their keys are mostly distinct, so that most lines read."""
    items = draw(st.lists(st.one_of(item, item, framing_item), max_size=6))
    if draw(st.booleans()):
        kept = {}
        for text in items:
            kept.setdefault(text.split("=")[0].strip().lower(), text)
        items = list(kept.values())
    return draw(maybe_gap) + "".join(text + draw(gap) for text in items) + draw(maybe_gap)


noise = st.text(st.sampled_from(" ==\"'[]{},\\abT1.e-+_\t\r\n\xa0\u3000\u00e9" + NOT_SPACES), max_size=40)

slow_ok = settings(max_examples=examples(1500), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@slow_ok
@given(line())
def test_built_lines(text):
    check_line(text)


@slow_ok
@given(noise)
def test_noise(text):
    check_line(text)


@slow_ok
@given(st.lists(st.tuples(key, value), max_size=6), noise)
def test_built_lines_with_noise(items, extra):
    text = " ".join(f"{k}={v}" for k, v in items)
    position = len(text) // 2
    check_line(text[:position] + extra + text[position:])


@pytest.mark.parametrize("limit", [0, 640, 700, 4300])
def test_int_digit_limit(limit):
    """int()'s limit on digits as set when the line is read, wherever an integer is typed."""
    long = "1" * 650
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        for line in [f"a={long}", f"a=0{long}00", f'a="-{long} 2"', f"a=[[1], [{long}]] b=c=d", f"a=[1.5, {long}]",
                     f"Lattice=[{long}, {long}, 1] x={'1' * 5000}", f"a=x b=[{long}, 'x']"]:
            check_line(line)
    finally:
        sys.set_int_max_str_digits(old)


@pytest.mark.parametrize("argument", [b"a=1", None, 5, ["a=1"]])
def test_line_must_be_str(argument):
    with pytest.raises(TypeError, match="^argument 'line': '.*' object cannot be converted to 'PyString'$"):
        _atomkit.parse_comment_rs(argument)


def test_str_subclass_is_read():
    class Line(str):
        pass

    assert same(comment_oracle.native_parse(Line("a=1 b=x")), comment_oracle.parse_python("a=1 b=x"))


# ---- the float formatter --------------------------------------------------------------------


def reprs(values, separator=" "):
    return separator.join(map(repr, np.asarray(values).ravel().tolist()))


def formatted(values, separator=" "):
    return _atomkit.format_floats_rs(values, separator)


@given(st.floats())
def test_repr_of_any_double(x):
    assert formatted(np.array([[x]])) == repr(x)


@given(st.integers(0, 2 ** 64 - 1))
def test_repr_of_any_bit_pattern(bits):
    values = np.array([[bits]], dtype=np.uint64).view(np.float64)
    assert formatted(values) == reprs(values)


@given(st.integers(1, 10 ** 17), st.integers(-340, 320))
def test_repr_of_short_decimals(mantissa, power):
    x = float(f"{mantissa}e{power}")
    assert formatted(np.array([[x, -x]])) == reprs([x, -x])


def test_every_exponent():
    powers = np.concatenate([2.0 ** np.arange(-1074, 1024), [float(f"1e{k}") for k in range(-323, 309)]])
    bits = powers.view(np.int64)[:, None] + np.arange(-2, 3)
    values = bits.ravel().view(np.float64)
    values = values[np.isfinite(values)].reshape(1, -1)
    assert formatted(values) == reprs(values)
    assert formatted(-values) == reprs(-values)


@pytest.mark.parametrize("value, text", [
    (0.0, "0.0"), (-0.0, "-0.0"), (1.0, "1.0"), (0.1, "0.1"), (1e16, "1e+16"), (1e15, "1000000000000000.0"),
    (123456789012345678.0, "1.2345678901234568e+17"), (9999999999999998.0, "9999999999999998.0"),
    (0.0001, "0.0001"), (0.00001, "1e-05"), (0.00012345, "0.00012345"), (1.5e-5, "1.5e-05"), (5e-324, "5e-324"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (1e100, "1e+100"), (1e-100, "1e-100"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "nan"),
    (-math.nan, "nan"), (-8.096529818348191, "-8.096529818348191"),
])
def test_repr_table(value, text):
    assert formatted(np.array([[value]])) == text


@given(st.lists(st.floats(), max_size=12), st.sampled_from([" ", ", ", "", "\u00e9|\U0001f600"]))
def test_joined(values, separator):
    assert formatted(np.array([values]), separator) == reprs(values, separator)


@pytest.mark.parametrize("make", [
    lambda a: a, lambda a: a.T, lambda a: a[::-1, ::2], lambda a: a[:, 1:2], lambda a: a[:0], lambda a: a[:, :0],
    lambda a: np.asfortranarray(a), lambda a: np.broadcast_to(a[:1], (3, 4)),
])
def test_layouts(make):
    values = make(np.arange(12, dtype=np.float64).reshape(3, 4) / 7)
    assert formatted(values, ", ") == reprs(values, ", ")


@pytest.mark.parametrize("values", [
    np.zeros((2, 2), np.float32), np.zeros(3), np.zeros((1, 1, 1)), [[1.0]], 1.0, np.zeros((2, 2), ">f8"),
])
def test_values_must_be_a_float64_matrix(values):
    with pytest.raises(TypeError) as error:
        formatted(values)
    assert error.value.args[0] == f"argument 'values': '{type(values).__name__}' object cannot be converted to 'PyArray<T, D>'"


def test_separator_must_be_str():
    with pytest.raises(TypeError, match="^argument 'separator': 'bytes' object cannot be converted to 'PyString'$"):
        _atomkit.format_floats_rs(np.zeros((1, 2)), b" ")
    with pytest.raises(UnicodeEncodeError):
        _atomkit.format_floats_rs(np.zeros((1, 2)), "\udcff")


# ---- the writer's values, read back -----------------------------------------------------------

def same_floats(read, written):
    """Equal float64 arrays, any NaN standing for any other (all are written as nan)."""
    nan = np.isnan(written)
    return (read.dtype == np.float64 and read.shape == written.shape and np.array_equal(np.isnan(read), nan)
            and read[~nan].tobytes() == written[~nan].astype(np.float64).tobytes())


float_arrays = st.sampled_from(["<f8", ">f8", "<f4", "<f2"]).flatmap(
    lambda dtype: st.lists(st.floats(width=int(dtype[2:]) * 8), min_size=0, max_size=10).map(
        lambda values: np.array(values, dtype=dtype)))


@given(float_arrays, st.booleans())
def test_written_float_arrays_read_back(values, strided):
    if strided:
        values = np.repeat(values, 2)[::2]
    written = comment_write.item_text("x", values)
    expected = '"' + reprs(values) + '"' if len(values) > 1 else "[" + reprs(values, ", ") + "]"
    assert written == "x=" + expected
    assert same_floats(comment_oracle.native_parse(written)[3]["x"], values)


def test_written_longdouble_reads_back_as_float64():
    values = np.array([1.1, -2.5e-300], dtype=np.longdouble)
    line = comment_write.item_text("a", values) + " " + comment_write.item_text("b", values[0])
    info = comment_oracle.native_parse(line)[3]
    assert same(info["a"], values.astype(np.float64)) and same(info["b"], float(values[0]))


@pytest.mark.parametrize("dtype", ["<f8", ">f8", "<f4", "<i8"])
def test_written_matrix_and_lattice(dtype):
    matrix = (np.arange(9).reshape(3, 3) * 1.1).astype(dtype)
    assert comment_write.item_text("stress", matrix) == 'stress="' + reprs(matrix) + '"'
    assert comment_write.item_text("stress", matrix.T) == 'stress="' + reprs(matrix.T) + '"'
    if dtype != "<i8":
        assert comment_write.lattice_text(matrix) == 'Lattice="' + reprs(matrix) + '"'
        assert same_floats(comment_oracle.native_parse(comment_write.lattice_text(matrix))[1], matrix)
