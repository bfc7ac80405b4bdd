#pragma once
// The boundary between the fast summation's generic code (tree, traversal,
// threads) and its evaluation kernels, which are compiled once per
// instruction set (fast_eval_*.cpp). As with the direct kernels, only plain
// data and non-inline functions cross it.
#include <cstddef>
#include <cstdint>

namespace aerlox_rs::vpm::fast {

/// Floats per cell in the far-field table: the cell's expansion of the
/// regularised kernel about its centre (see fast_tree.hpp for the layout),
/// to the octupole; tables that carry the hexadecapole too have rows of
/// kMomentStride4 floats (both multiples of eight, so rows stay aligned).
inline constexpr std::size_t kMomentStride = 120;
inline constexpr std::size_t kMomentStride4 = 224;
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
// The hexadecapole H^c_ijkl = sum d_i d_j d_k d_l alpha_c / 24 (rows of
// kMomentStride4 only), folded the same way:
inline constexpr std::size_t kMoH0 = 116;  ///< 3 H^c_iijj, at c
inline constexpr std::size_t kMoK = 120;   ///< 6 K^c, K^c_kl = H^c_iikl, on xx yy zz xy xz yz, at 6c
inline constexpr std::size_t kMoH = 138;   ///< H^c on the 15 quartic monomials (see fast_tree.cpp), at 15c
inline constexpr std::size_t kMoKW = 183;  ///< 12 eps_abc K^c_bj, at 3a + j
inline constexpr std::size_t kMoHW = 192;  ///< 4 eps_abc H^c_bjkl, on the octupole's monomials, at 10a

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
  std::size_t stride;  ///< floats per row of moments
  const std::uint32_t* far;
  std::size_t n_far;
  const std::uint32_t* near;  ///< pairs (first, count)
  std::size_t n_near;
  const float* tx;
  const float* ty;
  const float* tz;
  std::size_t n_blocks;  ///< blocks of eight targets
  int order;             ///< 1: dipole ... 4: hexadecapole (velocity; gradient to the quadrupole)
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
