// Exact k-nearest mean distances for the statistical outlier removal: when each search serves. Compiled
// with -ffp-contract=off.
//
// What holds: every searchable point gets the mean of the square roots of its k + 1 smallest float squared
// distances (itself included) to the searchable points, summed in double in ascending order and divided by
// k: its exact k nearest neighbours, whichever search finds them. That equals the point-cloud library's
// filter wherever the library's kd-tree returns the true k nearest neighbours. It does not always: the
// tree's pruning bound is rounded in float, and on adversarial layouts it misses a nearer point; the
// result here is then the one of the true neighbours, not the library's.
//
// Which search: the grid (outlier_grid_search.cpp) where it pays, that is where the points spread about
// evenly; the tree (outlier_tree_search.cpp) where the grid declines. The few points the grid's rings leave
// are compared with every point, more of them are finished on the tree one by one, and when the grid
// leaves a quarter of the cloud or more, the tree redoes it all. Both settle a point only once no point
// outside its candidates can be nearer than its (k+1)-th candidate, so both give the same result.
#include "engines/outlier_core.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engines/outlier_search.hpp"
#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util::detail {

namespace {

// Up to this many points that the grid's rings leave are compared with every point; more are finished
// on a tree.
constexpr std::size_t kFewFar = 64;

}  // namespace

using namespace outlier;

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
  ThreadBudget budget;
  Context ctx{nullptr, &tree, kernels, take, finite.size(), meanK, budget.threads()};

  // About a third of the neighbours per cell puts the k-th neighbour inside the 3x3x3 block for most
  // points of surfaces and volumes alike, without gathering many more candidates than needed.
  const double target = std::max(4.0, 0.33 * static_cast<double>(take));
  Grid grid;
  std::vector<Far> far;
  bool onGrid = !treeOnly &&
                buildGrid(points, stride, finite, target, budget.team(finite.size(), kMinGridPoints), grid);
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
