# Every public read path against the others on the same bytes (the harness: read_paths.py):
# generated files, damaged copies of them and of real files' first frames, the smallest inputs of
# each disagreement, and the reference walker against read; then files rewritten under a read (the
# walker's too), and a descriptor closed under an index.
import errno
import glob
import os
import re
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings

import atomkit
import reference_walker
from helpers import examples
from read_paths import RELATIONS, Paths, head, mutants, valid_files

# Files other projects' tools wrote, in shared/ beside the work tree.
REALDATA = sorted(glob.glob(os.path.join(os.path.dirname(__file__), "..", "..", "shared", "realdata", "*.xyz")))

# The smallest input of each disagreement the paths once had: each path must give the same.
SMALLEST = {
    "str widths of table[k]": b"1\nx\nH 0 0 0\n1\nx\nSi 0 0 0\n",
    "a column that changes type": b"1\nProperties=q:R:1\n0\n1\nProperties=q:I:1\n0\n",
    "a token past the columns": b"1\nx\nH 0 0 0 7\n",
    "cut after a refused comment line": b"2\nProperties=species:S\nH\n",
    "cut in a refused last comment line": b"1\nx=1 Properties=species:S:1\nH\n1\nProperties=species:S",
    "a bad count line after a refused frame": b"2\nx\nH 0 0 0\n1\nx\nH 0 0 0\n",
    "species of two layouts": (b"1\nProperties=species:S:1:q:R:1\nH 0\n1\nProperties=species:S:1\nO\n"
                               b"1\nProperties=species:S:1:q:R:1\nC 0\n"),
    "a NUL ending a token": b"1\nx\nH\x00 0 0 0\n",
    "a clash after a skipped frame of the other kind": (b"1\nProperties=species:S:1:q:R:1\nH z\n1\nProperties=species:S:1:q:I:1\n"
                                                        b"H 1\n1\nProperties=species:S:1:q:R:1\nH 1.5\n"),
    "refusals in the middle": b"1\nx\nH 0 0 0\n1\na=\"open\nH 0 0 0\n1\nx\nH 0 0 z\n1\nx\nO 1 1 1\n",
    "BOM, CRLF, blank lines": b"\xef\xbb\xbf1\r\ne=1 cfg=a\r\nH 0 0 0\r\n\r\n2\r\ne=1.5\r\nH 0 0 0\r\nO 1 1 1",
}


def relations():
    return list(RELATIONS)


@pytest.fixture(scope="session")
def paths_of(tmp_path_factory):
    """Paths of the bytes given, made once a session: each relation asks only for the outcomes
    it compares, and the relations of one input share them."""
    folder, made = tmp_path_factory.mktemp("read_paths"), {}

    def paths(data):
        if data not in made:
            (folder / str(len(made))).mkdir()
            made[data] = Paths(data, str(folder / str(len(made))))
        return made[data]
    return paths


def assert_relation(relation, inputs, paths_of):
    for data in inputs:
        found = RELATIONS[relation](paths_of(data))
        assert not found, f"{relation} on {data[:400]!r}:\n" + "\n".join(found)


@pytest.mark.parametrize("relation", relations())
@settings(max_examples=examples(40), deadline=None, phases=[Phase.explicit, Phase.reuse, Phase.generate],
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=valid_files())
def test_generated_files_and_their_damaged_copies(paths_of, relation, data):
    assert_relation(relation, [data, *mutants(data, 2)], paths_of)


