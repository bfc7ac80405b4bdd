#include "merge.hpp"

#include <cmath>

#include "panic.hpp"

namespace aerlox_rs::vpm {

bool merge_ok(const TmpNode& node, const MergeOpts& opts) {
  const auto& a = node.sum_a;
  const float mag = std::sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]);
  const auto& c = node.center;
  return 2.0f * node.half <= opts.kappa * node.sigma_rep && opts.chi_min * node.wsum <= mag &&
         (opts.region_dist <= 0.0f ||
          (c[0] * c[0] + c[1] * c[1]) + c[2] * c[2] >= opts.region_dist * opts.region_dist);
}

void collapse(const std::vector<TmpNode>& tmp, std::uint32_t ti, const ParticleField& field,
              const MergeOpts& opts, ParticleField& out) {
  const TmpNode& c = at(tmp, ti);
  if (merge_ok(c, opts)) {
    // The core radius stays a positive normal number so the kernel stays finite.
    constexpr float kMinNormal = 1.17549435e-38f;
    out.push(c.center, c.sum_a, c.sigma_rep > kMinNormal ? c.sigma_rep : kMinNormal);
    return;
  }
  if (c.is_leaf) {
    for (const std::uint32_t i : c.particles)
      out.push({field.px[i], field.py[i], field.pz[i]}, {field.ax[i], field.ay[i], field.az[i]},
               field.sigma[i]);
    return;
  }
  for (const std::int32_t child : c.children)
    if (child >= 0) collapse(tmp, static_cast<std::uint32_t>(child), field, opts, out);
}

ParticleField merge_particles(const ParticleField& field, const MergeOpts& opts) {
  const std::size_t n = field.len();
  if (n <= opts.min_particles) return field.clone();
  std::vector<TmpNode> tmp;
  const std::uint32_t root = build_tmp_tree(tmp, field);
  ParticleField out = ParticleField::with_capacity(n);
  collapse(tmp, root, field, opts, out);
  return out;
}

}  // namespace aerlox_rs::vpm
