"""Shared fixtures and helpers for the Python suite.

The fixtures describe one realistic small rotor: two blades of 1 m radius with
a linear twist, a NACA-0012-like linear polar and a plain swashplate.
"""
import math
import os
import signal
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import aerlox._aerlox as ae

# A run started in the background by a shell without job control inherits
# SIGINT ignored: Python then raises no KeyboardInterrupt, and the Ctrl-C tests
# (and their child interpreters, which inherit the disposition) would wait
# forever. Give the run Python's own handling back; children then start with
# the default disposition.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Every class of the full module, in registry order. Only some exist yet;
# tests check the relative order of those that do.
REGISTRY_FUNCTIONS_HEAD = ["cyclic_coeffs", "omega_derivative", "step_omega"]
REGISTRY_CLASSES = [
    "LinearPolar",
    "TabulatedPolar",
    "BladeGeometry",
    "LinearPolarParameters",
    "ControlProperties",
    "ServoFlapGeometry",
    "ServoFlapActuation",
    "FlapProperties",
    "RotorDefinition",
    "QuasiStaticRotorState",
    "PittPetersRotorState",
    "OyeRotorState",
    "VpmRotorState",
    "RotorInputs",
    "AeroResult",
    "_QuasiStaticBEMLinear",
    "_QuasiStaticBEMTabulated",
    "_PittPetersModelLinear",
    "_PittPetersModelTabulated",
    "_OyeBEMModelLinear",
    "_OyeBEMModelTabulated",
    "_VpmRotorLinear",
    "_VpmRotorTabulated",
    "TrimResult",
]
REGISTRY_FUNCTIONS_TAIL = ["solve_trim_cyclic_py", "relax_inflow_py"]
REGISTRY = REGISTRY_FUNCTIONS_HEAD + REGISTRY_CLASSES + REGISTRY_FUNCTIONS_TAIL

SUBCLASSABLE = {
    "BladeGeometry",
    "_QuasiStaticBEMLinear",
    "_QuasiStaticBEMTabulated",
    "_PittPetersModelLinear",
    "_PittPetersModelTabulated",
    "_OyeBEMModelLinear",
    "_OyeBEMModelTabulated",
    "_VpmRotorLinear",
    "_VpmRotorTabulated",
}

# Stations of the realistic blade: chord tapering and twist washing out.
R_STATIONS = [0.1, 0.4, 0.7, 1.0]
CHORD_STATIONS = [0.08, 0.07, 0.06, 0.05]
TWIST_STATIONS = [12.0, 8.0, 4.0, 0.0]


def make_blade(**overrides):
    args = dict(
        n_blades=2,
        radius_m=1.0,
        root_cutout_m=0.1,
        chord_m=0.06,
        twist_deg=-8.0,
        n_elements=20,
        r_stations_m=list(R_STATIONS),
        chord_stations_m=list(CHORD_STATIONS),
        twist_stations_deg=list(TWIST_STATIONS),
    )
    args.update(overrides)
    return ae.BladeGeometry(**args)


def make_inputs(**overrides):
    args = dict(
        collective_rad=0.1,
        tilt_lon=0.0,
        tilt_lat=0.0,
        R_hub=np.eye(3),
        v_hub_world=np.zeros(3),
        wind_world=np.zeros(3),
        omega_rad_s=100.0,
        rho_kg_m3=1.225,
    )
    args.update(overrides)
    return ae.RotorInputs(**args)


@pytest.fixture
def blade():
    return make_blade()


@pytest.fixture
def airfoil():
    return ae.LinearPolarParameters(0.0, 5.7, 0.011, 12.0)


@pytest.fixture
def control():
    return ae.ControlProperties(1.0, None)


@pytest.fixture
def servoflap():
    return ae.ServoFlapActuation(0.002, 0.01, ae.ServoFlapGeometry(-0.6, 0.6, 0.9), 0.005, -0.01)


@pytest.fixture
def definition(blade, airfoil, control):
    return ae.RotorDefinition(blade, airfoil, control, "two-blade", "2-bladed 1 m test rotor")


@pytest.fixture
def linear_polar():
    return ae.LinearPolar(0.2, 5.7, 0.01, 0.25)


@pytest.fixture
def identity_inputs():
    return make_inputs()


def bits(x):
    """The exact IEEE-754 bit pattern of a float, so -0.0 and NaN payloads count."""
    return struct.pack("<d", float(x))


def same_float(a, b):
    return type(a) is float and bits(a) == bits(b)


def error_text(fn, *args, **kwargs):
    """Calls fn expecting any exception; returns (type, message)."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - the tests inspect whatever comes out
        return type(e), str(e)
    raise AssertionError(f"{fn!r} did not raise")


def plain(x):
    """The plain number text used by reprs: shortest round-trip digits, no exponent."""
    return np.format_float_positional(x, unique=True, trim="-")


def debug(x):
    """The debug number text used inside Vec3([...])."""
    s = repr(float(x))
    if "e" in s:
        mant, exp = s.split("e")
        s = f"{mant}e{int(exp)}"
    return s


def run_isolated(code):
    """Runs code in a fresh interpreter (for import-time behaviour and for paths
    that would take the whole test process down if they failed badly)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )
    return proc


EXTENSION_PATH = ae.__file__
PI = math.pi
