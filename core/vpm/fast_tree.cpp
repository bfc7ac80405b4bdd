// The fast summation's octree: built breadth first so that a cell's children
// are adjacent, points partitioned stably so that the build is the same on
// every run, and the far-field table formed in double precision: leaves from
// their particles, inner cells from their children shifted to their centre.
#include "fast_tree.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "panic.hpp"
#include "pool.hpp"

namespace aerlox_rs::vpm::fast {

namespace {

// Cells stop halving at this depth: only coincident points get that far.
constexpr unsigned kMaxDepth = 40;

struct Box {
  float c[3];
  float half;
  unsigned depth;
};

// Centre of the bounding box of points first..first+count (through idx,
// which maps a sorted position to the arrays' index) and the largest
// distance from it.
template <class Index>
void bound_points(Cell& cell, const float* x, const float* y, const float* z, Index idx) {
  float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (std::uint32_t k = cell.first; k < cell.first + cell.count; ++k) {
    const std::size_t i = idx(k);
    const float p[3] = {x[i], y[i], z[i]};
    for (int d = 0; d < 3; ++d) {
      lo[d] = std::min(lo[d], p[d]);
      hi[d] = std::max(hi[d], p[d]);
    }
  }
  for (int d = 0; d < 3; ++d) cell.centre[d] = 0.5f * (lo[d] + hi[d]);
  double r2 = 0.0;
  for (std::uint32_t k = cell.first; k < cell.first + cell.count; ++k) {
    const std::size_t i = idx(k);
    const double dx = double(x[i]) - cell.centre[0], dy = double(y[i]) - cell.centre[1],
                 dz = double(z[i]) - cell.centre[2];
    r2 = std::max(r2, dx * dx + dy * dy + dz * dz);
  }
  // Rounded up so that the float radius still bounds every point.
  cell.radius = static_cast<float>(std::sqrt(r2)) * (1.0f + 1e-6f);
}

void bound_cell(Cell& cell, const float* x, const float* y, const float* z, const std::uint32_t* order) {
  bound_points(cell, x, y, z, [order](std::uint32_t k) { return std::size_t{order[k]}; });
}

}  // namespace

Octree build_octree(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                    std::size_t leaf_capacity) {
  const std::size_t n = x.size();
  AERLOX_ASSERT(y.size() >= n && z.size() >= n && leaf_capacity > 0);
  AERLOX_ASSERT_MSG(n < (std::size_t{1} << 32), "fewer than 2^32 points");
  Octree t;
  if (n == 0) return t;
  t.order.resize(n);
  std::iota(t.order.begin(), t.order.end(), 0u);
  float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (std::size_t i = 0; i < n; ++i) {
    const float p[3] = {x[i], y[i], z[i]};
    for (int d = 0; d < 3; ++d) {
      lo[d] = std::min(lo[d], p[d]);
      hi[d] = std::max(hi[d], p[d]);
    }
  }
  float half = 0.0f;
  Box root{{0, 0, 0}, 0, 0};
  for (int d = 0; d < 3; ++d) {
    root.c[d] = 0.5f * (lo[d] + hi[d]);
    half = std::max(half, 0.5f * (hi[d] - lo[d]));
  }
  root.half = half * (1.0f + 1e-6f);
  std::vector<Box> box{root};
  t.cells.push_back(Cell{{}, 0.0f, 0, static_cast<std::uint32_t>(n), 0, 0});
  std::vector<std::uint32_t> spare(n);
  std::vector<std::uint8_t> code(n);
  for (std::size_t k = 0; k < t.cells.size(); ++k) {
    const Cell cell = t.cells[k];
    const Box bx = box[k];
    if (cell.count <= leaf_capacity || bx.depth >= kMaxDepth || !(bx.half > 0.0f)) continue;
    std::uint32_t counts[8] = {};
    for (std::uint32_t m = cell.first; m < cell.first + cell.count; ++m) {
      const std::uint32_t i = t.order[m];
      const unsigned o = (x[i] >= bx.c[0] ? 1u : 0u) | (y[i] >= bx.c[1] ? 2u : 0u) | (z[i] >= bx.c[2] ? 4u : 0u);
      code[m] = static_cast<std::uint8_t>(o);
      counts[o] = counts[o] + 1;
    }
    std::uint32_t start[8];
    std::uint32_t s = 0;
    for (int o = 0; o < 8; ++o) {
      start[o] = s;
      s += counts[o];
    }
    std::uint32_t fill[8];
    std::copy(start, start + 8, fill);
    for (std::uint32_t m = cell.first; m < cell.first + cell.count; ++m) spare[fill[code[m]]++] = t.order[m];
    std::copy(spare.begin(), spare.begin() + cell.count, t.order.begin() + cell.first);
    t.cells[k].child0 = static_cast<std::uint32_t>(t.cells.size());
    const float h2 = 0.5f * bx.half;
    for (unsigned o = 0; o < 8; ++o) {
      if (counts[o] == 0) continue;
      t.cells.push_back(Cell{{}, 0.0f, cell.first + start[o], counts[o], 0, 0});
      box.push_back(Box{{bx.c[0] + (o & 1u ? h2 : -h2), bx.c[1] + (o & 2u ? h2 : -h2), bx.c[2] + (o & 4u ? h2 : -h2)},
                        h2, bx.depth + 1});
      t.cells[k].n_children = t.cells[k].n_children + 1;
    }
  }
  const float* px = x.data();
  const float* py = y.data();
  const float* pz = z.data();
  const std::uint32_t* ord = t.order.data();
  Cell* cells = t.cells.data();
  pool::parallel_for(t.cells.size(), [&](std::size_t b, std::size_t e, std::size_t) {
    for (std::size_t k = b; k < e; ++k) bound_cell(cells[k], px, py, pz, ord);
  });
  for (std::size_t k = 0; k < t.cells.size(); ++k)
    if (t.cells[k].n_children == 0) t.leaves.push_back(static_cast<std::uint32_t>(k));
  std::sort(t.leaves.begin(), t.leaves.end(),
            [&](std::uint32_t a, std::uint32_t b) { return t.cells[a].first < t.cells[b].first; });
  return t;
}

std::vector<Cell> target_groups(const float* x, const float* y, const float* z, std::size_t n,
                                std::size_t size) {
  AERLOX_ASSERT(size > 0 && n < (std::size_t{1} << 32));
  std::vector<Cell> groups((n + size - 1) / size);
  pool::parallel_for(groups.size(), [&](std::size_t b, std::size_t e, std::size_t) {
    for (std::size_t g = b; g < e; ++g) {
      groups[g].first = static_cast<std::uint32_t>(g * size);
      groups[g].count = static_cast<std::uint32_t>(std::min(size, n - g * size));
      bound_points(groups[g], x, y, z, [](std::uint32_t k) { return std::size_t{k}; });
    }
  });
  return groups;
}

namespace {

// Monomial m of the octupole's order (xxx yyy zzz xxy xxz xyy yyz xzz yzz
// xyz) as axis indices, and how often it occurs in a symmetric form.
constexpr int kCubic[10][3] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {0, 0, 1}, {0, 0, 2},
                               {0, 1, 1}, {1, 1, 2}, {0, 2, 2}, {1, 2, 2}, {0, 1, 2}};
constexpr double kCubicMult[10] = {1, 1, 1, 3, 3, 3, 3, 3, 3, 6};
// The same for quadratic forms (xx yy zz xy xz yz).
constexpr int kQuad[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
constexpr double kQuadMult[6] = {1, 1, 1, 2, 2, 2};
// Index of the quadratic monomial x_i x_j in kQuad's order.
constexpr int kSym[3][3] = {{0, 3, 4}, {3, 1, 5}, {4, 5, 2}};
// And for quartic ones (xxxx yyyy zzzz xxxy xxxz xyyy yyyz xzzz yzzz xxyy
// xxzz yyzz xxyz xyyz xyzz), the order the kernels form them in.
constexpr int kQuartic[15][4] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 2, 2}, {0, 0, 0, 1}, {0, 0, 0, 2},
                                 {0, 1, 1, 1}, {1, 1, 1, 2}, {0, 2, 2, 2}, {1, 2, 2, 2}, {0, 0, 1, 1},
                                 {0, 0, 2, 2}, {1, 1, 2, 2}, {0, 0, 1, 2}, {0, 1, 1, 2}, {0, 1, 2, 2}};
