// The free-wake vortex-particle rotor: _VpmRotorLinear, _VpmRotorTabulated
// and VpmRotorState.
#include <memory>

#include "aero_model.hpp"
#include "kit/kit.hpp"
#include "models_py.hpp"
#include "registry.hpp"
#include "vpm/rotor.hpp"

using namespace aerlox_rs;
using aerlox_rs::vpm::VpmRotor;
using aerlox_rs::vpm::VpmRotorConfig;
using aerlox_rs::vpm::VpmRotorState;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

// ---- VpmRotorState

constexpr kit::Signature STATE_SIG{"VpmRotorState.__new__()", {}, 0, 0};

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    kit::bind(STATE_SIG, args, kwargs);
    return kit::wrap_as(type, VpmRotorState{});
  });
}

constexpr const char* ZEROS_NAMES[] = {"n_elements"};
constexpr kit::Signature ZEROS_SIG{"VpmRotorState.zeros()", ZEROS_NAMES, 0, 1};

PyObject* state_zeros(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(ZEROS_SIG, args, nargs, kw);
    // Checked for a valid count, otherwise unused: the wake has no fixed size.
    (void)kit::extract_or<std::size_t>(a[0], "n_elements", 0);
    return kit::wrap(VpmRotorState{});
  });
}

PyObject* state_to_array(PyObject*, PyObject*) {
  return kit::guard([&] { return kit::new_array(std::span<const double>{}); });
}

constexpr const char* ARR_NAMES[] = {"arr"};
constexpr kit::Signature FROM_SIG{"VpmRotorState.from_array()", ARR_NAMES, 1, 1};

PyObject* state_from_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(FROM_SIG, args, nargs, kw);
    const kit::ArrayRef arr = kit::extract_array<1>(a[0], "arr");
    if (arr.size() != 0)
      throw ValueError("VpmRotorState.from_array expects an empty array (no scalar inflow DOFs)");
    return kit::wrap(kit::unbox<VpmRotorState>(self));  // a full copy, wake included
  });
}

PyObject* state_n_particles(PyObject* self, void*) {
  return kit::guard([&] { return kit::to_py(kit::unbox<VpmRotorState>(self).n_particles()); });
}

PyGetSetDef state_getset[] = {
    {"n_particles", state_n_particles, nullptr, "Number of wake particles currently carried (diagnostic).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef state_methods[] = {
    {"zeros", kit::fastcall(state_zeros), FAST | METH_STATIC,
     "zeros(n_elements=0)\n--\n\nThe empty state (the element count is accepted and ignored)."},
    {"to_array", state_to_array, METH_NOARGS,
     "to_array($self)\n--\n\n"
     "Inflow serialization. VPM carries no scalar inflow DOFs (the free wake\n"
     "lives on this object), so the inflow vector is always empty."},
    {"from_array", kit::fastcall(state_from_array), FAST,
     "from_array($self, arr)\n--\n\n"
     "Round-trip the inflow vector (which must be empty for VPM). The wake is\n"
     "preserved -- pass the state object itself back into `step` to continue\n"
     "the wake; array serialization only ever covers scalar inflow DOFs."},
    {nullptr, nullptr, 0, nullptr}};

// ---- the rotors

template <class P>
using Holder = std::unique_ptr<VpmRotor<P>>;

constexpr const char* NEW_NAMES[] = {
    "defn",          "polar",           "max_particles",       "sigma",          "relax",
    "nonlinear_lifting_line", "tip_clustering", "local_core",  "barnes_hut",     "bh_theta",
    "bh_min_particles", "merge_wake",   "merge_every",         "merge_min_particles", "merge_kappa",
    "merge_chi_min", "merge_region_dist", "core_spread_nu",    "strength_decay_tau_rev"};

template <class P>
const char* rotor_name() {
  return kit::PyClass<Holder<P>>::name;
}

template <class P>
PyObject* rotor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const std::string display = std::string(rotor_name<P>()) + ".__new__()";
  static const kit::Signature sig{display.c_str(), NEW_NAMES, 2, 19};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, kwargs);
    const RotorDefinition& defn = kit::as_ref_arg<RotorDefinition>(a[0], "defn");
    P polar = kit::extract<P>(a[1], "polar");
    VpmRotorConfig c;
    c.max_particles = kit::extract_or<std::size_t>(a[2], "max_particles", c.max_particles);
    c.sigma = kit::extract_or<float>(a[3], "sigma", c.sigma);
    c.relax = kit::extract_or<double>(a[4], "relax", c.relax);
    c.nonlinear_lifting_line = kit::extract_or<bool>(a[5], "nonlinear_lifting_line", c.nonlinear_lifting_line);
    c.tip_clustering = kit::extract_or<bool>(a[6], "tip_clustering", c.tip_clustering);
    c.local_core = kit::extract_or<bool>(a[7], "local_core", c.local_core);
    c.barnes_hut = kit::extract_or<bool>(a[8], "barnes_hut", c.barnes_hut);
    c.bh_theta = kit::extract_or<float>(a[9], "bh_theta", c.bh_theta);
    c.bh_min_particles = kit::extract_or<std::size_t>(a[10], "bh_min_particles", c.bh_min_particles);
    c.merge_wake = kit::extract_or<bool>(a[11], "merge_wake", c.merge_wake);
    c.merge_every = kit::extract_or<std::size_t>(a[12], "merge_every", c.merge_every);
    c.merge_min_particles = kit::extract_or<std::size_t>(a[13], "merge_min_particles", c.merge_min_particles);
    c.merge_kappa = kit::extract_or<float>(a[14], "merge_kappa", c.merge_kappa);
    c.merge_chi_min = kit::extract_or<float>(a[15], "merge_chi_min", c.merge_chi_min);
    c.merge_region_dist = kit::extract_or<float>(a[16], "merge_region_dist", c.merge_region_dist);
    c.core_spread_nu = kit::extract_or<double>(a[17], "core_spread_nu", c.core_spread_nu);
    c.strength_decay_tau_rev = kit::extract_or<double>(a[18], "strength_decay_tau_rev", c.strength_decay_tau_rev);
    return kit::wrap_as(type, std::make_unique<VpmRotor<P>>(
                                  VpmRotor<P>::create(defn, std::move(polar), defn.control_gains(), c)));
  });
}

