# Line assembly of write_atoms_rs: column codes, separators, symbol decoding and padding,
# array layouts, and the internal failures of the block writer.
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from helpers import capture_panic, examples, symbols, write

F3 = np.array([[0.0, 1.5, -2.25]])


def fld(x):
    return " %16.8f" % x


def cp(*rows):
    """Code-point matrix from rows of integers."""
    return np.array(rows, dtype=np.uint32).reshape(len(rows), -1)


@pytest.mark.parametrize(
    "sym, width, kwargs, codes, text",
    [
        (symbols("H"), 2, dict(floats=F3), b"sfff", "H " + fld(0) + fld(1.5) + fld(-2.25) + "\n"),
        (symbols("H"), 2, dict(floats=F3), b"ss", "H H \n"),
        (symbols("H"), 2, dict(floats=F3), b"xsx\x00f\xff", "H " + fld(0) + "\n"),
        (symbols("H"), 2, dict(floats=F3), b"ff", fld(0) + fld(1.5) + "\n"),
        (symbols("Fe"), 1, dict(ints=np.array([[7]])), b"si", "Fe" + " %8d" % 7 + "\n"),
        (symbols("H"), 0, dict(bools=np.array([[0, 1, 2, 255]], np.uint8)), b"bbbb", "  F  T  T  T\n"),
        (symbols("O"), 3, dict(floats=F3, ints=np.array([[-1, 2]]), bools=np.array([[1]], np.uint8)),
         b"fibsif", fld(0) + " %8d" % -1 + "  T" + "O  " + " %8d" % 2 + fld(1.5) + "\n"),
        (symbols("H", "He", "Li"), 2, {}, b"", "\n\n\n"),
        (cp([72, 0, 101]), 2, {}, b"s", "H \n"),
        (cp([0xD800, 72, 0xDFFF]), 2, {}, b"s", "H \n"),
        (cp([0x110000, 0xFFFFFFFF]), 2, {}, b"s", "  \n"),
        (cp([0xE9]), 3, {}, b"s", "\u00e9  \n"),
        (cp([0x1F600, 0x4E00, 0x7F]), 4, {}, b"s", "\U0001f600\u4e00\x7f \n"),
        (cp([0x10FFFF, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000]), 0, {}, b"s", "\U0010ffff\x80\u07ff\u0800\uffff\U00010000\n"),
        (np.zeros((2, 0), np.uint32), 1, {}, b"ss", "  \n  \n"),
        (np.zeros((0, 3), np.uint32), 2**63, dict(floats=F3), b"sfib", ""),
        (symbols("H"), 70000, {}, b"x", "\n"),
        (symbols("H"), 2**64 - 2, {}, b"", "\n"),  # the reservation wraps to 0: no error
    ],
)
def test_lines(sym, width, kwargs, codes, text):
    assert write(sym, width, **kwargs, col_types=codes) == text


def test_matrices_may_have_more_rows_and_columns_than_used():
    floats = np.arange(12.0).reshape(4, 3)
    assert write(symbols("H", "C"), 1, floats=floats, col_types=b"f") == fld(0) + "\n" + fld(3) + "\n"


@pytest.mark.parametrize(
    "sym, width, kwargs, codes, message",
    [
        (symbols("H", "C"), 2, dict(floats=np.zeros((1, 3))), b"f", "ndarray: index out of bounds"),
        (symbols("H"), 2, dict(floats=np.zeros((1, 3))), b"ffff", "ndarray: index out of bounds"),
        (symbols("H"), 2, dict(ints=np.zeros((1, 1), np.int64)), b"ii", "ndarray: index out of bounds"),
        (symbols("H"), 2, dict(bools=np.zeros((0, 1), np.uint8)), b"sb", "ndarray: index out of bounds"),
        (symbols("H"), 70000, {}, b"s", "Formatting argument out of range"),
        (symbols("H"), 70000, {}, b"fs", "ndarray: index out of bounds"),  # first failing code wins
        (symbols("H"), 2**63, {}, b"", "capacity overflow"),
        (symbols("H", "C"), 2**62, {}, b"s", "capacity overflow"),  # the product reaches 2^63
    ],
)
def test_internal_failures(sym, width, kwargs, codes, message):
    error = capture_panic(write, sym, width, **kwargs, col_types=codes)
    assert error.args == (message,)
    assert type(error).__module__ == "atomkit_runtime" and not isinstance(error, Exception)


def test_memory_follows_the_text():
    # A width that no symbol field uses costs nothing; a text that cannot be had is a
    # MemoryError, and the next call works.
    assert write(symbols("H"), 2**62, col_types=b"") == "\n"
    many = np.broadcast_to(symbols("H"), (2**41, 1))
    with pytest.raises(MemoryError):
        write(many, 65535, col_types=b"s")
    assert write(symbols("H"), 1, col_types=b"s") == "H\n"


SYM = symbols("H", "He", "Li", "Be", "Na")
M = np.arange(-4.5, 25.5).reshape(5, 6) * 1.25


def read_only(m):
    m.setflags(write=False)
    return m


