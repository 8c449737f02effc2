# Start-up: the module object, its functions, and the one-interpreter rule.
import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import _atomkit

SIGNATURES = {
    "write_atoms_rs": "(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)",
    "read_atom_lines_rs": "(lines, col_types)",
    "read_atom_block_rs": "(data, offset, natoms, col_types)",
    "parse_comment_rs": "(line)",
    "format_floats_rs": "(values, separator)",
    "write_atoms_bytes_rs": "(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)",
    "set_threads": "(n)",
    "get_threads": "()",
    "write_frames_rs": "(block, frames, items)",
}
# Not in __all__: the threshold of split frames and the readers' tuning, for tests.
PRIVATE = {"_set_parallel_threshold", "_set_reader_tuning"}
TYPES = ["Reader", "ScanResult", "Run", "InfoColumn", "AtomTable", "Layout", "Refusal"]
FIRST_DOC_LINES = {
    "write_atoms_rs": "Build the complete extxyz atom block (all `natoms` lines) as a Python str.",
    "read_atom_lines_rs": "Parse `natoms` atom lines, returning a Python dict with keys:",
    "read_atom_block_rs": "Parse `natoms` atom lines straight from bytes, returning `(columns, end)`.",
    "parse_comment_rs": "Parse an extxyz comment line into `(properties, lattice, pbc, info, deferred)`.",
    "format_floats_rs": "Write every float of a 2-D float64 array as `repr()` does, row by row, joined by `separator`.",
    "write_atoms_bytes_rs": "Build the same atom block as `write_atoms_rs`, as UTF-8 bytes.",
    "set_threads": "Use up to `n` threads (the calling thread included) for one large frame.",
    "get_threads": "The number of threads one large frame may use (see `set_threads`).",
    "write_frames_rs": "Write a batch of frames whole (count, comment and atom lines) as UTF-8 bytes.",
}


def test_module_attributes():
    assert _atomkit.__doc__ == ""
    assert _atomkit.__all__ == list(SIGNATURES) + TYPES
    assert type(_atomkit.__all__) is list
    own = {name for name in vars(_atomkit) if not name.startswith("__")}
    assert own == set(SIGNATURES) | PRIVATE | set(TYPES)
    for name in TYPES:
        assert getattr(_atomkit, name).__module__ == "_atomkit"
        assert getattr(_atomkit, name).__name__ == name
    assert not hasattr(_atomkit, "PanicException")


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_objects(name):
    function = getattr(_atomkit, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__.splitlines()[0] == FIRST_DOC_LINES[name]
    assert not function.__doc__.endswith("\n")
    assert function.__module__ == "_atomkit"
    assert function.__self__ is _atomkit
    assert function.__name__ == function.__qualname__ == name


def test_docstring_arrows_are_unicode():
    assert "ord('f') \u2192 next column from `float_mat`  (%16.8f)" in _atomkit.write_atoms_rs.__doc__
    assert "b'f'=102 \u2192 float" in _atomkit.read_atom_lines_rs.__doc__


def test_reimport_returns_the_same_objects():
    module = sys.modules.pop("_atomkit")
    try:
        again = importlib.import_module("_atomkit")
        assert again is module
        assert again.write_atoms_rs is module.write_atoms_rs
        assert again.read_atom_lines_rs is module.read_atom_lines_rs
        assert again.__all__ == list(SIGNATURES) + TYPES
        assert again.Reader is module.Reader
    finally:
        sys.modules["_atomkit"] = module


def test_import_does_not_import_numpy():
    code = "import sys, _atomkit; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


SUBINTERPRETER_CASES = {
    "main first": """
        import _atomkit
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import _atomkit")
        except interpreters.RunFailedError as e:
            print("refused:", e)
    """,
    "subinterpreter first": """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, "import _atomkit")
        try:
            import _atomkit
        except ImportError as e:
            print("refused:", "ImportError", e)
    """,
}


@pytest.mark.parametrize("case", SUBINTERPRETER_CASES)
def test_second_interpreter_is_refused(case):
    # The interpreters module of these scripts went away in 3.13; test_versions covers that one.
    pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(SUBINTERPRETER_CASES[case])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("refused:"), out.stdout + out.stderr
    assert "ImportError" in out.stdout and "subinterpreters" in out.stdout