constexpr double kQuarticMult[15] = {1, 1, 1, 4, 4, 4, 4, 4, 4, 6, 6, 6, 12, 12, 12};

// Index of a monomial given by its axis counts (nx, ny, nz) in a table of
// n monomials of one degree.
template <int D>
constexpr int monomial(const int (*table)[D], int n, int nx, int ny, int nz) {
  for (int m = 0; m < n; ++m) {
    int c[3] = {0, 0, 0};
    for (int q = 0; q < D; ++q) ++c[table[m][q]];
    if (c[0] == nx && c[1] == ny && c[2] == nz) return m;
  }
  return -1;
}
// kCub[i][j][k]: index of x_i x_j x_k in kCubic; kQrt likewise in kQuartic.
struct MonomialIndex {
  int cub[3][3][3];
  int qrt[3][3][3][3];
};
constexpr MonomialIndex make_index() {
  MonomialIndex t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) {
        int c[3] = {0, 0, 0};
        ++c[i], ++c[j], ++c[k];
        t.cub[i][j][k] = monomial<3>(kCubic, 10, c[0], c[1], c[2]);
        for (int l = 0; l < 3; ++l) {
          int e[3] = {c[0], c[1], c[2]};
          ++e[l];
          t.qrt[i][j][k][l] = monomial<4>(kQuartic, 15, e[0], e[1], e[2]);
        }
      }
  return t;
}
constexpr MonomialIndex kIdx = make_index();

