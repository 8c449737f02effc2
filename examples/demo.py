# `make demo`: writes and reads back a 10-frame, 100,000-atom extended XYZ trajectory with
# atomkit, checks the round trip, and times it against plain Python loops: the same package
# writing on them, and a frame-by-frame reader in Python (the tests' walker) reading on them,
# counting the loops' calls so that the baseline is known to have run them.
import os
import sys
import tempfile
import time

import numpy as np

import atomkit

# The plain Python loops to time against live with the benchmarks, the reader in Python that
# reads on them with the tests.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(_HERE, "..", "bench"), os.path.join(_HERE, "..", "tests")]
import reference_walker  # noqa: E402
from machine import cpu_line  # noqa: E402
from python_loops import python_loops  # noqa: E402

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


def make_frames(rng, symbols, positions, tags, fixed):
    """Small thermal displacements from frame to frame; fixed atoms feel forces but never move."""
    frames, current = [], positions.copy()
    for index in range(NFRAMES):
        forces = rng.normal(0.0, 0.8, (NATOMS, 3))
        frames.append(atomkit.Frame(
            symbols=symbols, arrays={"pos": current.copy(), "forces": forces, "tag": tags, "fixed": fixed},
            lattice=LATTICE, pbc=(True, True, True),
            info={"frame": index, "time_fs": index * 0.5, "stress": rng.normal(0.0, 0.01, (3, 3))}))
        step = rng.normal(0.0, 0.02, (NATOMS, 3))
        step[fixed] = 0.0
        current += step
    return frames


def check_frame(frame, written):
    """Mismatches of one read frame against what was written (empty when it round-trips),
    and the largest differences of the float columns."""
    problems = []
    if not np.array_equal(frame.symbols, written.symbols):
        problems.append("species differ")
    if list(frame.arrays) != ["pos", "forces", "tag", "fixed"]:
        problems.append(f"columns are {list(frame.arrays)}")
    for name in ("tag", "fixed"):
        got, want = frame.arrays[name], written.arrays[name]
        if got.dtype != want.dtype or not np.array_equal(got, want):
            problems.append(f"{name} differs")
    if not np.array_equal(frame.lattice, LATTICE) or frame.pbc != (True, True, True):
        problems.append("lattice or pbc differ")
    info, want = frame.info, written.info
    if list(info) != list(want) or info["frame"] != want["frame"] or info["time_fs"] != want["time_fs"] \
            or not np.array_equal(info["stress"], want["stress"]):
        problems.append(f"info is {info}")
    errors = {}
    for name in ("pos", "forces"):
        expected, got = written.arrays[name], frame.arrays[name]
        error = np.abs(got - expected)
        errors[name] = float(error.max())
        if got.shape != expected.shape or (error > DECIMALS_BOUND + 2 * np.spacing(np.abs(expected))).any():
            problems.append(f"{name} off by up to {errors[name]:.3g}")
    return problems, errors


def progress(frames):
    """The frames, printing each one's number as write takes it."""
    for index, frame in enumerate(frames):
        yield frame
        say(f" {index + 1}", end="")


def write_file(path, frames, show=False):
    start = time.process_time()
    atomkit.write(path, progress(frames) if show else frames)
    return time.process_time() - start


def read_file(path, show=False, iread=atomkit.iread):
    start = time.process_time()
    read = []
    for frame in iread(path):
        read.append(frame)
        if show:
            say(f" {len(read)}", end="")
    return time.process_time() - start, read


