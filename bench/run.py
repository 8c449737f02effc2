"""Benchmarks of _atomkit's writer and readers against the Python loops they replace,
NumPy's savetxt/loadtxt and pandas, on frames with the columns `s f f f f f f i b`.
"atomkit" is the module's function of each table (write_atoms_rs, read_atom_lines_rs,
read_atom_block_rs) on one thread, "2 threads" the same after set_threads(2); the writer also
as bytes (write_atoms_bytes_rs) and as its str encoded. A call splits its frame across the
threads only from the module's threshold on (20,000 atoms): a smaller frame's "2 threads"
ran on one, and the report says so.

    python bench/run.py [--sizes 10000 100000 1000000] [--only writer|reader|block|small] [--out DIR]

Every method is timed in the same run on the same data, the methods taking turns repetition
by repetition after one untimed round each, so that all of them meet the machine in the same
state (a buffer first touched after a pause costs several times more on a virtual machine).
Before every timed call the same amount of fresh memory is touched and freed (see warm()).
The median is reported with the ratios. "block" reads the frame's bytes as a file holds them
(count line, comment line, atom lines): the module's block reader (read_atom_block_rs), the
module's Reader (made over the bytes, scanned, the frame read: what every read path of the
package runs; on one thread, as its threads take whole frames and this file holds one), the
Python loop after splitting the bytes into lines, and loadtxt/read_csv over io.BytesIO (the
first two lines skipped).
"small" times whole calls on frames of 1 to 1000 atoms. The report starts with the CPU and
ends with a line per target, ok or missed, judged on the largest frame of the run. Results go
to DIR/results.json and DIR/plot.png.
"""
import argparse
import gc
import io
import json
import os
import platform
import statistics
import sys
import time

import numpy as np

import _atomkit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu, cpu_line, judge, print_targets, unjudged  # noqa: E402

COL_TYPES = b"sffffffib"
PROPERTIES = "species:S:1:pos:R:3:forces:R:3:tag:I:1:fixed:L:1"  # the same columns, named
FIRST = np.zeros(1, np.int64)
THREADS = _atomkit.get_threads()  # the setting as the process found it
SPECIES = np.array(["H", "C", "N", "O", "Si", "Fe"])


def make_frame(natoms, seed=0):
    rng = np.random.default_rng(seed)
    species = SPECIES[rng.integers(0, len(SPECIES), natoms)]
    floats = np.empty((natoms, 6))
    floats[:, :3] = rng.uniform(0.0, 50.0, (natoms, 3))
    floats[:, 3:] = rng.normal(0.0, 1.0, (natoms, 3))
    ints = rng.integers(0, 100, (natoms, 1), dtype=np.int64)
    bools = (rng.random((natoms, 1)) < 0.1).astype(np.uint8)
    return species, floats, ints, bools


def codepoints(species):
    return np.asarray(species, dtype="U").view(np.uint32).reshape(len(species), -1)


# ---- writers -------------------------------------------------------------------------


def write_ours(species, floats, ints, bools):
    return _atomkit.write_atoms_rs(codepoints(species), 2, floats, ints, bools, COL_TYPES)


def write_bytes(species, floats, ints, bools):
    return _atomkit.write_atoms_bytes_rs(codepoints(species), 2, floats, ints, bools, COL_TYPES)


def write_encoded(species, floats, ints, bools):
    return write_ours(species, floats, ints, bools).encode()


def on_threads(n, function):
    """`function` run with the module's threads set to `n` (the pool stays between calls)."""
    def call(*args):
        _atomkit.set_threads(n)
        return function(*args)
    return call


def write_python_loop(species, floats, ints, bools):
    # The loop the module replaces: one %-format per atom over a structured row.
    fmt = "%-2s" + " %16.8f" * 6 + " %8d" + "  %.1s" + "\n"
    # Rows are built with tolist(), which is kinder to the loop than indexing a structured
    # array per atom, so the ratios below are conservative.
    rows = [(s, *f, i, b) for s, f, i, b in zip(species.tolist(), floats.tolist(), ints[:, 0].tolist(), bools[:, 0].astype(bool).tolist())]
    return "".join([fmt % row for row in rows])


