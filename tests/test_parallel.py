# Frames split across the module's threads: the same text, arrays and errors for every thread
# count, a forked child that calls in, many Python threads at once, the threads setting, and
# write_atoms_bytes_rs beside write_atoms_rs. The threshold of split frames is lowered so
# that small frames split into ranges of a few rows.
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _atomkit
import atomkit
from helpers import examples, race_seconds, symbols
from test_read_block import columns_equal

THREAD_COUNTS = (1, 2, 3, 8)
SPECIES = ["H", "O", "Si", "Fe", "Ω", "日本", "Uuo_long_label"]
# Fields wider than usual: every float field here takes more than 16 characters.
WIDE = [1e7, -1e6, 1.5e300, -2.5e22, 123456789.125]
FLOATS = [0.0, -0.0, 1.5, -2.25, 3.14159265358979, 9999999.99999999, float("nan"), float("inf")] + WIDE
INTS = [0, 7, -8, 2**40, -(2**63), 2**63 - 1]


@pytest.fixture(autouse=True)
def split_small_frames():
    """Frames of 2 atoms and more are split; the setting is given back afterwards."""
    threshold = _atomkit._set_parallel_threshold(2)
    threads = _atomkit.get_threads()
    yield
    _atomkit._set_parallel_threshold(threshold)
    _atomkit.set_threads(threads)


def each_thread_count(call):
    """call() under every thread count, in order."""
    results = []
    for n in THREAD_COUNTS:
        _atomkit.set_threads(n)
        results.append(call())
    return results


def outcome(call, *args):
    try:
        return call(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error).__name__, str(error), getattr(error, "__notes__", None)


def same(a, b):
    """Two outcomes of a reader are the same: equal columns (and end), or the same error."""
    if isinstance(a, dict):
        columns_equal(a, b)
    elif isinstance(a[0], dict):
        columns_equal(a[0], b[0])
        assert a[1] == b[1]
    else:
        assert a == b


@st.composite
def frames(draw):
    natoms = draw(st.integers(2, 120))
    # Symbols are written with no separator before them: first, so that the text reads back.
    codes = draw(st.sampled_from([b"", b"s"])) + draw(st.lists(st.sampled_from(b"fffiib"), max_size=9).map(bytes))
    codes = codes or b"s"
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    nf, ni, nb = (codes.count(c) for c in b"fib")
    # Fields of the usual width, with some wider ones (or none) anywhere.
    unusual = draw(st.sampled_from([0.0, 0.03, 0.5]))
    floats = np.where(rng.random((natoms, nf)) < unusual, rng.choice(FLOATS, size=(natoms, nf)),
                      rng.uniform(-999.0, 999.0, size=(natoms, nf)))
    ints = np.where(rng.random((natoms, ni)) < unusual, rng.choice(INTS, size=(natoms, ni)),
                    rng.integers(-999, 999, size=(natoms, ni))).astype(np.int64)
    return (symbols(*rng.choice(SPECIES, natoms)), draw(st.sampled_from([0, 2, 3, 20])), floats, ints,
            rng.integers(0, 2, (natoms, nb), dtype=np.uint8), codes)


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(frames())
def test_every_thread_count_writes_and_reads_the_same(frame):
    texts = each_thread_count(lambda: _atomkit.write_atoms_rs(*frame))
    assert all(text == texts[0] for text in texts)
    assert each_thread_count(lambda: _atomkit.write_atoms_bytes_rs(*frame)) == [texts[0].encode()] * len(THREAD_COUNTS)
    codes = frame[-1]
    data = ("comment\n" + texts[0] + "next\n").encode()
    natoms = len(frame[0])
    blocks = each_thread_count(lambda: outcome(_atomkit.read_atom_block_rs, data, 8, natoms, codes))
    assert blocks[0][1] == len(data) - 5
    lines = each_thread_count(lambda: outcome(_atomkit.read_atom_lines_rs, texts[0].splitlines(), codes))
    for block, from_lines in zip(blocks, lines):
        same(block, blocks[0])
        same(from_lines, blocks[0][0])


