# The installed type stub says what the module really is: its functions' signatures, the
# Reader's constructor, methods and properties, and the fields of the named results.
import ast
import inspect
import pathlib

import pytest

import _atomkit


def parameters(function):
    """A def's parameter names as inspect lists them (self and cls left out)."""
    args = function.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    return [name for name in names if name not in ("self", "cls")]


def stub_names(path):
    """Each public name of the stub: a function's parameters, or a class's members (its
    properties, and each method's parameters)."""
    tree = ast.parse(path.read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list)
                    members[item.name] = "property" if is_property else parameters(item)
            names[node.name] = members
    return names


def module_names():
    names = {}
    for name in _atomkit.__all__:
        value = getattr(_atomkit, name)
        if not isinstance(value, type):
            names[name] = list(inspect.signature(value).parameters)
        elif hasattr(value, "n_fields"):  # a named result
            names[name] = {field: "property" for field in value.__match_args__}
        else:
            members = {"__new__": list(inspect.signature(value).parameters)}
            for member, attribute in vars(value).items():
                if inspect.isgetsetdescriptor(attribute):
                    members[member] = "property"
                elif inspect.ismethoddescriptor(attribute) and not member.startswith("_"):
                    members[member] = list(inspect.signature(getattr(value, member)).parameters)[1:]
            names[name] = members
    return names


def test_stubs_are_installed_and_match_the_module():
    module_dir = pathlib.Path(_atomkit.__file__).parent
    if not (module_dir / "_atomkit.pyi").exists():
        pytest.skip("the module runs from a build tree, not an installation")
    for stub in (module_dir / "_atomkit.pyi", module_dir / "_atomkit-stubs" / "__init__.pyi"):
        assert stub_names(stub) == module_names()
    assert (module_dir / "_atomkit-stubs" / "py.typed").exists()


def test_the_source_stub_matches_the_module():
    stub = pathlib.Path(__file__).parent.parent / "src" / "_atomkit.pyi"
    assert stub_names(stub) == module_names()
