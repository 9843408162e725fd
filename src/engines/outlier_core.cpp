// Exact k-nearest mean distances for the statistical outlier removal. Compiled with -ffp-contract=off.
//
// Two searches give the same, exact result. A uniform grid serves clouds whose points spread about evenly,
// as camera frames do: each occupied cell gathers the points of its 3x3x3 block of cells once, and every
// point of the cell takes its k + 1 smallest squared distances among them by selection. That result is
// exact whenever the (k+1)-th distance is smaller than the distance from the point to the block's
// boundary; points the block cannot settle grow their block ring by ring, a few rings at most.
//
// Where a grid cannot follow the points (a few far strays that stretch the bounding box, dense clusters
// or duplicates crowding a cell, clouds so small that their squared distances turn denormal), a kd-tree
// does: its leaves adapt to the points at any scale. Each leaf gathers every point within a radius r of
// its box once, and settles its points the same way, the margin being their distance to the edge of the
// gathered region. Points a radius cannot settle are redone with the radius their own candidates give,
// which settles them all. The points the grid's rings leave unsettled are compared with every point when
// they are few and finished on the tree otherwise; when they are many, the tree redoes the whole cloud.
#include "engines/outlier_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engines/point_helpers.hpp"

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace nimbrel_arm_util::detail {

namespace {

// Grid: a point outside a block lies at least `margin` away along one axis; its float squared distance can
// fall short of margin^2 only by a few float roundings, relative ones or, among denormals, absolute ones
// (kDenormalSlack below). Shrinking margin^2 by far more than that keeps the comparison safe, as long as
// the cell edge stays far above the double rounding of the coordinates (kFinestStep of their magnitude).
constexpr double kMarginShrink = 1.0 - 1e-5;
constexpr double kFinestStep = 1e-9;
// Grid: squared extents beyond this could overflow a float distance; such clouds go to the tree.
constexpr double kLargestSquaredExtent = 1e37;
// Grid: rings a point may grow its block by before the tree takes it, and the most points a cell may
// hold, in multiples of its target, before the grid is given up for the tree. Up to kFewFar points that
// the rings leave are compared with every point; more are finished on a tree.
constexpr int kMaxRing = 12;
constexpr double kMaxCellLoad = 8.0;
constexpr std::size_t kFewFar = 64;
// Tree: a point left out of a gathered region lies more than r away along one axis; its float squared
// distance can fall short of r^2 only by a few float roundings, relative ones or, among denormals,
// absolute ones. The difference along that axis is at least r (1 - 2^-24), a subtraction with a denormal
// result being exact, its square at least that squared minus 2^-150, and adding the other squares only
// grows it: the test takes off more than either, on the grid too.
constexpr double kRadiusShrink = 1.0 - 1e-6;
constexpr double kDenormalSlack = 0x1p-147;
// Tree: points per leaf at least; a leaf holds up to two thirds of the neighbours.
constexpr std::size_t kMinLeaf = 8;
// Tree: splits at the middle of the widest side isolate far points and follow dense clusters down to any
// scale; past this depth the tree splits at the median instead, so that its depth stays logarithmic.
constexpr int kMidpointDepth = 48;
// The selection below counts until at most this many values remain to be ordered.
constexpr std::size_t kFewValues = 8;

struct Node {
  float lo[3], hi[3];
  std::uint32_t begin, end;  // range of sorted points
  std::int32_t left, right;  // children, -1 for a leaf
};

struct Tree {
  std::vector<Node> nodes;
  std::vector<float> x, y, z;        // finite points in leaf order
  std::vector<std::uint32_t> index;  // original index of each sorted point
  std::vector<std::uint32_t> leaves;
  double diagonal = 0.0;  // of the whole cloud's box
};

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

struct Grid {
  double origin[3] = {0.0, 0.0, 0.0};
  double step = 1.0;
  double inv = 1.0;
  double slack = 0.0;  // bound on the rounding of a cell boundary and of a point's cell coordinate
  int dim[3] = {1, 1, 1};
  std::vector<std::uint32_t> start;  // first sorted point of each cell, one extra entry at the end
  std::vector<float> x, y, z;        // finite points sorted by cell
  std::vector<std::uint32_t> index;  // original index of each sorted point
  std::vector<std::uint32_t> occupied;

  std::size_t cellId(int ix, int iy, int iz) const {
    return (static_cast<std::size_t>(iz) * dim[1] + iy) * dim[0] + ix;
  }
  // Cell coordinate along one axis; points beyond the grid are clamped into its border cells, which the
  // margin test below allows for.
  int coord(float v, int axis) const {
    return clampedCell((static_cast<double>(v) - origin[axis]) * inv, dim[axis]);
  }
};

struct Scratch {
  std::vector<float> x, y, z, kept, few;
  std::vector<std::uint32_t> pending, stack;
  std::vector<double> needs;  // per point of a leaf, the radius that would have settled it
  std::size_t size = 0;
  float lastKth = 0.0f;    // take-th distance of the last settle attempt on the grid
  float cellGuess = 0.0f;  // selection bound carried from cell to cell
  void append(const float* px, const float* py, const float* pz, std::size_t a, std::size_t b) {
    const std::size_t n = b - a;
    if (size + n + 8 > x.size()) {
      const std::size_t cap = std::max<std::size_t>(2 * x.size(), size + n + 8);
      x.resize(cap);
      y.resize(cap);
      z.resize(cap);
      kept.resize(cap);
      few.resize(cap);
    }
    std::copy(px + a, px + b, x.begin() + size);
    std::copy(py + a, py + b, y.begin() + size);
    std::copy(pz + a, pz + b, z.begin() + size);
    size += n;
  }
};

struct Context {
  const Grid* grid;
  const Tree* tree;
  const OutlierKernels& kernels;
  std::size_t take;   // neighbours summed, query included: min(meanK + 1, searchable count)
  std::size_t total;  // searchable points
  int meanK;
};

// A point the grid left to the tree: its sorted position in the grid and a radius to start from.
struct Far {
  std::uint32_t position;
  double radius;
};

// Cell range of the block within `radius` of c along each axis, clipped to the grid.
struct Block {
  int lo[3], hi[3];
  Block(const Grid& g, const int c[3], int radius) {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::max(0, c[a] - radius);
      hi[a] = std::min(g.dim[a] - 1, c[a] + radius);
    }
  }
};

void appendRow(const Grid& g, int x0, int x1, int iy, int iz, Scratch& s) {
  // Cells along x are consecutive, so a row of cells is one range of sorted points.
  if (x0 <= x1)
    s.append(g.x.data(), g.y.data(), g.z.data(), g.start[g.cellId(x0, iy, iz)],
             g.start[g.cellId(x1, iy, iz) + 1]);
}

// Adds the points of block `b` that are not in block `inner` (pass an empty inner block to gather all).
void gatherShell(const Grid& g, const Block& b, const Block& inner, Scratch& s) {
  for (int iz = b.lo[2]; iz <= b.hi[2]; ++iz) {
    for (int iy = b.lo[1]; iy <= b.hi[1]; ++iy) {
      const bool crossesInner =
          iz >= inner.lo[2] && iz <= inner.hi[2] && iy >= inner.lo[1] && iy <= inner.hi[1];
      if (!crossesInner || inner.lo[0] > inner.hi[0]) {
        appendRow(g, b.lo[0], b.hi[0], iy, iz, s);
      } else {
        appendRow(g, b.lo[0], inner.lo[0] - 1, iy, iz, s);
        appendRow(g, inner.hi[0] + 1, b.hi[0], iy, iz, s);
      }
    }
  }
}

// Gathers the points of the block of cells within `radius` of c.
void gatherBlock(const Grid& g, const int c[3], int radius, Scratch& s) {
  s.size = 0;
  Block none(g, c, 0);
  none.lo[0] = 1;
  none.hi[0] = 0;
  gatherShell(g, Block(g, c, radius), none, s);
}

// Distance from q to the nearest face of the block that has a point beyond it; infinity when the block
// reaches the grid's border on every side.
double blockMargin(const Grid& g, const int c[3], int radius, const float q[3]) {
  double margin = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) {
    if (c[a] - radius > 0) {
      margin = std::min(margin, static_cast<double>(q[a]) - (g.origin[a] + (c[a] - radius) * g.step));
    }
    if (c[a] + radius < g.dim[a] - 1) {
      margin = std::min(margin, g.origin[a] + (c[a] + radius + 1) * g.step - static_cast<double>(q[a]));
    }
  }
  return std::max(margin - g.slack, 0.0);
}

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

