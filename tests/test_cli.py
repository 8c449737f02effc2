# The `atomkit` command line: check, info and convert on small files written here, their
# exit statuses, one-line messages and help texts (the command as a process: test_cli_process).
import bz2
import errno
import gzip
import json
import lzma
import os
import stat
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import atomkit
from atomkit.cli import info as cli_info, main as cli_main, source as cli_source

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# What the tests import is what `python -m atomkit` runs in a subprocess.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
OPENERS = {"": open, ".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
SPECIES = ("Si", "O", "O")
PROPERTIES = "species:S:1:pos:R:3:forces:R:3:fixed:L:1"


def frame_lines(k, natoms=3, properties=PROPERTIES):
    """Frame k of the fixtures, as lines: frame k of a file of such frames starts at file
    line 5k+1 (count line), its comment is line 5k+2 and its atom row r line 5k+3+r."""
    comment = f'Lattice="4 0 0 0 4 0 0 0 4" Properties={properties} energy={-k}.5 pbc="T T F"'
    atoms = [f"{SPECIES[r % 3]} {r}.25 {k}.5 -0.125 0.1 -0.2 {r}.3 {'TF'[r % 2]}" for r in range(natoms)]
    return [str(natoms), comment, *atoms]


def write_lines(path, lines):
    suffix = os.path.splitext(str(path))[1]
    with OPENERS.get(suffix, open)(path, "wb") as out:
        out.write(("\n".join(lines) + "\n").encode())
    return str(path)


def sound_file(path, frames=5):
    return write_lines(path, [line for k in range(frames) for line in frame_lines(k)])


def run(capsys, *argv):
    status = cli_main.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def one_line_error(err, path, fragment):
    """The message of an unreadable file: one line on stderr naming it, no traceback."""
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert err.startswith(f"atomkit: {path}: ") and fragment in err, err


# ---- check ------------------------------------------------------------------------------

@pytest.mark.parametrize("suffix", ["", ".gz", ".bz2", ".xz"])
def test_check_sound_files(capsys, tmp_path, suffix):
    path = sound_file(tmp_path / f"good.xyz{suffix}")
    status, out, err = run(capsys, "check", path, path)
    assert (status, out, err) == (0, "2 files, 10 frames, 30 atoms: all sound\n", "")


def _bad_flag(token):
    return lambda lines, k: lines.__setitem__(2 + 2, lines[4].rsplit(" ", 1)[0] + " " + token)


@pytest.mark.parametrize("fault, message", [
    # Lenient readers take these for False; a strict one names the line and the row.
    *[(_bad_flag(token), f'line {{row2}}: row 2: cannot parse "{token}" as bool: ')
      for token in ("t", "tRUE", "ok", "1", "F.")],
    # Stray tokens, which the block reader alone passes over.
    *[(lambda lines, k, extra=extra: lines.__setitem__(3, lines[3] + extra),
       "line {row1}: row 1: expected 8 tokens, found 9: ") for extra in (" 7", "\t\x00\x00 ", " \v", " F")],
    (lambda lines, k: lines.__setitem__(3, lines[3].rsplit(" ", 2)[0]), "line {row1}: row 1: expected 8 tokens"),
    (lambda lines, k: lines.__setitem__(1, lines[1].replace("pos:R:3", "pos:Q:3")),
     "line {comment}: Properties 'species:S:1:pos:Q:3:"),
    (lambda lines, k: lines.__setitem__(1, lines[1].replace("Lattice=\"4", "Lattice=\"4 4")),
     "line {comment}: "),
])
def test_check_reports_every_bad_frame(capsys, tmp_path, fault, message):
    lines = []
    for k in range(5):
        frame = frame_lines(k)
        if k in (1, 3):
            fault(frame, k)
        lines += frame
    path = write_lines(tmp_path / "bad.xyz", lines)
    status, out, err = run(capsys, "check", path)
    reports = out.splitlines()
    assert status == 1 and err == ""
    assert len(reports) == 3 and reports[2] == "1 file, 5 frames, 9 atoms: 2 bad frames"
    for report, k in zip(reports, (1, 3)):
        assert report.startswith(f"{path}: " + message.format(comment=5 * k + 2, row1=5 * k + 4, row2=5 * k + 5))


@pytest.mark.parametrize("natoms", [3, 200])  # small blocks and large ones are counted apart
@pytest.mark.parametrize("row, extra", [(0, " 7"), (-1, " \x00"), (-1, "\t\t-")])
def test_check_stray_tokens_in_any_frame(capsys, tmp_path, natoms, row, extra):
    frames = [frame_lines(k, natoms=natoms) for k in range(3)]
    row %= natoms
    frames[1][2 + row] += extra
    path = write_lines(tmp_path / "stray.xyz", [line for frame in frames for line in frame])
    status, out, err = run(capsys, "check", path)
    line = natoms + 2 + 3 + row
    assert out.splitlines() == [
        f"{path}: line {line}: row {row}: expected 8 tokens, found 9: {frames[1][2 + row]!r}",
        f"1 file, 3 frames, {2 * natoms} atoms: 1 bad frame"]


def test_check_takes_every_separator(capsys, tmp_path):
    # \r\n line ends, tabs, form feeds and runs of spaces separate tokens; a vertical tab
    # does not, so inside a symbol it is part of it.
    lines = [line for k in range(2) for line in frame_lines(k)]
    lines = [line.replace(" ", " \t\f  ") + " \r" if i % 5 > 1 else line + "\r" for i, line in enumerate(lines)]
    lines[2] = lines[2].replace("Si", "Si\vx")
    path = write_lines(tmp_path / "odd.xyz", lines)
    assert run(capsys, "check", path) == (0, "1 file, 2 frames, 6 atoms: all sound\n", "")


@pytest.mark.parametrize("edit, reports, summary", [
    # A count line that is not a number: nothing after it can be trusted, the file stops.
    (lambda lines: lines.__setitem__(10, "3x"), ["line 11: expected the number of atoms, found '3x'"],
     "3 frames, 6 atoms: 1 bad frame"),
    # A file cut short inside its last frame.
    (lambda lines: lines.__delitem__(slice(-2, None)),
     ["line 21: the file ends inside a frame of 3 atoms (it holds 1 of its atom lines)"],
     "5 frames, 12 atoms: 1 bad frame"),
    # A count too large for its frame swallows the next count line; the frame after is out
    # of step and stops the file. The frame that swallowed it is the one reported, as every
    # read path reports it.
    (lambda lines: lines.__setitem__(5, "4"), ["line 11: row 3: expected 8 tokens, ran out: '3'"],
     "2 frames, 3 atoms: 1 bad frame"),
    (lambda lines: (lines.__setitem__(9, lines[9].replace(" T", " yes")), lines.__delitem__(slice(-1, None))),
     ["line 10: row 2: ", "line 21: the file ends inside a frame"], "5 frames, 9 atoms: 2 bad frames"),
])
def test_check_bad_counts_and_short_files(capsys, tmp_path, edit, reports, summary):
    lines = [line for k in range(5) for line in frame_lines(k)]
    edit(lines)
    path = write_lines(tmp_path / "bad.xyz.gz", lines)
    status, out, err = run(capsys, "check", path)
    assert status == 1 and err == ""
    *found, last = out.splitlines()
    assert last == f"1 file, {summary}"
    assert len(found) == len(reports)
    for line, report in zip(found, reports):
        assert line.startswith(f"{path}: {report}"), line


def test_check_max_errors_and_many_files(capsys, tmp_path):
    lines = [line for k in range(5) for line in frame_lines(k)]
    for row in (9, 14, 19):  # row 2 of frames 1, 2 and 3
        lines[row] = lines[row].replace(" T", " t")
    bad = write_lines(tmp_path / "bad.xyz", lines)
    good = sound_file(tmp_path / "good.xyz")
    status, out, err = run(capsys, "check", bad, good, "--max-errors", 2)
    assert status == 1 and err == ""
    assert out.splitlines()[2:] == ["1 file, 3 frames, 3 atoms: 2 bad frames (stopped at --max-errors 2)"]
    # Unreadable files are reported and passed over; the worst status wins.
    status, out, err = run(capsys, "check", good, tmp_path / "missing.xyz", bad)
    assert status == 2 and len(out.splitlines()) == 4
    assert out.splitlines()[-1] == "2 files, 10 frames, 21 atoms: 3 bad frames; 1 file could not be opened"
    one_line_error(err, tmp_path / "missing.xyz", "No such file or directory")


# ---- files that cannot be read ----------------------------------------------------------

def _not_compressed(path):
    sound_file(path.with_suffix(""))
    os.rename(path.with_suffix(""), path)


def _cut_short(path):
    sound_file(path)
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])


