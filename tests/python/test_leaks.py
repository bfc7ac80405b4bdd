"""Reference counting at the boundary: repeated calls, on their success and
their error paths, keep neither Python objects nor references to arguments."""
import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

import aerlox._aerlox as ae
from conftest import make_blade, make_inputs

ROUNDS = 2000


class Seq:
    """A sequence made of fresh float objects, so a leaked item shows up."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return float(i) + 0.5


def calls():
    lp = ae.LinearPolar(0.2, 5.7, 0.01, 0.25)
    a = np.linspace(-0.3, 0.3, 7)
    tp = ae.TabulatedPolar(a, a, a)
    blade = make_blade()
    ri = make_inputs()
    sfa = ae.ServoFlapActuation(0.1, 0.1, ae.ServoFlapGeometry(1, 2, 3))
    d = ae.RotorDefinition(blade, ae.LinearPolarParameters(0, 5.7, 0.01, 12), ae.ControlProperties(1, 2), "n", "d", sfa,
                           ae.FlapProperties(1, 2))
    ns = types.SimpleNamespace(CL0=1, CL_alpha_per_rad=2.0, CD0=0.1, alpha_stall_deg=10)
    bad_ns = types.SimpleNamespace(CL0=1, CL_alpha_per_rad="x")

    def setter_fails():
        ri.tilt_lon = "x"

    def setter_ok():
        ri.tilt_lon = 0.25

    def delete():
        del ri.tilt_lon

    return {
        "step_omega": lambda: ae.step_omega(10.0, 2.0, 5.0, 0.5, 0.1, bearing_friction_nm=1.0),
        "step_omega bad arg": lambda: ae.step_omega(10.0, "2", 5.0, 0.5, 0.1),
        "step_omega bad keyword": lambda: ae.step_omega(10.0, 2.0, 5.0, 0.5, 0.1, nope=1),
        "step_omega missing": lambda: ae.step_omega(10.0),
        "cyclic_coeffs": lambda: ae.cyclic_coeffs(0.1, 0.2, d.control),
        "RotorInputs": lambda: make_inputs(R_hub=np.eye(3).T),
        "RotorInputs bad shape": lambda: make_inputs(v_hub_world=np.zeros(4)),
        "RotorInputs bad dtype": lambda: make_inputs(R_hub=np.eye(3, dtype=np.float32)),
        "RotorInputs getters": lambda: (ri.R_hub, ri.v_hub_world, ri.wind_world, ri.omega_rad_s),
        "setter": setter_ok,
        "setter fails": setter_fails,
        "delete fails": delete,
        "cl_cd_arr": lambda: (lp.cl_cd_arr(a), tp.cl_cd_arr(a)),
        "cl_cd_arr strided": lambda: lp.cl_cd_arr(a[::2]),
        "reprs": lambda: (repr(lp), repr(tp)),
        "TabulatedPolar bad lengths": lambda: ae.TabulatedPolar(a, a[:3], a),
        "from_properties": lambda: ae.LinearPolar.from_properties(ns),
        "from_properties bad": lambda: ae.LinearPolar.from_properties(bad_ns),
        "BladeGeometry": lambda: ae.BladeGeometry(2, 1.0, 0.1, 0.05, 0.0, 10, Seq(), Seq(), [0.0, 1.0, 2.0]),
        "BladeGeometry bad item": lambda: make_blade(chord_stations_m=[0.1, "x"]),
        "__reduce__": blade.__reduce__,
        "definition getters": lambda: (d.blade, d.airfoil, d.control, d.servoflap, d.flap, d.name, sfa.flap),
        "no constructor": lambda: ae.AeroResult(),
    }


CALLS = calls()


def run(fn, n):
    for _ in range(n):
        try:
            fn()
        except (TypeError, ValueError, AttributeError):
            pass


@pytest.mark.parametrize("name", list(CALLS))
def test_repeated_calls_do_not_grow_python_memory(name):
    fn = CALLS[name]
    run(fn, 200)  # warm caches (interned strings, NumPy's first use, ...)
    gc.collect()
    tracemalloc.start()
    growth = []
    try:
        run(fn, ROUNDS)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        # A leak grows in every round; another thread's allocations (a progress
        # bar's monitor, an earlier test's pool) land in one now and then.
        for _ in range(3):
            run(fn, ROUNDS)
            gc.collect()
            second, _ = tracemalloc.get_traced_memory()
            growth.append(second - first)
            first = second
            if growth[-1] < 8_000:
                break
    finally:
        tracemalloc.stop()
    # One leaked float per call would be ~48 kB per round of 2000.
    assert min(growth) < 8_000, f"{name}: grew by {growth} bytes over rounds of {ROUNDS} calls"


def test_arguments_are_not_kept_alive():
    control = ae.ControlProperties(1.0, 2.0)
    x = 12345.678
    arr = np.eye(3)
    seq = [0.1, 0.2, 0.3]
    ns = types.SimpleNamespace(CL0=1.5, CL_alpha_per_rad=2.0, CD0=0.1, alpha_stall_deg=10.0)
    blade = make_blade()
    objs = [control, x, arr, seq, ns, ns.CL0, blade]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(500):
        ae.cyclic_coeffs(x, x, control=control)
        ae.step_omega(x, x, x, x, x)
        make_inputs(R_hub=arr, collective_rad=x)
        ae.BladeGeometry(2, x, x, x, x, 3, seq, seq, seq)
        ae.LinearPolar.from_properties(ns)
        ae.RotorDefinition(blade, ae.LinearPolarParameters(0, 1, 0, 1), control, "n", "d")
        try:
            ae.step_omega(x, x, x, x, "bad")
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in objs] == before
