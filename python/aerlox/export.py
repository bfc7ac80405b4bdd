"""ParaView/VTK files of the vortex wake.

``wake_vtk(state, path)`` writes the particles of one ``VpmRotorState`` as a VTK
XML file: an UnstructuredGrid (``.vtu``) or a PolyData (``.vtp``) of vertex
cells, with point data ``strength`` (3 components, m^3/s), ``strength_magnitude``
(m^3/s), ``core_radius`` (m) and ``age`` (s; NaN when the state does not carry
ages). Points are in hub axes, m. ``WakeSeries`` writes one such file per
recorded step and a ``.pvd`` index that ParaView opens as a time series.
Every file is written under a fresh name and renamed into place, so a failed
write leaves the old file whole.

The files are VTK XML written here (no VTK installation needed), with the
arrays inline as base64 raw little-endian data by default, or as text with
``binary=False`` (single-precision values with 9 significant digits, doubles
with 17); either way they read back bit for bit.
"""
from __future__ import annotations

import base64
import os
import shutil
import tempfile
from pathlib import Path
from typing import List, Tuple, Union
from xml.sax.saxutils import quoteattr

import numpy as np

from . import _aerlox, _atomic
from ._checks import real as _real

__all__ = ["wake_vtk", "WakeSeries"]

_ext = _aerlox._ext

PathLike = Union[str, "os.PathLike[str]"]


def _numbers(a: np.ndarray, fmt: str) -> str:
    flat = np.asarray(a).reshape(-1)
    return " ".join(fmt % v for v in flat.tolist())


# VTK type name -> little-endian NumPy dtype.
_DTYPES = {"Float32": "<f4", "Float64": "<f8", "Int64": "<i8", "UInt8": "u1"}


def _data_array(name: str, vtk_type: str, values: np.ndarray, components: int, fmt: str,
                binary: bool) -> str:
    comps = f' NumberOfComponents="{components}"' if components != 1 else ""
    if binary:
        raw = np.ascontiguousarray(values, dtype=_DTYPES[vtk_type]).tobytes()
        # Inline binary: a UInt64 byte count, then the data, base64-encoded together.
        body = base64.b64encode(np.uint64(len(raw)).astype("<u8").tobytes() + raw).decode("ascii")
        return (f'<DataArray type="{vtk_type}" Name={quoteattr(name)}{comps} format="binary">'
                f"{body}</DataArray>\n")
    return (f'<DataArray type="{vtk_type}" Name={quoteattr(name)}{comps} format="ascii">'
            f"{_numbers(values, fmt)}</DataArray>\n")


def _vtk_xml(points, point_data, kind: str, binary: bool) -> str:
    n = points.shape[0]
    f32 = "%.9g"
    out = ['<?xml version="1.0"?>\n',
           f'<VTKFile type="{kind}" version="1.0" byte_order="LittleEndian" header_type="UInt64">\n',
           f"<{kind}>\n"]
    if kind == "UnstructuredGrid":
        out.append(f'<Piece NumberOfPoints="{n}" NumberOfCells="{n}">\n')
    else:
        out.append(f'<Piece NumberOfPoints="{n}" NumberOfVerts="{n}" NumberOfLines="0" '
                   'NumberOfStrips="0" NumberOfPolys="0">\n')
    out.append("<PointData>\n")
    for name, (values, vtk_type, fmt) in point_data.items():
        comps = values.shape[1] if values.ndim == 2 else 1
        out.append(_data_array(name, vtk_type, values, comps, fmt, binary))
    out.append("</PointData>\n<Points>\n")
    out.append(_data_array("Points", "Float32", points, 3, f32, binary))
    out.append("</Points>\n")
    conn = np.arange(n, dtype=np.int64)
    offsets = conn + 1
    if kind == "UnstructuredGrid":
        out.append("<Cells>\n")
        out.append(_data_array("connectivity", "Int64", conn, 1, "%d", binary))
        out.append(_data_array("offsets", "Int64", offsets, 1, "%d", binary))
        out.append(_data_array("types", "UInt8", np.ones(n, dtype=np.uint8), 1, "%d", binary))  # VTK_VERTEX
        out.append("</Cells>\n")
    else:
        out.append("<Verts>\n")
        out.append(_data_array("connectivity", "Int64", conn, 1, "%d", binary))
        out.append(_data_array("offsets", "Int64", offsets, 1, "%d", binary))
        out.append("</Verts>\n")
    out.append(f"</Piece>\n</{kind}>\n</VTKFile>\n")
    return "".join(out)


