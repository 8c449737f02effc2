# Which arrays write_atoms_rs accepts: exactly two dimensions of exactly the element type,
# any layout, never a conversion.
import warnings

import numpy as np
import pytest

import _atomkit
from conftest import symbols

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
