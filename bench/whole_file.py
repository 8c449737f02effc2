"""Whole extxyz files through atomkit: written against the same package running the plain
Python loops in place of the module, read (atomkit.iread) against the tests' reference walker
(a strict walk in Python, frame by frame) reading its atom lines with the same loops (the
package's reader has no Python form), and the host's own cost against the module calls it
makes (CPU time, same run). Each patch is checked to have run: the loops' calls, and the
calls timed one by one, are counted, and a count of 0 stops the benchmark.

    python bench/whole_file.py [--cases 200x5000 20000x30] [--repeats 3] [--out DIR]

Frames hold species, pos, forces, one int and one bool column, with energy, a 3x3 stress,
Lattice and pbc in the comment line. "module calls" is the CPU time spent inside the module's
calls of the whole-file run, timed call by call (less the timer's own cost): the atom-block
calls of a write; the calls on the module's Reader of a read (made, fed, scanning, reading,
releasing, its rows and layouts). "overhead" is the whole-file time over that sum. Writing is
also set against the module calls alone: the same calls (write_atoms_bytes_rs on the frames'
arrays) made one after another outside the package. Reading is timed through iread (frames
cut from the Reader's runs as they are handed out); read(':') and read_table are timed in
datasets.py. The report starts with the CPU and ends with a line per target, ok or missed.
Results go to DIR/whole_file.json and DIR/whole_file.png.
"""
import argparse
import gc
import json
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import _atomkit
import atomkit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import reference_walker  # noqa: E402 (the tests' oracle: a frame-by-frame walk in Python, by the package's rules)
from atomkit.base import files
from atomkit.writing import block

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu as cpu_found, cpu_line, judge, print_targets, unjudged  # noqa: E402
from python_loops import python_loops  # noqa: E402
from run import peak_extra_bytes  # noqa: E402

SPECIES = np.array(["H", "C", "N", "O", "Si", "Fe"])
# Targets of the default cases (frames, atoms a frame): whole-file time over the module calls
# inside it (a write's also over the same calls made alone).
TARGETS = {(200, 5000): {"read": 1.3, "write": 1.3}, (20000, 30): {"read": 4.0, "write": 6.0}}
KINDS = {"write": "write", "read": "iread"}  # what each row times


def ran(count, what, otherwise):
    """`count`, the calls of a patched function; stops the benchmark when it is 0, as the
    figure it stands behind would time something else."""
    if not count:
        raise SystemExit(f"whole_file.py: {what} was never called: {otherwise}")
    return count


def make_frames(nframes, natoms, seed=0):
    rng = np.random.default_rng(seed)
    symbols = SPECIES[rng.integers(0, len(SPECIES), natoms)]
    lattice = np.diag([10.0 + natoms ** (1 / 3), 11.0 + natoms ** (1 / 3), 12.0 + natoms ** (1 / 3)])
    tags = rng.integers(0, 100, natoms)
    fixed = rng.random(natoms) < 0.1
    frames = []
    for _ in range(nframes):
        frames.append(atomkit.Frame(
            symbols=symbols,
            arrays={"pos": rng.uniform(0.0, 30.0, (natoms, 3)), "forces": rng.normal(0.0, 1.0, (natoms, 3)),
                    "tag": tags, "fixed": fixed},
            lattice=lattice, pbc=(True, True, True),
            info={"energy": float(rng.normal(-3.0 * natoms, 1.0)), "stress": rng.normal(0.0, 0.01, (3, 3))}))
    return frames


def cpu(function, repeats, fresh=None):
    """Median CPU seconds of `repeats` runs (all threads of the process). `fresh`, a path, is
    removed before each run: truncating a file in place would charge the run for freeing the
    old file's pages."""
    times = []
    for _ in range(repeats):
        if fresh is not None and os.path.exists(fresh):
            os.remove(fresh)
        gc.collect()
        start = time.process_time()
        function()
        times.append(time.process_time() - start)
    return statistics.median(times)


def timer_cost():
    """CPU seconds that one pair of process_time() calls adds to what it brackets."""
    best = float("inf")
    for _ in range(5):
        start = time.process_time()
        for _ in range(20000):
            time.process_time()
            time.process_time()
        best = min(best, (time.process_time() - start) / 20000)
    return best / 2  # the bracketed interval holds about half of the pair's own cost


class _Timed:
    """An object whose every attribute is got, and every method called, through `clock`."""

    def __init__(self, inner, clock):
        self._inner, self._clock = inner, clock

    def __getattr__(self, name):
        value = self._clock(getattr, self._inner, name)
        return (lambda *args, **kwargs: self._clock(value, *args, **kwargs)) if callable(value) else value