def write_savetxt(species, floats, ints, bools):
    buffer = io.StringIO()
    numeric = np.hstack([floats, ints.astype(np.float64)])
    np.savetxt(buffer, numeric, fmt=["%16.8f"] * 6 + ["%8d"])
    return buffer.getvalue()


def write_pandas(species, floats, ints, bools):
    import pandas as pd

    frame = pd.DataFrame({"s": species})
    for k in range(6):
        frame[f"f{k}"] = floats[:, k]
    frame["i"] = ints[:, 0]
    frame["b"] = np.where(bools[:, 0] != 0, "T", "F")
    return frame.to_csv(sep=" ", float_format="%16.8f", header=False, index=False)


# ---- readers -------------------------------------------------------------------------


def read_ours(lines, text, data):
    return _atomkit.read_atom_lines_rs(lines, COL_TYPES)


def read_python_loop(lines, text, data):
    n = len(lines)
    symbols = [None] * n
    floats = np.empty((n, 6))
    ints = np.empty((n, 1), dtype=np.int64)
    bools = np.empty((n, 1), dtype=np.uint8)
    for r, line in enumerate(lines):
        t = line.split()
        symbols[r] = t[0]
        floats[r] = [float(x) for x in t[1:7]]
        ints[r, 0] = int(t[7])
        bools[r, 0] = t[8] == "T"
    return symbols, floats, ints, bools


def read_loadtxt(lines, text, data):
    # loadtxt cannot take the species and T/F columns as numbers: it reads the rest.
    return np.loadtxt(io.StringIO(text), usecols=range(1, 8))


def read_pandas(lines, text, data):
    import pandas as pd

    return pd.read_csv(io.StringIO(text), sep=r"\s+", header=None)


def block_ours(lines, text, data):
    start = data.index(b"\n", data.index(b"\n") + 1) + 1  # past the count and comment lines
    return _atomkit.read_atom_block_rs(data, start, len(lines), COL_TYPES)


def block_reader(lines, text, data):
    reader = _atomkit.Reader(data)
    reader.scan()
    return reader.read(FIRST)


def block_python_loop(lines, text, data):
    return read_python_loop(data.decode().splitlines()[2:], text, data)


def block_loadtxt(lines, text, data):
    return np.loadtxt(io.BytesIO(data), usecols=range(1, 8), skiprows=2)


def block_pandas(lines, text, data):
    import pandas as pd

    return pd.read_csv(io.BytesIO(data), sep=r"\s+", header=None, skiprows=2)


WRITERS = {"atomkit": on_threads(1, write_ours), "atomkit 2 threads": on_threads(2, write_ours),
           "bytes": on_threads(1, write_bytes), "bytes 2 threads": on_threads(2, write_bytes),
           "str.encode()": on_threads(1, write_encoded), "python loop": write_python_loop,
           "numpy.savetxt": write_savetxt, "pandas.to_csv": write_pandas}
READERS = {"atomkit": on_threads(1, read_ours), "atomkit 2 threads": on_threads(2, read_ours),
           "python loop": read_python_loop, "numpy.loadtxt": read_loadtxt, "pandas.read_csv": read_pandas}
# The Reader parses a frame read alone in ranges at once, as the block reader does, from 20,000
# atoms on.
BLOCK_READERS = {"atomkit": on_threads(1, block_ours), "atomkit 2 threads": on_threads(2, block_ours),
                 "Reader": on_threads(1, block_reader), "Reader 2 threads": on_threads(2, block_reader),
                 "python loop": block_python_loop, "numpy.loadtxt": block_loadtxt, "pandas.read_csv": block_pandas}
METHODS = {"writer": WRITERS, "reader": READERS, "block": BLOCK_READERS}
# What "atomkit" and its like run in each table (on one thread unless named).
RUNS = {"writer": "atomkit = write_atoms_rs (str), bytes = write_atoms_bytes_rs, str.encode() = write_atoms_rs "
                  "then str.encode()",
        "reader": "atomkit = read_atom_lines_rs over the list of lines",
        "block": "atomkit = read_atom_block_rs over the frame's bytes; Reader = _atomkit.Reader over them, "
                 "scanned, the frame read"}
