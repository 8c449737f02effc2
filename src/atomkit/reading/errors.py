# How the errors of a read reach the user: named by their file, and the warning a lenient read
# gives for each frame it leaves out.
"""The errors and warnings of reading."""
from __future__ import annotations

import os
from typing import Any


class SkippedFrameWarning(UserWarning):
    """A frame that a lenient read (errors="skip") left out: the message names the file,
    the frame's line and why it could not be read."""


def in_file(error: Exception, name: Any) -> None:
    """Puts the file's name in front of the error of a frame ("train.xyz: line 262: ..."), so
    that a read over many files says which one is bad. `name`: a path, or a file object's
    `name` (one without a str name is left out)."""
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if isinstance(name, str) and name and error.args and isinstance(error.args[0], str) \
            and error.args[0].startswith("line "):
        error.args = (f"{name}: {error.args[0]}", *error.args[1:])
