# What the benchmarks and the demo share in their reports: the CPU they name first (figures of
# one machine do not compare with another's, and whether AVX-512 or AVX2 was there decides
# which of the module's loops ran), and how a figure is held to its target.
"""The CPU as /proc/cpuinfo tells it, and the verdict of a target.

    cpu()      -> {"model name", "cpu family", "model", "avx512f", "avx2"}
    cpu_line() -> "CPU: <model name> (family F, model M), avx512f yes|no, avx2 yes|no"
    judge(label, value, ">=", target) -> {"met", "verdict": "(target >= 1.7x: ok)", "line", ...}
    unjudged(label, why)                   a target the run measured nothing for
    print_targets(judged)                  the summary: a line per target, ok or missed
"""
from __future__ import annotations

import platform
from typing import Any


def cpu() -> dict[str, Any]:
    """The first processor's model name, family and model, and whether its flags hold avx512f
    and avx2 (None where /proc/cpuinfo is missing or says nothing of flags)."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    flags = fields["flags"].split() if "flags" in fields else None
    return {"model name": fields.get("model name") or platform.processor() or platform.machine(),
            "cpu family": fields.get("cpu family"), "model": fields.get("model"),
            "avx512f": None if flags is None else "avx512f" in flags,
            "avx2": None if flags is None else "avx2" in flags}


def _yes(value: bool | None) -> str:
    return "?" if value is None else "yes" if value else "no"


def cpu_line(found: dict[str, Any] | None = None) -> str:
    """The CPU in one line, as each report starts."""
    found = cpu() if found is None else found
    return (f"CPU: {found['model name']} (family {found['cpu family'] or '?'}, model {found['model'] or '?'}), "
            f"avx512f {_yes(found['avx512f'])}, avx2 {_yes(found['avx2'])}")


def judge(label: str, value: float, sense: str, target: float, unit: str = "x", digits: int = 2) -> dict[str, Any]:
    """`value` held to `target` (`sense` ">=" or "<="): whether it meets it, its verdict
    ("(target >= 1.7x: ok)") and the summary line of the report."""
    met = value >= target if sense == ">=" else value <= target
    verdict = f"(target {sense} {target:g}{unit}: {'ok' if met else 'missed'})"
    return {"label": label, "value": value, "target": f"{sense} {target:g}{unit}", "met": met,
            "verdict": verdict, "line": f"{label}: {value:.{digits}f}{unit} {verdict}"}


def unjudged(label: str, why: str) -> dict[str, Any]:
    """A target that the run measured nothing to hold to."""
    return {"label": label, "met": None, "line": f"{label}: not judged ({why})"}


def print_targets(judged: list[dict[str, Any]]) -> None:
    """The summary of a report: a line per target, ok, missed or not judged."""
    print("\ntargets:")
    for entry in judged:
        print("  " + entry["line"])
    held = [entry for entry in judged if entry["met"] is not None]
    print(f"  {sum(entry['met'] for entry in held)} of {len(held)} met"
          + (f", {len(judged) - len(held)} not judged" if len(held) < len(judged) else ""))
