"""The checkpoint of a simulation: everything a blade-element run needs to go on
from step k exactly as if it had never stopped.

One NumPy ``.npz`` file (no pickled objects: read back with ``allow_pickle=False``),
replaced atomically whenever it is written: the per-step records so far (hub
force, moment, shaft torque, rotor speed, motor torque, the operating points in
force), the recorded inflow states and spanwise loads, and the loop's own
variables at the start of step k (model state, rotor speed, controller
commands). A JSON header names the run it belongs to by a hash of its arguments.
"""
from __future__ import annotations

import dataclasses
import hashlib
import io
import json
import warnings
from pathlib import Path
from typing import Any, Dict, Optional

import numpy as np

from . import _atomic
from .history import _STATE_BLANKS
from .operating import OperatingPoint

_FORMAT = "aerlox-simulate-checkpoint"


def describe(value: Any) -> Any:
    """A stable description of an argument for the run's hash (callables by name)."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: describe(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, dict):
        return {str(k): describe(v) for k, v in sorted(value.items(), key=lambda kv: str(kv[0]))}
    if isinstance(value, (list, tuple)):
        return [describe(v) for v in value]
    if callable(value):
        return f"{getattr(value, '__module__', '')}.{getattr(value, '__qualname__', type(value).__name__)}"
    if hasattr(value, "to_array"):
        return [type(value).__name__, np.asarray(value.to_array(), dtype=np.float64).tolist()]
    return repr(value)


def run_key(parts: Dict[str, Any]) -> str:
    return hashlib.sha256(json.dumps(describe(parts), sort_keys=True).encode()).hexdigest()


class SavedResult:
    """A step's loads read back from a checkpoint, with an AeroResult's names."""

    __slots__ = ("F_world", "m_hub_world", "Q_spin")

    def __init__(self, force, moment, torque):
        self.F_world = force
        self.m_hub_world = moment
        self.Q_spin = torque


def save(path, key: str, k: int, log, state, omega, commands, motor_command, n_states: int, n_span: int) -> None:
    """Write the run's first k steps (with their first n_states inflow and n_span
    spanwise records) and the loop's variables at the start of step k."""
    arrays: Dict[str, np.ndarray] = {
        "force": np.array([r.F_world for r in log.results[:k]], dtype=np.float64).reshape(k, 3),
        "moment": np.array([r.m_hub_world for r in log.results[:k]], dtype=np.float64).reshape(k, 3),
        "torque": np.array([r.Q_spin for r in log.results[:k]], dtype=np.float64),
        "state": np.asarray(state.to_array(), dtype=np.float64),
    }
    head: Dict[str, Any] = {"format": _FORMAT, "run": key, "k": k, "omega": omega, "commands": commands,
                            "motor_command": motor_command, "state_class": type(state).__name__,
                            "span_width_m": log.span_width_m}
    if log.ops is not None:
        distinct: Dict[int, int] = {}
        ops = []
        index = np.empty(k, dtype=np.int64)
        for j, op in enumerate(log.ops[:k]):
            if id(op) not in distinct:
                distinct[id(op)] = len(ops)
                ops.append(dataclasses.asdict(op))
            index[j] = distinct[id(op)]
        head["ops"] = ops
        arrays["op_index"] = index
    for name in ("omegas", "motors"):
        values = getattr(log, name)
        if values is not None:
            arrays[name] = np.array(values[:k], dtype=np.float64)
    if n_states:
        arrays["states"] = np.array([s.to_array() for s in log.states[:n_states]], dtype=np.float64)
        head["states_class"] = type(log.states[0]).__name__
    if n_span:
        for name, value in log.spanwise[0].items():
            if isinstance(value, np.ndarray) and value.ndim == 2:
                arrays[f"span_{name}"] = np.stack([r[name] for r in log.spanwise[:n_span]])
        head["span_scalars"] = {name: value for name, value in log.spanwise[0].items()
                                if not isinstance(value, np.ndarray)}
        arrays["span_azimuth_rad"] = np.asarray(log.spanwise[0]["azimuth_rad"])
    buffer = io.BytesIO()
    np.savez(buffer, header=np.array(json.dumps(head)), **arrays)
    _atomic.write_bytes(path, buffer.getvalue())


def load(path, key: str) -> Optional[Dict[str, Any]]:
    """What a checkpoint holds, or None when there is none; a ValueError for another run's."""
    path = Path(path)
    if not path.exists():
        return None
    try:
        with np.load(path, allow_pickle=False) as data:
            arrays = {name: data[name] for name in data.files}
        head = json.loads(str(arrays.pop("header")))
    except (OSError, ValueError, KeyError, TypeError) as exc:
        raise ValueError(f"checkpoint {str(path)!r} is not a simulation checkpoint ({exc}); pick another path") \
            from None
    if not isinstance(head, dict) or head.get("format") != _FORMAT:
        raise ValueError(f"checkpoint {str(path)!r} is not a simulation checkpoint; pick another path")
    if head.get("run") != key:
        raise ValueError(f"checkpoint {str(path)!r} belongs to a different run (other rotor, model, schedule, "
                         "times or options); remove it or pick another path")
    head["arrays"] = arrays
    return head


def restore(saved: Dict[str, Any], log) -> Any:
    """Fill ``log`` with the saved steps; returns the model state at the start of the next step."""
    arrays = saved["arrays"]
    k = int(saved["k"])
    force, moment, torque = arrays["force"], arrays["moment"], arrays["torque"]
    log.results[:] = [SavedResult(force[j], moment[j], float(torque[j])) for j in range(k)]
    if log.ops is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")   # they were warned about when the run first met them
            ops = [OperatingPoint(**d) for d in saved["ops"]]
        log.ops[:] = [ops[i] for i in arrays["op_index"].tolist()]
    for name in ("omegas", "motors"):
        if getattr(log, name) is not None:
            getattr(log, name)[:] = arrays[name].tolist()
    if "states" in arrays:
        blank = _STATE_BLANKS[saved["states_class"]]
        log.states[:] = [blank(row.size).from_array(np.ascontiguousarray(row)) for row in arrays["states"]]
    span = {name[5:]: value for name, value in arrays.items() if name.startswith("span_") and name != "span_azimuth_rad"}
    if span:
        records = []
        for j in range(next(iter(span.values())).shape[0]):
            record = {name: np.ascontiguousarray(value[j]) for name, value in span.items()}
            record["azimuth_rad"] = arrays["span_azimuth_rad"]
            record.update(saved.get("span_scalars", {}))
            records.append(record)
        log.spanwise[:] = records
        log.span_width_m = saved["span_width_m"]
    state = arrays["state"]
    return _STATE_BLANKS[saved["state_class"]](state.size).from_array(np.ascontiguousarray(state))
