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

  /// (cl, cd) of element i at angle alpha (rad) and axial and tangential
  /// speeds u_p, u_t (m/s), whose resultant sets the Reynolds and Mach number.
  std::pair<double, double> element_cl_cd(std::size_t i, double rho, double alpha, double u_p,
                                          double u_t) const;

  /// The airfoils given (not counting the blends bind() keeps per element).
  std::size_t n_airfoils() const { return n_given_; }
  const SectionAirfoil& airfoil(std::size_t a) const { return at(airfoils_, a); }
  const std::vector<double>& station_r_m() const { return station_r_; }
  const std::vector<std::size_t>& station_airfoil() const { return station_airfoil_; }
  const SectionOptions& options() const { return options_; }
  std::size_t n_bound() const { return elem_.size(); }

  /// Every element reads one table unchanged (plain_cl_cd then serves them).
  bool plain() const { return plain_; }
  std::pair<double, double> plain_cl_cd(double alpha) const {
    return plain_table_ ? plain_table_->cl_cd(alpha) : plain_linear_.cl_cd(alpha);
  }

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
  /// Where an angle falls in the shared angle grid: rows lo and hi and the
  /// weight t of hi; off the grid's ends (inside false) row lo holds.
  struct Locate {
    std::size_t lo, hi;
    double t;
    bool inside;
  };
  Locate locate(double alpha) const;
  /// (cl, cd) of table k of airfoil a at the located angle.
  std::pair<double, double> table_at(std::size_t a, std::size_t k, double alpha, const Locate& at) const;
  /// re and its logarithm ln_re (both 0 when no airfoil has several tables).
  Coeffs airfoil_at(std::size_t a, double alpha, const Locate& at, double re, double ln_re) const;
  /// cl after rotational augmentation and compressibility, as the options ask.
  double corrected_cl(const Elem& e, const Coeffs& c, double alpha, double w) const;
  static void note_clamp(double re);
  /// Every table resampled on the union of their angles, so that an element
  /// locates its angle once for all the tables it blends.
  void build_grid();
  /// Elements between two airfoils with the same Reynolds numbers get their
  /// blend precomputed on the grid (an airfoil of their own), within a
  /// memory budget, so an evaluation reads one airfoil instead of two.
  void preblend();

  std::vector<SectionAirfoil> airfoils_;
  std::vector<double> station_r_;
  std::vector<std::size_t> station_airfoil_;
  SectionOptions options_;
  std::vector<Elem> elem_;
  std::vector<double> grid_;                  ///< union of the tables' angles; empty when a table is a linear law
  std::vector<std::vector<double>> grid_cl_;  ///< per table (first_column_[a] + k): cl on grid_
  std::vector<std::vector<double>> grid_cd_;
  std::vector<std::size_t> first_column_;     ///< per airfoil: the column of its first table
  std::vector<double> re_per_rho_w_;  ///< per element: chord / viscosity
  bool want_law_ = false;    ///< a correction needs the attached-flow line and range
  bool needs_speed_ = false; ///< the lookup needs the resultant speed
  bool plain_ = false;  ///< every element reads one table unchanged:
  std::optional<TabulatedPolar> plain_table_;  ///< that table,
  LinearPolar plain_linear_;                   ///< or that law
  /// &*plain_table_ once bound. A copy starts without it (it would point into
  /// the original) and serves its plain blade through plain_cl_cd instead.
  struct PlainRef {
    const TabulatedPolar* table = nullptr;
    PlainRef() = default;
    PlainRef(const PlainRef&) {}
    PlainRef& operator=(const PlainRef&) {
      table = nullptr;
      return *this;
    }
  } plain_ref_;
  std::size_t n_given_ = 0;          ///< airfoils given; bind() appends blends after them
  std::size_t n_given_columns_ = 0;  ///< grid columns of the given airfoils' tables
  bool needs_reynolds_ = false;
};

/// Element i's view of a SectionPolar (what the models' element solvers call).
struct SectionElement {
  const SectionPolar* polar;
  std::size_t i;
  double rho;
  const TabulatedPolar* plain_table;  ///< the plain blade's table, read straight

  std::pair<double, double> cl_cd(double alpha, double u_p, double u_t) const {
    if (plain_table) return plain_table->cl_cd(alpha);
    if (polar->plain()) return polar->plain_cl_cd(alpha);
    return polar->element_cl_cd(i, rho, alpha, u_p, u_t);
  }
};

// The element lookup is inlined into the models' element loops.

