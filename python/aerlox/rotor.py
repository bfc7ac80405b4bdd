"""The rotor description, its validation, and one call to solve it at any fidelity."""
from __future__ import annotations

import collections
import contextlib
import csv
import math
import os
import threading
import warnings
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _aerlox, _atomic, _honesty, _progress, sections as _sections
from ._checks import count as _count, floats as _floats, number as _number
from .airfoil import Airfoil, LinearParameters
from .models import MODELS, equilibrium, model_spec
from .operating import AIR_VISCOSITY_PA_S, SPEED_OF_SOUND_M_S, OperatingPoint, warn_implausible_pitch
from .results import Performance

if TYPE_CHECKING:
    import xarray

__all__ = ["Rotor", "Flap", "Swashplate", "ServoFlap"]

# The blade-element sweep holds at most 255 elements (its grid has 256 slots
# and refuses a full one).
MAX_ELEMENTS = 255
# Advance ratio above which the quasi-static model's axial-only momentum
# balance over-predicts the induced inflow noticeably.
BEM_EDGEWISE_LIMIT = 0.05


def _renamed(owner: str, name: str, value: Any, old: str, old_value: Any) -> Any:
    """The value given under ``name`` or under its older spelling ``old`` (kept as an alias)."""
    if value is not None and old_value is not None:
        raise TypeError(f"{owner}: give {name} or its older spelling {old}, not both")
    value = old_value if value is None else value
    if value is None:
        raise TypeError(f"{owner}() missing required argument: {name!r}")
    return value


@dataclass(frozen=True, init=False)
class Flap:
    """Flapping blades (quasi-static flap response of a hinged or soft blade).

    inertia_kg_m2 : blade flapping inertia about the hinge, kg m^2 (> 0);
        ``inertia_kgm2`` is its older spelling, accepted and readable alike.
    omega_nr_rad_s : non-rotating flap natural frequency, rad/s (0 for a
        centrally hinged blade without spring).
    """

    inertia_kg_m2: float
    omega_nr_rad_s: float

    def __init__(self, inertia_kg_m2: Optional[float] = None, omega_nr_rad_s: Optional[float] = None, *,
                 inertia_kgm2: Optional[float] = None) -> None:
        inertia = _renamed("Flap", "inertia_kg_m2", inertia_kg_m2, "inertia_kgm2", inertia_kgm2)
        object.__setattr__(self, "inertia_kg_m2", _number("flap.inertia_kg_m2", inertia, positive=True))
        if omega_nr_rad_s is None:
            raise TypeError("Flap() missing required argument: 'omega_nr_rad_s'")
        object.__setattr__(self, "omega_nr_rad_s", _number("flap.omega_nr_rad_s", omega_nr_rad_s, nonnegative=True))

    @property
    def inertia_kgm2(self) -> float:
        """The older spelling of ``inertia_kg_m2``."""
        return self.inertia_kg_m2

    def to_core(self) -> "_aerlox.FlapProperties":
        """The core's ``FlapProperties``."""
        return _aerlox.FlapProperties(self.inertia_kg_m2, self.omega_nr_rad_s)

    @classmethod
    def from_core(cls, props: "_aerlox.FlapProperties") -> "Flap":
        """The Flap described by a core ``FlapProperties``."""
        return cls(props.I_blade_flap_kgm2, props.omega_nr_rad_s)


@dataclass(frozen=True)
class Swashplate:
    """The linkage from swashplate tilt to cyclic blade pitch.

    pitch_gain : blade pitch per unit swashplate tilt, rad/rad.
    phase_deg : phase of the linkage, degrees (None: 0).
    """

    pitch_gain: float = 1.0
    phase_deg: Optional[float] = None

    def __post_init__(self):
        object.__setattr__(self, "pitch_gain", _number("control.pitch_gain", self.pitch_gain))
        if self.phase_deg is not None:
            object.__setattr__(self, "phase_deg", _number("control.phase_deg", self.phase_deg))

    def to_core(self) -> "_aerlox.ControlProperties":
        """The core's ``ControlProperties``."""
        return _aerlox.ControlProperties(self.pitch_gain, self.phase_deg)

    @classmethod
    def from_core(cls, props: "_aerlox.ControlProperties") -> "Swashplate":
        """The Swashplate described by a core ``ControlProperties``."""
        return cls(props.swashplate_pitch_gain_rad, props.swashplate_phase_deg)


