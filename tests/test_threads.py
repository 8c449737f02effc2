# Both functions called from 8 threads at once, on shared and per-thread arrays, failing calls
# among them: every outcome is the single-threaded one, and no borrow is left behind.
import sys
import threading
import time

import numpy as np
import pytest

import _atomkit
from helpers import race_seconds, symbols
from soak import outcome, same
from test_borrow_registry import Registry, assert_free

W = _atomkit.write_atoms_rs
R = _atomkit.read_atom_lines_rs
THREADS = 8
SECONDS = race_seconds(2.0)
TYPES = b"sfffiib"
SUCCEEDING = {"write", "write reversed views", "read"}


def make_data(seed):
    rng = np.random.default_rng(seed)
    n = 40 + seed
    data = {
        "sym": symbols(*rng.choice(["H", "He", "Ω", "Fe", "日本"], n)),
        "floats": rng.normal(size=(n, 3)) * 100,
        "ints": rng.integers(-(2**40), 2**40, size=(n, 2)),
        "bools": rng.integers(0, 2, size=(n, 1), dtype=np.uint8),
        "held": np.zeros((n, 3)),
    }
    data["lines"] = W(data["sym"], 3, data["floats"], data["ints"], data["bools"], TYPES).splitlines()
    data["bad_lines"] = data["lines"][:-1] + [data["lines"][-1].replace(".", "x", 1)]
    return data


def make_calls(d, own):
    """(name, function, arguments) of the calls one thread makes on data `d`; on its own data
    also a call with an array it holds exclusively."""
    arrays = (d["floats"], d["ints"], d["bools"])
    calls = [
        ("write", W, (d["sym"], 3, *arrays, TYPES)),
        ("write reversed views", W, (d["sym"][::-1], 0, d["floats"][::-1, ::2], d["ints"][::-1], d["bools"], b"sffib")),
        ("read", R, (d["lines"], TYPES)),
        ("bad last line", R, (d["bad_lines"], TYPES)),
        ("float_mat a row short", W, (d["sym"], 3, d["floats"][1:], d["ints"], d["bools"], TYPES)),
        ("sym_width -1", W, (d["sym"], -1, *arrays, TYPES)),
        ("bool_mat of bool", W, (d["sym"], 3, d["floats"], d["ints"], d["bools"].view(np.bool_), TYPES)),
    ]
    if own:
        calls.append(("exclusively borrowed", W, (d["sym"], 3, d["held"], d["ints"], d["bools"], TYPES)))
    return calls


def run_calls(reg, calls, held):
    """Each call's outcome; the exclusive borrow of `held` is taken around the call using it."""
    results = []
    for name, function, args in calls:
        borrowed = any(arg is held for arg in args)
        if borrowed:
            assert reg.acquire_mut(held) == 0
        try:
            results.append(outcome(function, args, {}))
        finally:
            if borrowed:
                reg.release_mut(held)
    return results


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_share_and_borrow(fast_switching):
    W(symbols("H"), 1, np.zeros((1, 0)), np.zeros((1, 0), np.int64), np.zeros((1, 0), np.uint8), b"s")
    reg = Registry()  # published by the first borrow
    shared = make_data(0)
    private = [make_data(seed) for seed in range(1, THREADS + 1)]
    work = [make_calls(shared, own=False) + make_calls(mine, own=True) for mine in private]
    expected = [run_calls(reg, calls, mine["held"]) for calls, mine in zip(work, private)]
    for (name, _, _), e in zip(work[0], expected[0]):
        assert isinstance(e, (str, dict)) == (name in SUCCEEDING), (name, e)

    start = threading.Barrier(THREADS)
    deadline = time.monotonic() + SECONDS
    rounds = [0] * THREADS
    problems = []

    def thread(k):
        try:
            start.wait()
            # At least one round each, however slowly a loaded machine schedules the threads.
            while rounds[k] == 0 or time.monotonic() < deadline:
                got = run_calls(reg, work[k], private[k]["held"])
                problems.extend(f"thread {k}, {call[0]}: {g!r:.200}" for call, g, e in zip(work[k], got, expected[k])
                                if not same(g, e))
                rounds[k] += 1
        except BaseException as e:  # noqa: BLE001 - reported below, PanicException included
            problems.append(f"thread {k}: {e!r}")

    threads = [threading.Thread(target=thread, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not problems, "\n".join(problems[:10])
    assert min(rounds) > 0
    for data in [shared, *private]:
        assert_free(reg, *(value for value in data.values() if isinstance(value, np.ndarray)))
