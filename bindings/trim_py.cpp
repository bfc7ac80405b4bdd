// The trim functions (solve_trim_cyclic_py, relax_inflow_py) and TrimResult.
// Both functions accept any of the six blade-element model classes (and the
// extension namespace's three blade-section models); the dispatch over them
// is written once, in kit::with_model() (models_py.hpp).
#include <tuple>
#include <variant>

#include "kit/gil.hpp"
#include "kit/kit.hpp"
#include "models_py.hpp"
#include "registry.hpp"
#include "trim.hpp"

using namespace aerlox_rs;

namespace {

/// The model state after trimming, by the model's kind.
using FinalState = std::variant<QuasiStaticRotorState, PittPetersRotorState, OyeRotorState>;

/// What TrimResult holds: the core outcome with the state of whichever kind.
using TrimResultRecord = TrimOutcome<FinalState>;

// ---- solve_trim_cyclic_py

constexpr const char* TRIM_NAMES[] = {"aero",          "state",          "base_inputs",   "target_moment",
                                      "tilt_lon_init", "tilt_lat_init",  "tilt_min",      "tilt_max",
                                      "tolerance_Nm",  "max_iterations", "probe_rad",     "dt_relax",
                                      "n_inflow_relax", "n_settle"};
constexpr kit::Signature TRIM_SIG{"solve_trim_cyclic_py()", TRIM_NAMES, 3, 3};

std::pair<double, double> target_arg(PyObject* o) {
  if (o == nullptr) return {0.0, 0.0};
  return kit::for_argument("target_moment", [&]() -> std::pair<double, double> {
    if (!PyTuple_Check(o)) kit::raise_cannot_convert(o, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (n != 2)
      kit::raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(n));
    return {kit::as_double(PyTuple_GET_ITEM(o, 0)), kit::as_double(PyTuple_GET_ITEM(o, 1))};
  });
}

PyObject* py_solve_trim(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(TRIM_SIG, args, nargs, kw);
    const RotorInputs base = kit::extract<RotorInputs>(a[2], "base_inputs");
    TrimOptions opt;
    std::tie(opt.target_mx, opt.target_my) = target_arg(a[3]);
    opt.tilt_lon_init = kit::extract_or<double>(a[4], "tilt_lon_init", opt.tilt_lon_init);
    opt.tilt_lat_init = kit::extract_or<double>(a[5], "tilt_lat_init", opt.tilt_lat_init);
    opt.tilt_min = kit::extract_or<double>(a[6], "tilt_min", opt.tilt_min);
    opt.tilt_max = kit::extract_or<double>(a[7], "tilt_max", opt.tilt_max);
    opt.tolerance_Nm = kit::extract_or<double>(a[8], "tolerance_Nm", opt.tolerance_Nm);
    opt.max_iterations = kit::extract_or<std::size_t>(a[9], "max_iterations", opt.max_iterations);
    opt.probe_rad = kit::extract_or<double>(a[10], "probe_rad", opt.probe_rad);
    opt.dt_relax = kit::extract_or<double>(a[11], "dt_relax", opt.dt_relax);
    opt.n_inflow_relax = kit::extract_or<std::size_t>(a[12], "n_inflow_relax", opt.n_inflow_relax);
    opt.n_settle = kit::extract_or<std::size_t>(a[13], "n_settle", opt.n_settle);
    return kit::with_model(a[0], a[1], [&](const auto& model, const auto& state) {
      auto o = kit::without_gil([&] { return solve_trim_cyclic(model, state, base, opt); });
      TrimResultRecord r{o.tilt_lon,   o.tilt_lat,  o.Mx_residual, o.My_residual,
                         o.iterations, o.converged, FinalState(std::move(o.final_state))};
      return kit::wrap(std::move(r));
    });
  });
}

// ---- relax_inflow_py

constexpr const char* RELAX_NAMES[] = {"aero", "state", "inputs", "n_steps", "dt"};
constexpr kit::Signature RELAX_SIG{"relax_inflow_py()", RELAX_NAMES, 3, 5};

