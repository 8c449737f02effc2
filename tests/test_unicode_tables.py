# Checks the generated escape table of the reader's quoted token form against its data
# sources (unicodedata2's categories, regex's Grapheme_Extend) over every code point.
import re
from pathlib import Path

import pytest

import _atomkit

unicodedata2 = pytest.importorskip("unicodedata2")
regex = pytest.importorskip("regex")

TABLE = Path(__file__).resolve().parents[1] / "src" / "core" / "atom_lines" / "unicode_tables.hpp"
SEPARATORS = {0x20, 0x09, 0x0A, 0x0C, 0x0D}
SURROGATES = range(0xD800, 0xE000)
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def table_version():
    if not TABLE.exists():
        pytest.skip("generated table source not found next to the tests")
    return re.search(r'unicode_tables_version\[\] = "([0-9.]+)"', TABLE.read_text()).group(1)


def expected_escapes(text):
    # The same rule as tools/gen_unicode_tables.py, computed independently here.
    extend = {ord(m.group()) for m in regex.finditer(r"\p{Grapheme_Extend}", text)}
    escaped = set(extend)
    for ch in text:
        category = unicodedata2.category(ch)
        if category in NOT_PRINTABLE or (category == "Zs" and ch != " "):
            escaped.add(ord(ch))
    return escaped


def test_escape_table_matches_sources_for_every_code_point():
    version = table_version()
    if version_tuple(unicodedata2.unidata_version) != version_tuple(version):
        pytest.skip(f"unicodedata2 has Unicode {unicodedata2.unidata_version}, table {version}")
    code_points = [c for c in range(0x110000) if c not in SURROGATES and c not in SEPARATORS]
    text = "".join(map(chr, code_points))
    # regex names no Unicode version; the same unassigned set shows it has the same one.
    if {ord(m.group()) for m in regex.finditer(r"\p{Cn}", text)} != {
        ord(ch) for ch in text if unicodedata2.category(ch) == "Cn"
    }:
        pytest.skip("regex carries another Unicode version than unicodedata2")
    escaped = expected_escapes(text)
    special = {0: r"\0", ord("\\"): r"\\", ord('"'): r"\""}

    wrong = []
    for c in code_points:
        if c in special:
            shown = special[c]
        else:
            shown = f"\\u{{{c:x}}}" if c in escaped else chr(c)
        try:
            _atomkit.read_atom_lines_rs(["x" + chr(c)], b"f")
            wrong.append((hex(c), "accepted"))
        except ValueError as exc:
            if exc.args[0] != f'row 0: cannot parse "x{shown}" as float: invalid float literal':
                wrong.append((hex(c), exc.args[0]))
        if len(wrong) >= 20:
            break
    assert wrong == []