def in_place(module, name, function, repeats, objects=False):
    """Runs `function` with module.<name> timed call by call (with `objects`, also every use of
    the objects it makes: a class of the module); returns the median over runs of the CPU
    seconds spent inside those calls (less the timer's own cost) and the argument tuples of
    the calls of module.<name>, of which there must be some."""
    inner = getattr(module, name)
    cost = timer_cost()
    totals, calls = [], []
    for _ in range(repeats):
        spent = [0.0]
        calls.clear()

        def clock(call, *args, **kwargs):
            start = time.process_time()
            result = call(*args, **kwargs)
            spent[0] += time.process_time() - start - cost
            return result

        def timed(*args, **kwargs):
            calls.append(args)
            made = clock(inner, *args, **kwargs)
            return _Timed(made, clock) if objects else made

        setattr(module, name, timed)
        try:
            function()
        finally:
            setattr(module, name, inner)
        totals.append(spent[0])
    ran(len(calls), f"{module.__name__}.{name}", "the run does not go through it, so the time inside it would be 0")
    return statistics.median(totals), calls


def calls_alone(function, calls):
    for args in calls:
        function(*args)


def case(nframes, natoms, directory, repeats, loop_repeats):
    frames = make_frames(nframes, natoms)
    path = os.path.join(directory, f"{nframes}x{natoms}.xyz")
    row = {"frames": nframes, "atoms": natoms}

    row["write"] = cpu(lambda: atomkit.write(path, frames), repeats, fresh=path)
    row["bytes"] = os.path.getsize(path)
    row["write_module"], calls = in_place(block, "write_block", lambda: atomkit.write(path, frames), repeats)
    # The same calls alone, one after another, each result let go before the next call as
    # the writer does.
    row["write_calls_alone"] = cpu(lambda: calls_alone(block.write_block, calls), repeats)
    # The file's share: handing the text to the file (encoded by the module).
    row["write_output"], _ = in_place(files.Output, "write_bytes", lambda: atomkit.write(path, frames), repeats)
    with python_loops() as loops:
        row["write_loops"] = cpu(lambda: atomkit.write(path + ".loops", frames), loop_repeats, fresh=path + ".loops")
    os.remove(path + ".loops")
    row["write_loop_calls"] = ran(loops.writes, "the Python writer loop",
                                  "atomkit.write went past python_loops(), so 'Python loops' would time the module")

    # iread: the file scanned and read a run of frames at a time by the module's Reader, the
    # frames cut from each run. The module calls are all those made on the Reader.
    def walk():
        return list(atomkit.iread(path, ":"))
    row["read"] = cpu(walk, repeats)
    row["read_module"] = in_place(_atomkit, "Reader", walk, repeats, objects=True)[0]
    # Python loops: the tests' frame-by-frame walker in Python, over the loops.
    with python_loops() as loops:
        row["read_loops"] = cpu(lambda: list(reference_walker.iread(path, ":")), loop_repeats)
    row["read_loop_calls"] = ran(loops.reads, "the Python reader loop",
                                 "the walker went past python_loops(), so 'Python loops' would time the module")
    frames.clear()
    # Peak memory of a read: what it returns, plus at most one file's worth of bytes (the
    # Reader reads the file's text into its own buffers with pread: nothing is mapped).
    result = atomkit.read(path, ":")
    row["frames_bytes"] = frames_bytes(result)
    del result
    row["read_resident_peak_bytes"] = peak_extra_bytes(lambda: atomkit.read(path, ":"), ())
    os.remove(path)
    return row


def frames_bytes(frames):
    """Bytes of the arrays that the frames hold (columns of one frame, or of every frame cut
    from one table, may share a matrix)."""
    held = {}
    for frame in frames:
        for array in [frame.symbols, frame.lattice, *frame.arrays.values()]:
            if array is not None:
                base = array if array.base is None else array.base
                held[id(base)] = base.nbytes
    return sum(held.values())


def judged(rows):
    """Each target with the figure it holds; those of a default case not run, not judged."""
    entries = []
    for (nframes, natoms), targets in TARGETS.items():
        label = f"{nframes} x {natoms}"
        row = next((row for row in rows if (row["frames"], row["atoms"]) == (nframes, natoms)), None)
        figures = {f"{label} {KINDS[kind]}: whole file / module calls": (kind, f"{kind}_module")
                   for kind in KINDS if kind in targets}
        if "write" in targets:
            figures[f"{label} write: whole file / the module calls alone"] = ("write", "write_calls_alone")
        for name, (kind, inside) in figures.items():
            entries.append(unjudged(name, "case not run") if row is None else
                           judge(name, row[kind] / row[inside], "<=", targets[kind]))
    return entries


