# The progress of a run of the `atomkit` command: the exit status earned so far, and the line
# of bytes read of the total and frames per second, on standard error when it is a terminal
# (taken off before a message about a file that cannot be read).
"""Progress of the atomkit command."""
from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable

from atomkit.cli.common import SOUND, STDIN, Unreadable, say

# The progress line appears only for work that has gone on this long (seconds), and is
# redrawn at most this often.
DELAY = 1.0
REDRAW = 0.1


def _size(count: float) -> str:
    if count < 1024:
        return f"{count:.0f} B"
    for unit in ("KiB", "MiB"):
        count /= 1024
        if count < 1024:
            return f"{count:.1f} {unit}"
    return f"{count / 1024:.1f} GiB"


def total_size(paths: list[str]) -> int:
    """The bytes of the files at `paths` together, those that cannot be looked at left out;
    0 (unknown) when one is standard input."""
    if STDIN in paths:
        return 0
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass  # reported when the file's turn comes
    return total


class Progress:
    """Bytes read of the total and frames per second, as one line on standard error that
    each update overwrites after a carriage return. Drawn only when enabled (a terminal,
    no --quiet) and once the work has taken more than DELAY seconds."""

    def __init__(self, total: int, enabled: bool):
        self.total, self.enabled = total, enabled
        self.stream = sys.stderr
        self.start = time.monotonic()
        self.due = self.start + DELAY
        self.frames = 0
        self.done = 0  # bytes of the files finished
        self.position: Callable[[], int] = lambda: 0
        self.drawn = 0  # length of the line on screen
        # The exit status the work so far has earned: what a run cut short (its output
        # closed by the reader) ends with.
        self.status = SOUND

    def earn(self, status: int) -> None:
        self.status = max(self.status, status)

    def follow(self, position: Callable[[], int]) -> None:
        """Bytes read are now `done` plus what `position()` says of the current file."""
        self.position = position

    def finish_file(self, size: int) -> None:
        self.done += size
        self.position = lambda: 0

    def tick(self) -> None:
        """One more frame read."""
        self.frames += 1
        if self.enabled:
            now = time.monotonic()
            if now >= self.due:
                self.due = now + REDRAW
                self._draw(now)

    def _draw(self, now: float) -> None:
        read = self.done + self.position()
        rate = self.frames / max(now - self.start, 1e-9)
        if self.total > 0:
            share = min(read / self.total, 1.0)
            filled = int(share * 20)
            line = (f"[{'#' * filled}{'.' * (20 - filled)}] {_size(read)} of {_size(self.total)}"
                    f" ({share:.0%})  {self.frames} frames, {rate:.0f} frames/s")
        else:
            line = f"{_size(read)} read  {self.frames} frames, {rate:.0f} frames/s"
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError, AttributeError):
            width = 0
        line = line[:(width or 80) - 1]
        text = "\r" + line.ljust(self.drawn)
        # What clear() must wipe, should Ctrl-C cut the drawing short.
        self.drawn = max(self.drawn, len(line))
        self.stream.write(text)
        self.stream.flush()
        self.drawn = len(line)

    def clear(self) -> None:
        """Takes the line off the screen (before other output, and at the end)."""
        if self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0


def report_unreadable(error: Unreadable, progress: Progress) -> None:
    """The one-line message of a file that cannot be read, the progress line taken off first."""
    progress.clear()
    say(f"atomkit: {error}", sys.stderr)
