# `atomkit check`: every frame of every file read strictly, each bad one reported with its
# file, line and reason, then a summary.
"""The check command."""
from __future__ import annotations

import argparse

from atomkit.base.frame import Frame
from atomkit.cli.common import BAD, TROUBLE, Unreadable, say
from atomkit.cli.progress import Progress, report_unreadable
from atomkit.cli.source import Source


def _counted(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _summary(files: int, frames: int, atoms: int, bad: int, unopened: int, unread: int,
             stopped: int | None) -> str:
    summary = f"{_counted(files, 'file')}, {frames} frames, {atoms} atoms: "
    if bad:
        summary += _counted(bad, "bad frame")
    else:  # a file not read may hold bad frames
        summary += "no bad frames" if unopened or unread else "all sound"
    if stopped is not None:
        summary += f" (stopped at --max-errors {stopped})"
    failures = []
    if unopened:
        failures.append(f"{_counted(unopened, 'file')} could not be opened")
    if unread:
        failures.append(f"{_counted(unread, 'file') if not unopened else unread} could not be read")
    return "; ".join([summary, ", ".join(failures)]) if failures else summary


def check(args: argparse.Namespace, progress: Progress) -> int:
    frames = atoms = bad = files = unopened = unread = 0
    stopped = False
    for path in args.files:
        try:
            with Source(path, args.input_format) as source:
                progress.follow(source.position)
                for item, _ in source.scanned():
                    frames += 1
                    progress.tick()
                    if type(item) is Frame:
                        atoms += item.natoms
                        continue
                    bad += 1
                    progress.earn(BAD)
                    progress.clear()
                    say(f"{source.path}: {item}")
                    if args.max_errors is not None and bad >= args.max_errors:
                        stopped = True
                        break
                files += 1
                progress.finish_file(source.size)
        except Unreadable as error:
            report_unreadable(error, progress)
            unopened += error.opening
            unread += not error.opening
            progress.earn(TROUBLE)
        if stopped:
            break
    progress.clear()
    say(_summary(files, frames, atoms, bad, unopened, unread, args.max_errors if stopped else None))
    return progress.status
