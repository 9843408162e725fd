// Near-or-not queries against surface samples, answering as a kd-tree nearest-neighbour query would.
#include "pointclouds_deal/surface_grid.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrel_arm_util {
namespace detail {
namespace {

// A float squared distance below nearDistance² means a true distance below nearDistance·(1 + 3e-7), and
// the reverse; the margins used to decide whole cells are far wider than that rounding and far narrower
// than the grid, so deciding a cell at once never changes an answer.
constexpr double kMargin = 1e-5;

// Cells never shrink below half the near distance, so a query spans at most six cells per axis.
constexpr int kMaxSpan = 8;

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

SurfaceGrid::SurfaceGrid(const pcl::PointCloud<pcl::PointXYZ>& samples, double nearDistance) {
  // Non-finite samples are never nearest to anything in a kd-tree either, so they are left out.
  std::size_t count = 0;
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinite(p)) continue;
    const double v[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      lo_[a] = count == 0 ? v[a] : std::min(lo_[a], v[a]);
      hi_[a] = count == 0 ? v[a] : std::max(hi_[a], v[a]);
    }
    ++count;
  }
  if (count == 0 || !(nearDistance > 0.0) || !std::isfinite(nearDistance)) {
    return;  // no cells: nothing is near
  }
  threshold2_ = nearDistance * nearDistance;
  reach_ = nearDistance * (1.0 + kMargin);
  sure_ = nearDistance * (1.0 - kMargin);

  // Half the near distance makes every occupied cell within reach of a query in it decide at once; grow
  // the cells only when a far-flung mesh would otherwise need far more cells than it has samples.
  const double cap = std::max(4096.0, 8.0 * static_cast<double>(count));
  cell_ = nearDistance / 2.0;
  for (;;) {
    double total = 1.0;
    for (int a = 0; a < 3; ++a) total *= std::floor((hi_[a] - lo_[a]) / cell_) + 1.0;
    if (total <= cap) break;
    cell_ *= 2.0;
  }
  for (int a = 0; a < 3; ++a) dims_[a] = static_cast<std::int64_t>(std::floor((hi_[a] - lo_[a]) / cell_)) + 1;

  const std::size_t cells = static_cast<std::size_t>(dims_[0] * dims_[1] * dims_[2]);
  std::vector<std::uint32_t> cellOfSample;
  cellOfSample.reserve(count);
  cellStart_.assign(cells + 1, 0);
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinite(p)) continue;
    const std::int64_t c = (cellOf(p.z, 2) * dims_[1] + cellOf(p.y, 1)) * dims_[0] + cellOf(p.x, 0);
    cellOfSample.push_back(static_cast<std::uint32_t>(c));
    ++cellStart_[static_cast<std::size_t>(c) + 1];
  }
  for (std::size_t c = 0; c < cells; ++c) cellStart_[c + 1] += cellStart_[c];
  std::vector<std::uint32_t> fill(cellStart_.begin(), cellStart_.end() - 1);
  xyz_.resize(3 * count);
  std::size_t s = 0;
  for (const pcl::PointXYZ& p : samples.points) {
    if (!isFinite(p)) continue;
    const std::size_t slot = 3 * static_cast<std::size_t>(fill[cellOfSample[s++]]++);
    xyz_[slot] = p.x;
    xyz_[slot + 1] = p.y;
    xyz_[slot + 2] = p.z;
  }
  // The tight box of each occupied cell's samples: on a surface it is far thinner than the cell, so far
  // fewer cells straddle a query's sphere and need scanning.
  cellBox_.assign(6 * cells, 0.0f);
  for (std::size_t c = 0; c < cells; ++c) {
    if (cellStart_[c] == cellStart_[c + 1]) continue;
    float* box = &cellBox_[6 * c];
    for (int a = 0; a < 3; ++a) {
      box[a] = xyz_[3 * static_cast<std::size_t>(cellStart_[c]) + a];
      box[3 + a] = box[a];
    }
    for (std::uint32_t i = cellStart_[c]; i < cellStart_[c + 1]; ++i) {
      for (int a = 0; a < 3; ++a) {
        const float v = xyz_[3 * static_cast<std::size_t>(i) + a];
        box[a] = std::min(box[a], v);
        box[3 + a] = std::max(box[3 + a], v);
      }
    }
  }
}

bool SurfaceGrid::isNear(const pcl::PointXYZ& point) const {
  if (cellStart_.empty() || !isFinite(point)) return false;
  const double q[3] = {point.x, point.y, point.z};
  for (int a = 0; a < 3; ++a) {
    if (q[a] < lo_[a] - reach_ || q[a] > hi_[a] + reach_) return false;
  }
  // Per axis, the squared distance from the query to each cell slab, to skip whole rows and cells.
  std::int64_t first[3];
  int span[3];
  double nearSq[3][kMaxSpan];
  for (int a = 0; a < 3; ++a) {
    first[a] = cellOf(q[a] - reach_, a);
    span[a] = static_cast<int>(std::min<std::int64_t>(cellOf(q[a] + reach_, a) - first[a] + 1, kMaxSpan));
    for (int i = 0; i < span[a]; ++i) {
      const double c0 = lo_[a] + static_cast<double>(first[a] + i) * cell_;
      const double c1 = c0 + cell_;
      const double gap = q[a] < c0 ? c0 - q[a] : (q[a] > c1 ? q[a] - c1 : 0.0);
      nearSq[a][i] = gap * gap;
    }
  }
  const double reach2 = reach_ * reach_;
  const double sure2 = sure_ * sure_;
  for (int k = 0; k < span[2]; ++k) {
    for (int j = 0; j < span[1]; ++j) {
      const double rowNear = nearSq[2][k] + nearSq[1][j];
      if (rowNear > reach2) continue;
      const std::int64_t rowBase = ((first[2] + k) * dims_[1] + first[1] + j) * dims_[0] + first[0];
      for (int i = 0; i < span[0]; ++i) {
        if (rowNear + nearSq[0][i] > reach2) continue;
        const std::size_t c = static_cast<std::size_t>(rowBase + i);
        const std::uint32_t begin = cellStart_[c];
        const std::uint32_t end = cellStart_[c + 1];
        if (begin == end) continue;
        // Decide on the tight box of the cell's samples: every sample lies in it.
        const float* box = &cellBox_[6 * c];
        double gap2 = 0.0;
        double far2 = 0.0;
        for (int a = 0; a < 3; ++a) {
          const double b0 = box[a];
          const double b1 = box[3 + a];
          const double gap = q[a] < b0 ? b0 - q[a] : (q[a] > b1 ? q[a] - b1 : 0.0);
          const double far = std::max(std::abs(q[a] - b0), std::abs(q[a] - b1));
          gap2 += gap * gap;
          far2 += far * far;
        }
        if (gap2 > reach2) continue;
        if (far2 < sure2) return true;
        for (std::uint32_t s = begin; s < end; ++s) {
          const float* v = &xyz_[3 * static_cast<std::size_t>(s)];
          if (static_cast<double>(kdTreeSquaredDistance(point, v[0], v[1], v[2])) < threshold2_) return true;
        }
      }
    }
  }
  return false;
}

}  // namespace detail
}  // namespace nimbrel_arm_util
