// The tree search, for clouds a grid cannot follow (a few far strays that stretch the bounding box, dense
// clusters or duplicates crowding a cell, clouds so small that their squared distances turn denormal): a
// kd-tree's leaves adapt to the points at any scale. Each leaf gathers every point within a radius r of its
// box once and settles its points by the same selection, the margin being their distance to the edge of
// the gathered region. Points a radius cannot settle are redone with the radius their own candidates give,
// which bounds their take-th distance, so every point is settled. Compiled with -ffp-contract=off.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engines/outlier_search.hpp"
#include "engines/parallel.hpp"

namespace nimbrel_arm_util::detail::outlier {

namespace {

struct Entry {
  float p[3];
  std::uint32_t index;
};

struct Box {
  float lo[3], hi[3];
  Box() {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::numeric_limits<float>::infinity();
      hi[a] = -lo[a];
    }
  }
  void add(const Entry& e) {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], e.p[a]);
      hi[a] = std::max(hi[a], e.p[a]);
    }
  }
};

class Builder {
 public:
  Builder(Tree& t, std::vector<Entry>& e, std::size_t leafSize)
      : tree_(t), entries_(e), leafSize_(leafSize) {}

  // Builds the subtree of entries [begin, end), all inside `box`. Splits are chosen on that box, which the
  // cuts above have clipped and which may be loose; it is measured tightly only when a cut leaves one side
  // empty. tighten() then gives every node its tight box.
  std::int32_t build(std::uint32_t begin, std::uint32_t end, Box box, bool tight, int depth) {
    const auto id = static_cast<std::int32_t>(tree_.nodes.size());
    tree_.nodes.push_back(Node{{0, 0, 0}, {0, 0, 0}, begin, end, -1, -1});
    Entry* e = entries_.data();
    for (;;) {
      int axis = 0;
      double widest = 0.0;
      for (int a = 0; a < 3; ++a) {
        const double side = static_cast<double>(box.hi[a]) - box.lo[a];
        if (side > widest) {
          widest = side;
          axis = a;
        }
      }
      // Identical points cannot be told apart by any split: they stay one leaf, however many.
      if (end - begin <= leafSize_ || !(widest > 0.0)) return id;
      std::uint32_t mid = begin;
      float cut = 0.0f;
      if (depth < kMidpointDepth) {
        cut = static_cast<float>(0.5 * (static_cast<double>(box.lo[axis]) + box.hi[axis]));
        std::uint32_t i = begin, j = end;
        for (;;) {
          while (i < j && e[i].p[axis] < cut) ++i;
          while (i < j && !(e[j - 1].p[axis] < cut)) --j;
          if (i >= j) break;
          std::swap(e[i++], e[--j]);
        }
        mid = i;
      }
      if ((mid == begin || mid == end) && !tight) {
        box = Box();
        for (std::uint32_t k = begin; k < end; ++k) box.add(e[k]);
        tight = true;
        continue;
      }
      if (mid == begin || mid == end) {
        mid = begin + (end - begin) / 2;
        std::nth_element(e + begin, e + mid, e + end,
                         [axis](const Entry& a, const Entry& b) { return a.p[axis] < b.p[axis]; });
        cut = e[mid].p[axis];
      }
      Box left = box, right = box;
      left.hi[axis] = cut;
      right.lo[axis] = cut;
      const std::int32_t l = build(begin, mid, left, false, depth + 1);
      const std::int32_t r = build(mid, end, right, false, depth + 1);
      tree_.nodes[static_cast<std::size_t>(id)].left = l;
      tree_.nodes[static_cast<std::size_t>(id)].right = r;
      return id;
    }
  }

  // Tight boxes: a leaf's from its points, an inner node's from its children (which come after it).
  void tighten() {
    for (std::size_t k = tree_.nodes.size(); k-- > 0;) {
      Node& node = tree_.nodes[k];
      Box box;
      if (node.left < 0) {
        for (std::uint32_t i = node.begin; i < node.end; ++i) box.add(entries_[i]);
        tree_.leaves.push_back(static_cast<std::uint32_t>(k));
      } else {
        const Node& l = tree_.nodes[static_cast<std::size_t>(node.left)];
        const Node& r = tree_.nodes[static_cast<std::size_t>(node.right)];
        for (int a = 0; a < 3; ++a) {
          box.lo[a] = std::min(l.lo[a], r.lo[a]);
          box.hi[a] = std::max(l.hi[a], r.hi[a]);
        }
      }
      std::copy(box.lo, box.lo + 3, node.lo);
      std::copy(box.hi, box.hi + 3, node.hi);
    }
    // Leaves in the order of their points, so that neighbouring leaves are processed one after the other.
    std::reverse(tree_.leaves.begin(), tree_.leaves.end());
  }

