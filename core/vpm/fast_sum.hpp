#pragma once
// The wake's fast summation with accuracy control: the velocity (and its
// gradient) induced by a particle field, from a tree whose far cells carry
// expansions of the regularised kernel itself (monopole to hexadecapole and
// the core-radius moment), so that overlapping cores are expanded as
// accurately as distant ones. The caller asks for a relative error; the
// expansion order and the opening angle follow from it.
//
// Targets are walked in groups (the leaves of a tree over the targets), each
// group with its own list of near particles and far cells, on the worker
// pool; a target's result depends only on its group, so every thread count
// gives the same bits, and so does every instruction set (no fused
// operations, one target per lane).
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "common.hpp"

namespace aerlox_rs::vpm {

/// How the fast summation runs: expansion order (1: dipole, 2: quadrupole,
/// 3: octupole, 4: hexadecapole; the gradient to the quadrupole),
/// opening angle (a cell of radius b is far from a group of radius b_t at
/// distance d when b < theta (d - b_t)), particles per leaf and targets per
/// group (a multiple of 8 keeps every group but the last free of padding).
struct FastPlan {
  int order = 2;
  float theta = 0.5f;
  std::size_t leaf = 32;
  std::size_t group = 32;
};

/// The plan that keeps the root-mean-square relative velocity error,
/// sqrt(sum |du|^2 / sum |u|^2), at or below rtol, for the velocity alone or
/// with its gradient (which is one order short of the velocity's expansion,
/// so it keeps the octupole's narrower angle where the velocity alone takes
/// the hexadecapole's). rtol must be finite and positive (ValueError
/// otherwise); below about 1e-6 single precision dominates and the plan is
/// the direct sum in tree order.
FastPlan fast_plan(double rtol, bool gradient = false);

/// The field's induced velocity (and, when asked, its gradient du_i/dx_j at
/// 3i + j; empty otherwise) at each target (tx[j], ty[j],
/// tz[j]); ty and tz at least as long as tx. Runs on the worker pool, with
/// fast_plan(rtol, gradient).
VelGrad induced_at_points_fast(const ParticleField& field, std::span<const float> tx,
                                    std::span<const float> ty, std::span<const float> tz, double rtol,
                                    bool gradient);
/// The same at the field's own particles.
VelGrad induced_velocities_fast(const ParticleField& field, double rtol, bool gradient);

/// As above with an explicit plan (benchmarks and tests).
VelGrad induced_at_points_planned(const ParticleField& field, std::span<const float> tx,
                                       std::span<const float> ty, std::span<const float> tz, FastPlan plan,
                                       bool gradient);
VelGrad induced_velocities_planned(const ParticleField& field, FastPlan plan, bool gradient);

}  // namespace aerlox_rs::vpm