// Finds the take-th smallest squared distance from q to the candidates of s (the multiset of the `take`
// smallest is then everything below it plus enough copies of it). Comparison-based selection mispredicts
// a branch at nearly every step; this one only counts. The distances within `bound` (widened until it
// holds `take`) are kept, and the interval holding the answer is narrowed by counting until only a few
// values in it are left to order.
float kthSmallest(const Context& ctx, const float q[3], Scratch& s, float bound, std::size_t& kept) {
  const std::size_t m = s.size;
  const std::size_t take = ctx.take;
  float* d = s.kept.data();
  if (!(bound > 0.0f)) bound = std::numeric_limits<float>::infinity();
  // A guess that falls short is widened a little first and then ever faster.
  for (float widen = 1.6f;; widen *= widen) {
    kept = ctx.kernels.distancesWithin(q[0], q[1], q[2], s.x.data(), s.y.data(), s.z.data(), m, bound, d);
    if (kept >= take) break;
    bound = bound < std::numeric_limits<float>::max() / widen ? bound * widen
                                                              : std::numeric_limits<float>::infinity();
  }
  // Invariant: count(<= lo) < take <= count(<= hi). Probes interpolate between the counts (distances
  // on a surface spread about evenly in their squares); every third probe halves the bit pattern range,
  // so the search ends even on skewed data. It stops once few values lie in (lo, hi].
  std::size_t countLo = ctx.kernels.countAtMost(d, kept, 0.0f);
  if (countLo >= take) return 0.0f;
  float lo = 0.0f;
  float hi = bound;
  std::size_t countHi = kept;
  // One pass first with eight thresholds close around the interpolated estimate: neighbouring order
  // statistics lie a few percent apart, so the answer is usually bracketed between two of them.
  if (countHi - countLo > kFewValues && hi < std::numeric_limits<float>::max()) {
    static constexpr double kSpread[8] = {-0.12, -0.06, -0.03, -0.01, 0.01, 0.03, 0.06, 0.12};
    const double share = (static_cast<double>(take - countLo) - 0.5) / static_cast<double>(countHi - countLo);
    const double estimate = lo + (static_cast<double>(hi) - lo) * share;
    float t[8];
    for (int j = 0; j < 8; ++j) {
      t[j] = std::clamp(static_cast<float>(estimate * (1.0 + kSpread[j])), lo, hi);
    }
    std::size_t counts[8];
    ctx.kernels.countAtMostEach(d, kept, t, counts);
    for (int j = 0; j < 8; ++j) {
      if (counts[j] >= take) {
        if (t[j] < hi) {
          hi = t[j];
          countHi = counts[j];
        }
        break;
      }
      if (t[j] > lo) {
        lo = t[j];
        countLo = counts[j];
      }
    }
  }
  for (int probe = 0; countHi - countLo > kFewValues; ++probe) {
    std::uint32_t loBits, hiBits;
    std::memcpy(&loBits, &lo, sizeof lo);
    std::memcpy(&hiBits, &hi, sizeof hi);
    if (hiBits - loBits <= 1) break;  // (lo, hi] holds one value only
    float t;
    if (probe % 3 != 2 && hi < std::numeric_limits<float>::max()) {
      const double share =
          (static_cast<double>(take - countLo) - 0.5) / static_cast<double>(countHi - countLo);
      t = static_cast<float>(lo + (static_cast<double>(hi) - lo) * share);
    } else {
      const std::uint32_t mid = loBits + (hiBits - loBits) / 2;
      std::memcpy(&t, &mid, sizeof t);
    }
    if (!(t > lo && t < hi)) {
      const std::uint32_t mid = loBits + (hiBits - loBits) / 2;
      std::memcpy(&t, &mid, sizeof t);
    }
    const std::size_t count = ctx.kernels.countAtMost(d, kept, t);
    if (count >= take) {
      hi = t;
      countHi = count;
    } else {
      lo = t;
      countLo = count;
    }
  }
  // The answer is the (take - countLo)-th smallest of the few values in (lo, hi].
  float* few = s.few.data();
  const std::size_t n = ctx.kernels.valuesInRange(d, kept, lo, hi, few);
  const std::size_t rank = take - countLo - 1;
  std::nth_element(few, few + rank, few + n);
  return few[rank];
}

