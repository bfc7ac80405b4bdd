#include "section_polar.hpp"

#include <limits>

namespace aerlox_rs {

namespace {

thread_local ReynoldsClamps clamps;

void note_clamp(double re) {
  if (clamps.count == 0) {
    clamps.lowest = re;
    clamps.highest = re;
  } else {
    clamps.lowest = std::fmin(clamps.lowest, re);
    clamps.highest = std::fmax(clamps.highest, re);
  }
  ++clamps.count;
}

// Rotational augmentation acts up to 30 deg and fades out by 50 deg, where a
// rotating section is fully separated like a 2-D one.
constexpr double SNEL_FULL_RAD = 30.0 * DEG_TO_RAD;
constexpr double SNEL_END_RAD = 50.0 * DEG_TO_RAD;
// The compressibility factor fades from its attached-flow value to none over
// this many radians outside the attached range (no step in cl at its edges).
constexpr double PG_FADE_RAD = 5.0 * DEG_TO_RAD;

double snel_fade(double alpha) {
  if (alpha <= SNEL_FULL_RAD) return 1.0;
  if (alpha >= SNEL_END_RAD) return 0.0;
  return (SNEL_END_RAD - alpha) / (SNEL_END_RAD - SNEL_FULL_RAD);
}

double attached_weight(double alpha, double lo, double hi) {
  const double outside = alpha < lo ? lo - alpha : (alpha > hi ? alpha - hi : 0.0);
  return outside >= PG_FADE_RAD ? 0.0 : 1.0 - outside / PG_FADE_RAD;
}

}  // namespace

ReynoldsClamps take_reynolds_clamps() {
  const ReynoldsClamps out = clamps;
  clamps = ReynoldsClamps{};
  return out;
}

Compressibility parse_compressibility(const std::string& name) {
  if (name == "none") return Compressibility::none;
  if (name == "prandtl-glauert") return Compressibility::prandtl_glauert;
  throw ValueError("compressibility must be 'none' or 'prandtl-glauert', got '" + name + "'");
}

Augmentation parse_augmentation(const std::string& name) {
  if (name == "none") return Augmentation::none;
  if (name == "snel") return Augmentation::snel;
  throw ValueError("rotational_augmentation must be 'none' or 'snel', got '" + name + "'");
}

SectionPolar::SectionPolar(std::vector<SectionAirfoil> airfoils, std::vector<double> station_r_m,
                           std::vector<std::size_t> station_airfoil, SectionOptions options)
    : airfoils_(std::move(airfoils)),
      station_r_(std::move(station_r_m)),
      station_airfoil_(std::move(station_airfoil)),
      options_(options) {
  if (airfoils_.empty()) throw ValueError("a blade needs at least one airfoil");
  for (std::size_t a = 0; a < airfoils_.size(); ++a) {
    auto& af = airfoils_[a];
    if (af.tables.empty()) throw ValueError("airfoil " + std::to_string(a) + " has no polar table");
    af.log_reynolds.clear();
    for (std::size_t k = 0; k < af.tables.size(); ++k) {
      const double re = af.tables[k].reynolds;
      if (af.tables.size() > 1 && !(re > 0.0 && std::isfinite(re)))
        throw ValueError("airfoil " + std::to_string(a) + ": every table of several must state a Reynolds number > 0");
      if (k > 0 && !(re > af.tables[k - 1].reynolds))
        throw ValueError("airfoil " + std::to_string(a) + ": Reynolds numbers must be strictly ascending");
      af.log_reynolds.push_back(re > 0.0 ? std::log(re) : 0.0);
    }
  }
  if (station_r_.size() != station_airfoil_.size())
    throw ValueError("station_r_m and station_airfoil must have equal lengths");
  if (station_r_.empty() && airfoils_.size() != 1)
    throw ValueError("several airfoils need the station radius of each");
  for (std::size_t k = 0; k < station_r_.size(); ++k) {
    if (station_airfoil_[k] >= airfoils_.size())
      throw ValueError("station " + std::to_string(k) + " names airfoil " + std::to_string(station_airfoil_[k]) +
                       " of " + std::to_string(airfoils_.size()));
    if (!std::isfinite(station_r_[k]) || (k > 0 && !(station_r_[k] > station_r_[k - 1])))
      throw ValueError("station_r_m must be finite and strictly increasing");
  }
  if (!(options_.viscosity_pa_s > 0.0 && std::isfinite(options_.viscosity_pa_s)))
    throw ValueError("viscosity_pa_s must be a finite number > 0");
  if (!(options_.speed_of_sound_m_s > 0.0 && std::isfinite(options_.speed_of_sound_m_s)))
    throw ValueError("speed_of_sound_m_s must be a finite number > 0");
  if (!(options_.mach_limit >= 0.0 && options_.mach_limit < 1.0))
    throw ValueError("mach_limit must lie in [0, 1)");
}

void SectionPolar::bind(const RadialGrid& grid) {
  const std::size_t n = grid.n_elements;
  elem_.assign(n, Elem{});
  const std::size_t ns = station_r_.size();
  for (std::size_t i = 0; i < n; ++i) {
    Elem& e = elem_[i];
    const double r = at(grid.r_mid, i);
    e.chord_m = at(grid.chord, i);
    e.snel_k = r > 0.0 ? 3.0 * (e.chord_m / r) * (e.chord_m / r) : 0.0;
    if (ns == 0) continue;  // one airfoil, index 0
    if (ns == 1 || r <= station_r_[0]) {
      e.inner = e.outer = station_airfoil_[0];
    } else if (r >= station_r_[ns - 1]) {
      e.inner = e.outer = station_airfoil_[ns - 1];
    } else {
      std::size_t k = 0;
      while (!(r < station_r_[k + 1])) ++k;
      e.inner = station_airfoil_[k];
      e.outer = station_airfoil_[k + 1];
      // Same airfoil both sides: no blend at all, so the element reads it exactly.
      e.t = e.inner == e.outer ? 0.0 : (r - station_r_[k]) / (station_r_[k + 1] - station_r_[k]);
    }
  }
  needs_reynolds_ = false;
  bool one_airfoil = true;
  for (std::size_t i = 0; i < n; ++i) {
    const Elem& e = elem_[i];
    for (std::size_t a : {e.inner, e.outer})
      if (airfoils_[a].tables.size() > 1) needs_reynolds_ = true;
    if (e.t != 0.0 || e.inner != elem_[0].inner) one_airfoil = false;
  }
  plain_airfoil_ = n > 0 ? elem_[0].inner : 0;
  plain_ = one_airfoil && airfoils_[plain_airfoil_].tables.size() == 1 &&
           options_.compressibility == Compressibility::none && options_.augmentation == Augmentation::none;
}

SectionPolar::Coeffs SectionPolar::airfoil_at(const SectionAirfoil& a, double alpha, double re,
                                              bool want_law) const {
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
      s = (std::log(re) - a.log_reynolds[k]) / (a.log_reynolds[k + 1] - a.log_reynolds[k]);
    }
  }
  const SectionTable& lo = a.tables[k];
  auto [cl, cd] = lo.cl_cd(alpha);
  Coeffs c{cl, cd, lo.cl0, lo.cl_alpha_per_rad, lo.attached_lo_rad, lo.attached_hi_rad};
  if (s != 0.0) {
    const SectionTable& hi = a.tables[k + 1];
    const auto [cl2, cd2] = hi.cl_cd(alpha);
    c.cl = cl + s * (cl2 - cl);
    c.cd = cd + s * (cd2 - cd);
    if (want_law) {
      c.cl0 = c.cl0 + s * (hi.cl0 - c.cl0);
      c.cl_alpha = c.cl_alpha + s * (hi.cl_alpha_per_rad - c.cl_alpha);
      c.lo = c.lo + s * (hi.attached_lo_rad - c.lo);
      c.hi = c.hi + s * (hi.attached_hi_rad - c.hi);
    }
  }
  return c;
}

