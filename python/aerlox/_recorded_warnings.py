"""Recording the warnings a piece of work raises, one record per thread.

``warnings.catch_warnings`` swaps process-wide state on entry and puts it back
on exit, so two threads recording at once (a sweep on a thread pool) would
take each other's warnings and could leave the process recording forever.
Here the first thread to start recording installs one shared hook, which
hands each warning to the list of the thread that raised it (or shows it as
usual when that thread is not recording); the last thread to stop removes it.
"""
from __future__ import annotations

import contextlib
import threading
import warnings
from typing import Iterator, List

_lock = threading.Lock()
_recording = 0            # threads inside record_warnings(), under _lock
_saved = None             # the catch_warnings context holding what the hook replaced
_shown_before = None      # warnings.showwarning before the hook
_local = threading.local()


def _show(message, category, filename, lineno, file=None, line=None):
    caught = getattr(_local, "caught", None)
    if caught is None:
        _shown_before(message, category, filename, lineno, file, line)
    else:
        caught.append(warnings.WarningMessage(message, category, filename, lineno, file, line))


@contextlib.contextmanager
def record_warnings() -> Iterator[List[warnings.WarningMessage]]:
    """Every warning this thread raises inside the block, repeats included, in order."""
    global _recording, _saved, _shown_before
    with _lock:
        if _recording == 0:
            _saved = warnings.catch_warnings()
            _saved.__enter__()
            warnings.simplefilter("always")
            _shown_before = warnings.showwarning
            warnings.showwarning = _show
        _recording += 1
    outer = getattr(_local, "caught", None)
    _local.caught = caught = []
    try:
        yield caught
    finally:
        _local.caught = outer
        with _lock:
            _recording -= 1
            if _recording == 0:
                _saved.__exit__(None, None, None)
                _saved = _shown_before = None
