# The shared borrow registry as other modules see it: write_atoms_rs's shared borrows, the
# registry functions published in the capsule, and use of a registry another module published.
import ctypes
import importlib
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _atomkit
from helpers import capture_panic

ATTR = "_NATIVE_NUMPY_BORROW_CHECKING_API"
NAME = ATTR.encode()
MULTIARRAY = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
ALREADY = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
ARRAYS = ("sym_codepoints", "float_mat", "int_mat", "bool_mat")
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p), ("acquire", ACQUIRE),
                ("acquire_mut", ACQUIRE), ("release", RELEASE), ("release_mut", RELEASE)]


class Registry:
    """The functions of the published record, called as another extension module would."""

    def __init__(self):
        self.record = Record.from_address(get_pointer(getattr(importlib.import_module(MULTIARRAY), ATTR), NAME))

    def __getattr__(self, op):
        return lambda array: getattr(self.record, op)(self.record.state, array)


def make_args(float_mat=None):
    float_mat = np.arange(8.0).reshape(4, 2) if float_mat is None else float_mat
    n, nf = float_mat.shape
    return dict(sym_codepoints=np.full((n, 2), ord("H"), np.uint32), sym_width=2, float_mat=float_mat,
                int_mat=np.arange(n, dtype=np.int64).reshape(n, 1), bool_mat=np.ones((n, 1), np.uint8),
                col_types=b"s" + b"f" * nf + b"ib")


def write(args):
    return _atomkit.write_atoms_rs(**args)


def assert_free(reg, *arrays):
    for array in arrays:
        assert reg.acquire_mut(array) == 0
        reg.release_mut(array)


@pytest.fixture(scope="module")
def reg():
    write(make_args())  # the process's first borrow publishes the registry if no module did
    registry = Registry()
    assert registry.record.version >= 1
    return registry


@pytest.mark.parametrize("change, held, error", [
    ({}, None, None),
    ({"sym_width": -1}, None, OverflowError),
    ({"bool_mat": np.ones((4, 1), bool)}, None, TypeError),
    ({"col_types": 1.5}, None, TypeError),
    ({"sym_width": 70000}, None, "Formatting argument out of range"),
    ({}, "float_mat", ALREADY),
    ({}, "bool_mat", ALREADY),
], ids=["success", "sym_width", "bool_mat dtype", "col_types", "writer panic", "float_mat held", "bool_mat held"])
def test_call_leaves_no_borrow(reg, change, held, error):
    args = {**make_args(), **change}
    if held:
        assert reg.acquire_mut(args[held]) == 0
    try:
        if error is None:
            write(args)
        elif isinstance(error, str):
            assert capture_panic(write, args).args == (error,)
        else:
            pytest.raises(error, write, args)
    finally:
        if held:
            reg.release_mut(args[held])
    assert_free(reg, *(value for value in args.values() if isinstance(value, np.ndarray)))


def test_two_dtype_views_of_one_buffer(reg):
    b = np.arange(8.0).reshape(4, 2)
    args = {**make_args(b), "int_mat": b.view(np.int64), "col_types": b"sffii"}
    assert write(args) == write({**args, "int_mat": b.view(np.int64).copy()})
    assert_free(reg, b)  # both shared borrows of the one key are gone


@pytest.mark.parametrize("held, passed, blocked", [
    (np.s_[:], np.s_[:], True),
    (np.s_[:5], np.s_[5:], False),
    (np.s_[:5], np.s_[4:], True),
    (np.s_[:, ::2], np.s_[:, 1::2], False),
    (np.s_[:, ::2], np.s_[:, ::-1], True),
], ids=["whole", "disjoint rows", "shared row", "interleaved columns", "reversed columns"])
def test_exclusive_borrow_elsewhere(reg, held, passed, blocked):
    a = np.zeros((10, 2))
    assert reg.acquire_mut(a[held]) == 0
    try:
        if blocked:
            assert capture_panic(write, make_args(a[passed])).args == (ALREADY,)
        else:
            write(make_args(a[passed]))
    finally:
        reg.release_mut(a[held])
    assert_free(reg, a)


def test_exclusive_borrow_of_the_high_words(reg):
    # The high 32-bit words of a float64 matrix start 4 bytes into each element: not on the
    # elements' grid, but inside their bytes.
    a = np.zeros((10, 2))
    high = a.view(np.uint32)[:, 1::2]
    assert reg.acquire_mut(high) == 0
    try:
        assert capture_panic(write, make_args(a)).args == (ALREADY,)
    finally:
        reg.release_mut(high)
    assert_free(reg, a)


def views(a):
    readonly = a.view()
    readonly.flags.writeable = False
    repeated = lambda offset: np.ndarray((3,), np.float64, buffer=a, offset=offset, strides=(0,))  # noqa: E731
    return {"a": a, "top": a[:5], "bottom": a[5:], "even": a[:, ::2], "odd": a[:, 1::2], "T": a.T,
            "ints": a.view(np.int64), "cell": a[1, 1, ...], "ro": readonly, "rep0": repeated(0),
            "low": a.view(np.uint32)[:, ::2], "high": a.view(np.uint32)[:, 1::2],
            "rep4": repeated(4), "other": np.zeros((10, 2))}


