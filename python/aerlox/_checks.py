"""Argument checks shared by the toolkit's constructors.

Every message names the argument and the rule it broke, so a user sees which
value to change without reading the code.
"""
from __future__ import annotations

import math
import os
import sys
import warnings
from typing import Any, Optional

import numpy as np


class UnitWarning(UserWarning):
    """A value that is almost surely in another unit than its name says (radians given as degrees, ...)."""


def warn_unit(message: str) -> None:
    """Warn with ``UnitWarning``, pointing at the first caller outside this package."""
    here = os.path.dirname(os.path.abspath(__file__))
    level, frame = 2, sys._getframe(1)
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == here:
        frame, level = frame.f_back, level + 1
    warnings.warn(message, UnitWarning, stacklevel=level)


def _refuse_text(name: str, value: Any) -> None:
    # float("0.5") would succeed, but a number arriving as text is a mistake
    # upstream (a CSV column, a form field); refused everywhere alike.
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"{name} must be a number, got {value!r}")


def real(name: str, value: Any) -> float:
    """``float(value)``, but text is a TypeError naming ``name`` (callers check the range)."""
    _refuse_text(name, value)
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {value!r}") from None
    except OverflowError:   # an int beyond any float
        raise ValueError(f"{name} must be finite, got an integer too large for a float") from None


def instance(name: str, value: Any, kind: type, what: str) -> Any:
    """``value`` when it is a ``kind``; else a TypeError naming ``name`` and saying ``what`` it must be."""
    if not isinstance(value, kind):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__}")
    return value


def number(name: str, value: Any, *, positive: bool = False, nonnegative: bool = False) -> float:
    """``value`` as a finite float; TypeError for a non-number (text included), ValueError for a broken rule."""
    _refuse_text(name, value)
    try:
        out = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {value!r}") from None
    except OverflowError:   # an int beyond any float
        raise ValueError(f"{name} must be finite, got an integer too large for a float") from None
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {out!r}")
    if positive and not out > 0.0:
        raise ValueError(f"{name} must be > 0, got {out!r}")
    if nonnegative and not out >= 0.0:
        raise ValueError(f"{name} must be >= 0, got {out!r}")
    return out


def count(name: str, value: Any, low: int, high: Optional[int] = None) -> int:
    """``value`` as an int within [low, high]; a float with an integral value is accepted."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        if isinstance(value, (float, np.floating)) and float(value).is_integer():
            value = int(value)
        else:
            raise TypeError(f"{name} must be an integer, got {value!r}")
    value = int(value)
    if value < low or (high is not None and value > high):
        rule = f">= {low}" if high is None else f"between {low} and {high}"
        raise ValueError(f"{name} must be {rule}, got {value}")
    return value


def floats(name: str, value: Any, what: str, *, size: Optional[int] = None, finite: bool = True) -> np.ndarray:
    """``value`` as a new one-dimensional float64 array (of ``size`` values when given).

    ``what`` describes the accepted form for the messages (e.g. "a sequence of
    numbers"). With ``finite`` the first NaN or infinity is reported with its index.
    """
    _refuse_text(name, value)
    try:
        kind = np.asarray(value).dtype.kind
    except (TypeError, ValueError):
        kind = ""
    if kind in ("U", "S") or (kind == "O" and any(isinstance(v, (str, bytes)) for v in np.ravel(value))):
        raise TypeError(f"{name} must be {what}, got text among the numbers")
    try:
        arr = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be {what}") from None
    except OverflowError:   # an int beyond any float
        raise ValueError(f"{name} must be finite, got an integer too large for a float") from None
    if size is not None:
        if arr.size != size:
            raise ValueError(f"{name} must be {what}, got shape {arr.shape}")
        arr = arr.reshape(size)
    elif arr.ndim != 1:
        raise ValueError(f"{name} must be {what}, got shape {arr.shape}")
    if finite:
        bad = np.flatnonzero(~np.isfinite(arr))
        if bad.size:
            raise ValueError(f"{name} must be finite, got {float(arr[bad[0]])!r} at index {int(bad[0])}")
    return arr
