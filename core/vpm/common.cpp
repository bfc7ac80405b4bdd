#include "common.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "cpu_state.hpp"
#include "panic.hpp"
#include "pool.hpp"

#if defined(__x86_64__)
#define AERLOX_VPM_X86 1
#else
#define AERLOX_VPM_X86 0
#endif

namespace aerlox_rs::vpm {

// ---------------------------------------------------------------------------
// Storage

ParticleField ParticleField::with_capacity(std::size_t n) {
  ParticleField f;
  for (AVec<float>* a : {&f.px, &f.py, &f.pz, &f.ax, &f.ay, &f.az, &f.sigma}) a->reserve_exact(n);
  return f;
}

void ParticleField::push(std::array<float, 3> pos, std::array<float, 3> alpha, float s) {
  px.push_back(pos[0]);
  py.push_back(pos[1]);
  pz.push_back(pos[2]);
  ax.push_back(alpha[0]);
  ay.push_back(alpha[1]);
  az.push_back(alpha[2]);
  sigma.push_back(s);
}

Scratch Scratch::with_capacity(std::size_t cap) {
  const std::size_t cap8 = cap % 8 == 0 ? cap : cap + 8 - cap % 8;
  Scratch s;
  s.sx = AVec<float>::filled(cap8, 0.0f);
  s.sy = AVec<float>::filled(cap8, 0.0f);
  s.sz = AVec<float>::filled(cap8, 0.0f);
  s.sax = AVec<float>::filled(cap8, 0.0f);
  s.say = AVec<float>::filled(cap8, 0.0f);
  s.saz = AVec<float>::filled(cap8, 0.0f);
  s.sg = AVec<float>::filled(cap8, 1.0f);
  return s;
}

void Scratch::push(float x, float y, float z, float a_x, float a_y, float a_z, float g) {
  if (len >= capacity()) index_failed(capacity(), len);
  sx[len] = x;
  sy[len] = y;
  sz[len] = z;
  sax[len] = a_x;
  say[len] = a_y;
  saz[len] = a_z;
  sg[len] = g;
  ++len;
}

void Scratch::pad_to_8() {
  while (len % 8 != 0) push(0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
}

namespace {

bool aligned32(const float* p) { return reinterpret_cast<std::uintptr_t>(p) % 32 == 0; }

ChunkSpan chunk_span(std::span<const float> v) {
  AERLOX_ASSERT_MSG(aligned32(v.data()), "chunk array starts on a 32-byte boundary");
  AERLOX_ASSERT_MSG(v.size() % 8 == 0, "chunk array length is a multiple of 8");
  return ChunkSpan{v.data(), v.size() / 8};
}

kern::Src src_of(const Chunks& c, std::size_t n_chunks) {
  return kern::Src{c.x.ptr, c.y.ptr, c.z.ptr, c.ax.ptr, c.ay.ptr, c.az.ptr, c.sg.ptr, n_chunks,
                   nullptr, nullptr, nullptr};
}

}  // namespace

Chunks Chunks::from_slices(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                           std::span<const float> ax, std::span<const float> ay, std::span<const float> az,
                           std::span<const float> sg) {
  return Chunks{chunk_span(x),  chunk_span(y),  chunk_span(z), chunk_span(ax),
                chunk_span(ay), chunk_span(az), chunk_span(sg)};
}

Chunks Chunks::from_avecs(const AVec<float>& x, const AVec<float>& y, const AVec<float>& z,
                          const AVec<float>& ax, const AVec<float>& ay, const AVec<float>& az,
                          const AVec<float>& sg) {
  return from_slices(x.span(), y.span(), z.span(), ax.span(), ay.span(), az.span(), sg.span());
}

std::pair<float, float> simd_min_max(std::span<const float> v) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::size_t whole = v.size() / 8 * 8;
  if (whole > 0) AERLOX_ASSERT_MSG(aligned32(v.data()), "slice starts on a 32-byte boundary");
  // Comparisons with NaN are false, so a NaN never replaces a lane's value.
  float lmin[8], lmax[8];
  for (int l = 0; l < 8; ++l) {
    lmin[l] = kInf;
    lmax[l] = -kInf;
  }
  for (std::size_t i = 0; i < whole; i += 8)
    for (std::size_t l = 0; l < 8; ++l) {
      const float a = v[i + l];
      lmin[l] = a < lmin[l] ? a : lmin[l];
      lmax[l] = a > lmax[l] ? a : lmax[l];
    }
  float mn = kInf, mx = -kInf;
  for (int l = 0; l < 8; ++l) {
    mn = lmin[l] < mn ? lmin[l] : mn;
    mx = lmax[l] > mx ? lmax[l] : mx;
  }
  for (std::size_t i = whole; i < v.size(); ++i) {
    mn = v[i] < mn ? v[i] : mn;
    mx = v[i] > mx ? v[i] : mx;
  }
  return {mn, mx};
}

AVec<float> padded_copy(std::span<const float> v, float fill) {
  const std::size_t n_pad = (v.size() + 7) / 8 * 8;
  return AVec<float>::padded(v, n_pad, fill);
}

// ---------------------------------------------------------------------------
// Instruction-set selection

namespace {

const kern::Table* table_of(Isa isa) {
  switch (isa) {
    case Isa::Scalar: return &kern::table_scalar;
    case Isa::Baseline: return &kern::table_baseline;
#if AERLOX_VPM_X86
    case Isa::Avx2: return &kern::table_avx2;
    case Isa::Avx512: return &kern::table_avx512;
#else
    case Isa::Avx2:
    case Isa::Avx512: break;
#endif
  }
  return &kern::table_baseline;
}

bool cpu_has(Isa isa) {
#if AERLOX_VPM_X86
  __builtin_cpu_init();
  switch (isa) {
    case Isa::Scalar:
    case Isa::Baseline: return true;
    case Isa::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }
  return false;
#else
  return isa == Isa::Scalar || isa == Isa::Baseline;
#endif
}

// CPU seconds of the calling thread.
double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// One way to run the direct sum: an instruction set, and whether r2/s2 comes
// from the reciprocal (only where exact; same bits either way).
struct Path {
  Isa isa;
  bool reciprocal;
};

// The fastest of the candidates on this machine: a short calibration of the
// direct sum (some 0.3 M interactions per candidate and round, three rounds
// interleaved, thread CPU time, best round counts), about 2 ms in all. Every
// candidate gives the same bits, so the choice only decides the speed. Which
// wins depends on the processor: where the divider is the bottleneck the
// reciprocal quotient wins, where the multiply pipes are (the divider shares
// one of them on some cores) the division does; where the wide divider clocks
// the core down the narrower registers win.
Path calibrate(const std::vector<Path>& candidates) {
  if (candidates.size() == 1) return candidates[0];
  constexpr std::size_t kSrc = 512, kTgt = 600;
  AVec<float> x, y, z, ax, ay, az, sg;
  std::vector<float> tx, ty, tz;
  std::uint32_t h = 12345u;
  const auto rnd = [&h] {
    h = h * 1664525u + 1013904223u;
    return float(h >> 8) / float(1u << 24);
  };
  for (std::size_t i = 0; i < kSrc; ++i) {
    x.push_back(rnd());
    y.push_back(rnd());
    z.push_back(rnd());
    ax.push_back(rnd() - 0.5f);
    ay.push_back(rnd() - 0.5f);
    az.push_back(rnd() - 0.5f);
    sg.push_back(0.05f + 0.05f * rnd());
  }
  for (std::size_t j = 0; j < kTgt; ++j) {
    tx.push_back(rnd());
    ty.push_back(rnd());
    tz.push_back(rnd());
  }
  const SourceFactors fac = SourceFactors::of(sg);
  std::vector<Vel> out(kTgt);
  std::vector<double> best(candidates.size(), 1e300);
  for (int round = 0; round < 3; ++round)
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      const kern::Src src{x.data(),       y.data(),       z.data(),
                          ax.data(),      ay.data(),      az.data(),
                          sg.data(),      kSrc / 8,       fac.s2.data(),
                          fac.s3.data(),  candidates[c].reciprocal ? fac.rs2.data() : nullptr};
      const kern::Table& k = *table_of(candidates[c].isa);
      const double t0 = thread_cpu_seconds();
      k.eval_targets(src, tx.data(), ty.data(), tz.data(), 0, kTgt, out.data());
      best[c] = std::min(best[c], thread_cpu_seconds() - t0);
    }
  std::size_t pick = 0;
  for (std::size_t c = 1; c < candidates.size(); ++c)
    if (best[c] < best[pick]) pick = c;
  return candidates[pick];
}

std::optional<Isa> isa_from_name(std::string_view name) {
  for (Isa isa : {Isa::Scalar, Isa::Baseline, Isa::Avx2, Isa::Avx512})
    if (name == kern_isa_name(isa)) return isa;
  return std::nullopt;
}

// AERLOX_VPM_ISA names a supported instruction set to use instead of the
// calibrated choice, AERLOX_VPM_QUOTIENT (divide, reciprocal) the quotient
// (for benchmarks and tests); anything else is ignored.
Path best_path() {
  std::optional<bool> recip;
  if (const char* q = std::getenv("AERLOX_VPM_QUOTIENT")) {
    if (std::string_view(q) == "divide") recip = false;
    if (std::string_view(q) == "reciprocal") recip = true;
  }
  std::vector<Isa> isas;
  if (const char* env = std::getenv("AERLOX_VPM_ISA")) {
    const std::optional<Isa> forced = isa_from_name(env);
    if (forced && cpu_has(*forced)) isas.push_back(*forced);
  }
  if (isas.empty())
    for (Isa isa : {Isa::Avx512, Isa::Avx2})
      if (cpu_has(isa)) isas.push_back(isa);
  if (isas.empty()) isas.push_back(Isa::Baseline);
  std::vector<Path> candidates;
  for (Isa isa : isas) {
    // Only the units with fused multiply-add have the reciprocal form.
    const bool has_recip = isa == Isa::Avx2 || isa == Isa::Avx512;
    if (recip) {
      candidates.push_back({isa, *recip && has_recip});
    } else {
      candidates.push_back({isa, false});
      if (has_recip) candidates.push_back({isa, true});
    }
  }
  return calibrate(candidates);
}

struct Selected {
  Path best;
  std::atomic<Isa> isa;
  std::atomic<bool> reciprocal;
  Selected() : best(best_path()), isa(best.isa), reciprocal(best.reciprocal) {}
};

Selected& selected() {
  static Selected s;
  return s;
}

}  // namespace

