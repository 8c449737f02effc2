# Soak run of _atomkit: a million mixed calls on reused arguments, watching resident and
# traced memory, reference counts and borrows for anything that keeps growing.
#
#     python tests/soak.py [--calls N]
#
# Exits 1 with a "soak: FAIL" line when a call's outcome changes between repetitions, when
# memory keeps rising, when an argument's reference count moves, or when an array is left
# borrowed.
import argparse
import gc
import os
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _atomkit  # noqa: E402
from helpers import capture_panic, empty_matrices, symbols, write  # noqa: E402
from test_borrow_registry import Registry  # noqa: E402

W = _atomkit.write_atoms_rs
R = _atomkit.read_atom_lines_rs

# A leak shows as growth in every one of the last three intervals; smaller steps are the
# allocator's and the interpreter's own noise.
RSS_TOLERANCE = 256 << 10
TRACED_TOLERANCE = 64 << 10


class Raising:
    """An integer argument whose __index__ raises a new exception each time (a reused one
    would collect a traceback, and the frames in it, on every raise)."""

    def __init__(self, exc_type, message):
        self.exc_type, self.message = exc_type, message

    def __index__(self):
        raise self.exc_type(self.message)


def make_arguments(panic):
    """Every object the calls pass, created once so their reference counts can be watched."""
    rng = np.random.default_rng(7)
    n = 100
    names = ["H", "He", "Li", "Be", "B"] * (n // 5)
    a = {}
    a["sym"] = symbols(*names)
    a["sym_wide"] = symbols(*names, width=300)  # rows over 256 code points are measured
    a["sym_utf8"] = symbols(*["Ω", "日本", "é", "Fe", "😀x"] * (n // 5))
    a["sym_rev"] = a["sym"][::-1, ::-1]
    a["floats"] = rng.normal(size=(n, 6)) * 1e3
    a["floats_f"] = np.asfortranarray(a["floats"])
    a["floats_step"] = rng.normal(size=(2 * n, 6))[::2, ::2]
    a["floats_short"] = a["floats"][: n - 1]
    a["ints"] = rng.integers(-(2**62), 2**62, size=(n, 2))
    a["ints_neg"] = a["ints"][:, ::-1]
    a["bools"] = rng.integers(0, 2, size=(n, 2), dtype=np.uint8)
    a["held"] = np.zeros((n, 6))  # exclusively borrowed elsewhere for the whole loop
    a["sym1"] = symbols("H")
    a["f0"], a["i0"], a["b0"] = empty_matrices()
    a["sym_none"] = np.zeros((0, 2), np.uint32)
    a["f_none"], a["i_none"], a["b_none"] = np.zeros((0, 6)), np.zeros((0, 2), np.int64), np.zeros((0, 2), np.uint8)
    a["f32"] = a["floats"].astype(np.float32)
    a["i32"] = a["ints"].astype(np.int32)
    a["b_bool"] = a["bools"].astype(np.bool_)
    a["sym_i32"] = a["sym"].view(np.int32)
    a["f_1d"] = np.zeros(n)
    a["f_3d"] = np.zeros((n, 6, 1))
    a["f_list"] = [[0.0] * 6] * 3
    a["f_mview"] = memoryview(np.zeros((n, 6)))
    a["types"] = b"sffffffiibb"
    a["types_array"] = bytearray(b"sfffffi")
    a["types_list"] = [115, 102, 102, 105, 98]
    a["types_short"] = [115, 102, 102]
    a["types_str"] = "sfib"
    a["types_300"] = [115, 300]
    a["types_neg"] = [-1]
    a["types_float"] = [102.0]
    a["types_gen"] = (c for c in b"f")
    a["types_dict"] = {1: 2}
    a["types_beyond"] = b"sf" + b"f" * 20
    a["width_neg"], a["width_float"], a["width_big"] = -1, 2.0, 70000
    a["width_type_error"] = Raising(TypeError, "no width")
    a["width_panic"] = Raising(panic, "from __index__")
    block = W(a["sym"], 2, a["floats"], a["ints"], a["bools"], a["types"])
    a["lines"] = block.splitlines()
    a["lines_utf8"] = W(a["sym_utf8"], 3, a["floats"], a["ints"], a["bools"], a["types"]).splitlines()
    a["lines_tuple"] = tuple(a["lines"][:10])
    for where, row in (("first", 0), ("middle", n // 2), ("last", n - 1)):
        bad = list(a["lines"])
        bad[row] = bad[row].replace(".", "x", 1)
        a[f"lines_bad_{where}"] = bad
    a["lines_short"] = a["lines"][:-1] + ["H 1.0"]
    a["lines_quoted"] = ["1 2", "a\x00b\u3000c\U0010ffff 1"]
    a["lines_bytes"] = [b"H 1 2 3"]
    a["lines_str"] = "H 1 2"
    a["lines_int"] = ["H", 1]
    return a


def make_calls(a):
    """(name, expected outcome, function, positional and keyword arguments) of each call."""
    t = a["types"]
    return [
        # successes
        ("write", "ok", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], t), {}),
        ("write keywords", "ok", W, (), dict(col_types=t, bool_mat=a["bools"], int_mat=a["ints"],
                                             float_mat=a["floats"], sym_width=2, sym_codepoints=a["sym"])),
        ("write wide symbols", "ok", W, (a["sym_wide"], 4, a["floats"], a["ints"], a["bools"], b"sfsi"), {}),
        ("write non-ASCII", "ok", W, (a["sym_utf8"], 3, a["floats"], a["ints"], a["bools"], t), {}),
        ("write reversed symbols", "ok", W, (a["sym_rev"], 2, a["floats"], a["ints"], a["bools"], b"sfib"), {}),
        ("write Fortran order", "ok", W, (a["sym"], 0, a["floats_f"], a["ints_neg"], a["bools"], a["types_array"]), {}),
        ("write strided", "ok", W, (a["sym"], 2, a["floats_step"], a["ints"], a["bools"], a["types_list"]), {}),
        ("write one atom", "ok", W, (a["sym1"], 5, a["f0"], a["i0"], a["b0"], b"s"), {}),
        ("write no atoms", "ok", W, (a["sym_none"], 2, a["f_none"], a["i_none"], a["b_none"], t), {}),
        ("read", "ok", R, (a["lines"], t), {}),
        ("read non-ASCII", "ok", R, (a["lines_utf8"], a["types_short"]), {}),
        ("read tuple", "ok", R, (a["lines_tuple"], b"sxfxfxfx"), {}),
        ("read keywords", "ok", R, (), dict(col_types=t, lines=a["lines"])),
        # binding
        ("write too many", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], t, t), {}),
        ("write missing", "TypeError", W, (a["sym"], 2, a["floats"]), {}),
        ("write unexpected keyword", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"]), dict(colTypes=t)),
        ("write multiple values", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], t), dict(sym_width=2)),
        ("read too many", "TypeError", R, (a["lines"], t, t), {}),
        ("read missing", "TypeError", R, (), {}),
        ("read unexpected keyword", "TypeError", R, (a["lines"],), dict(types=t)),
        ("read multiple values", "TypeError", R, (a["lines"], t), dict(lines=a["lines"])),
        # conversions
        ("sym_width -1", "OverflowError", W, (a["sym"], a["width_neg"], a["floats"], a["ints"], a["bools"], t), {}),
        ("sym_width 2.0", "TypeError", W, (a["sym"], a["width_float"], a["floats"], a["ints"], a["bools"], t), {}),
        ("sym_width __index__ TypeError", "TypeError", W, (a["sym"], a["width_type_error"], a["floats"], a["ints"], a["bools"], t), {}),
        ("float32", "TypeError", W, (a["sym"], 2, a["f32"], a["ints"], a["bools"], t), {}),
        ("int32", "TypeError", W, (a["sym"], 2, a["floats"], a["i32"], a["bools"], t), {}),
        ("bool_", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["b_bool"], t), {}),
        ("int32 symbols", "TypeError", W, (a["sym_i32"], 2, a["floats"], a["ints"], a["bools"], t), {}),
        ("1-D", "TypeError", W, (a["sym"], 2, a["f_1d"], a["ints"], a["bools"], t), {}),
        ("3-D", "TypeError", W, (a["sym"], 2, a["f_3d"], a["ints"], a["bools"], t), {}),
        ("list matrix", "TypeError", W, (a["sym"], 2, a["f_list"], a["ints"], a["bools"], t), {}),
        ("memoryview", "TypeError", W, (a["sym"], 2, a["f_mview"], a["ints"], a["bools"], t), {}),
        ("col_types str", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], a["types_str"]), {}),
        ("col_types 300", "OverflowError", R, (a["lines"], a["types_300"]), {}),
        ("col_types -1", "OverflowError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], a["types_neg"]), {}),
        ("col_types float item", "TypeError", R, (a["lines"], a["types_float"]), {}),
        ("col_types generator", "TypeError", R, (a["lines"], a["types_gen"]), {}),
        ("col_types dict", "TypeError", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], a["types_dict"]), {}),
        ("lines bytes", "TypeError", R, (a["lines_bytes"], b"sfff"), {}),
        ("lines str", "TypeError", R, (a["lines_str"], b"s"), {}),
        ("lines int item", "TypeError", R, (a["lines_int"], b"s"), {}),
        # bad lines
        ("bad first row", "ValueError", R, (a["lines_bad_first"], t), {}),
        ("bad middle row", "ValueError", R, (a["lines_bad_middle"], t), {}),
        ("bad last row", "ValueError", R, (a["lines_bad_last"], t), {}),
        ("short last row", "ValueError", R, (a["lines_short"], t), {}),
        ("quoted token", "ValueError", R, (a["lines_quoted"], b"ff"), {}),
        # internal failures
        ("float_mat a row short", "PanicException", W, (a["sym"], 2, a["floats_short"], a["ints"], a["bools"], t), {}),
        ("sym_width 70000", "PanicException", W, (a["sym"], a["width_big"], a["floats"], a["ints"], a["bools"], t), {}),
        ("codes beyond the columns", "PanicException", W, (a["sym"], 2, a["floats"], a["ints"], a["bools"], a["types_beyond"]), {}),
        ("panic from __index__", "PanicException", W, (a["sym"], a["width_panic"], a["floats"], a["ints"], a["bools"], t), {}),
        ("exclusively borrowed", "PanicException", W, (a["sym"], 2, a["held"], a["ints"], a["bools"], t), {}),
    ]


