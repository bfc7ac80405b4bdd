"""aerlox: rotor aerodynamics for simulation and control design.

Everything lives in the compiled module :mod:`aerlox._aerlox`; this package
re-exports it.
"""
from . import _aerlox
from ._aerlox import *  # noqa: F401,F403
from ._aerlox import PanicException  # noqa: F401

__all__ = list(_aerlox.__all__)
__version__ = "0.1.0"
