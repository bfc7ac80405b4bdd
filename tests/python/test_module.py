"""The module as a whole: registry, signatures, class shapes, exceptions and the
argument rules every constructor, method and function follows."""
import inspect
import pydoc
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import aerlox._aerlox as ae
from conftest import (
    EXTENSION_PATH,
    REGISTRY,
    REGISTRY_FUNCTIONS_HEAD,
    REGISTRY_FUNCTIONS_TAIL,
    SUBCLASSABLE,
    error_text,
    make_blade,
    make_inputs,
    run_isolated,
)

# The text signature of every callable in this part of the module.
SIGNATURES = {
    "cyclic_coeffs": "(tilt_lon, tilt_lat, control=None)",
    "omega_derivative": "(omega, q_aero, motor_torque_nm, i_ode_kgm2, bearing_friction_nm=0.0)",
    "step_omega": "(omega, q_aero, motor_torque_nm, i_ode_kgm2, dt, bearing_friction_nm=0.0)",
    "LinearPolar": "(CL0, CL_alpha_per_rad, CD0, alpha_stall_rad)",
    "TabulatedPolar": "(alpha_rad, cl, cd)",
    "BladeGeometry": (
        "(n_blades, radius_m, root_cutout_m, chord_m, twist_deg, n_elements, "
        "r_stations_m, chord_stations_m, twist_stations_deg, tip_loss=True)"
    ),
    "LinearPolarParameters": "(CL0, CL_alpha_per_rad, CD0, alpha_stall_deg)",
    "ControlProperties": "(swashplate_pitch_gain_rad, swashplate_phase_deg)",
    "ServoFlapGeometry": "(C_M_delta_per_rad, r_inner_m, r_outer_m)",
    "ServoFlapActuation": "(I_theta_kgm2, damper_Nms_per_rad, flap, ac_offset_m=0.0, blade_Cm_AC=0.0)",
    "FlapProperties": "(I_blade_flap_kgm2, omega_nr_rad_s)",
    "RotorDefinition": "(blade, airfoil, control, name, description, servoflap=None, flap=None)",
    "RotorInputs": (
        "(collective_rad, tilt_lon, tilt_lat, R_hub, v_hub_world, wind_world, omega_rad_s, rho_kg_m3)"
    ),
}
FUNCTIONS = ["cyclic_coeffs", "omega_derivative", "step_omega"]
CONSTRUCTIBLE = [n for n in SIGNATURES if n not in FUNCTIONS]


def valid_args(name):
    """A valid positional argument list for each callable."""
    sfg = ae.ServoFlapGeometry(-0.6, 0.6, 0.9)
    a3 = np.array([-0.1, 0.0, 0.1])
    return {
        "cyclic_coeffs": [0.1, 0.2, ae.ControlProperties(1.0, 10.0)],
        "omega_derivative": [10.0, 2.0, 5.0, 0.5, 1.0],
        "step_omega": [10.0, 2.0, 5.0, 0.5, 0.1, 1.0],
        "LinearPolar": [0.2, 5.7, 0.01, 0.25],
        "TabulatedPolar": [a3, a3 * 5, a3 * a3],
        "BladeGeometry": [2, 1.0, 0.1, 0.06, -8.0, 20, [0.1, 1.0], [0.06, 0.05], [4.0, 0.0], False],
        "LinearPolarParameters": [0.2, 5.7, 0.01, 15.0],
        "ControlProperties": [1.0, 10.0],
        "ServoFlapGeometry": [-0.6, 0.6, 0.9],
        "ServoFlapActuation": [0.002, 0.01, sfg, 0.005, -0.01],
        "FlapProperties": [2.0, 10.0],
        "RotorDefinition": [
            make_blade(),
            ae.LinearPolarParameters(0.2, 5.7, 0.01, 15.0),
            None,
            "n",
            "d",
            ae.ServoFlapActuation(0.002, 0.01, sfg),
            ae.FlapProperties(2.0, 10.0),
        ],
        "RotorInputs": [0.1, 0.0, 0.0, np.eye(3), np.zeros(3), np.zeros(3), 100.0, 1.225],
    }[name]


def param_names(name):
    return [p.split("=")[0] for p in SIGNATURES[name][1:-1].split(", ")]


def display(name):
    return f"{name}()" if name in FUNCTIONS else f"{name}.__new__()"