// O^c_ijk from its ten distinct entries O[10 c + m].
double oct(const double* O, int c, int i, int j, int k) { return O[10 * c + kIdx.cub[i][j][k]]; }
// H^c_ijkl from its fifteen distinct entries H[15 c + m].
double hex(const double* H, int c, int i, int j, int k, int l) { return H[15 * c + kIdx.qrt[i][j][k][l]]; }

// The octupole's rows of the far-field table (fast_api.hpp) from its
// distinct entries, summed in double.
void octupole_rows(const double* O, float* row) {
  double T[9] = {};
  for (int c = 0; c < 3; ++c)
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < 3; ++i) T[3 * c + k] += oct(O, c, i, i, k);
  // eps_abc X_bc for (a, b, c) cyclic: a = 0: X_12 - X_21, and so on.
  static constexpr int kCyc[3][2] = {{1, 2}, {2, 0}, {0, 1}};
  for (int a = 0; a < 3; ++a) {
    const int b = kCyc[a][0], c = kCyc[a][1];
    row[kMoWT + a] = static_cast<float>(3.0 * (T[3 * c + b] - T[3 * b + c]));
    for (int m = 0; m < 6; ++m) {
      const int j = kQuad[m][0], k = kQuad[m][1];
      const double p = oct(O, c, b, j, k) - oct(O, b, c, j, k);
      row[kMoP + 6 * a + m] = static_cast<float>(3.0 * kQuadMult[m] * p);
    }
  }
  for (int i = 0; i < 9; ++i) row[kMoT + i] = static_cast<float>(3.0 * T[i]);
  for (int c = 0; c < 3; ++c)
    for (int m = 0; m < 10; ++m) row[kMoO + 10 * c + m] = static_cast<float>(kCubicMult[m] * O[10 * c + m]);
}

