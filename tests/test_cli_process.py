# The `atomkit` command as a process: signals, standard input and output through real pipes,
# a reader of the output that goes away, and the progress line on a terminal.
import bz2
import gzip
import lzma
import os
import pty
import signal
import subprocess
import sys

import pytest

import atomkit
from test_cli import CHILD_ENV, ROOT, frame_lines, sound_file, write_lines


# The command held up at a point of its run (argv[1]: reading, drawing or parsing), where it
# says "paused" on standard output and waits for the signal the test sends.
PAUSED = """
import argparse, signal, sys, time
import atomkit.cli.main as cli, atomkit.cli.progress as progress, atomkit.cli.source as source
# As from a terminal, whatever the test runner ignores.
signal.signal(signal.SIGINT, signal.default_int_handler)
for name in ("SIGTERM", "SIGHUP"):
    signal.signal(getattr(signal, name), signal.SIG_DFL)
def pause(*args):
    print("paused", flush=True)
    time.sleep(60)
def after(call):
    def paused(*args, **kwargs):
        result = call(*args, **kwargs)
        pause()
        return result
    return paused
if sys.argv[1] == "reading":
    for name in ("checked", "iread"):
        def slow(*args, read=getattr(source, name)):
            for item in read(*args):
                yield item
                pause()
        setattr(source, name, slow)
elif sys.argv[1] == "drawing":  # with the progress line on screen
    progress.DELAY = 0
    cli.Progress = lambda total, enabled: progress.Progress(total, True)
    progress.Progress._draw = after(progress.Progress._draw)
else:
    argparse.ArgumentParser.parse_args = after(argparse.ArgumentParser.parse_args)
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("argv, where, signum", [
    *[(["convert"], "reading", signum) for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)],
    (["check"], "reading", signal.SIGINT), (["info"], "reading", signal.SIGINT),
    (["check"], "drawing", signal.SIGINT), (["convert"], "drawing", signal.SIGINT),
    (["info", "--json"], "parsing", signal.SIGINT),
])
def test_stopped_by_a_signal(tmp_path, argv, where, signum):
    path_in = sound_file(tmp_path / "in.xyz")
    out = tmp_path / "out.xyz"
    out.write_text("what was there before\n")
    argv = [*argv, path_in, *([out] if argv[0] == "convert" else [])]
    child = subprocess.Popen([sys.executable, "-c", PAUSED, where, *argv],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV, cwd=ROOT)
    try:
        assert child.stdout.readline() == b"paused\n"
        child.send_signal(signum)
        rest, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == (130 if signum == signal.SIGINT else 128 + signum), err
    # Only the message, after the progress line is wiped.
    message = err.split(b"\r")[-1]
    assert rest == b"" and err.count(b"\n") == 1 and b"Traceback" not in err, err
    assert message == (b"atomkit: interrupted\n" if signum == signal.SIGINT
                       else f"atomkit: terminated by {signal.Signals(signum).name}\n".encode())
    assert ("\r" in err.decode()) == (where == "drawing")
    assert sorted(os.listdir(tmp_path)) == ["in.xyz", "out.xyz"]
    assert out.read_text() == "what was there before\n"


def _compressed(data, form):
    return {"xyz": bytes, "gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}[form](data)


def _decompressed(data, form):
    return {"xyz": bytes, "gz": gzip.decompress, "bz2": bz2.decompress, "xz": lzma.decompress}[form](data)


@pytest.mark.parametrize("argv, form, status, expected", [
    (["check", "-"], "xyz", 0, "1 file, 5 frames, 15 atoms: all sound\n"),
    (["check", "{path}", "-", "--input-format", "gz"], "gz", 0, "2 files, 10 frames, 30 atoms: all sound\n"),
    (["info", "--json", "-", "--input-format", "xz"], "xz", 0, '"file": "<stdin>",\n      "frames": 5,'),
    # Compressed data read as plain: said, rather than reported as a bad count line.
    (["check", "-"], "bz2", 2, "atomkit: <stdin>: the data is compressed (bzip2): give --input-format bz2\n"),
])
def test_standard_input(tmp_path, argv, form, status, expected):
    path = sound_file(tmp_path / "in.xyz")
    data = _compressed(open(path, "rb").read(), form)
    args = [sys.executable, "-m", "atomkit", *(arg.format(path=path) for arg in argv)]
    done = subprocess.run(args, input=data, capture_output=True, env=CHILD_ENV, cwd=ROOT, timeout=120)
    assert done.returncode == status, done.stderr
    assert expected in (done.stdout if status < 2 else done.stderr).decode()


@pytest.mark.parametrize("source, options, selection", [
    ("-", ["--input-format", "xz", "--output-format", "gz", "--frames=-2:"], slice(-2, None)),
    ("-", ["--frames", "1::2"], slice(1, None, 2)),
    ("{path}", ["--output-format", "bz2"], slice(None)),
])
def test_convert_through_pipes(tmp_path, source, options, selection):
    path = sound_file(tmp_path / "in.xyz")
    form_in, form_out = (options[options.index(name) + 1] if name in options else "xyz"
                         for name in ("--input-format", "--output-format"))
    args = [sys.executable, "-m", "atomkit", "convert", source.format(path=path), "-", *options]
    done = subprocess.run(args, input=_compressed(open(path, "rb").read(), form_in), capture_output=True,
                          env=CHILD_ENV, cwd=ROOT, timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
    atomkit.write(tmp_path / "expected.xyz", atomkit.read(path, ":")[selection])
    assert _decompressed(done.stdout, form_out) == (tmp_path / "expected.xyz").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["expected.xyz", "in.xyz"]


@pytest.mark.parametrize("argv, status", [
    (["check", "{bad}"], 1),         # the first line out names a bad frame
    (["info", *["{good}"] * 400], 0),
    (["convert", "{many}", "-"], 0),
])
def test_output_closed_early(tmp_path, argv, status):
    # More output than a pipe holds, to a reader that takes the first line and goes away.
    lines = [line for k in range(2000) for line in frame_lines(k)]
    lines[4::5] = [line.replace(" T", " t") for line in lines[4::5]]
    paths = {"bad": write_lines(tmp_path / "bad.xyz", lines), "good": sound_file(tmp_path / "good.xyz"),
             "many": sound_file(tmp_path / "many.xyz", frames=2000)}
    args = [sys.executable, "-m", "atomkit", *(arg.format(**paths) for arg in argv)]
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV, cwd=ROOT)
    try:
        assert child.stdout.readline()
        child.stdout.close()
        err = child.stderr.read()
        child.wait(timeout=120)
    finally:
        child.kill()
    assert (child.returncode, err) == (status, b"")


# ---- the progress line ------------------------------------------------------------------

def command(*argv, stderr_tty=False, delay=None):
    """Runs `python -m atomkit argv` (or main() with a shorter DELAY before the progress
    line) with standard error on a pseudo-terminal or a pipe: (status, stdout, stderr)."""
    if delay is None:
        code = ["-m", "atomkit"]
    else:
        code = ["-c", f"import sys, atomkit.cli.main as c, atomkit.cli.progress as p; p.DELAY = {delay}; "
                "sys.exit(c.main())"]
    args = [sys.executable, *code, *map(str, argv)]
    if not stderr_tty:
        done = subprocess.run(args, capture_output=True, env=CHILD_ENV, cwd=ROOT, timeout=120)
        return done.returncode, done.stdout.decode(), done.stderr.decode()
    master, slave = pty.openpty()
    try:
        child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=slave, env=CHILD_ENV, cwd=ROOT)
        os.close(slave)
        out = child.stdout.read()
        child.wait(timeout=120)
        err = b""
        while True:
            try:
                chunk = os.read(master, 1 << 16)
            except OSError:  # EIO: the child's side is closed
                break
            if not chunk:
                break
            err += chunk
    finally:
        os.close(master)
    return child.returncode, out.decode(), err.decode()


@pytest.fixture(scope="module")
def many_frames(tmp_path_factory):
    return sound_file(tmp_path_factory.mktemp("progress") / "many.xyz", frames=2000)


def test_progress_on_a_terminal_only(many_frames):
    summary = "1 file, 2000 frames, 6000 atoms: all sound\n"
    status, out, err = command("check", many_frames, stderr_tty=True, delay=0)
    assert (status, out) == (0, summary)
    drawn = err.split("\r")
    assert "frames/s" in err and " of " in err and "%" in err, err
    assert "\x1b" not in err  # a carriage return per update, no cursor movement
    assert drawn[-1] == "" and drawn[-2].strip() == ""  # the line is wiped at the end
    for argv, tty, delay in [(["check", many_frames], False, 0),           # stderr is a pipe
                             (["check", "-q", many_frames], True, 0),      # --quiet
                             (["check", many_frames], True, None)]:        # done within a second
        assert command(*argv, stderr_tty=tty, delay=delay) == (0, summary, "")


def test_python_m_atomkit(tmp_path):
    status, out, err = command("check", tmp_path / "missing.xyz", stderr_tty=True)
    assert status == 2 and out.endswith("no bad frames; 1 file could not be opened\n")
    assert err.strip() == f"atomkit: {tmp_path / 'missing.xyz'}: No such file or directory"
    status, out, err = command("--help")
    assert status == 0 and all(name in out for name in ("check", "info", "convert"))