def python_twin(name):
    """A pure-Python function with the same parameters and the same display
    name, whose TypeErrors are CPython's own wording."""
    ns = {}
    exec(f"def twin{SIGNATURES[name]}: return None", ns)  # noqa: S102 - fixed text
    twin = ns["twin"]
    twin.__qualname__ = display(name)[:-2]
    return twin


# ---------------------------------------------------------------------------
# Registry


def test_all_follows_registry_order():
    names = list(ae.__all__)
    assert len(names) == len(set(names))
    assert names[:3] == REGISTRY_FUNCTIONS_HEAD
    # The classes and trim functions present appear in registry order.
    assert names == [n for n in REGISTRY if n in names]
    assert set(names) <= set(REGISTRY)
    # Everything of this stage is there.
    assert set(SIGNATURES) <= set(names)
    tail = [n for n in names if n in REGISTRY_FUNCTIONS_TAIL]
    assert names[len(names) - len(tail):] == tail


def test_namespace_order_matches_all_and_panic_is_not_exported():
    public = [k for k in vars(ae) if k in ae.__all__]
    assert public == list(ae.__all__)
    for n in ae.__all__:
        assert getattr(ae, n) is not None
    assert "PanicException" not in ae.__all__
    assert isinstance(ae.PanicException, type)


def test_module_of_every_class_and_function():
    for n in ae.__all__:
        obj = getattr(ae, n)
        assert obj.__module__ == "aerlox._aerlox", n
        assert obj.__name__ == n


# ---------------------------------------------------------------------------
# Text signatures and docstrings


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_text_signature(name):
    obj = getattr(ae, name)
    assert obj.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(obj)) == SIGNATURES[name]


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_class_docstring_is_what_follows_the_signature(name):
    # The type's doc slot holds "<name><signature>\n--\n\n": CPython derives
    # __text_signature__ from it and shows the rest, empty here, as __doc__,
    # so help() carries the signature and no stray "--".
    cls = getattr(ae, name)
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == SIGNATURES[name]
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert f" |  {name}{SIGNATURES[name]}\n" in text
    assert " |  --\n" not in text


def test_classes_without_constructor_have_empty_docstring():
    for name in ("AeroResult", "TrimResult"):
        if hasattr(ae, name):
            cls = getattr(ae, name)
            assert cls.__doc__ == ""
            assert cls.__text_signature__ is None


def test_function_docstrings():
    assert ae.omega_derivative.__doc__ == (
        "Rigid-body rotor spin ODE derivative. See aerlox_rs::mechanical for the\n"
        "full physics (Coulomb bearing friction is always a parameter; pass\n"
        "bearing_friction_nm=0.0 for a frictionless bearing)."
    )
    assert ae.step_omega.__doc__ == (
        "Semi-implicit (locally-frozen relaxation) step for the rigid-body spin\n"
        "ODE. This is the single canonical, recommended integrator -- see\n"
        "aerlox_rs::mechanical for the full derivation and stability properties."
    )


@pytest.mark.parametrize(
    "owner, method, sig",
    [
        ("LinearPolar", "cl_cd", "($self, alpha_rad)"),
        ("LinearPolar", "cl_cd_arr", "($self, alpha_rad)"),
        ("TabulatedPolar", "cl_cd", "($self, alpha_rad)"),
        ("TabulatedPolar", "cl_cd_arr", "($self, alpha_rad)"),
        ("BladeGeometry", "chord_at", "($self, r)"),
        ("BladeGeometry", "twist_at", "($self, r)"),
        ("BladeGeometry", "__reduce__", "($self)"),
    ],
)
def test_method_signatures(owner, method, sig):
    fn = getattr(getattr(ae, owner), method)
    assert fn.__text_signature__ == sig
    params = sig[1:-1].split(", ")[1:]
    assert list(inspect.signature(fn).parameters) == ["self"] + params


def test_from_properties_signature_on_the_class():
    assert str(inspect.signature(ae.LinearPolar.from_properties)) == "(airfoil)"


# ---------------------------------------------------------------------------
# Class shapes


