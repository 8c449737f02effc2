# `atomkit convert`: a file rewritten in the layout atomkit writes, optionally only some of
# its frames and columns; the output appears only once it is complete.
"""The convert command."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Iterator

from atomkit import _compression
from atomkit._cli_common import BAD, SOUND, TROUBLE, Unreadable, reason, say
from atomkit._cli_progress import Progress
from atomkit._cli_source import Source
from atomkit._frame import Frame
from atomkit._writer import write


class _Refused(Exception):
    """A request the data cannot meet (a column a frame does not have)."""


def _keep(frames: Iterable[Frame], names: list[str] | None, progress: Progress) -> Iterator[Frame]:
    for number, frame in enumerate(frames):
        progress.tick()
        if names is None:
            yield frame
            continue
        missing = [name for name in names
                   if (frame.symbols is None if name == "species" else name not in frame.arrays)]
        if missing:
            have = (["species"] if frame.symbols is not None else []) + list(frame.arrays)
            raise _Refused(f"frame {number} of those selected has no column {missing[0]!r} "
                           f"(it has {', '.join(have) or 'none'})")
        arrays = {name: frame.arrays[name] for name in names if name != "species"}
        yield Frame(frame.symbols if "species" in names else None, arrays, frame.lattice, frame.pbc, frame.info)


def _refused_output(out: str) -> str:
    """Why OUT cannot be written at all, said before anything is read; "" when it can be."""
    if os.path.isdir(out):
        return f"{out}: is a directory"
    try:
        _compression.opener(out, writing=True)
    except ValueError as error:  # a compressed form that no compressor here writes
        return str(error)
    return ""


def convert(args: argparse.Namespace, progress: Progress) -> int:
    out = args.output
    refused = _refused_output(out)
    if refused:
        say(f"atomkit: {refused}", sys.stderr)
        return TROUBLE
    status, message = TROUBLE, ""
    try:
        with Source(args.input) as source:
            progress.follow(source.position)
            frames = source.selected(args.frames)
            # write() replaces OUT only once every frame is in (OUT may be the input itself),
            # keeps its permissions, writes through a symbolic link and, on any exception,
            # removes what it began.
            write(out, _keep(frames, args.properties, progress))
        status = SOUND
    except Unreadable as error:
        message = str(error)
    except ValueError as error:  # a frame that cannot be read (or written)
        status, message = BAD, f"{args.input}: {error}"
    except (IndexError, _Refused) as error:
        message = f"{args.input}: {error}"
    except Exception as error:  # writing OUT: no room, no permission, or the unforeseen
        message = f"{out}: {reason(error)}"
    finally:
        progress.clear()
    if message:
        say(f"atomkit: {message}", sys.stderr)
    return status
