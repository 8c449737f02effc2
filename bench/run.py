"""Benchmarks of _atomkit's writer and reader against the Python loops they replace,
NumPy's savetxt/loadtxt and pandas, on frames with the columns `s f f f f f f i b`.

    python bench/run.py [--sizes 10000 100000 1000000] [--only writer|reader] [--out DIR]

Every method is timed in the same run on the same data; the median of several
repetitions is reported with the ratios. Results go to DIR/results.json and DIR/plot.png.
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

COL_TYPES = b"sffffffib"
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


def read_ours(lines, text):
    return _atomkit.read_atom_lines_rs(lines, COL_TYPES)


def read_python_loop(lines, text):
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


def read_loadtxt(lines, text):
    # loadtxt cannot take the species and T/F columns as numbers: it reads the rest.
    return np.loadtxt(io.StringIO(text), usecols=range(1, 8))


def read_pandas(lines, text):
    import pandas as pd

    return pd.read_csv(io.StringIO(text), sep=r"\s+", header=None)


WRITERS = {"atomkit": write_ours, "python loop": write_python_loop, "numpy.savetxt": write_savetxt, "pandas.to_csv": write_pandas}
READERS = {"atomkit": read_ours, "python loop": read_python_loop, "numpy.loadtxt": read_loadtxt, "pandas.read_csv": read_pandas}


def available(name):
    if name.startswith("pandas"):
        try:
            import pandas  # noqa: F401
        except ImportError:
            return False
    return True


def median_time(function, args, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = function(*args)
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


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


def run(kind, sizes):
    methods = WRITERS if kind == "writer" else READERS
    rows = []
    for natoms in sizes:
        species, floats, ints, bools = make_frame(natoms)
        text = write_ours(species, floats, ints, bools)
        lines = text.splitlines(keepends=True)
        args = (species, floats, ints, bools) if kind == "writer" else (lines, text)
        # What the call may use at its peak: the writer twice its text; the reader its
        # result arrays plus the lines' text once more.
        budget = 2 * len(text) if kind == "writer" else sum(a.nbytes for a in (floats, ints, bools)) + len(text)
        entry = {"natoms": natoms, "seconds": {}}
        for name, function in methods.items():
            if not available(name):
                continue
            entry["seconds"][name] = median_time(function, args, repeats_for(natoms))
            print(f"  {kind} {natoms:>8} {name:<16} {entry['seconds'][name] * 1e3:10.2f} ms", flush=True)
        peak = peak_extra_bytes(methods["atomkit"], args)
        entry["peak_extra_bytes"] = peak
        entry["peak_budget_bytes"] = budget
        entry["text_bytes"] = len(text)
        rows.append(entry)
    return rows


def print_table(kind, rows):
    names = list(rows[0]["seconds"])
    print(f"\n{kind}: median seconds, and how many times slower than atomkit")
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
        ax.set_title(f"{kind} (columns s f f f f f f i b)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--only", choices=["writer", "reader"])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    args = parser.parse_args()
    kinds = [args.only] if args.only else ["writer", "reader"]
    results = {kind: run(kind, args.sizes) for kind in kinds}
    for kind, rows in results.items():
        print_table(kind, rows)
    os.makedirs(args.out, exist_ok=True)
    machine = {
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "platform": platform.platform(),
        "processor": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
    }
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"machine": machine, "results": results}, f, indent=2)
    print(f"\nresults: {os.path.join(args.out, 'results.json')}")
    plot(results, os.path.join(args.out, "plot.png"))


if __name__ == "__main__":
    main()
