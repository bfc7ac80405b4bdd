// The Barnes-Hut octree: built afresh for every evaluation (the particles move
// every step), flattened into a preorder array with escape links, and walked
// once per target.
#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>

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

// A cell's running sums while it is built.
struct Sums {
  std::array<float, 3> sum_a{};  ///< vector sum of strengths
  float wsum = 0.0f;             ///< sum of |alpha|
  std::array<float, 3> wpos{};   ///< sum of |alpha| * position
  float wsig = 0.0f;             ///< sum of |alpha| * sigma

  /// The sums over particles idx, in that order.
  static Sums of_particles(const ParticleField& field, std::span<const std::uint32_t> idx) {
    Sums c;
    for (const std::uint32_t i : idx) {
      const float a_x = field.ax[i], a_y = field.ay[i], a_z = field.az[i];
      c.sum_a[0] += a_x;
      c.sum_a[1] += a_y;
      c.sum_a[2] += a_z;
      const float w = std::sqrt((a_x * a_x + a_y * a_y) + a_z * a_z);
      c.wsum += w;
      c.wpos[0] += w * field.px[i];
      c.wpos[1] += w * field.py[i];
      c.wpos[2] += w * field.pz[i];
      c.wsig += w * field.sigma[i];
    }
    return c;
  }
  /// Adds a child's sums (children in octant order).
  void add(const Sums& c) {
    for (int d = 0; d < 3; ++d) {
      sum_a[d] += c.sum_a[d];
      wpos[d] += c.wpos[d];
    }
    wsum += c.wsum;
    wsig += c.wsig;
  }
  /// The cell's centre and core radius: the strength-weighted centroid and
  /// mean core radius, or the geometric centre cc and core 1 when it carries
  /// no strength.
  std::pair<std::array<float, 3>, float> summary(std::array<float, 3> cc) const {
    if (wsum > 1e-20f) return {{wpos[0] / wsum, wpos[1] / wsum, wpos[2] / wsum}, wsig / wsum};
    return {cc, 1.0f};
  }
};

bool is_leaf_cell(std::size_t n, float half) { return n <= kLeafCapacity || half < kMinHalf || !std::isfinite(half); }

// Splits idx by octant (o = bx + 2*by + 4*bz about cc; a particle on a
// dividing plane goes up): octant o's particles end up in idx[start[o],
// start[o+1]), each run in its order in idx.
std::array<std::size_t, 9> partition(const ParticleField& field, std::span<std::uint32_t> idx, BuildRoom room,
                                     std::array<float, 3> cc) {
  AERLOX_ASSERT(room.spare.size() >= idx.size() && room.code.size() >= idx.size());
  const float* const px = field.px.data();
  const float* const py = field.py.data();
  const float* const pz = field.pz.data();
  std::array<std::size_t, 9> start{};
  for (std::size_t m = 0; m < idx.size(); ++m) {
    const std::uint32_t i = idx[m];
    const unsigned o = (px[i] >= cc[0] ? 1u : 0u) + (py[i] >= cc[1] ? 2u : 0u) + (pz[i] >= cc[2] ? 4u : 0u);
    room.code[m] = static_cast<std::uint8_t>(o);
    ++start[o + 1];
  }
  for (unsigned o = 0; o < 8; ++o) start[o + 1] += start[o];
  std::array<std::size_t, 8> put{};
  for (unsigned o = 0; o < 8; ++o) put[o] = start[o];
  for (std::size_t m = 0; m < idx.size(); ++m) room.spare[put[room.code[m]]++] = idx[m];
  std::copy(room.spare.begin(), room.spare.begin() + static_cast<std::ptrdiff_t>(idx.size()), idx.begin());
  return start;
}

std::array<float, 3> child_centre(std::array<float, 3> cc, float h, unsigned o) {
  return {(o & 1u) ? cc[0] + h : cc[0] - h, (o & 2u) ? cc[1] + h : cc[1] - h, (o & 4u) ? cc[2] + h : cc[2] - h};
}

// Splits a cell's particles by octant and calls child(idx, room, centre,
// half) for each non-empty octant in order.
template <class Child>
void for_each_child(const ParticleField& field, std::span<std::uint32_t> idx, BuildRoom room,
                    std::array<float, 3> cc, float half, Child child) {
  const std::array<std::size_t, 9> start = partition(field, idx, room, cc);
  const float h = half * 0.5f;
  for (unsigned o = 0; o < 8; ++o) {
    const std::size_t at = start[o], n = start[o + 1] - start[o];
    if (n == 0) continue;
    child(o, idx.subspan(at, n), BuildRoom{room.spare.subspan(at, n), room.code.subspan(at, n)},
          child_centre(cc, h, o), h);
  }
}

