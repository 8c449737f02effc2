# What each supported CPython (3.11 to 3.13) must give alike where its C API or import
# machinery differs: exceptions passed through the module, and the one-interpreter rule.
import subprocess
import sys
import textwrap
import traceback

import pytest

from helpers import Index, symbols, write

REFUSAL = ("_atomkit does not yet support subinterpreters, "
           "see https://docs.python.org/3/howto/isolating-extensions.html")


def test_callers_exception_comes_back_whole():
    # 3.11 fetches an exception as type, value and traceback; the module must still hand
    # back the caller's own object, its traceback reaching into the caller's code.
    raised = LookupError("from the caller")
    with pytest.raises(LookupError) as info:
        write(symbols("H"), Index(raised), col_types=b"s")
    assert info.value is raised
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert frames[-1] == "__index__"
    assert not hasattr(raised, "__notes__")


# A legacy subinterpreter (sharing the main one's lock, so that CPython leaves the check to
# the module), made with the interpreters module each version has. 3.13 initializes a
# single-phase module in the main interpreter before a subinterpreter's import, so there
# the main interpreter owns the module whichever imports first.
SUBINTERPRETER = """
    import sys
    if sys.version_info >= (3, 13):
        import _interpreters
        def run_in_new(code):
            failure = _interpreters.run_string(_interpreters.create("legacy"), code)
            return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
    else:
        import _xxsubinterpreters as _interpreters
        def run_in_new(code):
            try:
                _interpreters.run_string(_interpreters.create(isolated=False), code)
            except _interpreters.RunFailedError as e:
                return str(e).removeprefix("<class '").replace("'>", "", 1)
    if sys.argv[1] == "main first":
        import _atomkit
        print(run_in_new("import _atomkit"))
    else:
        print(run_in_new("import _atomkit"))
        try:
            import _atomkit
            print(None)
        except ImportError as e:
            print("ImportError:", e)
"""


@pytest.mark.parametrize("order", ["main first", "subinterpreter first"])
def test_subinterpreter_refused_alike(order):
    code = textwrap.dedent(SUBINTERPRETER)
    out = subprocess.run([sys.executable, "-c", code, order], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    refused = "ImportError: " + REFUSAL
    if order == "main first":
        assert out.stdout.splitlines() == [refused]
    elif sys.version_info >= (3, 13):
        assert out.stdout.splitlines() == [refused, "None"]
    else:
        assert out.stdout.splitlines() == ["None", refused]
