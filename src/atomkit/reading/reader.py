# The one driver of every read path: a source opened as the module's Reader (a plain file by its
# descriptor, any other source fed to it as it is read), its frames found and read in runs, the
# runs made Frames or tables, and the reader's refusals made errors or warnings.
"""Reading through _atomkit.Reader."""
from __future__ import annotations

import os
import stat
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

import _atomkit
from atomkit.base import files
from atomkit.base.compression import opener as compression_opener
from atomkit.base.files import LineTooLong, changed, describe
from atomkit.base.frame import Frame
from atomkit.reading.errors import SkippedFrameWarning
from atomkit.reading.runs import add_run, frames_of, plans
from atomkit.table.build import Joiner
from atomkit.table.table import FrameTable

# Text one run of a streamed read (iread) holds at most: its frames come a run at a time, and
# what one run makes of its text is all the memory the read holds beyond the frames given out.
RUN_BYTES = 1 << 22


class Source:
    """A source opened for reading: the module's Reader over it, and for a stream the file
    object that feeds it. `name` names it in messages; `since`/`advice` word a file that
    changed under the read."""

    def __init__(self, reader: Any, name: str, feed: Any = None, closers: tuple[Any, ...] = (),
                 since: str = "opened", advice: str = ""):
        self.reader, self.name, self._feed, self._closers = reader, name, feed, closers
        self.since, self.advice = since, advice
        self._ask = min(files.FIRST_CHUNK, files.CHUNK)
        self._found, self._average = 0, RUN_BYTES
        self._plans: list[Any] | None = None

    @classmethod
    def open(cls, source: Any, threads: int = 0) -> Source:
        """A path (plain, or compressed by its suffix) or a binary or text file object."""
        if not isinstance(source, (str, os.PathLike)):
            if not hasattr(source, "read"):
                raise TypeError(f"cannot read from a {type(source).__name__}: expected a path or a file object")
            return cls(_atomkit.Reader(None, name=describe(source), threads=threads, line_limit=files.LINE_LIMIT),
                       describe(source), source.read)
        path = os.fspath(source)
        opener = compression_opener(path)
        if opener is not open:
            fileobj = opener(path, "rb")
            return cls(_atomkit.Reader(None, name=path, threads=threads, line_limit=files.LINE_LIMIT), path,
                       fileobj.read, (fileobj.close,))
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                return cls(_atomkit.Reader(fd, name=path, threads=threads, line_limit=files.LINE_LIMIT), path,
                           closers=(lambda: os.close(fd),))
            raw = open(fd, "rb", buffering=0, closefd=True)  # a pipe or a device: read as it comes
        except BaseException:
            os.close(fd)
            raise
        return cls(_atomkit.Reader(None, name=path, threads=threads, line_limit=files.LINE_LIMIT), path, raw.read,
                   (raw.close,))

    @property
    def plans(self) -> list[Any]:
        """The plan of each layout found so far (made again only after a scan found more)."""
        if self._plans is None:
            self._plans = plans(self.reader.layouts)
        return self._plans

    @property
    def streamed(self) -> bool:
        return self._feed is not None

    def close(self) -> None:
        for close in self._closers:
            close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- finding frames ----------------------------------------------------------------

    def scan_all(self) -> Any:
        """Every frame found (a stream is read to its end)."""
        while True:
            found = self.scan_more(whole=True)
            if found.complete:
                return found

    def scan_more(self, whole: bool = False) -> Any:
        """The scan taken further: a file by a growing number of frames (all with `whole`), a
        stream by its next chunk (the scan then finds the frames that chunk made whole)."""
        reader = self.reader
        self._plans = None
        if self._feed is None:
            # About a run's worth of frames more, as far as the frames found so far tell
            # (one more at least: the module scans a window of the file at a time anyway).
            found = reader.scan(-1 if whole else self._found + self._run_frames())
            if not whole and found.found > self._found:  # (the frames found are held till released)
                self._average = max(1, int(reader.rows[-1, 4]) // found.found)
        else:
            chunk = self._feed(self._ask)
            self._ask = min(2 * self._ask, files.CHUNK)
            if chunk:
                reader.feed(chunk.encode("utf-8") if type(chunk) is str else chunk)
            else:
                reader.finish()
            found = reader.scan(-1)
        self._found = found.found
        return found

    def _run_frames(self) -> int:
        """How many frames more take about RUN_BYTES of text, as the frames found so far
        average."""
        return max(0, RUN_BYTES // self._average - 1)

    def scan_past(self, k: int) -> Any:
        """The scan taken on until frame k is found, or it is complete."""
        self._plans = None
        while True:
            found = self.reader.scan(k) if self._feed is None else self.scan_more()
            if found.found > k or found.complete:
                return found

    # ---- refusals ----------------------------------------------------------------------

    def error(self, refusal: Any) -> Exception:
        """The exception a refusal raises."""
        if refusal.kind == "changed":
            return changed(self.name, self.since, self.advice)
        if refusal.kind == "long_line":
            return LineTooLong(refusal.message)
        error = ValueError(refusal.message)
        if refusal.cause is not None:
            error.__cause__ = ValueError(refusal.cause)  # the parser's own words
        return error

    def warn(self, refusal: Any) -> None:
        warnings.warn(SkippedFrameWarning(f"{self.name}: skipped the frame at {refusal.message}"), stacklevel=4)


# ---- runs --------------------------------------------------------------------------------


def _spans(rows: np.ndarray, first_held: int, chosen: np.ndarray, most: int) -> list[np.ndarray]:
    """The frames `chosen` (ascending) in runs whose text takes about `most` bytes at most."""
    if most <= 0 or len(chosen) == 0:
        return [chosen] if len(chosen) else []
    picked = rows[chosen - first_held]
    ends = np.cumsum(picked[:, 4] - picked[:, 0])
    runs, first = [], 0
    while first < len(chosen):
        base = ends[first - 1] if first else 0
        stop = max(first + 1, int(np.searchsorted(ends, base + most, side="right")))
        runs.append(chosen[first:stop])
        first = stop
    return runs


def _read(source: Source, chosen: np.ndarray, skip: bool) -> Any:
    """The Run of the frames `chosen` (ascending): it stops at the first refused frame, or with
    `skip` leaves refused frames out (but for a fatal refusal, which still stops it)."""
    return source.reader.read(chosen.astype(np.int64, copy=False), keep_going=skip)


def _entries(run: Any, layout_plans: list[Any], refusals: Any = None) -> list[Any]:
    """A run's frames and refusals (its own, or those given) together, in frame order."""
    refusals = run.refusals if refusals is None else refusals
    frames = [] if run is None else frames_of(run, layout_plans)
    if not refusals:
        return frames
    numbers = [] if run is None else run.frames.tolist()
    entries, k = [], 0
    for refusal in refusals:
        while k < len(frames) and numbers[k] < refusal.frame:
            entries.append(frames[k])
            k += 1
        entries.append(refusal)
    entries.extend(frames[k:])
    return entries


def _items(source: Source, entries: list[Any], skip: bool) -> Iterator[Frame]:
    """The frames among `entries` in the order given; a refusal met is raised (or with skip,
    unless fatal, warned of in its place)."""
    for entry in entries:
        if type(entry) is Frame:
            yield entry
        elif entry.fatal or not skip:
            raise source.error(entry)
        else:
            source.warn(entry)


def _forward(source: Source, start: int, stop: int, step: int, most: int) -> Iterator[Any]:
    """(frames chosen, whether the scan is complete) for the frames start:stop:step of a source,
    a run at a time as it is scanned; the frame the scan cannot pass comes as its Refusal where
    the selection runs past it."""
    reader = source.reader
    wanted = start
    while wanted < stop:
        # A read in one run (most = 0) of a file has it scanned whole first: one call then
        # reads every frame on the module's threads.
        found = source.scan_more(whole=most <= 0)
        if found.found > wanted:
            chosen = np.arange(wanted, min(stop, found.found), step, dtype=np.int64)
            rows = reader.rows
            for run in _spans(rows, reader.first_held, chosen, most):
                yield run, found
            wanted = int(chosen[-1]) + step if len(chosen) else wanted
            reader.release(min(wanted, found.found))
        if found.complete:
            if found.failure is not None and stop > found.found:
                yield found.failure, found
            return


def runs(source: Source, selection: slice, skip: bool, most: int) -> Iterator[tuple[Any, list[Any], list[Any]]]:
    """(run or None, layout plans, refusals) of a forward selection in order; a fatal failure
    comes as (None, [], [its Refusal]).

    The frame before one the scan cannot pass is that failure itself when it is refused (its
    atom lines ran into the next frame): so with `skip`, a refusal of the last frame found is
    held back until the scan has gone past it, and given as the failure where it is one."""
    start, step = selection.start or 0, selection.step or 1
    stop = (1 << 62) if selection.stop is None else selection.stop
    held = None
    for chosen, found in _forward(source, start, stop, step, most):
        if held is not None:
            if found.failure is None or found.failure.frame != held.frame:
                yield None, [], [held]
            held = None
        if not isinstance(chosen, np.ndarray):
            yield None, [], [chosen]
            continue
        run = _read(source, chosen, skip)
        refusals = list(run.refusals)
        if skip and not found.complete and refusals and refusals[-1].frame == found.found - 1 \
                and not refusals[-1].fatal:
            held = refusals.pop()
        yield run, source.plans, refusals
    if held is not None:
        yield None, [], [held]


def frames(source: Source, index: int | slice, skip: bool, most: int | None = None) -> Iterator[Frame]:
    """The frames `index` (an int from either end, or a slice) of a source, read in runs of
    `most` bytes of text (RUN_BYTES by default; 0: one run)."""
    most = RUN_BYTES if most is None else most
    if isinstance(index, int):
        yield _one(source, index)
        return
    if is_forward(index):
        for run, layout_plans, refusals in runs(source, index, skip, most):
            yield from _items(source, _entries(run, layout_plans, refusals), skip)
        return
    found = source.scan_all()
    if found.failure is not None:
        raise source.error(found.failure)
    chosen = np.arange(found.found)[index]
    backwards = len(chosen) > 1 and chosen[1] < chosen[0]
    spans = _spans(source.reader.rows, source.reader.first_held, np.sort(chosen), most)
    for span in (reversed(spans) if backwards else spans):
        # Read past refusals, so that the one met first going backwards is the one raised.
        entries = _entries(_read(source, span, True), source.plans)
        yield from _items(source, entries[::-1] if backwards else entries, skip)


def _one(source: Source, index: int) -> Frame:
    """Frame `index` (negative: from the end): IndexError where there is none."""
    found = source.scan_all() if index < 0 else source.scan_past(index)
    k = index + found.found if index < 0 else index
    if not 0 <= k < found.found:
        if found.failure is not None and (index < 0 or k >= found.found):
            raise source.error(found.failure)
        raise IndexError(f"frame {index} is past the end of {source.name}" if index >= 0 else
                         f"frame {index} is not in {source.name} ({found.found} frames)")
    if index < 0 and found.failure is not None:
        raise source.error(found.failure)
    run = source.reader.read(np.array([k], np.int64))
    if run.refusals:
        raise source.error(run.refusals[0])
    return frames_of(run, source.plans)[0]


def is_forward(selection: slice) -> bool:
    """Whether a slice runs forwards from the start (no step back, no count from the end)."""
    return (selection.step or 1) > 0 and (selection.start or 0) >= 0 and (selection.stop is None or selection.stop >= 0)


def table(source: Source, selection: slice, skip: bool) -> FrameTable:
    """The frames `selection` of a source as one FrameTable (its refusals raised or warned as
    for frames)."""
    joiner = Joiner()
    forward = is_forward(selection)
    if forward:
        most = RUN_BYTES if source.streamed else 0
        for run, layout_plans, refusals in runs(source, selection, skip, most):
            _add(joiner, source, run, layout_plans, skip, refusals)
        return joiner.table()
    found = source.scan_all()
    if found.failure is not None:
        raise source.error(found.failure)
    chosen = np.arange(found.found)[selection]
    order = np.argsort(chosen, kind="stable")
    run = _read(source, np.sort(chosen), skip)
    _add(joiner, source, run, source.plans, skip)
    joined = joiner.table()
    kept = np.isin(np.sort(chosen), run.frames)
    # Turned back into the order asked for (skipped frames left out).
    place = np.empty(len(chosen), np.int64)
    place[order] = np.arange(len(chosen))
    ranks = np.cumsum(kept) - 1
    return joined._take(ranks[place][kept[place]])


def _add(joiner: Joiner, source: Source, run: Any, layout_plans: list[Any], skip: bool,
         refusals: Any = None) -> None:
    """Adds a run's frames to a table; its refusals raised or warned of (a column clash among
    the frames before a refusal is raised first: it comes first in the file)."""
    refusals = run.refusals if refusals is None else refusals
    for refusal in refusals:
        if refusal.fatal or not skip:
            if run is not None and not skip:
                add_run(joiner, run, layout_plans)
            raise source.error(refusal)
        source.warn(refusal)
    if run is not None:
        add_run(joiner, run, layout_plans)
