#pragma once
// How a blade-element model reads its polar at one element.
//
// The models ask for the polar of element i (element_polar) and then for
// (cl, cd) at an angle of attack and the element's axial and tangential speed.
// The plain polars ignore the element and the speeds, so their models compile
// to the same arithmetic as a direct cl_cd call. A polar kind that depends on
// the element (an airfoil per station, Reynolds and Mach number per element)
// provides its own element_polar and bind_polar_to_grid overloads, found by
// argument-dependent lookup.
#include <cstddef>
#include <utility>

namespace aerlox_rs {

struct RadialGrid;

/// The element's view of a plain polar: the polar itself.
template <class P>
struct PlainElementPolar {
  const P* polar;

  std::pair<double, double> cl_cd(double alpha, double /*u_p*/, double /*u_t*/) const {
    return polar->cl_cd(alpha);
  }
};

/// Element i's polar at air density rho (kg/m^3).
template <class P>
inline PlainElementPolar<P> element_polar(const P& polar, std::size_t /*i*/, double /*rho*/) {
  return {&polar};
}

/// Called once when a model is built, with the model's radial grid: a polar
/// that varies along the blade precomputes its per-element data here.
template <class P>
inline void bind_polar_to_grid(P& /*polar*/, const RadialGrid& /*grid*/) {}

}  // namespace aerlox_rs
