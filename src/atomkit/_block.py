# The one door between the package and the per-atom work: the atom-block reader and writer
# the package calls, and finding where a run of lines ends in bytes.
"""Atom blocks in and out of bytes.

Everything in the package reads atom lines through `read_block` (the module's
read_atom_block_rs, straight from the bytes) and writes them through `write_block` (its
write_atoms_bytes_rs, the block as UTF-8 bytes), both looked up on this module at each call:
a benchmark or a test may put other functions of the same signatures in their place. `LineSkipper` finds where a run of
lines ends without parsing it.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

import _atomkit


def _count_newlines(data: Any, start: int, end: int) -> int:
    count = getattr(data, "count", None)  # bytes and bytearray; an mmap has no count()
    if count is not None:
        return count(b"\n", start, end)
    return int(np.count_nonzero(np.frombuffer(data, dtype=np.uint8, count=end - start, offset=start) == 10))


class LineSkipper:
    """Passes over runs of lines of one source, guessing where a long run ends from the
    lines passed over before (a walk over a file keeps one; the guess is its own)."""

    __slots__ = ("bytes_per_line",)

    def __init__(self) -> None:
        # Bytes per line of the last long run of lines walked: where the next run is guessed to end.
        self.bytes_per_line = 80

    def skip(self, data: Any, offset: int, count: int) -> int:
        """The offset just past `count` lines of `data` starting at `offset`. A line ends in
        a line feed; the last one may instead end at the end of the data. ValueError when the
        data holds fewer lines."""
        size = len(data)
        if not 0 <= offset <= size:
            raise ValueError(f"offset {offset} is outside the data ({size} bytes)")
        find, rfind = data.find, data.rfind
        pos, left = offset, count
        bytes_per_line = self.bytes_per_line
        # Long runs: count the line feeds up to where the run should end at the usual line
        # length, then step back or go on from there.
        while left > 16:
            guess = min(size, pos + left * bytes_per_line)
            found = _count_newlines(data, pos, guess)
            if found >= left:
                if found - left > 16:  # lines much shorter than guessed: guess again
                    bytes_per_line = max(1, (guess - pos) // found)
                    continue
                end = guess
                for _ in range(found - left + 1):
                    end = rfind(b"\n", pos, end)
                self.bytes_per_line = max(1, -(-(end + 1 - offset) // count))
                return end + 1
            if found:
                start = pos
                pos = rfind(b"\n", pos, guess) + 1
                left -= found
                bytes_per_line = -(-(pos - start) // found) + 1
            elif guess < size:
                bytes_per_line *= 2  # not one line feed: lines much longer than guessed
            if guess >= size:
                break
        self.bytes_per_line = bytes_per_line
        for done in range(left):
            newline = find(b"\n", pos)
            if newline < 0:
                if done == left - 1 and pos < size:
                    return size
                raise ValueError(f"the data ends after {count - left + done} of {count} lines")
            pos = newline + 1
        return pos


def skip_lines(data: Any, offset: int, count: int) -> int:
    """`LineSkipper.skip` with a guess of its own, for a run looked at once."""
    return LineSkipper().skip(data, offset, count)


ReadBlock = Callable[[Any, int, int, bytes], tuple[dict, int]]
WriteBlock = Callable[[np.ndarray, int, np.ndarray, np.ndarray, np.ndarray, bytes], bytes]

MODULE_READ_BLOCK: ReadBlock = _atomkit.read_atom_block_rs
MODULE_WRITE_BLOCK: WriteBlock = _atomkit.write_atoms_bytes_rs

# What the reader and writer call; looked up on this module at each call.
read_block: ReadBlock = MODULE_READ_BLOCK
write_block: WriteBlock = MODULE_WRITE_BLOCK
