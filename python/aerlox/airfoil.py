"""Airfoils: a linear lift law or measured polar tables, one or several Reynolds numbers.

An :class:`Airfoil` is an immutable description. The core wants two things from
it: a polar (``LinearPolar`` or ``TabulatedPolar``) for the blade loads, and a
``LinearPolarParameters`` (lift slope, zero-angle lift, minimum drag, stall
angle) for the parts that need a lift slope: the flapping Lock number, the
servo-flap feathering and the vortex rotor's blade dynamics. For a table the
parameters are derived from the table itself (:func:`derive_parameters`).
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

import numpy as np

from . import _aerlox
from ._checks import floats as _floats, number as _number, real as _real, warn_unit as _warn_unit
from .polar_files import read_polar

__all__ = ["Airfoil", "PolarTable", "LinearParameters", "derive_parameters"]

# Angles of the attached-flow fit, degrees (see derive_parameters).
ATTACHED_RANGE_DEG = (-5.0, 5.0)
# Angles searched for the stall (the maximum lift), degrees.
STALL_SEARCH_DEG = (0.0, 30.0)
# A table whose angles all lie within this (deg) or a stall angle below the
# second figure (deg) is almost surely in radians.
PLAUSIBLE_SPAN_DEG = 1.0
PLAUSIBLE_STALL_DEG = 2.0


def _warn_stall(name: str, alpha_stall_deg: float) -> None:
    if 0.0 < alpha_stall_deg < PLAUSIBLE_STALL_DEG:
        _warn_unit(f"{name}={alpha_stall_deg!r} deg is a stall angle below {PLAUSIBLE_STALL_DEG:g} deg: "
                   f"given in radians? ({math.degrees(alpha_stall_deg):.3g} deg if so)")


@dataclass(frozen=True)
class LinearParameters:
    """The four numbers of the linear lift law (the core's ``LinearPolarParameters``).

    cl0 : lift coefficient at zero angle of attack.
    cl_alpha_per_rad : lift-curve slope, per radian.
    cd0 : drag coefficient below stall.
    alpha_stall_deg : stall angle, degrees (a magnitude, the same both ways).
    """

    cl0: float
    cl_alpha_per_rad: float
    cd0: float
    alpha_stall_deg: float

    def to_core(self) -> "_aerlox.LinearPolarParameters":
        """The core's ``LinearPolarParameters``."""
        return _aerlox.LinearPolarParameters(self.cl0, self.cl_alpha_per_rad, self.cd0, self.alpha_stall_deg)


@dataclass(frozen=True)
class PolarTable:
    """One polar table: angle of attack (deg, strictly ascending), lift and drag coefficients.

    ``reynolds`` is the chord Reynolds number the table was measured or
    computed at (None when unknown). ``parameters`` is the linear law derived
    from the table (or given), kept through :meth:`Airfoil.extrapolated`.
    """

    alpha_deg: Tuple[float, ...]
    cl: Tuple[float, ...]
    cd: Tuple[float, ...]
    reynolds: Optional[float]
    parameters: LinearParameters

    def __hash__(self):
        # Tables are long and rotors are looked up by value on every solve, so
        # the hash is kept. It holds numbers only, so it is the same in every
        # process and may travel with a pickle.
        try:
            return self.__dict__["_hash"]
        except KeyError:
            h = hash((self.alpha_deg, self.cl, self.cd, self.reynolds, self.parameters))
            object.__setattr__(self, "_hash", h)
            return h

    def arrays(self):
        """(alpha_deg, cl, cd) as float64 arrays."""
        return (np.array(self.alpha_deg), np.array(self.cl), np.array(self.cd))

    def to_core(self) -> "_aerlox.TabulatedPolar":
        """The core's ``TabulatedPolar`` (angles converted to radians)."""
        a, cl, cd = self.arrays()
        return _aerlox.TabulatedPolar(np.ascontiguousarray(np.radians(a)), cl, cd)


def _column(name: str, values) -> np.ndarray:
    return _floats(name, values, "a one-dimensional sequence of numbers")


def derive_parameters(alpha_deg, cl, cd) -> LinearParameters:
    """The linear lift law that best describes a polar table.

    - lift slope and zero-angle lift: least-squares straight line through the
      rows with -5 <= alpha <= 5 deg (attached flow for rotor airfoils at the
      Reynolds numbers of small and full-size rotors); when fewer than two rows
      lie there, the line through the two rows nearest 0 deg;
    - minimum drag: the smallest drag coefficient of the table;
    - stall angle: the angle of the largest lift coefficient between 0 and
      30 deg (the table's last row when none lies in that range).
    """
    a, l, d = (np.asarray(x, dtype=np.float64) for x in (alpha_deg, cl, cd))
    if a.size < 2:
        raise ValueError("a polar table needs at least two rows to give a lift slope")
    lo, hi = ATTACHED_RANGE_DEG
    sel = (a >= lo) & (a <= hi)
    if np.count_nonzero(sel) < 2:
        sel = np.zeros(a.size, dtype=bool)
        sel[np.argsort(np.abs(a), kind="stable")[:2]] = True
    fit_a = a[sel]
    # Rows closer than this (deg) cannot carry a lift slope; the fit's own
    # solver fails noisily on them, so they are refused first.
    if not float(fit_a.max() - fit_a.min()) >= 1e-6:
        slope_deg = intercept = math.inf
    else:
        with np.errstate(all="ignore"):
            slope_deg, intercept = np.polyfit(fit_a, l[sel], 1)
    s_lo, s_hi = STALL_SEARCH_DEG
    search = (a >= s_lo) & (a <= s_hi)
    if np.any(search):
        stall = float(a[search][np.argmax(l[search])])
    else:
        stall = float(abs(a[-1]))
    out = LinearParameters(
        cl0=float(intercept), cl_alpha_per_rad=float(slope_deg) * 180.0 / math.pi,
        cd0=float(np.min(d)), alpha_stall_deg=abs(stall),
    )
    if not (math.isfinite(out.cl_alpha_per_rad) and math.isfinite(out.cl0)):
        raise ValueError(f"the lift slope derived from the rows at alpha_deg = {fit_a.tolist()} is "
                         f"{out.cl_alpha_per_rad!r} per rad (angles too close or lift too large to fit a line); "
                         "check the table or give parameters=")
    return out


def _check_law(prefix: str, law: LinearParameters, *, stall_positive: bool = True) -> None:
    """Refuse a law the models cannot use; warn of a stall angle that looks like radians.

    A table's derived stall angle may be 0 (no lift peak above 0 deg), so
    ``stall_positive`` is for the linear law only.
    """
    for f in ("cl0", "cl_alpha_per_rad", "cd0", "alpha_stall_deg"):
        _number(prefix + f, getattr(law, f))
    if stall_positive and law.alpha_stall_deg <= 0.0:
        raise ValueError(f"{prefix}alpha_stall_deg must be > 0, got {law.alpha_stall_deg!r}")
    if law.cd0 < 0.0:
        raise ValueError(f"{prefix}cd0 must be >= 0, got {law.cd0!r}")
    _warn_stall(prefix + "alpha_stall_deg", law.alpha_stall_deg)


def _make_table(alpha_deg, cl, cd, reynolds=None, parameters=None) -> PolarTable:
    a, l, d = _column("alpha_deg", alpha_deg), _column("cl", cl), _column("cd", cd)
    if not (a.size == l.size == d.size):
        raise ValueError(f"alpha_deg, cl and cd must have equal lengths, got {a.size}, {l.size} and {d.size}")
    if a.size == 0:
        raise ValueError("a polar table needs at least one row")
    if a.size > 1 and not np.all(np.diff(a) > 0.0):
        raise ValueError("alpha_deg must be strictly increasing")
    negative = np.flatnonzero(d < 0.0)
    if negative.size:
        i = int(negative[0])
        raise ValueError(f"cd must be >= 0 (drag never pushes the blade forward), got {float(d[i])!r} at index {i}")
    if a.size > 1 and float(np.max(np.abs(a))) < PLAUSIBLE_SPAN_DEG:
        _warn_unit(f"alpha_deg spans only {a[0]:.3g} .. {a[-1]:.3g} deg, within +-{PLAUSIBLE_SPAN_DEG:g} deg: "
                   "angles given in radians?")
    if reynolds is not None:
        reynolds = _number("reynolds", reynolds, positive=True)
    if parameters is None:
        parameters = derive_parameters(a, l, d)
    else:
        if not isinstance(parameters, LinearParameters):
            parameters = LinearParameters(*(_number(f"parameters[{i}]", x) for i, x in enumerate(parameters)))
        _check_law("parameters.", parameters, stall_positive=False)
    return PolarTable(tuple(a.tolist()), tuple(l.tolist()), tuple(d.tolist()), reynolds, parameters)


@dataclass(frozen=True)
class Airfoil:
    """A blade section's lift and drag: a linear law or one table per Reynolds number.

    Build one with :meth:`linear`, :meth:`table`, :meth:`read` or
    :meth:`combine`. Immutable, picklable, equal by value. With several tables
    a rotor uses the one nearest its Reynolds number at 0.75 R (see
    :meth:`select`).
    """

    tables: Tuple[PolarTable, ...] = ()
    linear_law: Optional[LinearParameters] = None
    name: str = ""

    # -- construction -------------------------------------------------------

    @classmethod
    def linear(cls, cl_alpha_per_rad: float = 2.0 * math.pi, cd0: float = 0.01,
               alpha_stall_deg: float = 15.0, cl0: float = 0.0, *, name: str = "") -> "Airfoil":
        """The linear law: cl = cl0 + cl_alpha_per_rad * alpha below stall (alpha in rad),
        cd = cd0; beyond the stall angle (deg, both signs) the lift stays at its
        stall value and the drag grows by 1 per radian."""
        vals = {key: _number(key, v) for key, v in (
            ("cl_alpha_per_rad", cl_alpha_per_rad), ("cd0", cd0), ("alpha_stall_deg", alpha_stall_deg), ("cl0", cl0))}
        law = LinearParameters(vals["cl0"], vals["cl_alpha_per_rad"], vals["cd0"], vals["alpha_stall_deg"])
        _check_law("", law)
        return cls((), law, str(name))

    @classmethod
    def table(cls, alpha_deg, cl, cd, reynolds: Optional[float] = None, *, name: str = "",
              parameters: Optional[LinearParameters] = None) -> "Airfoil":
        """One polar table: angles of attack in degrees (strictly ascending), cl, cd.

        The table is used as given: the core interpolates linearly inside it and
        holds the end values outside (use :meth:`extrapolated` for +-180 deg).
        ``parameters`` overrides the derived linear law (:func:`derive_parameters`).
        """
        return cls((_make_table(alpha_deg, cl, cd, reynolds, parameters),), None, str(name))

    @classmethod
    def combine(cls, *airfoils: "Airfoil", name: Optional[str] = None) -> "Airfoil":
        """One airfoil from tables at different Reynolds numbers (each must state its Reynolds number)."""
        tables = []
        for af in airfoils:
            if not isinstance(af, Airfoil):
                raise TypeError(f"combine takes Airfoil objects, got {type(af).__name__}")
            if af.is_linear:
                raise ValueError("combine takes tabulated airfoils only, got a linear one")
            tables.extend(af.tables)
        if not tables:
            raise ValueError("combine needs at least one airfoil")
        if len(tables) > 1:
            if any(t.reynolds is None for t in tables):
                raise ValueError("every table must state its reynolds number to be combined")
            res = [t.reynolds for t in tables]
            if len(set(res)) != len(res):
                raise ValueError(f"two tables share a reynolds number: {sorted(res)}")
        tables.sort(key=lambda t: (t.reynolds is None, t.reynolds))
        if name is None:
            name = next((af.name for af in airfoils if af.name), "")
        return cls(tuple(tables), None, name)

    @classmethod
    def read(cls, path, *more_paths, name: Optional[str] = None) -> "Airfoil":
        """Read polar files; several files (or a list of paths) form one airfoil.

        Recognised: XFOIL and XFLR5 polar output (the Reynolds number is read
        from the header), an AeroDyn airfoil file with one table (its ``Re``
        line is in millions), and CSV with columns alpha, cl, cd (a header
        row naming them is optional; extra columns are ignored). See
        :mod:`aerlox.polar_files`. A row that cannot be read (a word, a
        decimal comma, a missing column, NaN, a negative cd) is a ValueError
        naming the file, the line and the row; so is a file with no rows.
        """
        paths = []
        for p in (path,) + more_paths:
            if isinstance(p, (str, os.PathLike)):
                paths.append(p)
            else:
                paths.extend(p)
        airfoils = [cls._from_rows(p, read_polar(p)) for p in paths]
        out = cls.combine(*airfoils) if len(airfoils) > 1 else airfoils[0]
        if name is not None:
            out = Airfoil(out.tables, out.linear_law, str(name))
        return out

    @classmethod
    def _from_rows(cls, path, rows) -> "Airfoil":
        try:
            return cls.table(rows.alpha_deg, rows.cl, rows.cd, rows.reynolds, name=rows.name)
        except ValueError as err:
            raise ValueError(f"{os.fspath(path)}: {err}") from None

    # -- queries ------------------------------------------------------------

    @property
    def is_linear(self) -> bool:
        """True for the linear law, False for tables."""
        return self.linear_law is not None

    @property
    def reynolds(self) -> Tuple[Optional[float], ...]:
        """Reynolds numbers of the tables, ascending (empty for the linear law)."""
        return tuple(t.reynolds for t in self.tables)

    def select(self, reynolds: Optional[float] = None) -> int:
        """Index of the table used at this Reynolds number.

        The nearest table on a logarithmic scale (Reynolds numbers span
        decades); the first table when ``reynolds`` is None or only one table
        exists. 0 for the linear law.
        """
        if self.is_linear or len(self.tables) == 1 or reynolds is None:
            return 0
        logs = np.log([t.reynolds for t in self.tables])
        return int(np.argmin(np.abs(logs - math.log(max(float(reynolds), 1e-300)))))

    def parameters(self, reynolds: Optional[float] = None) -> LinearParameters:
        """The linear law: given, or derived from the table chosen for ``reynolds``."""
        if self.is_linear:
            return self.linear_law
        return self.tables[self.select(reynolds)].parameters

    def to_core(self, reynolds: Optional[float] = None):
        """The core polar (``LinearPolar`` or ``TabulatedPolar``) for ``reynolds``."""
        if self.is_linear:
            return _aerlox.LinearPolar.from_properties(self.linear_law.to_core())
        return self.tables[self.select(reynolds)].to_core()

    def cl_cd(self, alpha_deg, reynolds: Optional[float] = None):
        """Lift and drag coefficients at angles of attack in degrees, as the models see them."""
        a = np.ascontiguousarray(np.radians(np.atleast_1d(np.asarray(alpha_deg, dtype=np.float64))))
        cl, cd = self.to_core(reynolds).cl_cd_arr(a)
        if np.ndim(alpha_deg) == 0:
            return float(cl[0]), float(cd[0])
        return cl, cd

    def extrapolated(self, cd_max: float = 2.0, step_deg: float = 2.0) -> "Airfoil":
        """Every table extended to -180..180 deg (Viterna-Corrigan, then a flat plate).

        From each end of the table to +-90 deg the Viterna-Corrigan relations
        (cl = A1 sin 2a + A2 cos^2 a / sin a, cd = B1 sin^2 a + B2 cos a, with
        B1 = cd_max, A1 = B1/2 and A2, B2 chosen so that both curves meet the
        table's end row) continue the table, so lift and drag are continuous
        at the table ends. From +-90 to +-180 deg the section is a flat plate
        seen from behind: cl = cd_max/2 sin 2a, cd = cd_max sin^2 a +
        cd_min cos^2 a. ``cd_max`` is the drag normal to the chord (2.0 for a
        blade of large aspect ratio; 1.11 + 0.018 AR is a common choice for
        aspect ratio AR < 50). The derived linear law is kept from the
        original table. The linear law is returned unchanged.
        """
        if self.is_linear:
            return self
        cd_max = _real("cd_max", cd_max)
        if not (math.isfinite(cd_max) and cd_max > 0.0):
            raise ValueError(f"cd_max must be a finite number > 0, got {cd_max!r}")
        step_deg = _real("step_deg", step_deg)
        if not (math.isfinite(step_deg) and step_deg > 0.0):
            raise ValueError(f"step_deg must be a finite number > 0, got {step_deg!r}")
        for t in self.tables:
            # The grid's size comes from the table's ends and the step: bounded before it is built.
            span = max(0.0, 180.0 - t.alpha_deg[-1]) + max(0.0, 180.0 + t.alpha_deg[0])
            rows = span / step_deg
            if rows > MAX_EXTRAPOLATED_ROWS:
                raise ValueError(f"extrapolated: {span:.6g} deg to fill at step_deg={step_deg:g} makes {rows:.3g} rows, "
                                 f"beyond the limit of {MAX_EXTRAPOLATED_ROWS:,} (tables end within -180..180 deg)")
        tables = tuple(_extrapolate(t, cd_max, step_deg) for t in self.tables)
        return Airfoil(tables, None, self.name)

    def __repr__(self) -> str:
        label = f", name={self.name!r}" if self.name else ""
        if self.is_linear:
            p = self.linear_law
            return (f"Airfoil.linear(cl_alpha_per_rad={p.cl_alpha_per_rad!r}, cd0={p.cd0!r}, "
                    f"alpha_stall_deg={p.alpha_stall_deg!r}, cl0={p.cl0!r}{label})")
        spans = ", ".join(
            f"Re={t.reynolds:.4g}: {len(t.alpha_deg)} rows {t.alpha_deg[0]:g}..{t.alpha_deg[-1]:g} deg"
            if t.reynolds is not None else
            f"{len(t.alpha_deg)} rows {t.alpha_deg[0]:g}..{t.alpha_deg[-1]:g} deg"
            for t in self.tables)
        return f"Airfoil(tables=[{spans}]{label})"


# -- Viterna-Corrigan -------------------------------------------------------

def _viterna(alpha_rad: np.ndarray, a_s: float, cl_s: float, cd_s: float, cd_max: float):
    """Viterna-Corrigan post-stall lift and drag for 0 < a_s <= alpha <= pi/2 (radians)."""
    s, c = math.sin(a_s), math.cos(a_s)
    a1 = cd_max / 2.0
    a2 = (cl_s - cd_max * s * c) * s / (c * c)
    b2 = (cd_s - cd_max * s * s) / c
    sa, ca = np.sin(alpha_rad), np.cos(alpha_rad)
    cl = a1 * np.sin(2.0 * alpha_rad) + a2 * ca * ca / sa
    cd = cd_max * sa * sa + b2 * ca
    return cl, cd


def _flat_plate(alpha_rad: np.ndarray, cd_max: float, cd_min: float):
    s, c = np.sin(alpha_rad), np.cos(alpha_rad)
    return cd_max * s * c, cd_max * s * s + cd_min * c * c


def _grid(start: float, stop: float, step: float) -> np.ndarray:
    """Points in (start, stop], about ``step`` apart, ending exactly at stop."""
    n = max(int(math.ceil((stop - start) / step - 1e-9)), 1)
    return start + (stop - start) * np.arange(1, n + 1) / n


#: The most rows ``Airfoil.extrapolated`` may add to a table.
MAX_EXTRAPOLATED_ROWS = 100_000


def _extend_up(a_end, cl_end, cd_end, cd_max, cd_min, step):
    """Rows above a table end at a_end (deg) up to 180 deg: (alpha_deg, cl, cd)."""
    if a_end >= 180.0:
        return np.empty(0), np.empty(0), np.empty(0)
    parts = []
    if 0.0 < a_end < 90.0:
        a = _grid(a_end, 90.0, step)
        cl, cd = _viterna(np.radians(a), math.radians(a_end), cl_end, cd_end, cd_max)
        parts.append((a, cl, cd))
        a = _grid(90.0, 180.0, step)
        cl, cd = _flat_plate(np.radians(a), cd_max, cd_min)
        parts.append((a, cl, cd))
    else:
        # The table already reaches past 90 deg (or ends at or below 0):
        # blend linearly into the flat plate's value at 180 deg.
        a = _grid(a_end, 180.0, step)
        t = (a - a_end) / (180.0 - a_end)
        cl = (1.0 - t) * cl_end
        cd = (1.0 - t) * cd_end + t * cd_min
        parts.append((a, cl, cd))
    return tuple(np.concatenate(x) for x in zip(*parts))


def _extrapolate(table: PolarTable, cd_max: float, step: float) -> PolarTable:
    a, cl, cd = table.arrays()
    cd_min = float(np.min(cd))
    ua, ucl, ucd = _extend_up(a[-1], cl[-1], cd[-1], cd_max, cd_min, step)
    # The negative side is the mirror image: alpha -> -alpha, cl -> -cl.
    la, lcl, lcd = _extend_up(-a[0], -cl[0], cd[0], cd_max, cd_min, step)
    alpha = np.concatenate((-la[::-1], a, ua))
    lift = np.concatenate((-lcl[::-1], cl, ucl))
    drag = np.concatenate((lcd[::-1], cd, ucd))
    return PolarTable(tuple(alpha.tolist()), tuple(lift.tolist()), tuple(drag.tolist()),
                      table.reynolds, table.parameters)