def outcome(function, args, kwargs):
    """What a call gives: its result, or the type and arguments of what it raised."""
    try:
        return function(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - the mix includes PanicException
        return (type(e), e.args)


def kind(result):
    return "ok" if isinstance(result, (str, dict)) else result[0].__name__


def same(x, y):
    if isinstance(x, dict) and isinstance(y, dict):
        return x.keys() == y.keys() and all(
            np.array_equal(x[k], y[k]) and x[k].dtype == y[k].dtype if k != "strs" else x[k] == y[k] for k in x)
    return type(x) is type(y) and x == y


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def keeps_rising(values, tolerance):
    """Whether each of the last three steps grew by more than `tolerance`."""
    steps = np.diff(values[-4:])
    return len(steps) == 3 and bool((steps > tolerance).all())


def stderr_to_devnull():
    """Sends fd 2 to /dev/null; returns what gives it back."""
    sys.stderr.flush()
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)

    def restore():
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
    return restore


def soak(total, calls, watched):
    """Runs `total` calls of the mix, printing and returning the figures of each checkpoint
    and the names of calls whose outcome changed."""
    expected = [outcome(f, a, k) for _, _, f, a, k in calls]
    if wrong := [f"{c[0]} gave {kind(e)}" for c, e in zip(calls, expected) if kind(e) != c[1]]:
        raise SystemExit("soak: FAIL: unexpected outcomes: " + "; ".join(wrong))
    # Preallocated, so that recording a checkpoint allocates nothing that the next one traces.
    checkpoints = [total * q // 4 for q in range(5)]
    rss, traced = np.zeros(5, np.int64), np.zeros(5, np.int64)
    refcounts = np.zeros((5, len(watched)), np.int64)
    mismatches = {}
    done = 0
    started = time.perf_counter()
    for q, stop in enumerate(checkpoints):
        while done < stop:
            call = calls[done % len(calls)]
            if not same(outcome(*call[2:]), expected[done % len(calls)]):
                mismatches[call[0]] = mismatches.get(call[0], 0) + 1
            done += 1
        gc.collect()
        rss[q], traced[q] = rss_bytes(), tracemalloc.get_traced_memory()[0]
        refcounts[q] = [sys.getrefcount(value) for value in watched.values()]
        print(f"{25 * q:3d}% {done:>9d} calls {time.perf_counter() - started:7.1f} s  rss {rss[q] / 2**20:7.2f} MiB"
              f"  traced {traced[q] / 2**10:8.1f} KiB  refcounts {' '.join(map(str, refcounts[q]))}", flush=True)
    return time.perf_counter() - started, rss, traced, refcounts, mismatches


def main():
    parser = argparse.ArgumentParser(description="Soak run of _atomkit's two functions.")
    parser.add_argument("--calls", type=int, default=10**6)
    total = parser.parse_args().calls

    restore_stderr = stderr_to_devnull()  # PanicException writes a diagnostic to fd 2 each time
    try:
        args = make_arguments(type(capture_panic(write, symbols("H"), 70000, col_types=b"s")))
        calls = make_calls(args)
        reg = Registry()
        if reg.acquire_mut(args["held"]) != 0:
            raise SystemExit("soak: FAIL: could not hold float_mat exclusively")
        watched = {name: value for name, value in args.items() if type(value) not in (int, float)}
        print("refcount columns: " + " ".join(watched))
        tracemalloc.start()
        elapsed, rss, traced, refcounts, mismatches = soak(total, calls, watched)
        tracemalloc.stop()
        reg.release_mut(args["held"])
    finally:
        restore_stderr()

    print(f"{total} calls in {elapsed:.1f} s ({1e6 * elapsed / max(total, 1):.2f} us a call)")
    failures = [f"{name}: outcome changed in {count} of its repetitions" for name, count in mismatches.items()]
    if keeps_rising(rss, RSS_TOLERANCE) and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        # (ASan's quarantine holds freed memory for a while, so RSS says nothing there.)
        failures.append(f"resident memory keeps rising: {(rss >> 10).tolist()} KiB")
    if keeps_rising(traced, TRACED_TOLERANCE):
        failures.append(f"traced memory keeps rising: {(traced >> 10).tolist()} KiB")
    for name, counts in zip(watched, refcounts[1:].T):
        if len(set(counts.tolist())) > 1:
            failures.append(f"reference count of {name} changed from 25% on: {counts.tolist()}")
    for name, array in args.items():
        if isinstance(array, np.ndarray):
            if (status := reg.acquire_mut(array)) != 0:
                failures.append(f"{name} cannot be borrowed exclusively after the run (acquire_mut gave {status})")
            else:
                reg.release_mut(array)
    for line in failures:
        print(f"soak: FAIL: {line}")
    if failures:
        return 1
    print(f"soak: ok: {len(calls)} kinds of call, {len(watched)} arguments watched")
    return 0


if __name__ == "__main__":
    sys.exit(main())