// The hexadecapole's rows from its distinct entries (with its 1/24): its
// full trace, its trace K^c_kl = H^c_iikl, itself, and the curls the
// velocity takes of K and H.
void hexadecapole_rows(const double* H, float* row) {
  double K[3][6] = {};
  for (int c = 0; c < 3; ++c) {
    double h0 = 0;
    for (int m = 0; m < 6; ++m)
      for (int i = 0; i < 3; ++i) K[c][m] += hex(H, c, i, i, kQuad[m][0], kQuad[m][1]);
    for (int i = 0; i < 3; ++i) h0 += K[c][i];
    row[kMoH0 + c] = static_cast<float>(3.0 * h0);
    for (int m = 0; m < 6; ++m) row[kMoK + 6 * c + m] = static_cast<float>(6.0 * kQuadMult[m] * K[c][m]);
    for (int m = 0; m < 15; ++m) row[kMoH + 15 * c + m] = static_cast<float>(kQuarticMult[m] * H[15 * c + m]);
  }
  static constexpr int kCyc[3][2] = {{1, 2}, {2, 0}, {0, 1}};
  for (int a = 0; a < 3; ++a) {
    const int b = kCyc[a][0], c = kCyc[a][1];
    for (int j = 0; j < 3; ++j)
      row[kMoKW + 3 * a + j] = static_cast<float>(12.0 * (K[c][kSym[b][j]] - K[b][kSym[c][j]]));
    for (int m = 0; m < 10; ++m) {
      const int j = kCubic[m][0], k = kCubic[m][1], l = kCubic[m][2];
      const double p = hex(H, c, b, j, k, l) - hex(H, b, c, j, k, l);
      row[kMoHW + 10 * a + m] = static_cast<float>(4.0 * kCubicMult[m] * p);
    }
  }
}

// A cell's expansion in double precision before it is rounded into its row:
// the weights that place the centre, and the moments about that centre (the
// quadrupole with its 1/2, the octupole still without its 1/6).
struct Moments {
  double W = 0, Wp[3] = {0, 0, 0}, Ws = 0, S2 = 0;  // sums of w, w x, w sigma^2, sigma^2
  double c[3] = {0, 0, 0}, s2c = 0;
  double A[3] = {0, 0, 0}, D[9] = {}, Q[18] = {}, N[3] = {0, 0, 0}, O[30] = {};
  double* H = nullptr;  // 45 entries: the hexadecapole without its 1/24, when the table carries it
};

// The centre from the weights; a cell without strength keeps its box centre
// and takes its plain mean core size.
void place_centre(Moments& m, const Cell& cell) {
  if (m.W > 0) {
    for (int d = 0; d < 3; ++d) m.c[d] = m.Wp[d] / m.W;
    m.s2c = m.Ws / m.W;
  } else {
    for (int d = 0; d < 3; ++d) m.c[d] = cell.centre[d];
    m.s2c = m.S2 / cell.count;
  }
}

