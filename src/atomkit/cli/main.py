# The `atomkit` command: check, info and convert whole extended XYZ files from the shell,
# with a progress line on a terminal and one-line messages instead of tracebacks.
"""atomkit check | info | convert; see `atomkit --help`."""
from __future__ import annotations

import argparse
import contextlib
import signal
import sys
from collections.abc import Callable, Iterator
from typing import Any

from atomkit.cli.check import check
from atomkit.cli.common import FORMATS, SOUND, STDIN, TROUBLE, quiet_stdout, say
from atomkit.cli.convert import convert
from atomkit.cli.info import info
from atomkit.cli.progress import Progress, total_size
from atomkit.reading.api import _index

# Signals that end the command through an exception, so that the writer removes its
# temporary file on the way out.
_STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class _Terminated(BaseException):
    """A stop signal, raised where the program happens to be; like KeyboardInterrupt it
    passes every `except Exception` and runs every `finally`."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


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


_FORMS_HELP = "xyz (plain, the default), gz, bz2 or xz"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="atomkit", description="Check, describe and convert extended XYZ (extxyz) files. "
        "Files ending in .gz, .bz2 or .xz are decompressed and compressed by suffix. A file named - "
        "is standard input (standard output as OUT of convert), plain text unless --input-format "
        "(--output-format) names its compression.")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="no progress line on standard error")
    common.add_argument("--input-format", choices=FORMATS, metavar="FORM",
                        help=f"how standard input (-) is compressed: {_FORMS_HELP}; a named file goes "
                        "by its suffix")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[..., int], summary: str, description: str,
                files: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=summary, description=description)
        sub.set_defaults(run=run, parser=sub)
        if files:
            sub.add_argument("files", nargs="+", metavar="FILE", help="a file to read; - for standard input")
        return sub

    check_parser = command(
        "check", check, "read every frame strictly and report every bad one",
        "Reads every frame of every file strictly and reports each bad frame with its file, line "
        "and the reason, then a summary (atoms are those of the sound frames). Exit status: 0 "
        "when every frame is sound, 1 when any is bad, 2 when a file cannot be read.")
    check_parser.add_argument("--max-errors", type=_positive, metavar="N", help="stop after N bad frames")
    info_parser = command(
        "info", info, "frames, atoms, species, columns and comment keys",
        "Per file: frames; atoms in all and min/median/max per frame; species and their atom "
        "counts; the Properties layouts and comment-line keys seen, with how many frames have "
        "each; how many frames have a lattice; which pbc.")
    info_parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    _convert_options(command(
        "convert", convert, "rewrite a file in the common layout",
        # Not %-formatted by argparse (it holds no %(prog)s), unlike the help of an option.
        "Rewrites IN as OUT in the layout atomkit writes (species first, %16.8f floats), "
        "compressed by OUT's suffix. OUT appears only once it is complete; - as OUT is "
        "standard output, written as the frames come.", files=False))
    return parser


def _convert_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("input", metavar="IN", help="the file to read; - for standard input")
    sub.add_argument("output", metavar="OUT", help="the file to write; - for standard output")
    sub.add_argument("--frames", type=_frames_argument, default=":", metavar="SLICE",
                     help="which frames: a number or a slice such as 0:100:2 (default: all); one "
                     "counted from the end, written --frames=-10:, reads the whole file first")
    sub.add_argument("--columns", "--properties", type=_names_argument, metavar="NAMES",
                     help="keep only these columns, in this order but species first, e.g. "
                     "species,pos,forces")
    sub.add_argument("--no-info", action="store_true",
                     help="leave out the comment-line keys of the frames but Lattice, Properties and pbc")
    sub.add_argument("--plain", action="store_true",
                     help="write plain XYZ: species and positions under each frame's comment key (or "
                     "an empty line); not with --columns or --no-info")
    sub.add_argument("--output-format", choices=FORMATS, metavar="FORM",
                     help=f"how standard output (OUT -) is compressed: {_FORMS_HELP}; a named OUT "
                     "goes by its suffix")


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    """The parsed command line; SystemExit after a usage message, as argparse does."""
    args = _parser().parse_args(argv)
    inputs = args.files if hasattr(args, "files") else [args.input]
    if inputs.count(STDIN) > 1:
        args.parser.error("standard input (-) can be read only once")
    if args.input_format is not None and STDIN not in inputs:
        args.parser.error("--input-format names the form of standard input (-), which is not read here; "
                          "a named file goes by its suffix")
    if args.command == "convert":
        if args.output_format is not None and args.output != STDIN:
            args.parser.error("--output-format names the form of standard output (OUT -); a named OUT "
                              "goes by its suffix")
        if args.plain and (args.columns is not None or args.no_info):
            args.parser.error("--plain writes species and positions only: not with --columns or --no-info")
    return args


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


def _interrupted(progress: Progress | None) -> int:
    # A second Ctrl-C must not cut the message short with a traceback; the handler comes
    # back after, for a caller of main() that goes on.
    try:
        old, ignoring = signal.signal(signal.SIGINT, signal.SIG_IGN), True
    except ValueError:  # not the main thread, where handlers cannot be set
        old, ignoring = None, False
    try:
        if progress is not None:
            progress.clear()
        say("atomkit: interrupted", sys.stderr)
    finally:
        if ignoring:
            signal.signal(signal.SIGINT, signal.SIG_DFL if old is None else old)
    return 130


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    progress: Progress | None = None
    try:
        try:
            args = _arguments(argv)
        except SystemExit as exit:  # --help, or a usage error already printed by argparse
            return exit.code if isinstance(exit.code, int) else TROUBLE
        progress = Progress(total_size(args.files if hasattr(args, "files") else [args.input]),
                            not args.quiet and sys.stderr.isatty())
        with _stop_signals_raise():
            status = int(args.run(args, progress))
            # Flushed here, where a closed pipe can still be met quietly.
            sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        return _interrupted(progress)
    except _Terminated as stop:
        if progress is not None:
            progress.clear()
        say(f"atomkit: terminated by {signal.Signals(stop.signum).name}", sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (`atomkit info ... | head`): nothing more to
        # say, and the status is what the work up to then earned.
        quiet_stdout()
        return SOUND if progress is None else progress.status
