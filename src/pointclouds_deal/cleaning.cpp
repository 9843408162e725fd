// Cleaning, down-sampling and concatenation.
#include <pcl/common/common.h>
#include <pcl/common/io.h>
#include <pcl/filters/filter.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "engines/parallel.hpp"
#include "engines/point_helpers.hpp"
#include "engines/statistical_outlier.hpp"
#include "engines/voxel_grid.hpp"
#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// True when the library's outlier filter cannot be given `cloud` as it is: a non-finite point in a cloud
// flagged dense, or a finite point out of the search range.
bool needsSearchableCopy(const PointCloudsDeal::Cloud& cloud) {
  for (const pcl::PointXYZ& p : cloud.points) {
    if (detail::isFinitePoint(p) ? !detail::isSearchablePoint(p) : cloud.is_dense) return true;
  }
  return false;
}

// True when the voxel grid's index space for `cloud` exceeds a 32-bit int. PCL makes the same test and
// then returns its input unchanged, but its own 64-bit product overflows (and its float-to-integer casts
// are undefined) once a leaf is about a trillion times smaller than the cloud, so the test runs here first.
bool voxelIndicesOverflow(const pcl::PointCloud<pcl::PointXYZ>& cloud, float leaf) {
  Eigen::Vector4f lo;
  Eigen::Vector4f hi;
  pcl::getMinMax3D(cloud, lo, hi);
  if (!(lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2])) {
    return false;  // no finite point: the grid has nothing to index
  }
  return detail::voxelIndicesOverflow(lo.data(), hi.data(), 1.0f / leaf);
}

// A leaf the voxel grid can work with: positive and finite, with a finite inverse.
bool isUsableLeaf(float leaf) { return leaf > 0.0f && std::isfinite(leaf) && std::isfinite(1.0f / leaf); }

}  // namespace

void PointCloudsDeal::removeInfinatePointClouds(CloudPtr in, CloudPtr out) {
  // Reported from here, before an in-place compaction moves the points: the log names this function.
  for (const pcl::PointXYZ& p : in->points) {
    if (!detail::isFinitePoint(p)) LOG_INFO("\x1b[41m ERROR: point is not finite valid\x1b[0m");
  }
  detail::keepPoints(*in, *out, [&](std::size_t i) { return detail::isFinitePoint(in->points[i]); });
}

void PointCloudsDeal::removeOutlierPointClouds(CloudPtr in, CloudPtr out) {
  // PCL sizes its neighbour buffers from meanK + 1 and throws or floods the log below zero; at zero every
  // mean distance is 0/0 and an organized cloud comes back flattened. No neighbours means no outlier test:
  // the cloud is kept as it is.
  if (meanK <= 0) {
    if (in != out) {
      *out = *in;
    }
    return;
  }
  // The grid-based removal gives exactly the library filter's result, several times faster; it declines
  // the inputs it does not handle (organized clouds among them), which go to the library's filter.
  if (detail::statisticalOutlierRemoval(*in, *out, meanK, stddevMulThresh)) {
    return;
  }
  // A search finds at most size - 1 other points, yet PCL allocates and walks meanK entries per point, so a
  // huge meanK hangs. Asking for more neighbours than exist scales every mean distance alike, which leaves
  // the outlier decision unchanged: cap it.
  const std::size_t others = in->size() > 1 ? in->size() - 1 : 1;
  const int neighbours = static_cast<std::size_t>(meanK) > others ? static_cast<int>(others) : meanK;
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setMeanK(neighbours);
  sor.setStddevMulThresh(stddevMulThresh);
  if (!needsSearchableCopy(*in)) {
    sor.setInputCloud(in);
    sor.filter(*out);
    return;
  }
  // The search asserts on a non-finite point in a cloud flagged dense, and its tree build breaks on
  // coordinates near the float limit. Search a copy in which such points are NaN and flagged so (PCL
  // keeps non-finite points with a distance of 0), then take the kept points from the input itself, as
  // the filter's own output would.
  CloudPtr searchable(new Cloud(*in));
  searchable->is_dense = false;
  // One row, so that PCL searches it with its kd-tree: its organized search loops without end on a grid
  // that is not a camera's projection.
  searchable->width = static_cast<std::uint32_t>(searchable->points.size());
  searchable->height = 1;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (pcl::PointXYZ& p : searchable->points) {
    if (!detail::isSearchablePoint(p)) p.x = p.y = p.z = nan;
  }
  sor.setInputCloud(searchable);
  pcl::Indices kept;
  sor.filter(kept);
  Cloud result;
  pcl::copyPointCloud(*in, kept, result);
  *out = std::move(result);
}

