# Which arrays write_atoms_rs accepts: exactly two dimensions of exactly the element type,
# any layout, never a conversion.
import warnings

import numpy as np
import pytest

import _atomkit
from helpers import symbols

pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # numpy.matrix
W = _atomkit.write_atoms_rs
GOOD = {
    "sym_codepoints": symbols("H"),
    "sym_width": 2,
    "float_mat": np.zeros((1, 1)),
    "int_mat": np.zeros((1, 1), dtype=np.int64),
    "bool_mat": np.zeros((1, 1), dtype=np.uint8),
    "col_types": b"sfib",
}
DTYPES = {"sym_codepoints": np.uint32, "float_mat": np.float64, "int_mat": np.int64, "bool_mat": np.uint8}
WRONG_DTYPES = {
    "sym_codepoints": [np.int32, np.uint64, np.uint16, ">u4", np.float32],
    "float_mat": [np.float32, ">f8", np.int64, np.complex128, np.longdouble],
    "int_mat": [np.int32, np.uint64, ">i8", np.float64],
    "bool_mat": [np.bool_, np.int8, np.uint16],
}


def refusals():
    for name, dtype in DTYPES.items():
        yield name, [[1]], "list"
        yield name, ((1,),), "tuple"
        yield name, 1, "int"
        yield name, np.zeros(1, dtype=dtype), "ndarray"
        yield name, np.zeros((1, 1, 1), dtype=dtype), "ndarray"
        yield name, np.zeros((), dtype=dtype), "ndarray"
        yield name, np.asmatrix(np.zeros((1, 1), dtype=np.complex64)), "matrix"
        yield name, memoryview(np.zeros((1, 1), dtype=dtype)), "memoryview"
        for wrong in WRONG_DTYPES[name]:
            yield name, np.zeros((1, 1), dtype=wrong), "ndarray"


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)  # numpy.matrix
    REFUSALS = list(refusals())


@pytest.mark.parametrize("name, value, type_name", REFUSALS)
def test_refused_arrays_name_their_argument(name, value, type_name):
    with pytest.raises(TypeError) as info:
        W(**{**GOOD, name: value})
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert W(**GOOD) == "H  " + "%16.8f" % 0.0 + " %8d" % 0 + "  F\n"


@pytest.mark.parametrize("name", DTYPES)
def test_equivalent_and_subclassed_arrays_are_accepted(name):
    dtype = np.dtype(DTYPES[name]).newbyteorder("=")
    value = np.zeros((1, 1), dtype=dtype.str).view(np.matrix) if name != "sym_codepoints" else GOOD[name].view(np.matrix)
    assert W(**{**GOOD, name: value}) == W(**GOOD)


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_empty_matrices_are_accepted(shape):
    empty = {"float_mat": np.zeros(shape), "int_mat": np.zeros(shape, np.int64), "bool_mat": np.zeros(shape, np.uint8)}
    assert W(**{**GOOD, **empty, "col_types": b"s"}) == "H \n"


class Hook:
    """An integer whose __index__ runs the caller's code in the middle of a call."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def retype(a, dtype):
    def action():
        a.dtype = dtype
    return action


def reshape(a, shape):
    def action():
        a.shape = shape
    return action


def numpy_lets_arrays_change_in_place():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            np.zeros(2).dtype = np.uint8
            np.zeros(2).shape = (2, 1)
    except (AttributeError, TypeError, ValueError):
        return False
    return True


@pytest.mark.skipif(not numpy_lets_arrays_change_in_place(), reason="this NumPy no longer lets dtype/shape be set")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("where", ["sym_width", "col_types"])
@pytest.mark.parametrize(
    "name, make_change",
    [("sym_codepoints", lambda a: retype(a, np.uint8)), ("float_mat", lambda a: retype(a, np.uint8)),
     ("int_mat", lambda a: reshape(a, (2,))), ("bool_mat", lambda a: reshape(a, (1, 1, 2)))],
)
def test_arrays_changed_by_python_code_during_the_call_are_refused(where, name, make_change):
    # The arrays are read only after every argument is converted, so an array made
    # narrower meanwhile is refused instead of being read past its end.
    arrays = {
        "sym_codepoints": np.array([[72, 0]], dtype=np.uint32),
        "float_mat": np.zeros((1, 2)),
        "int_mat": np.zeros((1, 2), dtype=np.int64),
        "bool_mat": np.zeros((1, 2), dtype=np.uint8),
    }
    hook = Hook(make_change(arrays[name]), 2 if where == "sym_width" else ord("s"))
    args = {**GOOD, **arrays, where: hook if where == "sym_width" else [hook, *b"ffiibb"]}
    with pytest.raises(TypeError) as info:
        W(**args)
    assert str(info.value).startswith(f"argument '{name}': 'ndarray' object cannot be converted")


def test_codes_beyond_the_columns_fail_as_out_of_bounds_however_many():
    with pytest.raises(BaseException) as info:
        W(**{**GOOD, "float_mat": np.zeros((1, 0)), "col_types": b"f" * 5_000_000})
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("ndarray: index out of bounds",)
