# The installed type stub says what the module really is.
import ast
import inspect
import pathlib

import pytest

import _atomkit



def stub_functions(path):
    tree = ast.parse(path.read_text())
    return {f.name: [a.arg for a in f.args.args] for f in tree.body if isinstance(f, ast.FunctionDef)}


def test_stubs_are_installed_and_match_the_signatures():
    module_dir = pathlib.Path(_atomkit.__file__).parent
    if not (module_dir / "_atomkit.pyi").exists():
        pytest.skip("the module runs from a build tree, not an installation")
    for stub in (module_dir / "_atomkit.pyi", module_dir / "_atomkit-stubs" / "__init__.pyi"):
        assert stub_functions(stub) == {
            name: list(inspect.signature(getattr(_atomkit, name)).parameters) for name in _atomkit.__all__
        }
    assert (module_dir / "_atomkit-stubs" / "py.typed").exists()
