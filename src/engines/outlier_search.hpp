// The parts of the exact k-nearest search behind outlierMeanDistances (not installed): the candidate
// buffers with the selection and summation that every search shares (outlier_select.cpp), the grid search
// (outlier_grid_search.cpp) and the tree search (outlier_tree_search.cpp). outlier_core.cpp says when
// each serves. PCL-free, like the kernels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engines/outlier_kernels.hpp"
#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util::detail::outlier {

// Rounding bounds of both searches. Tree: a point left out of a gathered region lies more than r away along
// one axis; its float squared distance can fall short of r^2 only by a few float roundings, relative ones or,
// among denormals, absolute ones. The difference along that axis is at least r (1 - 2^-24), a subtraction
// with a denormal result being exact, its square at least that squared minus 2^-150, and adding the other
// squares only grows it: the test takes off more than either, on the grid too.
constexpr double kRadiusShrink = 1.0 - 1e-6;
constexpr double kDenormalSlack = 0x1p-147;

// Tree: after the build, a node's box is tight around its points, and a leaf's points are [begin, end)
// of the tree's sorted points.
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
// Tree: points per leaf at least; a leaf holds up to two thirds of the neighbours.
constexpr std::size_t kMinLeaf = 8;
// Tree: splits at the middle of the widest side isolate far points and follow dense clusters down to any
// scale; past this depth the tree splits at the median instead, so that its depth stays logarithmic.
constexpr int kMidpointDepth = 48;

// Grid: after the build, cell c's points are [start[c], start[c + 1]) of the sorted points, in their
// original order.
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
  // grid search's margin test allows for.
  int coord(float v, int axis) const {
    return clampedCell((static_cast<double>(v) - origin[axis]) * inv, dim[axis]);
  }
};

// Candidates gathered for a query (x, y, z; their squared distances go to `kept`, the few left to order to
// `few`), and the per-thread state of the searches.
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
  int threads;  // for the searches' loops, one at least
};

// A point the grid left to the tree: its sorted position in the grid and a radius to start from.
struct Far {
  std::uint32_t position;
  double radius;
};

// ---- Selection and summation (outlier_select.cpp)

/// The take-th smallest squared distance from q to the candidates of s; `kept` is then the number of
/// distances within the final bound, stored in s.kept. `bound` is a guess that probably holds `take`
/// candidates (0 when unknown): it steers the speed, never the result.
float kthSmallest(const Context& ctx, const float q[3], Scratch& s, float bound, std::size_t& kept);
/// The mean distance of the query whose squared distances kthSmallest left in s.kept: bit for bit the
/// ascending-order double sum of the take smallest square roots, divided by meanK, rounded to float.
float meanOfRoots(const Context& ctx, Scratch& s, std::size_t kept, float kth);

// The smallest margin whose test below accepts a take-th squared distance of `kth`.
inline double marginFor(float kth) {
  return std::sqrt((static_cast<double>(kth) + 2.0 * kDenormalSlack) / kRadiusShrink) * (1.0 + 1e-9);
}

inline bool settles(float kth, double margin) {
  return kth == 0.0f ||
         (margin > 0.0 && static_cast<double>(kth) < margin * margin * kRadiusShrink - kDenormalSlack);
}

// ---- Grid search (outlier_grid_search.cpp)

/// Sorts the searchable points (`finite`, indices into `points`) into a grid of about `target` points per
/// occupied cell, on `threads` threads. False, the grid unfinished, where a grid would not pay or cannot
/// prove its margins.
bool buildGrid(const float* points, std::size_t stride, const std::vector<std::uint32_t>& finite,
               double target, int threads, Grid& g);
/// Writes the mean distance of every grid point it settles; the points its rings cannot settle are
/// appended to `far`, their distances left alone.
void runGrid(const Context& ctx, float* distances, std::vector<Far>& far);

// ---- Tree search (outlier_tree_search.cpp)

/// Builds the tree over the searchable points, in leaves of at least `leafSize` points.
void buildTree(const float* points, std::size_t stride, const std::vector<std::uint32_t>& finite,
               std::size_t leafSize, Tree& t);
/// Writes the mean distance of every point of the tree.
void runLeaves(const Context& ctx, float* distances);
/// Writes the mean distance of the point q (original index `index`), starting from a radius r around it.
void processPoint(const Context& ctx, const float q[3], std::uint32_t index, double r, Scratch& s,
                  float* distances);

}  // namespace nimbrel_arm_util::detail::outlier
