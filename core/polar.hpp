#pragma once
// Airfoil polars: section lift and drag coefficients against angle of attack.
//
// Models are templates over the polar type, so each model's inner loop calls
// cl_cd inline; both kinds offer the same interface (cl_cd, cl_cd_into).
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "panic.hpp"

namespace aerlox_rs {

/// The four polar numbers with the stall angle in degrees, as a rotor
/// definition stores them.
struct LinearPolarParameters {
  double CL0 = 0.0;
  double CL_alpha_per_rad = 0.0;
  double CD0 = 0.0;
  double alpha_stall_deg = 0.0;
};

inline constexpr double DEG_TO_RAD = 0.017453292519943295;

/// Linear lift below stall; beyond it the lift magnitude freezes at its
/// positive-stall value and drag grows by 1 per radian past stall.
struct LinearPolar {
  double CL0 = 0.0;
  double CL_alpha_per_rad = 0.0;
  double CD0 = 0.0;
  double alpha_stall_rad = 0.0;  ///< a magnitude; same for both signs

  static LinearPolar from_properties(const LinearPolarParameters& p) {
    return {p.CL0, p.CL_alpha_per_rad, p.CD0, p.alpha_stall_deg * DEG_TO_RAD};
  }

  /// (cl, cd) at alpha (rad). A NaN angle takes the stalled branch.
  std::pair<double, double> cl_cd(double alpha) const {
    if (alpha_stall_rad > std::fabs(alpha)) return {CL0 + alpha * CL_alpha_per_rad, CD0};
    return stalled(alpha);
  }

  /// Element-wise cl_cd over a slice. Here a NaN angle takes the attached
  /// branch (the test is written the other way round), which callers of the
  /// array form have come to expect.
  void cl_cd_into(std::span<const double> alpha, std::span<double> cl,
                  std::span<double> cd) const {
    AERLOX_ASSERT(cl.size() == alpha.size() && cd.size() == alpha.size());
    for (std::size_t i = 0; i < alpha.size(); ++i) {
      const double a = alpha[i];
      if (std::fabs(a) >= alpha_stall_rad) {
        const auto [l, d] = stalled(a);
        cl[i] = l;
        cd[i] = d;
      } else {
        cl[i] = CL0 + a * CL_alpha_per_rad;
        cd[i] = CD0;
      }
    }
  }

 private:
  std::pair<double, double> stalled(double alpha) const {
    const double cl = std::copysign(std::fabs(CL0 + alpha_stall_rad * CL_alpha_per_rad), alpha);
    const double cd = (std::fabs(alpha) - alpha_stall_rad) + CD0;
    return {cl, cd};
  }
};

/// A table of (alpha, cl, cd) rows, linearly interpolated and clamped at
/// both ends. Rows are expected in ascending alpha (not checked).
class TabulatedPolar {
 public:
  /// Throws ValueError for unequal lengths or an empty table.
  TabulatedPolar(std::vector<double> alpha, std::vector<double> cl, std::vector<double> cd);

  std::size_t size() const { return alpha_.size(); }
  const std::vector<double>& alpha() const { return alpha_; }

  std::pair<double, double> cl_cd(double alpha) const {
    const std::size_t n = alpha_.size();
    if (alpha <= alpha_[0]) return {cl_[0], cd_[0]};
    if (alpha >= alpha_[n - 1]) return {cl_[n - 1], cd_[n - 1]};
    std::size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
      const std::size_t mid = (lo + hi) / 2;
      if (alpha >= alpha_[mid]) lo = mid;
      else hi = mid;
    }
    const double t = (alpha - alpha_[lo]) / (alpha_[hi] - alpha_[lo]);
    return {cl_[lo] + t * (cl_[hi] - cl_[lo]), cd_[lo] + t * (cd_[hi] - cd_[lo])};
  }

  void cl_cd_into(std::span<const double> alpha, std::span<double> cl,
                  std::span<double> cd) const {
    AERLOX_ASSERT(cl.size() == alpha.size() && cd.size() == alpha.size());
    for (std::size_t i = 0; i < alpha.size(); ++i) {
      const auto [l, d] = cl_cd(alpha[i]);
      cl[i] = l;
      cd[i] = d;
    }
  }

 private:
  std::vector<double> alpha_, cl_, cd_;
};

}  // namespace aerlox_rs
