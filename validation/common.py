"""What every validation case shares: data paths, table reading, errors and results.

A case module builds its rotor through the toolkit, runs every model that applies
and returns a `CaseResult`: tables of measured values against each model, the
errors that go into the summary, notes that explain the gaps, and a function that
draws the case's figure. `validation.report` turns the results into `report.md`.
"""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence

import numpy as np

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"

#: Display names of the four fidelities, in the order every table uses.
MODEL_LABELS = {
    "bem": "quasi-static",
    "pitt-peters": "Pitt-Peters",
    "oye": "Oye",
    "vpm": "vortex rotor, plain",
    "vpm-resolved": "vortex rotor, resolved",
}


def read_columns(path: Path, delimiter: Optional[str] = None) -> np.ndarray:
    """Numeric rows of a text table with one header line, as a 2-D float array."""
    rows = []
    with open(path) as f:
        next(f)
        for line in f:
            parts = line.split(delimiter) if delimiter else line.split()
            if not parts or not parts[0].strip():
                continue
            rows.append([float(p) for p in parts])
    return np.array(rows, dtype=float)


def error_pct(model: float, measured: float) -> float:
    """Signed error of a model value in per cent of the measured value."""
    if measured == 0 or not math.isfinite(model):
        return float("nan")
    return 100.0 * (model - measured) / abs(measured)


def fmt_pct(e: Optional[float]) -> str:
    if e is None or not math.isfinite(e):
        return "—"
    return f"{e:+.1f} %"


def fmt_num(v: Optional[float], digits: int = 4) -> str:
    if v is None or not math.isfinite(v):
        return "—"
    if v == 0:
        return "0"
    mag = abs(v)
    if 1e-3 <= mag < 1e4:
        return f"{v:.{max(0, digits - 1 - int(math.floor(math.log10(mag))))}f}"
    return f"{v:.{digits - 1}e}"


@dataclass
class Table:
    """One markdown table of a case: a title, column names and rows of cells."""

    title: str
    columns: List[str]
    rows: List[List[str]] = field(default_factory=list)

    def to_markdown(self) -> str:
        out = [f"**{self.title}**", "", "| " + " | ".join(self.columns) + " |",
               "|" + "|".join("---" for _ in self.columns) + "|"]
        out += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(out)


@dataclass
class SummaryEntry:
    """One row of the summary: a quantity of a case and each model's error (per cent)."""

    label: str
    measured: float
    errors: Dict[str, float]


@dataclass
class CaseResult:
    """Everything a case reports."""

    name: str
    title: str
    source: str
    setup: str
    tables: List[Table] = field(default_factory=list)
    summary: List[SummaryEntry] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    figure: Optional[Callable[[Path], None]] = None
    seconds: float = 0.0
    cpu_seconds: float = 0.0

    def add_comparison(self, title: str, condition_name: str, conditions: Sequence[str],
                       measured: Sequence[float], models: Dict[str, Sequence[float]],
                       digits: int = 4) -> Table:
        """Table of measured values against each model's value and error."""
        cols = [condition_name, "measured"]
        for m in models:
            cols += [MODEL_LABELS.get(m, m), "error"]
        t = Table(title, cols)
        for i, cond in enumerate(conditions):
            row = [cond, fmt_num(measured[i], digits)]
            for vals in models.values():
                v = vals[i]
                row += [fmt_num(v, digits), fmt_pct(error_pct(v, measured[i]))]
            t.rows.append(row)
        self.tables.append(t)
        return t


class Stopwatch:
    def __enter__(self):
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t0


def rms_pct(model: Sequence[float], measured: Sequence[float]) -> float:
    """Root-mean-square of the per-point errors (per cent of each measured value)."""
    e = [error_pct(m, d) for m, d in zip(model, measured)]
    e = [x for x in e if math.isfinite(x)]
    return float(np.sqrt(np.mean(np.square(e)))) if e else float("nan")


def mean_pct(model: Sequence[float], measured: Sequence[float]) -> float:
    """Error of the mean over a sweep: sum of model values against sum of measured ones."""
    m = float(np.sum(model))
    d = float(np.sum(measured))
    return error_pct(m, d)
