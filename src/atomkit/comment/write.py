# Writing the comment line of an extended XYZ frame: Lattice, pbc and info values formatted
# so that reading them gives the same thing.
"""Comment lines out: `lattice_text`, `pbc_text`, `item_text` and `value_text`."""
from __future__ import annotations

import re
from typing import Any

import numpy as np

import _atomkit
from atomkit.base.memo import Memo
from atomkit.base.text import MATRIX_KEYS, RESERVED_KEYS

_BARE_OK = re.compile(r"[^\s\"'=\\\[{][^\s\"'=\\]*\Z")
_KEY_OK = re.compile(r"[^\s\"'=\\]+\Z")
# What repeats from frame to frame: an info key as written with its `=` (and whether it
# names a matrix), the pbc text of a tuple of flags.
_prefixes: Memo[str, tuple[str, bool]] = Memo(256)
_pbc_texts: Memo[tuple[bool, bool, bool], str] = Memo(256)


def _quote(text: str) -> str:
    return '"' + (text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "\\r")) + '"'


def _str_text(text: str) -> str:
    return text if _BARE_OK.match(text) else _quote(text)


_F8 = np.dtype(np.float64)
_format_floats = _atomkit.format_floats_rs


def _floats_text(array: np.ndarray, separator: str) -> str:
    """repr() of every item of a float array as float64 (row by row), between separators."""
    if array.dtype is not _F8:
        array = array.astype(np.float64)
    return _format_floats(array if array.ndim == 2 else array.reshape(1, -1), separator)


def _joined(array: np.ndarray, separator: str) -> str:
    """The items of a 1-D array as written, between separators."""
    kind = array.dtype.kind
    if kind == "f":
        return _floats_text(array, separator)
    if kind in "fiu":
        text = str(array.tolist())[1:-1]  # repr of each item, joined by ", " in one call
        return text.replace(",", "") if separator == " " else text
    if kind == "b":
        return separator.join(["T" if flag else "F" for flag in array.tolist()])
    if kind == "U":
        return separator.join([_quote(s) for s in array.tolist()])
    raise TypeError(f"cannot write an info array of dtype {array.dtype}")


def _array_text(array: np.ndarray, matrix_key: bool) -> str:
    if array.ndim == 0:
        return value_text(array.item(), matrix_key)
    if array.ndim == 1:
        if len(array) > 1 and array.dtype.kind != "U":
            return '"' + _joined(array, " ") + '"'
        return "[" + _joined(array, ", ") + "]"
    if array.ndim == 2:
        if matrix_key and array.shape == (3, 3) and array.dtype.kind in "iuf":
            return '"' + _joined(array.reshape(9), " ") + '"'
        return "[" + ", ".join("[" + _joined(row, ", ") + "]" for row in array) + "]"
    raise ValueError(f"cannot write an info array of {array.ndim} dimensions")


def value_text(value: Any, matrix_key: bool = False) -> str:
    """An info value as written after `key=`: reading it back gives an equal value."""
    kind = type(value)
    if kind is float:
        return repr(value)
    if kind is bool:
        return "T" if value else "F"
    if kind is int:
        return str(value)
    if kind is str:
        return _str_text(value)
    if kind is np.ndarray:
        return _array_text(value, matrix_key)
    if isinstance(value, np.floating):  # longdouble's item() is itself, not a float
        return value_text(float(value), matrix_key)
    if isinstance(value, np.generic):
        return value_text(value.item(), matrix_key)
    if isinstance(value, (list, tuple)):
        return _array_text(np.asarray(value), matrix_key)
    if isinstance(value, (bool, int, float, str)):  # subclasses, e.g. IntEnum
        return value_text((bool if isinstance(value, bool) else int if isinstance(value, int)
                           else float if isinstance(value, float) else str)(value), matrix_key)
    raise TypeError(f"cannot write an info value of type {kind.__name__}")


def item_text(key: str, value: Any) -> str:
    """`key=value` for one info item."""
    cached = _prefixes.get(key)
    if cached is None:
        if type(key) is not str or not key:
            raise ValueError(f"info key {key!r} is not a non-empty str")
        if key.lower() in RESERVED_KEYS:
            raise ValueError(f"info key {key!r} is written from the frame's own fields")
        if "\n" in key or "\r" in key:
            raise ValueError(f"info key {key!r} holds a line break")
        prefix = (key if _KEY_OK.match(key) else _quote(key)) + "="
        cached = _prefixes.put(key, (prefix, key.lower() in MATRIX_KEYS))
    prefix, matrix_key = cached
    if type(value) is float:
        return prefix + repr(value)
    if type(value) is np.ndarray:
        if matrix_key and value.dtype is _F8 and value.shape == (3, 3):  # stress, virial
            return prefix + '"' + _format_floats(value, " ") + '"'
        return prefix + _array_text(value, matrix_key)
    return prefix + value_text(value, matrix_key)


def lattice_text(lattice: np.ndarray) -> str:
    """`Lattice="..."` for a (3, 3) float64 array, row by row."""
    return 'Lattice="' + _floats_text(lattice, " ") + '"'


def pbc_text(pbc: Any) -> str:
    """`pbc="T T F"` for three truth values."""
    try:
        text = _pbc_texts.get(pbc)
    except TypeError:  # unhashable: an array, a list of them
        text = None
    if text is not None:
        return text
    flags = [bool(flag) for flag in np.asarray(pbc).reshape(-1).tolist()]
    if len(flags) != 3:
        raise ValueError(f"pbc needs three truth values, got {pbc!r}")
    text = 'pbc="' + " ".join("T" if flag else "F" for flag in flags) + '"'
    if type(pbc) is tuple:
        _pbc_texts.put(pbc, text)
    return text
