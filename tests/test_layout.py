# The package's layout: every module imports alone, imports of the package sit at module level
# only, the stages import downwards with no cycle, and `dir(atomkit)` is the public names.
import ast
import importlib
import os
import subprocess
import sys
import types

import atomkit

PACKAGE = os.path.dirname(os.path.abspath(atomkit.__file__))
# The subpackages by stage, and the stages each one may import.
STAGES = {
    "base": {"base"},
    "comment": {"base", "comment"},
    "table": {"base", "table"},
    "reading": {"base", "comment", "table", "reading"},
    "index": {"base", "table", "reading", "index"},
    "writing": {"base", "comment", "table", "writing"},
    "cli": {"base", "comment", "table", "reading", "index", "writing", "cli"},
}


def module_name(path):
    parts = os.path.relpath(path, os.path.dirname(PACKAGE))[:-3].split(os.sep)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def modules():
    """{module name: its syntax tree} for every module of the package."""
    found = {}
    for folder, _, names in os.walk(PACKAGE):
        for name in names:
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as source:
                    found[module_name(path)] = ast.parse(source.read(), path)
    return found


MODULES = modules()


def module_is_package(module):
    return os.path.exists(os.path.join(os.path.dirname(PACKAGE), *module.split("."), "__init__.py"))


def imported(module, node):
    """The modules of the package that an import statement of `module` names."""
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names if alias.name.split(".")[0] == "atomkit"]
    if node.level:  # relative: from the module's package (or the package itself, for an __init__)
        here = module.split(".")[:len(module.split(".")) - (not module_is_package(module)) - node.level + 1]
        base = ".".join(here + ([node.module] if node.module else []))
    else:
        base = node.module or ""
    if base.split(".")[0] != "atomkit":
        return []
    # `from atomkit.x import y` names the module atomkit.x.y where there is one.
    named = [f"{base}.{alias.name}" for alias in node.names if f"{base}.{alias.name}" in MODULES]
    return named if len(named) == len(node.names) else [base, *named]


def walk_imports(module, tree):
    """(import statement, whether it sits in a function body) of every import in `tree`."""
    def visit(node, in_function):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                yield child, in_function
            yield from visit(child, in_function or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef,
                                                                      ast.Lambda)))
    return visit(tree, False)


def graph():
    """{module: the package's modules it imports at module level}."""
    return {module: {name for node, in_function in walk_imports(module, tree) if not in_function
                     for name in imported(module, node)}
            for module, tree in MODULES.items()}


def test_each_module_imports_alone():
    # One process; before each module the package is forgotten, so each import starts afresh
    # (the compiled module and NumPy stay loaded). `python -m atomkit` runs the command.
    names = sorted(name for name in MODULES if name != "atomkit.__main__")
    code = ("import importlib, sys, traceback\n"
            f"for name in {names!r}:\n"
            "    for loaded in [m for m in sys.modules if m == 'atomkit' or m.startswith('atomkit.')]:\n"
            "        del sys.modules[loaded]\n"
            "    try:\n"
            "        importlib.import_module(name)\n"
            "    except BaseException:\n"
            "        print(name, traceback.format_exc(limit=-3))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert len(names) > 30  # every module was found


def test_the_package_is_imported_at_module_level_only():
    inside = [f"{module}:{node.lineno}" for module, tree in MODULES.items()
              for node, in_function in walk_imports(module, tree) if in_function and imported(module, node)]
    # Nor through importlib, but for the public names that atomkit/__init__ imports on first use.
    calls = [f"{module}:{node.lineno}" for module, tree in MODULES.items() if module != "atomkit"
             for node in ast.walk(tree) if isinstance(node, ast.Call)
             and getattr(node.func, "attr", getattr(node.func, "id", None)) in ("import_module", "__import__")]
    assert inside == [] and calls == []


def stage(module):
    """The subpackage `module` belongs to (None for the package's own modules)."""
    parts = module.split(".")
    return parts[1] if len(parts) > 2 or module_is_package(module) and len(parts) == 2 else None


def test_stages_import_downwards_without_a_cycle():
    edges = graph()
    assert set(STAGES) == {stage(module) for module in edges} - {None}
    upwards = [f"{module} -> {name}" for module, names in edges.items() if stage(module) is not None
               for name in names if stage(name) not in STAGES[stage(module)]]
    assert upwards == []

    # Depth first: a module met again while its own imports are being walked closes a cycle.
    state, cycles = {}, []

    def visit(module, path):
        state[module] = "open"
        for name in sorted(edges.get(module, ())):
            if state.get(name) == "open":
                cycles.append(" -> ".join(path[path.index(name):] + [name]))
            elif name not in state:
                visit(name, path + [name])
        state[module] = "done"

    for module in sorted(edges):
        if module not in state:
            visit(module, [module])
    assert cycles == []


def test_dir_shows_the_public_names():
    # Also once every module is loaded: no subpackage takes the place of a public name.
    for name in MODULES:
        if name != "atomkit.__main__":
            importlib.import_module(name)
    assert dir(atomkit) == sorted(atomkit.__all__)
    assert [name for name in atomkit.__all__ if isinstance(getattr(atomkit, name), types.ModuleType)] == []
    assert [name for name in ("Any", "TYPE_CHECKING", "annotations", "importlib") if hasattr(atomkit, name)] == []