const char* kern_isa_name(Isa isa) {
  switch (isa) {
    case Isa::Scalar: return "scalar";
    case Isa::Baseline: return "baseline";
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
  }
  return "baseline";
}

bool isa_supported(Isa isa) { return cpu_has(isa); }

Isa active_isa() { return selected().isa.load(std::memory_order_relaxed); }

Isa preferred_isa() { return selected().best.isa; }

bool preferred_reciprocal() { return selected().best.reciprocal; }

void set_isa_for_testing(std::optional<Isa> isa) {
  if (isa && !isa_supported(*isa)) throw ValueError(std::string("this CPU cannot run ") + isa_name(*isa));
  selected().isa.store(isa ? *isa : selected().best.isa, std::memory_order_relaxed);
}

void set_reciprocal_quotient_for_testing(std::optional<bool> on) {
  selected().reciprocal.store(on ? *on : selected().best.reciprocal, std::memory_order_relaxed);
}

bool reciprocal_quotient_enabled() { return selected().reciprocal.load(std::memory_order_relaxed); }

const char* isa_name(Isa isa) { return kern_isa_name(isa); }

const kern::Table& active_kernels() { return *table_of(active_isa()); }

// ---------------------------------------------------------------------------
// Kernel building blocks

Lane8 broadcast8(float a) {
  Lane8 r;
  for (float& v : r.v) v = a;
  return r;
}

