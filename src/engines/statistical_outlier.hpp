// Statistical outlier removal (not installed).
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace nimbrel_arm_util::detail {

/// Statistical outlier removal on the exact k nearest neighbours, with the result of a default-constructed
/// pcl::StatisticalOutlierRemoval<pcl::PointXYZ> given `meanK` and `stddevMulThresh` wherever that
/// filter's kd-tree finds the true nearest neighbours (outlier_core.cpp): the same kept points
/// in the same order, header and sensor pose copied, width the kept count and height 1, `is_dense` copied
/// (and a plain copy of `in` when nothing is removed). `in` and `out` may be the same cloud. Points with a
/// coordinate beyond 1e18 are treated as the library treats non-finite ones (kept, no part of any
/// neighbourhood or of the statistics), since its kd-tree cannot be built over them.
/// Returns false, leaving `out` untouched, for input it does not handle (organized clouds, clouds without
/// a searchable point, meanK <= 0, more than 2^31 - 1 points): the caller then runs the library's filter.
bool statisticalOutlierRemoval(const pcl::PointCloud<pcl::PointXYZ>& in, pcl::PointCloud<pcl::PointXYZ>& out,
                               int meanK, double stddevMulThresh);

}  // namespace nimbrel_arm_util::detail
