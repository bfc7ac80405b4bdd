#include "section_polar.hpp"

#include <algorithm>
#include <limits>

namespace aerlox_rs {

namespace {

thread_local ReynoldsClamps clamps;

}  // namespace

void SectionPolar::note_clamp(double re) {
  if (clamps.count == 0) {
    clamps.lowest = re;
    clamps.highest = re;
  } else {
    clamps.lowest = std::fmin(clamps.lowest, re);
    clamps.highest = std::fmax(clamps.highest, re);
  }
  ++clamps.count;
}

namespace {

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
  build_grid();
  n_given_ = airfoils_.size();
  n_given_columns_ = grid_cl_.size();
}

void SectionPolar::build_grid() {
  grid_.clear();
  grid_cl_.clear();
  grid_cd_.clear();
  first_column_.clear();
  for (const SectionAirfoil& af : airfoils_)
    for (const SectionTable& t : af.tables) {
      if (!t.table) {
        grid_.clear();
        return;
      }
      grid_.insert(grid_.end(), t.table->alpha().begin(), t.table->alpha().end());
    }
  std::sort(grid_.begin(), grid_.end());
  grid_.erase(std::unique(grid_.begin(), grid_.end()), grid_.end());
  // A table read at its own rows gives those rows exactly, so a table alone
  // on the grid keeps its numbers.
  for (const SectionAirfoil& af : airfoils_) {
    first_column_.push_back(grid_cl_.size());
    for (const SectionTable& t : af.tables) {
      std::vector<double> cl(grid_.size()), cd(grid_.size());
      t.table->cl_cd_into(grid_, cl, cd);
      grid_cl_.push_back(std::move(cl));
      grid_cd_.push_back(std::move(cd));
    }
  }
}


void SectionPolar::preblend() {
  if (grid_.empty()) return;
  // At most 32 MB of blended columns; elements beyond it blend as they go.
  constexpr std::size_t BUDGET = std::size_t{1} << 22;
  std::size_t used = 0;
  for (Elem& e : elem_) {
    if (e.t == 0.0) continue;
    const SectionAirfoil& a = airfoils_[e.inner];
    const SectionAirfoil& b = airfoils_[e.outer];
    const std::size_t nt = a.tables.size();
    bool same_re = b.tables.size() == nt;
    for (std::size_t k = 0; same_re && k < nt; ++k) same_re = a.tables[k].reynolds == b.tables[k].reynolds;
    const std::size_t cost = 2 * nt * grid_.size();
    if (!same_re || used + cost > BUDGET) continue;
    used += cost;
    SectionAirfoil v;
    v.log_reynolds = a.log_reynolds;
    const std::size_t ca = first_column_[e.inner], cb = first_column_[e.outer];
    const double t = e.t;
    auto mix = [t](double x, double y) { return x + t * (y - x); };
    for (std::size_t k = 0; k < nt; ++k) {
      const SectionTable& ta = a.tables[k];
      const SectionTable& tb = b.tables[k];
      SectionTable s;
      s.reynolds = ta.reynolds;
      s.cl0 = mix(ta.cl0, tb.cl0);
      s.cl_alpha_per_rad = mix(ta.cl_alpha_per_rad, tb.cl_alpha_per_rad);
      s.attached_lo_rad = mix(ta.attached_lo_rad, tb.attached_lo_rad);
      s.attached_hi_rad = mix(ta.attached_hi_rad, tb.attached_hi_rad);
      v.tables.push_back(s);
      std::vector<double> cl(grid_.size()), cd(grid_.size());
      for (std::size_t j = 0; j < grid_.size(); ++j) {
        cl[j] = mix(grid_cl_[ca + k][j], grid_cl_[cb + k][j]);
        cd[j] = mix(grid_cd_[ca + k][j], grid_cd_[cb + k][j]);
      }
      grid_cl_.push_back(std::move(cl));
      grid_cd_.push_back(std::move(cd));
    }
    first_column_.push_back(grid_cl_.size() - nt);
    airfoils_.push_back(std::move(v));  // a and b are not used past here
    e.inner = e.outer = airfoils_.size() - 1;
    e.t = 0.0;
  }
}

void SectionPolar::bind(const RadialGrid& grid) {
  // Forget the blends of an earlier grid.
  airfoils_.resize(n_given_);
  grid_cl_.resize(n_given_columns_);
  grid_cd_.resize(n_given_columns_);
  if (!grid_.empty()) first_column_.resize(n_given_);
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
  preblend();
  needs_reynolds_ = false;
  bool one_airfoil = true;
  for (std::size_t i = 0; i < n; ++i) {
    const Elem& e = elem_[i];
    for (std::size_t a : {e.inner, e.outer})
      if (airfoils_[a].tables.size() > 1) needs_reynolds_ = true;
    if (e.t != 0.0 || e.inner != elem_[0].inner) one_airfoil = false;
  }
  const std::size_t first = n > 0 ? elem_[0].inner : 0;
  want_law_ = options_.compressibility != Compressibility::none || options_.augmentation != Augmentation::none;
  needs_speed_ = needs_reynolds_ || options_.compressibility != Compressibility::none;
  re_per_rho_w_.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) re_per_rho_w_[i] = elem_[i].chord_m / options_.viscosity_pa_s;
  // A blend of two airfoils is never plain, even on a one-element blade.
  plain_ = one_airfoil && first < n_given_ && airfoils_[first].tables.size() == 1 && !want_law_;
  plain_table_.reset();
  if (plain_) {
    plain_table_ = airfoils_[first].tables[0].table;
    plain_linear_ = airfoils_[first].tables[0].linear;
  }
  plain_ref_.table = plain_table_ ? &*plain_table_ : nullptr;
}

double SectionPolar::corrected_cl(const Elem& e, const Coeffs& c, double alpha, double w) const {
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
  return cl;
}

}  // namespace aerlox_rs
