// The blade-element model classes: _QuasiStaticBEM*, _PittPetersModel*,
// _OyeBEMModel* over both polar kinds. One template serves all six; each
// Python object owns its model on the heap.
#include <memory>

#include "aero_model.hpp"
#include "kit/gil.hpp"
#include "kit/kit.hpp"
#include "models_py.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"
#include "registry.hpp"

using namespace aerlox_rs;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

template <class M>
using Holder = std::unique_ptr<M>;

template <class M>
const M& model(PyObject* self) {
  return *kit::unbox<Holder<M>>(self);
}

/// "<ClassName>.<method>()" for argument errors, built once per class.
template <class M>
const char* display(const char* method) {
  // One string per (class, method) pair; the set of methods is small and fixed.
  static std::vector<std::unique_ptr<std::string>> names;
  const std::string want = std::string(kit::PyClass<Holder<M>>::name) + "." + method + "()";
  for (const auto& n : names)
    if (*n == want) return n->c_str();
  names.push_back(std::make_unique<std::string>(want));
  return names.back()->c_str();
}

// ---- constructor: (defn, polar, n_psi_elements[, coupling_k])

constexpr const char* NEW_NAMES[] = {"defn", "polar", "n_psi_elements", "coupling_k"};

template <class M>
PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using P = typename ModelTraits<M>::Polar;
  constexpr std::size_t n = ModelTraits<M>::has_coupling_k ? 4 : 3;
  static const std::string name = std::string(kit::PyClass<Holder<M>>::name) + ".__new__()";
  static const kit::Signature sig{name.c_str(), std::span(NEW_NAMES, n), n, n};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, kwargs);
    const RotorDefinition& defn = kit::extract<RotorDefinition>(a[0], "defn");
    P polar = kit::extract<P>(a[1], "polar");
    const std::size_t n_psi = kit::extract<std::size_t>(a[2], "n_psi_elements");
    if constexpr (ModelTraits<M>::has_coupling_k) {
      const double k = kit::extract<double>(a[3], "coupling_k");
      return kit::wrap_as(type, std::make_unique<M>(M::build_with_k(defn, std::move(polar), n_psi, k)));
    } else {
      return kit::wrap_as(type, std::make_unique<M>(M::build(defn, std::move(polar), n_psi)));
    }
  });
}

// ---- the blade-section models: (defn, polar, n_psi_elements[, coupling_k], *, <option>)
// Each takes a SectionPolar and the one opt-in refinement that applies to it.

template <class M>
struct SectionModel;
template <>
struct SectionModel<QuasiStaticBEM<SectionPolar>> {
  static constexpr const char* names[] = {"defn", "polar", "n_psi_elements", "consistent_swirl"};
  static void set(BemOptions& o, bool v) { o.consistent_swirl = v; }
};
template <>
struct SectionModel<PittPetersModel<SectionPolar>> {
  static constexpr const char* names[] = {"defn", "polar", "n_psi_elements", "tip_loss"};
  static void set(BemOptions& o, bool v) { o.pitt_peters_tip_loss = v; }
};
template <>
struct SectionModel<OyeBEMModel<SectionPolar>> {
  static constexpr const char* names[] = {"defn", "polar", "n_psi_elements", "coupling_k"};
};

template <class M>
PyObject* section_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const std::string name = std::string(kit::PyClass<Holder<M>>::name) + ".__new__()";
  constexpr bool oye = ModelTraits<M>::has_coupling_k;
  static const kit::Signature sig{name.c_str(), SectionModel<M>::names, oye ? 4u : 3u, oye ? 4u : 3u};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, kwargs);
    const RotorDefinition& defn = kit::extract<RotorDefinition>(a[0], "defn");
    SectionPolar polar = kit::extract<SectionPolar>(a[1], "polar");
    const std::size_t n_psi = kit::extract<std::size_t>(a[2], "n_psi_elements");
    BemOptions options;
    if constexpr (oye) {
      const double k = kit::extract<double>(a[3], "coupling_k");
      return kit::wrap_as(type, std::make_unique<M>(M::build_with_k(defn, std::move(polar), n_psi, k, options)));
    } else {
      SectionModel<M>::set(options, kit::extract_or<bool>(a[3], SectionModel<M>::names[3], false));
      return kit::wrap_as(type, std::make_unique<M>(M::build(defn, std::move(polar), n_psi, options)));
    }
  });
}