void accumulate_chunks(const Lane8& xj, const Lane8& yj, const Lane8& zj, const Chunks& src, std::size_t c0,
                       std::size_t c1, Lane8& ux, Lane8& uy, Lane8& uz) {
  AERLOX_ASSERT(c0 <= c1);
  AERLOX_ASSERT(c1 <= src.x.len());
  AERLOX_ASSERT(c1 <= src.y.len());
  AERLOX_ASSERT(c1 <= src.z.len());
  AERLOX_ASSERT(c1 <= src.ax.len());
  AERLOX_ASSERT(c1 <= src.ay.len());
  AERLOX_ASSERT(c1 <= src.az.len());
  AERLOX_ASSERT(c1 <= src.sg.len());
  active_kernels().accumulate(xj, yj, zj, src_of(src, c1), c0, c1, ux, uy, uz);
}

Vel reduce_velocity(const Lane8& ux, const Lane8& uy, const Lane8& uz) {
  Vel out{};
  const Lane8* lanes[3] = {&ux, &uy, &uz};
  for (std::size_t k = 0; k < 3; ++k) {
    float s = lanes[k]->v[0] * kInv4Pi;
    for (int i = 1; i < 8; ++i) s = s + lanes[k]->v[i] * kInv4Pi;
    out[k] = s;
  }
  return out;
}

