// Module entry and the free functions of the control and spin-dynamics areas.
#include <cstdint>

#include "cancel.hpp"
#include "cyclic.hpp"
#include "kit/gil.hpp"
#include "kit/kit.hpp"
#include "mechanical.hpp"
#include "registry.hpp"
#include "rotor_definition.hpp"

namespace {

namespace mech = aerlox_rs::mechanical;

// ---- cyclic_coeffs(tilt_lon, tilt_lat, control=None)
constexpr const char* CYCLIC_NAMES[] = {"tilt_lon", "tilt_lat", "control"};
constexpr kit::Signature CYCLIC_SIG{"cyclic_coeffs()", CYCLIC_NAMES, 2, 3};

PyObject* py_cyclic_coeffs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(CYCLIC_SIG, args, nargs, kw);
    const double lon = kit::extract<double>(a[0], "tilt_lon");
    const double lat = kit::extract<double>(a[1], "tilt_lat");
    const auto control = kit::extract_opt<aerlox_rs::ControlProperties>(a[2], "control");
    return kit::to_py(aerlox_rs::cyclic_coeffs(lon, lat, aerlox_rs::control_gains(control)));
  });
}

// ---- omega_derivative(omega, q_aero, motor_torque_nm, i_ode_kgm2, bearing_friction_nm=0.0)
constexpr const char* DERIV_NAMES[] = {"omega", "q_aero", "motor_torque_nm", "i_ode_kgm2",
                                       "bearing_friction_nm"};
constexpr kit::Signature DERIV_SIG{"omega_derivative()", DERIV_NAMES, 4, 5};

PyObject* py_omega_derivative(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(DERIV_SIG, args, nargs, kw);
    const double omega = kit::extract<double>(a[0], "omega");
    const double q = kit::extract<double>(a[1], "q_aero");
    const double motor = kit::extract<double>(a[2], "motor_torque_nm");
    const double inertia = kit::extract<double>(a[3], "i_ode_kgm2");
    const double friction = kit::extract_or<double>(a[4], "bearing_friction_nm", 0.0);
    return kit::to_py(mech::omega_derivative(omega, q, motor, inertia, friction));
  });
}

// ---- step_omega(omega, q_aero, motor_torque_nm, i_ode_kgm2, dt, bearing_friction_nm=0.0)
constexpr const char* STEP_NAMES[] = {"omega",      "q_aero", "motor_torque_nm",
                                      "i_ode_kgm2", "dt",     "bearing_friction_nm"};
constexpr kit::Signature STEP_SIG{"step_omega()", STEP_NAMES, 5, 6};

PyObject* py_step_omega(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(STEP_SIG, args, nargs, kw);
    const double omega = kit::extract<double>(a[0], "omega");
    const double q = kit::extract<double>(a[1], "q_aero");
    const double motor = kit::extract<double>(a[2], "motor_torque_nm");
    const double inertia = kit::extract<double>(a[3], "i_ode_kgm2");
    const double dt = kit::extract<double>(a[4], "dt");
    const double friction = kit::extract_or<double>(a[5], "bearing_friction_nm", 0.0);
    return kit::to_py(mech::step_omega(omega, q, motor, inertia, dt, friction));
  });
}

PyMethodDef cyclic_def = {"cyclic_coeffs", kit::fastcall(py_cyclic_coeffs), METH_FASTCALL | METH_KEYWORDS,
                          "cyclic_coeffs(tilt_lon, tilt_lat, control=None)\n--\n\n"
                          "Map swashplate tilt (rad) to the cyclic pitch coefficients\n"
                          "(theta_1c, theta_1s) in rad, using the control properties' gain and\n"
                          "phase (gain 1, phase 0 when control is None)."};

PyMethodDef deriv_def = {
    "omega_derivative", kit::fastcall(py_omega_derivative), METH_FASTCALL | METH_KEYWORDS,
    "omega_derivative(omega, q_aero, motor_torque_nm, i_ode_kgm2, bearing_friction_nm=0.0)\n--\n\n"
    "Rigid-body rotor spin ODE derivative. See aerlox_rs::mechanical for the\n"
    "full physics (Coulomb bearing friction is always a parameter; pass\n"
    "bearing_friction_nm=0.0 for a frictionless bearing)."};

