"""What sweeps and simulations share: the units of the operating-point fields, the
names of the result variables, the rotor's description kept with results, and the
Ctrl-C flag a long loop reads between units of work."""
from __future__ import annotations

import dataclasses
import json
import signal
import threading
from typing import Any, Dict, Mapping, Tuple

import numpy as np

from .operating import OperatingPoint

# Units of the OperatingPoint fields, used for the coordinates of a sweep and the
# input variables of a simulation.
_OP_UNITS = {
    "rpm": "1/min",
    "omega_rad_s": "rad/s",
    "collective_deg": "deg",
    "climb_m_s": "m/s",
    "forward_m_s": "m/s",
    "shaft_tilt_deg": "deg",
    "cyclic_lon_rad": "rad",
    "cyclic_lat_rad": "rad",
    "rho_kg_m3": "kg/m^3",
    "viscosity_Pa_s": "Pa s",
    "speed_of_sound_m_s": "m/s",
}

_COMPONENTS = ("x", "y", "z")

# Scalar Performance values, in the order a worker returns them, with units and meaning.
_SCALARS = (
    ("thrust_N", "N", "rotor thrust, positive along the thrust direction (hub -z)"),
    ("torque_Nm", "N m", "shaft torque the drive supplies, positive for a powered rotor"),
    ("power_W", "W", "shaft power, torque times rotor speed"),
    ("CT", "1", "thrust coefficient T / (rho pi R^2 (Omega R)^2)"),
    ("CQ", "1", "torque coefficient Q / (rho pi R^2 (Omega R)^2 R)"),
    ("CP", "1", "power coefficient P / (rho pi R^2 (Omega R)^3)"),
    ("FM", "1", "figure of merit (axial flight only, NaN otherwise)"),
)
_VECTORS = (
    ("hub_force_N", "N", "aerodynamic force on the hub, world frame"),
    ("hub_moment_Nm", "N m", "aerodynamic moment about the hub, world frame"),
)
_ROW = len(_SCALARS) + 3 * len(_VECTORS) + 2   # + the trimmed cyclic (lon, lat), NaN when not trimming


def _op_fields() -> Tuple[str, ...]:
    return tuple(f.name for f in dataclasses.fields(OperatingPoint))


def _rotor_json(rotor) -> str:
    """The rotor description as JSON text, kept in results so a run can be repeated."""
    try:
        return json.dumps(rotor.to_dict(), sort_keys=True)
    except Exception:  # a description that cannot be written is no reason to lose the results
        return repr(rotor)


def _aerlox_version() -> str:
    from . import __version__

    return __version__


_HUB_AXIS: Dict[Any, np.ndarray] = {}


def _hub_axis(op) -> np.ndarray:
    """The hub z axis in the world frame (third column of R_hub) for this operating point."""
    key = op.shaft_tilt_deg
    axis = _HUB_AXIS.get(key)
    if axis is None:
        axis = np.array(op.to_inputs().R_hub, dtype=float)[:, 2].copy()
        if len(_HUB_AXIS) < 4096:
            _HUB_AXIS[key] = axis
    return axis


class _Stop:
    """Turns Ctrl-C into a flag the time loop reads between steps (main thread only)."""

    def __init__(self):
        self.requested = False
        self._previous = None
        self._installed = False

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            try:
                self._previous = signal.signal(signal.SIGINT, self._handler)
                self._installed = True
            except (ValueError, OSError):  # embedded interpreters without signal support
                self._installed = False
        return self

    def _handler(self, signum, frame):
        self.requested = True

    def __exit__(self, *exc):
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
        return False


def _check_study_arguments(rotor, options) -> None:
    """The rotor and the options mapping of a study, checked before any work starts."""
    from .rotor import Rotor

    if not isinstance(rotor, Rotor):
        raise TypeError(f"rotor must be an aerlox.Rotor, got {type(rotor).__name__}")
    if options is not None and not isinstance(options, Mapping):
        raise TypeError(f"options must be a mapping of option names to values, got {type(options).__name__}")
