#pragma once
// The particle wake's storage and its induced-velocity evaluators: the
// particle field, the eight-lane buffers the kernels read, the direct
// all-pairs sum, the Barnes-Hut tree, and the midpoint advection.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "avec.hpp"
#include "kernel_api.hpp"

namespace aerlox_rs::vpm {

// ---------------------------------------------------------------------------
// Storage

/// One wake: seven single-precision arrays of equal length; particle i is
/// element i of each. Positions in m, strengths alpha in m^3/s (vorticity
/// integrated over the particle volume), core radii in m (must be > 0 for
/// finite velocities). Order is meaningful to the owner and kept by every
/// operation except merging.
struct ParticleField {
  AVec<float> px, py, pz;
  AVec<float> ax, ay, az;
  AVec<float> sigma;

  /// An empty field whose arrays each have room for n particles.
  static ParticleField with_capacity(std::size_t n);
  /// Number of particles (length of px).
  std::size_t len() const { return px.size(); }
  /// Appends one particle at the back; values are not validated.
  void push(std::array<float, 3> pos, std::array<float, 3> alpha, float sigma);
  /// Deep copy; each array's capacity equals its length.
  ParticleField clone() const { return *this; }
};

/// A fixed-capacity far-field list of pseudo-particles, padded to whole
/// eight-lane chunks before evaluation. Arrays are `capacity()` long.
struct Scratch {
  AVec<float> sx, sy, sz;
  AVec<float> sax, say, saz;
  AVec<float> sg;
  std::size_t len = 0;  ///< entries in use

  /// Capacity rounded up to a multiple of 8; positions and strengths 0, sg 1.
  static Scratch with_capacity(std::size_t cap);
  std::size_t capacity() const { return sx.size(); }
  /// Forgets the entries (memory untouched).
  void clear() { len = 0; }
  /// Appends one entry; pushing past the capacity is an index failure.
  void push(float x, float y, float z, float ax, float ay, float az, float sg);
  /// Appends inert entries (origin, zero strength, core 1) to a multiple of 8.
  void pad_to_8();
};

/// Read-only view of one float array as eight-lane chunks.
struct ChunkSpan {
  const float* ptr = nullptr;
  std::size_t n = 0;  ///< length in chunks
  std::size_t len() const { return n; }
};

/// Read-only eight-lane view of seven arrays (positions, strengths, core
/// radii); borrows them, owns nothing.
struct Chunks {
  ChunkSpan x, y, z, ax, ay, az, sg;

