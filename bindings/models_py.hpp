#pragma once
// What the binding needs to know about each blade-element model type: its
// polar, its state, and whether it takes the Oye coupling constant.
#include <memory>

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

/// Parses the optional integration_method argument (None or absent: semi-implicit).
inline aerlox_rs::IntegrationMethod integration_method_arg(PyObject* o) {
  if (o == nullptr || o == Py_None) return aerlox_rs::parse_integration_method(std::nullopt);
  const std::string name = extract<std::string>(o, "integration_method");
  return aerlox_rs::parse_integration_method(name);
}

}  // namespace kit