@pytest.mark.parametrize("name, make, fragment", [
    ("missing.xyz", lambda path: None, "No such file or directory"),
    ("folder.xyz", lambda path: path.mkdir(), "Is a directory"),
    ("plain.xyz.gz", _not_compressed, "cannot decompress it as .gz: Not a gzipped file"),
    ("plain.xyz.bz2", _not_compressed, "cannot decompress it as .bz2: "),
    ("plain.xyz.xz", _not_compressed, "cannot decompress it as .xz: "),
    ("short.xyz.gz", _cut_short, "the .gz data ends before its end marker"),
    ("short.xyz.xz", _cut_short, "the .xz data ends before its end marker"),
])
@pytest.mark.parametrize("command", ["check", "info", "convert"])
def test_unreadable_files(capsys, tmp_path, name, make, fragment, command):
    path = tmp_path / name
    make(path)
    before = sorted(os.listdir(tmp_path))
    argv = [command, path] + ([tmp_path / "out.xyz"] if command == "convert" else [])
    status, out, err = run(capsys, *argv)
    assert status == 2
    one_line_error(err, path, fragment)
    if command == "convert":
        assert sorted(os.listdir(tmp_path)) == before  # no OUT, no partial file


def test_zstd_is_refused_not_taken_for_text(capsys, tmp_path):
    path = tmp_path / "frames.xyz.zst"
    path.write_bytes(b"\x28\xb5\x2f\xfd" + bytes(60))
    for call in (lambda: atomkit.read(path), lambda: next(atomkit.iread(path))):
        with pytest.raises(ValueError, match=r"^\S+frames\.xyz\.zst is compressed \(zstd\): .*; decompress it first$"):
            call()
    out = tmp_path / "out.xyz.zst"
    with pytest.raises(ValueError, match=r"out\.xyz\.zst names a compressed file \(zstd\)"):
        atomkit.write(out, atomkit.read(sound_file(tmp_path / "in.xyz"), ":"))
    for argv in (["check", path], ["convert", tmp_path / "in.xyz", out]):
        status, _, err = run(capsys, *argv)
        assert status == 2 and err.count("\n") == 1 and "(zstd)" in err, err
    assert sorted(os.listdir(tmp_path)) == ["frames.xyz.zst", "in.xyz"]


