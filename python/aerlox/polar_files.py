"""Readers for the common airfoil-polar and blade-table files.

Polars (:func:`read_polar`, which :meth:`aerlox.Airfoil.read` calls):

- XFOIL and XFLR5 polar output: the header line ``Mach = ... Re = 0.100 e 6``
  gives the Reynolds number; the column line starting with ``alpha`` names the
  columns (CL and CD are taken by name); rows follow a line of dashes.
- AeroDyn airfoil file (the ``AirfoilInfo`` format): one table, its ``Re``
  line in millions, ``NumAlf`` rows of alpha (deg), Cl, Cd, ...
- CSV: columns alpha (or alpha_deg), cl, cd, found by name when a header row
  is present, else the first three columns. A comment line such as
  ``# Re = 1e5`` gives the Reynolds number.

The readers are strict: a row they cannot read (a word among the numbers, a
decimal comma, a missing column, a NaN or infinite value, a negative drag
coefficient) is a ``ValueError`` naming the file, the line number and the
row, and so is a file without a single row. Comment and header lines are
allowed where each format has them. A file that loads therefore loads whole:
a table silently missing rows would move the derived stall angle and lift
slope without a word.

Rows are sorted by angle and a repeated angle keeps its first row (XFOIL
appends sweeps in the order they were run).

Blades (:func:`read_blade`): CSV with columns r_m, chord_m, twist_deg, or an
AeroDyn blade file (BlSpn, BlTwist, BlChord).

This module reads numbers only; turning them into an :class:`~aerlox.Airfoil`
is the airfoil module's job, so the two import in one direction.
"""
from __future__ import annotations

import csv
import io
import math
import os
import re
from typing import List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = ["PolarRows", "read_polar", "read_blade"]

_XFOIL_RE = re.compile(r"\bRe\s*=\s*([0-9.]+)\s*e\s*([+-]?[0-9]+)")
_XFOIL_NAME_RE = re.compile(r"Calculated polar for:\s*(.*\S)")
_COMMENT_RE = re.compile(r"\b(?:re|reynolds)\s*[=:]\s*([0-9.]+(?:[eE][+-]?[0-9]+)?)", re.IGNORECASE)
_DASHES_RE = re.compile(r"^[\s\-]+$")

PathLike = Union[str, "os.PathLike[str]"]


class PolarRows(NamedTuple):
    """One polar table as read from a file, sorted by angle (a repeated angle keeps its first row).

    alpha_deg, cl, cd : float64 arrays. reynolds : the chord Reynolds number the
    file states (None when it states none, or 0 for an inviscid XFOIL run).
    name : the section's name (the file's own, else the file name's stem).
    """

    alpha_deg: np.ndarray
    cl: np.ndarray
    cd: np.ndarray
    reynolds: Optional[float]
    name: str


class _Row(NamedTuple):
    line: int          # 1-based line number in the file
    text: str          # the line as written, stripped
    values: List[float]


def _refuse(path, line: int, text: str, why: str) -> ValueError:
    return ValueError(f"{os.fspath(path)}, line {line}: {why}: {text!r}")


def _floats(tokens) -> Optional[List[float]]:
    try:
        return [float(t) for t in tokens]
    except ValueError:
        return None


def _read_lines(path) -> List[str]:
    # open() takes an int as a file descriptor: read_polar(1) would read and
    # then close the process's stdout. Only paths are files here.
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a file path (str or os.PathLike), got {type(path).__name__}")
    with open(path, encoding="utf-8", errors="replace") as fh:
        return fh.read().splitlines()


def _number_row(path, line: int, text: str, tokens: Sequence[str], need: int) -> _Row:
    """The row's numbers; a word, a decimal comma or fewer than ``need`` columns is refused."""
    vals = _floats(tokens)
    if vals is None:
        bad = next(t for t in tokens if _floats([t]) is None)
        raise _refuse(path, line, text, f"{bad!r} is not a number")
    if len(vals) < need:
        raise _refuse(path, line, text, f"{len(vals)} columns, {need} needed")
    return _Row(line, text, vals)


def _polar_rows(path, rows: Sequence[_Row], ia: int, il: int, idd: int, reynolds, name) -> PolarRows:
    """Check every row's alpha, cl and cd, then sort them into a table."""
    if not rows:
        raise ValueError(f"{os.fspath(path)}: no polar rows found")
    for row in rows:
        for label, i in (("alpha", ia), ("cl", il), ("cd", idd)):
            v = row.values[i]
            if not math.isfinite(v):
                raise _refuse(path, row.line, row.text, f"{label} is {v!r}")
        if row.values[idd] < 0.0:
            raise _refuse(path, row.line, row.text,
                          f"negative drag coefficient cd = {row.values[idd]!r} (drag is >= 0)")
    arr = np.array([[r.values[ia], r.values[il], r.values[idd]] for r in rows], dtype=np.float64)
    arr = arr[np.argsort(arr[:, 0], kind="stable")]
    keep = np.concatenate(([True], np.diff(arr[:, 0]) > 0.0))
    arr = arr[keep]
    if not name:
        name = os.path.splitext(os.path.basename(os.fspath(path)))[0]
    return PolarRows(arr[:, 0].copy(), arr[:, 1].copy(), arr[:, 2].copy(), reynolds, name)