// Mean of the square roots of the `take` smallest distances: those below kth, then kth as often as it
// takes. The float result must equal the library's ascending-order double sum divided by meanK; any two
// summation orders of n non-negative terms differ by at most 2(n-1)u of the sum, so when the float
// rounding cannot tell them apart the fast sum stands, and otherwise the sum is redone in ascending order.
float meanOfRoots(const Context& ctx, Scratch& s, std::size_t kept, float kth) {
  const std::size_t take = ctx.take;
  const float* d = s.kept.data();
  std::size_t below = 0;
  double sum;
  if (kept > take + take / 4 && kth > 0.0f) {
    // Roots only of the values below kth: gather them first.
    const std::size_t n = ctx.kernels.valuesInRange(d, kept, -1.0f, std::nextafter(kth, 0.0f), s.few.data());
    sum = ctx.kernels.sqrtSumBelow(s.few.data(), n, std::numeric_limits<float>::infinity(), &below);
  } else {
    sum = ctx.kernels.sqrtSumBelow(d, kept, kth, &below);
  }
  const double root = std::sqrt(static_cast<double>(kth));
  for (std::size_t i = below; i < take; ++i) sum += root;
  const double meanK = ctx.meanK;
  const float mean = static_cast<float>(sum / meanK);
  const double slack = 4.0 * static_cast<double>(take + 1) * std::numeric_limits<double>::epsilon();
  if (static_cast<float>(sum * (1.0 - slack) / meanK) == mean &&
      static_cast<float>(sum * (1.0 + slack) / meanK) == mean) {
    return mean;
  }
  std::vector<float> smallest;
  smallest.reserve(take);
  for (std::size_t i = 0; i < kept; ++i) {
    if (d[i] < kth) smallest.push_back(d[i]);
  }
  smallest.resize(take, kth);
  std::sort(smallest.begin(), smallest.end());
  double ordered = 0.0;
  for (const float v : smallest) ordered += std::sqrt(static_cast<double>(v));
  return static_cast<float>(ordered / meanK);
}

