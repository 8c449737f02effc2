# `atomkit check`: every frame of every file read strictly, each bad one reported with its
# file, line and reason, then a summary.
"""The check command."""
from __future__ import annotations

import argparse

from atomkit._cli_common import BAD, SOUND, TROUBLE, Unreadable, report_unreadable, say
from atomkit._cli_progress import Progress
from atomkit._cli_source import Source
from atomkit._frame import Frame


def check(args: argparse.Namespace, progress: Progress) -> int:
    frames = atoms = bad = files = unread = 0
    status = SOUND
    stopped = False
    for path in args.files:
        try:
            with Source(path) as source:
                progress.follow(source.position)
                for item, _ in source.scanned():
                    frames += 1
                    progress.tick()
                    if type(item) is Frame:
                        atoms += item.natoms
                        continue
                    bad += 1
                    status = max(status, BAD)
                    progress.clear()
                    say(f"{path}: {item}")
                    if args.max_errors is not None and bad >= args.max_errors:
                        stopped = True
                        break
                files += 1
                progress.finish_file(source.size)
        except Unreadable as error:
            report_unreadable(error, progress)
            unread += 1
            status = TROUBLE
        if stopped:
            break
    progress.clear()
    summary = f"{files} file{'' if files == 1 else 's'}"
    if unread:
        summary += f" ({unread} more could not be read)"
    summary += f", {frames} frames, {atoms} atoms: "
    if bad:
        summary += f"{bad} bad frame{'' if bad == 1 else 's'}"
    else:  # a file not read may hold bad frames
        summary += "no bad frames" if unread else "all sound"
    if stopped:
        summary += f" (stopped at --max-errors {args.max_errors})"
    say(summary)
    return status
