# `make demo`: writes and reads back a 10-frame, 100,000-atom extended XYZ trajectory with
# the host in extxyz.py, checks the round trip, and times atomkit against the Python loops.
import gc
import io
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import _atomkit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import extxyz  # noqa: E402

NATOMS = 100_000
NFRAMES = 10
SPECIES = {"Si": 0.30, "O": 0.45, "H": 0.12, "C": 0.07, "N": 0.04, "Fe": 0.02}
# A slightly sheared cell of about 0.1 atoms per cubic angstrom, like a dense oxide.
LATTICE = np.array([[100.0, 0.0, 0.0], [4.0, 98.0, 0.0], [-3.0, 2.5, 102.0]])
LAYERS = 10
# Float fields have 8 decimals: the text is within 5e-9 of the value, and reading it back
# adds at most rounding to the nearest double.
DECIMALS_BOUND = 5e-9


def say(*parts, end="\n"):
    print(*parts, end=end, flush=True)


def build_structure(rng):
    symbols = rng.choice(np.array(list(SPECIES)), size=NATOMS, p=list(SPECIES.values()))
    fractional = rng.random((NATOMS, 3))
    positions = fractional @ LATTICE
    tags = np.minimum((fractional[:, 2] * LAYERS).astype(np.int64), LAYERS - 1)  # slab layer
    fixed = tags == 0  # the bottom layer is held in place
    return symbols, positions, tags, fixed


def make_frames(rng, positions, fixed):
    """Small thermal displacements from frame to frame; fixed atoms feel forces but never move."""
    frames, current = [], positions.copy()
    for _ in range(NFRAMES):
        forces = rng.normal(0.0, 0.8, (NATOMS, 3))
        frames.append({"pos": current.copy(), "forces": forces})
        step = rng.normal(0.0, 0.02, (NATOMS, 3))
        step[fixed] = 0.0
        current += step
    return frames


