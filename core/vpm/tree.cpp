// The Barnes-Hut octree: built afresh for every evaluation (the particles move
// every step), flattened into a preorder array with escape links, and walked
// once per target.
#include <algorithm>
#include <cmath>
#include <optional>

#include "common.hpp"
#include "cpu_state.hpp"
#include "panic.hpp"
#include "pool.hpp"

namespace aerlox_rs::vpm {

TmpNode TmpNode::placeholder(std::array<float, 3> center, float half) {
  TmpNode n;
  n.center = center;
  n.half = half;
  return n;
}

namespace {

// Closes a cell's summary: the strength-weighted centroid and mean core
// radius, or the geometric centre and core 1 when it carries no strength.
void finish_summary(TmpNode& c, std::array<float, 3> cc) {
  if (c.wsum > 1e-20f) {
    c.center = {c.wpos[0] / c.wsum, c.wpos[1] / c.wsum, c.wpos[2] / c.wsum};
    c.sigma_rep = c.wsig / c.wsum;
  } else {
    c.center = cc;
    c.sigma_rep = 1.0f;
  }
}

}  // namespace

std::uint32_t build_node(std::vector<TmpNode>& nodes, const ParticleField& field, std::span<std::uint32_t> idx,
                         BuildRoom room, std::array<float, 3> cc, float half) {
  AERLOX_ASSERT(room.spare.size() >= idx.size() && room.code.size() >= idx.size());
  const std::size_t k = nodes.size();
  nodes.push_back(TmpNode::placeholder(cc, half));
  TmpNode cell = TmpNode::placeholder(cc, half);

  if (idx.size() <= kLeafCapacity || half < kMinHalf || !std::isfinite(half)) {
    for (const std::uint32_t i : idx) {
      const float a_x = field.ax[i], a_y = field.ay[i], a_z = field.az[i];
      cell.sum_a[0] += a_x;
      cell.sum_a[1] += a_y;
      cell.sum_a[2] += a_z;
      const float w = std::sqrt((a_x * a_x + a_y * a_y) + a_z * a_z);
      cell.wsum += w;
      cell.wpos[0] += w * field.px[i];
      cell.wpos[1] += w * field.py[i];
      cell.wpos[2] += w * field.pz[i];
      cell.wsig += w * field.sigma[i];
    }
    finish_summary(cell, cc);
    cell.is_leaf = true;
    cell.particles.assign(idx.begin(), idx.end());
    nodes[k] = std::move(cell);
    return static_cast<std::uint32_t>(k);
  }

  // Octant o = bx + 2*by + 4*bz; a particle on a dividing plane goes up. The
  // octants' runs are laid out in order, each keeping its particles' order,
  // through the spare buffer and back.
  const float* const px = field.px.data();
  const float* const py = field.py.data();
  const float* const pz = field.pz.data();
  const auto octant = [&](std::uint32_t i) {
    return (px[i] >= cc[0] ? 1u : 0u) + (py[i] >= cc[1] ? 2u : 0u) + (pz[i] >= cc[2] ? 4u : 0u);
  };
  std::span<std::uint32_t> spare = room.spare.first(idx.size());
  std::span<std::uint8_t> code = room.code.first(idx.size());
  std::array<std::size_t, 9> start{};
  for (std::size_t m = 0; m < idx.size(); ++m) {
    const unsigned o = octant(idx[m]);
    code[m] = static_cast<std::uint8_t>(o);
    ++start[o + 1];
  }
  for (unsigned o = 0; o < 8; ++o) start[o + 1] += start[o];
  std::array<std::size_t, 8> put{};
  for (unsigned o = 0; o < 8; ++o) put[o] = start[o];
  for (std::size_t m = 0; m < idx.size(); ++m) spare[put[code[m]]++] = idx[m];
  std::copy(spare.begin(), spare.begin() + static_cast<std::ptrdiff_t>(idx.size()), idx.begin());

  const float h = half * 0.5f;
  for (unsigned o = 0; o < 8; ++o) {
    const std::size_t n = start[o + 1] - start[o];
    if (n == 0) continue;
    const std::array<float, 3> child_cc{(o & 1u) ? cc[0] + h : cc[0] - h, (o & 2u) ? cc[1] + h : cc[1] - h,
                                        (o & 4u) ? cc[2] + h : cc[2] - h};
    const std::uint32_t child = build_node(nodes, field, idx.subspan(start[o], n),
                                           BuildRoom{room.spare.subspan(start[o], n), room.code.subspan(start[o], n)},
                                           child_cc, h);
    // nodes may have moved while the child was built: read it by index.
    const TmpNode& c = nodes[child];
    cell.children[o] = static_cast<std::int32_t>(child);
    for (int d = 0; d < 3; ++d) {
      cell.sum_a[d] += c.sum_a[d];
      cell.wpos[d] += c.wpos[d];
    }
    cell.wsum += c.wsum;
    cell.wsig += c.wsig;
  }
  finish_summary(cell, cc);
  nodes[k] = std::move(cell);
  return static_cast<std::uint32_t>(k);
}

std::uint32_t build_tmp_tree(std::vector<TmpNode>& nodes, const ParticleField& field) {
  const std::size_t n = field.len();
  AERLOX_ASSERT_MSG(n > 0, "tree of a non-empty field");
  // Particle indices are 32-bit.
  AERLOX_ASSERT_MSG(n <= UINT32_MAX, "at most 2^32 - 1 particles");
  const auto [xmin, xmax] = simd_min_max(field.px);
  const auto [ymin, ymax] = simd_min_max(field.py);
  const auto [zmin, zmax] = simd_min_max(field.pz);
  const std::array<float, 3> centre{(xmin + xmax) * 0.5f, (ymin + ymax) * 0.5f, (zmin + zmax) * 0.5f};
  // fmax ignores a NaN extent (a lone infinite coordinate gives inf - inf).
  float half = std::fmax(std::fmax(std::fmax(0.5f * (xmax - xmin), 0.5f * (ymax - ymin)), 0.5f * (zmax - zmin)),
                         0.0f) *
               1.0001f;
  half = std::fmax(half, kMinHalf);
  std::vector<std::uint32_t> idx(n);
  for (std::size_t i = 0; i < n; ++i) idx[i] = static_cast<std::uint32_t>(i);
  std::vector<std::uint32_t> spare(n);
  std::vector<std::uint8_t> code(n);
  // About one cell per six particles in the wakes we meet.
  nodes.reserve(nodes.size() + n / 6 + 1);
  return build_node(nodes, field, idx, BuildRoom{spare, code}, centre, half);
}

void FlatTree::flatten(FlatTree& tree, const std::vector<TmpNode>& tmp, std::uint32_t ti,
                       const ParticleField& field) {
  const TmpNode& c = at(tmp, ti);
  const std::size_t j = tree.nodes.size();
  const float edge = c.half * 2.0f;
  tree.nodes.push_back(FlatNode{{c.center[0], c.center[1], c.center[2]},
                                edge * edge,
                                {c.sum_a[0], c.sum_a[1], c.sum_a[2]},
                                c.sigma_rep,
                                0,
                                0,
                                0});
  if (c.is_leaf) {
    // The leaf's particles, then inert entries to a whole chunk.
    const std::size_t s = tree.sx.size();
    const std::size_t n = c.particles.size();
    const std::size_t padded = (n + 7) / 8 * 8;
    const struct {
      AVec<float>* to;
      const AVec<float>* from;
      float pad;
    } cols[7] = {{&tree.sx, &field.px, 0.0f},  {&tree.sy, &field.py, 0.0f},  {&tree.sz, &field.pz, 0.0f},
                 {&tree.sax, &field.ax, 0.0f}, {&tree.say, &field.ay, 0.0f}, {&tree.saz, &field.az, 0.0f},
                 {&tree.sg, &field.sigma, 1.0f}};
    const std::uint32_t* ids = c.particles.data();
    for (const auto& col : cols) {
      const float* from = col.from->data();
      float* to = col.to->extend(padded);
      for (std::size_t i = 0; i < n; ++i) to[i] = from[ids[i]];
      for (std::size_t i = n; i < padded; ++i) to[i] = col.pad;
    }
    tree.order.insert(tree.order.end(), c.particles.begin(), c.particles.end());
    tree.nodes[j].leaf_start = static_cast<std::uint32_t>(s);
    tree.nodes[j].leaf_chunks = static_cast<std::uint32_t>(padded / 8);
  } else {
    for (const std::int32_t child : c.children)
      if (child >= 0) flatten(tree, tmp, static_cast<std::uint32_t>(child), field);
  }
  tree.nodes[j].escape = static_cast<std::uint32_t>(tree.nodes.size());
}

FlatTree FlatTree::build(const ParticleField& field) {
  std::vector<TmpNode> tmp;
  const std::uint32_t root = build_tmp_tree(tmp, field);
  FlatTree tree;
  tree.nodes.reserve(tmp.size());
  tree.order.reserve(field.len());
  // Leaves pad to whole chunks: at most 7 inert entries per leaf.
  const std::size_t room = field.len() + 7 * tmp.size();
  for (AVec<float>* a : {&tree.sx, &tree.sy, &tree.sz, &tree.sax, &tree.say, &tree.saz, &tree.sg})
    a->reserve_exact(room);
  flatten(tree, tmp, root, field);
  tree.payload.reserve_exact(8 * tree.nodes.size());
  for (const FlatNode& n : tree.nodes)
    for (float v : {n.center[0], n.center[1], n.center[2], n.sum_a[0], n.sum_a[1], n.sum_a[2], n.sigma_rep, 0.0f})
      tree.payload.push_back(v);
  return tree;
}

Chunks FlatTree::chunks() const { return Chunks::from_avecs(sx, sy, sz, sax, say, saz, sg); }

namespace {

kern::TreeView view_of(const FlatTree& tree) {
  const Chunks c = tree.chunks();
  return kern::TreeView{tree.nodes.data(), tree.nodes.size(),
                        kern::Src{c.x.ptr, c.y.ptr, c.z.ptr, c.ax.ptr, c.ay.ptr, c.az.ptr, c.sg.ptr, c.len(), nullptr, nullptr, nullptr},
                        tree.payload.data()};
}

// The scratch as the staging list, with idx holding `lists` queues of
// the scratch's capacity (a multiple of 8) each.
kern::ScratchView view_of(Scratch& s, AVec<std::uint32_t>& idx, std::size_t lists = 1) {
  AERLOX_ASSERT(lists != 0 && idx.size() % lists == 0 && idx.size() / lists <= s.capacity());
  return kern::ScratchView{s.sx.data(),  s.sy.data(),  s.sz.data(),       s.sax.data(),
                           s.say.data(), s.saz.data(), s.sg.data(),       idx.size() / lists,
                           s.len,        lists,        idx.data(),        s.capacity()};
}

// Working memory of the tree walk, one per thread and kept between calls, so
// that a time-stepping loop does not fault in fresh pages at every
// evaluation. A call that finds its thread's room in use (a signal handler
// evaluating a wake inside another evaluation) gets a room of its own.
struct WalkRoom {
  Scratch s;
  AVec<std::uint32_t> idx;
  std::size_t cap = 0;
  std::size_t lists = 0;
  bool busy = false;

