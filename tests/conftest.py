# Fixtures of the test suite; shared helpers live in helpers.py.
import os
import sys

import pytest
from hypothesis import settings

from helpers import capture_panic, symbols, write

# The plain Python loops (bench/python_loops.py) are the second opinion of some tests.
sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

# No deadline: the machines the suite runs on are shared, and a first call that waits for a CPU
# (or imports NumPy) is not a failure. The quick inner loop (make check) draws fewer examples
# in property tests without a count of their own; CI draws Hypothesis's default.
settings.register_profile("shared", deadline=None)
settings.register_profile("quick", parent=settings.get_profile("shared"), max_examples=20)
settings.load_profile("quick" if os.environ.get("ATOMKIT_QUICK") else "shared")


@pytest.fixture(scope="session")
def panic_type():
    return type(capture_panic(write, symbols("H"), 70000, col_types=b"s"))
