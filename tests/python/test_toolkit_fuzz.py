"""Hostile calls to the toolkit's public functions: each returns, or raises one of
the documented classes (ValueError, TypeError; OSError where a file is named;
KeyError from a record lookup) - never anything else - and a result said to be
converged holds finite loads.

In the suite every property runs a few dozen examples. ``make fuzz`` runs this
file as a script for as long as asked (``SECONDS=600 make fuzz``) and prints the
calls made and the exception classes seen.
"""
import collections
import math
import os
import sys
import tempfile
import time
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import aerlox as ax

DOCUMENTED = (ValueError, TypeError, OSError, KeyError)
OUTCOMES = collections.Counter()
EXAMPLES = int(os.environ.get("AERLOX_FUZZ_EXAMPLES", "25"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=EXAMPLES <= 25,
                suppress_health_check=list(HealthCheck))

ROTOR = ax.Rotor(2, 1.0, 0.08, [8.0, 0.0], ax.Airfoil.linear(5.7), root_cutout_m=0.15, stations_m=[0.15, 1.0],
                 elements=6, azimuth_stations=8, name="fuzz")
HOVER = ax.OperatingPoint.hover(rpm=1200, collective_deg=8.0)


class Hostile:
    """An object that claims to be many things and is none of them (an exception
    its own methods raised would be its own to pass on, so they lie instead)."""

    def __float__(self):
        return "not a float"

    def __index__(self):
        return "not an index"

    def __len__(self):
        return -1


# Values a careless or unlucky caller passes.
GARBAGE = st.one_of(
    st.sampled_from([None, object(), Hostile(), "x", "1.5", b"2", True, [], {}, {"a": 1}, [1.0, [2.0]],
                     (1, 2, 3), 0, -1, 2**64, 10**400, -(10**400), np.array([np.nan, 1.0]), np.zeros((2, 2)),
                     slice(1), print]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=4),
    st.text(max_size=6),
)
# Numbers a plausible study passes, and their extremes.
NUMBERS = st.one_of(st.floats(min_value=-1e300, max_value=1e300), st.sampled_from([0.0, 1e-300, 1e300, -0.0]))


def attempt(fn, *args, **kwargs):
    """Call fn: a result, or one of the documented exceptions (counted); anything else fails the test."""
    OUTCOMES["calls"] += 1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            out = fn(*args, **kwargs)
        except DOCUMENTED as exc:
            OUTCOMES[type(exc).__name__] += 1
            return None
    OUTCOMES["returned"] += 1
    return out


def _converged_means_finite(perf):
    if perf is not None and perf.converged:
        loads = [perf.thrust_N, perf.torque_Nm, *perf.hub_force_N, *perf.hub_moment_Nm]
        assert all(math.isfinite(v) for v in loads), perf


CONSTRUCTORS = {
    "Rotor": (ax.Rotor, [2, 1.0, 0.08, 0.0, ax.Airfoil.linear(5.7)],
              {"root_cutout_m": 0.1, "elements": 6, "azimuth_stations": 8}),
    "OperatingPoint": (ax.OperatingPoint, [], {"rpm": 1200.0, "collective_deg": 8.0, "forward_m_s": 0.0,
                                                "climb_m_s": 0.0, "rho_kg_m3": 1.225}),
    "Airfoil.linear": (ax.Airfoil.linear, [5.7, 0.01, 12.0, 0.0], {}),
    "Airfoil.table": (ax.Airfoil.table, [[-10.0, 0.0, 10.0], [-1.0, 0.0, 1.0], [0.02, 0.01, 0.02]], {"reynolds": 1e6}),
    "Spin": (ax.Spin, [0.5, 1.0, 0.1, 120.0], {}),
    "Flap": (ax.Flap, [], {"inertia_kgm2": 0.3, "omega_nr_rad_s": 120.0}),
    "set_num_threads": (ax.set_num_threads, [2], {}),
}


@FUZZ
@given(name=st.sampled_from(sorted(CONSTRUCTORS)), slot=st.integers(0, 7), value=GARBAGE)
def test_constructors_take_any_argument(name, slot, value):
    fn, args, kwargs = CONSTRUCTORS[name]
    args, kwargs = list(args), dict(kwargs)
    keys = list(kwargs)
    if slot < len(args):
        args[slot] = value
    elif keys:
        kwargs[keys[slot % len(keys)]] = value
    attempt(fn, *args, **kwargs)
    if name == "set_num_threads":
        ax.set_num_threads(None)


@FUZZ
@given(rpm=NUMBERS, collective=NUMBERS, forward=NUMBERS, climb=NUMBERS, radius=NUMBERS,
       model=st.sampled_from(["bem", "pitt-peters", "oye"]))
def test_solve_never_calls_a_non_number_converged(rpm, collective, forward, climb, radius, model):
    op = attempt(ax.OperatingPoint, rpm=rpm, collective_deg=collective, forward_m_s=forward, climb_m_s=climb)
    rotor = attempt(ROTOR.replace, radius_m=radius) if abs(radius) < 1e6 else ROTOR
    if op is not None and rotor is not None:
        _converged_means_finite(attempt(rotor.solve, op, model=model))


@FUZZ
@given(value=GARBAGE, where=st.sampled_from(["axis", "fixed", "options", "chunk_size", "trim", "model", "rotor"]))
def test_sweep_takes_any_argument(value, where):
    kwargs = {"rpm": [1100.0, 1200.0], "collective_deg": 8.0}
    rotor = ROTOR
    if where == "axis":
        kwargs["collective_deg"] = value
    elif where == "fixed":
        kwargs["forward_m_s"] = value
    elif where == "trim":
        kwargs["trim_moment_Nm"] = value
    elif where == "rotor":
        rotor = value
    else:
        kwargs[where] = value
    ds = attempt(ax.sweep, rotor, **kwargs)
    if ds is not None:
        ok = ds.converged.values
        assert np.isfinite(ds.thrust_N.values[ok]).all()


@FUZZ
@given(value=GARBAGE, where=st.sampled_from(["t_end_s", "dt_s", "schedule", "spin", "controller", "record",
                                             "options", "initial_state", "integration_method"]))
def test_simulate_takes_any_argument(value, where):
    kwargs = {"model": "pitt-peters", "t_end_s": 0.003, "dt_s": 1e-3, "schedule": HOVER}
    if where == "controller":
        kwargs["controller"] = lambda t, record: value
    else:
        kwargs[where] = value
    ds = attempt(ax.simulate, ROTOR, **kwargs)
    if ds is not None and not ds.attrs["non_finite"]:
        assert np.isfinite(ds.thrust_N.values).all()


@FUZZ
@given(data=st.recursive(st.one_of(st.none(), st.booleans(), st.floats(), st.integers(), st.text(max_size=4)),
                         lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                 st.dictionaries(st.text(max_size=12), inner, max_size=4)),
                         max_leaves=12),
       drop=st.sampled_from([None, "blades", "airfoil", "chord_m", "flap"]))
