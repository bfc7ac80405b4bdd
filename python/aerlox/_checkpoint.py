"""The journal of a checkpointed sweep: every finished point, appended as it comes.

The file starts with one line of JSON naming the sweep it belongs to (a hash of
everything that decides its numbers); each finished point follows as one framed
record: its flat index, its row of float64 numbers, its converged flag and its
error and warning texts, with a CRC so that a record torn by a killed process is
recognised and dropped when the sweep resumes. Records reach the kernel with
every write, so a killed process loses nothing it finished; the file is synced
to the disk every few seconds and at the end.
"""
from __future__ import annotations

import hashlib
import json
import os
import struct
import time
import zlib
from pathlib import Path
from typing import Dict, Iterator, Tuple

import numpy as np

from . import _atomic

_MAGIC = "aerlox-sweep-checkpoint"
_VERSION = 1
_HEAD = struct.Struct("<IIq?II")   # payload length, crc32 of the payload, index, converged, len(error), len(warning)
_SYNC_EVERY_S = 5.0


def sweep_key(parts: Dict[str, object], arrays: Dict[str, np.ndarray]) -> str:
    """A hash of a sweep's arguments: JSON-able parts and the swept values, bit for bit."""
    h = hashlib.sha256(json.dumps(parts, sort_keys=True, default=repr).encode())
    for name in sorted(arrays):
        h.update(name.encode() + b"\0" + np.ascontiguousarray(arrays[name], dtype=np.float64).tobytes())
    return h.hexdigest()


class Journal:
    """Appends finished points to a checkpoint file; reads back the points of an earlier run."""

    def __init__(self, path, key: str, row: int, n_points: int):
        self.path = Path(path)
        self.key = key
        self.row = row
        self.n_points = n_points
        self._fd = -1
        self._synced = time.monotonic()

    def _header(self) -> bytes:
        return (json.dumps({"format": _MAGIC, "version": _VERSION, "sweep": self.key,
                            "row": self.row, "n_points": self.n_points}) + "\n").encode()

    def open(self) -> Iterator[Tuple[int, np.ndarray, bool, str, str]]:
        """Start the journal: yields the points already in it (nothing for a new file)."""
        if not self.path.exists() and not self.path.is_symlink():
            _atomic.write_bytes(self.path, self._header())
        flags = os.O_RDWR | os.O_APPEND | getattr(os, "O_NOFOLLOW", 0)
        try:
            self._fd = os.open(self.path, flags)
        except OSError as exc:
            raise ValueError(f"checkpoint {str(self.path)!r}: cannot be opened as a file ({exc.strerror})") from None
        with os.fdopen(os.dup(self._fd), "rb") as f:
            f.seek(0)
            data = f.read()
        return self._records(data)

    def _records(self, data: bytes):
        line, sep, body = data.partition(b"\n")
        try:
            head = json.loads(line.decode()) if sep else None
        except (UnicodeDecodeError, ValueError):
            head = None
        if not isinstance(head, dict) or head.get("format") != _MAGIC:
            self.close()
            raise ValueError(f"checkpoint {str(self.path)!r} is not a sweep checkpoint; pick another path")
        if head.get("sweep") != self.key or head.get("row") != self.row:
            self.close()
            raise ValueError(f"checkpoint {str(self.path)!r} belongs to a different sweep (other rotor, model, "
                             "options or axes); remove it or pick another path")
        out = []
        at, good = 0, 0
        width = 8 * self.row
        while at + _HEAD.size <= len(body):
            length, crc, index, converged, n_err, n_warn = _HEAD.unpack_from(body, at)
            payload = body[at + _HEAD.size: at + _HEAD.size + length]
            if (len(payload) != length or length != width + n_err + n_warn or zlib.crc32(payload) != crc
                    or not 0 <= index < self.n_points):
                break   # a record torn by a killed process: everything after it is dropped
            values = np.frombuffer(payload[:width], dtype="<f8").astype(np.float64)
            error = payload[width:width + n_err].decode("utf-8", "replace")
            warning = payload[width + n_err:].decode("utf-8", "replace")
            out.append((index, values, bool(converged), error, warning))
            at += _HEAD.size + length
            good = at
        if good < len(body):
            # Cut the torn tail so that new records follow the last whole one.
            os.ftruncate(self._fd, len(line) + 1 + good)
        return iter(out)

    def append(self, index: int, values: np.ndarray, converged: bool, error: str, warning: str) -> None:
        err = error.encode("utf-8", "replace")
        warn = warning.encode("utf-8", "replace")
        payload = np.ascontiguousarray(values, dtype="<f8").tobytes() + err + warn
        record = _HEAD.pack(len(payload), zlib.crc32(payload), index, bool(converged), len(err), len(warn)) + payload
        view = memoryview(record)
        while view:
            view = view[os.write(self._fd, view):]
        now = time.monotonic()
        if now - self._synced > _SYNC_EVERY_S:
            os.fsync(self._fd)
            self._synced = now

    def close(self) -> None:
        if self._fd >= 0:
            try:
                os.fsync(self._fd)
            except OSError:
                pass
            os.close(self._fd)
            self._fd = -1
