# read_atom_block_rs: atom lines straight from bytes. The same columns and messages as
# read_atom_lines_rs on the same lines, line ends and offsets, every buffer type, and the
# interpreter lock let go during a long parse.
import mmap
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from _atomkit import read_atom_block_rs, read_atom_lines_rs
from helpers import examples, race_seconds

CODES = b"sfffib"
LINES = ["H 0.0 1.5 -2.25 7 T", "O 1e3 .5 -0 -8 F", "Si 3 4 5 9 True"]


def columns_equal(a, b):
    assert a.keys() == b.keys()
    for key in ("floats", "ints", "bools"):
        assert a[key].dtype == b[key].dtype and a[key].shape == b[key].shape
        assert a[key].tobytes() == b[key].tobytes()
    assert a["strs"] == b["strs"]


def outcome(call, *args):
    try:
        return call(*args), None
    except ValueError as e:
        return None, str(e)


@pytest.mark.parametrize("end", ["\n", "\r\n"])
@pytest.mark.parametrize("last_end", [True, False])
def test_block_equals_lines_and_reports_where_it_stopped(end, last_end):
    # Without a line end, the last line ends where the data does.
    text = end.join(LINES) + (end + "7\nnext frame\n" if last_end else "")
    data = ("garbage that is not a frame\n" + text).encode()
    offset = data.index(b"H 0.0")
    columns, stop = read_atom_block_rs(data, offset, 3, CODES)
    columns_equal(columns, read_atom_lines_rs(LINES, CODES))
    assert data[stop:] == (b"7\nnext frame\n" if last_end else b"")
    # Fewer rows stop after the row asked for.
    columns, stop = read_atom_block_rs(data, offset, 1, CODES)
    assert columns["strs"] == [["H"]] and data[stop:].startswith(LINES[1].encode())


@pytest.mark.parametrize("data, offset, natoms, codes, message", [
    (b"H 1\nO 2\n", 0, 3, b"sf", "row 2: expected 3 lines, the data ends"),
    (b"H 1\nO 2", 0, 3, b"sf", "row 2: expected 3 lines, the data ends"),
    (b"", 0, 1, b"", "row 0: expected 1 lines, the data ends"),
    (b"H 1\n", 5, 1, b"sf", "offset 5 is outside the data (4 bytes)"),
    (b"H 1\n", 2**63, 0, b"sf", "offset 9223372036854775808 is outside the data (4 bytes)"),
    (b"H 1\nO\n", 0, 2, b"sf", "row 1: expected 2 tokens, ran out"),
    (b"H 1\n\nO 2\n", 0, 2, b"sf", "row 1: expected 2 tokens, ran out"),
    (b"H\xff 1\n", 0, 1, b"sf", 'row 0: cannot parse "H\\x{ff}" as str: invalid UTF-8'),
    (b"H \xe2\x82\n", 0, 1, b"ss", 'row 0: cannot parse "\\x{e2}\\x{82}" as str: invalid UTF-8'),
    (b"H 1\xc0\n", 0, 1, b"sf", 'row 0: cannot parse "1\\x{c0}" as float: invalid float literal'),
    (b"H \xed\xa0\x80\n", 0, 1, b"ss", 'row 0: cannot parse "\\x{ed}\\x{a0}\\x{80}" as str: invalid UTF-8'),
])
def test_refusals_name_the_row(data, offset, natoms, codes, message):
    with pytest.raises(ValueError) as caught:
        read_atom_block_rs(data, offset, natoms, codes)
    assert str(caught.value) == message


def test_empty_blocks_and_skipped_tokens():
    columns, stop = read_atom_block_rs(b"abc\n", 4, 0, b"sf")
    assert stop == 4 and columns["floats"].shape == (0, 1) and columns["strs"] == [[]]
    # Lines are counted even when no code asks for a token, and extra tokens are ignored.
    columns, stop = read_atom_block_rs(b"x y\n\nz\nrest", 0, 3, b"")
    assert stop == 7 and columns["floats"].shape == (3, 0)
    assert read_atom_block_rs(b"1 junk 2 3\n", 0, 1, b"fxf")[0]["floats"].tolist() == [[1.0, 2.0]]
    assert read_atom_block_rs(b"\xc3\xa9 1\n", 0, 1, b"sf")[0]["strs"] == [["\u00e9"]]


