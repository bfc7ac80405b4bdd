#pragma once
// The boundary between the fast summation's generic code (tree, traversal,
// threads) and its evaluation kernels, which are compiled once per
// instruction set (fast_eval_*.cpp). As with the direct kernels, only plain
// data and non-inline functions cross it.
#include <cstddef>
#include <cstdint>

namespace aerlox_rs::vpm::fast {

/// Floats per cell in the far-field table: the cell's expansion of the
/// regularised kernel about its centre (see fast_tree.hpp for the layout).
inline constexpr std::size_t kMomentStride = 120;
// Offsets of each moment inside a cell's row.
inline constexpr std::size_t kMoC = 0;     ///< centre x y z, then sigma_c^2
inline constexpr std::size_t kMoA = 4;     ///< A_c = sum alpha_c
inline constexpr std::size_t kMoW = 7;     ///< w_a = eps_abc D_bc
inline constexpr std::size_t kMoD = 10;    ///< D_ic = sum d_i alpha_c, at 3i + c
inline constexpr std::size_t kMoTrQ = 19;  ///< trace of Q^c
inline constexpr std::size_t kMoQ = 22;    ///< Q^c (xx yy zz xy xz yz) at 6c
inline constexpr std::size_t kMoM = 40;    ///< M_aj = eps_abc Q_bjc, at 3a + j
inline constexpr std::size_t kMoN = 49;    ///< N_c = sum (sigma^2 - sigma_c^2) alpha_c
// The octupole O^c_ijk = sum d_i d_j d_k alpha_c / 6 and what the velocity
// takes of it, with each symmetric form's repeated entries folded in (so a
// form times the monomials of R is a plain dot product):
inline constexpr std::size_t kMoT = 56;   ///< 3 T^c_k, T^c_k = O^c_iik, at 3c + k
inline constexpr std::size_t kMoWT = 65;  ///< 3 eps_abc T^c_b
inline constexpr std::size_t kMoO = 68;   ///< O^c on xxx yyy zzz xxy xxz xyy yyz xzz yzz xyz, at 10c
inline constexpr std::size_t kMoP = 98;   ///< 3 P^a, P^a_jk = eps_abc O^c_bjk, on xx yy zz xy xz yz, at 6a

/// One target group's work: its near sources (ranges of the sorted source
/// arrays) summed particle by particle, and its far cells through their
/// expansions. Targets are padded to a multiple of 8 and 32-byte aligned;
/// results come back per block of eight targets: vel[24b + 8a + lane] is
/// component a, grad[72b + 8(3a + d) + lane] is du_a/dx_d.
struct GroupJob {
  const float* sx;
  const float* sy;
  const float* sz;
  const float* sax;
  const float* say;
  const float* saz;
  const float* ss2;  ///< sigma^2 per source
  const float* moments;
  const std::uint32_t* far;
  std::size_t n_far;
  const std::uint32_t* near;  ///< pairs (first, count)
  std::size_t n_near;
  const float* tx;
  const float* ty;
  const float* tz;
  std::size_t n_blocks;  ///< blocks of eight targets
  int order;             ///< 1: dipole, 2: quadrupole, 3: octupole (velocity; gradient to the quadrupole)
  float* vel;
  float* grad;  ///< null: velocity only
};

struct Table {
  const char* name;
  void (*eval_group)(const GroupJob& job);
};

extern const Table table_baseline;
extern const Table table_avx2;
extern const Table table_avx512;

}  // namespace aerlox_rs::vpm::fast