  /// Each array must start on a 32-byte boundary and hold a multiple of 8
  /// values (an internal-invariant failure otherwise).
  static Chunks from_avecs(const AVec<float>& x, const AVec<float>& y, const AVec<float>& z,
                           const AVec<float>& ax, const AVec<float>& ay, const AVec<float>& az,
                           const AVec<float>& sg);
  /// Same for plain slices.
  static Chunks from_slices(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                            std::span<const float> ax, std::span<const float> ay,
                            std::span<const float> az, std::span<const float> sg);
  /// Chunk count (length of x in chunks).
  std::size_t len() const { return x.len(); }
};

/// Minimum and maximum of v; NaN never wins, empty or all-NaN gives
/// (+inf, -inf). Eight-lane folds first, then the lanes, then the tail.
/// A slice of 8 or more values must start on a 32-byte boundary.
std::pair<float, float> simd_min_max(std::span<const float> v);

/// v followed by inert fill values up to the next multiple of 8, on a fresh
/// 128-byte-aligned array.
AVec<float> padded_copy(std::span<const float> v, float fill);

// ---------------------------------------------------------------------------
// Kernel building blocks (eight lanes, single precision, no fused multiply-add)

/// Adds sources of chunks [c0, c1) of src to the accumulators for the target
/// broadcast in xj, yj, zj.
void accumulate_chunks(const Lane8& xj, const Lane8& yj, const Lane8& zj, const Chunks& src, std::size_t c0,
                       std::size_t c1, Lane8& ux, Lane8& uy, Lane8& uz);
/// Scales every lane by 1/(4*pi) and sums lanes 0..7 in order.
Vel reduce_velocity(const Lane8& ux, const Lane8& uy, const Lane8& uz);
/// Velocity at (xj, yj, zj) from chunks [0, n_chunks) of src.
Vel eval_target(float xj, float yj, float zj, const Chunks& src, std::size_t n_chunks);
/// Every lane set to a.
Lane8 broadcast8(float a);

/// The instruction sets the kernels are built for (Avx2 and Avx512 only on
/// x86-64; elsewhere Baseline is plain portable arithmetic).
enum class Isa { Scalar, Baseline, Avx2, Avx512 };
/// Whether this CPU can run isa.
bool isa_supported(Isa isa);
/// The instruction set in use (the preferred one unless forced).
Isa active_isa();
/// The path picked for this machine at first use by a short calibration of
/// the direct sum (about 2 ms): the fastest supported vector width, and
/// whether r2/s2 comes from the reciprocal (all give the same bits). The
/// environment variables AERLOX_VPM_ISA (scalar, baseline, avx2, avx512) and
/// AERLOX_VPM_QUOTIENT (divide, reciprocal) override either choice.
Isa preferred_isa();
bool preferred_reciprocal();
/// Forces isa for tests and benchmarks (nullopt: back to the preferred one).
/// Throws ValueError when the CPU cannot run it.
void set_isa_for_testing(std::optional<Isa> isa);
/// Lets the direct sum form r2/s2 from per-source reciprocals where that is
/// exact (true) or forces the division (false); nullopt: back to the
/// preferred choice. Same bits either way: the switch exists to prove it and
/// to measure the gain.
void set_reciprocal_quotient_for_testing(std::optional<bool> on);
bool reciprocal_quotient_enabled();
const char* isa_name(Isa isa);
const char* kern_isa_name(Isa isa);
/// The kernel table of the active instruction set.
const kern::Table& active_kernels();

/// Per-source factors of the kernel: s2 = sg*sg, s3 = sg*s2, rs2 = 1/s2.
struct SourceFactors {
  AVec<float> s2, s3, rs2;
  static SourceFactors of(std::span<const float> sg);
};

/// Whether the reciprocal quotient equals the division for every pair of
/// these sources (positions x, y, z; s2) and targets (tx, ty, tz).
bool reciprocal_safe(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                     std::span<const float> s2, std::span<const float> tx, std::span<const float> ty,
                     std::span<const float> tz);

// ---------------------------------------------------------------------------
// Direct evaluation

/// Velocity induced by all particles at each target (tx[j], ty[j], tz[j]);
/// ty and tz must be at least as long as tx. Runs on the worker pool.
std::vector<Vel> induced_at_points(const ParticleField& field, std::span<const float> tx,
                                   std::span<const float> ty, std::span<const float> tz);
/// Velocity induced by the field at its own particles.
std::vector<Vel> induced_velocities(const ParticleField& field);

/// Velocities and velocity gradients at a set of targets.
struct VelGrad {
  std::vector<Vel> vel;
  std::vector<Grad> grad;
};
/// Velocity and velocity gradient (du_i/dx_j, 1/s) induced by all particles
/// at each target, by the direct sum on the worker pool; same target contract
/// as induced_at_points. The velocities have the bits of induced_at_points.
VelGrad induced_with_gradient_at(const ParticleField& field, std::span<const float> tx,
                                 std::span<const float> ty, std::span<const float> tz);
/// The same at the field's own particles.
VelGrad induced_with_gradient(const ParticleField& field);

// ---------------------------------------------------------------------------
// Barnes-Hut tree

/// Particles per leaf at most.
inline constexpr std::size_t kLeafCapacity = 32;
/// Cells stop halving below this half-width, m.
inline constexpr float kMinHalf = 1e-5f;

/// Build-time octree cell; cells refer to each other by index.
struct TmpNode {
  float half = 0.0f;                        ///< half the cell edge, m
  std::array<float, 3> center{};            ///< geometric centre, then weighted centroid
  std::array<float, 3> sum_a{};             ///< vector sum of strengths
  float sigma_rep = 1.0f;                   ///< strength-weighted mean core radius
  float wsum = 0.0f;                        ///< sum of |alpha|
  std::array<float, 3> wpos{};              ///< sum of |alpha| * position
  float wsig = 0.0f;                        ///< sum of |alpha| * sigma
  std::array<std::int32_t, 8> children{-1, -1, -1, -1, -1, -1, -1, -1};
  std::vector<std::uint32_t> particles;     ///< leaf particle indices, in order
  bool is_leaf = false;