@dataclass(frozen=True, init=False)
class ServoFlap:
    """Pitch set by a servo flap: the swashplate deflects the flap and the blade feathers.

    inertia_kg_m2 : blade feathering inertia, kg m^2 (``inertia_kgm2`` is its
        older spelling, accepted and readable alike).
    damper_Nms_per_rad : feathering damper, N m s/rad.
    cm_delta_per_rad : flap pitching-moment coefficient per radian of deflection.
    r_inner_m, r_outer_m : radial extent of the flap, m.
    ac_offset_m : offset of the aerodynamic centre from the feathering axis, m.
    blade_cm_ac : section pitching-moment coefficient about the aerodynamic centre.
    """

    inertia_kg_m2: float
    damper_Nms_per_rad: float
    cm_delta_per_rad: float
    r_inner_m: float
    r_outer_m: float
    ac_offset_m: float = 0.0
    blade_cm_ac: float = 0.0

    def __init__(self, inertia_kg_m2: Optional[float] = None, damper_Nms_per_rad: Optional[float] = None,
                 cm_delta_per_rad: Optional[float] = None, r_inner_m: Optional[float] = None,
                 r_outer_m: Optional[float] = None, ac_offset_m: float = 0.0, blade_cm_ac: float = 0.0, *,
                 inertia_kgm2: Optional[float] = None) -> None:
        given = dict(inertia_kg_m2=_renamed("ServoFlap", "inertia_kg_m2", inertia_kg_m2, "inertia_kgm2",
                                            inertia_kgm2),
                     damper_Nms_per_rad=damper_Nms_per_rad, cm_delta_per_rad=cm_delta_per_rad,
                     r_inner_m=r_inner_m, r_outer_m=r_outer_m, ac_offset_m=ac_offset_m, blade_cm_ac=blade_cm_ac)
        for key, value in given.items():
            if value is None:
                raise TypeError(f"ServoFlap() missing required argument: {key!r}")
            object.__setattr__(self, key, _number(f"servo_flap.{key}", value))
        if not self.r_inner_m < self.r_outer_m:
            raise ValueError(f"servo_flap.r_inner_m must be < r_outer_m, got {self.r_inner_m!r} "
                             f"and {self.r_outer_m!r}")

    @property
    def inertia_kgm2(self) -> float:
        """The older spelling of ``inertia_kg_m2``."""
        return self.inertia_kg_m2

    def to_core(self) -> "_aerlox.ServoFlapActuation":
        """The core's ``ServoFlapActuation`` (with its ``ServoFlapGeometry``)."""
        geom = _aerlox.ServoFlapGeometry(self.cm_delta_per_rad, self.r_inner_m, self.r_outer_m)
        return _aerlox.ServoFlapActuation(self.inertia_kg_m2, self.damper_Nms_per_rad, geom,
                                          self.ac_offset_m, self.blade_cm_ac)

    @classmethod
    def from_core(cls, act: "_aerlox.ServoFlapActuation") -> "ServoFlap":
        """The ServoFlap described by a core ``ServoFlapActuation``."""
        g = act.flap
        return cls(act.I_theta_kgm2, act.damper_Nms_per_rad, g.C_M_delta_per_rad, g.r_inner_m,
                   g.r_outer_m, act.ac_offset_m, act.blade_Cm_AC)


def _as_part(name: str, kind: Any, core_kind: type, value: Any) -> Any:
    """``value`` as the toolkit's ``kind`` (None stays None; the core's object is converted)."""
    if value is None or isinstance(value, kind):
        return value
    if isinstance(value, core_kind):
        return kind.from_core(value)
    raise TypeError(f"{name} must be a {kind.__name__} (or {core_kind.__name__}) or None, "
                    f"got {type(value).__name__}")