@pytest.mark.parametrize("name", [n for n in REGISTRY if n[0].isupper() or n.startswith("_")])
def test_final_or_subclassable(name):
    if not hasattr(ae, name):
        pytest.skip(f"{name} is not built yet")
    cls = getattr(ae, name)
    if name in SUBCLASSABLE:
        sub = type("Sub", (cls,), {})
        assert issubclass(sub, cls)
    else:
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_instances_have_no_dict_and_no_weakref(name):
    obj = getattr(ae, name)(*valid_args(name))
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.some_new_attribute = 1
    with pytest.raises(TypeError):
        vars(obj)
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_aero_result_cannot_be_constructed():
    for args in [(), (1, 2)]:
        with pytest.raises(TypeError) as e:
            ae.AeroResult(*args)
        assert str(e.value) == "No constructor defined for AeroResult"
    with pytest.raises(TypeError, match="^No constructor defined for AeroResult$"):
        ae.AeroResult(F_world=None)


# ---------------------------------------------------------------------------
# PanicException


def test_panic_exception_is_a_base_exception_only():
    P = ae.PanicException
    assert issubclass(P, BaseException)
    assert not issubclass(P, Exception)
    assert P.__name__ == "PanicException"
    e = P("assertion failed: n_psi > 0")
    assert e.args == ("assertion failed: n_psi > 0",)
    assert not isinstance(e, Exception)
    # `except Exception` must not swallow it.
    with pytest.raises(P):
        try:
            raise e
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException was caught as an Exception")


def test_panic_exception_docstring():
    doc = " ".join(ae.PanicException.__doc__.split())
    assert "native" in doc and "internal check" in doc
    assert "SystemExit" in doc and "BaseException" in doc
    assert "all the way up the stack" in doc


def test_panic_exception_is_one_class_per_process():
    import aerlox

    assert aerlox.PanicException is ae.PanicException


def test_invariant_violation_reaches_python_as_panic(definition, linear_polar):
    if not hasattr(ae, "_QuasiStaticBEMLinear"):
        pytest.skip("no model yet: nothing in this stage reaches an internal invariant")
    with pytest.raises(ae.PanicException) as e:
        ae._QuasiStaticBEMLinear(definition, linear_polar, 0)
    assert e.value.args == ("assertion failed: n_psi > 0",)


# ---------------------------------------------------------------------------
# Import-time behaviour (fresh interpreters)

LOAD_EXTENSION = f"""
import importlib.machinery, importlib.util, sys
path = {EXTENSION_PATH!r}
loader = importlib.machinery.ExtensionFileLoader("aerlox._aerlox", path)
found = importlib.util.spec_from_file_location("aerlox._aerlox", path, loader=loader)
m = importlib.util.module_from_spec(found)
found.loader.exec_module(m)
"""