PyMethodDef step_def = {
    "step_omega", kit::fastcall(py_step_omega), METH_FASTCALL | METH_KEYWORDS,
    "step_omega(omega, q_aero, motor_torque_nm, i_ode_kgm2, dt, bearing_friction_nm=0.0)\n--\n\n"
    "Semi-implicit (locally-frozen relaxation) step for the rigid-body spin\n"
    "ODE. This is the single canonical, recommended integrator -- see\n"
    "aerlox_rs::mechanical for the full derivation and stability properties."};

PyObject* g_first_module = nullptr;  // the module as first built, kept for re-imports
std::int64_t g_interpreter = -1;

/// Re-import in the same interpreter (after removal from sys.modules): the
/// classes are process-wide, so hand out the same objects again.
int copy_from_first(PyObject* m) {
  PyObject* all = PyObject_GetAttrString(g_first_module, "__all__");
  if (all == nullptr) return -1;
  int rc = PyModule_AddObjectRef(m, "__all__", all);
  for (Py_ssize_t i = 0; rc == 0 && i < PyList_GET_SIZE(all); ++i) {
    PyObject* name = PyList_GET_ITEM(all, i);
    PyObject* v = PyObject_GetAttr(g_first_module, name);
    rc = v ? PyObject_SetAttr(m, name, v) : -1;
    Py_XDECREF(v);
  }
  Py_DECREF(all);
  if (rc == 0) rc = PyModule_AddObjectRef(m, "PanicException", kit::panic_exception());
  if (rc == 0) {
    PyObject* ext = PyObject_GetAttrString(g_first_module, "_ext");
    rc = ext ? PyModule_AddObjectRef(m, "_ext", ext) : -1;
    Py_XDECREF(ext);
  }
  return rc;
}

int module_exec(PyObject* m) {
  // The classes and the worker pool are process-wide, so the module lives in
  // one interpreter only.
  const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter != -1 && g_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError,
                    "aerlox._aerlox cannot be imported in more than one interpreter per process");
    return -1;
  }
  if (g_first_module != nullptr) return copy_from_first(m);

  PyObject* ok = kit::guard([&] {
    // Registry order: functions, classes, then the trim functions.
    reg::cyclic_coeffs(m);
    reg::omega_derivative(m);
    reg::step_omega(m);
    reg::LinearPolar(m);
    reg::TabulatedPolar(m);
    reg::BladeGeometry(m);
    reg::LinearPolarParameters(m);
    reg::ControlProperties(m);
    reg::ServoFlapGeometry(m);
    reg::ServoFlapActuation(m);
    reg::FlapProperties(m);
    reg::RotorDefinition(m);
    reg::QuasiStaticRotorState(m);
    reg::PittPetersRotorState(m);
    reg::OyeRotorState(m);
    reg::VpmRotorState(m);
    reg::RotorInputs(m);
    reg::AeroResult(m);
    reg::_QuasiStaticBEMLinear(m);
    reg::_QuasiStaticBEMTabulated(m);
    reg::_PittPetersModelLinear(m);
    reg::_PittPetersModelTabulated(m);
    reg::_OyeBEMModelLinear(m);
    reg::_OyeBEMModelTabulated(m);
    reg::_VpmRotorLinear(m);
    reg::_VpmRotorTabulated(m);
    reg::TrimResult(m);
    reg::solve_trim_cyclic_py(m);
    reg::relax_inflow_py(m);
    // Not part of the registry (nor of __all__): after it, so the registry
    // leads the namespace.
    if (!kit::add_panic_exception(m)) throw kit::PyErrSet{};
    reg::extensions(m);
    return Py_NewRef(Py_None);
  });
  if (ok == nullptr) return -1;
  Py_DECREF(ok);
  // A pending signal (Ctrl-C) stops a long call with the handler's exception set.
  kit::note_signal_thread();
  aerlox_rs::set_cancel_check(kit::signal_pending);
  g_interpreter = interp;
  g_first_module = Py_NewRef(m);
  return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_aerlox",
                          "aerlox native core: rotor models, records and solvers.", 0,
                          nullptr, module_slots, nullptr, nullptr, nullptr};

}  // namespace

namespace reg {
void cyclic_coeffs(PyObject* m) { kit::add_function(m, &cyclic_def); }
void omega_derivative(PyObject* m) { kit::add_function(m, &deriv_def); }
void step_omega(PyObject* m) { kit::add_function(m, &step_def); }
}  // namespace reg

extern "C" PyMODINIT_FUNC PyInit__aerlox() { return PyModuleDef_Init(&module_def); }
