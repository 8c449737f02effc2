# The compressed forms a file may be kept in, known by name suffix and first bytes: the one
# table that reading, writing, the command and the frame index go by.
"""Compression: gzip, bzip2 and xz through the standard library by suffix; zstd refused."""
from __future__ import annotations

import bz2
import gzip
import lzma
import os
import zlib
from typing import Any, Callable

# (name, suffix, first bytes, opener); no opener for a form that the standard library of
# Python 3.12 cannot read or write.
_FORMS: tuple[tuple[str, str, bytes, Callable[..., Any] | None], ...] = (
    ("gzip", ".gz", b"\x1f\x8b", gzip.open),
    ("bzip2", ".bz2", b"BZh", bz2.open),
    ("xz", ".xz", b"\xfd7zXZ\x00", lzma.open),
    ("zstd", ".zst", b"\x28\xb5\x2f\xfd", None),
)
_BY_SUFFIX = {suffix: (name, opener) for name, suffix, _, opener in _FORMS}
_OPENED = [name for name, _, _, opener in _FORMS if opener is not None]
_OPENED_TEXT = ", ".join(_OPENED[:-1]) + " and " + _OPENED[-1]
# What the decompressors raise for data that is not theirs or is cut short.
READ_ERRORS = (OSError, EOFError, zlib.error, lzma.LZMAError)


def _by_name(path: str | os.PathLike[str]) -> tuple[str, Callable[..., Any] | None] | None:
    return _BY_SUFFIX.get(os.path.splitext(os.fspath(path))[1].lower())


def kind(path: str | os.PathLike[str], head: bytes = b"") -> str | None:
    """The compressed form of the file at `path` as its first bytes `head` show it, else as
    its name does; None for neither."""
    for name, _, magic, _ in _FORMS:
        if head.startswith(magic):
            return name
    named = _by_name(path)
    return None if named is None else named[0]


def opener(path: str | os.PathLike[str], writing: bool = False) -> Callable[..., Any]:
    """What opens `path` as its suffix says: `open` for plain text, else the standard
    library's `gzip.open`, `bz2.open` or `lzma.open`. ValueError for a compressed form it
    has no opener for, rather than its bytes read (or plain text written) as if plain."""
    named = _by_name(path)
    if named is None:
        return open
    name, found = named
    if found is not None:
        return found
    if writing:
        raise ValueError(f"{os.fspath(path)} names a compressed file ({name}): atomkit compresses "
                         f"{_OPENED_TEXT} only; write it plain and compress it after")
    raise ValueError(f"{os.fspath(path)} is compressed ({name}): atomkit decompresses {_OPENED_TEXT} "
                     "only; decompress it first")