def median_seconds(function, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def check_frame(index, frame, symbols, written, tags, fixed):
    """Mismatches of one read frame against what was written (empty when it round-trips)."""
    problems = []
    if not np.array_equal(frame.symbols, symbols):
        problems.append("species differ")
    if not np.array_equal(frame.arrays["tag"], tags):
        problems.append("tags differ")
    if frame.arrays["fixed"].dtype != np.bool_ or not np.array_equal(frame.arrays["fixed"], fixed):
        problems.append("fixed flags differ")
    if list(frame.arrays) != ["pos", "forces", "tag", "fixed"]:
        problems.append(f"columns are {list(frame.arrays)}")
    if not np.array_equal(frame.lattice, LATTICE) or frame.pbc != (True, True, True):
        problems.append("lattice or pbc differ")
    if frame.info != {"frame": index, "time_fs": index * 0.5}:
        problems.append(f"info is {frame.info}")
    errors = {}
    for name in ("pos", "forces"):
        expected, got = written[name], frame.arrays[name]
        error = np.abs(got - expected)
        errors[name] = float(error.max())
        if got.shape != expected.shape or (error > DECIMALS_BOUND + 2 * np.spacing(np.abs(expected))).any():
            problems.append(f"{name} off by up to {errors[name]:.3g}")
    return problems, errors


def write_file(path, frames, symbols, tags, fixed, atom_block, progress=False):
    start = time.perf_counter()
    with open(path, "w", encoding="utf-8") as f:
        for index, frame in enumerate(frames):
            extxyz.write_frame(f, symbols, {**frame, "tag": tags, "fixed": fixed}, LATTICE,
                               info={"frame": index, "time_fs": index * 0.5}, atom_block=atom_block)
            if progress:
                say(f" {index + 1}", end="")
    return time.perf_counter() - start


def read_file(path, atom_lines, progress=False):
    start = time.perf_counter()
    read = []
    with open(path, encoding="utf-8") as f:
        for frame in extxyz.read_frames(f, atom_lines=atom_lines):
            read.append(frame)
            if progress:
                say(f" {len(read)}", end="")
    return time.perf_counter() - start, read


def same_bytes(path_a, path_b, chunk=1 << 24):
    with open(path_a, "rb") as a, open(path_b, "rb") as b:
        while True:
            block_a, block_b = a.read(chunk), b.read(chunk)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def time_one_frame(symbols, frame, tags, fixed, failures):
    """(label, atomkit seconds, Python loop seconds) for the module calls alone and for the
    host's whole frame in memory; also checks that both sides give the same results."""
    natoms = len(symbols)
    sym = np.asarray(symbols, dtype="U").view(np.uint32).reshape(natoms, -1)
    block_args = (sym, extxyz.SYMBOL_WIDTH, np.hstack([frame["pos"], frame["forces"]]),
                  tags.reshape(-1, 1), fixed.view(np.uint8).reshape(-1, 1),
                  extxyz.col_types_of("species:S:1:pos:R:3:forces:R:3:tag:I:1:fixed:L:1"))
    col_types = block_args[-1]
    block = _atomkit.write_atoms_rs(*block_args)
    lines = block.splitlines(keepends=True)
    # The two sides must agree exactly before their times mean anything.
    if extxyz.write_atoms_loop(*block_args) != block:
        failures.append("write_atoms_loop and write_atoms_rs give different text")
    ours, loop = _atomkit.read_atom_lines_rs(lines, col_types), extxyz.read_atom_lines_loop(lines, col_types)
    if ours["strs"] != loop["strs"] or any(not np.array_equal(ours[k], loop[k]) for k in ("floats", "ints", "bools")):
        failures.append("read_atom_lines_loop and read_atom_lines_rs give different values")

    arrays = {**frame, "tag": tags, "fixed": fixed}
    text = io.StringIO()
    extxyz.write_frame(text, symbols, arrays, LATTICE)
    text.seek(0)  # one buffer for every run, so that building it is not timed

    def host_write(atom_block):
        extxyz.write_frame(io.StringIO(), symbols, arrays, LATTICE, atom_block=atom_block)

    def host_read(atom_lines):
        text.seek(0)
        for _ in extxyz.read_frames(text, atom_lines=atom_lines):
            pass

    rows = [
        ("atom lines: format", lambda: _atomkit.write_atoms_rs(*block_args),
         lambda: extxyz.write_atoms_loop(*block_args)),
        ("atom lines: parse", lambda: _atomkit.read_atom_lines_rs(lines, col_types),
         lambda: extxyz.read_atom_lines_loop(lines, col_types)),
        ("write_frame, in memory", lambda: host_write(_atomkit.write_atoms_rs),
         lambda: host_write(extxyz.write_atoms_loop)),
        ("read_frames, in memory", lambda: host_read(_atomkit.read_atom_lines_rs),
         lambda: host_read(extxyz.read_atom_lines_loop)),
    ]
    return [(label, median_seconds(fast, 5), median_seconds(slow, 3)) for label, fast, slow in rows]


def main():
    total_start = time.perf_counter()
    rng = np.random.default_rng(2024)
    mix = ", ".join(f"{name} {weight:.0%}" for name, weight in SPECIES.items())
    say(f"atomkit demo: an extended XYZ trajectory of {NFRAMES} frames x {NATOMS:,} atoms, "
        "written and read back through examples/extxyz.py")

    say(f"[1/5] building the structure: {mix}; a sheared periodic cell of "
        f"{abs(np.linalg.det(LATTICE)):,.0f} A^3; forces; tag = slab layer 0..{LAYERS - 1}; "
        "layer 0 fixed ... ", end="")
    start = time.perf_counter()
    symbols, positions, tags, fixed = build_structure(rng)
    frames = make_frames(rng, positions, fixed)
    counts = {name: int((symbols == name).sum()) for name in SPECIES}
    say(f"done ({time.perf_counter() - start:.2f} s)")
    say("      atoms per species: " + ", ".join(f"{n} {c:,}" for n, c in counts.items())
        + f"; fixed: {int(fixed.sum()):,}")

    failures = []
    with tempfile.TemporaryDirectory(prefix="atomkit-demo-") as directory:
        path = os.path.join(directory, "trajectory.xyz")
        say(f"[2/5] writing {path}: frame", end="")
        write_seconds = write_file(path, frames, symbols, tags, fixed, _atomkit.write_atoms_rs, progress=True)
        size = os.path.getsize(path)
        say(f" ... done ({write_seconds:.2f} s)")
        with open(path, encoding="utf-8") as f:
            head = [next(f).rstrip("\n") for _ in range(3)]
        say(f"      file size: {size:,} bytes ({size / 2**20:.1f} MiB), {NFRAMES * (NATOMS + 2):,} lines; "
            "the first three:")
        for line in head:
            say("      | " + line)

        say("[3/5] reading it back: frame", end="")
        read_seconds, read = read_file(path, _atomkit.read_atom_lines_rs, progress=True)
        say(f" ... done ({read_seconds:.2f} s)")

        say("[4/5] checking the round trip: species, tag and fixed exactly; pos and forces "
            f"within {DECIMALS_BOUND:g} (8 written decimals) ... ", end="")
        if len(read) != NFRAMES:
            failures.append(f"read {len(read)} frames, wrote {NFRAMES}")
        worst = {"pos": 0.0, "forces": 0.0}
        for index, (frame, written) in enumerate(zip(read, frames)):
            problems, errors = check_frame(index, frame, symbols, written, tags, fixed)
            failures += [f"frame {index}: {p}" for p in problems]
            worst = {name: max(worst[name], errors[name]) for name in worst}
        say("ok" if not failures else "FAILED")
        say(f"      largest differences: pos {worst['pos']:.2e}, forces {worst['forces']:.2e}")
        del read

        say("[5/5] timing atomkit against the Python loops it replaces: one frame ... ", end="")
        timings = time_one_frame(symbols, frames[0], tags, fixed, failures)
        say("the whole file ... ", end="")
        loop_path = os.path.join(directory, "trajectory-loops.xyz")
        loop_write_seconds = write_file(loop_path, frames, symbols, tags, fixed, extxyz.write_atoms_loop)
        if not same_bytes(path, loop_path):
            failures.append("the file written with the Python loop differs from the one written with atomkit")
        loop_read_seconds, _ = read_file(path, extxyz.read_atom_lines_loop)
        say("done")

    say("")
    say(f"one frame of {NATOMS:,} atoms, columns s f f f f f f i b (median of 5 runs for atomkit, "
        "3 for the Python loop):")
    table = timings + [
        (f"write the {NFRAMES}-frame file", write_seconds, loop_write_seconds),
        (f"read the {NFRAMES}-frame file", read_seconds, loop_read_seconds),
    ]
    say(f"  {'':<30}{'atomkit':>11}{'Python loop':>14}{'speed-up':>10}")
    for k, (label, fast, slow) in enumerate(table):
        if k == len(timings):
            say(f"all {NFRAMES} frames through the host, to and from a file on disk (one run each):")
        say(f"  {label:<30}{fast * 1e3:>8.1f} ms{slow * 1e3:>11.1f} ms{slow / fast:>9.1f}x")
    say("(\"atom lines\" is the module call alone; the host rows add the count and comment lines,"
        " stacking the columns, splitting the file into lines and the file I/O, which both sides"
        " pay alike)")
    say(f"total demo time: {time.perf_counter() - total_start:.1f} s")

    if failures:
        say("\nFAILED:")
        for failure in failures:
            say("  " + failure)
        return 1
    say("\nok: every value of every frame came back as written, and both sides agree byte for byte")
    return 0


if __name__ == "__main__":
    sys.exit(main())
