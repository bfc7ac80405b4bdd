// The scalar reference of the velocity kernels: plain loops, one source at a
// time, source p accumulated in lane p mod 8, lanes summed in order. It is
// written independently of the vector template so that tests can prove every
// vector table bit-identical to it.
#include <cmath>

#include "grad_combine.hpp"
#include "kernel_api.hpp"
#include "panic.hpp"

namespace aerlox_rs::vpm::kern {
namespace {

void accumulate_ref(const Lane8& xj, const Lane8& yj, const Lane8& zj, const Src& s, std::size_t c0,
                    std::size_t c1, Lane8& ux, Lane8& uy, Lane8& uz) {
  for (std::size_t p = c0 * 8; p < c1 * 8; ++p) {
    const std::size_t l = p % 8;
    const float dx = xj.v[l] - s.x[p];
    const float dy = yj.v[l] - s.y[p];
    const float dz = zj.v[l] - s.z[p];
    const float r2 = (dx * dx + dy * dy) + dz * dz;
    const float sg = s.sg[p];
    const float s2 = sg * sg;
    const float rho2 = r2 / s2;
    const float t = rho2 + 1.0f;
    const float den = (sg * s2) * ((t * t) * std::sqrt(t));
    const float f = (rho2 + 2.5f) / den;
    const float cx = dz * s.ay[p] - dy * s.az[p];
    const float cy = dx * s.az[p] - dz * s.ax[p];
    const float cz = dy * s.ax[p] - dx * s.ay[p];
    ux.v[l] = ux.v[l] + cx * f;
    uy.v[l] = uy.v[l] + cy * f;
    uz.v[l] = uz.v[l] + cz * f;
  }
}

float reduce_ref(const Lane8& a) {
  float s = a.v[0] * kInv4Pi;
  for (int i = 1; i < 8; ++i) s = s + a.v[i] * kInv4Pi;
  return s;
}

Lane8 splat(float a) {
  Lane8 r;
  for (float& v : r.v) v = a;
  return r;
}

Vel one_target(float x, float y, float z, const Src& s, std::size_t c0, std::size_t c1) {
  Lane8 ux = splat(0.0f), uy = ux, uz = ux;
  accumulate_ref(splat(x), splat(y), splat(z), s, c0, c1, ux, uy, uz);
  return Vel{reduce_ref(ux), reduce_ref(uy), reduce_ref(uz)};
}

void eval_targets_ref(const Src& src, const float* tx, const float* ty, const float* tz, std::size_t j0,
                      std::size_t j1, Vel* out) {
  for (std::size_t j = j0; j < j1; ++j) out[j] = one_target(tx[j], ty[j], tz[j], src, 0, src.n_chunks);
}

void eval_tree_ref(const TreeView& tree, const float* tx, const float* ty, const float* tz, std::size_t jj0,
                   std::size_t jj1, float theta2, ScratchView& sc, Vel* out, const std::uint32_t* order) {
  for (std::size_t jj = jj0; jj < jj1; ++jj) {
    const std::size_t j = order ? order[jj] : jj;
    const Lane8 xj = splat(tx[j]), yj = splat(ty[j]), zj = splat(tz[j]);
    Lane8 ux = splat(0.0f), uy = ux, uz = ux;
    sc.len = 0;
    std::size_t k = 0;
    while (k < tree.n_nodes) {
      const FlatNode& n = tree.nodes[k];
      const float ex = tx[j] - n.center[0], ey = ty[j] - n.center[1], ez = tz[j] - n.center[2];
      const float d2 = (ex * ex + ey * ey) + ez * ez;
      if (theta2 * d2 > n.four_half2) {
        if (sc.len >= sc.cap) index_failed(sc.cap, sc.len);
        sc.sx[sc.len] = n.center[0];
        sc.sy[sc.len] = n.center[1];
        sc.sz[sc.len] = n.center[2];
        sc.sax[sc.len] = n.sum_a[0];
        sc.say[sc.len] = n.sum_a[1];
        sc.saz[sc.len] = n.sum_a[2];
        sc.sg[sc.len] = n.sigma_rep;
        ++sc.len;
        k = n.escape;
      } else if (n.leaf_chunks != 0) {
        accumulate_ref(xj, yj, zj, tree.sorted, n.leaf_start / 8, n.leaf_start / 8 + n.leaf_chunks, ux, uy, uz);
        k = n.escape;
      } else {
        ++k;
      }
    }
    while (sc.len % 8 != 0) {
      if (sc.len >= sc.cap) index_failed(sc.cap, sc.len);
      sc.sx[sc.len] = sc.sy[sc.len] = sc.sz[sc.len] = 0.0f;
      sc.sax[sc.len] = sc.say[sc.len] = sc.saz[sc.len] = 0.0f;
      sc.sg[sc.len] = 1.0f;
      ++sc.len;
    }
    const Src far{sc.sx, sc.sy, sc.sz, sc.sax, sc.say, sc.saz, sc.sg, sc.len / 8, nullptr, nullptr, nullptr};
    accumulate_ref(xj, yj, zj, far, 0, far.n_chunks, ux, uy, uz);
    out[j] = Vel{reduce_ref(ux), reduce_ref(uy), reduce_ref(uz)};
  }
}

void quotients_ref(const float* a, const float* b, const float*, float* q, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) q[i] = a[i] / b[i];
}

// The gradient lane by lane: the velocity kernel's operations, then
// h = (3 rho2 + 10.5) / ((den t) s2) and the sums f alpha and h c d_m.
void eval_grad_ref(const Src& s, const float* tx, const float* ty, const float* tz, std::size_t j0, std::size_t j1,
                   Vel* vel, Grad* grad) {
  for (std::size_t j = j0; j < j1; ++j) {
    Lane8 u[3], fa[3], hcd[9];
    for (Lane8& v : u) v = splat(0.0f);
    for (Lane8& v : fa) v = splat(0.0f);
    for (Lane8& v : hcd) v = splat(0.0f);
    for (std::size_t p = 0; p < s.n_chunks * 8; ++p) {
      const std::size_t l = p % 8;
      const float d[3] = {tx[j] - s.x[p], ty[j] - s.y[p], tz[j] - s.z[p]};
      const float r2 = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
      const float sg = s.sg[p];
      const float s2 = sg * sg;
      const float rho2 = r2 / s2;
      const float t = rho2 + 1.0f;
      const float den = (sg * s2) * ((t * t) * std::sqrt(t));
      const float f = (rho2 + 2.5f) / den;
      const float h = (rho2 * 3.0f + 10.5f) / ((den * t) * s2);
      const float al[3] = {s.ax[p], s.ay[p], s.az[p]};
      const float c[3] = {d[2] * al[1] - d[1] * al[2], d[0] * al[2] - d[2] * al[0], d[1] * al[0] - d[0] * al[1]};
      for (int i = 0; i < 3; ++i) {
        u[i].v[l] = u[i].v[l] + c[i] * f;
        fa[i].v[l] = fa[i].v[l] + al[i] * f;
        const float hc = c[i] * h;
        for (int m = 0; m < 3; ++m) hcd[3 * i + m].v[l] = hcd[3 * i + m].v[l] + hc * d[m];
      }
    }
    float fs[3], hs[9];
    for (int i = 0; i < 3; ++i) fs[i] = reduce_ref(fa[i]);
    for (int k = 0; k < 9; ++k) hs[k] = reduce_ref(hcd[k]);
    vel[j] = Vel{reduce_ref(u[0]), reduce_ref(u[1]), reduce_ref(u[2])};
    grad[j] = grad_combine(fs, hs);
  }
}

}  // namespace

extern const Table table_scalar = {"scalar",       &accumulate_ref, &eval_targets_ref, &eval_tree_ref,
                                   &quotients_ref, 1,               &eval_grad_ref};

}  // namespace aerlox_rs::vpm::kern
