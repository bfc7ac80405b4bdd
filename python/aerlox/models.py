"""The one table from a model name to the core classes, and each model's equilibrium driver.

Every other module asks :data:`MODELS` instead of testing model names, so a new
model is one entry here.
"""
from __future__ import annotations

import inspect
import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from . import _aerlox
from .sections import POLAR_OPTIONS

__all__ = ["ModelSpec", "MODELS", "model_spec", "equilibrium_state", "equilibrium"]


@dataclass(frozen=True)
class ModelSpec:
    """What the toolkit knows about one model.

    name : the name users pass (``model="pitt-peters"``).
    linear_cls, tabulated_cls : the core classes over a linear and a tabulated polar.
    state_cls : the core state class.
    has_state : the model carries inflow states that must be brought to equilibrium.
    single_shot : loads for an operating point come from one ``compute_forces``
        call at the equilibrium state (False for the vortex rotor, which must be
        time-marched).
    takes_azimuth : the constructor takes ``n_psi_elements`` (the rotor's
        ``azimuth_stations``).
    required : constructor keywords the core requires, with the toolkit's default.
    summary : one line for listings.
    sections_cls : the core class over a blade-section polar (``_ext.SectionPolar``),
        which the toolkit builds for this model; None for the vortex rotor.
    defaults : the toolkit's defaults for options of ``sections_cls`` that
        differ from the core's.
    """

    name: str
    linear_cls: type
    tabulated_cls: type
    state_cls: type
    has_state: bool
    single_shot: bool
    takes_azimuth: bool = True
    required: Dict[str, Any] = field(default_factory=dict)
    summary: str = ""
    sections_cls: Optional[type] = None
    defaults: Dict[str, Any] = field(default_factory=dict)

    def core_class(self, polar) -> type:
        """The core class matching the polar's kind."""
        if isinstance(polar, _aerlox._ext.SectionPolar) and self.sections_cls is not None:
            return self.sections_cls
        return self.linear_cls if isinstance(polar, _aerlox.LinearPolar) else self.tabulated_cls

    def option_names(self) -> Optional[Tuple[str, ...]]:
        """The keywords a user may set: the core constructor's (all but the rotor, polar
        and azimuth stations) and, for the blade-element models, those of the section
        polar; None when the core class does not say."""
        cls = self.sections_cls or self.linear_cls
        try:
            params = inspect.signature(cls).parameters
        except (TypeError, ValueError):
            return None
        names = tuple(n for n in params if n not in ("defn", "polar", "n_psi_elements"))
        if self.sections_cls is not None:
            names += POLAR_OPTIONS
        return names

    def check_options(self, options) -> None:
        """A TypeError that names an unknown keyword and lists the model's options."""
        known = self.option_names()
        unknown = sorted(set(options) - set(known or ()))
        if known is not None and unknown:
            listing = ", ".join(known) if known else "none"
            raise TypeError(f"model {self.name!r} has no option {unknown[0]!r}; its options: {listing}")

    def build(self, definition, polar, n_psi: int, **options):
        """A core model object. ``options`` are the core constructor's keywords.

        An unknown keyword is a TypeError that names it and lists the model's options.
        """
        known = self.option_names()
        if isinstance(polar, _aerlox._ext.SectionPolar) and known is not None:
            known = tuple(k for k in known if k not in POLAR_OPTIONS)
        elif self.sections_cls is not None:
            # A plain polar: the first-built class, which takes no refinements.
            try:
                known = tuple(n for n in inspect.signature(self.linear_cls).parameters
                              if n not in ("defn", "polar", "n_psi_elements"))
            except (TypeError, ValueError):
                known = None
        unknown = sorted(set(options) - set(known or ()))
        if known is not None and unknown:
            listing = ", ".join(known) if known else "none"
            raise TypeError(f"model {self.name!r} has no option {unknown[0]!r}; its options: {listing}")
        cls = self.core_class(polar)
        kwargs = dict(self.required)
        kwargs.update(options)
        if self.takes_azimuth:
            return cls(definition, polar, n_psi, **kwargs)
        return cls(definition, polar, **kwargs)


