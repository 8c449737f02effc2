# A small extended XYZ reader and writer built on _atomkit: Python keeps the count and
# comment lines, the module does the per-atom lines; plus the plain Python loops it replaces.
"""Extended XYZ frames in and out, with _atomkit doing the per-atom work.

    write_frame(f, symbols, {"pos": pos, "forces": forces, "tag": tag, "fixed": fixed}, lattice)
    for frame in read_frames(f):
        frame.symbols, frame.arrays["pos"], frame.lattice, frame.pbc, frame.info

Per-atom arrays may be float (R), integer (I) or bool (L), of shape (natoms,) or
(natoms, k); the reader also takes string (S) columns. `write_atoms_loop` and
`read_atom_lines_loop` are the Python loops the module replaces, with the module's
signatures, so either can be handed to the host in its place.
"""
import re
from dataclasses import dataclass, field
from itertools import islice

import numpy as np

import _atomkit

# Properties kind letter -> col_types code.
KIND_CODES = {"S": "s", "R": "f", "I": "i", "L": "b"}

# `%-2s` is what extxyz writers have always used for species; longer symbols are never cut,
# and the separator of the next field keeps them apart.
SYMBOL_WIDTH = 2

_NAME = re.compile(r"[^\s:=\"]+")
_COUNT = re.compile(r"[1-9][0-9]*")
# One comment-line item: a key, optionally "=" and a quoted (backslash escapes) or bare value.
_ITEM = re.compile(r'\s*([^\s="]+)(?:=(?:"((?:[^"\\]|\\.)*)"|([^\s"]+)))?(?=\s|$)')
_UNESCAPE = re.compile(r"\\(.)")
_NEEDS_QUOTES = re.compile(r'[\s"=\\]')
_TRUE = frozenset(("T", "True", "TRUE", "true"))
_FALSE = frozenset(("F", "False", "FALSE", "false"))
_SPACE_CODES = np.array([9, 10, 11, 12, 13, 32], dtype=np.uint32)


@dataclass
class Frame:
    symbols: np.ndarray  # (natoms,) str, the "species" column
    arrays: dict = field(default_factory=dict)  # every other column, by name, in file order
    lattice: np.ndarray | None = None  # (3, 3), one cell vector per row
    pbc: tuple = (False, False, False)
    info: dict = field(default_factory=dict)  # the other comment-line keys


# ---- Properties ----------------------------------------------------------------------


def parse_properties(properties):
    """'species:S:1:pos:R:3' -> [("species", "S", 1), ("pos", "R", 3)]."""
    fields = properties.split(":")
    if len(fields) % 3:
        raise ValueError(f"Properties {properties!r}: expected name:kind:count triples")
    columns, seen = [], set()
    for name, kind, count in zip(fields[0::3], fields[1::3], fields[2::3]):
        if not _NAME.fullmatch(name) or name in seen:
            raise ValueError(f"Properties {properties!r}: bad or repeated name {name!r}")
        if kind not in KIND_CODES:
            raise ValueError(f"Properties {properties!r}: {name} has kind {kind!r}, not one of S, R, I, L")
        if not _COUNT.fullmatch(count):
            raise ValueError(f"Properties {properties!r}: {name} has count {count!r}")
        seen.add(name)
        columns.append((name, kind, int(count)))
    return columns


def col_types_of(properties):
    """The module's column codes for a Properties string: one code per text column."""
    return "".join(KIND_CODES[kind] * count for _, kind, count in parse_properties(properties)).encode("ascii")


# ---- comment line --------------------------------------------------------------------


def parse_comment(line):
    """key=value pairs of a comment line, values as written (quotes and escapes removed).
    A key without a value stands for True."""
    items, pos, line = {}, 0, line.strip()
    while pos < len(line):
        match = _ITEM.match(line, pos)
        if match is None:
            raise ValueError(f"comment line: cannot parse {line[pos:pos + 30]!r}")
        key, quoted, bare = match.groups()
        items[key] = _UNESCAPE.sub(r"\1", quoted) if quoted is not None else bare if bare is not None else True
        pos = match.end()
    return items


def _info_value(text):
    if text is True or text in _TRUE:
        return True
    if text in _FALSE:
        return False
    for convert in (int, float):
        try:
            return convert(text)
        except ValueError:
            pass
    return text