def _distribution(name: str, value):
    """A number, or a tuple of numbers for a sequence."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number or a sequence of numbers, got {value!r}")
    try:
        ndim = np.ndim(value)
    except ValueError:   # a ragged nest of lists
        raise TypeError(f"{name} must be a number or a one-dimensional sequence of numbers, got a ragged "
                        "nest of sequences") from None
    if ndim == 0:
        return _number(name, value)
    arr = _floats(name, value, "a number or a one-dimensional sequence of numbers")
    return tuple(arr.tolist())


# Core objects are built on first use in each process and kept here, keyed by
# the rotor's value, so a pickled Rotor carries only its description and equal
# rotors share their core models.
# Threads share it (a sweep on a thread pool): every look-up and update holds
# the lock, the build does not (two threads may then build the same object;
# the first one stored is kept).
_CACHE_SIZE = 64
_core_cache: "collections.OrderedDict[Any, Any]" = collections.OrderedDict()
_core_cache_lock = threading.Lock()


def _cached(key, build):
    with _core_cache_lock:
        value = _core_cache.get(key, _MISSING)
        if value is not _MISSING:
            _core_cache.move_to_end(key)
            return value
    value = build()
    with _core_cache_lock:
        value = _core_cache.setdefault(key, value)
        while len(_core_cache) > _CACHE_SIZE:
            _core_cache.popitem(last=False)
    return value


_MISSING = object()


_warned_bem_edgewise = False
# Inside a sweep every edgewise point records the quasi-static model's warning
# (the sweep keeps it per point and repeats it once with a count), whatever
# this process warned before: otherwise the record would depend on which
# worker solved which point first.
_warn_state = threading.local()


@contextlib.contextmanager
def _warn_every_point():
    previous = getattr(_warn_state, "every", False)
    _warn_state.every = True
    try:
        yield
    finally:
        _warn_state.every = previous

#: The most blades a rotor may have: far beyond any real rotor, small enough that a
#: typo cannot have the models allocate for millions of blades.
MAX_BLADES = 1024
#: The largest particle cap a vortex model may be given (about 2 GiB of wake).
MAX_PARTICLES = 50_000_000

def _counts_named(options, build):
    """``build()``, with the core's OverflowError for a count that is not an unsigned
    machine integer turned into a ValueError naming the option."""
    try:
        return build()
    except OverflowError:
        for name, value in options.items():
            if isinstance(value, int) and not isinstance(value, bool) and not 0 <= value < 2**63:
                raise ValueError(f"{name} must be a whole number >= 0, got {value}") from None
        raise


_TRIM_KEYWORDS = ("tilt_min", "tilt_max", "tolerance_Nm", "max_iterations", "probe_rad", "dt_relax",
                  "n_inflow_relax", "n_settle")


@dataclass(frozen=True, init=False, repr=False)
class Rotor:
    """A rotor: identical blades on a hub, their airfoil and pitch linkage.

    Parameters
    ----------
    blades : number of blades (1 to 1024).
    radius_m : tip radius R, m (> 0).
    chord_m : blade chord, m: one number (uniform) or a sequence sampled at
        ``stations_m`` (> 0 everywhere).
    twist_deg : section pitch relative to the collective reference, degrees:
        one number (a pitch offset added to the collective) or a sequence at
        ``stations_m`` (a washout is a sequence that decreases outwards, e.g.
        ``[8, 0]`` from root to tip). The blade's pitch at radius r is
        collective + twist(r) + cyclic.
    airfoil : an :class:`~aerlox.Airfoil` (linear law or tables) for the whole
        blade; or an airfoil per station: a sequence of Airfoils, one per entry
        of ``stations_m``, or a mapping from station radius (m) to Airfoil.
        Between stations the blade-element models blend cl and cd linearly in
        radius at the same angle of attack; outside them the end airfoil holds.
        Every element reads its airfoil's tables at its own Reynolds number
        (see :mod:`aerlox.sections`). Stored as the Airfoil, or as
        ((radius_m, Airfoil), ...) pairs.
    root_cutout_m : radius where the lifting blade starts, m (0 <= cutout < R).
    stations_m : radii of the chord and twist samples, m, strictly increasing
        within [root_cutout_m, radius_m]; needed when chord or twist is a
        sequence. Between stations values are interpolated linearly, outside
        they are held.
    elements : radial elements of the models (1 to 255).
    azimuth_stations : azimuth stations of the blade-element models (>= 1).
    tip_loss : apply Prandtl tip and hub loss in the momentum models.
    flap : :class:`Flap` for flapping blades, None for rigid blades.
    control : :class:`Swashplate` linkage, None for gain 1 and phase 0.
    servo_flap : :class:`ServoFlap` when a servo flap sets the pitch.
    name : a label.

    Immutable, picklable, equal (and hashable) by value.
    """

    blades: int
    radius_m: float
    chord_m: Union[float, Tuple[float, ...]]
    twist_deg: Union[float, Tuple[float, ...]]
    airfoil: Union[Airfoil, Tuple[Tuple[float, Airfoil], ...]]
    root_cutout_m: float = 0.0
    stations_m: Optional[Tuple[float, ...]] = None
    elements: int = 20
    azimuth_stations: int = 36
    tip_loss: bool = True
    flap: Optional[Flap] = None
    control: Optional[Swashplate] = None
    servo_flap: Optional[ServoFlap] = None
    name: str = "rotor"

    def __init__(self, blades: int, radius_m: float,
                 chord_m: Union[float, Sequence[float], np.ndarray],
                 twist_deg: Union[float, Sequence[float], np.ndarray],
                 airfoil: Any, *, root_cutout_m: float = 0.0,
                 stations_m: Optional[Union[Sequence[float], np.ndarray]] = None,
                 elements: int = 20, azimuth_stations: int = 36, tip_loss: bool = True,
                 flap: Optional[Flap] = None, control: Optional[Swashplate] = None,
                 servo_flap: Optional[ServoFlap] = None, name: str = "rotor") -> None:
        put = object.__setattr__
        put(self, "blades", _count("blades", blades, 1, MAX_BLADES))
        radius = _number("radius_m", radius_m, positive=True)
        put(self, "radius_m", radius)
        cutout = _number("root_cutout_m", root_cutout_m)
        if not 0.0 <= cutout < radius:
            raise ValueError(f"root_cutout_m must satisfy 0 <= root_cutout_m < radius_m ({radius!r}), "
                             f"got {cutout!r}")
        put(self, "root_cutout_m", cutout)
        chord = _distribution("chord_m", chord_m)
        twist = _distribution("twist_deg", twist_deg)
        if stations_m is not None:
            stations = _distribution("stations_m", stations_m)
            if not isinstance(stations, tuple):
                raise ValueError("stations_m must be a sequence of at least two radii")
            if len(stations) < 2:
                raise ValueError(f"stations_m must hold at least two radii, got {len(stations)}")
            if any(b <= a for a, b in zip(stations, stations[1:])):
                raise ValueError("stations_m must be strictly increasing")
            if stations[0] < cutout or stations[-1] > radius:
                raise ValueError(f"stations_m must lie within [root_cutout_m, radius_m] = [{cutout!r}, {radius!r}], "
                                 f"got {stations[0]!r} .. {stations[-1]!r}")
            for key, dist in (("chord_m", chord), ("twist_deg", twist)):
                if isinstance(dist, tuple) and len(dist) != len(stations):
                    raise ValueError(f"{key} has {len(dist)} values but stations_m has {len(stations)}; "
                                     "they must have equal lengths")
        else:
            stations = None
            for key, dist in (("chord_m", chord), ("twist_deg", twist)):
                if isinstance(dist, tuple):
                    raise ValueError(f"{key} is a sequence, so stations_m must give the radius of each value")
        chords = chord if isinstance(chord, tuple) else (chord,)
        for i, c in enumerate(chords):
            if not c > 0.0:
                where = f" at station {i}" if isinstance(chord, tuple) else ""
                raise ValueError(f"chord_m must be > 0{where}, got {c!r}")
        for i, t in enumerate(twist if isinstance(twist, tuple) else (twist,)):
            if abs(t) > 90.0:  # the first such station says enough
                warn_implausible_pitch("twist_deg" + (f"[{i}]" if isinstance(twist, tuple) else ""), t)
                break
        put(self, "chord_m", chord)
        put(self, "twist_deg", twist)
        put(self, "stations_m", stations)
        put(self, "airfoil", _sections.normalize(airfoil, stations, cutout, radius))
        put(self, "elements", _count("elements", elements, 1, MAX_ELEMENTS))
        put(self, "azimuth_stations", _count("azimuth_stations", azimuth_stations, 1))
        if not isinstance(tip_loss, (bool, np.bool_)):
            raise TypeError(f"tip_loss must be True or False, got {tip_loss!r}")
        put(self, "tip_loss", bool(tip_loss))
        put(self, "flap", _as_part("flap", Flap, _aerlox.FlapProperties, flap))
        put(self, "control", _as_part("control", Swashplate, _aerlox.ControlProperties, control))
        put(self, "servo_flap", _as_part("servo_flap", ServoFlap, _aerlox.ServoFlapActuation, servo_flap))
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, got {type(name).__name__}")
        put(self, "name", name)

    # -- description --------------------------------------------------------

    def chord_at(self, r_m) -> Union[float, np.ndarray]:
        """Chord at radius r (m), interpolated between stations and held outside."""
        return self._at(self.chord_m, r_m)

    def twist_at(self, r_m) -> Union[float, np.ndarray]:
        """Twist at radius r (deg), interpolated between stations and held outside."""
        return self._at(self.twist_deg, r_m)

    def _at(self, dist, r_m):
        if isinstance(dist, tuple):
            out = np.interp(r_m, self.stations_m, dist)
        else:
            out = np.full(np.shape(r_m), dist) if np.ndim(r_m) else dist
        return float(out) if np.ndim(r_m) == 0 else out

    @property
    def disk_area_m2(self) -> float:
        """pi R^2, m^2: the area of the coefficients (the full disk)."""
        return math.pi * self.radius_m ** 2

    @property
    def solidity(self) -> float:
        """Thrust-weighted solidity: blades * chord(0.75 R) / (pi R)."""
        return self.blades * self.chord_at(0.75 * self.radius_m) / (math.pi * self.radius_m)

    def reynolds_075(self, op: OperatingPoint) -> float:
        """Chord Reynolds number at 0.75 R: rho * 0.75 omega R * c(0.75 R) / mu, mu = op.viscosity_Pa_s."""
        r = 0.75 * self.radius_m
        return op.rho_kg_m3 * abs(op.omega) * r * self.chord_at(r) / op.viscosity_Pa_s

    @property
    def has_sections(self) -> bool:
        """True when the blade has an airfoil per station."""
        return not isinstance(self.airfoil, Airfoil)

    def airfoil_at(self, r_m: float) -> Airfoil:
        """The airfoil of the station nearest radius ``r_m`` (m); the one airfoil of a plain blade."""
        return _sections.airfoil_near(self.airfoil, float(r_m))

    @property
    def airfoil_075(self) -> Airfoil:
        """The airfoil nearest 0.75 R: the one polar of the vortex rotor and the lift slope
        of the flapping, servo-flap and Lock-number parts."""
        return self.airfoil_at(0.75 * self.radius_m)

    def _table_index(self, op: Optional[OperatingPoint]) -> int:
        af = self.airfoil_075
        if op is None or af.is_linear or len(af.tables) == 1:
            return 0
        return af.select(self.reynolds_075(op))

    def definition(self, op: Optional[OperatingPoint] = None) -> "_aerlox.RotorDefinition":
        """The core ``RotorDefinition`` (its airfoil parameters from the table chosen for ``op``)."""
        index = self._table_index(op)
        return _cached((self, "definition", index), lambda: self._build_definition(index))

    def _build_definition(self, index: int):
        r75 = 0.75 * self.radius_m
        if self.stations_m is not None:
            n = len(self.stations_m)
            chords = list(self.chord_m) if isinstance(self.chord_m, tuple) else [self.chord_m] * n
            twists = list(self.twist_deg) if isinstance(self.twist_deg, tuple) else [self.twist_deg] * n
            stations = list(self.stations_m)
        else:
            chords = twists = stations = []
        blade = _aerlox.BladeGeometry(
            self.blades, self.radius_m, self.root_cutout_m, self.chord_at(r75), self.twist_at(r75),
            self.elements, stations, chords, twists, self.tip_loss)
        af = self.airfoil_075
        if af.is_linear:
            params = af.linear_law
        else:
            params = af.tables[index].parameters
        return _aerlox.RotorDefinition(
            blade, params.to_core(), None if self.control is None else self.control.to_core(),
            self.name, "", None if self.servo_flap is None else self.servo_flap.to_core(),
            None if self.flap is None else self.flap.to_core())

    def polar(self, op: Optional[OperatingPoint] = None) -> Union["_aerlox.LinearPolar", "_aerlox.TabulatedPolar"]:
        """The one core polar (``LinearPolar`` or ``TabulatedPolar``) of the vortex rotor at ``op``:
        the airfoil nearest 0.75 R, its table nearest the Reynolds number there."""
        index = self._table_index(op)
        af = self.airfoil_075
        if af.is_linear:
            return _cached((af, "polar"), af.to_core)
        return _cached((af, "polar", index), af.tables[index].to_core)

    def section_polar(self, op: Optional[OperatingPoint] = None, **options: Any) -> "_aerlox._ext.SectionPolar":
        """The core ``SectionPolar`` of the blade-element models in ``op``'s air (sea-level air
        without ``op``). ``options``: ``compressibility`` ("none" or "prandtl-glauert"),
        ``mach_limit`` (0.7) and ``rotational_augmentation`` ("none" or "snel")."""
        opts = _sections.check_polar_options(options)
        air = (AIR_VISCOSITY_PA_S, SPEED_OF_SOUND_M_S) if op is None else (op.viscosity_Pa_s, op.speed_of_sound_m_s)
        key = (self.airfoil, "sections", air, tuple(sorted(opts.items())))
        return _cached(key, lambda: _sections.core_polar(self.airfoil, *air, **opts))

    def core_model(self, model: str = "bem", op: Optional[OperatingPoint] = None, **options: Any) -> Any:
        """The core model object for this rotor, built once per process and cached.

        ``options`` are the model's options. The blade-element models ("bem",
        "pitt-peters", "oye") are built over the blade's section polar
        (:meth:`section_polar`, in ``op``'s air): ``compressibility``,
        ``mach_limit`` and ``rotational_augmentation`` shape it, the rest go to
        the core constructor (``consistent_swirl`` for "bem", default True;
        ``tip_loss`` for "pitt-peters", default False; ``coupling_k`` for
        "oye"). The vortex rotor ("vpm") takes the one polar of :meth:`polar`
        and the core's keywords (``max_particles``, ``sigma``, ...). The azimuth
        stations come from ``azimuth_stations``.

        For "vpm", ``wake="resolved"`` (the default) gives the core rotor made
        with the resolved-wake physics (``_aerlox._ext.vpm_resolved``, whose
        options ``overlap``, ``near_core_chord``, ... it also takes) and
        ``wake="plain"`` the core class exactly as constructed.
        """
        entry = model_spec(model)
        cap = options.get("max_particles")
        if isinstance(cap, int) and not 0 <= cap <= MAX_PARTICLES:
            raise ValueError(f"max_particles must be between 0 and {MAX_PARTICLES:,} (about 2 GiB of wake), "
                             f"got {cap:,}")
        if entry.name == "vpm":
            from .vpm_march import split_options

            wake, physics, options = split_options(options)
            if wake == "resolved":
                plain = self.core_model("vpm", op, wake="plain", **options)
                key = (self, "resolved", self._table_index(op), tuple(sorted(options.items())),
                       tuple(sorted(physics.items())))
                return _cached(key, lambda: _aerlox._ext.vpm_resolved(plain, **physics))
        entry.check_options(options)
        if entry.sections_cls is not None:
            polar_opts = {k: options.pop(k) for k in list(options) if k in _sections.POLAR_OPTIONS}
            core_opts = dict(entry.defaults)
            core_opts.update(options)
            air = None if op is None else (op.viscosity_Pa_s, op.speed_of_sound_m_s)
            key = (self, "model", entry.name, air, tuple(sorted(polar_opts.items())),
                   tuple(sorted(core_opts.items())))

            def build():
                return _counts_named(core_opts, lambda: entry.build(
                    self.definition(op), self.section_polar(op, **polar_opts), self.azimuth_stations, **core_opts))

            return _cached(key, build)
        index = self._table_index(op)
        key = (self, "model", entry.name, index, tuple(sorted(options.items())))

        def build_one_polar():
            return _counts_named(options, lambda: entry.build(self.definition(op), self.polar(op),
                                                              self.azimuth_stations, **options))

        return _cached(key, build_one_polar)

    # -- solving ------------------------------------------------------------

    def solve(self, op: OperatingPoint, model: str = "bem", **options: Any) -> Performance:
        """The rotor's loads at ``op`` with one of the four models.

        - "bem": quasi-static blade-element momentum. Its momentum balance per
          annulus uses the axial flow only, so in edgewise flight its induced
          inflow stays near the hover value; above advance ratio 0.05 it warns
          (once) and "pitt-peters" is the better choice there.
        - "pitt-peters": dynamic inflow relaxed to its equilibrium; agrees with
          Glauert's momentum theory in edgewise flight.
        - "oye": per-element dynamic inflow stepped to its equilibrium.
          Option ``coupling_k`` (stored by the core, no effect on the loads).
        - "vpm": free-wake vortex particles, marched from rest (``aerlox.vpm_march``).
          Options ``wake`` ("resolved", the default: overlapping particles, a near
          wake resolved at the blade, the wake stretched along its vortex
          lines; "plain": the
          core class as constructed), ``revolutions`` (10), ``steps_per_revolution``
          (24 resolved, 18 plain), ``prescribed_turns`` (0; in hover, the resolved
          wake starts from that many turns of Landgrebe's measured hover-wake
          geometry instead of from rest, and settles in fewer revolutions:
          ``aerlox.hover_wake``), ``progress`` (None: a tqdm bar when stderr is a terminal and
          ``CI`` is unset), ``settle_tolerance`` (0.01: the largest relative change
          of revolution-mean thrust and torque over the last revolution that counts
          as settled), the resolved wake's options (``overlap``, ``near_core_chord``,
          ``near_core_width``, ``near_steps``, ``collocation`` (0.5: the angle of
          attack at the three-quarter chord; 0: on the lifting line), ``stretching``
          (True), ``axial_stretching`` (True), ``stretching_age_rev`` (0: every age),
          ``stretching_max_length`` (2 core radii), ``upstream_cut_radii`` (0.1),
          ``relaxation``, ...)
          and the core's own (``max_particles``: by default enough to keep the
          whole wake; ``sigma``: by default one chord at 0.75 R, at least R/20,
          for the resolved wake). The loads are the means over the last
          revolution. ``converged`` is False, with a RuntimeWarning naming the
          cause, when the loads have not settled, the induced-power factor fell
          below 1 or the figure of merit above 1, the wake blew up (then the loads
          are NaN) or the particle cap dropped wake. ``diagnostics`` holds the
          induced-power factor ``kappa``, the profile power and the settling
          changes. See docs/models.md for the convergence study.

        Other options go to the core model's constructor by their own names.
        """
        if not isinstance(op, OperatingPoint):
            raise TypeError(f"op must be an OperatingPoint, got {type(op).__name__}")
        entry = model_spec(model)
        if not entry.single_shot:
            from .vpm_march import march

            return march(self, op, **options).performance
        if entry.name == "bem":
            self._warn_bem_edgewise(op)
        _honesty.warn_slow(entry.name, op.omega)
        core = self.core_model(entry.name, op, **options)
        inputs = op.to_inputs()
        _sections.reset_reynolds_clamps()
        state, converged = equilibrium(core, inputs, entry.name)
        result, _ = core.compute_forces(inputs, state)
        if entry.name == "bem":
            # The element solver returns its last iterate when it runs out of iterations.
            converged, why = _honesty.bem_elements_settled(self, core, op, inputs)
            if not converged:
                warnings.warn(why, RuntimeWarning, stacklevel=2)
        _sections.warn_reynolds_clamps()
        return Performance.from_result(result, self, op, entry.name, converged)

    def spanwise(self, op: OperatingPoint, model: str = "bem", state: Any = None,
                 **options: Any) -> "xarray.Dataset":
        """Loads along the blade at ``op``: an ``xarray.Dataset`` over ``azimuth_deg`` x ``r_m``.

        ``model``: "bem", "pitt-peters" or "oye" (the blade-element models), or "vpm":
        the resolved vortex wake marched from rest as ``solve`` does, its blade loads
        over the last revolution (options as for ``solve``; for the wake itself see
        ``aerlox.fields.wake_dataset``). ``state``: the core
        model's state to evaluate at; ``None`` relaxes the inflow to its equilibrium
        at ``op`` first, as ``solve`` does (attribute ``converged`` says whether it got
        there). ``options`` go to ``core_model``.

        Variables (see ``aerlox.fields.spanwise_dataset``): ``alpha_deg``, ``phi_deg``,
        ``cl``, ``cd``, ``inflow_ratio``, ``dynamic_pressure_Pa``, and ``thrust_N`` /
        ``torque_Nm`` of one blade's element at each station; ``n_blades`` times
        ``thrust_N`` averaged over azimuth and summed along the span is ``solve``'s
        ``thrust_N``.
        """
        from .fields import spanwise_dataset

        if not isinstance(op, OperatingPoint):
            raise TypeError(f"op must be an OperatingPoint, got {type(op).__name__}")
        entry = model_spec(model)
        if not entry.single_shot:
            if state is not None:
                raise ValueError("model='vpm' marches from rest; it takes no state")
            from .vpm_march import march, spanwise_dataset

            return spanwise_dataset(self, op, march(self, op, keep_snapshots=True, **options))
        core = self.core_model(entry.name, op, **options)
        inputs = op.to_inputs()
        converged = True
        _sections.reset_reynolds_clamps()
        if state is None:
            state, converged = equilibrium(core, inputs, entry.name)
        out = spanwise_dataset(core, inputs, state,
                               attrs={"model": entry.name, "rotor": self.name, "converged": int(converged)})
        _sections.warn_reynolds_clamps()
        return out

    def _warn_bem_edgewise(self, op: OperatingPoint) -> None:
        global _warned_bem_edgewise
        every = getattr(_warn_state, "every", False)
        if _warned_bem_edgewise and not every:
            return
        mu = op.advance_ratio(self.radius_m)
        if not mu > BEM_EDGEWISE_LIMIT:
            return
        why = ("its momentum balance uses the axial flow only, so it over-predicts the induced inflow and "
               "power in edgewise flight; model='pitt-peters' follows Glauert's momentum theory there")
        if every:
            # One text for every point, so the sweep gathers them into one warning.
            warnings.warn(f"model='bem' above advance ratio {BEM_EDGEWISE_LIMIT:g}: {why}", RuntimeWarning,
                          stacklevel=3)
            return
        _warned_bem_edgewise = True
        warnings.warn(f"model='bem' at advance ratio {mu:.3g}: {why} (warned once)", RuntimeWarning, stacklevel=3)

    def trim(self, op: OperatingPoint, target_moment_Nm: Tuple[float, float] = (0.0, 0.0),
             model: str = "pitt-peters",
             **options) -> Tuple[OperatingPoint, Performance]:
        """Trim the cyclic to a target hub moment; returns (trimmed point, its Performance).

        ``target_moment_Nm`` is (roll, pitch), N m, about the shaft's x (forward)
        and y (right) axes, which are the world axes when the shaft is upright.
        The swashplate tilts start from ``op``'s cyclic. Options named like the
        core trim's keywords (``tolerance_Nm``, ``max_iterations``, ``tilt_min``,
        ``tilt_max``, ``probe_rad``, ``dt_relax``, ``n_inflow_relax``,
        ``n_settle``) go to the trim, the rest to the model's constructor.
        ``converged`` of the Performance is False when the trim or the inflow
        did not converge. Blade-element models only ("bem", "pitt-peters", "oye").
        """
        if not isinstance(op, OperatingPoint):
            raise TypeError(f"op must be an OperatingPoint, got {type(op).__name__}")
        entry = model_spec(model)
        if not entry.single_shot:
            raise ValueError(f"trim needs a blade-element model ('bem', 'pitt-peters' or 'oye'), got {model!r}")
        if entry.name == "bem":
            # Trimming does not cure the axial-only momentum balance in edgewise flight.
            self._warn_bem_edgewise(op)
        trim_opts = {k: options.pop(k) for k in list(options) if k in _TRIM_KEYWORDS}
        try:
            mx, my = (_number("target_moment_Nm", v) for v in target_moment_Nm)
        except (TypeError, ValueError):
            raise ValueError(f"target_moment_Nm must be two numbers (roll, pitch), got {target_moment_Nm!r}") from None
        core = self.core_model(entry.name, op, **options)
        inputs = op.to_inputs()
        _sections.reset_reynolds_clamps()
        state, _ = equilibrium(core, inputs, entry.name)
        # The hub frame's x and y point aft and left: the shaft axes' opposites.
        outcome = _aerlox.solve_trim_cyclic_py(
            core, state, inputs, target_moment=(-mx, -my), tilt_lon_init=op.cyclic_lon_rad,
            tilt_lat_init=op.cyclic_lat_rad, **trim_opts)
        trimmed = op.replace(cyclic_lon_rad=outcome.tilt_lon, cyclic_lat_rad=outcome.tilt_lat)
        t_inputs = trimmed.to_inputs()
        state, settled = equilibrium(core, t_inputs, entry.name, state=outcome.final_state)
        result, _ = core.compute_forces(t_inputs, state)
        _sections.warn_reynolds_clamps()
        return trimmed, Performance.from_result(result, self, trimmed, entry.name,
                                                bool(outcome.converged) and settled)

    # -- conversions ----------------------------------------------------------

    def replace(self, **changes: Any) -> "Rotor":
        """A copy with some fields changed."""
        args = {f.name: getattr(self, f.name) for f in fields(self)}
        unknown = set(changes) - set(args)
        if unknown:
            raise TypeError(f"Rotor has no field {sorted(unknown)[0]!r}")
        args.update(changes)
        pos = [args.pop(k) for k in ("blades", "radius_m", "chord_m", "twist_deg", "airfoil")]
        return Rotor(*pos, **args)

    def to_dict(self) -> dict:
        """The description as plain Python values (numbers, lists, dicts, None)."""
        out = {}
        for f in fields(self):
            v = getattr(self, f.name)
            if f.name == "airfoil":
                v = _sections.to_dict(v, _airfoil_to_dict)
            elif isinstance(v, (Flap, Swashplate, ServoFlap)):
                v = {g.name: getattr(v, g.name) for g in fields(v)}
            elif isinstance(v, tuple):
                v = list(v)
            out[f.name] = v
        return out

    @classmethod
    def from_dict(cls, data: dict) -> "Rotor":
        """The rotor described by :meth:`to_dict`'s output.

        A description that is not a mapping is a TypeError; one with a missing or
        malformed entry a ValueError naming the entry.
        """
        if not isinstance(data, Mapping):
            raise TypeError(f"data must be a mapping (Rotor.to_dict's output), got {type(data).__name__}")
        d = dict(data)
        for key in ("blades", "radius_m", "chord_m", "twist_deg", "airfoil"):
            if key not in d:
                raise ValueError(f"the rotor description has no {key!r} entry")
        try:
            d["airfoil"] = _sections.from_dict(d["airfoil"], _airfoil_from_dict)
        except (KeyError, IndexError, AttributeError) as exc:
            raise ValueError(f"the rotor description's airfoil sections are malformed ({type(exc).__name__}: "
                             f"{exc})") from None
        for key, kind in (("flap", Flap), ("control", Swashplate), ("servo_flap", ServoFlap)):
            if d.get(key) is not None:
                if not isinstance(d[key], Mapping):
                    raise ValueError(f"the rotor description's {key!r} must be a mapping of "
                                     f"{kind.__name__}'s fields, got {type(d[key]).__name__}")
                d[key] = kind(**d[key])
        pos = [d.pop(k) for k in ("blades", "radius_m", "chord_m", "twist_deg", "airfoil")]
        return cls(*pos, **d)

    def to_json(self, path: Optional[Union[str, "os.PathLike[str]"]] = None, *,
                indent: Optional[int] = 2) -> str:
        """The description as JSON text (:meth:`to_dict`); also written to ``path`` when given.

        Numbers are written in their shortest exact form, so :meth:`from_json`
        rebuilds an equal rotor. The file is replaced atomically: written under a
        fresh name beside ``path``, synced and renamed over it.
        """
        import json

        text = json.dumps(self.to_dict(), indent=indent, allow_nan=False)
        if path is not None:
            # A fresh file renamed over the old: a failed write leaves the old file whole.
            _atomic.write_text(path, text + "\n")
        return text

    @classmethod
    def from_json(cls, source: Union[str, bytes, "os.PathLike[str]"]) -> "Rotor":
        """The rotor in JSON ``source``: the text itself, or the path of a file holding it."""
        import json
        import os

        if isinstance(source, (bytes, bytearray)):
            source = source.decode("utf-8")
        if isinstance(source, str) and source.lstrip()[:1] in ("{", "["):
            text = source
        elif isinstance(source, (str, os.PathLike)):
            with open(source, encoding="utf-8") as f:
                text = f.read()
        else:
            raise TypeError(f"source must be JSON text or a path, got {type(source).__name__}")
        try:
            data = json.loads(text)
        except RecursionError:
            raise ValueError("source: the JSON nests too deeply to be a rotor description") from None
        if not isinstance(data, dict):
            raise ValueError("source must hold a JSON object describing a rotor")
        return cls.from_dict(data)

    @classmethod
    def from_table(cls, path: Union[str, "os.PathLike[str]"], *, blades: int, airfoil: Airfoil,
                   hub_radius_m: float = 0.0, **kwargs: Any) -> "Rotor":
        """A rotor whose chord and twist come from a blade table file.

        CSV with columns r_m, chord_m, twist_deg (r from the rotor axis), or an
        AeroDyn blade file (BlSpn from the blade root, so r = hub_radius_m +
        BlSpn; its BlTwist, positive towards feather, is read with the sign
        reversed, see :func:`aerlox.polar_files.read_blade`). The tip radius is
        the last station's unless ``radius_m`` is given (at or beyond the last
        station: the last row's chord and twist then hold out to the tip); the
        root cutout is the first station's unless ``root_cutout_m`` is given;
        ``kwargs`` are the other Rotor arguments.
        """
        from .polar_files import read_blade

        r, chord, twist = read_blade(path, _number("hub_radius_m", hub_radius_m, nonnegative=True))
        radius = float(r[-1])
        if kwargs.get("radius_m") is not None:
            radius = _number("radius_m", kwargs.pop("radius_m"), positive=True)
            if radius < float(r[-1]):
                raise ValueError(f"radius_m must be at or beyond the table's last station, r = {float(r[-1])!r} m, "
                                 f"got {radius!r}: a tip inside the table would cut the blade short; "
                                 "trim the table's rows instead")
        kwargs.pop("radius_m", None)
        kwargs.setdefault("root_cutout_m", float(r[0]))
        try:
            return cls(blades, radius, chord, twist, airfoil, stations_m=r, **kwargs)
        except ValueError as err:  # most likely the table's rows: say which file
            raise ValueError(f"{os.fspath(path)}: {err}") from None

    def __repr__(self) -> str:
        parts = [f"blades={self.blades!r}", f"radius_m={self.radius_m!r}", f"chord_m={self.chord_m!r}",
                 f"twist_deg={self.twist_deg!r}", f"airfoil={self.airfoil!r}"]
        defaults = dict(root_cutout_m=0.0, stations_m=None, elements=20, azimuth_stations=36, tip_loss=True,
                        flap=None, control=None, servo_flap=None)
        for key, default in defaults.items():
            v = getattr(self, key)
            if v != default:
                parts.append(f"{key}={v!r}")
        return f"Rotor({', '.join(parts)}, name={self.name!r})"


def _airfoil_to_dict(af: Airfoil) -> dict:
    out = {"name": af.name}
    if af.is_linear:
        p = af.linear_law
        out["linear"] = {f.name: getattr(p, f.name) for f in fields(p)}
    else:
        out["tables"] = [
            {"alpha_deg": list(t.alpha_deg), "cl": list(t.cl), "cd": list(t.cd), "reynolds": t.reynolds,
             "parameters": {f.name: getattr(t.parameters, f.name) for f in fields(t.parameters)}}
            for t in af.tables]
    return out


def _airfoil_from_dict(d: dict) -> Airfoil:
    if isinstance(d, Airfoil):
        return d
    try:
        return _airfoil_entries(d)
    except KeyError as missing:
        raise ValueError(f"the rotor description's airfoil has no {missing.args[0]!r} entry") from None
    except (AttributeError, IndexError):
        raise ValueError("the rotor description's airfoil must be a mapping with 'linear' (the linear law's "
                         "fields) or 'tables' (a list of tables), as Rotor.to_dict writes it") from None


def _airfoil_entries(d: dict) -> Airfoil:
    if not isinstance(d, Mapping):
        raise AttributeError
    if "linear" in d:
        p = d["linear"]
        return Airfoil.linear(p["cl_alpha_per_rad"], p["cd0"], p["alpha_stall_deg"], p["cl0"], name=d.get("name", ""))
    tables = [Airfoil.table(t["alpha_deg"], t["cl"], t["cd"], t.get("reynolds"),
                            parameters=LinearParameters(**t["parameters"])) for t in d["tables"]]
    return Airfoil.combine(*tables, name=d.get("name", ""))