MODELS: Dict[str, ModelSpec] = {
    "bem": ModelSpec(
        "bem", _aerlox._QuasiStaticBEMLinear, _aerlox._QuasiStaticBEMTabulated,
        _aerlox.QuasiStaticRotorState, has_state=False, single_shot=True,
        summary="quasi-static blade-element momentum: axial momentum per annulus, no states",
        sections_cls=_aerlox._ext.QuasiStaticBEMSections, defaults={"consistent_swirl": True}),
    "pitt-peters": ModelSpec(
        "pitt-peters", _aerlox._PittPetersModelLinear, _aerlox._PittPetersModelTabulated,
        _aerlox.PittPetersRotorState, has_state=True, single_shot=True,
        summary="Pitt-Peters dynamic inflow: uniform + first-harmonic inflow, three states",
        sections_cls=_aerlox._ext.PittPetersModelSections),
    "oye": ModelSpec(
        "oye", _aerlox._OyeBEMModelLinear, _aerlox._OyeBEMModelTabulated,
        _aerlox.OyeRotorState, has_state=True, single_shot=True,
        required={"coupling_k": 0.0},
        summary="Oye dynamic-inflow BEM: two filtered inflows per element",
        sections_cls=_aerlox._ext.OyeBEMModelSections),
    "vpm": ModelSpec(
        "vpm", _aerlox._VpmRotorLinear, _aerlox._VpmRotorTabulated,
        _aerlox.VpmRotorState, has_state=True, single_shot=False, takes_azimuth=False,
        summary="free-wake vortex particles: lifting-line blades shedding a wake, time-marched"),
}


def model_spec(model: str) -> ModelSpec:
    """The entry of :data:`MODELS` for ``model``, with a ValueError naming the choices."""
    try:
        return MODELS[model]
    except (KeyError, TypeError):
        names = ", ".join(repr(k) for k in MODELS)
        raise ValueError(f"model must be one of {names}, got {model!r}") from None


def _model_name(core) -> str:
    for entry in MODELS.values():
        kinds = (entry.linear_cls, entry.tabulated_cls) + ((entry.sections_cls,) if entry.sections_cls else ())
        if isinstance(core, kinds):
            return entry.name
    raise ValueError(f"not a core rotor model: {type(core).__name__}")


# Relaxation to equilibrium. A semi-implicit step with dt equal to half the
# slowest time constant moves each state a third of the way to its current
# target: quick, and damped enough for the inflow's feedback on the loads
# (a full time constant already oscillates in some hover cases). A chunk whose
# distance to the target grew halves the step. Stop when every state is this
# close to its target (inflow ratios are O(0.01..0.1)).
_RELAX_TOL = 1e-10
_RELAX_CHUNK = 5
_RELAX_MAX_CHUNKS = 2000
_RELAX_FRACTION = 0.5


def _distance_to_target(core, inputs, state) -> float:
    """Largest |target - x| of the inflow states: derivative times time constant."""
    _, deriv = core.compute_forces(inputs, state)
    d = deriv.to_array()
    if d.size == 0:
        return 0.0
    taus = core.inflow_taus(inputs, state)
    n = min(d.size, taus.size)
    gap = np.abs(d[:n] * np.where(np.isfinite(taus[:n]), taus[:n], 0.0))
    # Entries without a finite time constant are judged by their rate.
    gap = np.where(np.isfinite(taus[:n]), gap, np.abs(d[:n]))
    return float(np.max(gap)) if n else 0.0


def equilibrium(core: Any, inputs: "_aerlox.RotorInputs", model: Optional[str] = None,
                state: Any = None) -> Tuple[Any, bool]:
    """(state, converged): the model's inflow state at equilibrium for ``inputs``.

    Quasi-static: its empty state. Pitt-Peters and Oye: relaxed with the core's
    ``relax_inflow_py`` (semi-implicit steps, dt half the slowest current
    time constant) until every state is within 1e-10 of its target; ``converged``
    says whether that was reached. Vortex rotor: its empty state (it has no
    equilibrium of its own; ``Rotor.solve`` marches it).
    """
    name = model if model is not None else _model_name(core)
    entry = model_spec(name)
    if state is None:
        state = core.initial_rotor_state()
    if not entry.has_state or not entry.single_shot:
        return state, True
    fraction = _RELAX_FRACTION
    previous = math.inf
    for _ in range(_RELAX_MAX_CHUNKS):
        taus = core.inflow_taus(inputs, state)
        finite = taus[np.isfinite(taus) & (taus > 0.0)]
        dt = fraction * float(np.max(finite)) if finite.size else 0.005
        state = _aerlox.relax_inflow_py(core, state, inputs, _RELAX_CHUNK, dt)
        gap = _distance_to_target(core, inputs, state)
        if gap < _RELAX_TOL:
            return state, True
        if not math.isfinite(gap):
            return state, False
        if gap > previous:
            fraction *= 0.5
        previous = gap
    return state, False


def equilibrium_state(core: Any, inputs: "_aerlox.RotorInputs", model: Optional[str] = None) -> Any:
    """The model's state at equilibrium for these inputs (see :func:`equilibrium`)."""
    return equilibrium(core, inputs, model)[0]