// The smallest margin whose test below accepts a take-th squared distance of `kth`.
double marginFor(float kth) {
  return std::sqrt((static_cast<double>(kth) + 2.0 * kDenormalSlack) / kRadiusShrink) * (1.0 + 1e-9);
}

bool settles(float kth, double margin) {
  return kth == 0.0f ||
         (margin > 0.0 && static_cast<double>(kth) < margin * margin * kRadiusShrink - kDenormalSlack);
}

// Tries to settle the point q of cell c from the candidates in s (the block of `radius` around c).
// `guess` is a squared distance that probably holds `take` candidates (0 when unknown); it steers the
// speed of the selection, never its result.
bool settle(const Context& ctx, const int c[3], int radius, const float q[3], Scratch& s, float& guess,
            float& result) {
  if (s.size < ctx.take) return false;
  std::size_t kept = 0;
  const float kth = kthSmallest(ctx, q, s, guess, kept);
  s.lastKth = kth;
  guess = kth * 1.15f;
  if (kth > 0.0f) {
    const double margin = blockMargin(*ctx.grid, c, radius, q);
    if (!std::isinf(margin)) {
      const double limit = margin * margin * kMarginShrink - kDenormalSlack;
      if (!(static_cast<double>(kth) < limit)) return false;
    }
  }
  result = meanOfRoots(ctx, s, kept, kth);
  return true;
}

void cellOf(const Grid& g, std::size_t cell, int c[3]) {
  c[0] = static_cast<int>(cell % g.dim[0]);
  c[1] = static_cast<int>((cell / g.dim[0]) % g.dim[1]);
  c[2] = static_cast<int>(cell / (static_cast<std::size_t>(g.dim[0]) * g.dim[1]));
}

