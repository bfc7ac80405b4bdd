"""Run the validation cases, write `report.md` with a figure per case, print the summary.

    python -m validation            # every case, every model (what `make validate` runs)
    python -m validation --quick    # the quick cases only, no report written
    python -m validation --cases apc caradonna_tung

The report is rewritten from scratch each run; the hand-written discussion lives
in `discussion.md` beside it and is copied in, so regenerating never loses it.
"""
from __future__ import annotations

import argparse
import importlib
import math
import platform
import sys
import time
from pathlib import Path
from typing import Dict, List

import numpy as np

from .common import HERE, MODEL_LABELS, CaseResult, fmt_num, fmt_pct

CASES = ["caradonna_tung", "apc", "elliott"]


def run_cases(names: List[str], quick: bool = False) -> List[CaseResult]:
    results = []
    for name in names:
        mod = importlib.import_module(f"validation.{name}")
        t0 = time.perf_counter()
        c0 = time.process_time()
        print(f"[validate] {name} ...", file=sys.stderr, flush=True)
        res = mod.run(quick=quick)
        res.seconds = time.perf_counter() - t0
        res.cpu_seconds = time.process_time() - c0
        print(f"[validate] {name}: {res.seconds:.1f} s ({res.cpu_seconds:.1f} s CPU)", file=sys.stderr, flush=True)
        results.append(res)
    return results


def summary_markdown(results: List[CaseResult]) -> str:
    models = [m for m in MODEL_LABELS if any(m in e.errors for r in results for e in r.summary)]
    lines = ["| case | measured | " + " | ".join(MODEL_LABELS[m] for m in models) + " |",
             "|---|---|" + "---|" * len(models)]
    for r in results:
        for e in r.summary:
            cells = [_mark(e.errors.get(m)) for m in models]
            lines.append(f"| {e.label} | {fmt_num(e.measured)} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def _mark(e):
    if e is None or not math.isfinite(e):
        return "—"
    s = fmt_pct(e)
    return f"**{s}**" if abs(e) <= 10.0 else s


def summary_text(results: List[CaseResult]) -> str:
    models = [m for m in MODEL_LABELS if any(m in e.errors for r in results for e in r.summary)]
    w = max(len(e.label) for r in results for e in r.summary)
    head = f"{'case':<{w}}  {'measured':>9}  " + "  ".join(f"{MODEL_LABELS[m]:>12}" for m in models)
    out = [head, "-" * len(head)]
    for r in results:
        for e in r.summary:
            cells = "  ".join(f"{fmt_pct(e.errors.get(m)) if m in e.errors else '—':>12}" for m in models)
            out.append(f"{e.label:<{w}}  {fmt_num(e.measured):>9}  {cells}")
    return "\n".join(out)


def write_report(results: List[CaseResult], path: Path) -> None:
    import aerlox

    parts = [
        "# Validation against measured rotors",
        "",
        "Written by `make validate` (`python -m validation`); do not edit by hand — the "
        "discussion below comes from `validation/discussion.md`. Errors are signed, in per "
        "cent of the measured value; bold marks |error| <= 10 %.",
        "",
        f"aerlox {getattr(aerlox, '__version__', '?')}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}; run time (wall / CPU, all threads) " + ", ".join(
            f"{r.name} {r.seconds:.0f} s / {r.cpu_seconds:.0f} s" for r in results) + ".",
        "",
        "## Summary",
        "",
        summary_markdown(results),
        "",
    ]
    disc = HERE / "discussion.md"
    if disc.exists():
        parts += [disc.read_text().strip(), ""]
    for r in results:
        parts += [f"## {r.title}", "", f"Source: {r.source}", "", f"Set-up: {r.setup}", ""]
        if r.figure is not None:
            fig = path.parent / f"{r.name}.png"
            r.figure(fig)
            parts += [f"![{r.title}]({fig.name})", ""]
        for t in r.tables:
            parts += [t.to_markdown(), ""]
        for n in r.notes:
            parts += [f"- {n}"]
        if r.notes:
            parts += [""]
    path.write_text("\n".join(parts).rstrip() + "\n")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m validation", description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="quick cases only; no report written")
    ap.add_argument("--cases", nargs="*", default=CASES, choices=CASES)
    ap.add_argument("--report", default=str(HERE / "report.md"), help="report path (default: validation/report.md)")
    args = ap.parse_args(argv)
    results = run_cases(args.cases, quick=args.quick)
    if not args.quick:
        write_report(results, Path(args.report))
        print(f"[validate] wrote {args.report}", file=sys.stderr)
    print(summary_text(results))
    return 0
