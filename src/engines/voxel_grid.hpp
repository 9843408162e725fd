// Down-sampling on a voxel grid (not installed).
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <algorithm>

namespace nimbrel_arm_util::detail {

enum class VoxelGridStatus {
  kDone,             // `out` holds the down-sampled cloud
  kIndicesOverflow,  // the voxel indices would not fit in 32 bits; `out` untouched
  kDeclined,         // an input left to the library's own filter; `out` untouched
};

/// Axis-aligned box of a set of points.
struct PointBounds {
  float lo[3];
  float hi[3];
};
/// The box of no point (every low bound at the float maximum, every high one at its lowest), which
/// growBounds widens to the union of the boxes it is given.
PointBounds emptyBounds();
void growBounds(PointBounds& bounds, const PointBounds& other);
/// Widens `bounds` to hold the point p (whose coordinates are finite).
inline void includePoint(PointBounds& bounds, const pcl::PointXYZ& p) {
  bounds.lo[0] = std::min(bounds.lo[0], p.x);
  bounds.lo[1] = std::min(bounds.lo[1], p.y);
  bounds.lo[2] = std::min(bounds.lo[2], p.z);
  bounds.hi[0] = std::max(bounds.hi[0], p.x);
  bounds.hi[1] = std::max(bounds.hi[1], p.y);
  bounds.hi[2] = std::max(bounds.hi[2], p.z);
}

/// True when the voxel grid's index space over the box [lo, hi] with voxels of 1 / `inverseLeaf` exceeds a
/// 32-bit int, counted as pcl::VoxelGrid counts it (in float, truncated, plus one per axis), but without its
/// 64-bit product overflowing: a non-finite or huge span counts as too many voxels.
bool voxelIndicesOverflow(const float lo[3], const float hi[3], float inverseLeaf);

/// Down-samples `in` on cubes of edge `leaf` with exactly the result of pcl::VoxelGrid<pcl::PointXYZ> given
/// that leaf on every axis and its other settings left at their defaults: one point per occupied voxel,
/// the float mean of the voxel's points summed in the order the library sums them, voxels in the order of
/// their index, the padding float after x, y and z left as the library leaves it (`out`'s own value at a
/// position `out` already held, else 1); header and sensor pose copied, height 1, width the voxel count,
/// is_dense true. The passes over the points, and the sort's independent parts, run on OpenMP threads when
/// the library is built with them. `in` and `out` may be the same cloud. `leaf` must be positive and finite,
/// with a finite inverse. Declined, for the library's filter to take with its own logs: a cloud without a
/// finite point, a cloud flagged dense that holds a non-finite point, and a box reaching beyond the int range
/// of voxels or spanning 2^24 voxels or more along an axis (where float voxel coordinates stop being exact).
/// `bounds`, when given, is the box of `in`, whose points the caller guarantees are all finite: it saves
/// a pass over them.
VoxelGridStatus voxelGridFilter(const pcl::PointCloud<pcl::PointXYZ>& in, float leaf,
                                pcl::PointCloud<pcl::PointXYZ>& out, const PointBounds* bounds = nullptr);

}  // namespace nimbrel_arm_util::detail