def test_wide_fields_in_every_range():
    natoms = 64
    floats = np.full((natoms, 6), 1.25)
    floats[::7, 2] = 1.5e300  # about 300 characters
    floats[5:9, :] = -1e6
    ints = np.full((natoms, 1), 2**62, np.int64)
    sym = symbols(*(["H"] * (natoms - 2) + ["Ωmega", "X" * 40]))
    args = (sym, 2, floats, ints, np.ones((natoms, 1), np.uint8), b"sffffffib")
    texts = each_thread_count(lambda: _atomkit.write_atoms_rs(*args))
    assert texts == [texts[0]] * len(THREAD_COUNTS)
    line = "%-2s" + " %16.8f" * 6 + " %8d" + "  T\n"
    names = ["H"] * (natoms - 2) + ["Ωmega", "X" * 40]
    assert texts[0] == "".join(line % (names[i], *floats[i], ints[i, 0]) for i in range(natoms))


def test_equal_species_share_one_str():
    natoms = 3000
    names = np.array(["H", "C", "N", "O", "Si", "Fe"])[np.random.default_rng(1).integers(0, 6, natoms)]
    data = _atomkit.write_atoms_bytes_rs(symbols(*names), 2, np.zeros((natoms, 1)), np.zeros((natoms, 0), np.int64),
                                         np.zeros((natoms, 0), np.uint8), b"sf")
    for columns in each_thread_count(lambda: _atomkit.read_atom_block_rs(data, 0, natoms, b"sf")[0]):
        column = columns["strs"][0]
        assert column == names.tolist()
        assert len({id(s) for s in column}) == 6


def bad_frame(natoms, bad_rows, how):
    lines = [f"H {r}.5 {r} T" for r in range(natoms)]
    for r in bad_rows:
        lines[r] = {"float": f"H {r}.5x {r} T", "int": f"H 1.0 {r}{r}z T", "short": "H 1.0",
                    "utf8": "H\udcff 1.0 1 T", "bool": "H 1.0 1 maybe"}[how]
    return lines


def block_bytes(lines):
    return "\n".join(lines).encode("utf-8", "surrogateescape")


@pytest.mark.parametrize("how", ["float", "int", "short", "utf8", "bool"])
def test_a_bad_row_in_any_range_gives_the_one_thread_error(how):
    natoms = 24
    for bad in range(natoms):
        lines = bad_frame(natoms, [bad], how)
        data = block_bytes(lines)
        found = each_thread_count(lambda: outcome(_atomkit.read_atom_block_rs, data, 0, natoms, b"sfib"))
        assert found == [found[0]] * len(THREAD_COUNTS)
        assert found[0][1].startswith(f"row {bad}: ")
        if how != "utf8":
            found = each_thread_count(lambda: outcome(_atomkit.read_atom_lines_rs, lines, b"sfib"))
            assert found == [found[0]] * len(THREAD_COUNTS) and found[0][1].startswith(f"row {bad}: ")


def test_the_lowest_of_several_bad_rows_wins():
    natoms = 40
    for rows in ([3, 35], [12, 30], [20, 21], [39, 0], [30, 10, 25]):
        lines = bad_frame(natoms, rows, "float")
        lines[max(rows)] = "H 1.0"  # a different failure further on
        for call, args in ((_atomkit.read_atom_block_rs, (block_bytes(lines), 0, natoms, b"sfib")),
                           (_atomkit.read_atom_lines_rs, (lines, b"sfib"))):
            found = each_thread_count(lambda: outcome(call, *args))
            assert found == [found[0]] * len(THREAD_COUNTS)
            assert found[0][1].startswith(f"row {min(rows)}: ")


