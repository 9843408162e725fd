// Near-or-not queries against a dense set of surface samples (not installed).
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util {
namespace detail {

/// Squared distance between two points exactly as the library's kd-tree computes it: float differences,
/// squared and summed in x, y, z order in float. Keeping the same operations in the same order makes the
/// near-or-not answer bit-identical to a nearest-neighbour query compared with the same threshold. (ISO
/// C++ mode does not fuse the multiply-adds, so the roundings are the same as in the tree's own code.)
inline float kdTreeSquaredDistance(const pcl::PointXYZ& query, float x, float y, float z) {
  const float dx = query.x - x;
  float result = dx * dx;
  const float dy = query.y - y;
  result += dy * dy;
  const float dz = query.z - z;
  result += dz * dz;
  return result;
}

/// A uniform grid over surface samples that answers "is any sample nearer than `nearDistance`?" with the
/// same result as asking a kd-tree for the nearest sample and comparing its squared distance (float,
/// widened to double) with nearDistance² (strictly below means near).
///
/// Cells are always half the near distance wide, however far the samples spread (one stray vertex metres
/// away must not make the object fall into a handful of huge cells). Samples are stored by cell, in
/// compressed rows. While a dense table over the samples' bounding box is no larger than a few entries per
/// sample, every cell of it has a row; otherwise only occupied cells have rows and are found through a
/// hash, so memory stays linear in the samples. Each cell keeps the tight box of its samples. A query far
/// from every sample costs one box test. Near the samples, a cell whose sample box lies wholly within the
/// near distance of the query answers at once, one wholly beyond it is skipped, and only the cells that
/// straddle the sphere are scanned sample by sample.
class SurfaceGrid {
 public:
  /// Builds the grid over the finite samples of `samples`; the cloud is copied, not kept.
  SurfaceGrid(const pcl::PointCloud<pcl::PointXYZ>& samples, double nearDistance);

  /// True when some sample lies strictly closer than the near distance (float squared distance).
  bool isNear(const pcl::PointXYZ& point) const;

 private:
  static constexpr std::uint32_t kEmpty = 0xffffffffu;

  // Cell coordinate of a position along one axis; monotone in `value`, which keeps the range of cells
  // visited by a query a superset of the cells that can hold a near sample. Clamped to the grid (far
  // beyond 2^40 cells, neighbouring positions share a cell; its samples are still tested one by one).
  std::int64_t cellOf(double value, int axis) const {
    return clampedCell(std::floor((value - lo_[axis]) / cell_), dims_[axis]);
  }
  // Slot of cell (x, y, z) into cellStart_ and cellBox_ through the hash, or kEmpty when unoccupied.
  std::uint32_t find(std::int64_t x, std::int64_t y, std::int64_t z) const;
  static std::uint64_t hashOf(std::int64_t x, std::int64_t y, std::int64_t z);

  double threshold2_ = 0.0;   // nearDistance², compared in double with the widened float distance
  double sure_ = 0.0;         // cells wholly within this distance of a query hold only near samples
  double reach_ = 0.0;        // cells wholly beyond this distance of a query hold no near sample
  double cell_ = 1.0;         // cell edge length
  double lo_[3] = {0, 0, 0};  // bounding box of the samples; lo_ is also the corner of cell (0, 0, 0)
  double hi_[3] = {0, 0, 0};
  std::int64_t dims_[3] = {0, 0, 0};
  bool dense_ = true;  // every grid cell is a slot, else slots are the occupied cells found by the hash
  struct HashEntry {
    std::int64_t x, y, z;
    std::uint32_t slot;  // kEmpty marks a free entry
  };
  std::vector<HashEntry> hash_;  // open addressing, power-of-two size, linear probing
  std::vector<std::uint32_t>
      cellStart_;               // samples of occupied cell c are xyz_[cellStart_[c] .. cellStart_[c + 1])
  std::vector<float> xyz_;      // sample coordinates ordered by cell, three floats per sample
  std::vector<float> cellBox_;  // per occupied cell: lowest x, y, z then highest x, y, z
};

}  // namespace detail
}  // namespace nimbrel_arm_util
