# The one door between the package and the per-atom work: the atom-block reader and writer
# in use (the module's, or the plain Python loops for comparison) and line splitting over bytes.
"""Atom blocks in and out of bytes.

Everything in the package reads atom lines through `read_block` (the module's
read_atom_block_rs, straight from the bytes) and writes them through `write_block`;
`python_loops()` swaps both for the plain Python loops of `atomkit._loops` (for benchmarks
and tests). `skip_lines` finds where a run of lines ends without parsing it.
"""
from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

import _atomkit

# Bytes per line of the last long run of lines walked: where the next run is guessed to end.
_bytes_per_line = 80


def _count_newlines(data: Any, start: int, end: int) -> int:
    count = getattr(data, "count", None)  # bytes and bytearray; an mmap has no count()
    if count is not None:
        return count(b"\n", start, end)
    return int(np.count_nonzero(np.frombuffer(data, dtype=np.uint8, count=end - start, offset=start) == 10))


def skip_lines(data: Any, offset: int, count: int) -> int:
    """The offset just past `count` lines of `data` starting at `offset`. A line ends in a
    line feed; the last one may instead end at the end of the data. ValueError when the data
    holds fewer lines."""
    global _bytes_per_line
    size = len(data)
    if not 0 <= offset <= size:
        raise ValueError(f"offset {offset} is outside the data ({size} bytes)")
    find, rfind = data.find, data.rfind
    pos, left = offset, count
    # Long runs: count the line feeds up to where the run should end at the usual line
    # length, then step back or go on from there.
    while left > 16:
        guess = min(size, pos + left * _bytes_per_line)
        found = _count_newlines(data, pos, guess)
        if found >= left:
            if found - left > 16:  # lines much shorter than guessed: guess again
                _bytes_per_line = max(1, (guess - pos) // found)
                continue
            end = guess
            for _ in range(found - left + 1):
                end = rfind(b"\n", pos, end)
            _bytes_per_line = max(1, -(-(end + 1 - offset) // count))
            return end + 1
        if found:
            start = pos
            pos = rfind(b"\n", pos, guess) + 1
            left -= found
            _bytes_per_line = -(-(pos - start) // found) + 1
        elif guess < size:
            _bytes_per_line *= 2  # not one line feed: lines much longer than guessed
        if guess >= size:
            break
    for done in range(left):
        newline = find(b"\n", pos)
        if newline < 0:
            if done == left - 1 and pos < size:
                return size
            raise ValueError(f"the data ends after {count - left + done} of {count} lines")
        pos = newline + 1
    return pos


def split_lines(data: Any, offset: int, count: int) -> tuple[list[str], int]:
    """The `count` lines of `data` from `offset` as str (line feeds dropped) and the offset
    past them: what the Python loops parse in place of the module's block reader."""
    end = skip_lines(data, offset, count)
    lines = str(data[offset:end], "utf-8").split("\n")
    del lines[count:]  # the empty piece after the last line feed
    return lines, end


ReadBlock = Callable[[Any, int, int, bytes], tuple[dict, int]]
WriteBlock = Callable[[np.ndarray, int, np.ndarray, np.ndarray, np.ndarray, bytes], str]

MODULE_READ_BLOCK: ReadBlock = _atomkit.read_atom_block_rs
MODULE_WRITE_BLOCK: WriteBlock = _atomkit.write_atoms_rs

# What the reader and writer call; looked up on this module at each call so that
# python_loops() reaches them.
read_block: ReadBlock = MODULE_READ_BLOCK
write_block: WriteBlock = MODULE_WRITE_BLOCK


@contextlib.contextmanager
def python_loops() -> Iterator[None]:
    """Within the block, the package reads and writes atom lines with the plain Python loops
    instead of the module (process-wide: not for use while other threads read or write)."""
    from atomkit import _loops

    global read_block, write_block
    saved = read_block, write_block
    read_block, write_block = _loops.read_atom_block_loop, _loops.write_atoms_loop
    try:
        yield
    finally:
        read_block, write_block = saved