# Steps "op view [expected result]", run in order against one fresh matrix `a`.
SEQUENCES = {
    "shared counts": "acquire a 0, acquire ints 0, release a, acquire_mut a -1, release ints, acquire_mut a 0, "
                     "release_mut a",
    "shared then exclusive": "acquire top 0, acquire top 0, acquire_mut a -1, acquire_mut top -1, "
                             "acquire_mut bottom 0, release_mut bottom, release top, release top",
    "exclusive then shared": "acquire_mut a 0, acquire a -1, acquire top -1, acquire T -1, acquire cell -1, "
                             "acquire other 0, release other, release_mut a",
    "interleaved columns": "acquire_mut even 0, acquire_mut odd 0, acquire a -1, release_mut even, release_mut odd",
    "half words": "acquire_mut high 0, acquire a -1, acquire even -1, acquire odd -1, acquire cell -1, "
                  "acquire_mut low 0, release_mut low, release_mut high, acquire high 0, acquire low 0, "
                  "acquire_mut a -1, release high, release low",
    "read-only": "acquire_mut a 0, acquire_mut ro -2, release_mut a, acquire ro 0, acquire_mut ro -2, release ro",
    "zero strides": "acquire_mut rep0 0, acquire rep4 -1, acquire_mut rep4 -1, acquire rep0 -1, release_mut rep0, "
                    "acquire rep4 0, acquire rep0 0, release rep4, release rep0",
    "stray releases": "release_mut other, release other, acquire_mut top 0, release_mut bottom, release top, "
                      "release a, acquire top -1, acquire bottom 0, release bottom, release_mut top",
}


@pytest.mark.parametrize("steps", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_registry_functions(reg, steps):
    v = views(np.zeros((10, 2)))
    for step in steps.split(", "):
        op, name, *expected = step.split()
        result = getattr(reg, op)(v[name])
        if expected:
            assert result == int(expected[0]), step
    assert_free(reg, v["a"], v["other"])


PRELUDE = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from test_borrow_registry import *
mod = importlib.import_module(MULTIARRAY)
log, answer = [], [0]
acquire = ACQUIRE(lambda state, array: log.append(("acquire", id(array))) or answer[0])
release = RELEASE(lambda state, array: log.append(("release", id(array))))
record = Record(1, None, acquire, acquire, release, release)
foreign = new_capsule(ctypes.addressof(record), NAME, None)
args = make_args()

def expect_fill_error(text):
    (message,) = capture_panic(write, args).args
    assert message.startswith("Interal borrow checking API error: PyErr {{ type: ") and text in message, message
"""

# Each runs in a new process: the first borrow of a process decides which registry it uses.
SCENARIOS = {
    "published": """
        setattr(mod, ATTR, foreign)
        write(args)
        ids = [id(args[name]) for name in ARRAYS]
        assert log == [("acquire", i) for i in ids] + [("release", i) for i in ids[::-1]], log
        assert getattr(mod, ATTR) is foreign
        answer[0] = -1
        assert capture_panic(write, args).args == (ALREADY,)
        answer[0] = 7
        assert capture_panic(write, args).args == ("Unexpected return code 7 from borrow checking API",)
    """,
    "version 0": """
        record.version = 0
        setattr(mod, ATTR, foreign)
        expect_fill_error("Version 0 of borrow checking API is not supported by this version of atomkit")
        record.version = 1
        write(args)
        assert len(log) == 8
    """,
    "not a capsule": """
        setattr(mod, ATTR, 42)
        expect_fill_error("'int' object cannot be converted to 'PyCapsule'")
        delattr(mod, ATTR)
        write(args)
        assert not log and Registry().record.version == 1
    """,
    "null pointer": """
        setattr(mod, ATTR, foreign)
        pointer = ctypes.c_void_p.from_address(id(foreign) + object.__basicsize__)
        saved, pointer.value = pointer.value, None
        expect_fill_error("invalid PyCapsule object")
        pointer.value = saved
        write(args)
        assert len(log) == 8
    """,
    "import hook": """
        # The first borrow imports NumPy's module; an import hook that retypes an array then
        # must be met by the array check, not by a read of the array's old shape.
        import builtins, warnings, _atomkit
        warnings.simplefilter("ignore", DeprecationWarning)
        _atomkit.read_atom_lines_rs(["1"], b"f")  # NumPy's table is in place; the registry is not
        sym = args["sym_codepoints"]
        real_import = builtins.__import__
        def hook(name, *rest, **kw):
            if "multiarray" in name:
                sym.dtype = np.uint8
            return real_import(name, *rest, **kw)
        builtins.__import__ = hook
        try:
            write(args)
        except TypeError as e:
            message = str(e)
        finally:
            builtins.__import__ = real_import
        assert message == "argument 'sym_codepoints': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
        assert sym.dtype == np.uint8
    """,
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_registry_published_before_first_borrow(scenario):
    code = PRELUDE + textwrap.dedent(scenario) + "print('done')\n"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.endswith("done\n"), run.stderr