// A leaf's expansion from its sorted particles, summed in sorted order.
void leaf_moments(const SourceTree& s, const Cell& cell, Moments& m, bool hex) {
  const std::uint32_t b = cell.first, e = cell.first + cell.count;
  for (std::uint32_t k = b; k < e; ++k) {
    const double a[3] = {s.ax[k], s.ay[k], s.az[k]};
    const double w = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    m.W += w;
    m.Wp[0] += w * s.x[k];
    m.Wp[1] += w * s.y[k];
    m.Wp[2] += w * s.z[k];
    m.Ws += w * s.s2[k];
    m.S2 += s.s2[k];
  }
  place_centre(m, cell);
  const double* c = m.c;
  for (std::uint32_t k = b; k < e; ++k) {
    const double a[3] = {s.ax[k], s.ay[k], s.az[k]};
    const double d[3] = {s.x[k] - c[0], s.y[k] - c[1], s.z[k] - c[2]};
    const double ds = s.s2[k] - m.s2c;
    const double dd[6] = {d[0] * d[0], d[1] * d[1], d[2] * d[2], d[0] * d[1], d[0] * d[2], d[1] * d[2]};
    const double ddd[10] = {dd[0] * d[0], dd[1] * d[1], dd[2] * d[2], dd[0] * d[1], dd[0] * d[2],
                            dd[1] * d[0], dd[1] * d[2], dd[2] * d[0], dd[2] * d[1], dd[3] * d[2]};
    for (int cc = 0; cc < 3; ++cc) {
      for (int n = 0; n < 10; ++n) m.O[10 * cc + n] += ddd[n] * a[cc];
      m.A[cc] += a[cc];
      m.N[cc] += ds * a[cc];
      for (int i = 0; i < 3; ++i) m.D[3 * i + cc] += d[i] * a[cc];
      for (int n = 0; n < 6; ++n) m.Q[6 * cc + n] += 0.5 * dd[n] * a[cc];
    }
    if (hex) {
      const double d4[15] = {dd[0] * dd[0],  dd[1] * dd[1],  dd[2] * dd[2], ddd[0] * d[1], ddd[0] * d[2],
                             ddd[1] * d[0],  ddd[1] * d[2],  ddd[2] * d[0], ddd[2] * d[1], dd[0] * dd[1],
                             dd[0] * dd[2],  dd[1] * dd[2],  dd[0] * dd[5], dd[1] * dd[4], dd[2] * dd[3]};
      for (int cc = 0; cc < 3; ++cc)
        for (int n = 0; n < 15; ++n) m.H[15 * cc + n] += d4[n] * a[cc];
    }
  }
}

// The hexadecapole's part of add_shifted: each of the sixteen ways to take
// the offsets of x_i x_j x_k x_l from d' or h, with the child's raw moments
// (its Q carries a 1/2, its O and H none).
void add_shifted_hex(Moments& m, const Moments& k, const double* h) {
  for (int cc = 0; cc < 3; ++cc) {
    const double* O = k.O + 10 * cc;
    const double* Q = k.Q + 6 * cc;
    for (int n = 0; n < 15; ++n) {
      const int* x = kQuartic[n];
      double third = 0, second = 0, first = 0;
      for (int p = 0; p < 4; ++p) {
        // x_p from h, the other three from d'.
        const int r[3] = {x[(p + 1) % 4], x[(p + 2) % 4], x[(p + 3) % 4]};
        third += h[x[p]] * O[kIdx.cub[r[0]][r[1]][r[2]]];
        // x_p from d', the other three from h.
        first += h[r[0]] * h[r[1]] * h[r[2]] * k.D[3 * x[p] + cc];
      }
      for (int p = 0; p < 4; ++p)
        for (int q = p + 1; q < 4; ++q) {
          // x_p and x_q from h, the other two from d'.
          int r[2], nr = 0;
          for (int t = 0; t < 4; ++t)
            if (t != p && t != q) r[nr++] = x[t];
          second += h[x[p]] * h[x[q]] * Q[kSym[r[0]][r[1]]];
        }
      m.H[15 * cc + n] += k.H[15 * cc + n] + third + 2.0 * second + first + h[x[0]] * h[x[1]] * h[x[2]] * h[x[3]] * k.A[cc];
    }
  }
}

