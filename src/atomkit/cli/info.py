# `atomkit info`: what each file holds (frames, atoms, species, Properties layouts, comment
# keys, lattices, pbc), as text or one JSON object.
"""The info command and its statistics."""
from __future__ import annotations

import argparse
import json
from collections import Counter
from typing import Any

import numpy as np

from atomkit.base.frame import Frame
from atomkit.cli.common import BAD, TROUBLE, Unreadable, label, reason, say, shown
from atomkit.cli.progress import Progress, report_unreadable
from atomkit.cli.source import Source
from atomkit.base.text import PLAIN_XYZ

# Bad frames that `info` lists; `check` lists them all.
_INFO_ERRORS = 20


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
    for item, facts in source.scanned():
        frames += 1
        progress.tick()
        if type(item) is not Frame:
            bad += 1
            if len(errors) < _INFO_ERRORS:
                errors.append(shown(str(item)))
            continue
        sizes[item.natoms] += 1
        if item.symbols is not None:
            names, counts = np.unique(item.symbols, return_counts=True)
            species.update(dict(zip(names.tolist(), counts.tolist())))
        # What the comment line itself held (the Frame fills in defaults).
        properties = facts.properties
        layouts[properties if properties is not None else f"{PLAIN_XYZ} (no Properties key)"] += 1
        keys.update(name for name, present in (("Lattice", facts.lattice), ("Properties", properties is not None),
                                               ("pbc", facts.pbc)) if present)
        keys.update(facts.keys)
        lattices += item.lattice is not None
        pbcs[_flags(item.pbc)] += 1
    atoms = {"total": sum(size * count for size, count in sizes.items())}
    if sizes:
        atoms.update(min=min(sizes), median=_median(sizes), max=max(sizes))
    return {"file": shown(path), "frames": frames, "bad_frames": bad, "errors": errors, "atoms": atoms,
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
    say("\n".join([info["file"], *("  " + line for line in lines)]))


def info(args: argparse.Namespace, progress: Progress) -> int:
    reports: list[dict[str, Any]] = []
    for path in args.files:
        try:
            with Source(path, args.input_format) as source:
                progress.follow(source.position)
                report = _info_of(source.path, source, progress)
                progress.finish_file(source.size)
        except Exception as error:  # Unreadable, or the unforeseen in taking stock of a frame
            unread = error if isinstance(error, Unreadable) else Unreadable(f"{label(path)}: {reason(error)}")
            report_unreadable(unread, progress)
            reports.append({"file": shown(label(path)), "error": shown(str(unread))})
            progress.earn(TROUBLE)
            continue
        if report["bad_frames"]:
            progress.earn(BAD)
        reports.append(report)
        if not args.json:
            progress.clear()
            _print_info(report)
    progress.clear()
    if args.json:
        say(json.dumps({"files": reports}, indent=2))
    return progress.status
