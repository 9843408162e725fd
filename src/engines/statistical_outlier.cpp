// Statistical outlier removal on the exact k nearest neighbours, rounded like the point-cloud library's
// filter. Compiled with -ffp-contract=off.
#include "engines/statistical_outlier.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "engines/outlier_core.hpp"
#include "engines/point_helpers.hpp"

namespace nimbrel_arm_util::detail {

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

static_assert(sizeof(pcl::PointXYZ) == 4 * sizeof(float), "PointXYZ is x, y, z and one padding float");

// The threshold of the library's filter: mean plus multiplier times standard deviation of the per-point
// distances over the searchable points, with the other points' zeros inside the sums. The squares are
// float products, as there. Zero or one finite point gives NaN, which keeps every point.
double distanceThreshold(const std::vector<float>& distances, std::size_t finite, double stddevMulThresh) {
  double sum = 0.0;
  double squares = 0.0;
  for (const float d : distances) {
    sum += d;
    const float square = d * d;
    squares += square;
  }
  const double valid = static_cast<double>(finite);
  const double mean = sum / valid;
  const double variance = (squares - sum * sum / valid) / (valid - 1.0);
  const double stddev = std::sqrt(variance);
  return mean + stddevMulThresh * stddev;
}

}  // namespace

bool statisticalOutlierRemoval(const Cloud& in, Cloud& out, int meanK, double stddevMulThresh) {
  // Organized clouds are searched differently by the library, so they keep its own filter.
  if (meanK <= 0 || in.empty() || in.isOrganized() ||
      in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return false;
  }
  const std::size_t n = in.size();
  std::vector<float> distances(n);
  const std::size_t finite = outlierMeanDistances(reinterpret_cast<const float*>(in.points.data()), n, 4,
                                                  meanK, distances.data(), bestOutlierKernels());
  // Without a searchable point the library's kd-tree reports an error of its own; let it.
  if (finite == 0) return false;
  const double threshold = distanceThreshold(distances, finite, stddevMulThresh);

  std::size_t kept = 0;
  for (const float d : distances) kept += !(d > threshold);
  if (kept == n) {
    if (&out != &in) out = in;
    return true;
  }
  Cloud result;
  result.header = in.header;
  result.sensor_origin_ = in.sensor_origin_;
  result.sensor_orientation_ = in.sensor_orientation_;
  result.points.reserve(kept);
  keepPoints(in, result, [&](std::size_t i) { return !(distances[i] > threshold); });
  result.is_dense = in.is_dense;  // copied, as the library's filter does
  result.height = 1;              // one row even when nothing is kept, as the library's filter leaves it
  out = std::move(result);
  return true;
}

}  // namespace nimbrel_arm_util::detail
