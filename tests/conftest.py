# Fixtures of the test suite; shared helpers live in helpers.py.
import pytest

from helpers import capture_panic, symbols, write


@pytest.fixture(scope="session")
def panic_type():
    return type(capture_panic(write, symbols("H"), 70000, col_types=b"s"))