Vel eval_target(float xj, float yj, float zj, const Chunks& src, std::size_t n_chunks) {
  Lane8 ux = broadcast8(0.0f), uy = ux, uz = ux;
  accumulate_chunks(broadcast8(xj), broadcast8(yj), broadcast8(zj), src, 0, n_chunks, ux, uy, uz);
  return reduce_velocity(ux, uy, uz);
}

// ---------------------------------------------------------------------------
// Direct evaluation

namespace {

// Where the reciprocal quotient is exact. Coordinates within 2^40 m keep
// r2 below 2^84; s2 within [2^-40, 2^40] keeps rs2 normal. Then either the
// quotient r2/s2 is at least 2^-30, so r2 >= 2^-70 and every step of the
// corrected product stays normal (the Markstein conditions), or it is below
// 2^-30, where both forms give a value under 2^-25 that vanishes in rho2 + 1
// and rho2 + 2.5, the only places rho2 is used. Anything else (non-finite,
// huge, zero or subnormal core) keeps the division.
constexpr float kMaxCoord = 1099511627776.0f;         // 2^40
constexpr float kMinS2 = 1.0f / 1099511627776.0f;     // 2^-40

bool coords_in_range(std::span<const float> v) {
  bool ok = true;
  for (const float a : v) ok &= std::fabs(a) <= kMaxCoord;  // false for NaN
  return ok;
}

// Targets must be at least as many as tx holds: a shorter array is read past
// its end by the first missing index, which is reported as such.
void check_targets(std::size_t m, std::span<const float> ty, std::span<const float> tz) {
  if (ty.size() < m) index_failed(ty.size(), ty.size());
  if (tz.size() < m) index_failed(tz.size(), tz.size());
}

// The field's seven arrays padded with inert sources (position 0, strength 0,
// core 1) to whole chunks, as the direct sums read them.
struct PaddedField {
  AVec<float> x, y, z, ax, ay, az, sg;
  explicit PaddedField(const ParticleField& f)
      : x(padded_copy(f.px, 0.0f)), y(padded_copy(f.py, 0.0f)), z(padded_copy(f.pz, 0.0f)),
        ax(padded_copy(f.ax, 0.0f)), ay(padded_copy(f.ay, 0.0f)), az(padded_copy(f.az, 0.0f)),
        sg(padded_copy(f.sigma, 1.0f)) {}
  Chunks chunks() const { return Chunks::from_avecs(x, y, z, ax, ay, az, sg); }
};

// Runs eval(j0, j1) over targets [0, m) in blocks of `block` on the worker
// pool. Each target is its own sum, so any split gives the same bits.
template <class Eval>
void for_target_blocks(std::size_t m, std::size_t block, Eval&& eval) {
  const std::size_t n_blocks = (m + block - 1) / block;
  pool::parallel_for(n_blocks, [&](std::size_t b0, std::size_t b1, std::size_t) {
    eval(b0 * block, b1 * block < m ? b1 * block : m);
  });
}

}  // namespace

SourceFactors SourceFactors::of(std::span<const float> sg) {
  SourceFactors f;
  f.s2 = AVec<float>::filled(sg.size(), 0.0f);
  f.s3 = AVec<float>::filled(sg.size(), 0.0f);
  f.rs2 = AVec<float>::filled(sg.size(), 0.0f);
  for (std::size_t i = 0; i < sg.size(); ++i) {
    const float g = sg[i];
    const float s2 = g * g;
    f.s2[i] = s2;
    f.s3[i] = g * s2;
    f.rs2[i] = 1.0f / s2;
  }
  return f;
}