inline SectionPolar::Locate SectionPolar::locate(double alpha) const {
  // The table lookup's own search and weight, on the shared grid.
  const std::size_t n = grid_.size();
  if (alpha <= grid_[0]) return {0, 0, 0.0, false};
  if (alpha >= grid_[n - 1]) return {n - 1, n - 1, 0.0, false};
  std::size_t lo = 0, hi = n - 1;
  while (hi - lo > 1) {
    const std::size_t mid = (lo + hi) / 2;
    if (alpha >= grid_[mid]) lo = mid;
    else hi = mid;
  }
  return {lo, hi, (alpha - grid_[lo]) / (grid_[hi] - grid_[lo]), true};
}

inline std::pair<double, double> SectionPolar::table_at(std::size_t a, std::size_t k, double alpha,
                                                        const Locate& at) const {
  if (grid_.empty()) return airfoils_[a].tables[k].cl_cd(alpha);
  const std::size_t c = first_column_[a] + k;
  const std::vector<double>& cl = grid_cl_[c];
  const std::vector<double>& cd = grid_cd_[c];
  if (!at.inside) return {cl[at.lo], cd[at.lo]};
  return {cl[at.lo] + at.t * (cl[at.hi] - cl[at.lo]), cd[at.lo] + at.t * (cd[at.hi] - cd[at.lo])};
}

inline SectionPolar::Coeffs SectionPolar::airfoil_at(std::size_t ai, double alpha, const Locate& at,
                                                     double re, double ln_re) const {
  const SectionAirfoil& a = airfoils_[ai];
  const std::size_t n = a.tables.size();
  std::size_t k = 0;
  double s = 0.0;
  if (n > 1) {
    if (!(re > a.tables[0].reynolds)) {
      if (re < a.tables[0].reynolds) note_clamp(re);
    } else if (!(re < a.tables[n - 1].reynolds)) {
      k = n - 1;
      if (re > a.tables[n - 1].reynolds) note_clamp(re);
    } else {
      while (!(re < a.tables[k + 1].reynolds)) ++k;
      s = (ln_re - a.log_reynolds[k]) / (a.log_reynolds[k + 1] - a.log_reynolds[k]);
    }
  }
  const SectionTable& lo = a.tables[k];
  const auto [cl, cd] = table_at(ai, k, alpha, at);
  Coeffs c{cl, cd, lo.cl0, lo.cl_alpha_per_rad, lo.attached_lo_rad, lo.attached_hi_rad};
  if (s != 0.0) {
    const SectionTable& hi = a.tables[k + 1];
    const auto [cl2, cd2] = table_at(ai, k + 1, alpha, at);
    c.cl = cl + s * (cl2 - cl);
    c.cd = cd + s * (cd2 - cd);
    if (want_law_) {
      c.cl0 = c.cl0 + s * (hi.cl0 - c.cl0);
      c.cl_alpha = c.cl_alpha + s * (hi.cl_alpha_per_rad - c.cl_alpha);
      c.lo = c.lo + s * (hi.attached_lo_rad - c.lo);
      c.hi = c.hi + s * (hi.attached_hi_rad - c.hi);
    }
  }
  return c;
}

inline std::pair<double, double> SectionPolar::element_cl_cd(std::size_t i, double rho, double alpha,
                                                             double u_p, double u_t) const {
  const Elem& e = at(elem_, i);
  const double w = needs_speed_ ? std::sqrt(u_p * u_p + u_t * u_t) : 0.0;
  const double re = needs_reynolds_ ? rho * w * re_per_rho_w_[i] : 0.0;
  const double ln_re = needs_reynolds_ ? std::log(re) : 0.0;
  const Locate where = grid_.empty() ? Locate{0, 0, 0.0, false} : locate(alpha);
  Coeffs c = airfoil_at(e.inner, alpha, where, re, ln_re);
  if (e.t != 0.0) {
    const Coeffs o = airfoil_at(e.outer, alpha, where, re, ln_re);
    c.cl = c.cl + e.t * (o.cl - c.cl);
    c.cd = c.cd + e.t * (o.cd - c.cd);
    if (want_law_) {
      c.cl0 = c.cl0 + e.t * (o.cl0 - c.cl0);
      c.cl_alpha = c.cl_alpha + e.t * (o.cl_alpha - c.cl_alpha);
      c.lo = c.lo + e.t * (o.lo - c.lo);
      c.hi = c.hi + e.t * (o.hi - c.hi);
    }
  }
  if (!want_law_) return {c.cl, c.cd};
  return {corrected_cl(e, c, alpha, w), c.cd};
}

inline SectionElement SectionPolar::element(std::size_t i, double rho) const {
  return SectionElement{this, i, rho, plain_ref_.table};
}

inline SectionElement element_polar(const SectionPolar& polar, std::size_t i, double rho) {
  return polar.element(i, rho);
}

inline void bind_polar_to_grid(SectionPolar& polar, const RadialGrid& grid) { polar.bind(grid); }

}  // namespace aerlox_rs
