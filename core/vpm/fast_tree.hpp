#pragma once
// The octree of the fast summation: cells over a point set with each cell's
// points contiguous in a sorted order and a cell's children stored next to
// each other, and for source trees the far-field table, one row of
// kMomentStride floats per cell, kMomentStride4 with the hexadecapole (see
// fast_api.hpp for the offsets):
//   centre c: strength-weighted centroid; sigma_c^2 its weighted mean core^2
//   A_c   = sum alpha_c                      (monopole)
//   D_ic  = sum d_i alpha_c, d = x_p - c     (dipole); w_a = eps_abc D_bc
//   Q^c_ij = sum d_i d_j alpha_c / 2          (quadrupole), its trace, and
//   M_aj  = eps_abc Q^c_bj
//   N_c   = sum (sigma_p^2 - sigma_c^2) alpha_c (core-radius moment)
//   O^c_ijk = sum d_i d_j d_k alpha_c / 6     (octupole) and its traces and
//   curls (fast_api.hpp)
//   H^c_ijkl = sum d_i d_j d_k d_l alpha_c / 24 (hexadecapole), likewise
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "avec.hpp"
#include "common.hpp"
#include "fast_api.hpp"

namespace aerlox_rs::vpm::fast {

struct Cell {
  std::array<float, 3> centre{};  ///< expansion centre (sources) or centre of the points' box
  float radius = 0.0f;            ///< every point of the cell lies within radius of centre
  std::uint32_t first = 0;        ///< the cell's points are sorted entries [first, first + count)
  std::uint32_t count = 0;
  std::uint32_t child0 = 0;       ///< first child; n_children == 0 for a leaf
  std::uint32_t n_children = 0;
};

struct Octree {
  std::vector<Cell> cells;            ///< cells[0] is the root (none for no points)
  std::vector<std::uint32_t> order;   ///< order[k]: the input index of sorted point k
  std::vector<std::uint32_t> leaves;  ///< leaf cells, in sorted order
};

/// The octree of points (x, y, z) with at most leaf_capacity points per leaf
/// (more only where points coincide to within float resolution). Cell
/// centres are box centres and radii bound the points.
Octree build_octree(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                    std::size_t leaf_capacity);

/// Target groups: runs of `size` consecutive points of arrays already in
/// tree order (the last run shorter), each with its bounding sphere. Cutting
/// the order into equal runs instead of taking the leaves keeps every group
/// but the last a whole number of eight-lane blocks.
std::vector<Cell> target_groups(const float* x, const float* y, const float* z, std::size_t n, std::size_t size);

/// A particle field sorted into its octree, with the far-field table.
struct SourceTree {
  Octree tree;
  AVec<float> x, y, z, ax, ay, az, s2;  ///< sorted particles; s2 = sigma^2
  AVec<float> moments;                  ///< stride floats per cell
  std::size_t stride = kMomentStride;
  std::vector<float> strength;          ///< sum of |alpha| per cell

  /// The table carries the hexadecapole only for order 4 (it is costly to
  /// form and doubles the rows).
  static SourceTree build(const ParticleField& field, std::size_t leaf_capacity, int order = 3);
};

}  // namespace aerlox_rs::vpm::fast