PyObject* py_relax(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(RELAX_SIG, args, nargs, kw);
    const RotorInputs in = kit::extract<RotorInputs>(a[2], "inputs");
    const std::size_t n_steps = kit::extract_or<std::size_t>(a[3], "n_steps", 200);
    const double dt = kit::extract_or<double>(a[4], "dt", 0.005);
    return kit::with_model(a[0], a[1], [&](const auto& model, const auto& state) {
      return kit::wrap(kit::without_gil([&] { return relax_inflow(model, state, in, n_steps, dt); }));
    });
  });
}

// ---- TrimResult

using TR = TrimResultRecord;

PyObject* get_final_state(PyObject* self, void*) {
  return kit::guard([&] {
    return std::visit([](const auto& s) { return kit::wrap(s); }, kit::unbox<TR>(self).final_state);
  });
}

PyGetSetDef trim_getset[] = {
    {"tilt_lon", kit::get_field<TR, &TR::tilt_lon>, nullptr, "Trimmed longitudinal tilt, rad.", nullptr},
    {"tilt_lat", kit::get_field<TR, &TR::tilt_lat>, nullptr, "Trimmed lateral tilt, rad.", nullptr},
    {"Mx_residual", kit::get_field<TR, &TR::Mx_residual>, nullptr,
     "Hub-frame x moment minus its target at the final tilt, N m.", nullptr},
    {"My_residual", kit::get_field<TR, &TR::My_residual>, nullptr,
     "Hub-frame y moment minus its target at the final tilt, N m.", nullptr},
    {"iterations", kit::get_field<TR, &TR::iterations>, nullptr, "Loop passes entered.", nullptr},
    {"converged", kit::get_field<TR, &TR::converged>, nullptr, "Both residuals below the tolerance.", nullptr},
    {"final_state", get_final_state, nullptr, "The model state at the end, relaxed at the final tilt.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef trim_def = {
    "solve_trim_cyclic_py", kit::fastcall(py_solve_trim), METH_FASTCALL | METH_KEYWORDS,
    "solve_trim_cyclic_py(aero, state, base_inputs, *, target_moment=..., tilt_lon_init=0.0, "
    "tilt_lat_init=0.0, tilt_min=..., tilt_max=0.2617993877991494, tolerance_Nm=0.02, "
    "max_iterations=50, probe_rad=0.008726646259971648, dt_relax=0.005, n_inflow_relax=100, "
    "n_settle=0)\n--\n\n"
    "Find the longitudinal and lateral swashplate tilt (rad) that bring the hub-frame\n"
    "moment (Mx, My) to target_moment (N m, default (0.0, 0.0)), by a damped, decoupled\n"
    "Newton iteration with finite-difference probes, relaxing the inflow state after\n"
    "every update. Tilts stay within [tilt_min, tilt_max] (default +-15 deg). Returns a\n"
    "TrimResult; the given state is not modified."};

PyMethodDef relax_def = {
    "relax_inflow_py", kit::fastcall(py_relax), METH_FASTCALL | METH_KEYWORDS,
    "relax_inflow_py(aero, state, inputs, n_steps=200, dt=0.005)\n--\n\n"
    "March the model's inflow state n_steps semi-implicit steps of dt (s) at fixed\n"
    "inputs and return the relaxed state (a new object)."};

}  // namespace

namespace reg {

void TrimResult(PyObject* m) {
  kit::add_class_for<TrimResultRecord>(m, {.name = "TrimResult",
                                           .doc = "",
                                           .subclassable = false,
                                           .basicsize = 0,
                                           .dealloc = nullptr,
                                           .tp_new = nullptr,
                                           .getset = trim_getset});
}

void solve_trim_cyclic_py(PyObject* m) { kit::add_function(m, &trim_def); }
void relax_inflow_py(PyObject* m) { kit::add_function(m, &relax_def); }

}  // namespace reg