# What the module aims at, judged on the largest frame of a run: label -> (table, sense,
# target, unit, figure of the table's median seconds by contender and the frame's atoms).
# The writer is held to its ratio in both forms.
TARGETS = {
    "block reader 1 thread, ns per atom line": ("block", "<=", 60.0, " ns", lambda s, n: s["atomkit"] / n * 1e9),
    "block reader 2 threads / 1 thread": ("block", ">=", 1.7, "x", lambda s, n: s["atomkit"] / s["atomkit 2 threads"]),
    "block reader 1 thread vs numpy.loadtxt": ("block", ">=", 12.0, "x",
                                               lambda s, n: s["numpy.loadtxt"] / s["atomkit"]),
    "writer (write_atoms_rs) 2 threads / 1 thread": ("writer", ">=", 1.7, "x",
                                                     lambda s, n: s["atomkit"] / s["atomkit 2 threads"]),
    "writer (write_atoms_bytes_rs) 2 threads / 1 thread": ("writer", ">=", 1.7, "x",
                                                           lambda s, n: s["bytes"] / s["bytes 2 threads"]),
}


def available(name):
    if name.startswith("pandas"):
        try:
            import pandas  # noqa: F401
        except ImportError:
            return False
    return True


def warm(nbytes):
    """Touches and frees `nbytes` of fresh memory. On a virtual machine memory left idle goes
    back to the host, and the next buffer to be touched there faults page by page at several
    times the cost; warming before every timed call gives each contender the same start."""
    if nbytes:
        np.ones(nbytes, dtype=np.uint8)


def median_times(functions, args, repeats, warm_bytes=0):
    """Median seconds of each function, the functions taking turns after an untimed round,
    each call preceded by the same warming of `warm_bytes` of memory."""
    times = {name: [] for name in functions}
    for round_ in range(repeats + 1):
        for name, function in functions.items():
            gc.collect()
            warm(warm_bytes)
            start = time.perf_counter()
            result = function(*args)
            elapsed = time.perf_counter() - start
            del result
            if round_:
                times[name].append(elapsed)
    return {name: statistics.median(values) for name, values in times.items()}