def test_permission_denied(capsys, tmp_path, monkeypatch):
    path = sound_file(tmp_path / "locked.xyz")
    if os.geteuid() == 0:
        # Permissions do not stop root: the refusal comes from a stand-in for open().
        def refuse(file, *args, **kwargs):
            raise PermissionError(13, "Permission denied", file)
        monkeypatch.setattr(cli_source, "open", refuse, raising=False)
    else:
        os.chmod(path, 0)
    status, out, err = run(capsys, "check", path)
    assert status == 2 and out == "0 files, 0 frames, 0 atoms: no bad frames; 1 file could not be opened\n"
    one_line_error(err, path, "Permission denied")


def _fails_after_one(read, error):
    """`read` (scan or iread) whose source fails with `error` after its first frame."""
    def failing(*args):
        items = read(*args)
        yield next(items)
        raise error
    return failing


@pytest.mark.parametrize("error, fragment", [
    (MemoryError(), "cannot read it: out of memory"),
    (OSError(errno.EIO, "Input/output error"), "cannot read it: Input/output error"),
    (RuntimeError("unforeseen"), "cannot read it: RuntimeError: unforeseen"),
])
@pytest.mark.parametrize("command", ["check", "info", "convert"])
def test_reading_stopped_midway(capsys, tmp_path, monkeypatch, error, fragment, command):
    path = sound_file(tmp_path / "in.xyz")
    read = "iread" if command == "convert" else "checked"
    monkeypatch.setattr(cli_source, read, _fails_after_one(getattr(cli_source, read), error))
    status, out, err = run(capsys, command, path, *([tmp_path / "out.xyz"] if command == "convert" else []))
    assert status == 2 and "all sound" not in out
    assert command != "check" or out.endswith("frames; 1 file could not be read\n"), out
    one_line_error(err, path, fragment)


@pytest.mark.parametrize("command", ["check", "info", "convert"])
def test_line_past_the_limit_is_unreadable(capsys, tmp_path, monkeypatch, command):
    # A run of zero bytes, as in a sparse file: a line, not a bad frame, and the end of reading.
    monkeypatch.setattr("atomkit.base.files.LINE_LIMIT", 1 << 12)
    path = sound_file(tmp_path / "in.xyz", frames=2)
    with open(path, "ab") as out:
        out.write(bytes(1 << 16))
    status, out, err = run(capsys, command, path, *([tmp_path / "out.xyz"] if command == "convert" else []))
    assert status == 2 and "all sound" not in out
    one_line_error(err, path, "longer than")


