# The reader's result: the dict, its arrays over the parser's own buffers, and NumPy's
# C-API table that makes them.
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _atomkit

R = _atomkit.read_atom_lines_rs


def test_values_and_key_order():
    result = R(["Si 1.5 2 T", "O -0.5 -3 F"], [115, 102, 105, 98])
    assert list(result) == ["floats", "ints", "bools", "strs"]
    assert result["floats"].tolist() == [[1.5], [-0.5]]
    assert result["ints"].tolist() == [[2], [-3]]
    assert result["bools"].tolist() == [[1], [0]]
    assert result["strs"] == [["Si", "O"]]
    assert all(type(s) is str for s in result["strs"][0])


@pytest.mark.parametrize(
    "lines, col_types, shapes, strides, strs",
    [
        (["1 2 3", "4 5 6"], b"ffi", [(2, 2), (2, 1), (2, 0)], [(16, 8), (8, 8), (0, 0)], []),
        ([], b"fis", [(0, 1), (0, 1), (0, 0)], [(0, 0), (0, 0), (0, 0)], [[]]),
        (["a", "", "b c"], b"", [(3, 0), (3, 0), (3, 0)], [(0, 0), (0, 0), (0, 0)], []),
        (["T F x y"], b"bbss", [(1, 0), (1, 0), (1, 2)], [(0, 0), (0, 0), (2, 1)], [["x"], ["y"]]),
    ],
)
def test_shapes_dtypes_strides(lines, col_types, shapes, strides, strs):
    result = R(lines, col_types)
    arrays = [result["floats"], result["ints"], result["bools"]]
    assert [a.dtype for a in arrays] == [np.float64, np.int64, np.uint8]
    assert [a.shape for a in arrays] == shapes
    assert [a.strides for a in arrays] == strides
    assert result["strs"] == strs
    for a in arrays:
        assert type(a) is np.ndarray
        assert type(a.base).__name__ == "PySliceContainer"
        assert type(a.base).__module__ == "builtins"
        assert a.flags.writeable and a.flags.c_contiguous and not a.flags.owndata


def test_slice_container_cannot_be_constructed():
    container = type(R(["1"], b"f")["floats"].base)
    with pytest.raises(TypeError, match="^No constructor defined for PySliceContainer$"):
        container()
    assert not hasattr(_atomkit, "PySliceContainer")


def test_slice_container_type_cannot_be_given_a_constructor():
    # An empty container made by Python code would have nothing to free; in a subprocess,
    # because the failure this guards against is a crash.
    out = run_python("""
        import _atomkit
        C = type(_atomkit.read_atom_lines_rs(["1"], b"f")["floats"].base)
        for name, value in [("__new__", staticmethod(lambda cls: object.__new__(cls))), ("x", 1)]:
            try:
                setattr(C, name, value)
            except TypeError as e:
                print("refused:", name)
        try:
            c = C()
            del c
        except TypeError as e:
            print(e)
        print(C.__new__ is not None)
    """)
    assert out.splitlines() == ["refused: __new__", "refused: x",
                                "No constructor defined for PySliceContainer", "True"]


def test_arrays_own_separate_buffers_and_outlive_the_dict():
    result = R(["1.5 2 T", "2.5 3 F"], b"fib")
    tail = result["floats"][1:]
    ints = result["ints"]
    del result
    gc.collect()
    assert tail.tolist() == [[2.5]]
    ints[0, 0] = 99
    assert ints.tolist() == [[99], [3]] and tail.tolist() == [[2.5]]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_many_results_are_freed():
    # Every live container holds a reference to its type, so the type's count says how many
    # buffers are still owned; resident memory says the buffers themselves went back.
    lines = ["H 1.0 2.0 3.0 4 T"] * 20000
    container = type(R(["1"], b"f")["floats"].base)
    gc.collect()
    before, resident = sys.getrefcount(container), resident_bytes()
    kept = [R(lines, b"sfffib") for _ in range(3)]
    assert sys.getrefcount(container) == before + 9
    del kept
    for _ in range(200):  # 200 x 0.7 MB of arrays: a leak shows in resident memory
        R(lines, b"sfffib")
    assert sys.getrefcount(container) == before
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan's quarantine holds freed memory
        assert resident_bytes() - resident < 40 * 2**20


def run_python(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_failed_read_does_not_import_numpy():
    out = run_python("""
        import sys, _atomkit
        try:
            _atomkit.read_atom_lines_rs(["H 0.0", "O x"], b"sf")
        except ValueError as e:
            print(e)
        print("numpy" in sys.modules)
    """)
    assert out.splitlines() == ['row 1: cannot parse "x" as float: invalid float literal', "False"]


def test_numpy_missing_then_available():
    out = run_python("""
        import sys, _atomkit
        sys.modules["numpy"] = None  # as if NumPy were not installed
        try:
            _atomkit.read_atom_lines_rs(["1"], b"f")
        except BaseException as e:
            print(type(e).__name__, e)
        del sys.modules["numpy"]
        print(_atomkit.read_atom_lines_rs(["1"], b"f")["floats"].tolist())
    """)
    first, second = out.splitlines()
    assert first.startswith("PanicException Failed to access NumPy array API capsule: PyErr { type: <class 'ModuleNotFoundError'>")
    assert second == "[[1.0]]"


def test_array_api_that_is_not_a_capsule_is_refused_then_retried():
    out = run_python("""
        import numpy, _atomkit
        core = numpy._core if int(numpy.__version__.split(".")[0]) >= 2 else numpy.core
        saved = core.multiarray._ARRAY_API
        core.multiarray._ARRAY_API = 5
        try:
            _atomkit.read_atom_lines_rs(["1"], b"f")
        except BaseException as e:
            print(type(e).__name__, e)
        core.multiarray._ARRAY_API = saved
        print(_atomkit.read_atom_lines_rs(["1"], b"f")["floats"].tolist())
    """)
    first, second = out.splitlines()
    assert first == (
        "PanicException Failed to access NumPy array API capsule: PyErr { type: <class 'TypeError'>, "
        "value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), traceback: None }"
    )
    assert second == "[[1.0]]"


def test_string_columns_with_many_distinct_and_repeated_tokens():
    rng = np.random.default_rng(1)
    vocabulary = [f"X{k}" for k in range(500)] + ["Si", "O", "Fe", "\u00c5u", "a" * 40]
    tokens = [vocabulary[k] for k in rng.integers(0, len(vocabulary), 20000)]
    result = R([f"{t} {t[::-1]}" for t in tokens], b"ss")
    assert result["strs"] == [tokens, [t[::-1] for t in tokens]]


def test_string_tokens_that_differ_only_in_length_or_last_bytes():
    # Short tokens are recognised by a word of their length and bytes: tokens of 7 and 8
    # bytes, and a 7-byte token whose bytes spell another token's length and bytes.
    tokens = ["ABCDEFG", "\x07ABCDEFG", "ABCDEFGH", "A", "\x01A", "AB", "\x02AB", "", "Si", "Si\x00"]
    tokens = [t for t in tokens if t] * 3
    lines = [f"{t} 1" for t in tokens]
    assert R(lines, b"sf")["strs"] == [tokens]
    columns, _ = _atomkit.read_atom_block_rs("\n".join(lines).encode(), 0, len(lines), b"sf")
    assert columns["strs"] == [tokens]
