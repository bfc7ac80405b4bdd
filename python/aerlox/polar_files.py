"""Readers for the common airfoil-polar and blade-table files.

Polars (:func:`read_polar`):

- XFOIL and XFLR5 polar output: the header line ``Mach = ... Re = 0.100 e 6``
  gives the Reynolds number; the column line starting with ``alpha`` names the
  columns (CL and CD are taken by name); rows follow a line of dashes.
- AeroDyn airfoil file (the ``AirfoilInfo`` format): one table, its ``Re``
  line in millions, ``NumAlf`` rows of alpha (deg), Cl, Cd, ...
- CSV: columns alpha (or alpha_deg), cl, cd, found by name when a header row
  is present, else the first three columns. A comment line such as
  ``# Re = 1e5`` gives the Reynolds number.

Rows are sorted by angle and a repeated angle keeps its first row (XFOIL
appends sweeps in the order they were run).

Blades (:func:`read_blade`): CSV with columns r_m, chord_m, twist_deg, or an
AeroDyn blade file (BlSpn, BlTwist, BlChord).
"""
from __future__ import annotations

import csv
import io
import os
import re
from typing import TYPE_CHECKING, List, Optional, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from .airfoil import Airfoil

__all__ = ["read_polar", "read_blade"]

_XFOIL_RE = re.compile(r"\bRe\s*=\s*([0-9.]+)\s*e\s*([+-]?[0-9]+)")
_XFOIL_NAME_RE = re.compile(r"Calculated polar for:\s*(.*\S)")
_COMMENT_RE = re.compile(r"\b(?:re|reynolds)\s*[=:]\s*([0-9.]+(?:[eE][+-]?[0-9]+)?)", re.IGNORECASE)


def _floats(tokens) -> Optional[List[float]]:
    try:
        return [float(t) for t in tokens]
    except ValueError:
        return None


def _table(path, alpha, cl, cd, reynolds, name=None):
    from .airfoil import Airfoil

    a, l, d = (np.asarray(x, dtype=np.float64) for x in (alpha, cl, cd))
    if a.size == 0:
        raise ValueError(f"{os.fspath(path)}: no polar rows found")
    order = np.argsort(a, kind="stable")
    a, l, d = a[order], l[order], d[order]
    keep = np.concatenate(([True], np.diff(a) > 0.0))
    if not name:
        name = os.path.splitext(os.path.basename(os.fspath(path)))[0]
    try:
        return Airfoil.table(a[keep], l[keep], d[keep], reynolds, name=name)
    except ValueError as err:
        raise ValueError(f"{os.fspath(path)}: {err}") from None


def read_polar(path: Union[str, "os.PathLike[str]"]) -> "Airfoil":
    """One :class:`~aerlox.Airfoil` (one table) from a polar file; the format is recognised from its text."""
    with open(path, encoding="utf-8", errors="replace") as fh:
        text = fh.read()
    lines = text.splitlines()
    if any(len(ln.split()) >= 2 and ln.split()[1] == "NumAlf" for ln in lines):
        return _read_aerodyn(path, lines)
    for ln in lines:
        tokens = ln.lower().split()
        if tokens and tokens[0] == "alpha" and "cl" in tokens and "cd" in tokens and "," not in ln:
            return _read_xfoil(path, lines)
    return _read_csv(path, text)


def _read_xfoil(path, lines):
    reynolds = None
    header = None
    name = None
    rows = []
    for ln in lines:
        if name is None:
            m = _XFOIL_NAME_RE.search(ln)
            if m:
                name = m.group(1)
        if reynolds is None:
            m = _XFOIL_RE.search(ln)
            if m:
                reynolds = float(m.group(1)) * 10.0 ** int(m.group(2))
        tokens = ln.split()
        if header is None:
            if tokens and tokens[0].lower() == "alpha":
                header = [t.lower() for t in tokens]
            continue
        vals = _floats(tokens)
        if vals is not None and len(vals) >= 3:
            rows.append(vals)
    ia, il, idd = header.index("alpha"), header.index("cl"), header.index("cd")
    rows = np.array([r[: len(header)] for r in rows if len(r) > max(ia, il, idd)])
    if rows.size == 0:
        raise ValueError(f"{os.fspath(path)}: no polar rows found")
    if reynolds is not None and reynolds <= 0.0:
        reynolds = None  # XFOIL writes Re = 0 for an inviscid polar
    return _table(path, rows[:, ia], rows[:, il], rows[:, idd], reynolds, name)


