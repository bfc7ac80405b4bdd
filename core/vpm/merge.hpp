#pragma once
// Merging thins the wake: whole octree cells of compact, aligned particles
// are replaced by one particle carrying the cell's total vector strength at
// its strength-weighted centroid.
#include <cstddef>
#include <vector>

#include "common.hpp"

namespace aerlox_rs::vpm {

/// Merge limits.
struct MergeOpts {
  /// A cell merges only if its edge 2*half <= kappa * sigma_rep.
  float kappa;
  /// ... and |sum of strengths| >= chi_min * sum of |strength| (1 = parallel).
  float chi_min;
  /// ... and, when > 0, its centroid lies at least this far from the origin of
  /// the wake's frame, m.
  float region_dist;
  /// Fields of at most this many particles are returned unchanged.
  std::size_t min_particles;
};

/// The merge test of one build-time cell.
bool merge_ok(const TmpNode& node, const MergeOpts& opts);

/// Appends the particles that cell ti of tmp becomes to out: one merged
/// particle, or the leaf's particles unchanged, or its children's results in
/// octant order.
void collapse(const std::vector<TmpNode>& tmp, std::uint32_t ti, const ParticleField& field,
              const MergeOpts& opts, ParticleField& out);

/// A merged copy of field (the input is untouched). The result is in octree
/// traversal order, not the input order, unless the field is small enough to
/// be returned as it is.
ParticleField merge_particles(const ParticleField& field, const MergeOpts& opts);

}  // namespace aerlox_rs::vpm
