"""aerlox: rotor aerodynamics for simulation and control design.

The compiled core lives in :mod:`aerlox._aerlox` and is re-exported here
unchanged. Beside it sits the toolkit a rotor engineer meets first:
:class:`Airfoil`, :class:`Rotor`, :class:`OperatingPoint` and
:class:`Performance`, with ``Rotor.solve`` running any of the four models::

    import aerlox as ax
    rotor = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7),
                     root_cutout_m=0.15, stations_m=[0.15, 1.0])
    perf = rotor.solve(ax.OperatingPoint.hover(rpm=1150, collective_deg=6.0))
"""
from . import _aerlox
from ._aerlox import *  # noqa: F401,F403
from ._aerlox import PanicException  # noqa: F401
from . import models  # noqa: F401
from ._checks import UnitWarning
from .airfoil import Airfoil
from .operating import OperatingPoint
from .results import Performance
from .rotor import Flap, Rotor, ServoFlap, Swashplate
from .study import Spin, load_state, simulate, sweep
from .saving import load, save
from . import plot  # noqa: F401  (matplotlib itself is imported on first use)

from . import export, fields  # noqa: F401  (wake files; spanwise and wake datasets)
from .runtime import kernel_isa, kernel_quotient, num_threads, set_num_threads
from . import runtime as _runtime

_TOOLKIT = ["Airfoil", "Rotor", "OperatingPoint", "Performance", "Flap", "Swashplate", "ServoFlap",
            "sweep", "simulate", "Spin", "load_state", "save", "load", "UnitWarning"]

_RUNTIME = ["set_num_threads", "num_threads", "kernel_isa", "kernel_quotient"]

__all__ = list(_aerlox.__all__) + _TOOLKIT + _RUNTIME

_runtime._apply_environment()
__version__ = "0.1.0"