void PointCloudsDeal::voxelGridfilterPointClouds(CloudPtr in, CloudPtr out) {
  const float leaf = static_cast<float>(leafSize);
  // Zero, negative, subnormal and non-finite leaves make PCL collapse the cloud into one point or mix
  // unrelated voxels; such a leaf keeps the cloud as it is, as PCL itself does when its indices overflow.
  const bool degenerate = !isUsableLeaf(leaf);
  detail::VoxelGridStatus status = detail::VoxelGridStatus::kDeclined;
  if (!degenerate) {
    status = detail::voxelGridFilter(*in, leaf, *out);
    if (status == detail::VoxelGridStatus::kDone) return;
    if (status == detail::VoxelGridStatus::kDeclined && voxelIndicesOverflow(*in, leaf)) {
      status = detail::VoxelGridStatus::kIndicesOverflow;
    }
  }
  if (degenerate || status == detail::VoxelGridStatus::kIndicesOverflow) {
    // Said once, so that a run that was meant to thin the cloud does not silently keep every point.
    LOG_INFO("voxelGridfilterPointClouds: leaf size {} {}, cloud of {} points copied without down-sampling",
             leafSize, degenerate ? "is not a positive finite length" : "is too small for the cloud's extent",
             in->size());
    if (in != out) {
      *out = *in;
    }
    return;
  }
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(in);
  grid.setLeafSize(leaf, leaf, leaf);
  grid.filter(*out);
}

bool PointCloudsDeal::leafSizeFits(const Cloud& cloud) const {
  const float leaf = static_cast<float>(leafSize);
  return isUsableLeaf(leaf) && !voxelIndicesOverflow(cloud, leaf);
}

