# The characters and words the extended XYZ format gives a meaning to, for every Python
# module of the package: token separators, whitespace, the bool words, the comment's own keys,
# and the words of a Properties string that reading and writing share.
"""Separators, whitespace and words of the format."""
from __future__ import annotations

import re

# What ends a token of an atom line (the module's reader takes the same five). A vertical tab
# is not among them: it belongs to its token.
SEPARATORS = " \t\n\f\r"
SEPARATOR_BYTES = SEPARATORS.encode("ascii")
# ASCII whitespace as bytes.split() and bytes.strip() take it: the separators and the
# vertical tab. A line of only these is blank, and no written atom-line token holds one.
WHITESPACE = SEPARATORS + "\v"
WHITESPACE_BYTES = WHITESPACE.encode("ascii")
# The ASCII characters the comment-line tokenizer takes for whitespace (those of
# str.isspace, as `\s` has them): the whitespace and the four information separators.
COMMENT_SPACE = WHITESPACE + "\x1c\x1d\x1e\x1f"
COMMENT_SPACE_BYTES = COMMENT_SPACE.encode("ascii")

# The words a bool is written as, and what each one reads as.
BOOL_WORDS: dict[str, bool] = {"T": True, "True": True, "TRUE": True, "true": True,
                               "F": False, "False": False, "FALSE": False, "false": False}

# Comment-line keys of the frame's own fields, found in any letter case.
RESERVED_KEYS = frozenset(("lattice", "properties", "pbc"))
# Keys whose 9 values are a 3x3 matrix.
MATRIX_KEYS = frozenset(("stress", "virial"))

# The Properties string: the column that holds the symbols, each kind letter's column code in
# the module's `col_types`, what a column's name may be, and what a line without Properties
# holds (as the module's reader takes it).
SPECIES = "species"
PLAIN_XYZ = "species:S:1:pos:R:3"
KIND_CODES = {"S": "s", "R": "f", "I": "i", "L": "b"}
COLUMN_NAME = re.compile(r"[^\s:=\"'\\\[\]{}]+\Z")
