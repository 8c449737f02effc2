# The file a FrameIndex reads: opened as a regular file without waiting, and a frame's count
# line compared with the atom count the index holds.
"""Plain-file access for atomkit.FrameIndex."""
from __future__ import annotations

import os
import stat

# Opened without waiting: a FIFO (or a device) opens at once, to be refused, instead of
# blocking until some writer appears.
OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK


def open_regular(path: str) -> tuple[int, tuple[int, int]]:
    """A descriptor of the regular file at `path` and its (size, mtime in ns); ValueError for
    anything else."""
    fd = os.open(path, OPEN_FLAGS)
    info = os.fstat(fd)
    if stat.S_ISREG(info.st_mode):
        return fd, (info.st_size, info.st_mtime_ns)
    os.close(fd)
    raise ValueError(f"{path} is not a regular file: a FrameIndex needs random access")


def count_end(data: bytes, natoms: int) -> int:
    """Where the count line that starts `data` ends, or -1 unless it counts `natoms` atoms."""
    head = b"%d\n" % natoms
    if data.startswith(head):  # as written; any other form of the same count is parsed
        return len(head) - 1
    end = data.find(b"\n")
    try:
        return end if end >= 0 and int(data[:end]) == natoms else -1
    except ValueError:
        return -1