def test_data_that_ends_early_or_odd_line_ends():
    natoms = 30
    lines = [f"He {r} {r}.25" for r in range(natoms)]
    cases = [("\r\n".join(lines).encode(), natoms), ("\n".join(lines).encode(), natoms + 5),
             (("\n".join(lines[:10]) + "\n\n\n" + "\n".join(lines[10:]) + "\n").encode(), natoms),
             (("\n".join(lines) + "\n" + "\n".join(lines)).encode(), natoms + 3)]
    for data, n in cases:
        found = each_thread_count(lambda: outcome(_atomkit.read_atom_block_rs, data, 0, n, b"sif"))
        for x in found:
            same(x, found[0])


def test_writer_failures_are_the_one_thread_failures():
    natoms = 30
    sym = symbols(*["H"] * natoms)
    cases = [
        (sym, 2, np.zeros((natoms - 7, 1)), np.zeros((natoms, 0), np.int64), np.zeros((natoms, 0), np.uint8), b"sf"),
        (sym, 2, np.zeros((natoms, 1)), np.zeros((3, 1), np.int64), np.zeros((natoms, 0), np.uint8), b"sfi"),
        (sym, 70000, np.zeros((natoms, 1)), np.zeros((natoms, 0), np.int64), np.zeros((natoms, 0), np.uint8), b"sf"),
    ]
    for args in cases:
        found = each_thread_count(lambda: outcome(_atomkit.write_atoms_rs, *args))
        assert found == [found[0]] * len(THREAD_COUNTS) and found[0][0] == "PanicException"
        assert each_thread_count(lambda: outcome(_atomkit.write_atoms_bytes_rs, *args)) == found


def big_frame(natoms=5000, seed=0):
    rng = np.random.default_rng(seed)
    return (symbols(*np.array(["H", "C", "Ω"])[rng.integers(0, 3, natoms)]), 2, rng.normal(size=(natoms, 3)) * 100,
            rng.integers(-1000, 1000, (natoms, 1)), rng.integers(0, 2, (natoms, 1), dtype=np.uint8), b"sfffib")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# AddressSanitizer's allocator does not reset its locks in a forked child: a child forked while
# another thread allocates hangs in its first allocation (glibc's malloc is safe there).
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="fork under AddressSanitizer")
def test_a_forked_child_calls_in():
    frame = big_frame()
    _atomkit.set_threads(1)
    expected = _atomkit.write_atoms_rs(*frame)
    _atomkit.set_threads(3)
    assert _atomkit.write_atoms_rs(*frame) == expected  # the parent's pool is made
    data = expected.encode()
    # A thread keeps the parent's pool busy while the children are forked.
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            _atomkit.read_atom_block_rs(data, 0, len(frame[0]), frame[-1])

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        for _ in range(3):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
                pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    ok = _atomkit.write_atoms_rs(*frame) == expected
                    columns, _ = _atomkit.read_atom_block_rs(data, 0, len(frame[0]), frame[-1])
                    ok = ok and np.array_equal(columns["floats"], np.round(frame[2], 8))
                    _atomkit.set_threads(2)
                    ok = ok and _atomkit.write_atoms_bytes_rs(*frame) == data
                    status = 0 if ok else 1
                finally:
                    os._exit(status)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
    finally:
        stop.set()
        worker.join()


