# A user's file is never lost or garbled by the package: writes that fail leave it as it
# was, a file read while it is rewritten or cut short gives an error and not a signal, and
# no input, however long its lines or blank runs, takes unbounded memory or time.
import itertools
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import atomkit
from atomkit import Frame
from atomkit.base import files


def frames(count, natoms=4):
    rng = np.random.default_rng(count)
    return [Frame(np.array(["H", "O"] * (natoms // 2)), {"pos": rng.random((natoms, 3))}, np.eye(3) * 9,
                  (True, True, True), {"energy": float(k)}) for k in range(count)]


def run_python(code, **kwargs):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **kwargs}
    return subprocess.run([sys.executable, "-c", code], text=True, env=env, timeout=120, **streams)


def bad_species():
    return Frame(np.array(["H H"]), {}, None, (False,) * 3, {})


def object_array():
    return Frame(None, {"pos": np.zeros((2, 3), object)}, None, (False,) * 3, {})


def wrong_shape():
    return Frame(np.array(["H", "H"]), {"pos": np.zeros((3, 3))}, None, (False,) * 3, {})


def bad_lattice():
    return Frame(np.array(["H"]), {}, np.zeros((2, 2)), (True,) * 3, {})


def bad_info():
    return Frame(np.array(["H"]), {}, None, (False,) * 3, {"x": {"a": 1}})


def raising():
    yield from frames(3)
    raise KeyError("the frames' source failed")


FAILURES = [lambda: itertools.chain(frames(3), [make()])
            for make in (bad_species, object_array, wrong_shape, bad_lattice, bad_info)] + [raising]


@pytest.mark.parametrize("suffix", [".xyz", ".xyz.gz"])
@pytest.mark.parametrize("append", [False, True])
@pytest.mark.parametrize("failing", FAILURES)
def test_a_failed_write_leaves_the_file_as_it_was(tmp_path, failing, append, suffix):
    path = tmp_path / f"data{suffix}"
    atomkit.write(path, frames(5))
    before = path.read_bytes()
    with pytest.raises(Exception):
        atomkit.write(path, failing(), append=append)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("source", ["iread", "index"])
def test_a_file_rewritten_from_its_own_frames(tmp_path, source):
    # Reading and writing one path at once: the reader keeps the old file until it is done.
    path = str(tmp_path / "data.xyz")
    atomkit.write(path, frames(20, 3000))
    code = f"""
import itertools, atomkit
p = {path!r}
if {source!r} == "iread":
    g = atomkit.iread(p)
    atomkit.write(p, itertools.chain([next(g)], g))
else:
    idx = atomkit.FrameIndex(p)
    atomkit.write(p, (idx[k] for k in range(0, len(idx), 2)))
print(len(atomkit.read(p, ":")))
"""
    run = run_python(code)
    assert (run.returncode, run.stdout) == (0, "20\n" if source == "iread" else "10\n"), run.stderr[-2000:]


def test_permissions_and_links_survive_a_rewrite(tmp_path):
    target = tmp_path / "data.xyz"
    atomkit.write(target, frames(2))
    target.chmod(0o640)
    link = tmp_path / "link.xyz"
    link.symlink_to(target.name)
    atomkit.write(link, frames(3))
    assert link.is_symlink() and (target.stat().st_mode & 0o777) == 0o640
    assert len(atomkit.read(target, ":")) == 3


def test_append_after_a_last_line_without_a_line_feed(tmp_path):
    path = tmp_path / "data.xyz"
    path.write_bytes(b"1\nProperties=species:S:1:pos:R:3\nH 0 0 0")
    atomkit.write(path, frames(2), append=True)
    assert [frame.natoms for frame in atomkit.read(path, ":")] == [1, 4, 4]


def test_a_file_cut_short_while_it_is_read(tmp_path):
    path = str(tmp_path / "data.xyz")
    atomkit.write(path, frames(400, 300))
    code = f"""
import os, atomkit
frames = atomkit.iread({path!r})
next(frames)
os.truncate({path!r}, 4096)
try:
    for _ in frames:
        pass
except ValueError as error:
    print(error)
"""
    run = run_python(code)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout == f"{path} changed since it was opened (truncated, replaced or rewritten)\n"


@pytest.mark.parametrize("compressed", [False, True])
def test_a_line_without_end_is_refused_at_the_limit(tmp_path, monkeypatch, compressed):
    monkeypatch.setattr(files, "LINE_LIMIT", 3 << 20)
    path = tmp_path / ("zeros.xyz.gz" if compressed else "zeros.xyz")
    head = b"1\nx=1\nH 0 0 0\n\n2\n"
    if compressed:
        import gzip
        with gzip.open(path, "wb") as out:
            out.write(head + bytes(8 << 20))
    else:
        path.write_bytes(head + bytes(8 << 20))
    with pytest.raises(files.LineTooLong, match=f"^{re.escape(str(path))}: line 6: longer than 3 MiB without a line feed"):
        atomkit.read(path, ":")


def test_no_line_feed_from_a_device_ends_in_an_error_not_memory():
    # Under an address-space limit a reader that held the whole run would fail in MemoryError.
    code = """
import os, resource, atomkit
if "asan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
try:
    atomkit.read("/dev/zero")
except ValueError as error:
    print(error)
"""
    run = run_python(code)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith("/dev/zero: line 1: longer than 256 MiB without a line feed")


@pytest.mark.parametrize("blank", [b"\n", b" \t\r\n"])
def test_blank_runs_are_passed_over(tmp_path, blank):
    path = tmp_path / "blank.xyz"
    frame = b"1\nx=1\nH 0 0 0\n"
    path.write_bytes(blank * 300_000 + frame + blank * 300_000 + frame + blank * 10)
    with open(path, "rb") as stream:
        for source in (path, stream):
            assert [f.info["x"] for f in atomkit.read(source, ":")] == [1, 1]


@pytest.mark.parametrize("name", ["/dev/stdout", "link"])
def test_standard_output_by_name_is_written_through(tmp_path, name):
    # The shell opened the file for appending: naming it again must neither cut it short
    # nor put a new file in its place.
    log = tmp_path / "log.xyz"
    log.write_bytes(b"1\nx=1\nH 0 0 0\n")
    if name == "link":
        (tmp_path / "link").symlink_to("/dev/stdout")
        name = str(tmp_path / "link")
    code = f"import atomkit; atomkit.write({name!r}, atomkit.read({str(log)!r}, ':'))"
    with open(log, "ab") as out:
        run = run_python(code, stdout=out)
    assert run.returncode == 0, run.stderr[-2000:]
    assert len(atomkit.read(log, ":")) == 2