def peak_extra_bytes(function, args):
    """Peak resident memory of one call above what the process held before it."""
    def read_status():
        values = {}
        with open("/proc/self/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    values[key] = int(rest.split()[0]) * 1024
        return values

    gc.collect()
    try:
        # Free heap memory goes back to the system first, so that memory the call takes
        # shows up as resident growth instead of hiding in reused blocks.
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark
    except OSError:
        return None
    before = read_status()["VmRSS"]
    result = function(*args)
    peak = read_status()["VmHWM"]
    del result
    return peak - before


def repeats_for(natoms):
    return 7 if natoms <= 10_000 else 5 if natoms <= 100_000 else 3


def frame_data(natoms):
    """A frame's columns and its atom lines as the readers take them: lines, str, and the
    frame's bytes as a file holds them (count and comment lines first)."""
    species, floats, ints, bools = make_frame(natoms)
    text = write_ours(species, floats, ints, bools)
    data = f"{natoms}\nProperties={PROPERTIES}\n{text}".encode()
    return (species, floats, ints, bools), (text.splitlines(keepends=True), text, data)


def run(kind, sizes):
    methods = {name: f for name, f in METHODS[kind].items() if available(name)}
    rows = []
    for natoms in sizes:
        (species, floats, ints, bools), (lines, text, data) = frame_data(natoms)
        args = (species, floats, ints, bools) if kind == "writer" else (lines, text, data)
        # The readers' result: the arrays and the list of species (a pointer per atom).
        arrays = sum(a.nbytes for a in (floats, ints, bools)) + 8 * natoms
        # What the call may use at its peak: the writer twice its text; the line reader its
        # result plus the lines' text once more; the block reader its result plus a tenth of
        # the text.
        budget = {"writer": 2 * len(text), "reader": arrays + len(text), "block": arrays + len(text) // 10}[kind]
        # Room for the largest result any contender makes: the text, or the arrays and lines.
        warm_bytes = 3 * len(text)
        entry = {"natoms": natoms, "seconds": median_times(methods, args, repeats_for(natoms), warm_bytes)}
        for name, seconds in entry["seconds"].items():
            print(f"  {kind} {natoms:>8} {name:<16} {seconds * 1e3:10.2f} ms", flush=True)
        peak = peak_extra_bytes(methods["atomkit"], args)
        _atomkit.set_threads(THREADS)
        entry["peak_extra_bytes"] = peak
        entry["peak_budget_bytes"] = budget
        entry["text_bytes"] = len(text)
        rows.append(entry)
    return rows


SMALL_SIZES = [1, 10, 100, 1000]


def repeat_calls(function, args, calls):
    # Each result goes at once: kept, a list of 10^5 results would have the cyclic garbage
    # collector walk them over and over, and time that instead of the calls.
    for _ in range(calls):
        function(*args)


def split_threshold():
    """The atoms from which a call splits its frame across the threads (below, it runs on the
    calling thread whatever set_threads says), read back from the module: its setter returns
    the threshold it replaces."""
    threshold = _atomkit._set_parallel_threshold(1)
    _atomkit._set_parallel_threshold(threshold)
    return threshold


def print_threads(results, threshold):
    """Two threads against one, the bytes writer against str, and the block reader per atom
    line and against numpy.loadtxt."""
    print("\nthreads: how many times faster two threads are than one")
    for kind, rows in results.items():
        for row in rows:
            seconds = row["seconds"]
            line = f"  {kind:<7}{row['natoms']:>9}  {seconds['atomkit'] / seconds['atomkit 2 threads']:5.2f}x"
            if kind == "writer":
                line += (f"  bytes {seconds['bytes'] / seconds['bytes 2 threads']:5.2f}x; bytes vs str "
                         f"{seconds['atomkit'] / seconds['bytes']:4.2f}x, vs str.encode() {seconds['str.encode()'] / seconds['bytes']:4.2f}x")
            if kind == "block":
                line += (f"  1 thread {seconds['atomkit'] / row['natoms'] * 1e9:5.1f} ns per atom line; numpy.loadtxt / "
                         f"1 thread {seconds['numpy.loadtxt'] / seconds['atomkit']:5.1f}x, "
                         f"/ 2 threads {seconds['numpy.loadtxt'] / seconds['atomkit 2 threads']:5.1f}x")
            if row["natoms"] < threshold:
                line += f"  (under {threshold:,} atoms: 2 threads ran on one)"
            print(line)


def judged(results, threshold):
    """Each target of the tables run, held on the largest frame; a ratio of threads only where
    that frame was split."""
    entries = []
    for label, (kind, sense, target, unit, figure) in TARGETS.items():
        if kind not in results:
            entries.append(unjudged(label, f"the {kind} table was not run"))
            continue
        row = max(results[kind], key=lambda r: r["natoms"])
        at = f"{label}, {row['natoms']:,} atoms"
        if "threads /" in label and row["natoms"] < threshold:
            entries.append(unjudged(at, f"under {threshold:,} atoms a frame is not split: 2 threads ran on one"))
        else:
            entries.append(judge(at, figure(row["seconds"], row["natoms"]), sense, target, unit, 1 if unit == " ns" else 2))
    return entries


def run_small():
    """Microseconds per call on small frames, ours against the Python loops."""
    rows = []
    for natoms in SMALL_SIZES:
        columns, texts = frame_data(natoms)
        calls = max(20, 200_000 // natoms)
        # The module's functions as they are, with the process's threads setting.
        contenders = {"writer": (write_ours, WRITERS, columns), "reader": (read_ours, READERS, texts),
                      "block": (block_ours, BLOCK_READERS, texts)}
        entry = {"natoms": natoms, "us_per_call": {}}
        for kind, (ours, methods, args) in contenders.items():
            loops = {name: (lambda f=ours if name == "atomkit" else methods[name]: repeat_calls(f, args, calls))
                     for name in ("atomkit", "python loop")}
            seconds = median_times(loops, (), 5)
            entry["us_per_call"][kind] = {name: t / calls * 1e6 for name, t in seconds.items()}
        rows.append(entry)
        print(f"  small {natoms:>5}: " + "  ".join(
            f"{kind} {v['atomkit']:.2f} us (python {v['python loop']:.1f} us)" for kind, v in entry["us_per_call"].items()),
            flush=True)
    return rows


def fixed_costs(calls=100_000):
    """Microseconds per call of each function on an empty frame, arguments made beforehand:
    what a call costs before its first atom (four arrays borrowed, the result built)."""
    empty = np.zeros((0, 6)), np.zeros((0, 1), np.int64), np.zeros((0, 1), np.uint8)
    symbols = np.zeros((0, 2), np.uint32)
    calls_of = {
        "write_atoms_rs": lambda: _atomkit.write_atoms_rs(symbols, 2, *empty, COL_TYPES),
        "read_atom_lines_rs": lambda: _atomkit.read_atom_lines_rs([], COL_TYPES),
        "read_atom_block_rs": lambda: _atomkit.read_atom_block_rs(b"", 0, 0, COL_TYPES),
    }
    costs = {}
    for name, call in calls_of.items():
        seconds = median_times({name: lambda call=call: repeat_calls(call, (), calls)}, (), 5)[name]
        costs[name] = seconds / calls * 1e6
        print(f"  fixed cost {name:<20} {costs[name]:.2f} us", flush=True)
    return costs


def print_small(rows):
    print("\nsmall frames: microseconds per call, and how many times slower the Python loop is")
    print(f"{'atoms':>6} " + " ".join(f"{kind:>26}" for kind in rows[0]["us_per_call"]))
    for row in rows:
        cells = [f"{v['atomkit']:8.2f} vs {v['python loop']:8.1f} ({v['python loop'] / v['atomkit']:4.1f}x)"
                 for v in row["us_per_call"].values()]
        print(f"{row['natoms']:>6} " + " ".join(f"{c:>26}" for c in cells))


def print_table(kind, rows):
    names = list(rows[0]["seconds"])
    print(f"\n{kind}: median seconds, and how many times slower than atomkit ({RUNS[kind]})")
    print(f"{'atoms':>9} " + " ".join(f"{n:>22}" for n in names) + f" {'peak MiB (budget)':>20}")
    for row in rows:
        ours = row["seconds"]["atomkit"]
        cells = []
        for n in names:
            t = row["seconds"][n]
            cells.append(f"{t:10.4f}" + (f" ({t / ours:6.1f}x)" if n != "atomkit" else " " * 10))
        peak = row["peak_extra_bytes"]
        memory = f"{peak / 2**20:.1f} ({row['peak_budget_bytes'] / 2**20:.0f})" if peak is not None else "n/a"
        print(f"{row['natoms']:>9} " + " ".join(f"{c:>22}" for c in cells) + f" {memory:>20}")


def plot(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is missing: no plot")
        return
    fig, axes = plt.subplots(1, len(results), figsize=(6 * len(results), 4.5), squeeze=False)
    for ax, (kind, rows) in zip(axes[0], results.items()):
        for name in rows[0]["seconds"]:
            xs = [r["natoms"] for r in rows]
            ys = [r["seconds"][name] / r["natoms"] * 1e9 for r in rows]
            ax.plot(xs, ys, marker="o", label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("atoms per frame")
        ax.set_ylabel("time per atom (ns)")
        ax.set_title(f"{kind} (columns s f f f f f f i b)" if kind != "block" else "block reader (bytes)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--only", choices=["writer", "reader", "block", "small"])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    args = parser.parse_args()
    print(cpu_line(), flush=True)
    kinds = [args.only] if args.only else ["writer", "reader", "block", "small"]
    threshold = split_threshold()
    results = {kind: run(kind, args.sizes) for kind in kinds if kind != "small"}
    small = {"frames": run_small(), "fixed_us": fixed_costs()} if "small" in kinds else None
    print(f"\n{cpu_line()}")
    for kind, rows in results.items():
        print_table(kind, rows)
    if results:
        print_threads(results, threshold)
    if small:
        print_small(small["frames"])
        print("fixed cost per call (empty frame): " +
              ", ".join(f"{name} {us:.2f} us" for name, us in small["fixed_us"].items()))
    targets = judged(results, threshold)
    print_targets(targets)
    os.makedirs(args.out, exist_ok=True)
    machine = {
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "split_threshold_atoms": threshold,
    }
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"cpu": cpu(), "machine": machine, "results": results, "small": small, "targets": targets},
                  f, indent=2)
    print(f"\nresults: {os.path.join(args.out, 'results.json')}")
    if results:
        plot(results, os.path.join(args.out, "plot.png"))


if __name__ == "__main__":
    main()