  static TmpNode placeholder(std::array<float, 3> center, float half);
};

/// Working room for building a cell: at least as many entries as it has
/// particles.
struct BuildRoom {
  std::span<std::uint32_t> spare;
  std::span<std::uint8_t> code;
};
/// Appends the cell of particles idx (centre cc, half-width half) and its
/// subtree to nodes; returns its index. Reorders idx into the cell's leaf
/// order (each octant's particles in their order in idx).
std::uint32_t build_node(std::vector<TmpNode>& nodes, const ParticleField& field, std::span<std::uint32_t> idx,
                         BuildRoom room, std::array<float, 3> cc, float half);
/// The build-time octree of a non-empty field (root bounding cube from the
/// particles' extent); returns the root index.
std::uint32_t build_tmp_tree(std::vector<TmpNode>& nodes, const ParticleField& field);

/// The flattened tree and the leaf particles copied leaf after leaf, each
/// leaf's run padded to a multiple of 8 with inert entries.
struct FlatTree {
  std::vector<FlatNode> nodes;
  AVec<float> sx, sy, sz, sax, say, saz, sg;
  /// The field's particle indices in leaf order (padding not included).
  std::vector<std::uint32_t> order;
  /// Per node its far-field source as 8 floats (see kern::TreeView).
  AVec<float> payload;

  /// The tree of a non-empty field.
  static FlatTree build(const ParticleField& field);
  /// Tree velocity at one target; theta2 = theta^2.
  static Vel evaluate(const FlatTree& tree, float x, float y, float z, float theta2, Scratch& scratch);
  /// The sorted arrays as chunks.
  Chunks chunks() const;
};

/// Tree-approximated velocity at each target; same contract as
/// induced_at_points. theta is the opening parameter (0 = exact).
std::vector<Vel> induced_at_points_bh(const ParticleField& field, std::span<const float> tx,
                                      std::span<const float> ty, std::span<const float> tz, float theta);
/// Tree velocity at the field's own particles.
std::vector<Vel> induced_velocities_bh(const ParticleField& field, float theta);

// ---------------------------------------------------------------------------
// Advection

/// Moves every particle by one midpoint (two-stage) step of dt seconds in the
/// velocity induced by the field plus a uniform free stream (m/s); strengths
/// and core radii are unchanged. Direct evaluation.
void advect_rk2(ParticleField& field, std::array<float, 3> freestream, float dt);
/// Same with the tree evaluation at opening parameter theta.
void advect_rk2_bh(ParticleField& field, std::array<float, 3> freestream, float dt, float theta);

/// The midpoint step with any self-velocity evaluator eval(field).
template <class Eval>
void advect_rk2_with(ParticleField& field, std::array<float, 3> freestream, float dt, Eval&& eval) {
  const std::size_t n = field.len();
  if (n == 0) return;
  const std::vector<Vel> k1 = eval(static_cast<const ParticleField&>(field));
  AERLOX_ASSERT(k1.size() == n);
  ParticleField mid = field.clone();
  const float h = 0.5f * dt;
  for (std::size_t i = 0; i < n; ++i) {
    mid.px[i] = (k1[i][0] + freestream[0]) * h + field.px[i];
    mid.py[i] = (k1[i][1] + freestream[1]) * h + field.py[i];
    mid.pz[i] = (k1[i][2] + freestream[2]) * h + field.pz[i];
  }
  const std::vector<Vel> k2 = eval(static_cast<const ParticleField&>(mid));
  AERLOX_ASSERT(k2.size() == n);
  for (std::size_t i = 0; i < n; ++i) {
    field.px[i] = (k2[i][0] + freestream[0]) * dt + field.px[i];
    field.py[i] = (k2[i][1] + freestream[1]) * dt + field.py[i];
    field.pz[i] = (k2[i][2] + freestream[2]) * dt + field.pz[i];
  }
}

}  // namespace aerlox_rs::vpm
