# Reading the comment line of an extended XYZ frame: the module's parser, which tokenizes it
# into key=value pairs and types the values.
"""Comment lines in.

`parse(line)` -> (Properties text or None, lattice or None, pbc or None, info), every value
typed by the module's parser.

Read forms: `key=value` with bare, "double-quoted" and 'single-quoted' values (backslash
escapes), bracketed `[1, 2, 3]` / `[[1, 2], [3, 4]]` and braced `{1 2 3}` arrays, keys
without a value (True), quoted keys. A line without any `=` is kept whole as `comment`.
"""
from __future__ import annotations

from typing import Any

import numpy as np

import _atomkit

_parse_native = _atomkit.parse_comment_rs


def parse(line: str) -> tuple[str | None, np.ndarray | None, tuple[bool, bool, bool] | None, dict[str, Any]]:
    """(Properties text, lattice, pbc, info) of a comment line; ValueError for a line that
    cannot be read. `Lattice`, `Properties` and `pbc` are found in any letter case. A line
    with lone surrogates has no UTF-8 to read (none comes from a file: comment lines are
    decoded strictly): UnicodeEncodeError, as encoding it raises."""
    parsed = _parse_native(line)
    if parsed is None:  # the module leaves only a line without UTF-8 (lone surrogates)
        at = next(k for k, char in enumerate(line) if "\ud800" <= char <= "\udfff")
        raise UnicodeEncodeError("utf-8", line, at, at + 1, "surrogates not allowed")
    return parsed[:4]
