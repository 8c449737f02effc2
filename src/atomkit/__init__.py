# The atomkit package: extended XYZ files read and written whole, with the compiled
# _atomkit module doing the per-atom lines. Only the public names live here.
"""Extended XYZ ("extxyz") files in and out of NumPy.

    import atomkit

    frames = atomkit.read("trajectory.xyz.gz", ":")     # every frame, as a list
    last = atomkit.read("trajectory.xyz")               # the last frame
    for frame in atomkit.iread("big.xyz", "::10"):      # streamed, every tenth frame
        frame.symbols, frame.arrays["pos"], frame.lattice, frame.pbc, frame.info
    atomkit.write("out.xyz", frames)

A Frame holds `symbols` (str array or None), `arrays` (per-atom columns by name),
`lattice` ((3, 3) or None), `pbc` (three bools) and `info` (the other comment-line values).

Frames of many atoms are read and written on several threads: `set_threads(n)` sets how many
(1 turns that off), `get_threads()` says; the default is ATOMKIT_NUM_THREADS, or else the CPUs
this process may run on.
"""
import importlib as _importlib
import typing as _typing

# The public names are imported on first use: `import atomkit` stays cheap, so that the
# command can take Ctrl-C as one line even while NumPy and the module are still loading.
_HOMES = {
    "Frame": "atomkit.base.frame", "FrameIndex": "atomkit.index.index", "FrameTable": "atomkit.table.table",
    "SkippedFrameWarning": "atomkit.reading.errors", "iread": "atomkit.reading.api", "read": "atomkit.reading.api",
    "read_table": "atomkit.reading.api", "write": "atomkit.writing.api",
    "get_threads": "_atomkit", "set_threads": "_atomkit",
}

__all__ = ["Frame", "FrameIndex", "FrameTable", "SkippedFrameWarning", "get_threads", "iread", "read", "read_table",
           "set_threads", "write"]


def __getattr__(name: str) -> object:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'atomkit' has no attribute {name!r}")
    value = getattr(_importlib.import_module(home), name)
    globals()[name] = value  # the same object every time: later lookups skip this function
    return value


def __dir__() -> list[str]:
    # The public names only: not the subpackages, nor what this module uses to find them.
    return sorted(__all__)


if _typing.TYPE_CHECKING:
    from _atomkit import get_threads, set_threads
    from atomkit.base.frame import Frame
    from atomkit.index.index import FrameIndex
    from atomkit.reading.api import iread, read, read_table
    from atomkit.reading.errors import SkippedFrameWarning
    from atomkit.table.table import FrameTable
    from atomkit.writing.api import write