// ---- methods

constexpr const char* EVAL_NAMES[] = {"inputs", "state"};
constexpr const char* STEP_NAMES[] = {"inputs", "state", "dt", "integration_method"};

template <class M>
PyObject* inflow_taus(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  using S = typename ModelTraits<M>::State;
  static const kit::Signature sig{display<M>("inflow_taus"), EVAL_NAMES, 2, 2};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const RotorInputs& in = kit::extract<RotorInputs>(a[0], "inputs");
    const S st = kit::extract<S>(a[1], "state");
    const M& m = model<M>(self);
    return kit::new_array(kit::without_gil([&] { return m.inflow_taus(in, st); }));
  });
}

template <class M>
PyObject* compute_forces(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  using S = typename ModelTraits<M>::State;
  static const kit::Signature sig{display<M>("compute_forces"), EVAL_NAMES, 2, 2};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const RotorInputs& in = kit::extract<RotorInputs>(a[0], "inputs");
    const S st = kit::extract<S>(a[1], "state");
    const M& m = model<M>(self);
    auto [result, deriv] = kit::without_gil([&] { return m.compute_forces(in, st); });
    return kit::result_pair(result, std::move(deriv));
  });
}

template <class M>
PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  using S = typename ModelTraits<M>::State;
  static const kit::Signature sig{display<M>("step"), STEP_NAMES, 3, 4};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const RotorInputs& in = kit::extract<RotorInputs>(a[0], "inputs");
    const S st = kit::extract<S>(a[1], "state");
    const double dt = kit::extract<double>(a[2], "dt");
    const IntegrationMethod method = kit::integration_method_arg(a[3]);
    const M& m = model<M>(self);
    auto [result, next] = kit::without_gil([&] { return m.step(in, st, dt, method); });
    return kit::result_pair(result, std::move(next));
  });
}

template <class M>
PyObject* initial_rotor_state(PyObject* self, PyObject*) {
  return kit::guard([&] { return kit::wrap(model<M>(self).initial_state()); });
}

template <class M>
PyObject* get_defn(PyObject* self, void*) {
  return kit::guard([&] { return kit::wrap(model<M>(self).defn()); });
}

template <class M>
PyObject* get_n_psi(PyObject* self, void*) {
  return kit::guard([&] { return kit::to_py(static_cast<std::size_t>(model<M>(self).n_psi_elements())); });
}

template <class M>
PyObject* get_coupling_k(PyObject* self, void*) {
  return kit::guard([&] { return kit::to_py(model<M>(self).coupling_k()); });
}

template <class M>
constexpr getter coupling_k_getter() {
  if constexpr (ModelTraits<M>::has_coupling_k) return get_coupling_k<M>;
  else return nullptr;
}