def test_numpy_is_looked_up_on_first_array_use_only():
    proc = run_isolated(
        LOAD_EXTENSION
        + """
assert "numpy" not in sys.modules, "numpy imported at module load"
m.step_omega(1.0, 0.1, 0.2, 0.5, 0.01)
m.BladeGeometry(2, 1.0, 0.1, 0.05, 0.0, 10, [0.1, 1.0], [0.05, 0.04], [0.0, 0.0])
assert "numpy" not in sys.modules, "numpy imported without an array"
import numpy as np
cl, cd = m.LinearPolar(0.2, 5.7, 0.01, 0.25).cl_cd_arr(np.array([0.1]))
assert cl.dtype == np.float64
print("ok")
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_numpy_unavailable_raises_panic_on_first_array_use():
    proc = run_isolated(
        LOAD_EXTENSION
        + """
sys.modules["numpy"] = None   # any import of numpy now fails
try:
    m.LinearPolar(0.2, 5.7, 0.01, 0.25).cl_cd_arr([0.1])
except m.PanicException as e:
    print(str(e))
else:
    print("no error")
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("Failed to access NumPy array API capsule")


def test_second_interpreter_gets_import_error():
    proc = run_isolated(
        LOAD_EXTENSION
        + f"""
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    print("skip")
    raise SystemExit
sub = interpreters.create()
code = "import sys; sys.path[:] = " + repr(sys.path) + "; import aerlox._aerlox"
try:
    interpreters.run_string(sub, code)
except Exception as e:
    print(type(e).__name__, e)
else:
    print("imported")
"""
    )
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "skip":
        pytest.skip("no sub-interpreter support in this Python")
    assert "ImportError" in proc.stdout, proc.stdout


# ---------------------------------------------------------------------------
# Argument binding: CPython's own wording


def binding_cases(name):
    """Single-fault calls: (args, kwargs)."""
    names = param_names(name)
    base = valid_args(name)
    n = len(names)
    n_req = SIGNATURES[name].count(",") + 1 - SIGNATURES[name].count("=")
    cases = [
        (base + [0.0], {}),
        (base + [0.0, 0.0], {}),
        ([], {}),
        (base[:1], {}),
        (base[: n_req - 1], {}),
        (base[1:n_req], {}) if n_req > 1 else None,
        ([], {names[-1]: base[-1]}),
        (base[:n_req], {"bogus": 1}),
        (base[:n_req], {names[0]: base[0]}),
        (base[:n_req], {names[n_req - 1]: base[n_req - 1], "also_bogus": 2}),
        # the last required one given by keyword, the first omitted
        ([], {k: v for k, v in zip(names[1:n_req], base[1:n_req])}),
    ]
    if n >= 3:
        cases.append((base[:2], {}))
    return [c for c in cases if c is not None]


ALL_BINDING_CASES = [(name, i) for name in SIGNATURES for i in range(len(binding_cases(name)))]


@pytest.mark.parametrize("name, i", ALL_BINDING_CASES)
def test_binding_errors_match_cpython(name, i):
    args, kwargs = binding_cases(name)[i]
    twin = python_twin(name)
    target = getattr(ae, name)
    try:
        twin(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    else:
        target(*args, **kwargs)  # must succeed as the twin did
        return
    kind, msg = error_text(target, *args, **kwargs)
    assert kind is TypeError
    assert msg == expected


@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_binding_matches_cpython_for_any_call_shape(data):
    name = data.draw(st.sampled_from(list(SIGNATURES)))
    names = param_names(name)
    base = valid_args(name)
    n_pos = data.draw(st.integers(0, len(names) + 2))
    kw_names = data.draw(st.lists(st.sampled_from(names + ["bogus", "omega_"]), unique=True))
    # CPython reports keyword problems before surplus positionals; ours does it
    # the other way round. Only single-kind faults are compared.
    assume(n_pos <= len(names) or not kw_names)
    args = (base + [0.0, 0.0])[:n_pos]
    kwargs = {k: (base[names.index(k)] if k in names else 0.0) for k in kw_names}
    twin = python_twin(name)
    try:
        twin(*args, **kwargs)
    except TypeError as e:
        kind, msg = error_text(getattr(ae, name), *args, **kwargs)
        assert (kind, msg) == (TypeError, str(e))
    else:
        getattr(ae, name)(*args, **kwargs)


def test_name_lists_are_joined_as_cpython_joins_them():
    msgs = [
        error_text(ae.ServoFlapGeometry, 1.0, 2.0)[1],
        error_text(ae.ServoFlapGeometry, 1.0)[1],
        error_text(ae.ServoFlapGeometry)[1],
        error_text(ae.step_omega)[1],
    ]
    assert msgs == [
        "ServoFlapGeometry.__new__() missing 1 required positional argument: 'r_outer_m'",
        "ServoFlapGeometry.__new__() missing 2 required positional arguments: 'r_inner_m' and 'r_outer_m'",
        "ServoFlapGeometry.__new__() missing 3 required positional arguments: "
        "'C_M_delta_per_rad', 'r_inner_m', and 'r_outer_m'",
        "step_omega() missing 5 required positional arguments: "
        "'omega', 'q_aero', 'motor_torque_nm', 'i_ode_kgm2', and 'dt'",
    ]


@pytest.mark.parametrize(
    "call, expected",
    [
        # One-parameter methods: always "arguments", and self is not counted.
        (lambda lp, tp, b: lp.cl_cd(0.1, 0.2), "LinearPolar.cl_cd() takes 1 positional arguments but 2 were given"),
        (lambda lp, tp, b: tp.cl_cd_arr(1, 2, 3), "TabulatedPolar.cl_cd_arr() takes 1 positional arguments but 3 were given"),
        (lambda lp, tp, b: lp.cl_cd(), "LinearPolar.cl_cd() missing 1 required positional argument: 'alpha_rad'"),
        (lambda lp, tp, b: b.chord_at(), "BladeGeometry.chord_at() missing 1 required positional argument: 'r'"),
        (lambda lp, tp, b: b.twist_at(0.1, r=0.2), "BladeGeometry.twist_at() got multiple values for argument 'r'"),
        (lambda lp, tp, b: b.chord_at(x=0.2), "BladeGeometry.chord_at() got an unexpected keyword argument 'x'"),
        (lambda lp, tp, b: ae.LinearPolar.from_properties(), "LinearPolar.from_properties() missing 1 required positional argument: 'airfoil'"),
        (lambda lp, tp, b: ae.LinearPolar.from_properties(1, 2), "LinearPolar.from_properties() takes 1 positional arguments but 2 were given"),
    ],
)
def test_method_binding_errors(call, expected, linear_polar):
    a = np.array([0.0, 1.0])
    tp = ae.TabulatedPolar(a, a, a)
    kind, msg = error_text(call, linear_polar, tp, make_blade())
    assert (kind, msg) == (TypeError, expected)


def test_methods_take_keywords(linear_polar, blade):
    assert linear_polar.cl_cd(alpha_rad=0.1) == linear_polar.cl_cd(0.1)
    assert blade.chord_at(r=0.5) == blade.chord_at(0.5)
    cl, _ = linear_polar.cl_cd_arr(alpha_rad=np.array([0.1]))
    assert cl[0] == linear_polar.cl_cd(0.1)[0]


def test_unexpected_keyword_with_unencodable_name_is_a_type_error():
    # CPython names the keyword whatever characters it holds.
    kind, msg = error_text(ae.step_omega, 1.0, 2.0, 3.0, 4.0, 5.0, **{"\ud800x": 1})
    assert kind is TypeError
    assert msg.startswith("step_omega() got an unexpected keyword argument")


def test_keywords_in_any_order_equal_positional_call():
    args = valid_args("RotorInputs")
    names = param_names("RotorInputs")
    kw = dict(reversed(list(zip(names, args))))
    a, b = ae.RotorInputs(*args), ae.RotorInputs(**kw)
    for n in names:
        assert np.array_equal(getattr(a, n), getattr(b, n))
    c = ae.RotorInputs(*args[:3], **dict(zip(names[3:], args[3:])))
    assert c.rho_kg_m3 == args[-1] and c.omega_rad_s == args[-2]


# ---------------------------------------------------------------------------
# Argument conversion


def expected_kind(name, pname):
    """The underlying message for an object() passed to parameter pname."""
    if name == "BladeGeometry" and pname in ("n_blades", "n_elements"):
        return "'object' object cannot be interpreted as an integer"
    if pname.endswith("stations_m") or pname.endswith("stations_deg"):
        return "'object' object cannot be converted to 'Sequence'"
    if pname == "tip_loss" or pname in ("name", "description"):
        return "'object' object cannot be converted to '"
    if pname in ("R_hub", "v_hub_world", "wind_world") or name == "TabulatedPolar":
        return "'object' object cannot be converted to '"
    classes = {
        "control": "ControlProperties",
        "flap": "FlapProperties" if name == "RotorDefinition" else "ServoFlapGeometry",
        "blade": "BladeGeometry",
        "airfoil": "LinearPolarParameters",
        "servoflap": "ServoFlapActuation",
    }
    if pname in classes:
        return f"'object' object cannot be converted to '{classes[pname]}'"
    return "must be real number, not object"


PARAM_CASES = [(name, i) for name in SIGNATURES for i in range(len(param_names(name)))]


@pytest.mark.parametrize("name, i", PARAM_CASES)
def test_wrong_type_names_the_argument(name, i):
    pname = param_names(name)[i]
    args = valid_args(name)
    args[i] = object()
    kind, msg = error_text(getattr(ae, name), *args)
    assert kind is TypeError
    prefix = f"argument '{pname}': "
    assert msg.startswith(prefix + expected_kind(name, pname)), msg
    # The same by keyword.
    kw = dict(zip(param_names(name), valid_args(name)))
    kw[pname] = object()
    assert error_text(getattr(ae, name), **kw) == (kind, msg)


class HasFloat:
    def __float__(self):
        return 0.375


class HasIndex:
    def __index__(self):
        return 7


class BadFloat:
    def __float__(self):
        raise ValueError("no float for you")


class FloatReturnsInt:
    def __float__(self):
        return 3


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, 2.0),
        (True, 1.0),
        (HasFloat(), 0.375),
        (HasIndex(), 7.0),
        (np.float32(0.5), 0.5),
        (np.int64(-3), -3.0),
        (np.float64(0.1), 0.1),
        (Fraction(1, 4), 0.25),
        (Decimal("0.125"), 0.125),
        (float("inf"), float("inf")),
    ],
)
def test_floats_accept_the_number_protocol(value, expected):
    p = ae.LinearPolarParameters(value, 0.0, 0.0, 0.0)
    assert type(p.CL0) is float and p.CL0 == expected
    assert ae.omega_derivative(0.0, 0.0, value, 1.0) == expected