// The root cell: the cube around the particles' extent.
std::pair<std::array<float, 3>, float> root_cell(const ParticleField& field) {
  const auto [xmin, xmax] = simd_min_max(field.px);
  const auto [ymin, ymax] = simd_min_max(field.py);
  const auto [zmin, zmax] = simd_min_max(field.pz);
  const std::array<float, 3> centre{(xmin + xmax) * 0.5f, (ymin + ymax) * 0.5f, (zmin + zmax) * 0.5f};
  // fmax ignores a NaN extent (a lone infinite coordinate gives inf - inf).
  float half = std::fmax(std::fmax(std::fmax(0.5f * (xmax - xmin), 0.5f * (ymax - ymin)), 0.5f * (zmax - zmin)),
                         0.0f) *
               1.0001f;
  return {centre, std::fmax(half, kMinHalf)};
}

// Every particle index once, and working room for the partitions.
struct BuildIndex {
  std::vector<std::uint32_t> idx, spare;
  std::vector<std::uint8_t> code;
  /// Indices 0..n-1 (reusing the vectors' memory).
  void reset(std::size_t n) {
    AERLOX_ASSERT_MSG(n > 0, "tree of a non-empty field");
    // Particle indices are 32-bit.
    AERLOX_ASSERT_MSG(n <= UINT32_MAX, "at most 2^32 - 1 particles");
    idx.resize(n);
    spare.resize(n);
    code.resize(n);
    for (std::size_t i = 0; i < n; ++i) idx[i] = static_cast<std::uint32_t>(i);
  }
  BuildRoom room() { return BuildRoom{spare, code}; }
};

// Appends the cell and its subtree straight to the flat tree, in preorder:
// the cells of build_node, in the order it creates them, with the same sums.
Sums build_flat(FlatTree& tree, const ParticleField& field, std::span<std::uint32_t> idx, BuildRoom room,
                std::array<float, 3> cc, float half) {
  const std::size_t j = tree.nodes.size();
  const float edge = half * 2.0f;
  tree.nodes.push_back(FlatNode{{0, 0, 0}, edge * edge, {0, 0, 0}, 1.0f, 0, 0, 0});
  Sums cell;
  if (is_leaf_cell(idx.size(), half)) {
    cell = Sums::of_particles(field, idx);
    // The leaf's particles, then inert entries to a whole chunk.
    const std::size_t s = tree.sx.size();
    const std::size_t n = idx.size();
    const std::size_t padded = (n + 7) / 8 * 8;
    const struct {
      AVec<float>* to;
      const AVec<float>* from;
      float pad;
    } cols[7] = {{&tree.sx, &field.px, 0.0f},  {&tree.sy, &field.py, 0.0f},  {&tree.sz, &field.pz, 0.0f},
                 {&tree.sax, &field.ax, 0.0f}, {&tree.say, &field.ay, 0.0f}, {&tree.saz, &field.az, 0.0f},
                 {&tree.sg, &field.sigma, 1.0f}};
    for (const auto& col : cols) {
      const float* from = col.from->data();
      float* to = col.to->extend(padded);
      for (std::size_t i = 0; i < n; ++i) to[i] = from[idx[i]];
      for (std::size_t i = n; i < padded; ++i) to[i] = col.pad;
    }
    tree.order.insert(tree.order.end(), idx.begin(), idx.end());
    tree.nodes[j].leaf_start = static_cast<std::uint32_t>(s);
    tree.nodes[j].leaf_chunks = static_cast<std::uint32_t>(padded / 8);
  } else {
    for_each_child(field, idx, room, cc, half,
                   [&](unsigned, std::span<std::uint32_t> sub, BuildRoom r, std::array<float, 3> c, float h) {
                     cell.add(build_flat(tree, field, sub, r, c, h));
                   });
  }
  FlatNode& node = tree.nodes[j];
  const auto [centre, sigma_rep] = cell.summary(cc);
  for (int d = 0; d < 3; ++d) {
    node.center[d] = centre[d];
    node.sum_a[d] = cell.sum_a[d];
  }
  node.sigma_rep = sigma_rep;
  node.escape = static_cast<std::uint32_t>(tree.nodes.size());
  return cell;
}

}  // namespace

std::uint32_t build_node(std::vector<TmpNode>& nodes, const ParticleField& field, std::span<std::uint32_t> idx,
                         BuildRoom room, std::array<float, 3> cc, float half) {
  const std::size_t k = nodes.size();
  nodes.push_back(TmpNode::placeholder(cc, half));
  TmpNode cell = TmpNode::placeholder(cc, half);
  Sums sums;
  if (is_leaf_cell(idx.size(), half)) {
    sums = Sums::of_particles(field, idx);
    cell.is_leaf = true;
    cell.particles.assign(idx.begin(), idx.end());
  } else {
    for_each_child(field, idx, room, cc, half,
                   [&](unsigned o, std::span<std::uint32_t> sub, BuildRoom r, std::array<float, 3> c, float h) {
                     const std::uint32_t child = build_node(nodes, field, sub, r, c, h);
                     // nodes may have moved while the child was built: read it by index.
                     const TmpNode& made = nodes[child];
                     cell.children[o] = static_cast<std::int32_t>(child);
                     sums.add(Sums{made.sum_a, made.wsum, made.wpos, made.wsig});
                   });
  }
  cell.sum_a = sums.sum_a;
  cell.wsum = sums.wsum;
  cell.wpos = sums.wpos;
  cell.wsig = sums.wsig;
  std::tie(cell.center, cell.sigma_rep) = sums.summary(cc);
  nodes[k] = std::move(cell);
  return static_cast<std::uint32_t>(k);
}