// Points of one occupied cell against its 3x3x3 block; unsettled sorted positions go to `pending`.
void processCell(const Context& ctx, std::uint32_t cell, Scratch& s, float* distances,
                 std::vector<std::uint32_t>& pending) {
  const Grid& g = *ctx.grid;
  int c[3];
  cellOf(g, cell, c);
  gatherBlock(g, c, 1, s);
  // The previous cell's last bound is a fair first guess here: cells come in order of their position.
  float& guess = s.cellGuess;
  for (std::uint32_t p = g.start[cell]; p < g.start[cell + 1]; ++p) {
    const float q[3] = {g.x[p], g.y[p], g.z[p]};
    float result = 0.0f;
    if (settle(ctx, c, 1, q, s, guess, result)) {
      distances[g.index[p]] = result;
    } else {
      pending.push_back(p);
    }
  }
}

// A point the 3x3x3 block could not settle: grow the block ring by ring, up to kMaxRing. Each block holds
// the previous one, so its take-th distance can only be smaller. A point still unsettled (far from the
// rest, where empty rings would go on and on) goes to `far` for the tree.
void processPending(const Context& ctx, std::uint32_t p, Scratch& s, float* distances,
                    std::vector<Far>& far) {
  const Grid& g = *ctx.grid;
  const float q[3] = {g.x[p], g.y[p], g.z[p]};
  const int c[3] = {g.coord(q[0], 0), g.coord(q[1], 1), g.coord(q[2], 2)};
  const int widest = std::max({g.dim[0], g.dim[1], g.dim[2]});
  gatherBlock(g, c, 1, s);
  float guess = 0.0f;
  for (int radius = 2;; ++radius) {
    gatherShell(g, Block(g, c, radius), Block(g, c, radius - 1), s);
    float result = 0.0f;
    s.lastKth = 0.0f;
    if (settle(ctx, c, radius, q, s, guess, result) || radius > widest) {
      // Past the widest dimension the block holds every point and its margin is infinite.
      distances[g.index[p]] = result;
      return;
    }
    if (radius >= kMaxRing) {
      // The block's take-th distance, when it has one, bounds the point's: the tree starts from there.
      far.push_back(Far{p, s.size >= ctx.take ? marginFor(s.lastKth) : 0.0});
      return;
    }
  }
}

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

