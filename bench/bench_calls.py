"""What one Python call into aerlox._aerlox costs.

Each module call is timed beside a pure-Python function doing the same work
(the same arithmetic, the same argument checks and copies) and beside a few
builtins of similar arity, all in the same run. Times are the best of several
repeats, in nanoseconds per call. Nothing here asserts a time; it does check
that every module call gives exactly the answer of its pure-Python twin.

Run: .venv/bin/python bench/bench_calls.py
"""
import math
import struct
import sys
import time
import timeit

import numpy as np

import aerlox._aerlox as ae

REPEATS = 7
TARGET_SECONDS = 0.05  # per repeat


# ---------------------------------------------------------------------------
# Pure-Python twins


def py_step_omega(omega, q_aero, motor_torque_nm, i_ode_kgm2, dt, bearing_friction_nm=0.0):
    omega = float(omega)
    q_aero = float(q_aero)
    motor_torque_nm = float(motor_torque_nm)
    i_ode_kgm2 = float(i_ode_kgm2)
    dt = float(dt)
    bearing_friction_nm = float(bearing_friction_nm)
    if omega > 0.0:
        f = bearing_friction_nm
    elif omega < 0.0:
        f = -bearing_friction_nm
    else:
        f = 0.0
    if abs(omega) < 1e-12:
        new = omega + ((motor_torque_nm - q_aero - f) / i_ode_kgm2) * dt
    else:
        tau = omega * i_ode_kgm2 / q_aero if q_aero != 0.0 else math.inf
        if tau > 0.0 and math.isfinite(tau):
            new = (omega + dt * (motor_torque_nm - f) / i_ode_kgm2) / (1.0 + dt / tau)
        else:
            new = omega + ((motor_torque_nm - q_aero - f) / i_ode_kgm2) * dt
    if (omega > 0.0 and new < 0.0) or (omega < 0.0 and new > 0.0):
        return 0.0
    return new


class PyControl:
    __slots__ = ("swashplate_pitch_gain_rad", "swashplate_phase_deg")

    def __init__(self, gain, phase_deg):
        self.swashplate_pitch_gain_rad = float(gain)
        self.swashplate_phase_deg = None if phase_deg is None else float(phase_deg)


def py_cyclic_coeffs(tilt_lon, tilt_lat, control=None):
    tilt_lon = float(tilt_lon)
    tilt_lat = float(tilt_lat)
    if control is None:
        g, phi = 1.0, 0.0
    else:
        if not isinstance(control, PyControl):
            raise TypeError(f"argument 'control': '{type(control).__name__}' object cannot be converted")
        g = control.swashplate_pitch_gain_rad
        p = control.swashplate_phase_deg
        phi = 0.0 if p is None else p * 0.017453292519943295
    c, s = math.cos(phi), math.sin(phi)
    return g * (-tilt_lon * c - tilt_lat * s), g * (tilt_lat * c - tilt_lon * s)


def _vec(a, name, n_dim):
    if not isinstance(a, np.ndarray) or a.dtype != np.float64 or a.ndim != n_dim:
        raise TypeError(f"argument '{name}': cannot be converted")
    return a


class PyRotorInputs:
    __slots__ = ("collective_rad", "tilt_lon", "tilt_lat", "R_hub", "v_hub_world", "wind_world",
                 "omega_rad_s", "rho_kg_m3")

    def __init__(self, collective_rad, tilt_lon, tilt_lat, R_hub, v_hub_world, wind_world, omega_rad_s, rho_kg_m3):
        self.collective_rad = float(collective_rad)
        self.tilt_lon = float(tilt_lon)
        self.tilt_lat = float(tilt_lat)
        r = _vec(R_hub, "R_hub", 2)
        v = _vec(v_hub_world, "v_hub_world", 1)
        w = _vec(wind_world, "wind_world", 1)
        self.omega_rad_s = float(omega_rad_s)
        self.rho_kg_m3 = float(rho_kg_m3)
        if r.shape != (3, 3):
            raise ValueError("R_hub must be a 3x3 array")
        for a, name in ((v, "v_hub_world"), (w, "wind_world")):
            if not a.flags.c_contiguous:
                raise TypeError("The given array is not contiguous")
            if a.shape != (3,):
                raise ValueError(f"{name} must be a length-3 array")
        # Value copies, as the record keeps them.
        self.R_hub = tuple(r.ravel().tolist())
        self.v_hub_world = tuple(v.tolist())
        self.wind_world = tuple(w.tolist())


# ---------------------------------------------------------------------------
# Timing