void PointCloudsDeal::processPointClouds(CloudPtr in, CloudPtr out) {
  // NaN removal, the three pass-through crops and the finite-point copy in one pass, with their results:
  // the NaN removal drops the points with a non-finite coordinate unless the cloud is flagged dense, the
  // crops drop every non-finite point and keep x, then y, then z within the box's float limits (ends
  // included), and the copy then has nothing left to drop or report. The survivors keep their order in
  // a fresh cloud, as the copy would hold them, and their bounding box comes with them for the voxel grid.
  const float xMin = static_cast<float>(rangeXMin);
  const float xMax = static_cast<float>(rangeXMax);
  const float yMin = static_cast<float>(rangeYMin);
  const float yMax = static_cast<float>(rangeYMax);
  const float zMin = static_cast<float>(rangeZMin);
  const float zMax = static_cast<float>(rangeZMax);
  const auto inBox = [&](const pcl::PointXYZ& p) {
    return !(p.x < xMin || p.x > xMax || p.y < yMin || p.y > yMax || p.z < zMin || p.z > zMax);
  };
  const std::vector<pcl::PointXYZ, Eigen::aligned_allocator<pcl::PointXYZ>>& points = in->points;
  const std::size_t n = points.size();
  // Each slice counts its survivors and non-finite points and bounds its survivors; then, when there are
  // several slices, each writes its survivors at its running offset.
  struct Slice {
    std::size_t kept = 0;
    std::uint64_t nonFinite = 0;
    detail::PointBounds box = detail::emptyBounds();
  };
  // One budget for the whole step: the voxel grid and the outlier removal below share its threads.
  detail::ThreadBudget budget;
  const int parts = budget.slices(n, detail::kMinCroppedPerSlice);
  std::vector<Slice> slices(static_cast<std::size_t>(parts));
  CloudPtr finite(new Cloud);
  finite->points.reserve(parts == 1 ? n : 0);
  detail::forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
    // Counted in locals and stored once: slices side by side in memory would share cache lines.
    Slice slice;
    for (std::size_t i = begin; i < end; ++i) {
      const pcl::PointXYZ& p = points[i];
      if (!detail::isFinitePoint(p)) {
        ++slice.nonFinite;
        continue;
      }
      if (!inBox(p)) continue;
      ++slice.kept;
      detail::includePoint(slice.box, p);
      if (parts == 1) finite->points.push_back(p);
    }
    slices[static_cast<std::size_t>(k)] = slice;
  });
  std::uint64_t nonFinite = 0;
  std::vector<std::size_t> keptBefore(static_cast<std::size_t>(parts) + 1, 0);
  detail::PointBounds box = detail::emptyBounds();
  for (int k = 0; k < parts; ++k) {
    const Slice& slice = slices[static_cast<std::size_t>(k)];
    nonFinite += slice.nonFinite;
    keptBefore[static_cast<std::size_t>(k) + 1] = keptBefore[static_cast<std::size_t>(k)] + slice.kept;
    detail::growBounds(box, slice.box);
  }
  if (parts > 1) {
    finite->points.resize(keptBefore.back());
    detail::forSlices(n, parts, [&](int k, std::size_t begin, std::size_t end) {
      pcl::PointXYZ* at = finite->points.data() + keptBefore[static_cast<std::size_t>(k)];
      for (std::size_t i = begin; i < end; ++i) {
        const pcl::PointXYZ& p = points[i];
        if (detail::isFinitePoint(p) && inBox(p)) *at++ = p;
      }
    });
  }
  if (!in->is_dense && nonFinite > 0) {
    LOG_INFO("\x1b[33m {} NaN points exist in pointclouds! \x1b[0m", nonFinite);
  }
  if (finite->points.empty()) {
    LOG_INFO("size of point clouds is 0\n");
    // An empty frame must not leave the previous frame's result behind for the caller to act on.
    out->clear();
    return;
  }
  finite->width = static_cast<std::uint32_t>(finite->points.size());
  finite->height = 1;

  // The voxel grid, given the box just found; what it leaves to the library's filter (or to a log, for a
  // leaf that cannot down-sample) takes the whole step.
  const float leaf = static_cast<float>(leafSize);
  if (!isUsableLeaf(leaf) ||
      detail::voxelGridFilter(*finite, leaf, *finite, &box) != detail::VoxelGridStatus::kDone) {
    voxelGridfilterPointClouds(finite, finite);
  }
  out->clear();
  removeOutlierPointClouds(finite, out);
}

void PointCloudsDeal::addTwoPointClouds(CloudPtr first, CloudPtr second, CloudPtr out) {
  // Joined apart from `out`, so that `out` may also be `first` or `second`.
  decltype(out->points) joined;
  joined.reserve(first->size() + second->size());
  joined.insert(joined.end(), first->points.begin(), first->points.end());
  joined.insert(joined.end(), second->points.begin(), second->points.end());
  out->points = std::move(joined);
  out->width = static_cast<std::uint32_t>(out->points.size());
  out->height = out->points.empty() ? 0 : 1;
}

void PointCloudsDeal::addTwoPointClouds(CloudPtr first, CloudPtr second) {
  // Counted and reserved up front: appending a cloud to itself then reads only its original points.
  const std::size_t count = second->size();
  if (count == 0) {
    return;
  }
  first->points.reserve(first->size() + count);
  for (std::size_t i = 0; i < count; ++i) {
    const pcl::PointXYZ p = second->points[i];
    first->points.push_back(p);
  }
  first->width = static_cast<std::uint32_t>(first->points.size());
  first->height = 1;
}

}  // namespace nimbrel_arm_util