def test_rotor_descriptions_of_any_shape(data, drop):
    attempt(ax.Rotor.from_dict, data)
    attempt(ax.Rotor.from_json, str(data))
    described = ROTOR.to_dict()
    if drop is not None:
        described[drop] = data
    attempt(ax.Rotor.from_dict, described)


@FUZZ
@given(blob=st.binary(max_size=300), cut=st.integers(0, 4000), flip=st.integers(0, 4000))
def test_damaged_files_are_refused_with_a_documented_class(blob, cut, flip):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "f.nc")
        with open(path, "wb") as f:
            f.write(blob)
        attempt(ax.load, path)
        attempt(ax.Rotor.from_json, path)
        attempt(ax.Airfoil.read, path)
        ax.save(_SAVED, path)
        with open(path, "rb") as f:
            raw = bytearray(f.read())
        raw[flip % len(raw)] ^= 0xFF
        with open(path, "wb") as f:
            f.write(bytes(raw[: max(1, cut % (len(raw) + 1))]))
        ds = attempt(ax.load, path)
        if ds is not None:
            attempt(ax.load_state, ds)


_SAVED = ax.simulate(ROTOR, model="oye", t_end_s=0.002, dt_s=1e-3, schedule=HOVER)


def _public_functions():
    """Every public function of the toolkit's modules (the figures aside: matplotlib's own errors are its own)."""
    import inspect

    from aerlox import corrections, export, fields, history, polar_files, saving

    found = {}
    for module in (ax, fields, export, polar_files, corrections, saving, history):
        for name in getattr(module, "__all__", ()):
            obj = getattr(module, name, None)
            if inspect.isfunction(obj) and obj.__module__.startswith("aerlox") and name not in found:
                found[f"{module.__name__}.{name}"] = obj
    return found


PUBLIC = _public_functions()


@FUZZ
@given(name=st.sampled_from(sorted(PUBLIC)), args=st.lists(GARBAGE, min_size=1, max_size=3))
def test_every_public_function_takes_any_argument(name, args):
    if name.endswith("set_num_threads"):
        args = args[:1]
    with tempfile.TemporaryDirectory() as folder:
        cwd = os.getcwd()
        os.chdir(folder)   # a function that writes a file writes it here
        try:
            attempt(PUBLIC[name], *args)
        finally:
            os.chdir(cwd)
            ax.set_num_threads(None)

PROPERTIES = [test_constructors_take_any_argument, test_solve_never_calls_a_non_number_converged,
              test_sweep_takes_any_argument, test_simulate_takes_any_argument,
              test_rotor_descriptions_of_any_shape, test_damaged_files_are_refused_with_a_documented_class,
              test_every_public_function_takes_any_argument]


def main(seconds: float) -> None:
    """Run every property over and over, with fresh examples, until the time is up."""
    deadline = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < deadline:
        for prop in PROPERTIES:
            if time.monotonic() >= deadline:
                break
            prop()
        rounds += 1
    total = OUTCOMES.pop("calls", 0)
    print(f"fuzz: {total} calls in {rounds} rounds of {len(PROPERTIES)} properties, "
          f"{seconds + time.monotonic() - deadline:.0f} s")
    for outcome, count in OUTCOMES.most_common():
        print(f"  {outcome:<20} {count}")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 60.0)