template <class M>
struct Tables {
  static inline PyMethodDef methods[] = {
      {"inflow_taus", kit::fastcall(inflow_taus<M>), FAST,
       "inflow_taus($self, inputs, state)\n--\n\n"
       "Time constants (s) of the inflow states at this operating point, one per\n"
       "entry of the state's inflow vector (inf where none is finite)."},
      {"compute_forces", kit::fastcall(compute_forces<M>), FAST,
       "compute_forces($self, inputs, state)\n--\n\n"
       "Loads at this operating point and state: (AeroResult, derivative), the\n"
       "derivative being a state object holding d/dt of the inflow states."},
      {"step", kit::fastcall(step<M>), FAST,
       "step($self, inputs, state, dt, integration_method=None)\n--\n\n"
       "Advance the inflow state by dt (s): returns (AeroResult, new state). The loads\n"
       "are those of the given state. integration_method: 'semi_implicit' (default),\n"
       "'explicit' or 'exponential'. The given state is not modified."},
      {"initial_rotor_state", initial_rotor_state<M>, METH_NOARGS,
       "initial_rotor_state($self)\n--\n\nThe model's zero state."},
      {nullptr, nullptr, 0, nullptr}};
  static inline PyGetSetDef getset[] = {
      {"defn", get_defn<M>, nullptr, "A copy of the model's rotor definition.", nullptr},
      {"n_psi_elements", get_n_psi<M>, nullptr, "Number of azimuth stations.", nullptr},
      // Only the Oye models have it; elsewhere this entry ends the table.
      {ModelTraits<M>::has_coupling_k ? "coupling_k" : nullptr, coupling_k_getter<M>(), nullptr,
       "The coupling constant given at construction (stored, not used by the equations).", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
};

template <class M>
constexpr newfunc constructor_of() {
  if constexpr (std::is_same_v<typename ModelTraits<M>::Polar, SectionPolar>) return section_model_new<M>;
  else return model_new<M>;
}

template <class M>
void add_model(PyObject* m, const char* name, const char* doc) {
  kit::add_class_for<Holder<M>>(m, {.name = name,
                                    .doc = doc,
                                    .subclassable = true,
                                    .basicsize = 0,
                                    .dealloc = nullptr,
                                    .tp_new = constructor_of<M>(),
                                    .getset = Tables<M>::getset,
                                    .methods = Tables<M>::methods});
}

constexpr const char* BEM3 = "(defn, polar, n_psi_elements)\n--\n\n";
constexpr const char* BEM4 = "(defn, polar, n_psi_elements, coupling_k)\n--\n\n";

std::string doc_for(const char* name, const char* args) { return std::string(name) + args; }

}  // namespace

namespace reg {

#define AERLOX_MODEL(REGNAME, TYPE, ARGS)                             \
  void REGNAME(PyObject* m) {                                         \
    static const std::string doc = doc_for(#REGNAME, ARGS);           \
    add_model<TYPE>(m, #REGNAME, doc.c_str());                        \
  }

AERLOX_MODEL(_QuasiStaticBEMLinear, QuasiStaticBEM<aerlox_rs::LinearPolar>, BEM3)
AERLOX_MODEL(_QuasiStaticBEMTabulated, QuasiStaticBEM<aerlox_rs::TabulatedPolar>, BEM3)
AERLOX_MODEL(_PittPetersModelLinear, PittPetersModel<aerlox_rs::LinearPolar>, BEM3)
AERLOX_MODEL(_PittPetersModelTabulated, PittPetersModel<aerlox_rs::TabulatedPolar>, BEM3)
AERLOX_MODEL(_OyeBEMModelLinear, OyeBEMModel<aerlox_rs::LinearPolar>, BEM4)
AERLOX_MODEL(_OyeBEMModelTabulated, OyeBEMModel<aerlox_rs::TabulatedPolar>, BEM4)

#undef AERLOX_MODEL

void section_models(PyObject* ext) {
  add_model<QuasiStaticBEM<SectionPolar>>(
      ext, "QuasiStaticBEMSections",
      "QuasiStaticBEMSections(defn, polar, n_psi_elements, consistent_swirl=False)\n--\n\n"
      "The quasi-static BEM model over a SectionPolar (an airfoil per station, Reynolds\n"
      "and Mach number per element). consistent_swirl: the element's momentum balance\n"
      "takes the same tangential speed (1 - a') Omega r + v_t as its loads.");
  add_model<PittPetersModel<SectionPolar>>(
      ext, "PittPetersModelSections",
      "PittPetersModelSections(defn, polar, n_psi_elements, tip_loss=False)\n--\n\n"
      "The Pitt-Peters model over a SectionPolar. tip_loss: Johnson's effective radius\n"
      "B = 1 - sqrt(2 CT) / n_blades; no lift beyond B R, and the uniform inflow from\n"
      "momentum over the disk of radius B R.");
  add_model<OyeBEMModel<SectionPolar>>(
      ext, "OyeBEMModelSections",
      "OyeBEMModelSections(defn, polar, n_psi_elements, coupling_k)\n--\n\n"
      "The Oye dynamic-inflow BEM model over a SectionPolar.");
}

}  // namespace reg