def print_table(rows, targets):
    print(f"\n{cpu_line()}")
    print("\nPython loops: the package on them (write); the tests' reference walker, a strict walk in Python "
          "frame by frame, on them (read)")
    print(f"\n{'file':<14}{'':<7}{'atomkit':>10}{'Python loops':>14}{'speed-up':>10}"
          f"{'module calls':>14}{'overhead':>10}{'target':>16}{'host us/frame':>15}{'module us/frame':>17}")
    verdicts = {entry["label"]: f"{entry['target']} {'ok' if entry['met'] else 'missed'}" for entry in targets
                if entry["met"] is not None}
    for row in rows:
        label = f"{row['frames']} x {row['atoms']}"
        for kind in ("write", "read"):
            whole, loops, module = row[kind], row[f"{kind}_loops"], row[f"{kind}_module"]
            verdict = verdicts.get(f"{label} {KINDS[kind]}: whole file / module calls", "")
            print(f"{label:<14}{KINDS[kind]:<7}{whole:>9.3f}s{loops:>13.3f}s{loops / whole:>9.1f}x"
                  f"{module:>13.3f}s{whole / module:>9.2f}x{verdict:>16}"
                  f"{whole / row['frames'] * 1e6:>12.1f}{module / row['frames'] * 1e6:>17.1f}")
        print(f"{'':<21}Python loops: called {row['write_loop_calls']} times writing, "
              f"{row['read_loop_calls']} times reading")
        print(f"{'':<21}write: file writes {row['write_output'] / row['frames'] * 1e6:.1f} us/frame of the "
              f"{(row['write'] - row['write_module']) / row['frames'] * 1e6:.1f} us/frame outside the module calls")
        alone = row["write_calls_alone"]
        verdict = verdicts.get(f"{label} write: whole file / the module calls alone")
        print(f"{'':<21}write: whole file {row['write']:.3f}s against the module calls alone {alone:.3f}s: "
              f"{row['write'] / alone:.2f}x" + ("" if verdict is None else f" (target {verdict})"))
        print(f"{'':<21}iread: {(row['read'] - row['read_module']) / row['frames'] * 1e6:.1f} us/frame outside the "
              "Reader's calls (comment lines are typed inside them)")
        resident, budget = row["read_resident_peak_bytes"], row["frames_bytes"] + row["bytes"]
        if resident is not None:
            print(f"{'':<21}read peak memory: resident {resident / 2**20:.1f} MiB; budget: frames "
                  f"{row['frames_bytes'] / 2**20:.1f} MiB + file {row['bytes'] / 2**20:.1f} MiB = "
                  f"{budget / 2**20:.1f} MiB " + ("ok" if resident <= budget else "OVER"))
    print_targets(targets)


def plot(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no plot")
        return
    fig, axes = plt.subplots(1, len(rows), figsize=(6 * len(rows), 4.5), squeeze=False)
    for ax, row in zip(axes[0], rows):
        kinds = ["write", "read"]
        x = np.arange(len(kinds))
        for offset, (suffix, label) in zip((-0.27, 0.0, 0.27), (("_module", "inside the module calls"), ("", "atomkit (whole file)"),
                                                                ("_loops", "on Python loops"))):
            values = [row[kind + suffix] for kind in kinds]
            bars = ax.bar(x + offset, values, 0.27, label=label)
            ax.bar_label(bars, fmt="%.3g", fontsize=8)
        ax.set_xticks(x, [f"{KINDS[k]} ({row[k] / row[k + '_module']:.2f}x module)" for k in kinds])
        ax.set_yscale("log")
        ax.set_ylabel("CPU seconds")
        ax.set_title(f"{row['frames']} frames x {row['atoms']} atoms ({row['bytes'] / 2**20:.0f} MiB)")
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", nargs="+", default=["200x5000", "20000x30"])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    args = parser.parse_args()
    print(cpu_line(), flush=True)
    rows = []
    with tempfile.TemporaryDirectory(prefix="atomkit-bench-") as directory:
        for case_text in args.cases:
            nframes, natoms = (int(n) for n in case_text.split("x"))
            print(f"{nframes} frames x {natoms} atoms ...", flush=True)
            rows.append(case(nframes, natoms, directory, args.repeats, 1))
    targets = judged(rows)
    print_table(rows, targets)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "whole_file.json"), "w") as f:
        json.dump({"cpu": cpu_found(), "python": sys.version.split()[0], "numpy": np.__version__, "rows": rows,
                   "targets": targets}, f, indent=2)
    plot(rows, os.path.join(args.out, "whole_file.png"))


if __name__ == "__main__":
    main()
