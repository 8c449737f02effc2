# The `atomkit` command: check, info and convert whole extended XYZ files from the shell,
# with a progress line on a terminal and one-line messages instead of tracebacks.
"""atomkit check | info | convert; see `atomkit --help`."""
from __future__ import annotations

import argparse
import contextlib
import json
import lzma
import os
import signal
import sys
import time
import zlib
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TextIO

import numpy as np

from atomkit import _comment, _io
from atomkit._frame import Frame
from atomkit._properties import PLAIN_XYZ
from atomkit._reader import _index, iread, scan
from atomkit._writer import write

# Exit statuses.
SOUND, BAD, TROUBLE = 0, 1, 2
# The progress line appears only for work that has gone on this long (seconds), and is
# redrawn at most this often.
DELAY = 1.0
REDRAW = 0.1
# What the decompressors raise for data that is not theirs or is cut short.
_READ_ERRORS = (OSError, EOFError, zlib.error, lzma.LZMAError)
# Bad frames that `info` lists; `check` lists them all.
_INFO_ERRORS = 20
# Signals that end the command through an exception, so that the writer removes its
# temporary file on the way out.
_STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Unreadable(Exception):
    """A file that cannot be opened or read to its end; the message is one line for the user."""


class _Terminated(BaseException):
    """A stop signal, raised where the program happens to be; like KeyboardInterrupt it
    passes every `except Exception` and runs every `finally`."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _shown(text: str) -> str:
    """`text` as it may be printed to any UTF-8 stream, strict ones included: the bytes of
    a file name that are not UTF-8 (which Python holds as surrogate escapes) become `\\xNN`."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a lone surrogate no file name decodes to
        raw = text.encode("utf-8", "backslashreplace")
    return raw.decode("utf-8", "backslashreplace")


def _say(text: str, stream: TextIO | None = None) -> None:
    """Prints a line of output or a message (standard output by default)."""
    print(_shown(text), file=stream or sys.stdout)