def _format_value(value):
    if isinstance(value, (bool, np.bool_)):
        return "T" if value else "F"
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    text = value if isinstance(value, str) else " ".join(_format_value(v) for v in np.ravel(value))
    if "\n" in text or "\r" in text:
        raise ValueError(f"a comment-line value cannot hold a line break: {text!r}")
    if text and not _NEEDS_QUOTES.search(text):
        return text
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


# ---- writer --------------------------------------------------------------------------


def _column_kind(name, array):
    kind = {"f": "R", "i": "I", "u": "I", "b": "L"}.get(array.dtype.kind)
    if kind is None:
        raise TypeError(f"array {name!r}: dtype {array.dtype} is not float, integer or bool"
                        " (the species are the only string column the writer takes)")
    return kind


def write_frame(fileobj, symbols, arrays, lattice=None, pbc=(True, True, True), info=None,
                atom_block=_atomkit.write_atoms_rs):
    """Writes one frame: count line, comment line (Lattice, Properties, pbc, then `info`)
    and the atom lines, species first and then `arrays` in their order."""
    sym = np.ascontiguousarray(symbols, dtype="U")
    natoms = len(sym)
    if sym.shape != (natoms,):
        raise ValueError(f"symbols must be one-dimensional, not of shape {sym.shape}")
    # No Python object per atom: the module reads the code points of the array in place.
    codepoints = sym.view(np.uint32).reshape(natoms, sym.dtype.itemsize // 4)
    if natoms and ((codepoints[:, 0] == 0).any() or np.isin(codepoints, _SPACE_CODES).any()):
        raise ValueError("symbols must be non-empty and hold no whitespace")

    properties, groups = ["species:S:1"], {"R": [], "I": [], "L": []}
    for name, values in arrays.items():
        values = np.asarray(values)
        if not _NAME.fullmatch(name) or name == "species":
            raise ValueError(f"bad array name {name!r}")
        if values.ndim not in (1, 2) or len(values) != natoms:
            raise ValueError(f"array {name!r}: shape {values.shape} is not ({natoms},) or ({natoms}, k)")
        kind = _column_kind(name, values)
        matrix = values.reshape(natoms, -1)
        if matrix.shape[1] == 0:
            raise ValueError(f"array {name!r} has no columns")
        properties.append(f"{name}:{kind}:{matrix.shape[1]}")
        groups[kind].append(matrix)
    properties = ":".join(properties)

    def stacked(kind, dtype):
        parts = [part.astype(dtype, copy=False) for part in groups[kind]]
        return np.hstack(parts) if parts else np.zeros((natoms, 0), dtype)

    block = atom_block(codepoints, SYMBOL_WIDTH, stacked("R", np.float64), stacked("I", np.int64),
                       stacked("L", np.bool_).view(np.uint8), col_types_of(properties))

    comment = []
    if lattice is not None:
        comment.append("Lattice=" + _format_value(np.asarray(lattice, dtype=np.float64).reshape(9)))
    comment.append("Properties=" + properties)
    comment.append("pbc=" + _format_value([bool(p) for p in pbc]))
    for key, value in (info or {}).items():
        if not _NAME.fullmatch(key) or key.lower() in ("lattice", "properties", "pbc"):
            raise ValueError(f"bad info key {key!r}")
        comment.append(f"{key}={_format_value(value)}")
    fileobj.write(f"{natoms}\n{' '.join(comment)}\n")
    fileobj.write(block)


# ---- reader --------------------------------------------------------------------------


def _columns_to_arrays(columns, parsed, natoms):
    arrays = {}
    cursor = {"S": 0, "R": 0, "I": 0, "L": 0}
    source = {"R": parsed["floats"], "I": parsed["ints"], "L": parsed["bools"].view(np.bool_)}
    for name, kind, count in columns:
        start = cursor[kind]
        cursor[kind] += count
        if kind == "S":
            values = np.array(parsed["strs"][start:start + count], dtype="U").reshape(count, natoms).T
        else:
            values = source[kind][:, start:start + count]
        arrays[name] = values[:, 0] if count == 1 else values
    return arrays


def read_frames(fileobj, atom_lines=_atomkit.read_atom_lines_rs):
    """Yields each frame of an extended XYZ text file as a Frame. Blank lines between
    frames are skipped; a frame without Properties has species and pos only."""
    lineno = 0
    while True:
        count_line = fileobj.readline()
        lineno += 1
        if not count_line:
            return
        if not count_line.strip():
            continue
        try:
            natoms = int(count_line)
        except ValueError:
            raise ValueError(f"line {lineno}: expected an atom count, got {count_line.strip()[:30]!r}") from None
        comment = fileobj.readline()
        lines = list(islice(fileobj, natoms))
        if not comment or len(lines) < natoms:
            raise ValueError(f"line {lineno}: the file ends inside a frame of {natoms} atoms")
        info = parse_comment(comment)
        properties = info.pop("Properties", "species:S:1:pos:R:3")
        columns = parse_properties(properties)
        try:
            parsed = atom_lines(lines, col_types_of(properties))
        except ValueError as error:
            # The module counts rows from 0 within the frame; say where that is in the file.
            raise ValueError(f"frame at line {lineno} (atom lines from line {lineno + 2}): {error}") from error
        lineno += 1 + natoms

        arrays = _columns_to_arrays(columns, parsed, natoms)
        lattice = info.pop("Lattice", None)
        if lattice is not None:
            lattice = np.array(lattice.split(), dtype=np.float64).reshape(3, 3)
        pbc = info.pop("pbc", "T T T" if lattice is not None else "F F F")
        yield Frame(
            symbols=arrays.pop("species", None),
            arrays=arrays,
            lattice=lattice,
            pbc=tuple(token in _TRUE for token in pbc.split()),
            info={key: _info_value(value) for key, value in info.items()},
        )


# ---- the Python loops the module replaces --------------------------------------------


def write_atoms_loop(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types):
    """write_atoms_rs as a Python loop: one `fmt % row` per atom."""
    natoms, width = sym_codepoints.shape
    symbols = (np.ascontiguousarray(sym_codepoints).view(f"U{width}")[:, 0].tolist()
               if width else [""] * natoms)
    fields, columns, cursor = [], [], {"f": 0, "i": 0, "b": 0}
    matrices = {"f": float_mat, "i": int_mat, "b": bool_mat.astype(np.bool_)}
    formats = {"f": " %16.8f", "i": " %8d", "b": "  %.1s"}  # "%.1s" % True == "T"
    for code in bytes(col_types).decode("latin-1"):
        if code == "s":
            fields.append(f"%-{sym_width}s")
            columns.append(symbols)
        elif code in formats:
            fields.append(formats[code])
            columns.append(matrices[code][:natoms, cursor[code]].tolist())
            cursor[code] += 1
    fmt = "".join(fields) + "\n"
    rows = zip(*columns) if columns else [()] * natoms
    return "".join([fmt % row for row in rows])


def _parse_bool(token):
    if token in _TRUE:
        return 1
    if token in _FALSE:
        return 0
    raise ValueError(f"cannot parse {token!r} as bool")


def read_atom_lines_loop(lines, col_types):
    """read_atom_lines_rs as a Python loop: split() and float()/int() per token."""
    codes = bytes(col_types).decode("latin-1")
    where = {c: [k for k, code in enumerate(codes) if code == c] for c in "sfib"}
    natoms = len(lines)
    floats = np.empty((natoms, len(where["f"])), dtype=np.float64)
    ints = np.empty((natoms, len(where["i"])), dtype=np.int64)
    bools = np.empty((natoms, len(where["b"])), dtype=np.uint8)
    strs = [[None] * natoms for _ in where["s"]]
    for row, line in enumerate(lines):
        tokens = line.split()
        if len(tokens) != len(codes):
            raise ValueError(f"row {row}: expected {len(codes)} tokens, got {len(tokens)}")
        floats[row] = [float(tokens[k]) for k in where["f"]]
        ints[row] = [int(tokens[k]) for k in where["i"]]
        bools[row] = [_parse_bool(tokens[k]) for k in where["b"]]
        for column, k in zip(strs, where["s"]):
            column[row] = tokens[k]
    return {"floats": floats, "ints": ints, "bools": bools, "strs": strs}