@pytest.mark.parametrize("argv, status, shown", [
    (["check", "{bad}"], 1, ["bad"]), (["check", "{missing}"], 2, ["missing"]), (["info", "{bad}"], 1, ["bad"]),
    (["info", "--json", "{bad}", "{missing}"], 2, ["bad", "missing"]),
    (["convert", "{bad}", "{missing}"], 1, ["bad"]), (["convert", "{bad}", "{folder}"], 2, ["folder"]),
])
def test_names_not_utf8(tmp_path, argv, status, shown):
    lines = [line for k in range(3) for line in frame_lines(k)]
    lines[9] = lines[9].replace(" T", " t")
    # Each name as bytes on disk (Latin-1, not UTF-8) and as the command shows it.
    names = {"bad": (b"caf\xe9.xyz", r"caf\xe9.xyz"), "missing": (b"gon\xe9.xyz", r"gon\xe9.xyz"),
             "folder": (b"d\xe9j\xe0", r"d\xe9j\xe0")}
    paths = {key: os.fsencode(tmp_path) + b"/" + raw for key, (raw, _) in names.items()}
    write_lines(paths["bad"], lines)
    os.mkdir(paths["folder"])
    args = [sys.executable, "-m", "atomkit", *(paths.get(arg[1:-1], arg.encode()) for arg in argv)]
    env = dict(CHILD_ENV, PYTHONIOENCODING="utf-8:strict")
    done = subprocess.run(args, capture_output=True, env=env, cwd=ROOT, timeout=120)
    out, err = done.stdout.decode(), done.stderr.decode()
    assert done.returncode == status and "Traceback" not in err, err
    if "--json" in argv:
        out = "\n".join(entry["file"] for entry in json.loads(out)["files"])
    for key in shown:
        assert f"{tmp_path}/{names[key][1]}" in out + err
    assert "\\udc" not in out + err


def test_usage_errors(capsys, tmp_path):
    path = sound_file(tmp_path / "good.xyz")
    for argv in (["check"], ["frobnicate", path], ["check", "--max-errors", "0", path],
                 ["convert", path, tmp_path / "o.xyz", "--frames", "1:2:3:4"],
                 ["convert", path, tmp_path / "o.xyz", "--properties", "pos,,forces"],
                 # The form of a stream names that of standard input or output only.
                 ["check", path, "--input-format", "gz"], ["check", "-", "-"], ["info", "-", "--input-format", "zst"],
                 ["convert", path, tmp_path / "o.xyz", "--output-format", "gz"],
                 ["convert", path, "-", "--plain", "--no-info"], ["convert", path, "-", "--plain", "--columns", "pos"]):
        status, out, err = run(capsys, *argv)
        assert status == 2 and out == "" and "usage: atomkit" in err and "Traceback" not in err
    assert sorted(os.listdir(tmp_path)) == ["good.xyz"]


@pytest.mark.parametrize("argv", [[], ["check"], ["info"], ["convert"]])
def test_help_texts(capsys, argv):
    status, out, err = run(capsys, *argv, "--help")
    assert status == 0 and err == "" and out.startswith("usage: atomkit") and "%%" not in out
    assert "convert" not in argv or "(species first, %16.8f floats)" in " ".join(out.split())


# ---- info -------------------------------------------------------------------------------

def mixed_file(path):
    """Frames of 3, 5, 4 and 6 atoms; the last two without forces and the third without
    a lattice, pbc or energy."""
    lines = frame_lines(0) + frame_lines(1, natoms=5)
    plain = frame_lines(2, natoms=4, properties="species:S:1:pos:R:3:fixed:L:1")
    plain[1] = "Properties=species:S:1:pos:R:3:fixed:L:1 note=relaxed"
    plain[2:] = [" ".join(line.split()[:4] + line.split()[-1:]) for line in plain[2:]]
    last = frame_lines(3, natoms=6, properties="species:S:1:pos:R:3:fixed:L:1")
    last[2:] = [" ".join(line.split()[:4] + line.split()[-1:]) for line in last[2:]]
    return write_lines(path, lines + plain + last)


