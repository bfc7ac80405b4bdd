// The fast summation's driver: trees, one interaction list per target group,
// the per-instruction-set kernels, results back in the caller's order.
#include "fast_sum.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "cpu_state.hpp"
#include "fast_tree.hpp"
#include "panic.hpp"
#include "pool.hpp"

namespace aerlox_rs::vpm {

namespace {

// At and below this rtol the hexadecapole pays (fast_plan).
constexpr double kHexadecapoleFrom = 2e-3;

using fast::Cell;
using fast::Octree;
using fast::SourceTree;

// The AVX units fuse their products, so besides the wider registers they
// need FMA, and the AVX-512 one the eight-lane forms of its instructions
// (VL); where a feature is missing the next unit down gives the same bits.
const fast::Table& fast_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  const Isa isa = active_isa();
  const bool fma = __builtin_cpu_supports("fma");
  if (isa == Isa::Avx512 && fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
    return fast::table_avx512;
  if ((isa == Isa::Avx512 || isa == Isa::Avx2) && fma && __builtin_cpu_supports("avx2")) return fast::table_avx2;
#endif
  return fast::table_baseline;
}

// Targets in tree order, cut into groups (ranges with bounding spheres).
struct Targets {
  const float* x;
  const float* y;
  const float* z;
  const std::uint32_t* order;      ///< output index of sorted target k
  const std::vector<Cell>* groups;
};

// A far cell's expansion costs about as much as summing five particles one
// by one, so smaller cells are summed directly (exact, and no slower).
constexpr std::uint32_t kDirectUpTo = 6;

// A group's far cells and near ranges, by the opening test.
void interaction_lists(const SourceTree& s, const Cell& group, float theta, std::vector<std::uint32_t>& far,
                       std::vector<std::uint32_t>& near, std::vector<std::uint32_t>& stack) {
  far.clear();
  near.clear();
  stack.clear();
  const auto& cells = s.tree.cells;
  stack.push_back(0);
  while (!stack.empty()) {
    const std::uint32_t k = stack.back();
    stack.pop_back();
    const Cell& c = cells[k];
    const float dx = c.centre[0] - group.centre[0], dy = c.centre[1] - group.centre[1],
                dz = c.centre[2] - group.centre[2];
    const float gap = std::sqrt((dx * dx + dy * dy) + dz * dz) - group.radius;
    const bool accept = gap > 0.0f && c.radius < theta * gap;
    if (accept && c.count > kDirectUpTo) {
      far.push_back(k);
    } else if (accept || c.n_children == 0) {
      // Near ranges that continue the previous one are merged.
      if (!near.empty() && near[near.size() - 2] + near.back() == c.first)
        near.back() += c.count;
      else
        near.insert(near.end(), {c.first, c.count});
    } else {
      // Children pushed last-first, so they are visited in order.
      for (std::uint32_t m = c.n_children; m-- > 0;) stack.push_back(c.child0 + m);
    }
  }
}

VelGrad evaluate(const SourceTree& s, const Targets& t, std::size_t n_targets, FastPlan plan, bool gradient) {
  VelGrad out;
  out.vel.assign(n_targets, Vel{0.0f, 0.0f, 0.0f});
  if (gradient) out.grad.assign(n_targets, Grad{});
  if (n_targets == 0 || s.tree.cells.empty()) return out;
  const fast::Table& table = fast_kernels();
  const std::vector<Cell>& groups = *t.groups;
  Vel* vel = out.vel.data();
  Grad* grad = gradient ? out.grad.data() : nullptr;
  pool::parallel_for(groups.size(), [&](std::size_t g0, std::size_t g1, std::size_t) {
    std::vector<std::uint32_t> far, near, stack;
    AVec<float> buf;
    for (std::size_t g = g0; g < g1; ++g) {
      const Cell& group = groups[g];
      interaction_lists(s, group, plan.theta, far, near, stack);
      const std::size_t nb = (group.count + 7) / 8;
      const std::size_t need = nb * 8 * (3 + 3 + (gradient ? 9 : 0));
      if (buf.size() < need) buf = AVec<float>::filled(need, 0.0f);
      float* tx = buf.data();
      float* ty = tx + nb * 8;
      float* tz = ty + nb * 8;
      float* v = tz + nb * 8;
      float* gr = v + nb * 24;
      for (std::size_t k = 0; k < nb * 8; ++k) {
        // A short last block repeats the group's last target.
        const std::size_t m = group.first + std::min<std::size_t>(k, group.count - 1);
        tx[k] = t.x[m];
        ty[k] = t.y[m];
        tz[k] = t.z[m];
      }
      const fast::GroupJob job{s.x.data(), s.y.data(), s.z.data(), s.ax.data(), s.ay.data(), s.az.data(),
                               s.s2.data(), s.moments.data(), s.stride, far.data(), far.size(), near.data(),
                               near.size() / 2, tx, ty, tz, nb, plan.order, v, gradient ? gr : nullptr};
      table.eval_group(job);
      for (std::size_t k = 0; k < group.count; ++k) {
        const std::size_t b = k / 8, l = k % 8;
        const std::uint32_t i = t.order[group.first + k];
        vel[i] = Vel{v[24 * b + l], v[24 * b + 8 + l], v[24 * b + 16 + l]};
        if (grad)
          for (int e = 0; e < 9; ++e) grad[i][e] = gr[72 * b + 8 * e + l];
      }
    }
  });
  return out;
}

void check_plan(const FastPlan& plan) {
  if (!(plan.order >= 1 && plan.order <= 4)) throw ValueError("expansion order must be 1, 2, 3 or 4");
  if (!(plan.theta >= 0.0f && plan.theta < 1.0f)) throw ValueError("opening angle must be in [0, 1)");
  if (plan.leaf == 0) throw ValueError("particles per leaf must be positive");
  if (plan.group == 0) throw ValueError("targets per group must be positive");
}

}  // namespace

FastPlan fast_plan(double rtol, bool gradient) {
  if (!(std::isfinite(rtol) && rtol > 0.0)) throw ValueError("rtol must be a finite number > 0");
  // Below 1e-6 single precision dominates and every cell is opened.
  if (rtol < 1e-6) return FastPlan{3, 0.0f, 64, 16};
  // Measured with the octupole, leaves of 64 and groups of 16 from 20k to 1M
  // particles (docs/scaling.md): a cube of overlapping cores with random
  // strengths, whose far field has no coherence to hide behind, errs by
  // 0.036 to 0.063 theta^4, slowly more with N, and a hover wake by less at
  // every angle measured (up to 0.75). The plan asks 0.9 of rtol of a bound
  // of 0.07 theta^4. The octupole reaches a given error sooner than the
  // quadrupole from rtol 1e-4 up, in spite of its extra work per cell.
  const double theta = std::min(std::pow(0.9 * rtol / 0.07, 0.25), 0.75);
  if (gradient || rtol > kHexadecapoleFrom) return FastPlan{3, static_cast<float>(theta), 64, 16};
  // The hexadecapole costs about twice the octupole per far cell and pays
  // where its wider angle saves more than that (measured on the same two
  // cases: 1.06-1.17x at rtol 1e-3, 1.13-1.42x at 1e-4, even at 3e-3,
  // slower at 1e-2); from 20k to 1M the cube errs by 0.021 to 0.046 theta^5, so the
  // plan asks 0.9 of rtol of 0.05 theta^5. The gradient, still to the
  // quadrupole, would miss rtol at that angle: it keeps the octupole's.
  const double theta4 = std::pow(0.9 * rtol / 0.05, 0.2);
  return FastPlan{4, static_cast<float>(theta4), 64, 16};
}

VelGrad induced_at_points_planned(const ParticleField& field, std::span<const float> tx,
                                       std::span<const float> ty, std::span<const float> tz, FastPlan plan,
                                       bool gradient) {
  clear_upper_vector_state();
  check_plan(plan);
  const std::size_t m = tx.size();
  AERLOX_ASSERT(ty.size() >= m && tz.size() >= m);
  if (m == 0 || field.len() == 0) return evaluate(SourceTree{}, Targets{}, m, plan, gradient);
  const SourceTree s = SourceTree::build(field, plan.leaf, plan.order);
  const Octree tt = fast::build_octree(tx, ty.first(m), tz.first(m), plan.leaf);
  std::vector<float> sx(m), sy(m), sz(m);
  for (std::size_t k = 0; k < m; ++k) {
    sx[k] = tx[tt.order[k]];
    sy[k] = ty[tt.order[k]];
    sz[k] = tz[tt.order[k]];
  }
  const std::vector<Cell> groups = fast::target_groups(sx.data(), sy.data(), sz.data(), m, plan.group);
  return evaluate(s, Targets{sx.data(), sy.data(), sz.data(), tt.order.data(), &groups}, m, plan, gradient);
}

VelGrad induced_velocities_planned(const ParticleField& field, FastPlan plan, bool gradient) {
  clear_upper_vector_state();
  check_plan(plan);
  const std::size_t n = field.len();
  if (n == 0) return evaluate(SourceTree{}, Targets{}, 0, plan, gradient);
  const SourceTree s = SourceTree::build(field, plan.leaf, plan.order);
  const std::vector<Cell> groups = fast::target_groups(s.x.data(), s.y.data(), s.z.data(), n, plan.group);
  return evaluate(s, Targets{s.x.data(), s.y.data(), s.z.data(), s.tree.order.data(), &groups}, n, plan, gradient);
}

VelGrad induced_at_points_fast(const ParticleField& field, std::span<const float> tx,
                                    std::span<const float> ty, std::span<const float> tz, double rtol,
                                    bool gradient) {
  return induced_at_points_planned(field, tx, ty, tz, fast_plan(rtol, gradient), gradient);
}

VelGrad induced_velocities_fast(const ParticleField& field, double rtol, bool gradient) {
  return induced_velocities_planned(field, fast_plan(rtol, gradient), gradient);
}

}  // namespace aerlox_rs::vpm
