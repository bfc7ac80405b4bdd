"""The one table from a model name to the core classes, and each model's equilibrium driver.

Every other module asks :data:`MODELS` instead of testing model names, so a new
model is one entry here.
"""
from __future__ import annotations

import functools
import inspect
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Tuple

from . import _aerlox
from .sections import POLAR_OPTIONS

__all__ = ["ModelSpec", "MODELS", "model_spec", "equilibrium_state", "equilibrium"]


@functools.lru_cache(maxsize=None)
def _constructor_keywords(cls: type) -> Optional[Tuple[str, ...]]:
    """A core class's constructor keywords but the rotor, polar and azimuth
    stations; None when the class does not say. Kept per class: reading the
    text signature costs more than many a solve, and every solve checks its
    options."""
    try:
        params = inspect.signature(cls).parameters
    except (TypeError, ValueError):
        return None
    return tuple(n for n in params if n not in ("defn", "polar", "n_psi_elements"))


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
        names = _constructor_keywords(self.sections_cls or self.linear_cls)
        if names is None:
            return None
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
            known = _constructor_keywords(self.linear_cls)
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


# Relaxation to equilibrium (the core's _ext.equilibrium, one call). A
# semi-implicit step with dt equal to half the slowest time constant moves each
# state a third of the way to its current target: quick, and damped enough for
# the inflow's feedback on the loads (a full time constant already oscillates
# in some hover cases). A chunk whose distance to the target grew halves the
# step. Stop when every state is this close to its target (inflow ratios are
# O(0.01..0.1)).
_RELAX_TOL = 1e-10
_RELAX_CHUNK = 5
_RELAX_MAX_CHUNKS = 2000
_RELAX_FRACTION = 0.5


def equilibrium(core: Any, inputs: "_aerlox.RotorInputs", model: Optional[str] = None,
                state: Any = None) -> Tuple[Any, bool]:
    """(state, converged): the model's inflow state at equilibrium for ``inputs``.

    Quasi-static: its empty state. Pitt-Peters and Oye: relaxed by semi-implicit
    steps (dt half the slowest current time constant, halved whenever a chunk of
    five steps moved away from the target) until every state is within 1e-10 of
    its target; ``converged`` says whether that was reached. The relaxation runs
    in the core without Python's lock. Vortex rotor: its empty state (it has no
    equilibrium of its own; ``Rotor.solve`` marches it).
    """
    name = model if model is not None else _model_name(core)
    entry = model_spec(name)
    if state is None:
        state = core.initial_rotor_state()
    if not entry.has_state or not entry.single_shot:
        return state, True
    return _aerlox._ext.equilibrium(core, state, inputs, _RELAX_TOL, _RELAX_CHUNK, _RELAX_MAX_CHUNKS,
                                    _RELAX_FRACTION)


def equilibrium_state(core: Any, inputs: "_aerlox.RotorInputs", model: Optional[str] = None) -> Any:
    """The model's state at equilibrium for these inputs (see :func:`equilibrium`)."""
    return equilibrium(core, inputs, model)[0]