def _reynolds(path, line: int, text: str, value: float) -> Optional[float]:
    """A stated Reynolds number: None for zero (XFOIL's inviscid runs), refused when not finite or negative."""
    if not math.isfinite(value) or value < 0.0:
        raise _refuse(path, line, text, f"the Reynolds number {value!r} is not a finite number >= 0")
    return value if value > 0.0 else None


def read_polar(path: PathLike) -> PolarRows:
    """The rows of one polar file (XFOIL/XFLR5, AeroDyn or CSV; the format is recognised from its text).

    ValueError naming the file, line and row for a row that cannot be read.
    """
    lines = _read_lines(path)
    if any(len(ln.split()) >= 2 and ln.split()[1] == "NumAlf" for ln in lines):
        return _read_aerodyn(path, lines)
    for ln in lines:
        tokens = ln.lower().split()
        if tokens and tokens[0] == "alpha" and "cl" in tokens and "cd" in tokens and "," not in ln:
            return _read_xfoil(path, lines)
    return _read_csv(path, lines)


def _read_xfoil(path, lines: List[str]) -> PolarRows:
    reynolds, name, header = None, None, None
    ia = il = idd = 0
    rows: List[_Row] = []
    for n, ln in enumerate(lines, start=1):
        if header is None:
            # Everything above the column line is free text; two lines of it are read.
            m = _XFOIL_NAME_RE.search(ln)
            if m and name is None:
                name = m.group(1)
            m = _XFOIL_RE.search(ln)
            if m and reynolds is None:
                mantissa = _floats([m.group(1)])
                if mantissa is None:
                    raise _refuse(path, n, ln.strip(), f"{m.group(1)!r} is not a Reynolds number")
                # Written out as one literal, a huge exponent reads as inf (refused), not an OverflowError.
                reynolds = _reynolds(path, n, ln.strip(), float(f"{mantissa[0]!r}e{m.group(2)}"))
            tokens = [t.lower() for t in ln.split()]
            if tokens and tokens[0] == "alpha" and "cl" in tokens and "cd" in tokens:
                header = tokens
                ia, il, idd = header.index("alpha"), header.index("cl"), header.index("cd")
            continue
        text = ln.strip()
        if not text or _DASHES_RE.match(text):
            continue
        rows.append(_number_row(path, n, text, text.split(), max(ia, il, idd) + 1))
    return _polar_rows(path, rows, ia, il, idd, reynolds, name)


def _aerodyn_value(path, n: int, text: str, token: str, kind):
    try:
        return kind(token)
    except ValueError:
        raise _refuse(path, n, text, f"{token!r} is not {'an integer' if kind is int else 'a number'}") from None


def _read_aerodyn(path, lines: List[str]) -> PolarRows:
    reynolds = None
    n_tables = 1
    rows: List[_Row] = []
    n_rows = None
    for n, ln in enumerate(lines, start=1):
        text = ln.strip()
        if not text or text.startswith("!"):
            continue
        tokens = text.split()
        if n_rows is None:
            key = tokens[1] if len(tokens) >= 2 else ""
            if key == "Re":
                reynolds = _reynolds(path, n, text, _aerodyn_value(path, n, text, tokens[0], float) * 1e6)
            elif key == "NumTabs":
                n_tables = _aerodyn_value(path, n, text, tokens[0], int)
                if n_tables != 1:
                    raise _refuse(path, n, text, f"NumTabs is {n_tables}; files with one table are read "
                                  "(give one file per Reynolds number)")
            elif key == "NumAlf":
                n_rows = _aerodyn_value(path, n, text, tokens[0], int)
                if n_rows < 1:
                    raise _refuse(path, n, text, f"NumAlf must be >= 1, got {n_rows}")
            continue
        rows.append(_number_row(path, n, text, tokens, 3))
        if len(rows) == n_rows:
            break
    if n_rows is not None and len(rows) != n_rows:
        raise ValueError(f"{os.fspath(path)}: NumAlf announces {n_rows} rows, the file ends after {len(rows)}")
    return _polar_rows(path, rows, 0, 1, 2, reynolds, None)


def _csv_rows(path, lines: List[str]) -> Tuple[Optional[List[str]], List[_Row], List[_Row]]:
    """(header or None, numeric rows, comment lines) of a comma- or whitespace-separated file.

    The first line that is not numbers is the header when no row precedes it;
    any later one is refused. ``need`` columns are checked by the caller.
    """
    comments, body = [], []
    for n, ln in enumerate(lines, start=1):
        s = ln.strip()
        if not s:
            continue
        (comments if s.startswith("#") else body).append((n, s))
    delimiter = "," if any("," in s for _, s in body) else None
    header, rows = None, []
    for n, s in body:
        tokens = [t.strip() for t in (next(csv.reader(io.StringIO(s))) if delimiter else s.split())]
        if header is None and not rows and _floats(tokens) is None:
            header = [t.lower() for t in tokens]
            continue
        rows.append(_number_row(path, n, s, tokens, 0))
    return header, rows, [_Row(n, s, []) for n, s in comments]