def _reason(error: BaseException) -> str:
    """What went wrong, for the end of a one-line message."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, (*_READ_ERRORS, ValueError)):
        return getattr(error, "strerror", None) or str(error)
    return f"{type(error).__name__}: {error}"


def _size(count: float) -> str:
    if count < 1024:
        return f"{count:.0f} B"
    for unit in ("KiB", "MiB"):
        count /= 1024
        if count < 1024:
            return f"{count:.1f} {unit}"
    return f"{count / 1024:.1f} GiB"


class Progress:
    """Bytes read of the total and frames per second, as one line on standard error that
    each update overwrites after a carriage return. Drawn only when enabled (a terminal,
    no --quiet) and once the work has taken more than DELAY seconds."""

    def __init__(self, total: int, enabled: bool):
        self.total, self.enabled = total, enabled
        self.stream = sys.stderr
        self.start = time.monotonic()
        self.due = self.start + DELAY
        self.frames = 0
        self.done = 0  # bytes of the files finished
        self.position: Callable[[], int] = lambda: 0
        self.drawn = 0  # length of the line on screen

    def follow(self, position: Callable[[], int]) -> None:
        """Bytes read are now `done` plus what `position()` says of the current file."""
        self.position = position

    def finish_file(self, size: int) -> None:
        self.done += size
        self.position = lambda: 0

    def tick(self) -> None:
        """One more frame read."""
        self.frames += 1
        if self.enabled:
            now = time.monotonic()
            if now >= self.due:
                self.due = now + REDRAW
                self._draw(now)

    def _draw(self, now: float) -> None:
        read = self.done + self.position()
        rate = self.frames / max(now - self.start, 1e-9)
        if self.total > 0:
            share = min(read / self.total, 1.0)
            filled = int(share * 20)
            line = (f"[{'#' * filled}{'.' * (20 - filled)}] {_size(read)} of {_size(self.total)}"
                    f" ({share:.0%})  {self.frames} frames, {rate:.0f} frames/s")
        else:
            line = f"{_size(read)} read  {self.frames} frames, {rate:.0f} frames/s"
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError, AttributeError):
            width = 0
        line = line[:(width or 80) - 1]
        self.stream.write("\r" + line.ljust(self.drawn))
        self.stream.flush()
        self.drawn = len(line)

    def clear(self) -> None:
        """Takes the line off the screen (before other output, and at the end)."""
        if self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0


class Source:
    """An input file: `stream` is what the reader parses (decompressed by suffix, read in
    chunks, so memory stays flat whatever the file's size) and `position()` the bytes of
    the file itself read so far."""

    def __init__(self, path: str):
        self.path = path
        try:
            self._raw = open(path, "rb")  # noqa: SIM115 (closed in close())
            self.size = os.fstat(self._raw.fileno()).st_size
        except OSError as error:
            raise Unreadable(f"{path}: {_reason(error)}") from None
        opener = _io._opener(path)
        self.kind = os.path.splitext(path)[1].lower() if opener is not open else ""
        self.stream: Any = self._raw if opener is open else opener(self._raw, "rb")

    def position(self) -> int:
        return self._raw.tell()

    def guard(self, items: Iterable[Any], passed: tuple[type[Exception], ...] = ()) -> Iterator[Any]:
        """`items`, with whatever stops the reading of the file raised as Unreadable: a read
        or decompression error, a line past the limit, no memory, or anything unforeseen.
        Exceptions of the kinds `passed` (what the caller reports itself) go through."""
        iterator = iter(items)
        while True:
            try:
                item = next(iterator)
            except StopIteration:
                return
            except _io.LineTooLong as error:  # a ValueError, but no bad frame
                raise self.unreadable(error) from None
            except passed:
                raise
            except Exception as error:
                raise self.unreadable(error) from None
            yield item

    def scanned(self) -> Iterator[tuple[Frame | ValueError, bytes | None]]:
        """`scan` of the file, guarded; the line past the limit that ends a scan is
        Unreadable too: what follows it cannot be read as frames."""
        for item, comment in self.guard(scan(self.stream)):
            if isinstance(item, _io.LineTooLong):
                raise self.unreadable(item)
            yield item, comment

    def unreadable(self, error: Exception) -> Unreadable:
        if isinstance(error, EOFError):
            return Unreadable(f"{self.path}: the {self.kind} data ends before its end marker "
                              "(the file is cut short)")
        what = f"decompress it as {self.kind}" if self.kind and isinstance(error, _READ_ERRORS) else "read it"
        return Unreadable(f"{self.path}: cannot {what}: {_reason(error)}")

    def close(self) -> None:
        if self.stream is not self._raw:
            try:
                self.stream.close()
            except _READ_ERRORS:
                pass
        self._raw.close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _total(paths: list[str]) -> int:
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass  # reported when the file's turn comes
    return total


def _unreadable(error: Unreadable, progress: Progress) -> None:
    progress.clear()
    _say(f"atomkit: {error}", sys.stderr)


# ---- check ------------------------------------------------------------------------------

def _check(args: argparse.Namespace, progress: Progress) -> int:
    frames = atoms = bad = files = unread = 0
    status = SOUND
    stopped = False
    for path in args.files:
        try:
            with Source(path) as source:
                progress.follow(source.position)
                for item, _ in source.scanned():
                    frames += 1
                    progress.tick()
                    if type(item) is Frame:
                        atoms += item.natoms
                        continue
                    bad += 1
                    status = max(status, BAD)
                    progress.clear()
                    _say(f"{path}: {item}")
                    if args.max_errors is not None and bad >= args.max_errors:
                        stopped = True
                        break
                files += 1
                progress.finish_file(source.size)
        except Unreadable as error:
            _unreadable(error, progress)
            unread += 1
            status = TROUBLE
        if stopped:
            break
    progress.clear()
    summary = f"{files} file{'' if files == 1 else 's'}"
    if unread:
        summary += f" ({unread} more could not be read)"
    summary += f", {frames} frames, {atoms} atoms: "
    if bad:
        summary += f"{bad} bad frame{'' if bad == 1 else 's'}"
    else:  # a file not read may hold bad frames
        summary += "no bad frames" if unread else "all sound"
    if stopped:
        summary += f" (stopped at --max-errors {args.max_errors})"
    _say(summary)
    return status


# ---- info -------------------------------------------------------------------------------

def _flags(pbc: tuple[bool, bool, bool]) -> str:
    return " ".join("T" if flag else "F" for flag in pbc)


def _median(sizes: Counter[int]) -> float:
    count = sum(sizes.values())
    halves = ((count - 1) // 2, count // 2)
    values, seen = [], 0
    for size in sorted(sizes):
        seen += sizes[size]
        while len(values) < 2 and halves[len(values)] < seen:
            values.append(size)
    middle = (values[0] + values[1]) / 2
    return int(middle) if middle == int(middle) else middle


def _ranked(counts: Counter[str]) -> dict[str, int]:
    return dict(sorted(counts.items(), key=lambda item: (-item[1], item[0])))


def _info_of(path: str, source: Source, progress: Progress) -> dict[str, Any]:
    sizes: Counter[int] = Counter()
    species: Counter[str] = Counter()
    layouts: Counter[str] = Counter()
    keys: Counter[str] = Counter()
    pbcs: Counter[str] = Counter()
    errors: list[str] = []
    frames = bad = lattices = 0
    for item, comment in source.scanned():
        frames += 1
        progress.tick()
        if type(item) is not Frame:
            bad += 1
            if len(errors) < _INFO_ERRORS:
                errors.append(_shown(str(item)))
            continue
        sizes[item.natoms] += 1
        if item.symbols is not None:
            names, counts = np.unique(item.symbols, return_counts=True)
            species.update(dict(zip(names.tolist(), counts.tolist())))
        # The frame read cleanly, so its comment line parses; the raw form says which keys
        # the line itself holds (the Frame fills in defaults).
        properties, lattice, pbc, values = _comment.parse(str(comment, "utf-8"))
        layouts[properties if properties is not None else f"{PLAIN_XYZ} (no Properties key)"] += 1
        keys.update(name for name, present in (("Lattice", lattice is not None),
                                               ("Properties", properties is not None),
                                               ("pbc", pbc is not None)) if present)
        keys.update(values.keys())
        lattices += item.lattice is not None
        pbcs[_flags(item.pbc)] += 1
    atoms = {"total": sum(size * count for size, count in sizes.items())}
    if sizes:
        atoms.update(min=min(sizes), median=_median(sizes), max=max(sizes))
    return {"file": _shown(path), "frames": frames, "bad_frames": bad, "errors": errors, "atoms": atoms,
            "species": _ranked(species), "properties": _ranked(layouts), "keys": dict(keys),
            "lattice": lattices, "pbc": _ranked(pbcs)}


def _counts(counts: dict[str, int], unit: str = "frames") -> str:
    if not counts:
        return "none"
    return ", ".join(f"{name} {count}" for name, count in counts.items()) + f"  ({unit})"


def _print_info(info: dict[str, Any]) -> None:
    atoms = info["atoms"]
    lines = [f"frames      {info['frames']}" + (f" ({info['bad_frames']} bad)" if info["bad_frames"] else "")]
    if "min" in atoms:
        lines.append(f"atoms       {atoms['total']} in all; per frame min {atoms['min']}, "
                     f"median {atoms['median']}, max {atoms['max']}")
    lines.append(f"species     {_counts(info['species'], 'atoms')}")
    lines.extend(f"Properties  {layout}  ({count} frames)" for layout, count in info["properties"].items())
    lines.append(f"keys        {_counts(info['keys'])}")
    lines.append(f"lattice     {info['lattice']} of {info['frames'] - info['bad_frames']} frames")
    lines.append(f"pbc         {_counts(info['pbc'])}")
    lines.extend(f"bad frame   {error}" for error in info["errors"])
    if info["bad_frames"] > len(info["errors"]):
        lines.append(f"            ... and {info['bad_frames'] - len(info['errors'])} more "
                     "(atomkit check lists them all)")
    _say("\n".join([info["file"], *("  " + line for line in lines)]))


def _info(args: argparse.Namespace, progress: Progress) -> int:
    status = SOUND
    reports: list[dict[str, Any]] = []
    for path in args.files:
        try:
            with Source(path) as source:
                progress.follow(source.position)
                report = _info_of(path, source, progress)
                progress.finish_file(source.size)
        except Exception as error:  # Unreadable, or the unforeseen in taking stock of a frame
            unread = error if isinstance(error, Unreadable) else Unreadable(f"{path}: {_reason(error)}")
            _unreadable(unread, progress)
            reports.append({"file": _shown(path), "error": _shown(str(unread))})
            status = TROUBLE
            continue
        if report["bad_frames"]:
            status = max(status, BAD)
        reports.append(report)
        if not args.json:
            progress.clear()
            _print_info(report)
    progress.clear()
    if args.json:
        _say(json.dumps({"files": reports}, indent=2))
    return status


# ---- convert ----------------------------------------------------------------------------

class _Refused(Exception):
    """A request the data cannot meet (a column a frame does not have)."""


def _keep(frames: Iterable[Frame], names: list[str] | None, progress: Progress) -> Iterator[Frame]:
    for number, frame in enumerate(frames):
        progress.tick()
        if names is None:
            yield frame
            continue
        missing = [name for name in names
                   if (frame.symbols is None if name == "species" else name not in frame.arrays)]
        if missing:
            have = (["species"] if frame.symbols is not None else []) + list(frame.arrays)
            raise _Refused(f"frame {number} of those selected has no column {missing[0]!r} "
                           f"(it has {', '.join(have) or 'none'})")
        arrays = {name: frame.arrays[name] for name in names if name != "species"}
        yield Frame(frame.symbols if "species" in names else None, arrays, frame.lattice, frame.pbc, frame.info)


def _convert(args: argparse.Namespace, progress: Progress) -> int:
    out = args.output
    if os.path.isdir(out):
        _say(f"atomkit: {out}: is a directory", sys.stderr)
        return TROUBLE
    status, message = TROUBLE, ""
    try:
        with Source(args.input) as source:
            progress.follow(source.position)
            frames = source.guard(iread(source.stream, args.frames), passed=(ValueError, IndexError))
            # write() replaces OUT only once every frame is in (OUT may be the input itself),
            # keeps its permissions, writes through a symbolic link and, on any exception,
            # removes what it began.
            write(out, _keep(frames, args.properties, progress))
        status = SOUND
    except Unreadable as error:
        message = str(error)
    except ValueError as error:  # a frame that cannot be read (or written)
        status, message = BAD, f"{args.input}: {error}"
    except (IndexError, _Refused) as error:
        message = f"{args.input}: {error}"
    except Exception as error:  # writing OUT: no room, no permission, or the unforeseen
        message = f"{out}: {_reason(error)}"
    finally:
        progress.clear()
    if message:
        _say(f"atomkit: {message}", sys.stderr)
    return status


# ---- the command line -------------------------------------------------------------------

def _frames_argument(text: str) -> str:
    try:
        _index(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a frame number or a slice like 0:100:2") from None
    return text


def _names_argument(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names) or len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"{text!r} is not a list of distinct column names like species,pos,forces")
    return names


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="atomkit", description="Check, describe and convert extended XYZ (extxyz) files. "
        "Files ending in .gz, .bz2 or .xz are decompressed and compressed by suffix.")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="no progress line on standard error")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[..., int], summary: str, description: str,
                files: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=description)
        sub.set_defaults(run=run)
        if files:
            sub.add_argument("files", nargs="+", metavar="FILE")
        return sub

    check = command(
        "check", _check, "read every frame strictly and report every bad one",
        "Reads every frame of every file strictly and reports each bad frame with its file, line "
        "and the reason, then a summary (atoms are those of the sound frames). Exit status: 0 "
        "when every frame is sound, 1 when any is bad, 2 when a file cannot be read.")
    check.add_argument("--max-errors", type=_positive, metavar="N", help="stop after N bad frames")
    info = command(
        "info", _info, "frames, atoms, species, columns and comment keys",
        "Per file: frames; atoms in all and min/median/max per frame; species and their atom "
        "counts; the Properties layouts and comment-line keys seen, with how many frames have "
        "each; how many frames have a lattice; which pbc.")
    info.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    convert = command(
        "convert", _convert, "rewrite a file in the common layout",
        "Rewrites IN as OUT in the layout atomkit writes (species first, %%16.8f floats), "
        "compressed by OUT's suffix. OUT appears only once it is complete.", files=False)
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.add_argument("--frames", type=_frames_argument, default=":", metavar="SLICE",
                         help="which frames: a number or a slice such as 0:100:2 (default: all); one "
                         "counted from the end, written --frames=-10:, reads the whole file first")
    convert.add_argument("--properties", type=_names_argument, metavar="NAMES",
                         help="keep only these columns, in this order, e.g. species,pos,forces")
    return parser


@contextlib.contextmanager
def _stop_signals_raise() -> Iterator[None]:
    """While the block runs, the first SIGTERM or SIGHUP raises _Terminated (a second one
    must not cut short the cleanup the first set off); the old handlers come back after. A
    signal ignored by whoever started us (nohup) stays ignored."""
    raised = False

    def stop(signum: int, frame: object) -> None:
        nonlocal raised
        if not raised:
            raised = True
            raise _Terminated(signum)

    old: dict[int, Any] = {}
    for signum in _STOP_SIGNALS:
        try:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                old[signum] = signal.signal(signum, stop)
        except ValueError:  # not the main thread, where handlers cannot be set
            break
    try:
        yield
    finally:
        for signum, handler in old.items():
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exit:  # --help, or a usage error already printed by argparse
        return exit.code if isinstance(exit.code, int) else TROUBLE
    progress = Progress(_total(args.files if hasattr(args, "files") else [args.input]),
                        not args.quiet and sys.stderr.isatty())
    try:
        with _stop_signals_raise():
            return int(args.run(args, progress))
    except KeyboardInterrupt:
        progress.clear()
        _say("atomkit: interrupted", sys.stderr)
        return 130
    except _Terminated as stop:
        progress.clear()
        _say(f"atomkit: terminated by {signal.Signals(stop.signum).name}", sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (`atomkit check ... | head`): nothing more to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return BAD
