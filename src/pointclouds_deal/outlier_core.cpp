// Exact k-nearest mean distances on a uniform grid. Compiled with -ffp-contract=off.
//
// Each occupied cell gathers the points of its 3x3x3 block of cells once, and every point of the cell
// takes its k + 1 smallest squared distances among them by selection. That result is exact whenever the
// (k+1)-th distance is smaller than the distance from the point to the block's boundary: no point outside
// the block can then be closer. Points the block cannot settle (sparse regions, flying pixels) grow their
// block ring by ring until it can, which ends at the latest when the block covers the whole grid.
#include "pointclouds_deal/outlier_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

namespace nimbrel_arm_util::detail {

namespace {

// A point outside a block lies at least `margin` away along one axis; its float squared distance can fall
// short of margin^2 only by a few float roundings. Shrinking margin^2 by far more than that keeps the
// comparison safe, and a floor keeps it away from denormal squares.
constexpr double kMarginShrink = 1.0 - 1e-5;
constexpr double kMinMarginSquared = 1e-30;
// The kd-tree never reports a neighbour whose squared distance reaches the largest float (its initial
// worst distance), and then sums stale values: clouds that wide are left to it.
constexpr double kLargestSquaredExtent = 1e37;
// The selection below counts until at most this many values remain to be ordered.
constexpr std::size_t kFewValues = 8;

struct Grid {
  double origin[3] = {0.0, 0.0, 0.0};
  double step = 1.0;
  double inv = 1.0;
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
    const double t = (static_cast<double>(v) - origin[axis]) * inv;
    if (!(t > 0.0)) return 0;
    if (t >= dim[axis] - 1) return dim[axis] - 1;
    return static_cast<int>(t);
  }
};

struct Scratch {
  std::vector<float> x, y, z, kept, few;
  std::size_t size = 0;
  void reset() { size = 0; }
  void append(const Grid& g, std::size_t a, std::size_t b) {
    const std::size_t n = b - a;
    if (size + n + 8 > x.size()) {
      const std::size_t cap = std::max<std::size_t>(2 * x.size(), size + n + 8);
      x.resize(cap);
      y.resize(cap);
      z.resize(cap);
      kept.resize(cap);
      few.resize(cap);
    }
    std::copy(g.x.begin() + a, g.x.begin() + b, x.begin() + size);
    std::copy(g.y.begin() + a, g.y.begin() + b, y.begin() + size);
    std::copy(g.z.begin() + a, g.z.begin() + b, z.begin() + size);
    size += n;
  }
};

struct Context {
  const Grid& grid;
  const OutlierKernels& kernels;
  std::size_t take;  // neighbours summed, query included: min(meanK + 1, finite count)
  int meanK;
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
  if (x0 <= x1) s.append(g, g.start[g.cellId(x0, iy, iz)], g.start[g.cellId(x1, iy, iz) + 1]);
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
  s.reset();
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
  return std::max(margin, 0.0);
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
  double sum = ctx.kernels.sqrtSumBelow(d, kept, kth, &below);
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

// Tries to settle the point q of cell c from the candidates in s (the block of `radius` around c).
// `guess` is a squared distance that probably holds `take` candidates (0 when unknown); it steers the
// speed of the selection, never its result.
bool settle(const Context& ctx, const int c[3], int radius, const float q[3], Scratch& s, float& guess,
            float& result) {
  if (s.size < ctx.take) return false;
  std::size_t kept = 0;
  const float kth = kthSmallest(ctx, q, s, guess, kept);
  guess = kth * 1.15f;
  if (kth > 0.0f) {
    const double margin = blockMargin(ctx.grid, c, radius, q);
    if (!std::isinf(margin)) {
      const double limit = margin * margin * kMarginShrink;
      if (limit < kMinMarginSquared || !(static_cast<double>(kth) < limit)) return false;
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
  const Grid& g = ctx.grid;
  int c[3];
  cellOf(g, cell, c);
  gatherBlock(g, c, 1, s);
  float guess = 0.0f;
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

// A point the 3x3x3 block could not settle: grow the block ring by ring until it can. Each block holds
// the previous one, so its take-th distance can only be smaller: the last one bounds the selection.
void processPending(const Context& ctx, std::uint32_t p, Scratch& s, float* distances) {
  const Grid& g = ctx.grid;
  const float q[3] = {g.x[p], g.y[p], g.z[p]};
  const int c[3] = {g.coord(q[0], 0), g.coord(q[1], 1), g.coord(q[2], 2)};
  const int widest = std::max({g.dim[0], g.dim[1], g.dim[2]});
  // Cells so small that no margin clears the denormal floor: go straight to the whole grid.
  const int first = g.step * g.step < kMinMarginSquared ? widest + 1 : 2;
  gatherBlock(g, c, first - 1, s);
  float guess = 0.0f;
  for (int radius = first;; ++radius) {
    gatherShell(g, Block(g, c, radius), Block(g, c, radius - 1), s);
    float result = 0.0f;
    if (settle(ctx, c, radius, q, s, guess, result) || radius > widest) {
      // Past the widest dimension the block holds every point and its margin is infinite.
      distances[g.index[p]] = result;
      return;
    }
  }
}

// Picks the cell edge so that occupied cells hold about `target` points, bounded in total cell count,
// and sorts the finite points by cell.
// Returns false, building nothing, when two finite points may lie so far apart that their float squared
// distance overflows.
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
    std::size_t occupied = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const float* p = points + finite[j] * stride;
      const std::size_t id = g.cellId(g.coord(p[0], 0), g.coord(p[1], 1), g.coord(p[2], 2));
      cellIds[j] = static_cast<std::uint32_t>(id);
      occupied += counts[id]++ == 0;
    }
    const double perCell = static_cast<double>(n) / static_cast<double>(occupied);
    if (attempt >= 3 || !(widest > 0.0) || (perCell > 0.6 * target && perCell < 1.7 * target)) break;
    // Occupancy grows with the square of the edge on surfaces and its cube in volumes; the square root
    // converges for both without overshooting.
    step *= std::clamp(std::sqrt(target / perCell), 0.3, 3.0);
  }

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

}  // namespace

std::size_t outlierMeanDistances(const float* points, std::size_t count, std::size_t stride, int meanK,
                                 float* distances, const OutlierKernels& kernels) {
  std::vector<std::uint32_t> finite;
  finite.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const float* p = points + i * stride;
    distances[i] = 0.0f;
    if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) {
      finite.push_back(static_cast<std::uint32_t>(i));
    }
  }
  if (finite.empty()) return 0;