 private:
  Tree& tree_;
  std::vector<Entry>& entries_;
  std::size_t leafSize_;
};

// The region a leaf gathers: its box grown by r on every side. `slack` bounds the rounding of a
// coordinate's distance to the centre.
struct Region {
  double centre[3];
  double half[3];
  double slack[3];
};

Region regionOf(const Node& leaf, double r) {
  Region g;
  for (int a = 0; a < 3; ++a) {
    g.centre[a] = 0.5 * (static_cast<double>(leaf.lo[a]) + leaf.hi[a]);
    g.half[a] = 0.5 * (static_cast<double>(leaf.hi[a]) - leaf.lo[a]) + r;
    g.slack[a] = 4.0 * std::numeric_limits<double>::epsilon() * (std::fabs(g.centre[a]) + g.half[a]);
  }
  return g;
}

// Gathers the points of every leaf that may hold a point of the region. A node is left out only when all
// its points lie beyond the region along some axis; the region's bounds are rounded outwards to floats.
void gather(const Context& ctx, const Region& g, Scratch& s) {
  const Tree& t = *ctx.tree;
  float lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    const double reach = g.half[a] + g.slack[a];
    lo[a] = std::nextafter(static_cast<float>(g.centre[a] - reach), -std::numeric_limits<float>::infinity());
    hi[a] = std::nextafter(static_cast<float>(g.centre[a] + reach), std::numeric_limits<float>::infinity());
  }
  s.size = 0;
  s.stack.clear();
  s.stack.push_back(0);
  while (!s.stack.empty()) {
    const Node& node = t.nodes[s.stack.back()];
    s.stack.pop_back();
    const bool outside = (node.hi[0] < lo[0]) | (node.lo[0] > hi[0]) | (node.hi[1] < lo[1]) |
                         (node.lo[1] > hi[1]) | (node.hi[2] < lo[2]) | (node.lo[2] > hi[2]);
    if (outside) continue;
    if (node.left < 0) {
      s.append(t.x.data(), t.y.data(), t.z.data(), node.begin, node.end);
    } else {
      s.stack.push_back(static_cast<std::uint32_t>(node.right));
      s.stack.push_back(static_cast<std::uint32_t>(node.left));
    }
  }
}

// Distance from q to the outside of the region: every point left out lies farther than this from q.
double marginOf(const Region& g, const float q[3]) {
  double m = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) m = std::min(m, g.half[a] - std::fabs(q[a] - g.centre[a]) - 2.0 * g.slack[a]);
  return m;
}

}  // namespace

// Settles every point of one leaf. `guess` is a radius around the leaf that probably settles it (0 when
// unknown), carried from leaf to leaf; it steers the speed, never the result.
void processLeaf(const Context& ctx, const Node& leaf, Scratch& s, double& guess, float* distances) {
  const Tree& t = *ctx.tree;
  s.pending.clear();
  for (std::uint32_t p = leaf.begin; p < leaf.end; ++p) s.pending.push_back(p);
  double r = guess;
  float bound = 0.0f;
  s.needs.clear();
  while (!s.pending.empty()) {
    const Region g = regionOf(leaf, r);
    gather(ctx, g, s);
    const bool everything = s.size == ctx.total;
    if (!everything && s.size < ctx.take) {
      // Too few candidates: widen quickly, at least to the leaf's own size, until the whole cloud.
      r = std::max({2.0 * r, g.half[0] - r, g.half[1] - r, g.half[2] - r, t.diagonal * 1e-6, 1e-30});
      if (r > t.diagonal) r = std::numeric_limits<double>::infinity();
      continue;
    }
    std::size_t still = 0;
    double wanted = 0.0;
    // Equal points have equal neighbours: a run of duplicates is computed once.
    float last[3] = {0.0f, 0.0f, 0.0f};
    bool haveLast = false, lastSettled = false;
    float lastResult = 0.0f;
    for (const std::uint32_t p : s.pending) {
      const float q[3] = {t.x[p], t.y[p], t.z[p]};
      if (!(haveLast && std::memcmp(q, last, sizeof q) == 0)) {
        std::size_t kept = 0;
        const float kth = kthSmallest(ctx, q, s, bound, kept);
        bound = kth * 1.15f;
        const double margin = marginOf(g, q);
        // The radius that would have settled q: its margin grows one for one with the radius.
        const double radius = r + marginFor(kth) - margin;
        s.needs.push_back(radius);
        lastSettled = everything || settles(kth, margin);
        if (lastSettled) {
          lastResult = meanOfRoots(ctx, s, kept, kth);
        } else {
          wanted = std::max(wanted, radius);
        }
        std::memcpy(last, q, sizeof q);
        haveLast = true;
      }
      if (lastSettled) {
        distances[t.index[p]] = lastResult;
      } else {
        s.pending[still++] = p;
      }
    }
    s.pending.resize(still);
    // The candidates bound the take-th distance of every point left, so this radius settles them; the
    // growth guards against rounding.
    r = std::max(wanted * (1.0 + 1e-6), r * 1.01);
  }
  // The next leaf is probably much like this one: a little more than what settles nine in ten of this
  // leaf's points (a stray among them must not widen the next leaf's region).
  const std::size_t at = (s.needs.size() * 9) / 10;
  std::nth_element(s.needs.begin(), s.needs.begin() + static_cast<std::ptrdiff_t>(at), s.needs.end());
  guess = std::max(0.0, s.needs[at] * 1.05);
  s.needs.clear();
}

