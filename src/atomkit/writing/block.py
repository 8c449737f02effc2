# The one door between the package and the atom-line writer of one frame: the function every
# frame is written through, which a benchmark or a test may replace.
"""Atom blocks into bytes.

Every frame is written through `write_block` (the module's write_atoms_bytes_rs, the block as
UTF-8 bytes), looked up on this module at each call: a benchmark or a test may put another
function of the same signature in its place.
"""
from __future__ import annotations

from collections.abc import Callable

import numpy as np

import _atomkit

WriteBlock = Callable[[np.ndarray, int, np.ndarray, np.ndarray, np.ndarray, bytes], bytes]

MODULE_WRITE_BLOCK: WriteBlock = _atomkit.write_atoms_bytes_rs

# What the writer calls; looked up on this module at each call.
write_block: WriteBlock = MODULE_WRITE_BLOCK