  /// The scratch for lists queues of cap entries each, and staging for two
  /// lists when lists is below kTreeGroup.
  kern::ScratchView view(std::size_t cap8, std::size_t n_lists) {
    if (cap < cap8 || lists != n_lists) {
      const std::size_t stage = n_lists < kern::kTreeGroup ? 2 * cap8 : cap8;
      s = Scratch::with_capacity(stage);
      idx = AVec<std::uint32_t>::filled(n_lists * cap8, 0u);
      cap = cap8;
      lists = n_lists;
    }
    return kern::ScratchView{s.sx.data(), s.sy.data(), s.sz.data(), s.sax.data(), s.say.data(), s.saz.data(),
                             s.sg.data(), cap,         0,           lists,        idx.data(),   s.capacity()};
  }
};

// A thread's walk room for the length of one block.
class WalkRoomLease {
 public:
  WalkRoomLease() {
    thread_local WalkRoom mine;
    if (mine.busy) {
      own_.emplace();
      room_ = &*own_;
    } else {
      room_ = &mine;
    }
    room_->busy = true;
  }
  ~WalkRoomLease() { room_->busy = false; }
  WalkRoomLease(const WalkRoomLease&) = delete;
  WalkRoomLease& operator=(const WalkRoomLease&) = delete;
  WalkRoom* operator->() { return room_; }