def test_many_python_threads_at_once():
    frames_ = [big_frame(800 + 50 * k, seed=k) for k in range(4)]
    _atomkit.set_threads(1)
    expected = [_atomkit.write_atoms_rs(*f) for f in frames_]
    blocks = [text.encode() for text in expected]
    reads = [_atomkit.read_atom_block_rs(b, 0, len(f[0]), f[-1])[0] for b, f in zip(blocks, frames_)]
    bad = blocks[1].replace(b"\n", b"\nH x\n", 1)
    bad_error = outcome(_atomkit.read_atom_block_rs, bad, 0, len(frames_[1][0]), frames_[1][-1])
    _atomkit.set_threads(3)
    failures = []
    stop = threading.Event()

    def caller(k):
        f, text, data, columns = frames_[k % 4], expected[k % 4], blocks[k % 4], reads[k % 4]
        try:
            while not stop.is_set():
                assert _atomkit.write_atoms_rs(*f) == text
                assert _atomkit.write_atoms_bytes_rs(*f) == data
                columns_equal(_atomkit.read_atom_block_rs(data, 0, len(f[0]), f[-1])[0], columns)
                columns_equal(_atomkit.read_atom_lines_rs(text.splitlines(), f[-1]), columns)
                assert outcome(_atomkit.read_atom_block_rs, bad, 0, len(frames_[1][0]), frames_[1][-1]) == bad_error
        except BaseException as error:  # noqa: BLE001
            failures.append(error)
            stop.set()

    def resizer():
        while not stop.is_set():
            for n in (2, 3, 8, 1, 3):
                _atomkit.set_threads(n)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=caller, args=(k,)) for k in range(8)] + [threading.Thread(target=resizer)]
        for t in threads:
            t.start()
        stop.wait(race_seconds(2.0))
        stop.set()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[0]


def test_the_threads_setting():
    for n in (1, 2, 5, 1024):
        _atomkit.set_threads(n)
        assert _atomkit.get_threads() == n
    atomkit.set_threads(2)
    assert atomkit.get_threads() == 2 and atomkit.set_threads is _atomkit.set_threads
    for bad in (0, -1, 1025, 2**70):
        with pytest.raises(ValueError, match=r"^set_threads: n must be a whole number from 1 to 1024, not -?\d+$"):
            _atomkit.set_threads(bad)
    for bad in ("2", 2.0, None):
        with pytest.raises(TypeError, match="^argument 'n': "):
            _atomkit.set_threads(bad)
    with pytest.raises(TypeError, match=r"set_threads\(\) missing 1 required positional argument: 'n'"):
        _atomkit.set_threads()
    with pytest.raises(TypeError, match=r"get_threads\(\) takes 0 positional arguments but 1 was given"):
        _atomkit.get_threads(1)
    assert _atomkit.get_threads() == 2


@pytest.mark.parametrize("value, expected", [("3", 3), ("1", 1), ("0", None), ("lots", None), ("", None)])
def test_the_environment_sets_the_first_count(value, expected):
    code = "import _atomkit; print(_atomkit.get_threads())"
    env = dict(os.environ, ATOMKIT_NUM_THREADS=value)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert int(out.stdout) == (expected if expected is not None else len(os.sched_getaffinity(0)))


def test_the_bytes_writer_raises_what_the_str_writer_raises():
    sym = symbols("H", "O")
    f, i, b = np.zeros((2, 1)), np.zeros((2, 1), np.int64), np.zeros((2, 1), np.uint8)
    cases = [
        (sym, 2, f, i, b, b"sfib"),
        (sym, -1, f, i, b, b"sfib"),
        (sym, 2, f.astype(np.float32), i, b, b"sfib"),
        (sym, 2, f, i, b.view(np.bool_), b"sfib"),
        (sym, 2, f, i, b, "sfib"),
        (sym, 2, f, i, b, [256]),
        (sym, 2, f[:1], i, b, b"sfib"),
        (sym, 70000, f, i, b, b"s"),
        (sym, 2, f, i, b),
    ]
    for args in cases:
        text = outcome(_atomkit.write_atoms_rs, *args)
        data = outcome(_atomkit.write_atoms_bytes_rs, *args)
        if isinstance(text, str):
            assert data == text.encode()
        else:
            assert data == (text[0], text[1].replace("write_atoms_rs", "write_atoms_bytes_rs"), text[2])
    assert _atomkit.write_atoms_bytes_rs(np.zeros((0, 1), np.uint32), 2, f[:0], i[:0], b[:0], b"sfib") == b""
    assert _atomkit.write_atoms_bytes_rs(symbols("Ω", "日本"), 3, f, i, b, b"s") == "Ω  \n日本 \n".encode()
