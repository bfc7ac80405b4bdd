"""Studies over a rotor, kept as one import for callers: ``sweep`` (module
``sweeps``), ``simulate`` and ``Spin`` (module ``simulation``), and what reads a
simulation back, ``load_state``, ``spanwise_at`` and ``wake_at`` (module
``history``)."""
from __future__ import annotations

from .history import load_state, spanwise_at, wake_at
from .simulation import Record, Spin, simulate
from .sweeps import sweep

__all__ = ["sweep", "simulate", "Spin", "load_state", "spanwise_at", "wake_at"]