bool reciprocal_safe(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                     std::span<const float> s2, std::span<const float> tx, std::span<const float> ty,
                     std::span<const float> tz) {
  bool ok = coords_in_range(x) && coords_in_range(y) && coords_in_range(z) && coords_in_range(tx) &&
            coords_in_range(ty) && coords_in_range(tz);
  for (const float a : s2) ok &= a >= kMinS2 && a <= kMaxCoord;
  return ok;
}

std::vector<Vel> induced_at_points(const ParticleField& field, std::span<const float> tx,
                                   std::span<const float> ty, std::span<const float> tz) {
  clear_upper_vector_state();
  const std::size_t m = tx.size();
  const std::size_t n = field.len();
  std::vector<Vel> out(m, Vel{0.0f, 0.0f, 0.0f});
  if (m == 0 || n == 0) return out;
  check_targets(m, ty, tz);

  const PaddedField pf(field);
  const Chunks chunks = pf.chunks();
  kern::Src src = src_of(chunks, chunks.len());
  // Per-source factors of the kernel, formed once instead of per interaction.
  const SourceFactors fac = SourceFactors::of(pf.sg);
  src.s2 = fac.s2.data();
  src.s3 = fac.s3.data();
  if (reciprocal_quotient_enabled() && reciprocal_safe(pf.x, pf.y, pf.z, fac.s2, tx, ty.first(m), tz.first(m)))
    src.rs2 = fac.rs2.data();
  const kern::Table& k = active_kernels();

  // Blocks of targets sized so that one block is some 50k interactions: large
  // enough that claiming it costs nothing, small enough to balance the load.
  const std::size_t n_pad = chunks.len() * 8;
  std::size_t block = (std::size_t{1} << 16) / n_pad;
  block = block < 12 ? 12 : (block > 1536 ? 1536 : block / 12 * 12);
  Vel* o = out.data();
  for_target_blocks(m, block, [&](std::size_t j0, std::size_t j1) {
    k.eval_targets(src, tx.data(), ty.data(), tz.data(), j0, j1, o);
  });
  return out;
}

std::vector<Vel> induced_velocities(const ParticleField& field) {
  return induced_at_points(field, field.px, field.py, field.pz);
}

VelGrad induced_with_gradient_at(const ParticleField& field, std::span<const float> tx,
                                 std::span<const float> ty, std::span<const float> tz) {
  clear_upper_vector_state();
  const std::size_t m = tx.size();
  const std::size_t n = field.len();
  VelGrad out{std::vector<Vel>(m, Vel{0.0f, 0.0f, 0.0f}), std::vector<Grad>(m, Grad{})};
  if (m == 0 || n == 0) return out;
  check_targets(m, ty, tz);
  const PaddedField pf(field);
  const Chunks chunks = pf.chunks();
  const kern::Src src = src_of(chunks, chunks.len());
  const kern::Table& k = active_kernels();
  // Blocks of some 30k interactions balance the load.
  const std::size_t n_pad = chunks.len() * 8;
  std::size_t block = (std::size_t{1} << 15) / n_pad;
  block = block < 4 ? 4 : (block > 1024 ? 1024 : block);
  Vel* vo = out.vel.data();
  Grad* go = out.grad.data();
  for_target_blocks(m, block, [&](std::size_t j0, std::size_t j1) {
    k.eval_targets_grad(src, tx.data(), ty.data(), tz.data(), j0, j1, vo, go);
  });
  return out;
}

VelGrad induced_with_gradient(const ParticleField& field) {
  return induced_with_gradient_at(field, field.px, field.py, field.pz);
}

void advect_rk2(ParticleField& field, std::array<float, 3> freestream, float dt) {
  advect_rk2_with(field, freestream, dt, [](const ParticleField& f) { return induced_velocities(f); });
}

void advect_rk2_bh(ParticleField& field, std::array<float, 3> freestream, float dt, float theta) {
  advect_rk2_with(field, freestream, dt,
                  [theta](const ParticleField& f) { return induced_velocities_bh(f, theta); });
}

}  // namespace aerlox_rs::vpm