def same_bytes(path_a, path_b, chunk=1 << 24):
    with open(path_a, "rb") as a, open(path_b, "rb") as b:
        while True:
            block_a, block_b = a.read(chunk), b.read(chunk)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def main():
    total_start = time.perf_counter()
    rng = np.random.default_rng(2024)
    mix = ", ".join(f"{name} {weight:.0%}" for name, weight in SPECIES.items())
    say(f"atomkit demo: an extended XYZ trajectory of {NFRAMES} frames x {NATOMS:,} atoms, "
        "written and read back with atomkit.write and atomkit.iread")

    say(f"[1/5] building the structure: {mix}; a sheared periodic cell of "
        f"{abs(np.linalg.det(LATTICE)):,.0f} A^3; forces; tag = slab layer 0..{LAYERS - 1}; "
        "layer 0 fixed ... ", end="")
    start = time.perf_counter()
    symbols, positions, tags, fixed = build_structure(rng)
    frames = make_frames(rng, symbols, positions, tags, fixed)
    counts = {name: int((symbols == name).sum()) for name in SPECIES}
    say(f"done ({time.perf_counter() - start:.2f} s)")
    say("      atoms per species: " + ", ".join(f"{n} {c:,}" for n, c in counts.items())
        + f"; fixed: {int(fixed.sum()):,}")

    failures = []
    with tempfile.TemporaryDirectory(prefix="atomkit-demo-") as directory:
        path = os.path.join(directory, "trajectory.xyz")
        say(f"[2/5] writing {path}: frame", end="")
        write_seconds = write_file(path, frames, show=True)
        size = os.path.getsize(path)
        say(f" ... done ({write_seconds:.2f} s)")
        with open(path, encoding="utf-8") as f:
            head = [next(f).rstrip("\n") for _ in range(3)]
        say(f"      file size: {size:,} bytes ({size / 2**20:.1f} MiB), {NFRAMES * (NATOMS + 2):,} lines; "
            "the first three:")
        for line in head:
            say("      | " + (line if len(line) <= 160 else line[:157] + "..."))

        say("[3/5] reading it back: frame", end="")
        read_seconds, read = read_file(path, show=True)
        say(f" ... done ({read_seconds:.2f} s)")

        say("[4/5] checking the round trip: species, tag, fixed, lattice and info exactly; pos and "
            f"forces within {DECIMALS_BOUND:g} (8 written decimals) ... ", end="")
        if len(read) != NFRAMES:
            failures.append(f"read {len(read)} frames, wrote {NFRAMES}")
        worst = {"pos": 0.0, "forces": 0.0}
        for index, (frame, written) in enumerate(zip(read, frames)):
            problems, errors = check_frame(frame, written)
            failures += [f"frame {index}: {p}" for p in problems]
            worst = {name: max(worst[name], errors[name]) for name in worst}
        say("ok" if not failures else "FAILED")
        say(f"      largest differences: pos {worst['pos']:.2e}, forces {worst['forces']:.2e}")
        del read

        say("[5/5] plain Python loops in place of the module: the same package writing ... ", end="")
        loop_path = os.path.join(directory, "trajectory-loops.xyz")
        with python_loops() as calls:
            loop_write_seconds = write_file(loop_path, frames)
            say("the tests' frame-by-frame walker in Python reading ... ", end="")
            loop_read_seconds, _ = read_file(path, iread=reference_walker.iread)
        if not same_bytes(path, loop_path):
            failures.append("the file written with the Python loops differs from the one written with the module")
        say("done")
        say(f"      the Python loops were called {calls.writes} times writing, {calls.reads} times reading")
        for count, side in ((calls.writes, "writing"), (calls.reads, "reading")):
            if not count:
                failures.append(f"the Python loops were never called {side}: that baseline timed the module instead")

    say("")
    say(f"the whole {NFRAMES}-frame file, to and from disk (CPU seconds, one run each):")
    say(f"  {cpu_line()}")
    say(f"  {'':<12}{'atomkit':>11}{'Python loops':>15}{'speed-up':>10}")
    for label, fast, slow in (("write", write_seconds, loop_write_seconds), ("read", read_seconds, loop_read_seconds)):
        say(f"  {label:<12}{fast:>9.2f} s{slow:>13.2f} s{slow / fast:>9.1f}x")
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
