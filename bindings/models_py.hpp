#pragma once
// What the binding needs to know about each blade-element model type: its
// polar, its state, and whether it takes the Oye coupling constant.
#include <memory>
#include <type_traits>

#include "aero_model.hpp"
#include "kit/kit.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "quasi_static_bem.hpp"

template <class M>
struct ModelTraits;

template <class P>
struct ModelTraits<aerlox_rs::QuasiStaticBEM<P>> {
  using Polar = P;
  using State = aerlox_rs::QuasiStaticRotorState;
  static constexpr bool has_coupling_k = false;
};

template <class P>
struct ModelTraits<aerlox_rs::PittPetersModel<P>> {
  using Polar = P;
  using State = aerlox_rs::PittPetersRotorState;
  static constexpr bool has_coupling_k = false;
};

template <class P>
struct ModelTraits<aerlox_rs::OyeBEMModel<P>> {
  using Polar = P;
  using State = aerlox_rs::OyeRotorState;
  static constexpr bool has_coupling_k = true;
};

namespace kit {

/// Borrowed reference to the value held by argument `name` (no copy).
template <class T>
const T& as_ref_arg(PyObject* o, const char* name) {
  return for_argument(name, [&]() -> const T& { return as_ref<T>(o); });
}

/// The (AeroResult, state) tuple every model method returns.
template <class S>
PyObject* result_pair(const aerlox_rs::AeroResult& r, S state) {
  PyObject* first = wrap(r);
  PyObject* second;
  try {
    second = wrap(std::move(state));
  } catch (...) {
    Py_DECREF(first);
    throw;
  }
  return tuple({first, second});
}

/// Calls f(model_copy, state_copy) for whichever of the six model classes (or
/// the three blade-section models) `aero` is an instance of (in this order), with `state` converted to that
/// model's state class. Both are copies, so f may run without the interpreter
/// lock. The state's conversion error carries no argument name.
template <class F>
PyObject* with_model(PyObject* aero, PyObject* state, F&& f) {
  PyObject* out = nullptr;
  bool matched = false;
  auto try_one = [&]<class M>(std::type_identity<M>) {
    if (matched || !kit::is_instance<std::unique_ptr<M>>(aero)) return;
    matched = true;
    const M model_copy = *kit::unbox<std::unique_ptr<M>>(aero);
    const auto st = kit::as_ref<typename ModelTraits<M>::State>(state);
    out = f(model_copy, st);
  };
  try_one(std::type_identity<aerlox_rs::QuasiStaticBEM<aerlox_rs::LinearPolar>>{});
  try_one(std::type_identity<aerlox_rs::QuasiStaticBEM<aerlox_rs::TabulatedPolar>>{});
  try_one(std::type_identity<aerlox_rs::PittPetersModel<aerlox_rs::LinearPolar>>{});
  try_one(std::type_identity<aerlox_rs::PittPetersModel<aerlox_rs::TabulatedPolar>>{});
  try_one(std::type_identity<aerlox_rs::OyeBEMModel<aerlox_rs::LinearPolar>>{});
  try_one(std::type_identity<aerlox_rs::OyeBEMModel<aerlox_rs::TabulatedPolar>>{});
  // The blade-section models of the extension namespace.
  try_one(std::type_identity<aerlox_rs::QuasiStaticBEM<aerlox_rs::SectionPolar>>{});
  try_one(std::type_identity<aerlox_rs::PittPetersModel<aerlox_rs::SectionPolar>>{});
  try_one(std::type_identity<aerlox_rs::OyeBEMModel<aerlox_rs::SectionPolar>>{});
  if (!matched) throw aerlox_rs::ValueError("aero must be a QuasiStaticBEM, PittPetersModel, or OyeBEMModel instance");
  return out;
}

/// Parses the optional integration_method argument (None or absent: semi-implicit).
inline aerlox_rs::IntegrationMethod integration_method_arg(PyObject* o) {
  if (o == nullptr || o == Py_None) return aerlox_rs::parse_integration_method(std::nullopt);
  const std::string name = extract<std::string>(o, "integration_method");
  return aerlox_rs::parse_integration_method(name);
}

}  // namespace kit