def test_every_buffer_type(tmp_path):
    text = ("\n".join(LINES) + "\n").encode()
    expected = read_atom_lines_rs(LINES, CODES)
    path = tmp_path / "frame.xyz"
    path.write_bytes(text)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for data in (text, bytearray(text), memoryview(text), memoryview(b"xx" + text)[2:], mapped):
            columns, stop = read_atom_block_rs(data, 0, 3, CODES)
            columns_equal(columns, expected)
            assert stop == len(text)
    # Refused in parameter order, before a bad offset is looked at.
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not 'str'$"):
        read_atom_block_rs(text.decode(), -1, 3, CODES)
    with pytest.raises(BufferError):  # not C-contiguous
        read_atom_block_rs(memoryview(text)[::2], -1, 1, CODES)


def run_python(code):
    # A crash fails the test instead of ending pytest; the child inherits any sanitizer.
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("make, grow", [
    ("bytearray(lines)", "data.extend(bytes(64 << 20))"),
    ("np.frombuffer(lines, np.uint8).copy()", "data.resize((64 << 20,), refcheck=False)"),
    ("ctypes.create_string_buffer(lines, len(lines))", "ctypes.resize(data, 64 << 20)"),
], ids=["bytearray", "numpy refcheck=False", "ctypes.resize"])
def test_data_moved_while_other_arguments_convert(make, grow):
    # The data is read as it stands once every argument is converted, never from memory
    # that the caller's __index__ freed.
    code = f"""
import ctypes, numpy as np, _atomkit
lines = b"H 1 2 3\\n" * 100_000
data = {make}
class Offset:
    def __index__(self):
        {grow}
        return 0
print(_atomkit.read_atom_block_rs(data, Offset(), 100_000, b"sfff")[1])
"""
    run = run_python(code)
    assert run.returncode == 0 and run.stdout == "800000\n", run.stderr[-3000:]


def test_a_count_no_data_can_hold_fails_as_the_data_ends():
    # A corrupt count line over wide rows: buffers follow the bytes, not the count, so the
    # call ends as a short file does and not in MemoryError. Under a sanitizer the process
    # maps terabytes of shadow memory, so the address-space limit is left out there.
    code = """
import os, resource, _atomkit
if "asan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
line = b" ".join([b"1"] * 2000) + b"\\n"
try:
    _atomkit.read_atom_block_rs(line * 2000, 0, 10**11, b"f" * 2000)
except ValueError as e:
    print(e)
"""
    run = run_python(code)
    assert run.returncode == 0 and run.stdout == "row 2000: expected 100000000000 lines, the data ends\n", run.stderr


line_text = st.lists(st.sampled_from(["H", "1", "-2.5", "1e3", "T", "False", "x", "\u00e9", "nan", "12x", "007"]),
                     max_size=6).map(" ".join)


@settings(deadline=None, max_examples=examples(300))
@given(st.lists(line_text, max_size=6), st.lists(st.sampled_from(b"sfibx"), max_size=5).map(bytes),
       st.sampled_from(["\n", "\r\n"]))
def test_same_columns_and_messages_as_the_line_reader(lines, codes, end):
    data = (end.join(lines) + end).encode() if lines else b""
    block, block_error = outcome(read_atom_block_rs, data, 0, len(lines), codes)
    listed, listed_error = outcome(read_atom_lines_rs, lines, codes)
    assert block_error == listed_error
    if listed is not None:
        columns_equal(block[0], listed)
        assert block[1] == len(data)