def _column_index(header, names, default, path):
    if header is None:
        return default
    for n in names:
        if n in header:
            return header.index(n)
    raise ValueError(f"{os.fspath(path)}: no column named {' or '.join(names)} in header {header}")


def _short_rows(path, rows: Sequence[_Row], need: int) -> None:
    for r in rows:
        if len(r.values) < need:
            raise _refuse(path, r.line, r.text, f"{len(r.values)} columns, {need} needed")


def _read_csv(path, lines: List[str]) -> PolarRows:
    header, rows, comments = _csv_rows(path, lines)
    reynolds = None
    for c in comments:
        m = _COMMENT_RE.search(c.text)
        if m:
            value = _floats([m.group(1)])
            if value is None:
                raise _refuse(path, c.line, c.text, f"{m.group(1)!r} is not a Reynolds number")
            reynolds = _reynolds(path, c.line, c.text, value[0])
            break
    ia = _column_index(header, ("alpha", "alpha_deg", "aoa"), 0, path)
    il = _column_index(header, ("cl",), 1, path)
    idd = _column_index(header, ("cd",), 2, path)
    _short_rows(path, rows, max(ia, il, idd) + 1)
    return _polar_rows(path, rows, ia, il, idd, reynolds, None)


def read_blade(path: PathLike, hub_radius_m: float = 0.0,
               ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(r_m, chord_m, twist_deg) arrays of a blade table.

    CSV: columns r_m, chord_m, twist_deg (by name when a header is present,
    else the first three), r measured from the rotor axis.

    AeroDyn blade file: BlSpn is measured from the blade root, so
    r = hub_radius_m + BlSpn. Its BlTwist is positive towards feather, the
    sense that lowers a wind-turbine blade's angle of attack; the toolkit's
    twist raises the angle of attack, so the file's twist is read with its
    sign reversed (a wind-turbine blade then works as a rotor in the
    windmilling state: climb_m_s negative, negative torque).

    A row that cannot be read is a ValueError naming the file, line and row.
    """
    lines = _read_lines(path)
    for i, ln in enumerate(lines):
        tokens = ln.split()
        if "BlSpn" in tokens and "BlTwist" in tokens and "BlChord" in tokens:
            return _read_aerodyn_blade(path, lines, i, tokens, hub_radius_m)
    header, rows, _ = _csv_rows(path, lines)
    ir = _column_index(header, ("r_m", "r"), 0, path)
    ic = _column_index(header, ("chord_m", "chord"), 1, path)
    it = _column_index(header, ("twist_deg", "twist"), 2, path)
    if not rows:
        raise ValueError(f"{os.fspath(path)}: no blade rows found (expected rows of r_m, chord_m, twist_deg)")
    _short_rows(path, rows, max(ir, ic, it) + 1)
    return _blade_columns(path, rows, ir, ic, it, 0.0, 1.0)


def _read_aerodyn_blade(path, lines, i, cols, hub_radius_m):
    """The table below an AeroDyn blade file's column line ``cols`` (line index ``i``)."""
    n_nodes = None
    for ln in lines[:i]:
        tokens = ln.split()
        if len(tokens) >= 2 and tokens[1] == "NumBlNds":
            n_nodes = _floats(tokens[:1])
    n_nodes = int(n_nodes[0]) if n_nodes else None
    rows: List[_Row] = []
    for n, ln in enumerate(lines[i + 1:], start=i + 2):
        text = ln.strip()
        if not text or (not rows and all(t.startswith("(") for t in text.split())):
            continue  # the units line below the column names
        rows.append(_number_row(path, n, text, text.split(), len(cols)))
        if len(rows) == n_nodes:
            break
    if not rows:
        raise ValueError(f"{os.fspath(path)}: no blade rows after the BlSpn header")
    if n_nodes is not None and len(rows) != n_nodes:
        raise ValueError(f"{os.fspath(path)}: NumBlNds announces {n_nodes} rows, the file ends after {len(rows)}")
    hub = float(hub_radius_m)
    return _blade_columns(path, rows, cols.index("BlSpn"), cols.index("BlChord"), cols.index("BlTwist"),
                          hub, -1.0)


def _blade_columns(path, rows: Sequence[_Row], ir: int, ic: int, it: int, r_offset: float, twist_sign: float):
    for row in rows:
        for label, j in (("r", ir), ("chord", ic), ("twist", it)):
            if not math.isfinite(row.values[j]):
                raise _refuse(path, row.line, row.text, f"{label} is {row.values[j]!r}")
    arr = np.array([[r.values[ir], r.values[ic], r.values[it]] for r in rows], dtype=np.float64)
    return r_offset + arr[:, 0], arr[:, 1], twist_sign * arr[:, 2]