 private:
  std::optional<WalkRoom> own_;
  WalkRoom* room_ = nullptr;
};

// Targets in Morton (Z-curve) order of their position in the cube around
// the tree's root, so that consecutive targets are neighbours and walk the
// tree together. Targets outside the cube (or non-finite) clamp to its faces;
// the order only decides speed, never a result.
std::vector<std::uint32_t> morton_order(const FlatTree& tree, std::span<const float> tx, std::span<const float> ty,
                                        std::span<const float> tz, std::size_t m) {
  const FlatNode& root = tree.nodes[0];
  const float half = 0.5f * std::sqrt(root.four_half2);
  // The root's centre is the strength-weighted centroid; widen the cube so
  // that it still holds the cell.
  const float lo[3] = {root.center[0] - 2.0f * half, root.center[1] - 2.0f * half, root.center[2] - 2.0f * half};
  const float scale = half > 0.0f ? 1023.0f / (4.0f * half) : 0.0f;
  const auto cell = [&](float v, int d) -> std::uint64_t {
    const float c = (v - lo[d]) * scale;
    if (!(c > 0.0f)) return 0;  // also NaN
    if (c >= 1023.0f) return 1023;
    return static_cast<std::uint64_t>(c);
  };
  const auto spread = [](std::uint64_t v) {
    std::uint64_t r = 0;
    for (int b = 0; b < 10; ++b) r |= ((v >> b) & 1u) << (3 * b);
    return r;
  };
  std::vector<std::uint64_t> key(m);
  for (std::size_t j = 0; j < m; ++j)
    key[j] = (spread(cell(tx[j], 0)) | (spread(cell(ty[j], 1)) << 1) | (spread(cell(tz[j], 2)) << 2)) << 32 | j;
  std::sort(key.begin(), key.end());
  std::vector<std::uint32_t> order(m);
  for (std::size_t j = 0; j < m; ++j) order[j] = static_cast<std::uint32_t>(key[j] & 0xFFFFFFFFu);
  return order;
}

}  // namespace

Vel FlatTree::evaluate(const FlatTree& tree, float x, float y, float z, float theta2, Scratch& scratch) {
  const kern::TreeView tv = view_of(tree);
  AVec<std::uint32_t> idx = AVec<std::uint32_t>::filled(scratch.capacity(), 0u);
  kern::ScratchView sv = view_of(scratch, idx);
  Vel out{};
  try {
    active_kernels().eval_tree(tv, &x, &y, &z, 0, 1, theta2, sv, &out, nullptr);
  } catch (...) {
    scratch.len = sv.len;
    throw;
  }
  scratch.len = sv.len;
  return out;
}

std::vector<Vel> induced_at_points_bh(const ParticleField& field, std::span<const float> tx,
                                      std::span<const float> ty, std::span<const float> tz, float theta) {
  clear_upper_vector_state();
  const std::size_t m = tx.size();
  std::vector<Vel> out(m, Vel{0.0f, 0.0f, 0.0f});
  if (m == 0 || field.len() == 0) return out;
  // The direct sum rejects short ty/tz; so does the tree, rather than leaving
  // the missing targets at zero velocity.
  if (ty.size() < m) index_failed(ty.size(), ty.size());
  if (tz.size() < m) index_failed(tz.size(), tz.size());

  const FlatTree tree = FlatTree::build(field);
  const float theta2 = theta * theta;
  const std::size_t cap = tree.nodes.size();
  const std::size_t cap8 = (cap + 7) / 8 * 8;
  const kern::TreeView tv = view_of(tree);
  const kern::Table& k = active_kernels();

  // Neighbouring targets walk the tree together: the field's own particles
  // in the tree's leaf order, other targets in Morton order.
  const bool self = tx.data() == field.px.data() && ty.data() == field.py.data() && tz.data() == field.pz.data() &&
                    m == field.len();
  std::vector<std::uint32_t> morton;
  if (!self) morton = morton_order(tree, tx, ty, tz, m);
  const std::uint32_t* order = self ? tree.order.data() : morton.data();

  // The walk's lists for each block of targets (a target's list holds at most
  // one entry per node, so cap never overflows), from the participant's room.
  const std::size_t lists = k.tree_lists;
  constexpr std::size_t kBlock = 64;
  const std::size_t n_blocks = (m + kBlock - 1) / kBlock;
  Vel* o = out.data();
  pool::parallel_for(n_blocks, [&](std::size_t b0, std::size_t b1, std::size_t) {
    WalkRoomLease room;
    kern::ScratchView sv = room->view(cap8, lists);
    const std::size_t j0 = b0 * kBlock;
    const std::size_t j1 = b1 * kBlock < m ? b1 * kBlock : m;
    k.eval_tree(tv, tx.data(), ty.data(), tz.data(), j0, j1, theta2, sv, o, order);
  });
  return out;
}

std::vector<Vel> induced_velocities_bh(const ParticleField& field, float theta) {
  return induced_at_points_bh(field, field.px, field.py, field.pz, theta);
}

}  // namespace aerlox_rs::vpm
