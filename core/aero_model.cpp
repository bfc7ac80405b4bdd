#include "aero_model.hpp"

#include <string>


namespace aerlox_rs {

IntegrationMethod parse_integration_method(std::optional<std::string_view> name) {
  if (!name) return IntegrationMethod::SemiImplicitEuler;
  // Only A-Z are folded; anything else is compared as given.
  std::string s(*name);
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  if (s == "explicit" || s == "explicit_euler" || s == "explicit-euler")
    return IntegrationMethod::ExplicitEuler;
  if (s == "implicit" || s == "semiimplicit" || s == "semi_implicit" || s == "semi-implicit")
    return IntegrationMethod::SemiImplicitEuler;
  if (s == "exp" || s == "exponential" || s == "exponential_relaxation" ||
      s == "exponential-relaxation")
    return IntegrationMethod::ExponentialRelaxation;
  throw ValueError("Unknown integration_method '" + s +
                   "'. Use 'semi_implicit', 'explicit', or 'exponential'.");
}

QuasiStaticRotorState QuasiStaticRotorState::from_array(std::span<const double> arr) {
  if (!arr.empty())
    throw ValueError("QuasiStaticRotorState expects 0 states, got " + std::to_string(arr.size()));
  return {};
}

}  // namespace aerlox_rs
