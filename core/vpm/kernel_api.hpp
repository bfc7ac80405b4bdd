#pragma once
// The boundary between the generic wake code and the velocity kernels that are
// compiled once per instruction set.
//
// The kernel units are built with extra instruction-set flags. Anything they
// share with the rest of the library must therefore be plain data and
// non-inline functions: an inline function emitted by such a unit could be the
// copy the linker keeps, and would then run AVX-512 code on a CPU without it.
// This header holds only such plain declarations.
#include <array>
#include <cstddef>
#include <cstdint>

namespace aerlox_rs::vpm {

/// Velocity (u, v, w) at one target, in position units per second.
using Vel = std::array<float, 3>;

/// Velocity gradient du_i/dx_j at one target, row-major (i the velocity
/// component, j the derivative direction), per second.
using Grad = std::array<float, 9>;

/// Eight single-precision lanes: one accumulator or one broadcast target.
struct alignas(32) Lane8 {
  float v[8];
};

/// 1/(4*pi) rounded to single precision; scales every lane before the sum.
inline constexpr float kInv4Pi = 0.0795774683f;

/// One cell of the flattened Barnes-Hut tree (depth-first preorder).
struct FlatNode {
  float center[3];          ///< strength-weighted centroid of the cell, m
  float four_half2;         ///< squared cell edge (2*half)^2, m^2
  float sum_a[3];           ///< vector sum of the cell's strengths, m^3/s
  float sigma_rep;          ///< representative core radius, m
  std::uint32_t escape;     ///< index of the first node after this subtree
  std::uint32_t leaf_start; ///< leaf: first sorted particle (multiple of 8); else 0
  std::uint32_t leaf_chunks;///< leaf: number of eight-particle chunks; else 0
};

namespace kern {

/// Seven 32-byte-aligned arrays of 8*n_chunks floats each (positions,
/// strengths, core radii), padded with inert sources.
///
/// Optionally three more arrays of the same length, per source: s2 = sg*sg,
/// s3 = sg*s2 and rs2 = 1/s2 (each correctly rounded). They let a kernel form
/// rho2 = r2/s2 from the reciprocal with one fused correction step instead of
/// a division; the result is the same correctly rounded quotient. Whoever
/// fills them must have checked that every source and target lies in the
/// range where that holds (see reciprocal_safe in common.cpp); otherwise they
/// stay null and the kernels divide.
struct Src {
  const float* x;
  const float* y;
  const float* z;
  const float* ax;
  const float* ay;
  const float* az;
  const float* sg;
  std::size_t n_chunks;
  const float* s2;
  const float* s3;
  const float* rs2;
};

/// A flattened tree as the kernels read it.
struct TreeView {
  const FlatNode* nodes;
  std::size_t n_nodes;
  Src sorted;
  /// Per node, 8 floats on a 32-byte boundary: the far-field source
  /// (centre x y z, sum_a x y z, sigma_rep) and a zero, so that eight cells
  /// turn into eight source lanes by one register transpose. May be null.
  const float* payload;
};

/// Far-field lists. idx holds lists*cap node indices, list g in entries
/// [g*cap, (g+1)*cap), where the walk queues each target's far cells (with
/// AVX-512 and four lists or more, the first three caps instead log each far
/// cell once with the mask of its targets, and the fourth receives one
/// target's list at a time); the seven float arrays (stage_cap entries, at
/// least cap; with the log, two lists side by side need 2 cap) stage lists
/// as source chunks for the sum. len: padded length of the last list staged.
struct ScratchView {
  float* sx;
  float* sy;
  float* sz;
  float* sax;
  float* say;
  float* saz;
  float* sg;
  std::size_t cap;
  std::size_t len;
  std::size_t lists;
  std::uint32_t* idx;
  std::size_t stage_cap = 0;
};

/// Targets walked together through the tree at most (one far list each).
inline constexpr std::size_t kTreeGroup = 64;

/// The kernels of one instruction set.
struct Table {
  const char* name;
  /// Adds the sources of chunks [c0, c1) to eight-lane accumulators for one
  /// broadcast target (no range checks: the caller validated them).
  void (*accumulate)(const Lane8& xj, const Lane8& yj, const Lane8& zj, const Src& src,
                     std::size_t c0, std::size_t c1, Lane8& ux, Lane8& uy, Lane8& uz);
  /// out[j] = velocity at target j for j in [j0, j1), summing all chunks.
  void (*eval_targets)(const Src& src, const float* tx, const float* ty, const float* tz,
                       std::size_t j0, std::size_t j1, Vel* out);
  /// out[i] = tree velocity at target i for i = order[j], j in [j0, j1)
  /// (order null: i = j). Targets are walked through the tree in groups of up
  /// to min(kTreeGroup, scratch.lists) consecutive entries of order, so an
  /// order that keeps neighbours together shares the walk; every target
  /// still meets the same cells in the same order as on its own. scratch is
  /// reused; with one list it is left holding the last target's far list.
  void (*eval_tree)(const TreeView& tree, const float* tx, const float* ty, const float* tz,
                    std::size_t j0, std::size_t j1, float theta2, ScratchView& scratch, Vel* out,
                    const std::uint32_t* order);
  /// q[i] = a[i]/b[i] exactly as the direct sum forms r2/s2 when it is given
  /// rb[i] = 1/b[i] (n a multiple of 8).
  void (*quotients)(const float* a, const float* b, const float* rb, float* q, std::size_t n);
  /// The lists eval_tree works best with (its scratch.lists; staging for two
  /// lists when it is below kTreeGroup).
  std::size_t tree_lists;
  /// vel[j] and grad[j] = velocity and velocity gradient at target j for j in
  /// [j0, j1), summing all chunks. The velocity has the bits of eval_targets.
  void (*eval_targets_grad)(const Src& src, const float* tx, const float* ty, const float* tz,
                            std::size_t j0, std::size_t j1, Vel* vel, Grad* grad);
};

extern const Table table_baseline;
extern const Table table_avx2;
extern const Table table_avx512;

/// The scalar reference: the same arithmetic lane by lane (source p in lane
/// p mod 8), used to prove the vector tables bit-identical.
extern const Table table_scalar;

}  // namespace kern
}  // namespace aerlox_rs::vpm