// Settles one point on the tree, from a radius around it that probably holds its neighbours.
void processPoint(const Context& ctx, const float q[3], std::uint32_t index, double r, Scratch& s,
                  float* distances) {
  const Tree& t = *ctx.tree;
  Node point{{q[0], q[1], q[2]}, {q[0], q[1], q[2]}, 0, 0, -1, -1};
  float bound = 0.0f;
  for (;;) {
    const Region g = regionOf(point, r);
    gather(ctx, g, s);
    const bool everything = s.size == ctx.total;
    if (!everything && s.size < ctx.take) {
      r = std::max({2.0 * r, t.diagonal * 1e-6, 1e-30});
      if (r > t.diagonal) r = std::numeric_limits<double>::infinity();
      continue;
    }
    std::size_t kept = 0;
    const float kth = kthSmallest(ctx, q, s, bound, kept);
    if (everything || settles(kth, marginOf(g, q))) {
      distances[index] = meanOfRoots(ctx, s, kept, kth);
      return;
    }
    // The candidates bound the take-th distance: this radius settles the point, up to rounding.
    r = std::max(marginFor(kth) * (1.0 + 1e-6), r * 1.01);
    bound = kth;
  }
}

// Builds the tree over the finite points, in leaves of about `leafSize` points.
void buildTree(const float* points, std::size_t stride, const std::vector<std::uint32_t>& finite,
               std::size_t leafSize, Tree& t) {
  const std::size_t n = finite.size();
  std::vector<Entry> entries(n);
  for (std::size_t j = 0; j < n; ++j) {
    const float* p = points + finite[j] * stride;
    entries[j] = Entry{{p[0], p[1], p[2]}, finite[j]};
  }
  t.nodes.reserve(4 * (n / leafSize + 1));
  Box all;
  for (const Entry& e : entries) all.add(e);
  Builder builder(t, entries, leafSize);
  builder.build(0, static_cast<std::uint32_t>(n), all, true, 0);
  builder.tighten();
  const Node& root = t.nodes[0];
  double squares = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double side = static_cast<double>(root.hi[a]) - root.lo[a];
    squares += side * side;
  }
  t.diagonal = std::sqrt(squares);
  t.x.resize(n);
  t.y.resize(n);
  t.z.resize(n);
  t.index.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    t.x[j] = entries[j].p[0];
    t.y[j] = entries[j].p[1];
    t.z[j] = entries[j].p[2];
    t.index[j] = entries[j].index;
  }
}

// Every leaf of the tree.
void runLeaves(const Context& ctx, float* distances) {
  const Tree& tree = *ctx.tree;
  // Each thread carries its scratch space and its radius guess from leaf to leaf.
  struct Worker {
    Scratch s;
    double guess = 0.0;
  };
  std::vector<Worker> workers(static_cast<std::size_t>(ctx.threads));
  forEachDynamic(static_cast<long>(tree.leaves.size()), workers, 16, [&](Worker& w, long i) {
    processLeaf(ctx, tree.nodes[tree.leaves[static_cast<std::size_t>(i)]], w.s, w.guess, distances);
  });
}

}  // namespace nimbrel_arm_util::detail::outlier