std::uint32_t build_tmp_tree(std::vector<TmpNode>& nodes, const ParticleField& field) {
  BuildIndex index;
  index.reset(field.len());
  const auto [centre, half] = root_cell(field);
  return build_node(nodes, field, index.idx, index.room(), centre, half);
}

namespace {

// Builds the field's tree into tree, reusing its memory and index's.
void build_into(FlatTree& tree, BuildIndex& index, const ParticleField& field) {
  index.reset(field.len());
  const auto [centre, half] = root_cell(field);
  tree.nodes.clear();
  tree.order.clear();
  for (AVec<float>* a : {&tree.sx, &tree.sy, &tree.sz, &tree.sax, &tree.say, &tree.saz, &tree.sg, &tree.payload})
    a->clear();
  // About one cell per six particles in the wakes we meet; leaves pad to
  // whole chunks, at most 7 inert entries each.
  tree.nodes.reserve(field.len() / 6 + 1);
  tree.order.reserve(field.len());
  const std::size_t room = field.len() + 7 * (field.len() / 8 + 1);
  for (AVec<float>* a : {&tree.sx, &tree.sy, &tree.sz, &tree.sax, &tree.say, &tree.saz, &tree.sg})
    a->reserve_exact(room);
  build_flat(tree, field, index.idx, index.room(), centre, half);
  float* pl = tree.payload.extend(8 * tree.nodes.size());
  for (const FlatNode& n : tree.nodes) {
    for (float v : {n.center[0], n.center[1], n.center[2], n.sum_a[0], n.sum_a[1], n.sum_a[2], n.sigma_rep, 0.0f})
      *pl++ = v;
  }
}

// One T per thread, kept between calls so that a time-stepping loop does not
// fault in fresh pages at every evaluation. A use that finds its thread's T
// taken (a signal handler evaluating a wake inside another evaluation) gets
// one of its own.
template <class T>
class ThreadRoom {
 public:
  ThreadRoom() {
    thread_local Slot mine;
    if (mine.busy) {
      own_.emplace();
      room_ = &*own_;
    } else {
      mine.busy = true;
      slot_ = &mine;
      room_ = &mine.value;
    }
  }
  ~ThreadRoom() {
    if (slot_ != nullptr) slot_->busy = false;
  }
  ThreadRoom(const ThreadRoom&) = delete;
  ThreadRoom& operator=(const ThreadRoom&) = delete;
  T& operator*() { return *room_; }
  T* operator->() { return room_; }

 private:
  struct Slot {
    T value;
    bool busy = false;
  };
  Slot* slot_ = nullptr;
  std::optional<T> own_;
  T* room_ = nullptr;
};

}  // namespace

FlatTree FlatTree::build(const ParticleField& field) {
  FlatTree tree;
  BuildIndex index;
  build_into(tree, index, field);
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

// The scratch as staging, with idx holding `lists` queues of equal length
// (at most the scratch's capacity) each.
kern::ScratchView view_of(Scratch& s, AVec<std::uint32_t>& idx, std::size_t lists = 1) {
  AERLOX_ASSERT(lists != 0 && idx.size() % lists == 0 && idx.size() / lists <= s.capacity());
  return kern::ScratchView{s.sx.data(),  s.sy.data(),  s.sz.data(),       s.sax.data(),
                           s.say.data(), s.saz.data(), s.sg.data(),       idx.size() / lists,
                           s.len,        lists,        idx.data(),        s.capacity()};
}

// Working memory of the tree walk (one per thread, see ThreadRoom).
struct WalkRoom {
  Scratch s;
  AVec<std::uint32_t> idx;
  std::size_t lists = 0;

  /// The scratch for n_lists queues of at least cap8 entries each, and
  /// staging for two lists when n_lists is below kTreeGroup.
  kern::ScratchView view(std::size_t cap8, std::size_t n_lists) {
    if (lists != n_lists || idx.size() < n_lists * cap8) {
      s = Scratch::with_capacity(n_lists < kern::kTreeGroup ? 2 * cap8 : cap8);
      idx = AVec<std::uint32_t>::filled(n_lists * cap8, 0u);
      lists = n_lists;
    }
    return view_of(s, idx, lists);
  }
};

// The tree of the latest evaluation on a thread, with its build's index.
struct TreeRoom {
  FlatTree tree;
  BuildIndex index;
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

  ThreadRoom<TreeRoom> built;
  build_into(built->tree, built->index, field);
  const FlatTree& tree = built->tree;
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
    ThreadRoom<WalkRoom> room;
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