// Picks the cell edge so that occupied cells hold about `target` points, bounded in total cell count,
// and sorts the finite points by cell.
// Returns false, leaving the grid unfinished, when it would not pay or when two points may lie so far apart
// that their float squared distance overflows.
bool buildGrid(const float* points, std::size_t stride, const std::vector<std::uint32_t>& finite,
               double target, Grid& g) {
  const std::size_t n = finite.size();
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::numeric_limits<double>::infinity();
    hi[a] = -lo[a];
  }
  for (const std::uint32_t i : finite) {
    for (int a = 0; a < 3; ++a) {
      const double v = points[i * stride + a];
      lo[a] = std::min(lo[a], v);
      hi[a] = std::max(hi[a], v);
    }
  }
  double extent[3], widest = 0.0;
  for (int a = 0; a < 3; ++a) {
    g.origin[a] = lo[a];
    extent[a] = hi[a] - lo[a];
    widest = std::max(widest, extent[a]);
  }
  if (extent[0] * extent[0] + extent[1] * extent[1] + extent[2] * extent[2] > kLargestSquaredExtent) {
    return false;
  }
  // Cell ids are 32-bit.
  const double maxCells = std::min(std::max(4096.0, 8.0 * static_cast<double>(n)), 2147483647.0);
  std::vector<std::uint32_t> cellIds(n);
  std::vector<std::uint32_t>& counts = g.start;
  bool converged = false;
  std::uint32_t fullest = 0;

  double step;
  if (!(widest > 0.0)) {
    step = 1.0;
  } else {
    double volume = 1.0;
    for (int a = 0; a < 3; ++a) volume *= std::max(extent[a], widest * 1e-3);
    step = std::cbrt(volume * target / static_cast<double>(n));
  }
  for (int attempt = 0;; ++attempt) {
    double cells = 1.0;
    for (int a = 0; a < 3; ++a) cells *= std::floor(extent[a] / step) + 1.0;
    if (cells > maxCells) {
      step *= std::cbrt(cells / maxCells) * 1.01;
      continue;
    }
    g.step = step;
    g.inv = 1.0 / step;
    for (int a = 0; a < 3; ++a) g.dim[a] = static_cast<int>(std::floor(extent[a] / step)) + 1;
    const std::size_t total = static_cast<std::size_t>(g.dim[0]) * g.dim[1] * g.dim[2];
    counts.assign(total + 1, 0);
    // The cell of each point on the threads, then the counts in one quick pass.
    const long pointCount = static_cast<long>(n);
#ifdef NIMBREL_WITH_OPENMP
#pragma omp parallel for schedule(static) if (pointCount >= 32768)
#endif
    for (long j = 0; j < pointCount; ++j) {
      const float* p = points + finite[static_cast<std::size_t>(j)] * stride;
      cellIds[static_cast<std::size_t>(j)] =
          static_cast<std::uint32_t>(g.cellId(g.coord(p[0], 0), g.coord(p[1], 1), g.coord(p[2], 2)));
    }
    std::size_t occupied = 0;
    fullest = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint32_t id = cellIds[j];
      occupied += counts[id]++ == 0;
      fullest = std::max(fullest, counts[id]);
    }
    const double perCell = static_cast<double>(n) / static_cast<double>(occupied);
    converged = !(widest > 0.0) || (perCell > 0.6 * target && perCell < 1.7 * target);
    if (attempt >= 3 || converged) break;
    // Occupancy grows with the square of the edge on surfaces and its cube in volumes; the square root
    // converges for both without overshooting.
    step *= std::clamp(std::sqrt(target / perCell), 0.3, 3.0);
  }

  // A grid that missed its occupancy or crowds one cell (clusters, duplicates, a few strays that stretch
  // the box) costs more than it saves, and cells too fine for the coordinates' rounding cannot prove a
  // margin: the tree handles such clouds.
  double magnitude = 0.0;
  for (int a = 0; a < 3; ++a) magnitude = std::max({magnitude, std::fabs(lo[a]), std::fabs(hi[a])});
  if (!converged || fullest > kMaxCellLoad * target || g.step < kFinestStep * magnitude ||
      g.step * g.step < 1e6 * kDenormalSlack) {
    return false;
  }
  g.slack = 16.0 * std::numeric_limits<double>::epsilon() *
            (magnitude + static_cast<double>(std::max({g.dim[0], g.dim[1], g.dim[2]}) + 1) * g.step);

  // Counts to start offsets, then scatter the points in their original order within each cell.
  g.occupied.clear();
  std::uint32_t running = 0;
  for (std::size_t id = 0; id + 1 < counts.size(); ++id) {
    const std::uint32_t c = counts[id];
    if (c != 0) g.occupied.push_back(static_cast<std::uint32_t>(id));
    counts[id] = running;
    running += c;
  }
  counts.back() = running;
  g.x.resize(n);
  g.y.resize(n);
  g.z.resize(n);
  g.index.resize(n);
  std::vector<std::uint32_t> fill(counts.begin(), counts.end() - 1);
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint32_t at = fill[cellIds[j]]++;
    const float* p = points + finite[j] * stride;
    g.x[at] = p[0];
    g.y[at] = p[1];
    g.z[at] = p[2];
    g.index[at] = finite[j];
  }
  return true;
}