@pytest.mark.parametrize(
    "make",
    [
        np.asfortranarray,
        lambda m: np.ascontiguousarray(m.T).T,
        lambda m: np.ascontiguousarray(m[::-1])[::-1],
        lambda m: np.ascontiguousarray(m[:, ::-1])[:, ::-1],
        lambda m: np.repeat(m, 2, axis=1)[:, ::2],
        lambda m: np.broadcast_to(m[1], m.shape),
        lambda m: np.ma.masked_array(m, mask=m > 3),
        read_only,
        lambda m: np.frombuffer(b"\0" + m.tobytes(), m.dtype, offset=1).reshape(m.shape),
    ],
    ids=["F", "T", "rows-reversed", "cols-reversed", "stepped", "broadcast", "masked", "read-only", "unaligned"],
)
def test_layouts_read_like_their_c_copy(make):
    arrays = [make(a) for a in (SYM.copy(), M.copy(), (M * 8).astype(np.int64), (M > 0).astype(np.uint8))]
    codes = b"s" + b"f" * 6 + b"i" * 6 + b"b" * 6 + b"s"
    contiguous = [np.ascontiguousarray(a) for a in arrays]
    expected = write(contiguous[0], 3, *contiguous[1:], col_types=codes)
    assert write(arrays[0], 3, *arrays[1:], col_types=codes) == expected
    assert expected.split("\n")[1].startswith("He ")  # the symbols were read at all


def reference_line(symbol_row, width, cells, codes):
    symbol = "".join(chr(c) for c in symbol_row.tolist()[: (symbol_row.tolist() + [0]).index(0)]
                     if c <= 0x10FFFF and not 0xD800 <= c <= 0xDFFF)
    fields = {"s": lambda: symbol.ljust(width), "f": lambda: fld(next(cells["f"])),
              "i": lambda: " %8d" % next(cells["i"]), "b": lambda: "  " + "FT"[int(next(cells["b"]) != 0)]}
    return "".join(fields[c]() for c in codes.decode() if c in fields) + "\n"


@settings(max_examples=examples(150))
@given(st.lists(st.lists(st.integers(0, 0x10FFFF) | st.sampled_from([0, 72, 0xD800, 0x110000, 2**32 - 1]),
                         min_size=3, max_size=3), min_size=1, max_size=6),
       st.integers(0, 6), st.binary(max_size=12).map(lambda b: bytes(b"sfibx"[c % 5] for c in b)), st.integers(0, 2**32))
def test_block_matches_reference(rows, width, codes, seed):
    rng, sym = np.random.default_rng(seed), cp(*rows)
    mats = (rng.uniform(-1e3, 1e3, (len(rows), 4)), rng.integers(-(2**63), 2**63 - 1, (len(rows), 4)),
            rng.integers(0, 256, (len(rows), 4)).astype(np.uint8))
    if max(codes.count(c) for c in b"fib") > 4:
        assert capture_panic(write, sym, width, *mats, col_types=codes).args == ("ndarray: index out of bounds",)
        return
    expected = "".join(reference_line(sym[r], width, {k: iter(m[r].tolist()) for k, m in zip("fib", mats)}, codes)
                       for r in range(len(rows)))
    assert write(sym, width, *mats, col_types=codes) == expected
    assert write(np.asfortranarray(sym), width, *mats, col_types=codes) == expected


@pytest.mark.parametrize("code_point", [0x41, 0x4E00])  # an ASCII block and a UTF-8 one
def test_large_block_grows_past_its_estimate(code_point):
    # Long symbol rows, symbols wider than sym_width and floats wider than 16 characters.
    n, big = 2000, -1.7976931348623157e308
    sym = np.tile(cp([code_point] * 300), (n, 1))
    line = chr(code_point) * 300 + fld(big) * 2 + "\n"
    assert write(sym, 1, np.full((n, 2), big), col_types=b"sff") == line * n


# Under a sanitizer the process maps terabytes of shadow memory, so no address-space limit fits.
no_sanitizer = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limit")


@no_sanitizer
@pytest.mark.parametrize("limit_gib, setup, codes, length", [
    # 3 million symbol fields of a 256-wide row: the text is 6 MB.
    (3, "sym = np.zeros((1, 256), np.uint32); sym[0, 0] = 72; f = np.zeros((1, 0))", 'b"s" * 3_000_000', 6_000_001),
    # 8 million float fields: the text is 136 MB.
    (2, "sym = np.zeros((1, 1), np.uint32); f = np.zeros((1, 8_000_000))", 'b"f" * 8_000_000', 136_000_001),
], ids=["symbol codes", "float codes"])
def test_memory_of_a_call_follows_its_text(limit_gib, setup, codes, length):
    code = f"""
import resource, numpy as np, _atomkit
resource.setrlimit(resource.RLIMIT_AS, ({limit_gib} << 30, {limit_gib} << 30))
{setup}
text = _atomkit.write_atoms_rs(sym, 2, f, np.zeros((1, 0), np.int64), np.zeros((1, 0), np.uint8), {codes})
print(len(text))
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout == f"{length}\n", run.stderr


@pytest.mark.parametrize("row, width, field", [
    ([72, 101], 2, "He"), ([65, 0], 2, "A "), ([0, 76], 2, "  "), ([0, 0], 3, "   "), ([72, 101], 1, "He"),
    ([72], 4, "H   "), ([0], 1, " "), ([0xE9, 0], 2, "\u00e9 "), ([0xD800, 72], 2, "H "), ([72, 0x110000], 2, "H "),
])
def test_short_symbols(row, width, field):
    # One- and two-element rows take a shortcut of their own; an empty symbol is padding only.
    sym = np.array([row, row], dtype=np.uint32)
    assert write(sym, width, np.ones((2, 1)), col_types=b"sf") == (field + fld(1.0) + "\n") * 2