constexpr const char* STEP_NAMES[] = {"inputs", "state", "dt", "integration_method"};

template <class P>
PyObject* rotor_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const std::string display = std::string(rotor_name<P>()) + ".step()";
  static const kit::Signature sig{display.c_str(), STEP_NAMES, 3, 4};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const RotorInputs& in = kit::as_ref_arg<RotorInputs>(a[0], "inputs");
    const VpmRotorState& st = kit::as_ref_arg<VpmRotorState>(a[1], "state");
    const double dt = kit::extract<double>(a[2], "dt");
    (void)kit::integration_method_arg(a[3]);  // validated; the wake has its own time march
    auto [result, next] = kit::unbox<Holder<P>>(self)->step(in, st, dt);
    return kit::result_pair(result, std::move(next));
  });
}

constexpr const char* CF_NAMES[] = {"_inputs", "_state"};

template <class P>
PyObject* rotor_compute_forces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const std::string display = std::string(rotor_name<P>()) + ".compute_forces()";
  static const kit::Signature sig{display.c_str(), CF_NAMES, 2, 2};
  return kit::guard([&]() -> PyObject* {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    (void)kit::as_ref_arg<RotorInputs>(a[0], "_inputs");
    (void)kit::as_ref_arg<VpmRotorState>(a[1], "_state");
    kit::raise(PyExc_RuntimeError,
               "VpmRotor has no single-shot compute_forces: a free-wake VPM rotor must be advanced in "
               "time. Call step(inputs, state, dt) repeatedly (the caller owns the settling loop).");
  });
}

PyObject* rotor_initial_state(PyObject*, PyObject*) {
  return kit::guard([&] { return kit::wrap(VpmRotorState{}); });
}

template <class P>
struct RotorTables {
  static inline PyMethodDef methods[] = {
      {"step", kit::fastcall(rotor_step<P>), FAST,
       "step($self, inputs, state, dt, integration_method=None)\n--\n\n"
       "Advance blades and wake by dt (s): returns (AeroResult, new VpmRotorState).\n"
       "The loads are those at the start of the step; the given state is not modified.\n"
       "integration_method is validated and otherwise ignored."},
      {"compute_forces", kit::fastcall(rotor_compute_forces<P>), FAST,
       "compute_forces($self, _inputs, _state)\n--\n\n"
       "Always raises RuntimeError: the free-wake rotor exists only as a time march."},
      {"initial_rotor_state", rotor_initial_state, METH_NOARGS,
       "initial_rotor_state($self)\n--\n\nThe empty state: no wake, zero circulation, psi = 0."},
      {nullptr, nullptr, 0, nullptr}};
};

constexpr const char* ROTOR_ARGS =
    "(defn, polar, max_particles=4800, sigma=0.18, relax=0.35, nonlinear_lifting_line=True, "
    "tip_clustering=True, local_core=True, barnes_hut=False, bh_theta=0.5, bh_min_particles=2048, "
    "merge_wake=False, merge_every=0, merge_min_particles=0, merge_kappa=0.7, merge_chi_min=0.9, "
    "merge_region_dist=0.0, core_spread_nu=0.0, strength_decay_tau_rev=0.0)\n--\n\n";

template <class P>
void add_rotor(PyObject* m, const char* name) {
  static const std::string doc = std::string(name) + ROTOR_ARGS;
  kit::add_class_for<Holder<P>>(m, {.name = name,
                                    .doc = doc.c_str(),
                                    .subclassable = true,
                                    .basicsize = 0,
                                    .dealloc = nullptr,
                                    .tp_new = rotor_new<P>,
                                    .methods = RotorTables<P>::methods});
}

}  // namespace

namespace reg {

void VpmRotorState(PyObject* m) {
  kit::add_class_for<aerlox_rs::vpm::VpmRotorState>(m, {.name = "VpmRotorState",
                                                        .doc = "VpmRotorState()\n--\n\n",
                                                        .subclassable = false,
                                                        .basicsize = 0,
                                                        .dealloc = nullptr,
                                                        .tp_new = state_new,
                                                        .getset = state_getset,
                                                        .methods = state_methods});
}

void _VpmRotorLinear(PyObject* m) { add_rotor<aerlox_rs::LinearPolar>(m, "_VpmRotorLinear"); }
void _VpmRotorTabulated(PyObject* m) { add_rotor<aerlox_rs::TabulatedPolar>(m, "_VpmRotorTabulated"); }

}  // namespace reg