  const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(meanK) + 1, finite.size());
  // About a third of the neighbours per cell puts the k-th neighbour inside the 3x3x3 block for most
  // points of surfaces and volumes alike, without gathering many more candidates than needed.
  const double target = std::max(4.0, 0.33 * static_cast<double>(take));
  Grid grid;
  if (!buildGrid(points, stride, finite, target, grid)) return kDistancesOverflow;
  const Context ctx{grid, kernels, take, meanK};

  std::vector<std::uint32_t> pending;
#ifdef NIMBREL_WITH_OPENMP
  const long cells = static_cast<long>(grid.occupied.size());
#pragma omp parallel
  {
    Scratch s;
    std::vector<std::uint32_t> local;
#pragma omp for schedule(dynamic, 16) nowait
    for (long i = 0; i < cells; ++i) processCell(ctx, grid.occupied[i], s, distances, local);
#pragma omp critical
    pending.insert(pending.end(), local.begin(), local.end());
#pragma omp barrier
    const long waiting = static_cast<long>(pending.size());
#pragma omp for schedule(dynamic, 4)
    for (long i = 0; i < waiting; ++i) processPending(ctx, pending[i], s, distances);
  }
#else
  Scratch s;
  for (const std::uint32_t cell : grid.occupied) processCell(ctx, cell, s, distances, pending);
  for (const std::uint32_t p : pending) processPending(ctx, p, s, distances);
#endif
  return finite.size();
}

}  // namespace nimbrel_arm_util::detail