@pytest.mark.parametrize("relation", relations())
def test_damaged_real_files(paths_of, relation):
    if not REALDATA:
        pytest.skip("no shared/realdata beside the work tree")
    for path in REALDATA:
        first = head(path)
        assert_relation(relation, [first, *mutants(first, examples(16) // 2)], paths_of)


@pytest.mark.parametrize("case", SMALLEST)
def test_smallest_inputs(paths_of, case):
    broken = {relation: found for relation, check in RELATIONS.items() if (found := check(paths_of(SMALLEST[case])))}
    assert not broken, broken


# ---- a file rewritten in place, the same size, while it is read ------------------------------

NATOMS, FRAMES = 2000, 600  # 9.6 MB: more than one run of frames is read


def text(count, atom=b"H 0 0 0\n"):
    return (count.encode() + b"\nProperties=species:S:1:pos:R:3\n" + atom * NATOMS) * FRAMES


def rewrite(path, count):
    """The file written over in place with other atoms (and count lines `count`), the same size,
    its modification time moved on."""
    new = text(count, b"H 1 1 1\n")
    before = os.stat(path)
    assert len(new) == before.st_size
    with open(path, "r+b") as out:
        out.write(new)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))


@pytest.mark.parametrize("iread", [pytest.param(atomkit.iread, id="iread"),
                                   pytest.param(reference_walker.iread, id="oracle")])
@pytest.mark.parametrize("count", ["3111", "2000"], ids=["counts changed", "counts kept"])
def test_rewrite_under_iread(tmp_path, iread, count):
    path = tmp_path / "frames.xyz"
    path.write_bytes(text("2000"))
    frames = iread(path)
    next(frames), next(frames)
    rewrite(path, count)
    with pytest.raises(ValueError, match=re.escape(f"{path} changed since it was opened")):
        for _ in frames:
            pass


@pytest.mark.parametrize("count", ["3111", "2000"], ids=["counts changed", "counts kept"])
def test_rewrite_under_read_table(tmp_path, count):
    """The file is rewritten once its frames are found, as the module is called to read them."""
    path = tmp_path / "frames.xyz"
    path.write_bytes(text("2000"))
    fired = []

    def reading(frame, event, function):
        owner = getattr(function, "__self__", None)
        if event == "c_call" and not fired and getattr(function, "__name__", "") in ("read_table_rs", "read") and \
                "_atomkit" in (getattr(function, "__module__", None), type(owner).__module__):
            fired.append(True)
            rewrite(path, count)

    sys.setprofile(reading)
    try:
        with pytest.raises(ValueError, match=re.escape(f"{path} changed since it was opened")):
            atomkit.read_table(path, threads=2)
    finally:
        sys.setprofile(None)
    assert fired


def test_a_large_frame_read_in_pieces(tmp_path):
    """A frame of 9 MiB on two threads is read in pieces and parsed in ranges at once: the
    same table as on one thread, and a file cut short under the read is "changed"."""
    path = tmp_path / "large.xyz"
    rows = np.random.default_rng(1).uniform(-99.0, 99.0, (160_000, 3))
    path.write_bytes(b"160000\nProperties=species:S:1:pos:R:3\n" +
                     "".join("Si %r %r %r\n" % tuple(r) for r in rows.tolist()).encode())
    threads = atomkit.get_threads()
    atomkit.set_threads(2)
    try:
        one, two = atomkit.read_table(path, threads=1), atomkit.read_table(path, threads=2)
        assert np.array_equal(two.arrays["pos"], rows) and np.array_equal(one.arrays["pos"], rows)
        cut = []

        def reading(frame, event, function):
            if event == "c_call" and not cut and getattr(function, "__name__", "") == "read" and \
                    type(getattr(function, "__self__", None)).__module__ == "_atomkit":
                cut.append(os.truncate(path, os.path.getsize(path) * 3 // 4))

        sys.setprofile(reading)
        with pytest.raises(ValueError, match=re.escape(f"{path} changed since it was opened")):
            atomkit.read_table(path, threads=2)
    finally:
        sys.setprofile(None)
        atomkit.set_threads(threads)
    assert cut


# ---- a descriptor closed under an index ------------------------------------------------------

def descriptors_of(path):
    found = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == os.path.realpath(path):
                found.add(int(name))
        except OSError:  # the listing's own descriptor, gone
            pass
    return found


@pytest.mark.parametrize("read", [lambda index: index[0], lambda index: index.table()], ids=["index[0]", "table()"])
def test_a_closed_descriptor_under_an_index(tmp_path, read):
    path = tmp_path / "frames.xyz"
    path.write_bytes(b"1\nProperties=species:S:1:pos:R:3\nH 0 0 0\n" * 3)
    before = descriptors_of(path)
    index = atomkit.FrameIndex(path, use_saved=False)
    (fd,) = descriptors_of(path) - before
    os.close(fd)
    try:
        with pytest.raises(OSError) as raised:
            read(index)
        assert raised.value.errno == errno.EBADF and str(path) in str(raised.value)
    finally:  # the number held again, so that closing the index closes nothing of another's
        null = os.open(os.devnull, os.O_RDONLY)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
        index.close()