def test_info_json(capsys, tmp_path):
    path = mixed_file(tmp_path / "mixed.xyz.bz2")
    status, out, err = run(capsys, "info", "--json", path)
    assert status == 0 and err == ""
    assert json.loads(out) == {"files": [{
        "file": path, "frames": 4, "bad_frames": 0, "errors": [],
        "atoms": {"total": 18, "min": 3, "median": 4.5, "max": 6},
        "species": {"O": 11, "Si": 7},
        "properties": {PROPERTIES: 2, "species:S:1:pos:R:3:fixed:L:1": 2},
        "keys": {"Lattice": 3, "Properties": 4, "pbc": 3, "energy": 3, "note": 1},
        "lattice": 3,
        "pbc": {"T T F": 3, "F F F": 1},
    }]}


def test_info_text_bad_and_unreadable(capsys, tmp_path):
    lines = [line for k in range(3) for line in frame_lines(k)]
    lines[9] = lines[9].replace(" T", " t")
    bad = write_lines(tmp_path / "bad.xyz", lines)
    status, out, err = run(capsys, "info", bad)
    assert status == 1 and err == ""
    assert out.splitlines() == [
        bad,
        "  frames      3 (1 bad)",
        "  atoms       6 in all; per frame min 3, median 3, max 3",
        "  species     O 4, Si 2  (atoms)",
        f"  Properties  {PROPERTIES}  (2 frames)",
        "  keys        Lattice 2, Properties 2, pbc 2, energy 2  (frames)",
        "  lattice     2 of 2 frames",
        "  pbc         T T F 2  (frames)",
        f"  bad frame   line 10: row 2: cannot parse \"t\" as bool: {lines[9]!r}",
    ]
    status, out, err = run(capsys, "info", "--json", bad, tmp_path / "missing.xyz")
    files = json.loads(out)["files"]
    assert status == 2 and [entry["file"] for entry in files] == [bad, str(tmp_path / "missing.xyz")]
    assert files[0]["bad_frames"] == 1 and files[0]["errors"] == [out_error for out_error in files[0]["errors"]]
    assert files[1] == {"file": str(tmp_path / "missing.xyz"),
                        "error": f"{tmp_path / 'missing.xyz'}: No such file or directory"}
    one_line_error(err, tmp_path / "missing.xyz", "No such file")


@pytest.mark.parametrize("sizes, median", [([3], 3), ([3, 5, 7], 5), ([6, 3, 5, 4], 4.5), ([2, 2, 9, 9, 9], 9)])
def test_info_median(sizes, median):
    from collections import Counter
    assert cli_info._median(Counter(sizes)) == median


# ---- convert ----------------------------------------------------------------------------

def values(frame):
    arrays = {name: array.tolist() for name, array in frame.arrays.items()}
    symbols = None if frame.symbols is None else frame.symbols.tolist()
    lattice = None if frame.lattice is None else frame.lattice.tolist()
    return symbols, arrays, lattice, frame.pbc, {k: np.asarray(v).tolist() for k, v in frame.info.items()}


@pytest.mark.parametrize("source, target, options, selection, keep", [
    ("in.xyz", "out.xyz", [], slice(None), None),
    ("in.xyz.gz", "out.xyz.xz", ["--frames", "1:4:2"], slice(1, 4, 2), None),
    ("in.xyz.bz2", "out.xyz.gz", ["--frames=-2:", "--properties", "forces,species"], slice(-2, None),
     ["species", "forces"]),
    ("in.xyz", "out.xyz.bz2", ["--frames", "3", "--properties", "fixed,pos"], slice(3, 4), ["fixed", "pos"]),
])
def test_convert_then_check_then_equal(capsys, tmp_path, source, target, options, selection, keep):
    # Odd spacing and tabs in, the common layout out.
    lines = [line for k in range(5) for line in frame_lines(k)]
    lines = [" " + line.replace(" ", "\t  ") + "  " if i % 5 > 1 else line for i, line in enumerate(lines)]
    path_in = write_lines(tmp_path / source, lines)
    path_out = str(tmp_path / target)
    assert run(capsys, "convert", path_in, path_out, *options) == (0, "", "")
    assert run(capsys, "check", path_out)[0] == 0
    expected = atomkit.read(path_in, ":")[selection]
    got = atomkit.read(path_out, ":")
    if keep is not None:
        for frame in expected:
            frame.arrays = {name: frame.arrays[name] for name in keep if name != "species"}
            frame.symbols = frame.symbols if "species" in keep else None
        assert list(got[0].arrays) == [name for name in keep if name != "species"]
    assert [values(frame) for frame in got] == [values(frame) for frame in expected]
    with OPENERS[os.path.splitext(target)[1] if target.count(".") > 1 else ""](path_out, "rb") as out:
        common = tmp_path / "common.xyz"
        atomkit.write(common, expected)
        assert out.read() == common.read_bytes()
    assert oct(os.stat(path_out).st_mode & 0o777) == oct(0o666 & ~_umask())