def big_block(natoms):
    rng = np.random.default_rng(3)
    lines = [f"Si {x:16.8f} {y:16.8f} {z:16.8f} {k:8d}  T" for x, y, z, k in
             zip(*rng.uniform(-50, 50, (3, natoms)), rng.integers(0, 100, natoms))]
    return ("\n".join(lines) + "\n").encode()


def test_the_lock_is_released_during_a_long_parse():
    data = big_block(300_000)
    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())

    parse_times = []
    thread = threading.Thread(target=count)
    thread.start()
    try:
        for _ in range(3):
            start = time.perf_counter()
            read_atom_block_rs(data, 0, 300_000, b"sfffib")
            parse_times.append((start, time.perf_counter()))
    finally:
        done.set()
        thread.join()
    # The counting thread ran while a parse was going on.
    assert any(start < t < stop for start, stop in parse_times for t in ticks)


@pytest.mark.parametrize("make, shrink", [
    ("np.frombuffer(lines, np.uint8).copy()", "data.resize((16,), refcheck=False); data.resize((len(lines),), refcheck=False)"),
    ("ctypes.create_string_buffer(lines, len(lines))", "ctypes.resize(data, len(lines) + (4 << 20)); ctypes.resize(data, len(lines) + (8 << 20))"),
])
def test_memory_another_thread_can_free_is_read_under_the_lock(make, shrink):
    # Exporters that free memory while it is exported are parsed without letting go of the
    # lock, so a thread that frees it waits for the parse.
    code = f"""
import ctypes, threading, numpy as np, _atomkit
lines = b"H 1 2 3\\n" * 300_000
data = {make}
done = threading.Event()
def churn():
    while not done.is_set():
        {shrink}
thread = threading.Thread(target=churn)
thread.start()
try:
    for _ in range(60):
        try:
            _atomkit.read_atom_block_rs(data, 0, 300_000, b"sfff")
        except ValueError:
            pass  # caught between two resizes: the bytes were garbled, not freed under the parse
finally:
    done.set()
    thread.join()
print("ok")
"""
    run = run_python(code)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr[-3000:]


def test_data_changing_under_the_parse_never_breaks_it():
    # Another thread rewrites the bytes while the lock is released: values may come out
    # garbled and a call may fail, but every result is well formed.
    data = bytearray(big_block(100_000))
    frozen = bytes(data)
    noise = bytes(np.random.default_rng(5).integers(0, 256, len(data), dtype=np.uint8))
    done = threading.Event()

    def scribble():
        while not done.is_set():
            data[:] = noise
            data[:] = frozen

    thread = threading.Thread(target=scribble)
    thread.start()
    try:
        deadline = time.perf_counter() + race_seconds(2.0)
        while time.perf_counter() < deadline:
            try:
                columns, stop = read_atom_block_rs(data, 0, 100_000, b"sfffis")
            except ValueError:
                continue
            assert 0 < stop <= len(data)
            for column in columns["strs"]:
                assert all(len(s.encode()) == len(s.encode("utf-8", "surrogatepass")) for s in column[:100])
    finally:
        done.set()
        thread.join()


def test_every_line_length_around_the_64_byte_steps():
    # The scanner reads 64 bytes at a time: tokens that end exactly at a line's end, at and
    # around multiples of 64, in lines and in blocks that end there.
    for length in range(1, 200):
        token = "7" * (length % 20 + 1)
        line = ("a " * length)[: max(0, length - len(token) - 1)] + " " + token
        line = line[-length:] if len(line) > length else line
        last = line.split()[-1]
        codes = b"x" * (len(line.split()) - 1) + b"s"
        assert read_atom_lines_rs([line], codes)["strs"] == [[last]], length
        columns, stop = read_atom_block_rs(line.encode(), 0, 1, codes)
        assert columns["strs"] == [[last]] and stop == len(line.encode()), length
        columns, stop = read_atom_block_rs((line + "\n").encode(), 0, 1, codes)
        assert columns["strs"] == [[last]] and stop == len(line) + 1, length
