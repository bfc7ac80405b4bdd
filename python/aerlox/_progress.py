"""Progress bars for long toolkit work (sweeps, simulations).

A bar is shown when ``progress`` is True, or when it is None (the default) and
stderr is a terminal outside CI. Without a bar the same calls cost next to nothing.
"""
from __future__ import annotations

import os
import sys


def wanted(progress) -> bool:
    """Resolve the ``progress`` argument: True/False as given, None from the terminal."""
    if progress is not None:
        return bool(progress)
    if os.environ.get("CI"):
        return False
    stream = sys.stderr
    try:
        return bool(stream is not None and stream.isatty())
    except (AttributeError, ValueError):  # replaced or closed stderr
        return False


class _NoBar:
    """Stands in for a tqdm bar when none is shown."""

    def update(self, n=1):
        pass

    def set_postfix_str(self, s, refresh=True):
        pass

    def close(self):
        pass


def bar(total: int, desc: str, progress, unit: str = "it"):
    """A tqdm bar of ``total`` units, or an object with the same methods that shows nothing."""
    if not wanted(progress):
        return _NoBar()
    from tqdm.auto import tqdm

    return tqdm(total=total, desc=desc, unit=unit, leave=False, dynamic_ncols=True)