def wake_vtk(state, path: PathLike, *, binary: bool = True) -> Path:
    """Write the wake particles of ``state`` (``_aerlox.VpmRotorState``) to ``path``.

    The suffix picks the format: ``.vtu`` (UnstructuredGrid of vertices) or ``.vtp``
    (PolyData). Point data: ``strength`` (m^3/s, 3 components), ``strength_magnitude``
    (m^3/s), ``core_radius`` (m), ``age`` (s since shedding; NaN when unknown). Points
    are particle positions in hub axes (m), oldest particle first. ``binary=False``
    writes the arrays as text. Returns the path.
    """
    path = Path(path)
    kinds = {".vtu": "UnstructuredGrid", ".vtp": "PolyData"}
    kind = kinds.get(path.suffix.lower())
    if kind is None:
        raise ValueError(f"path must end in .vtu or .vtp, got {str(path)!r}")
    w = _ext.wake(state)
    n = w["core_radius_m"].shape[0]
    points = w["position_m"].astype(np.float32)
    strength = w["strength_m3_s"].astype(np.float32)
    age = w["age_s"] if w["age_s"] is not None else np.full(n, np.nan)
    point_data = {
        "strength": (strength, "Float32", "%.9g"),
        "strength_magnitude": (np.linalg.norm(w["strength_m3_s"], axis=1), "Float64", "%.17g"),
        "core_radius": (w["core_radius_m"].astype(np.float32), "Float32", "%.9g"),
        "age": (np.asarray(age, dtype=np.float64), "Float64", "%.17g"),
    }
    text = _vtk_xml(points, point_data, kind, binary)
    return _atomic.write_text(path, text, encoding="ascii")  # a reader never sees half a file


class WakeSeries:
    """A time series of wake files with a ParaView ``.pvd`` index.

    ``path`` is the index file (``*.pvd``); the per-step files end up next to it in
    the directory ``<stem>_steps/`` as ``<stem>_000000.vtu``, ``<stem>_000001.vtu``,
    ... ``suffix``: ``".vtu"`` (unstructured grid) or ``".vtp"`` (poly data) per
    step; ``binary``: inline base64 arrays (True) or text, as in :func:`wake_vtk`.
    ``add(time_s, state)`` takes the time in s. Use as a context manager, or call
    ``close()``::

        with aerlox.export.WakeSeries("out/wake.pvd") as series:
            for k in range(n_steps):
                result, state = rotor.step(inputs, state, dt)
                series.add(k * dt, state)

    The steps are written into a fresh folder beside the index; ``close()`` (or
    leaving the ``with`` block normally or by Ctrl-C) puts that folder in place of
    ``<stem>_steps/`` and writes the complete index. An exception in the block, or
    ``discard()``, removes what was written and leaves an earlier series at the
    same path as it was; so does closing a series to which nothing was added.
    """

    def __init__(self, path: PathLike, *, suffix: str = ".vtu", binary: bool = True):
        self.path = Path(path)
        if self.path.suffix.lower() != ".pvd":
            raise ValueError(f"path must end in .pvd, got {str(path)!r}")
        if suffix not in (".vtu", ".vtp"):
            raise ValueError(f"suffix must be '.vtu' or '.vtp', got {suffix!r}")
        self.suffix = suffix
        self.binary = binary
        self.directory = self.path.with_name(self.path.stem + "_steps")
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self._staging = Path(tempfile.mkdtemp(prefix=f".{self.directory.name}.", suffix=".part",
                                              dir=self.path.parent))
        self.entries: List[Tuple[float, Path]] = []
        self.closed = False

    def add(self, time_s: float, state) -> Path:
        """Write the wake of ``state`` at time ``time_s`` (s); returns the file's path in
        ``<stem>_steps/``, where it is once the series is closed."""
        if self.closed:
            raise ValueError("WakeSeries is closed")
        time_s = _real("time_s", time_s)
        if self.entries and not time_s > self.entries[-1][0]:
            raise ValueError(f"time_s must increase: {time_s} after {self.entries[-1][0]}")
        name = f"{self.path.stem}_{len(self.entries):06d}{self.suffix}"
        wake_vtk(state, self._staging / name, binary=self.binary)
        self.entries.append((time_s, self.directory / name))
        return self.directory / name

    def _index_text(self) -> str:
        lines = ['<?xml version="1.0"?>\n',
                 '<VTKFile type="Collection" version="1.0" byte_order="LittleEndian">\n<Collection>\n']
        for t, f in self.entries:
            rel = os.path.relpath(f, self.path.parent).replace(os.sep, "/")
            lines.append(f'<DataSet timestep="{t!r}" group="" part="0" file={quoteattr(rel)}/>\n')
        lines.append("</Collection>\n</VTKFile>\n")
        return "".join(lines)

    def close(self) -> None:
        """Put the steps in place and write the complete index (idempotent)."""
        if self.closed:
            return
        if not self.entries:
            self.discard()
            return
        self.closed = True
        old = None
        try:
            if self.directory.is_symlink() or self.directory.exists():
                old = Path(tempfile.mkdtemp(prefix=f".{self.directory.name}.", suffix=".old",
                                            dir=self.path.parent))
                os.replace(self.directory, old / "steps")
            os.replace(self._staging, self.directory)
            _atomic.write_text(self.path, self._index_text(), encoding="ascii")
        finally:
            shutil.rmtree(self._staging, ignore_errors=True)
            if old is not None:
                shutil.rmtree(old, ignore_errors=True)

    def discard(self) -> None:
        """Drop what was written; an earlier series at this path stays as it was."""
        self.closed = True
        shutil.rmtree(self._staging, ignore_errors=True)

    def __enter__(self) -> "WakeSeries":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is None or issubclass(exc_type, KeyboardInterrupt):
            self.close()
        else:
            self.discard()

    def __len__(self) -> int:
        return len(self.entries)

    def __repr__(self) -> str:
        return f"WakeSeries({str(self.path)!r}, steps={len(self.entries)})"
