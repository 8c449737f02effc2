# The one door between the package and the atom-line reader of one frame: the function a
# frame read alone calls, which a benchmark or a test may replace.
"""Atom blocks out of bytes.

A frame read alone has its atom lines read through `read_block` (the module's
read_atom_block_rs, straight from the bytes), looked up on this module at each call: a
benchmark or a test may put another function of the same signature in its place. (Runs of
frames are read by read_table_rs, in reading.bulk.)
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import _atomkit

ReadBlock = Callable[[Any, int, int, bytes], tuple[dict, int]]

MODULE_READ_BLOCK: ReadBlock = _atomkit.read_atom_block_rs

# What the reader calls; looked up on this module at each call.
read_block: ReadBlock = MODULE_READ_BLOCK
