# The comment line of an extended XYZ frame, read (_comment_read) and written
# (_comment_write): one name for the modules that use both or either.
"""Comment lines in and out.

`parse(line)` -> (Properties text or None, lattice or None, pbc or None, info), and
`parse_python`, the same in Python alone; the formatters `lattice_text`, `pbc_text`,
`item_text` and `value_text` for the writer.
"""
from atomkit._comment_read import parse, parse_python
from atomkit._comment_write import item_text, lattice_text, pbc_text, value_text

__all__ = ["item_text", "lattice_text", "parse", "parse_python", "pbc_text", "value_text"]
