# examples/demo.py (make demo) at a small size: it writes, reads back and checks a trajectory
# through atomkit, with the module and with the plain Python loops, and reports success.
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import demo  # noqa: E402


@pytest.mark.parametrize("natoms, nframes", [(300, 3), (1, 2)])
def test_demo_round_trip(monkeypatch, capsys, natoms, nframes):
    monkeypatch.setattr(demo, "NATOMS", natoms)
    monkeypatch.setattr(demo, "NFRAMES", nframes)
    assert demo.main() == 0
    out = capsys.readouterr().out
    assert "frame" + "".join(f" {k}" for k in range(1, nframes + 1)) + " ... done" in out
    assert out.rstrip().endswith("both sides agree byte for byte")


def test_check_frame_reports_a_changed_value(monkeypatch):
    import numpy as np

    rng = np.random.default_rng(1)
    monkeypatch.setattr(demo, "NATOMS", 20)
    symbols, positions, tags, fixed = demo.build_structure(rng)
    frame = demo.make_frames(rng, symbols, positions, tags, fixed)[0]
    assert demo.check_frame(frame, frame)[0] == []
    changed = demo.atomkit.Frame(frame.symbols, {**frame.arrays, "pos": frame.arrays["pos"] + 1e-6},
                                 frame.lattice, frame.pbc, frame.info)
    assert demo.check_frame(changed, frame)[0] == ["pos off by up to 1e-06"]
