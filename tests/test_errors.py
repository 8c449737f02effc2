# How failures leave a call: PanicException, the argument-error rule, resumed panics, and
# nothing left behind after a failure.
import gc
import os
import sys

import numpy as np
import pytest

import _atomkit
from helpers import Index, capture_panic, empty_matrices, symbols, write

W = _atomkit.write_atoms_rs
R = _atomkit.read_atom_lines_rs
SYM = symbols("H")
F, I, B = empty_matrices()

PANIC_DOC = (
    "\nThe exception raised when Native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "atomkit_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == PANIC_DOC
    assert not issubclass(panic_type, Exception)
    e = capture_panic(write, SYM, 70000, col_types=b"s")
    assert type(e) is panic_type
    assert e.args == ("Formatting argument out of range",)
    assert str(e) == "Formatting argument out of range"


def test_panic_passes_except_exception(capfd):
    try:
        try:
            write(SYM, 70000, col_types=b"s")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:
        assert type(e).__name__ == "PanicException"
    err = capfd.readouterr().err
    assert "internal failure" in err and "Formatting argument out of range" in err


def test_type_error_from_index_is_prefixed_and_keeps_its_cause():
    cause = KeyError("root")
    original = TypeError("nope")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        W(SYM, Index(original), F, I, B, b"")
    e = info.value
    assert e is not original
    assert str(e) == "argument 'sym_width': nope"
    assert e.__cause__ is cause
    assert e.__suppress_context__


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [OverflowError("big"), ValueError("bad"), MyTypeError("sub")])
def test_other_errors_from_index_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        W(SYM, Index(exc), F, I, B, b"")
    assert info.value is exc
    assert str(info.value) == str(exc)


def test_panic_from_python_code_resumes_as_a_new_panic(panic_type, capfd):
    boom = panic_type("boom")
    e = capture_panic(W, SYM, Index(boom), F, I, B, b"")
    assert e is not boom
    assert e.args == ("boom",)
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "__index__" in err and "boom" in err


def test_panic_from_a_discarded_len_still_resumes(panic_type):
    class Lying:
        def __getitem__(self, i):
            return [102][i]

        def __len__(self):
            raise panic_type("from len")

    e = capture_panic(R, ["1"], Lying())
    assert e.args == ("from len",)


FAILING_CALLS = [
    (lambda: W(SYM, 2.0, F, I, B, b""), TypeError, "argument 'sym_width': "),
    (lambda: W(SYM, 2, F, I, np.zeros((1, 1), dtype=bool), b""), TypeError, "argument 'bool_mat': "),
    (lambda: W(SYM, 2, F, I, B, "s"), TypeError, "argument 'col_types': "),
    (lambda: W(SYM, 70000, F, I, B, b"s"), "PanicException", "Formatting argument out of range"),
    (lambda: W(SYM, 2, F, I, B, b"f"), "PanicException", "ndarray: index out of bounds"),
    (lambda: R(["H x"], b"sf"), ValueError, "row 0: cannot parse"),
    (lambda: R(["H"], b"sf"), ValueError, "row 0: expected 2 tokens"),
    (lambda: R([b"H"], b"s"), TypeError, "argument 'lines': "),
    (lambda: R(["H"], [300]), OverflowError, "out of range integral type conversion attempted"),
]


@pytest.mark.parametrize("call, kind, message", FAILING_CALLS)
def test_failed_call_leaves_nothing_behind(call, kind, message, panic_type):
    # Exactly one exception of exactly the expected type: a null return without one, or an
    # exception left set behind another, would surface as SystemError or as a context.
    kind = panic_type if kind == "PanicException" else kind
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind, repr(info.value)
    assert str(info.value).startswith(message)
    assert info.value.__context__ is None
    assert W(SYM, 2, F, I, B, b"s") == "H \n"
    assert R(["H 1.5"], b"sf")["floats"].tolist() == [[1.5]]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def test_repeated_calls_keep_refcounts_and_memory_flat():
    floats = np.arange(6.0).reshape(2, 3)
    ints = np.arange(2, dtype=np.int64).reshape(2, 1)
    bools = np.ones((2, 1), dtype=np.uint8)
    sym = symbols("H", "O")
    lines = ["H 1.0 2 T", "O 3.0 4 F"]
    bad_lines = ["H 1.0 2 T", "O x 4 F"]
    watched = [floats, ints, bools, sym, lines, bad_lines, *lines]
    calls = [
        lambda: W(sym, 2, floats, ints, bools, b"sfffib"),
        lambda: W(sym, 2, floats, ints, bools, b"sffffib"),
        lambda: W(sym, 2.5, floats, ints, bools, b"s"),
        lambda: W(sym, 2, floats, ints, floats, b"s"),
        lambda: R(lines, b"sfib"),
        lambda: R(bad_lines, b"sfib"),
        lambda: R(lines, "sfib"),
    ]

    def run(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except BaseException:
                    pass

    run(200)
    gc.collect()
    before = [sys.getrefcount(x) for x in watched]
    memory = rss_kib()
    run(3000)
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == before
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan's quarantine holds freed memory
        assert rss_kib() - memory < 4096