std::pair<double, double> SectionPolar::element_cl_cd(std::size_t i, double rho, double alpha,
                                                      double w) const {
  const Elem& e = at(elem_, i);
  const double re = needs_reynolds_ ? rho * w * e.chord_m / options_.viscosity_pa_s : 0.0;
  const bool want_law =
      options_.compressibility != Compressibility::none || options_.augmentation != Augmentation::none;
  Coeffs c = airfoil_at(airfoils_[e.inner], alpha, re, want_law);
  if (e.t != 0.0) {
    const Coeffs o = airfoil_at(airfoils_[e.outer], alpha, re, want_law);
    c.cl = c.cl + e.t * (o.cl - c.cl);
    c.cd = c.cd + e.t * (o.cd - c.cd);
    c.cl0 = c.cl0 + e.t * (o.cl0 - c.cl0);
    c.cl_alpha = c.cl_alpha + e.t * (o.cl_alpha - c.cl_alpha);
    c.lo = c.lo + e.t * (o.lo - c.lo);
    c.hi = c.hi + e.t * (o.hi - c.hi);
  }
  double cl = c.cl;
  if (options_.augmentation == Augmentation::snel && alpha > 0.0) {
    // Rotation delays stall inboard: the lift recovers part of what the 2-D
    // section loses against its attached-flow line.
    const double loss = (c.cl0 + c.cl_alpha * alpha) - cl;
    if (loss > 0.0) cl += e.snel_k * loss * snel_fade(alpha);
  }
  if (options_.compressibility == Compressibility::prandtl_glauert) {
    const double m = std::fmin(w / options_.speed_of_sound_m_s, options_.mach_limit);
    const double k = 1.0 / std::sqrt(1.0 - m * m);
    cl *= 1.0 + (k - 1.0) * attached_weight(alpha, c.lo, c.hi);
  }
  return {cl, c.cd};
}

}  // namespace aerlox_rs
