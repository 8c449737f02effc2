# atomkit.dask.read_frames: a directory of files as one bag on Dask's multi-process scheduler,
# frames in file order, partitions that are ranges of one file's frames.
import pickle

import pytest

import atomkit

dask = pytest.importorskip("dask")
import atomkit.dask  # noqa: E402  (after the skip: it needs dask to be of use)
from test_index import assert_same_frames, frame_text  # noqa: E402

COUNTS = {"a.xyz": 5, "b.xyz": 1, "c.xyz": 0, "d.xyz": 7}


@pytest.fixture
def files(tmp_path):
    """Files of 5, 1, 0 and 7 frames of mixed columns, one with \\r\\n and blank lines."""
    for name, count in COUNTS.items():
        newline = "\r\n" if name == "d.xyz" else "\n"
        text = newline.join(frame_text(k + len(name) * 3, newline) for k in range(count))
        (tmp_path / name).write_bytes(text.encode())
    (tmp_path / "a.xyz.atomkit-index.npz").write_bytes(b"not an index")  # not matched, not used
    return tmp_path


def test_bag_holds_every_file_in_order_on_processes(files):
    bag = atomkit.dask.read_frames(str(files / "*.xyz"), frames_per_partition=2)
    assert bag.npartitions == 3 + 1 + 4  # c.xyz has no frames, so no partition
    with dask.config.set(scheduler="processes", num_workers=2):
        frames = bag.compute()
        sizes = bag.map_partitions(lambda part: [len(part)]).compute()
    assert sizes == [2, 2, 1, 1, 2, 2, 2, 1]
    assert_same_frames(frames, [f for name in sorted(COUNTS) for f in atomkit.read(files / name, ":")])


def test_tables_one_a_partition(files):
    tables = atomkit.dask.read_tables(str(files / "*.xyz"), frames_per_partition=3).compute(scheduler="sync")
    assert [len(t) for t in tables] == [3, 2, 1, 3, 3, 1]
    assert_same_frames([f for t in tables for f in t], [f for name in sorted(COUNTS) for f in atomkit.read(files / name, ":")])


def test_paths_in_the_order_given(files):
    bag = atomkit.dask.read_frames([files / "d.xyz", str(files / "b.*"), files / "a.xyz"], frames_per_partition=4)
    want = atomkit.read(files / "d.xyz", ":") + atomkit.read(files / "b.xyz", ":") + atomkit.read(files / "a.xyz", ":")
    assert_same_frames(bag.compute(scheduler="sync"), want)


def test_a_partition_carries_its_own_frames_only(files, monkeypatch):
    """What a worker gets for a partition is the index of that range, not of the file."""
    seen = []

    def read_all(part):
        seen.append((len(part), int(part.offsets[0]), len(pickle.dumps(part))))
        return list(part)

    monkeypatch.setattr(atomkit.dask, "_read_all", read_all)
    whole = atomkit.FrameIndex(files / "d.xyz")
    bag = atomkit.dask.read_frames(files / "d.xyz", frames_per_partition=3)
    assert len(bag.compute(scheduler="sync")) == 7
    starts = whole.offsets.tolist()
    assert sorted((n, offset) for n, offset, _ in seen) == sorted([(3, starts[0]), (3, starts[3]), (1, starts[6])])
    assert all(size < len(pickle.dumps(whole)) for *_, size in seen)


@pytest.mark.parametrize("paths, error", [("nothing-*.xyz", FileNotFoundError), ("missing.xyz", FileNotFoundError)])
def test_missing_files(tmp_path, paths, error):
    with pytest.raises(error):
        atomkit.dask.read_frames(tmp_path / paths)


def test_bad_partition_size(files):
    with pytest.raises(ValueError, match="frames_per_partition"):
        atomkit.dask.read_frames(files / "a.xyz", frames_per_partition=0)