@pytest.mark.parametrize(
    "value, kind, text",
    [
        ("0.5", TypeError, "argument 'motor_torque_nm': must be real number, not str"),
        (None, TypeError, "argument 'motor_torque_nm': must be real number, not NoneType"),
        (1j, TypeError, "argument 'motor_torque_nm': must be real number, not complex"),
        (np.array([1.0, 2.0]), TypeError, "argument 'motor_torque_nm': "),
        (FloatReturnsInt(), TypeError, "argument 'motor_torque_nm': "),
        # Not a TypeError: passes through untouched.
        (10**400, OverflowError, "int too large to convert to float"),
        (BadFloat(), ValueError, "no float for you"),
    ],
)
def test_float_conversion_failures(value, kind, text):
    got_kind, msg = error_text(ae.omega_derivative, 0.0, 0.0, value, 1.0)
    assert got_kind is kind
    assert msg.startswith(text)


@pytest.mark.parametrize("value", [0, 3, np.int64(4), np.uint8(5), HasIndex(), True])
def test_counts_accept_index(value):
    b = make_blade(n_blades=value, n_elements=value)
    assert type(b.n_blades) is int and b.n_blades == int(value)
    assert type(b.n_elements) is int and b.n_elements == int(value)


def test_largest_count_round_trips():
    big = 2**64 - 1
    assert make_blade(n_elements=big).n_elements == big


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64])
def test_counts_out_of_range_raise_overflow(value):
    for field in ("n_blades", "n_elements"):
        kind, msg = error_text(make_blade, **{field: value})
        assert kind is OverflowError, msg
        assert not msg.startswith("argument")


