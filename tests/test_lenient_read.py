# A lenient read (errors="skip") leaves out the frames that cannot be read, warns once for
# each with its file and line, keeps the file's frame numbers, and still stops where
# nothing after can be trusted.
import io
import warnings

import numpy as np
import pytest

import atomkit
from atomkit import Frame, SkippedFrameWarning

BAD = range(5, 1000, 100)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("lenient")
    rng = np.random.default_rng(0)
    frames = [Frame(np.array(["H", "O", "H"]), {"pos": rng.random((3, 3))}, None, (False,) * 3, {"k": k})
              for k in range(1000)]
    clean, bad = folder / "clean.xyz", folder / "bad.xyz"
    atomkit.write(clean, frames)
    lines = clean.read_text().split("\n")
    for k in BAD:  # a float that is not one, in the second atom line of frame k
        lines[5 * k + 3] = "H 0 0 zz"
    bad.write_text("\n".join(lines))
    return clean, bad


def skipping(*args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frames = atomkit.read(*args, errors="skip")
    return frames, [str(w.message) for w in caught if w.category is SkippedFrameWarning]


@pytest.mark.parametrize("index", [slice(None), slice(100, 120), slice(-95, None, -50)])
def test_bad_frames_are_left_out_with_a_warning_each(files, index):
    clean, bad = files
    frames, messages = skipping(bad, index)
    numbers = range(1000)[index]  # frames of the file, kept or not
    assert [f.info["k"] for f in frames] == [k for k in numbers if k not in BAD]
    assert messages == [f"{bad}: skipped the frame at line {5 * k + 4}: row 1: cannot parse \"zz\" as float: "
                        f"invalid float literal: 'H 0 0 zz'" for k in numbers if k in BAD]
    reference = atomkit.read(clean, ":")
    assert all(np.array_equal(f.arrays["pos"], reference[f.info["k"]].arrays["pos"]) for f in frames)


def test_what_cannot_be_skipped_still_raises(files):
    with pytest.raises(ValueError, match="line 29: row 1"):
        atomkit.read(files[1], 5, errors="skip")  # one frame asked for by number
    cut = "2\nx=1\nH 0 0 0\nH 0 0 zz\n3\nx=2\nH 0 0 0\n"  # ends inside the second frame
    with pytest.raises(ValueError, match="ends inside a frame of 3 atoms"):
        skipping(io.StringIO(cut), ":")
    with pytest.raises(ValueError, match='errors must be "raise" or "skip"'):
        atomkit.read(files[0], ":", errors="ignore")