// Adds child moments k, taken about k.c, to m about m.c: with h = k.c - m.c
// each particle's offset is d = d' + h, and the binomial expansion of the
// products gives the parent's moments exactly from the child's lower ones.
void add_shifted(Moments& m, const Moments& k, bool hex) {
  const double h[3] = {k.c[0] - m.c[0], k.c[1] - m.c[1], k.c[2] - m.c[2]};
  const double ds = k.s2c - m.s2c;
  for (int cc = 0; cc < 3; ++cc) {
    const double a = k.A[cc];
    const double* D = k.D;
    const double* Q = k.Q + 6 * cc;
    m.A[cc] += a;
    m.N[cc] += k.N[cc] + ds * a;
    for (int i = 0; i < 3; ++i) m.D[3 * i + cc] += k.D[3 * i + cc] + h[i] * a;
    for (int n = 0; n < 6; ++n) {
      const int i = kQuad[n][0], j = kQuad[n][1];
      m.Q[6 * cc + n] += Q[n] + 0.5 * (h[i] * D[3 * j + cc] + h[j] * D[3 * i + cc]) + 0.5 * h[i] * h[j] * a;
    }
    for (int n = 0; n < 10; ++n) {
      const int i = kCubic[n][0], j = kCubic[n][1], l = kCubic[n][2];
      const double second = h[i] * Q[kSym[j][l]] + h[j] * Q[kSym[i][l]] + h[l] * Q[kSym[i][j]];
      const double first = h[i] * h[j] * D[3 * l + cc] + h[i] * h[l] * D[3 * j + cc] + h[j] * h[l] * D[3 * i + cc];
      m.O[10 * cc + n] += k.O[10 * cc + n] + 2.0 * second + first + h[i] * h[j] * h[l] * a;
    }
  }
  if (hex) add_shifted_hex(m, k, h);
}

// An inner cell's expansion from its children's, in child order.
void parent_moments(const Moments* all, const Cell& cell, Moments& m, bool hex) {
  const Moments* kids = all + cell.child0;
  for (std::uint32_t q = 0; q < cell.n_children; ++q) {
    m.W += kids[q].W;
    for (int d = 0; d < 3; ++d) m.Wp[d] += kids[q].Wp[d];
    m.Ws += kids[q].Ws;
    m.S2 += kids[q].S2;
  }
  place_centre(m, cell);
  for (std::uint32_t q = 0; q < cell.n_children; ++q) add_shifted(m, kids[q], hex);
}

// The largest distance from the expansion centre to the cell's particles.
double reach2(const SourceTree& s, const Cell& cell, const double* c) {
  double r2max = 0;
  for (std::uint32_t k = cell.first; k < cell.first + cell.count; ++k) {
    const double d[3] = {s.x[k] - c[0], s.y[k] - c[1], s.z[k] - c[2]};
    r2max = std::max(r2max, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  }
  return r2max;
}

// The cell's row of the far-field table (see fast_tree.hpp), its centre,
// radius and strength.
void write_row(const SourceTree& s, Cell& cell, const Moments& mo, float* row, float& strength) {
  const bool hex = s.stride == kMomentStride4;
  const double* c = mo.c;
  const double* D = mo.D;
  const double* Q = mo.Q;
  // eps_abc T_bc for a 3x3 T stored at 3b + c.
  const auto curl = [](const double* T, double* out) {
    out[0] = T[3 * 1 + 2] - T[3 * 2 + 1];
    out[1] = T[3 * 2 + 0] - T[3 * 0 + 2];
    out[2] = T[3 * 0 + 1] - T[3 * 1 + 0];
  };
  double w[3];
  curl(D, w);
  // M_aj = eps_abc Q^c_bj: for each j, the curl of T_bc = Q^c_bj.
  double M[9];
  for (int j = 0; j < 3; ++j) {
    double T[9], o[3];
    for (int bb = 0; bb < 3; ++bb)
      for (int cc = 0; cc < 3; ++cc) T[3 * bb + cc] = Q[6 * cc + kSym[bb][j]];
    curl(T, o);
    for (int a = 0; a < 3; ++a) M[3 * a + j] = o[a];
  }
  for (std::size_t i = 0; i < s.stride; ++i) row[i] = 0.0f;
  for (int d = 0; d < 3; ++d) {
    row[kMoC + d] = static_cast<float>(c[d]);
    row[kMoA + d] = static_cast<float>(mo.A[d]);
    row[kMoW + d] = static_cast<float>(w[d]);
    row[kMoTrQ + d] = static_cast<float>(Q[6 * d] + Q[6 * d + 1] + Q[6 * d + 2]);
    row[kMoN + d] = static_cast<float>(mo.N[d]);
  }
  row[kMoC + 3] = static_cast<float>(mo.s2c);
  for (int i = 0; i < 9; ++i) {
    row[kMoD + i] = static_cast<float>(D[i]);
    row[kMoM + i] = static_cast<float>(M[i]);
  }
  for (int i = 0; i < 18; ++i) row[kMoQ + i] = static_cast<float>(Q[i]);
  double O[30];
  for (int i = 0; i < 30; ++i) O[i] = mo.O[i] / 6.0;  // the sums leave out the 1/6
  octupole_rows(O, row);
  if (hex) {
    double H[45];
    for (int i = 0; i < 45; ++i) H[i] = mo.H[i] / 24.0;
    hexadecapole_rows(H, row);
  }
  for (int d = 0; d < 3; ++d) cell.centre[d] = static_cast<float>(c[d]);
  cell.radius = static_cast<float>(std::sqrt(reach2(s, cell, c))) * (1.0f + 1e-6f);
  strength = static_cast<float>(mo.W);
}

AVec<float> gather(const AVec<float>& v, const std::vector<std::uint32_t>& order) {
  AVec<float> out = AVec<float>::filled(order.size(), 0.0f);
  for (std::size_t k = 0; k < order.size(); ++k) out[k] = v[order[k]];
  return out;
}

}  // namespace

