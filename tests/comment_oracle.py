# The comment line of a frame read in Python alone (regular expressions, float() and int()):
# the oracle the module's comment-line parser is held to, and what the tests' frame walker reads.
"""Comment lines in, in Python alone.

`parse_python(line)` -> (Properties text or None, lattice or None, pbc or None, info), as the
module's parse_comment_rs gives it for every line it can encode; `parse(line)` is the module's
parser, with `parse_python` for a line it cannot take (lone surrogates, which have no UTF-8).

Read forms: `key=value` with bare, "double-quoted" and 'single-quoted' values (backslash
escapes), bracketed `[1, 2, 3]` / `[[1, 2], [3, 4]]` and braced `{1 2 3}` arrays, keys
without a value (True), quoted keys. A line without any `=` is kept whole as `comment`.
"""
from __future__ import annotations

import re
from typing import Any

import numpy as np

import _atomkit
from atomkit.base.text import BOOL_WORDS, MATRIX_KEYS, RESERVED_KEYS

Parsed = tuple[str | None, np.ndarray | None, tuple[bool, bool, bool] | None, dict[str, Any]]

_DQ = r'"[^"\\]*(?:\\.[^"\\]*)*"'
_SQ = r"'[^'\\]*(?:\\.[^'\\]*)*'"
# Possessive: a list that never closes fails at once instead of after trying every way to
# split its runs of plain characters (time exponential in their length).
_FLAT = r"\[(?:[^\[\]\"']++|" + _DQ + "|" + _SQ + r")*+\]"
_NESTED = r"\[(?:[^\[\]\"']++|" + _DQ + "|" + _SQ + "|" + _FLAT + r")*+\]"
# One item per match: a key (bare or double-quoted), optionally `=` and a value that is
# quoted, bracketed, braced, bare or empty; anything else lands in `bad`.
_ITEM = re.compile(
    r"\s*(?:(?:([^\s=\"']+)|(" + _DQ + r"))"
    r"(?:\s*(=)\s*(" + _DQ + "|" + _SQ + "|" + _NESTED + r"|\{[^{}]*\}|[^\s\"'\[{=][^\s=]*|))?"
    r"(?=\s|\Z)|(\S+))",
    re.DOTALL,
)
_NUM = r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[iI][nN][fF](?:[iI][nN][iI][tT][yY])?|[nN][aA][nN])"
_INT = r"[+-]?[0-9]+"
_INT_RE = re.compile(_INT + r"\Z")
_FLOAT_RE = re.compile(_NUM + r"\Z")
_INTS_RE = re.compile(r"\s*" + _INT + r"(?:(?:\s*,\s*|\s+)" + _INT + r")*\s*\Z")
# A flat list: quoted items or bare tokens, separated by commas and/or whitespace.
_LIST_ITEM = re.compile(r"\s*(?:(" + _DQ + "|" + _SQ + r")|([^\s,\"'\[\]]+))\s*(?:,|(?=\s)|\Z)")
_ROW = re.compile(r"\s*(" + _FLAT + r")\s*(?:,|\Z)")
_ESCAPE = re.compile(r"\\(.)", re.DOTALL)
# How many characters of the text at fault a message quotes: of a list item, and of an item
# of the line, as the module's parser quotes them (core/comment_line/tokens.hpp).
_LIST_ITEM_QUOTED = 30
_LINE_ITEM_QUOTED = 60
_ESCAPES = {"n": "\n", "r": "\r", "\\": "\\", '"': '"', "'": "'"}
_PBC_TOKEN = re.compile(r"[^\s,\[\]{}\"']+")


def _unescape(text: str) -> str:
    """A quoted value's content: \\n, \\r, \\\\ and escaped quotes stand for those
    characters; any other backslash stays as written."""
    if "\\" not in text:
        return text
    return _ESCAPE.sub(lambda m: _ESCAPES.get(m.group(1), m.group(0)), text)


def _scalar(text: str) -> Any:
    """A bare token as bool, int, float or (failing all three) str."""
    value = BOOL_WORDS.get(text)
    if value is not None:
        return value
    if _INT_RE.match(text):
        return int(text)
    if _FLOAT_RE.match(text):
        return float(text)
    return text


def _numbers(text: str, tokens: list[str] | None = None) -> np.ndarray | None:
    """Numbers separated by commas or whitespace (`tokens`, if given, are the whitespace-split
    text and it has no commas) as an int64 or float64 array, else None."""
    if tokens is None:
        tokens = text.replace(",", " ").split()
    if _INTS_RE.match(text):
        try:
            return np.array([int(t) for t in tokens], dtype=np.int64)
        except OverflowError:
            return np.array([float(t) for t in tokens])
    # float() takes what the float grammar takes, and also digit separators and digits of
    # other scripts, which are refused first.
    if "_" in text or not text.isascii():
        return None
    try:
        return np.array([float(t) for t in tokens])
    except ValueError:
        return None


def _quoted(text: str) -> Any:
    """A quoted value: one token is typed like a bare one, several numbers or booleans
    become an array, anything else stays the text."""
    tokens = text.split()
    if len(tokens) == 1:
        return _scalar(text) if tokens[0] == text else text
    if len(tokens) > 1:
        if tokens[0] in BOOL_WORDS:
            if all(t in BOOL_WORDS for t in tokens):
                return np.array([BOOL_WORDS[t] for t in tokens])
        elif "," not in text:
            values = _numbers(text, tokens)
            if values is not None:
                return values
        else:
            values = _numbers(text)
            if values is not None:
                return values
    return text


