# write_atoms_rs against a thread that rewrites sym_codepoints during the call (NumPy copies
# without the GIL): the text may be garbled, but it must be a valid str, and nothing crashes.
import signal
import subprocess
import sys
import textwrap

import pytest

from helpers import race_seconds

# A child process runs PRELUDE, a scenario (which sets sym, sym_width, change and
# before_call) and CALLS, so that a crash fails the test instead of ending the run. CALLS
# calls the writer for SECONDS while change() runs in a thread, checks every result, and
# exits 1 at the first invalid one.
PRELUDE = """
import sys, threading, time
import numpy as np
from numpy.lib.stride_tricks import as_strided
import _atomkit

SECONDS = @SECONDS@
BIG = 0x10FFFF

def ascii_rows(n, w, first=None):
    rows = np.empty((n, w), np.uint32)
    rows[:] = ord("A") + np.arange(w) % 26
    if first is not None:
        rows[:, 0] = first
    return rows

def alternate(base, small, big):
    # One GIL-free copy of `big` started just before each call, then `small` back.
    go, started = threading.Event(), threading.Event()

    def change():
        if go.wait(0.05):
            go.clear()
            started.set()
            np.copyto(base, big)
            np.copyto(base, small)

    def before_call():
        started.clear()
        go.set()
        assert started.wait(10), "the changer thread stopped"
    return change, before_call

def flicker(base, small, big, times=20):
    # NumPy runs the repeat axes (stride 0 in the target) innermost: every code point
    # flips between big and small values many times during one GIL-free copy.
    pair = np.stack([big, small])
    source = as_strided(pair, shape=(times,) + pair.shape, strides=(0,) + pair.strides, writeable=False)
    target = as_strided(base, shape=source.shape, strides=(0, 0) + base.strides)
    return (lambda: np.copyto(target, source)), (lambda: None)

""".replace("@SECONDS@", repr(race_seconds(2.0)))

CALLS = """
n = sym.shape[0]
empty = np.zeros((n, 0)), np.zeros((n, 0), np.int64), np.zeros((n, 0), np.uint8)
stop = threading.Event()

def changer():
    while not stop.is_set():
        change()

thread = threading.Thread(target=changer)
thread.start()
calls, problem = 0, None
deadline = time.monotonic() + SECONDS
try:
    while problem is None and time.monotonic() < deadline:
        before_call()
        s = _atomkit.write_atoms_rs(sym, sym_width, *empty, b"s")
        calls += 1
        encoded = s.encode()
        try:
            valid = encoded.decode() == s
        except UnicodeDecodeError:
            valid = False
        if not valid or s.isascii() != encoded.isascii():
            high = next((i for i, b in enumerate(encoded) if b >= 0x80), None)
            problem = (f"call {calls}: invalid str: len {len(s)}, isascii() {s.isascii()}, "
                       f"{len(encoded)} bytes, first byte >= 0x80 at {high}")
        elif s.count("\\n") != n:
            problem = f"call {calls}: {s.count(chr(10))} lines instead of {n}"
finally:
    stop.set()
    thread.join()
print(problem or f"{calls} calls, all valid")
sys.exit(problem is not None)
"""

SCENARIOS = {
    # The writer decides from the code points that the block is ASCII, then writes it into a
    # 1-byte str; code points that turn non-ASCII in between must not land in it.
    "ascii decision": """
        small = ascii_rows(4000, 256)
        sym = small.copy()
        sym_width = 2
        change, before_call = flicker(sym, small, np.full_like(small, BIG))
    """,
    # Rows wider than 256 code points are measured before being written; a row that grows
    # in between must not be written past the room measured for it. The reversed view makes
    # the writer meet the copy's progress from the other end, inside its first rows.
    "row grows after measuring, 1-byte str": """
        small = ascii_rows(8, 100000)
        base = small.copy()
        sym, sym_width = base[::-1], 0
        change, before_call = alternate(base, small, np.full_like(small, BIG))
    """,
    "row grows after measuring, UTF-8 text": """
        small = ascii_rows(8, 100000, first=0xE9)
        base = small.copy()
        sym, sym_width = base[::-1], 0
        change, before_call = alternate(base, small, np.full_like(small, BIG))
    """,
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_symbols_rewritten_during_the_call(scenario):
    code = PRELUDE + textwrap.dedent(scenario) + CALLS
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    how = f"signal {signal.Signals(-run.returncode).name}" if run.returncode < 0 else f"exit {run.returncode}"
    err = run.stderr if len(run.stderr) < 4000 else run.stderr[:2000] + "\n...\n" + run.stderr[-2000:]
    assert run.returncode == 0, f"{how}: {run.stdout.strip()}\n{err}"