SourceTree SourceTree::build(const ParticleField& field, std::size_t leaf_capacity, int order) {
  SourceTree s;
  const bool hex = order >= 4;
  s.stride = hex ? kMomentStride4 : kMomentStride;
  s.tree = build_octree(field.px, field.py, field.pz, leaf_capacity);
  const auto& ord = s.tree.order;
  s.x = gather(field.px, ord);
  s.y = gather(field.py, ord);
  s.z = gather(field.pz, ord);
  s.ax = gather(field.ax, ord);
  s.ay = gather(field.ay, ord);
  s.az = gather(field.az, ord);
  s.s2 = AVec<float>::filled(ord.size(), 0.0f);
  for (std::size_t k = 0; k < ord.size(); ++k) s.s2[k] = field.sigma[ord[k]] * field.sigma[ord[k]];
  const std::size_t nc = s.tree.cells.size();
  s.moments = AVec<float>::filled(nc * s.stride, 0.0f);
  s.strength.assign(nc, 0.0f);
  // Leaves from their particles, then each level from the one below it
  // (children follow their parent in the breadth-first order, so a reverse
  // sweep meets every child first), then the rows. Each cell's sums run in a
  // fixed order, so the table does not depend on the worker count.
  std::vector<Moments> mo(nc);
  std::vector<double> hex_sums(hex ? 45 * nc : 0, 0.0);
  if (hex)
    for (std::size_t k = 0; k < nc; ++k) mo[k].H = hex_sums.data() + 45 * k;
  auto& cells = s.tree.cells;
  pool::parallel_for(nc, [&](std::size_t b, std::size_t e, std::size_t) {
    for (std::size_t k = b; k < e; ++k)
      if (cells[k].n_children == 0) leaf_moments(s, cells[k], mo[k], hex);
  });
  for (std::size_t k = nc; k-- > 0;)
    if (cells[k].n_children > 0) parent_moments(mo.data(), cells[k], mo[k], hex);
  pool::parallel_for(nc, [&](std::size_t b, std::size_t e, std::size_t) {
    for (std::size_t k = b; k < e; ++k) write_row(s, cells[k], mo[k], s.moments.data() + k * s.stride, s.strength[k]);
  });
  return s;
}

}  // namespace aerlox_rs::vpm::fast