@pytest.mark.parametrize("options, kwargs", [
    (["--columns", "forces,species", "--no-info"], dict(columns=["forces", "species"], info=False)),
    (["--properties", "pos"], dict(columns=["pos"])),
    (["--plain"], dict(plain=True)),
])
def test_convert_write_options(capsys, tmp_path, options, kwargs):
    path_in = sound_file(tmp_path / "in.xyz", frames=3)
    assert run(capsys, "convert", path_in, tmp_path / "out.xyz", *options) == (0, "", "")
    atomkit.write(tmp_path / "expected.xyz", atomkit.read(path_in, ":"), **kwargs)
    assert (tmp_path / "out.xyz").read_bytes() == (tmp_path / "expected.xyz").read_bytes()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.parametrize("edit, options, status, fragment", [
    (lambda lines: lines.__setitem__(9, lines[9].replace(" T", " t")), [], 1, "line 10: row 2: "),
    (lambda lines: None, ["--properties", "species,velocities"], 2,
     "frame 0 of those selected has no column 'velocities' (it has species, pos, forces, fixed)"),
    (lambda lines: None, ["--frames", "7"], 2, "frame 7 is past the end of"),
])
def test_convert_failures_leave_out_alone(capsys, tmp_path, edit, options, status, fragment):
    lines = [line for k in range(3) for line in frame_lines(k)]
    edit(lines)
    path_in = write_lines(tmp_path / "in.xyz", lines)
    old = (tmp_path / "out.xyz")
    old.write_text("what was there before\n")
    code, out, err = run(capsys, "convert", path_in, old, *options)
    assert code == status and out == ""
    assert err.startswith(f"atomkit: {path_in}: ") and fragment in err and err.count("\n") == 1
    assert old.read_text() == "what was there before\n"
    assert sorted(os.listdir(tmp_path)) == ["in.xyz", "out.xyz"]


@pytest.mark.parametrize("out", ["data.xyz", "link.xyz"])  # the input itself; a link to kept.xyz
def test_convert_keeps_permissions_and_links(capsys, tmp_path, out):
    path = sound_file(tmp_path / "data.xyz")
    (tmp_path / "kept.xyz").write_text("what was there before\n")
    os.symlink("kept.xyz", tmp_path / "link.xyz")
    written = tmp_path / ("data.xyz" if out == "data.xyz" else "kept.xyz")
    os.chmod(written, 0o600)
    expected = [values(f) for f in atomkit.read(path, "::2")]
    assert run(capsys, "convert", path, tmp_path / out, "--frames", "::2") == (0, "", "")
    assert [values(f) for f in atomkit.read(written, ":")] == expected
    assert stat.S_IMODE(os.stat(written).st_mode) == 0o600
    assert os.readlink(tmp_path / "link.xyz") == "kept.xyz"
    assert sorted(os.listdir(tmp_path)) == ["data.xyz", "kept.xyz", "link.xyz"]


def test_convert_to_a_directory(capsys, tmp_path):
    path = sound_file(tmp_path / "data.xyz")
    status, out, err = run(capsys, "convert", path, tmp_path)
    assert status == 2
    one_line_error(err, tmp_path, "is a directory")


def test_ctrl_c_while_the_command_loads():
    """The command's modules load NumPy and the module: Ctrl-C then is one line too. (In a
    process of its own: the command's modules load as its entry point is first imported.)"""
    code = textwrap.dedent("""
        import builtins, sys
        real_import = builtins.__import__

        def interrupted(name, *args, **kwargs):
            if name == "atomkit.cli.main":
                raise KeyboardInterrupt
            return real_import(name, *args, **kwargs)

        builtins.__import__ = interrupted
        from atomkit.cli import start
        sys.exit(start.main(["check", "missing.xyz"]))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, env=CHILD_ENV, cwd=ROOT, timeout=120)
    assert done.returncode == 130
    assert done.stderr.decode() == "atomkit: interrupted\n"
