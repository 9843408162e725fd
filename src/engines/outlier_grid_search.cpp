// The grid search, for clouds whose points spread about evenly, as camera frames do. Each occupied cell
// gathers the points of its 3x3x3 block of cells once, and every point of the cell takes its k + 1
// smallest squared distances among them by selection. That result is exact whenever the (k+1)-th distance
// is smaller than the distance from the point to the block's boundary (less the rounding bound); points
// the block cannot settle try the cells within the distance it gave them, then grow their block ring by
// ring, up to kMaxRing rings, and those still unsettled are handed back. Compiled with -ffp-contract=off.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engines/outlier_search.hpp"
#include "engines/parallel.hpp"

namespace nimbrel_arm_util::detail::outlier {

namespace {

// Grid: a point outside a block lies at least `margin` away along one axis; its float squared distance can
// fall short of margin^2 only by a few float roundings, relative ones or, among denormals, absolute ones
// (kDenormalSlack). Shrinking margin^2 by far more than that keeps the comparison safe, as long as
// the cell edge stays far above the double rounding of the coordinates (kFinestStep of their magnitude).
constexpr double kMarginShrink = 1.0 - 1e-5;
constexpr double kFinestStep = 1e-9;
// Grid: squared extents beyond this could overflow a float distance; such clouds go to the tree.
constexpr double kLargestSquaredExtent = 1e37;
// Grid: rings a point may grow its block by before the tree takes it, and the most points a cell may
// hold, in multiples of its target, before the grid is given up for the tree.
constexpr int kMaxRing = 12;
constexpr double kMaxCellLoad = 8.0;

// A point its 3x3x3 block left: its sorted position, and the take-th distance the block gave it (0 when the
// block held too few points).
struct Pending {
  std::uint32_t position;
  float kth;
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

// Distance from q (inside block b) to the nearest face of b that has a point beyond it; infinity when the
// block reaches the grid's border on every side.
double blockMargin(const Grid& g, const Block& b, const float q[3]) {
  double margin = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) {
    if (b.lo[a] > 0) {
      margin = std::min(margin, static_cast<double>(q[a]) - (g.origin[a] + b.lo[a] * g.step));
    }
    if (b.hi[a] < g.dim[a] - 1) {
      margin = std::min(margin, g.origin[a] + (b.hi[a] + 1) * g.step - static_cast<double>(q[a]));
    }
  }
  return std::max(margin - g.slack, 0.0);
}

// Tries to settle the point q from the candidates in s, the points of block b, which holds q's cell.
// `guess` is a squared distance that probably holds `take` candidates (0 when unknown); it steers the
// speed of the selection, never its result.
bool settle(const Context& ctx, const Block& b, const float q[3], Scratch& s, float& guess, float& result) {
  if (s.size < ctx.take) return false;
  std::size_t kept = 0;
  const float kth = kthSmallest(ctx, q, s, guess, kept);
  s.lastKth = kth;
  guess = kth * 1.15f;
  if (kth > 0.0f) {
    const double margin = blockMargin(*ctx.grid, b, q);
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

// Points of one occupied cell against its 3x3x3 block; unsettled points go to `pending`, with the take-th
// distance their block gave them when it had one.
void processCell(const Context& ctx, std::uint32_t cell, Scratch& s, float* distances,
                 std::vector<Pending>& pending) {
  const Grid& g = *ctx.grid;
  int c[3];
  cellOf(g, cell, c);
  gatherBlock(g, c, 1, s);
  const Block block(g, c, 1);
  // The previous cell's last bound is a fair first guess here: cells come in order of their position.
  float& guess = s.cellGuess;
  for (std::uint32_t p = g.start[cell]; p < g.start[cell + 1]; ++p) {
    const float q[3] = {g.x[p], g.y[p], g.z[p]};
    float result = 0.0f;
    s.lastKth = 0.0f;
    if (settle(ctx, block, q, s, guess, result)) {
      distances[g.index[p]] = result;
    } else {
      pending.push_back(Pending{p, s.size >= ctx.take ? s.lastKth : 0.0f});
    }
  }
}

// Cells that may hold a point within `radius` of q along each axis: a block around q's cell, wider on the
// sides q lies close to.
Block blockAround(const Grid& g, const int c[3], const float q[3], double radius) {
  Block b(g, c, 0);
  for (int a = 0; a < 3; ++a) {
    const double reach = radius + g.slack;
    b.lo[a] =
        std::min(c[a], clampedCell((static_cast<double>(q[a]) - reach - g.origin[a]) * g.inv, g.dim[a]));
    b.hi[a] =
        std::max(c[a], clampedCell((static_cast<double>(q[a]) + reach - g.origin[a]) * g.inv, g.dim[a]));
  }
  return b;
}

// A point the 3x3x3 block could not settle. Its take-th distance there bounds its true one, so first the
// cells within that distance alone, which usually settles it with far fewer candidates than a whole ring
// more. Otherwise grow the block ring by ring, up to kMaxRing; each block holds the previous one, so its
// take-th distance can only be smaller. A point still unsettled (far from the rest, where empty rings would
// go on and on) goes to `far` for the tree. Any block that settles gives the same, exact, result.
void processPending(const Context& ctx, const Pending& pending, Scratch& s, float* distances,
                    std::vector<Far>& far) {
  const Grid& g = *ctx.grid;
  const std::uint32_t p = pending.position;
  const float q[3] = {g.x[p], g.y[p], g.z[p]};
  const int c[3] = {g.coord(q[0], 0), g.coord(q[1], 1), g.coord(q[2], 2)};
  const int widest = std::max({g.dim[0], g.dim[1], g.dim[2]});
  float guess = 0.0f;
  if (pending.kth > 0.0f) {
    // A little beyond the bound, so that the margin test, which allows for rounding, accepts it.
    const Block near = blockAround(g, c, q, marginFor(pending.kth) * (1.0 + 1e-4));
    // Taken only when it spans no more cells than the block one ring out would.
    long cells = 1;
    for (int a = 0; a < 3; ++a) cells *= near.hi[a] - near.lo[a] + 1;
    if (cells <= 125) {
      s.size = 0;
      Block none(g, c, 0);
      none.lo[0] = 1;
      none.hi[0] = 0;
      gatherShell(g, near, none, s);
      guess = pending.kth * 1.0001f;
      float result = 0.0f;
      if (settle(ctx, near, q, s, guess, result)) {
        distances[g.index[p]] = result;
        return;
      }
      guess = 0.0f;
    }
  }
  gatherBlock(g, c, 1, s);
  for (int radius = 2;; ++radius) {
    gatherShell(g, Block(g, c, radius), Block(g, c, radius - 1), s);
    float result = 0.0f;
    s.lastKth = 0.0f;
    if (settle(ctx, Block(g, c, radius), q, s, guess, result) || radius > widest) {
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

}  // namespace

// Picks the cell edge so that occupied cells hold about `target` points, bounded in total cell count,
// and sorts the finite points by cell.
// Returns false, leaving the grid unfinished, when it would not pay or when two points may lie so far apart
// that their float squared distance overflows.
bool buildGrid(const float* points, std::size_t stride, const std::vector<std::uint32_t>& finite,
               double target, int threads, Grid& g) {
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
    forEachStatic(static_cast<long>(n), threads, 0, [&](long j) {
      const float* p = points + finite[static_cast<std::size_t>(j)] * stride;
      cellIds[static_cast<std::size_t>(j)] =
          static_cast<std::uint32_t>(g.cellId(g.coord(p[0], 0), g.coord(p[1], 1), g.coord(p[2], 2)));
    });
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
  // Each thread keeps its scratch space and its leftovers; the leftovers are joined between the passes.
  struct Worker {
    Scratch s;
    std::vector<Pending> pending;
    std::vector<Far> far;
  };
  std::vector<Worker> workers(static_cast<std::size_t>(ctx.threads));
  forEachDynamic(static_cast<long>(grid.occupied.size()), workers, 16, [&](Worker& w, long i) {
    processCell(ctx, grid.occupied[static_cast<std::size_t>(i)], w.s, distances, w.pending);
  });
  std::vector<Pending> pending;
  for (const Worker& w : workers) pending.insert(pending.end(), w.pending.begin(), w.pending.end());
  forEachDynamic(static_cast<long>(pending.size()), workers, 4, [&](Worker& w, long i) {
    processPending(ctx, pending[static_cast<std::size_t>(i)], w.s, distances, w.far);
  });
  for (const Worker& w : workers) far.insert(far.end(), w.far.begin(), w.far.end());
}

}  // namespace nimbrel_arm_util::detail::outlier
