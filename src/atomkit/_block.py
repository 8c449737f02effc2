# The one door between the package and the per-atom work of one frame: the atom-block reader
# and writer the package calls.
"""Atom blocks in and out of bytes.

A frame read alone has its atom lines read through `read_block` (the module's
read_atom_block_rs, straight from the bytes), and every frame is written through
`write_block` (its write_atoms_bytes_rs, the block as UTF-8 bytes), both looked up on this
module at each call: a benchmark or a test may put other functions of the same signatures in
their place. (Runs of frames are read by read_table_rs, in _run_read.)
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

import _atomkit


ReadBlock = Callable[[Any, int, int, bytes], tuple[dict, int]]
WriteBlock = Callable[[np.ndarray, int, np.ndarray, np.ndarray, np.ndarray, bytes], bytes]

MODULE_READ_BLOCK: ReadBlock = _atomkit.read_atom_block_rs
MODULE_WRITE_BLOCK: WriteBlock = _atomkit.write_atoms_bytes_rs

# What the reader and writer call; looked up on this module at each call.
read_block: ReadBlock = MODULE_READ_BLOCK
write_block: WriteBlock = MODULE_WRITE_BLOCK