// Every occupied cell against its block, then the points it left through growing rings; those still
// unsettled are returned in `far`.
void runGrid(const Context& ctx, float* distances, std::vector<Far>& far) {
  const Grid& grid = *ctx.grid;
  std::vector<std::uint32_t> pending;
#ifdef NIMBREL_WITH_OPENMP
  const long cells = static_cast<long>(grid.occupied.size());
#pragma omp parallel
  {
    Scratch s;
    std::vector<std::uint32_t> local;
    std::vector<Far> localFar;
#pragma omp for schedule(dynamic, 16) nowait
    for (long i = 0; i < cells; ++i) processCell(ctx, grid.occupied[i], s, distances, local);
#pragma omp critical
    pending.insert(pending.end(), local.begin(), local.end());
#pragma omp barrier
    const long waiting = static_cast<long>(pending.size());
#pragma omp for schedule(dynamic, 4) nowait
    for (long i = 0; i < waiting; ++i) processPending(ctx, pending[i], s, distances, localFar);
#pragma omp critical
    far.insert(far.end(), localFar.begin(), localFar.end());
  }
#else
  Scratch s;
  for (const std::uint32_t cell : grid.occupied) processCell(ctx, cell, s, distances, pending);
  for (const std::uint32_t p : pending) processPending(ctx, p, s, distances, far);
#endif
}

// Every leaf of the tree.
void runLeaves(const Context& ctx, float* distances) {
  const Tree& tree = *ctx.tree;
#ifdef NIMBREL_WITH_OPENMP
  const long leaves = static_cast<long>(tree.leaves.size());
#pragma omp parallel
  {
    Scratch s;
    double guess = 0.0;
#pragma omp for schedule(dynamic, 16)
    for (long i = 0; i < leaves; ++i) processLeaf(ctx, tree.nodes[tree.leaves[i]], s, guess, distances);
  }
#else
  Scratch s;
  double guess = 0.0;
  for (const std::uint32_t leaf : tree.leaves) processLeaf(ctx, tree.nodes[leaf], s, guess, distances);
#endif
}

}  // namespace

std::size_t outlierMeanDistances(const float* points, std::size_t count, std::size_t stride, int meanK,
                                 float* distances, const OutlierKernels& kernels, bool treeOnly) {
  std::vector<std::uint32_t> finite;
  finite.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const float* p = points + i * stride;
    distances[i] = 0.0f;
    if (isSearchable(p[0], p[1], p[2])) {
      finite.push_back(static_cast<std::uint32_t>(i));
    }
  }
  if (finite.empty()) return 0;

  const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(meanK) + 1, finite.size());
  const std::size_t leafSize = std::max(kMinLeaf, take * 2 / 3);
  Tree tree;
  Context ctx{nullptr, &tree, kernels, take, finite.size(), meanK};

  // About a third of the neighbours per cell puts the k-th neighbour inside the 3x3x3 block for most
  // points of surfaces and volumes alike, without gathering many more candidates than needed.
  const double target = std::max(4.0, 0.33 * static_cast<double>(take));
  Grid grid;
  std::vector<Far> far;
  bool onGrid = !treeOnly && buildGrid(points, stride, finite, target, grid);
  if (onGrid) {
    ctx.grid = &grid;
    runGrid(ctx, distances, far);
    if (far.empty()) return finite.size();
    // When the grid settled too few points to be worth finishing one by one, the tree redoes them all.
    onGrid = far.size() * 4 <= finite.size();
  }
  if (onGrid && far.size() <= kFewFar) {
    // A few points: every point is a candidate, so nothing can be closer than the take-th among them.
    Scratch all;
    all.append(grid.x.data(), grid.y.data(), grid.z.data(), 0, grid.x.size());
    for (const Far& f : far) {
      const float q[3] = {grid.x[f.position], grid.y[f.position], grid.z[f.position]};
      std::size_t kept = 0;
      const float bound = static_cast<float>(f.radius * f.radius * (1.0 + 1e-6));
      const float kth = kthSmallest(ctx, q, all, bound, kept);
      distances[grid.index[f.position]] = meanOfRoots(ctx, all, kept, kth);
    }
    return finite.size();
  }
  buildTree(points, stride, finite, leafSize, tree);
  if (onGrid) {
    Scratch s;
    for (const Far& f : far) {
      const float q[3] = {grid.x[f.position], grid.y[f.position], grid.z[f.position]};
      processPoint(ctx, q, grid.index[f.position], f.radius, s, distances);
    }
    return finite.size();
  }
  ctx.grid = nullptr;
  runLeaves(ctx, distances);
  return finite.size();
}

}  // namespace nimbrel_arm_util::detail
