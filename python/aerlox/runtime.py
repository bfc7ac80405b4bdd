"""Run-time controls of the native core: the worker pool and the vector kernels.

The vortex-particle wake evaluates its induced velocities on a process-wide
pool of worker threads. Its size can be read and changed at any time between
calls; results are bit-identical for every size, so it is purely a matter of
speed (e.g. one worker per process when a process pool already fills the
machine). At import, the package applies the environment variable
``AERLOX_NUM_THREADS`` when it is set (a value it cannot use is warned about
and the default kept).
"""
from __future__ import annotations

import os
import warnings
from typing import Optional

from . import _aerlox

__all__ = ["set_num_threads", "num_threads", "kernel_isa", "kernel_quotient"]

_ext = _aerlox._ext

#: The environment variable read at import.
ENV_VAR = "AERLOX_NUM_THREADS"


def set_num_threads(n: Optional[int]) -> None:
    """Use ``n`` participants (worker threads plus the calling thread) in the wake's
    parallel loops from the next loop on. ``None`` or 0: one per CPU this process may
    run on (the default). ``n`` must be an integer in 0..1024."""
    if n is not None and (isinstance(n, bool) or not isinstance(n, int)):
        raise TypeError(f"n must be an int or None, got {type(n).__name__}")
    if n is not None and not 0 <= n <= 1024:
        raise ValueError(f"n must be in 0..1024 (0: one per CPU), got {n}")
    if n is not None:
        _check_stack_room(n or os.cpu_count() or 1)
    _ext.set_num_threads(n)


def _check_stack_room(n: int) -> None:
    """Refuse a worker count whose thread stacks cannot fit under the process's
    address-space limit (``ulimit -v``): the workers would fail to start at every
    later vortex run instead."""
    try:
        import resource
    except ImportError:   # no such limits on this platform
        return
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit == resource.RLIM_INFINITY:
        return
    stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
    if stack == resource.RLIM_INFINITY or stack <= 0:
        stack = 8 << 20
    try:
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        used = 0
    need = (n - 1) * stack
    if used + need > limit:
        raise ValueError(f"n={n} needs about {need >> 20} MiB of address space for its worker threads' stacks, "
                         f"but only {max(limit - used, 0) >> 20} MiB are left under this process's limit "
                         f"({limit >> 20} MiB, ulimit -v)")


def num_threads() -> int:
    """Participants of the wake's parallel loops (worker threads plus the caller)."""
    return _ext.num_threads()


def kernel_isa() -> str:
    """The instruction set the wake's velocity kernels use on this CPU (e.g. ``"avx2"``)."""
    return _ext.kernel_isa()


def kernel_quotient() -> str:
    """How the wake's direct sum forms its distance ratio on this machine: ``"reciprocal"``
    or ``"divide"``, whichever a short calibration at first use found faster (the same
    bits either way)."""
    return _ext.kernel_quotient()


def _apply_environment() -> None:
    text = os.environ.get(ENV_VAR, "").strip()
    if not text:
        return
    # A bad value must not make `import aerlox` fail: warn and keep the default.
    try:
        n = int(text)
        if not 0 <= n <= 1024:
            raise ValueError(f"{ENV_VAR} must be in 0..1024 (0: one per CPU), got {n}")
        set_num_threads(n)
    except ValueError as exc:
        text = str(exc) if str(exc).startswith(ENV_VAR) else f"{ENV_VAR}={text!r} is not usable ({exc})"
        warnings.warn(f"{text}; using the default, one thread per CPU", RuntimeWarning, stacklevel=3)
