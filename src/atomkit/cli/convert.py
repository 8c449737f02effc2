# `atomkit convert`: a file rewritten in the layout atomkit writes (or as plain XYZ), optionally
# only some of its frames, columns and keys; a named output appears only once it is complete.
"""The convert command."""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from atomkit.base import compression
from atomkit.base.frame import Frame
from atomkit.cli.common import BAD, STDIN, TROUBLE, Unreadable, label, reason, say
from atomkit.cli.progress import Progress
from atomkit.cli.source import Source, opener_of
from atomkit.writing.api import write


class _Refused(Exception):
    """A request the data cannot meet (a column a frame does not have)."""


def _keep(frames: Iterable[Frame], names: list[str] | None, progress: Progress) -> Iterator[Frame]:
    """`frames`, counted; a frame without one of the columns `names` is refused here, as a
    request the file cannot meet rather than a bad frame (write() leaves out the others)."""
    for number, frame in enumerate(frames):
        progress.tick()
        missing = [name for name in names or ()
                   if (frame.symbols is None if name == "species" else name not in frame.arrays)]
        if missing:
            have = (["species"] if frame.symbols is not None else []) + list(frame.arrays)
            raise _Refused(f"frame {number} of those selected has no column {missing[0]!r} "
                           f"(it has {', '.join(have) or 'none'})")
        yield frame


def _refused_output(out: str) -> str:
    """Why OUT cannot be written at all, said before anything is read; "" when it can be."""
    if out == STDIN:
        return ""
    if os.path.isdir(out):
        return f"{out}: is a directory"
    try:
        compression.opener(out, writing=True)
    except ValueError as error:  # a compressed form that no compressor here writes
        return str(error)
    return ""


class _Stdout:
    """Standard output as the file a compressor writes into. After cut() it takes what
    follows to nowhere, so that a run that fails leaves a compressed stream without its end
    marker (its reader sees it is cut short) and a closed pipe is not written again."""

    def __init__(self) -> None:
        self.raw, self.open = sys.stdout.buffer, True

    def write(self, data: Any) -> int:
        return self.raw.write(data) if self.open else len(data)

    def flush(self) -> None:
        if self.open:
            self.raw.flush()

    def cut(self) -> None:
        self.open = False


@contextlib.contextmanager
def _destination(out: str, form: str | None) -> Iterator[Any]:
    """What write() is given: the path OUT, or for `-` standard output, compressed as `form`
    says and flushed at the end."""
    if out != STDIN:
        yield out
        return
    sys.stdout.flush()
    stdout = _Stdout()
    opener = opener_of(form)
    stream = stdout if opener is open else opener(stdout, "wb")
    try:
        yield stream
    except BaseException:
        stdout.cut()
        raise
    finally:
        if stream is not stdout:
            stream.close()
        stdout.flush()


def convert(args: argparse.Namespace, progress: Progress) -> int:
    out = args.output
    refused = _refused_output(out)
    if refused:
        say(f"atomkit: {refused}", sys.stderr)
        return TROUBLE
    failed: tuple[int, str] | None = None
    try:
        with Source(args.input, args.input_format) as source, _destination(out, args.output_format) as dest:
            progress.follow(source.position)
            frames = source.selected(args.frames)
            # write() replaces a named OUT only once every frame is in (OUT may be the input
            # itself), keeps its permissions, writes through a symbolic link and, on any
            # exception, removes what it began.
            write(dest, _keep(frames, args.columns, progress), columns=args.columns, info=not args.no_info,
                  plain=args.plain)
    except Unreadable as error:
        failed = TROUBLE, str(error)
    except ValueError as error:  # a frame that cannot be read (or written)
        # A frame's error names the file already where the stream has a name.
        text = str(error)
        failed = BAD, text if text.startswith(f"{label(args.input)}: ") else f"{label(args.input)}: {text}"
    except (IndexError, _Refused) as error:
        failed = TROUBLE, f"{label(args.input)}: {error}"
    except BrokenPipeError:  # the reader of standard output went away: the run ends quietly
        raise
    except Exception as error:  # writing OUT: no room, no permission, or the unforeseen
        failed = TROUBLE, f"{'<stdout>' if out == STDIN else out}: {reason(error)}"
    finally:
        progress.clear()
    if failed is not None:
        progress.earn(failed[0])
        say(f"atomkit: {failed[1]}", sys.stderr)
    return progress.status