def _read_aerodyn(path, lines):
    reynolds = None
    n_tables = 1
    rows = []
    n_rows = None
    for ln in lines:
        stripped = ln.strip()
        if not stripped or stripped.startswith("!"):
            continue
        tokens = stripped.split()
        if n_rows is None:
            if len(tokens) >= 2:
                key = tokens[1]
                if key == "Re":
                    reynolds = float(tokens[0]) * 1e6
                elif key == "NumTabs":
                    n_tables = int(tokens[0])
                elif key == "NumAlf":
                    n_rows = int(tokens[0])
            continue
        vals = _floats(tokens)
        if vals is None or len(vals) < 3:
            break
        rows.append(vals[:3])
        if len(rows) == n_rows:
            break
    if n_tables != 1:
        raise ValueError(f"{os.fspath(path)}: NumTabs is {n_tables}; files with one table are read "
                         "(give one file per Reynolds number)")
    if n_rows is None or len(rows) != n_rows:
        raise ValueError(f"{os.fspath(path)}: NumAlf announces {n_rows} rows, found {len(rows)}")
    arr = np.array(rows)
    if reynolds is not None and reynolds <= 0.0:
        reynolds = None
    return _table(path, arr[:, 0], arr[:, 1], arr[:, 2], reynolds)


def _csv_rows(text, path) -> Tuple[Optional[List[str]], List[List[float]], List[str]]:
    """(header or None, numeric rows, comment lines) of a comma- or whitespace-separated file.

    A row that is not numbers (other than the header) is a ValueError naming ``path``.
    """
    comments, body = [], []
    for ln in text.splitlines():
        s = ln.strip()
        if not s:
            continue
        if s.startswith("#"):
            comments.append(s)
        else:
            body.append(s)
    delimiter = "," if any("," in b for b in body) else None
    header, rows = None, []
    for b in body:
        tokens = [t.strip() for t in (next(csv.reader(io.StringIO(b))) if delimiter else b.split())]
        vals = _floats(tokens)
        if vals is None:
            if header is None and not rows:
                header = [t.lower() for t in tokens]
                continue
            raise ValueError(f"{os.fspath(path)}: not a number in row {b!r}")
        rows.append(vals)
    return header, rows, comments


def _column_index(header, names, default, path):
    if header is None:
        return default
    for n in names:
        if n in header:
            return header.index(n)
    raise ValueError(f"{os.fspath(path)}: no column named {' or '.join(names)} in header {header}")


def _read_csv(path, text):
    header, rows, comments = _csv_rows(text, path)
    reynolds = None
    for c in comments:
        m = _COMMENT_RE.search(c)
        if m:
            reynolds = float(m.group(1))
            break
    ia = _column_index(header, ("alpha", "alpha_deg", "aoa"), 0, path)
    il = _column_index(header, ("cl",), 1, path)
    idd = _column_index(header, ("cd",), 2, path)
    need = max(ia, il, idd)
    bad = [r for r in rows if len(r) <= need]
    if bad:
        raise ValueError(f"{os.fspath(path)}: a row has {len(bad[0])} columns, {need + 1} needed")
    arr = np.array([r[: need + 1] for r in rows]) if rows else np.empty((0, 3))
    return _table(path, arr[:, ia], arr[:, il], arr[:, idd], reynolds)


def read_blade(path: Union[str, "os.PathLike[str]"], hub_radius_m: float = 0.0,
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
    """
    with open(path, encoding="utf-8", errors="replace") as fh:
        text = fh.read()
    lines = text.splitlines()
    for i, ln in enumerate(lines):
        tokens = ln.split()
        if "BlSpn" in tokens and "BlTwist" in tokens and "BlChord" in tokens:
            cols = tokens
            rows = []
            for nxt in lines[i + 1:]:
                vals = _floats(nxt.split())
                if vals is None:
                    if rows:
                        break
                    continue  # the units line
                if len(vals) >= len(cols):
                    rows.append(vals)
            if not rows:
                raise ValueError(f"{os.fspath(path)}: no blade rows after the BlSpn header")
            arr = np.array([r[: len(cols)] for r in rows])
            r = float(hub_radius_m) + arr[:, cols.index("BlSpn")]
            return r, arr[:, cols.index("BlChord")], -arr[:, cols.index("BlTwist")]
    header, rows, _ = _csv_rows(text, path)
    ir = _column_index(header, ("r_m", "r"), 0, path)
    ic = _column_index(header, ("chord_m", "chord"), 1, path)
    it = _column_index(header, ("twist_deg", "twist"), 2, path)
    need = max(ir, ic, it)
    if not rows or any(len(r) <= need for r in rows):
        raise ValueError(f"{os.fspath(path)}: expected rows of r_m, chord_m, twist_deg")
    arr = np.array([r[: need + 1] for r in rows])
    return arr[:, ir], arr[:, ic], arr[:, it]