@pytest.mark.parametrize("value", [2.0, np.float64(2.0), "2", None])
def test_counts_refuse_non_integers(value):
    kind, msg = error_text(make_blade, n_elements=value)
    assert kind is TypeError
    assert msg.startswith("argument 'n_elements': ")
    assert "cannot be interpreted as an integer" in msg


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_bools_accept_python_and_numpy_bools(value, expected):
    b = make_blade(tip_loss=value)
    assert b.tip_loss is expected


@pytest.mark.parametrize("value", [1, 0, None, "True", 1.0, np.int64(1), np.array(True), np.array([True])])
def test_bools_refuse_everything_else(value):
    kind, msg = error_text(make_blade, tip_loss=value)
    assert kind is TypeError
    assert msg.startswith(f"argument 'tip_loss': '{type(value).__name__}' object cannot be converted to ")


def test_none_means_absent_only_where_the_default_is_none(control):
    assert ae.cyclic_coeffs(0.1, 0.2, None) == ae.cyclic_coeffs(0.1, 0.2)
    # A numeric default is not None: passing None is a wrong type.
    kind, msg = error_text(ae.step_omega, 1.0, 0.0, 0.0, 1.0, 0.1, None)
    assert (kind, msg) == (TypeError, "argument 'bearing_friction_nm': must be real number, not NoneType")
    kind, msg = error_text(make_inputs, R_hub=None)
    assert kind is TypeError and msg.startswith("argument 'R_hub': 'NoneType' object cannot be converted to")


def test_reimport_in_the_same_interpreter_gives_the_same_classes():
    proc = run_isolated(
        """
import sys
import aerlox._aerlox as a
del sys.modules["aerlox._aerlox"]
import aerlox._aerlox as b
assert a.RotorInputs is b.RotorInputs and a.PanicException is b.PanicException
assert b.__all__ == a.__all__
assert b.step_omega(10.0, 2.0, 5.0, 0.5, 0.1) == 11 / 1.04
print("ok")
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
