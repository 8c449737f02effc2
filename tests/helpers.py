# Helpers shared by the test modules: symbol matrices as callers build them, empty matrices,
# a short form of write_atoms_rs, and PanicException capture.
import os

import numpy as np
import pytest

import _atomkit


def symbols(*names, width=None):
    """Code-point matrix of the given symbols, as callers build it."""
    return np.asarray(names, dtype="U" if width is None else f"U{width}").view(np.uint32).reshape(len(names), -1)


def empty_matrices(natoms=1):
    return (
        np.zeros((natoms, 0), dtype=np.float64),
        np.zeros((natoms, 0), dtype=np.int64),
        np.zeros((natoms, 0), dtype=np.uint8),
    )


def write(sym, sym_width, floats=None, ints=None, bools=None, col_types=b""):
    natoms = sym.shape[0]
    f, i, b = empty_matrices(natoms)
    return _atomkit.write_atoms_rs(
        sym, sym_width,
        f if floats is None else floats,
        i if ints is None else ints,
        b if bools is None else bools,
        col_types,
    )


def capture_panic(call, *args, **kwargs):
    """Runs a call that must end in PanicException and returns the exception."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return info.value


class Index:
    """An object with __index__ that returns its value, or raises it if it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def examples(n):
    """How many examples a property test draws: `n`, or a fifth of it in the quick inner
    loop (make check sets ATOMKIT_QUICK); CI always draws all of them."""
    return max(10, n // 5) if os.environ.get("ATOMKIT_QUICK") else n


def race_seconds(seconds):
    """How long a race or thread test runs: `seconds`, or a quarter of it in the quick loop."""
    return seconds / 4 if os.environ.get("ATOMKIT_QUICK") else seconds
