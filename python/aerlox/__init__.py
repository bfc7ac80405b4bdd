"""aerlox: rotor aerodynamics for simulation and control design.

Everything lives in the compiled module :mod:`aerlox._aerlox`; this package
re-exports it.
"""
from . import _aerlox
from ._aerlox import *  # noqa: F401,F403
from ._aerlox import PanicException  # noqa: F401

from .runtime import kernel_isa, num_threads, set_num_threads  # noqa: F401
from . import runtime as _runtime

__all__ = list(_aerlox.__all__)

_runtime._apply_environment()
__version__ = "0.1.0"
