#pragma once
// Real blades: an airfoil per blade station, each element's coefficients
// looked up at its own Reynolds and Mach number on every evaluation.
//
// A SectionPolar holds the blade's airfoils (each one or more polar tables at
// stated Reynolds numbers, or a linear law) and which airfoil sits at which
// station radius. Bound to a model's radial grid it knows, per element, the
// two airfoils around it and the blend weight between them. At an element:
//
//  1. Reynolds number Re = rho W c / mu from the element's resultant speed W;
//     each airfoil's tables are interpolated linearly in ln Re (held at the
//     end tables outside their range; such lookups are counted, see
//     take_reynolds_clamps).
//  2. Between stations, cl and cd blend linearly in radius at the same angle
//     of attack: c = c_inner + t (c_outer - c_inner), so an element between two
//     stations of the same airfoil reads that airfoil exactly.
//  3. Optional rotational augmentation (Snel et al. 1994): cl gains
//     3 (c/r)^2 (cl_line - cl), cl_line the attached-flow line of the airfoil.
//  4. Optional compressibility (Prandtl-Glauert) on the attached-flow lift at
//     M = W / a, with M held at mach_limit.
//
// With one airfoil of one table and no corrections the element lookup is the
// table lookup itself, so such a rotor gives the plain polar's numbers.
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bem_common.hpp"
#include "polar.hpp"

namespace aerlox_rs {

/// One polar of an airfoil at one Reynolds number.
struct SectionTable {
  std::optional<TabulatedPolar> table;  ///< the table; none for a linear law
  LinearPolar linear;                   ///< the law used when there is no table
  double reynolds = 0.0;                ///< chord Reynolds number (> 0), or 0 when not stated
  double cl0 = 0.0;                     ///< attached-flow line: cl = cl0 + cl_alpha * alpha
  double cl_alpha_per_rad = 0.0;
  double attached_lo_rad = 0.0;         ///< attached-flow range of the table, rad
  double attached_hi_rad = 0.0;

  std::pair<double, double> cl_cd(double alpha) const {
    return table ? table->cl_cd(alpha) : linear.cl_cd(alpha);
  }
};

/// An airfoil: its tables in ascending Reynolds number.
struct SectionAirfoil {
  std::vector<SectionTable> tables;
  std::vector<double> log_reynolds;  ///< ln of each table's Reynolds number (filled by SectionPolar)
};

enum class Compressibility { none, prandtl_glauert };
enum class Augmentation { none, snel };

/// Parses "none" / "prandtl-glauert"; ValueError naming the choices otherwise.
Compressibility parse_compressibility(const std::string& name);
/// Parses "none" / "snel"; ValueError naming the choices otherwise.
Augmentation parse_augmentation(const std::string& name);

struct SectionOptions {
  double viscosity_pa_s = 1.789e-5;      ///< dynamic viscosity of the air
  double speed_of_sound_m_s = 340.294;   ///< speed of sound in the air
  Compressibility compressibility = Compressibility::none;
  double mach_limit = 0.7;               ///< Prandtl-Glauert is held at this Mach number
  Augmentation augmentation = Augmentation::none;
};

/// Reynolds-number lookups outside an airfoil's tables on this thread since
/// the last take_reynolds_clamps().
struct ReynoldsClamps {
  std::size_t count = 0;
  double lowest = 0.0;   ///< the lowest Reynolds number met (when count > 0)
  double highest = 0.0;  ///< the highest
};

/// The counts since the last call, which are reset.
ReynoldsClamps take_reynolds_clamps();

struct SectionElement;

class SectionPolar {
 public:
  /// airfoils: at least one, each with at least one table, tables with
  /// stated, strictly ascending Reynolds numbers when there are several.
  /// station_r_m: ascending radii; station_airfoil[k] the airfoil at
  /// station_r_m[k]. One station (or none, with one airfoil) is the whole
  /// blade. ValueError for anything else.
  SectionPolar(std::vector<SectionAirfoil> airfoils, std::vector<double> station_r_m,
               std::vector<std::size_t> station_airfoil, SectionOptions options);

  /// Per-element data for this grid (called when a model is built).
  void bind(const RadialGrid& grid);

  /// The polar of element i at density rho; bind() must have seen the grid.
  SectionElement element(std::size_t i, double rho) const;

  /// (cl, cd) of element i at angle alpha (rad) and resultant speed w (m/s).
  std::pair<double, double> element_cl_cd(std::size_t i, double rho, double alpha, double w) const;

  const std::vector<SectionAirfoil>& airfoils() const { return airfoils_; }
  const std::vector<double>& station_r_m() const { return station_r_; }
  const std::vector<std::size_t>& station_airfoil() const { return station_airfoil_; }
  const SectionOptions& options() const { return options_; }
  std::size_t n_bound() const { return elem_.size(); }

  /// The one table every element reads unchanged, or nullptr.
  const SectionTable* plain() const { return plain_ ? &airfoils_[plain_airfoil_].tables[0] : nullptr; }

 private:
  struct Elem {
    std::size_t inner = 0;  ///< airfoil index at or inside the element
    std::size_t outer = 0;  ///< airfoil index outside it
    double t = 0.0;         ///< blend weight of the outer airfoil (0: inner only)
    double chord_m = 0.0;
    double snel_k = 0.0;    ///< 3 (c/r)^2
  };
  /// (cl, cd, cl0, cl_alpha, attached lo, hi) of one airfoil at ln Re.
  struct Coeffs {
    double cl, cd, cl0, cl_alpha, lo, hi;
  };
  Coeffs airfoil_at(const SectionAirfoil& a, double alpha, double re, bool want_law) const;

  std::vector<SectionAirfoil> airfoils_;
  std::vector<double> station_r_;
  std::vector<std::size_t> station_airfoil_;
  SectionOptions options_;
  std::vector<Elem> elem_;
  bool plain_ = false;             ///< every element reads one table unchanged
  std::size_t plain_airfoil_ = 0;  ///< which airfoil's table that is
  bool needs_reynolds_ = false;
};

/// Element i's view of a SectionPolar (what the models' element solvers call).
struct SectionElement {
  const SectionPolar* polar;
  std::size_t i;
  double rho;

  std::pair<double, double> cl_cd(double alpha, double u_p, double u_t) const {
    if (const SectionTable* t = polar->plain()) return t->cl_cd(alpha);
    return polar->element_cl_cd(i, rho, alpha, std::sqrt(u_p * u_p + u_t * u_t));
  }
};

inline SectionElement SectionPolar::element(std::size_t i, double rho) const {
  return SectionElement{this, i, rho};
}

inline SectionElement element_polar(const SectionPolar& polar, std::size_t i, double rho) {
  return polar.element(i, rho);
}

inline void bind_polar_to_grid(SectionPolar& polar, const RadialGrid& grid) { polar.bind(grid); }

}  // namespace aerlox_rs