def ns_per_call(stmt, namespace):
    # CPU time of this process: a shared machine does not inflate the figures.
    timer = timeit.Timer(stmt, timer=time.process_time, globals=namespace)
    number, _ = timer.autorange()
    number = max(number, int(number * TARGET_SECONDS / 0.2))
    best = min(timer.repeat(repeat=REPEATS, number=number))
    return best / number * 1e9


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def check_answers(ns):
    """The module and its twins agree exactly on the benchmarked calls."""
    assert same(ae.step_omega(*ns["spin"]), py_step_omega(*ns["spin"]))
    for a, b in zip(ae.cyclic_coeffs(*ns["tilt"], ns["ctrl"]), py_cyclic_coeffs(*ns["tilt"], ns["py_ctrl"])):
        assert same(a, b)
    ri, pri = ae.RotorInputs(*ns["ri_args"]), PyRotorInputs(*ns["ri_args"])
    assert tuple(ri.R_hub.ravel().tolist()) == pri.R_hub
    assert tuple(ri.v_hub_world.tolist()) == pri.v_hub_world
    assert tuple(ri.wind_world.tolist()) == pri.wind_world
    for n in ("collective_rad", "tilt_lon", "tilt_lat", "omega_rad_s", "rho_kg_m3"):
        assert same(getattr(ri, n), getattr(pri, n))


def main():
    ns = {
        "ae": ae,
        "math": math,
        "py_step_omega": py_step_omega,
        "py_cyclic_coeffs": py_cyclic_coeffs,
        "PyRotorInputs": PyRotorInputs,
        "spin": (52.0, 1.3, 4.0, 0.02, 0.001, 0.05),
        "tilt": (0.03, -0.02),
        "ctrl": ae.ControlProperties(0.9, 12.0),
        "py_ctrl": PyControl(0.9, 12.0),
        "ri_args": (0.12, 0.01, -0.02, np.eye(3), np.zeros(3), np.array([0.0, 0.0, -2.0]), 120.0, 1.225),
        "floats6": (52.0, 1.3, 4.0, 0.02, 0.001, 0.05),
        "floats3": [0.1, 0.2, 0.3],
    }
    ns.update(step_omega=ae.step_omega, cyclic_coeffs=ae.cyclic_coeffs, RotorInputs=ae.RotorInputs)
    ns.update({k: v for k, v in zip(("o", "q", "m", "i", "dt", "bf"), ns["spin"])})
    ns.update(lon=0.03, lat=-0.02, R=np.eye(3), v=np.zeros(3), w=np.array([0.0, 0.0, -2.0]))
    check_answers(ns)

    rows = [
        ("step_omega (6 floats)", "step_omega(o, q, m, i, dt, bf)", "py_step_omega(o, q, m, i, dt, bf)"),
        ("step_omega by keyword", "step_omega(o, q, m, i, dt=dt, bearing_friction_nm=bf)",
         "py_step_omega(o, q, m, i, dt=dt, bearing_friction_nm=bf)"),
        ("cyclic_coeffs (no control)", "cyclic_coeffs(lon, lat)", "py_cyclic_coeffs(lon, lat)"),
        ("cyclic_coeffs (control)", "cyclic_coeffs(lon, lat, ctrl)", "py_cyclic_coeffs(lon, lat, py_ctrl)"),
        ("RotorInputs(...)", "RotorInputs(0.12, 0.01, -0.02, R, v, w, 120.0, 1.225)",
         "PyRotorInputs(0.12, 0.01, -0.02, R, v, w, 120.0, 1.225)"),
    ]
    builtins = [
        ("divmod(a, b)", "divmod(o, q)"),
        ("max(6 floats)", "max(o, q, m, i, dt, bf)"),
        ("math.fsum(3 floats)", "math.fsum(floats3)"),
    ]

    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}; best of {REPEATS} repeats, ns per call")
    print()
    header = f"{'call':<28} {'aerlox':>9} {'pure Python':>12} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    ratios = []
    for label, fast, slow in rows:
        t_fast, t_slow = ns_per_call(fast, ns), ns_per_call(slow, ns)
        ratios.append(t_fast / t_slow)
        print(f"{label:<28} {t_fast:>9.1f} {t_slow:>12.1f} {t_fast / t_slow:>7.2f}")
    print()
    print(f"{'builtin of similar arity':<28} {'ns':>9}")
    print("-" * 38)
    for label, stmt in builtins:
        print(f"{label:<28} {ns_per_call(stmt, ns):>9.1f}")
    print()
    worst = max(ratios)
    verdict = "met" if worst < 1 / 3 else "NOT met"
    print(f"worst ratio aerlox / pure Python: {worst:.2f} (goal below 0.33: {verdict})")


if __name__ == "__main__":
    main()