def _flat_list(text: str) -> np.ndarray:
    """The inside of [..] or {..}: numbers, booleans, or (if any item is quoted or any
    token is neither) strings."""
    items, pos, end = [], 0, len(text)
    quoted = False
    while pos < end:
        match = _LIST_ITEM.match(text, pos)
        if match is None:
            if text[pos:].strip(" \t,"):
                raise ValueError(f"cannot parse the list item at {text[pos:pos + _LIST_ITEM_QUOTED]!r}")
            break
        if match.group(1) is not None:
            items.append(_unescape(match.group(1)[1:-1]))
            quoted = True
        else:
            items.append(match.group(2))
        pos = match.end()
    if not items:
        return np.array([], dtype=np.float64)
    if not quoted:
        values = _numbers(", ".join(items))
        if values is not None:
            return values
        if all(t in BOOL_WORDS for t in items):
            return np.array([BOOL_WORDS[t] for t in items])
    return np.array(items, dtype=str)


def _bracketed(value: str) -> np.ndarray:
    inner = value[1:-1]
    if not inner.lstrip().startswith("["):
        return _flat_list(inner)
    rows, pos = [], 0
    while pos < len(inner):
        match = _ROW.match(inner, pos)
        if match is None:
            if inner[pos:].strip(" \t,"):
                raise ValueError(f"cannot parse the nested list at {inner[pos:pos + _LIST_ITEM_QUOTED]!r}")
            break
        rows.append(_flat_list(match.group(1)[1:-1]))
        pos = match.end()
    if len({row.shape for row in rows}) > 1:
        raise ValueError(f"rows of different lengths in {value[:_LINE_ITEM_QUOTED]!r}")
    return np.array(rows)


def _typed(value: str) -> Any:
    """A value as the tokenizer captured it (quotes and brackets included), typed."""
    first = value[:1]
    if first == '"' or first == "'":
        return _quoted(_unescape(value[1:-1]))
    if first == "[":
        return _bracketed(value)
    if first == "{":
        return _flat_list(value[1:-1])
    return _scalar(value)


def _text(value: str) -> str:
    """A value untyped: quotes and escapes removed, anything else as written."""
    if value[:1] in ('"', "'"):
        return _unescape(value[1:-1])
    return value


def _lattice(value: str) -> np.ndarray:
    typed = _typed(value)
    if not isinstance(typed, np.ndarray) or typed.dtype.kind not in "if" or typed.size != 9:
        raise ValueError(f"Lattice needs 9 numbers, got {value!r}")
    return typed.astype(np.float64).reshape(3, 3)


def _pbc(value: str) -> tuple[bool, bool, bool]:
    tokens = _PBC_TOKEN.findall(_text(value) if value[:1] in "\"'" else value)
    flags = [BOOL_WORDS.get(t) for t in tokens]
    if len(flags) == 1:
        flags *= 3
    if len(flags) != 3 or None in flags:
        raise ValueError(f"pbc needs three of T/F, got {value!r}")
    return bool(flags[0]), bool(flags[1]), bool(flags[2])


def _info_value(key: str, value: str) -> Any:
    """An info item's value as the tokenizer captured it, typed; nine numbers under a
    matrix key become 3x3."""
    typed = _typed(value)
    if key.lower() in MATRIX_KEYS and type(typed) is np.ndarray and typed.shape == (9,) and typed.dtype.kind in "if":
        typed = typed.astype(np.float64, copy=False).reshape(3, 3)
    return typed

def native_parse(line: str) -> Parsed:
    """(Properties text, lattice, pbc, info) of a comment line as the module's parser reads
    it; ValueError for a line that cannot be read, UnicodeEncodeError for one without UTF-8
    (lone surrogates: no file gives one, comment lines are decoded strictly)."""
    parsed = _atomkit.parse_comment_rs(line)
    if parsed is None:
        at = next(k for k, char in enumerate(line) if "\ud800" <= char <= "\udfff")
        raise UnicodeEncodeError("utf-8", line, at, at + 1, "surrogates not allowed")
    return parsed[:4]


def parse(line: str) -> Parsed:
    """(Properties text, lattice, pbc, info) of a comment line as the module reads it, or as
    `parse_python` does a line without UTF-8; ValueError for a line that cannot be read."""
    parsed = _atomkit.parse_comment_rs(line)
    return parse_python(line) if parsed is None else parsed[:4]


def parse_python(line: str) -> Parsed:
    """The comment line read in Python alone: (Properties text, lattice, pbc, info), or
    ValueError for a line that cannot be read."""
    if "=" not in line:
        text = line.strip()
        return None, None, None, ({"comment": text} if text else {})
    properties = lattice = pbc = None
    info: dict[str, Any] = {}
    for key, qkey, equals, value, bad in _ITEM.findall(line):
        if bad:
            raise ValueError(f"cannot parse {bad[:_LINE_ITEM_QUOTED]!r}")
        if qkey:
            key = _unescape(qkey[1:-1])
        lower = key.lower()
        if lower in RESERVED_KEYS:
            if not equals:
                raise ValueError(f"{key} has no value")
            if lower == "properties":
                if properties is not None:
                    raise ValueError("Properties appears twice")
                properties = _text(value)
            elif lower == "lattice":
                if lattice is not None:
                    raise ValueError("Lattice appears twice")
                lattice = _lattice(value)
            else:
                if pbc is not None:
                    raise ValueError("pbc appears twice")
                pbc = _pbc(value)
        elif key in info:
            raise ValueError(f"key {key!r} appears twice")
        elif not equals:
            info[key] = True
        elif key == "comment":
            info[key] = _text(value)
        else:
            info[key] = _info_value(key, value)
    return properties, lattice, pbc, info
