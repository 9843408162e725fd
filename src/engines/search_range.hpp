// Which points a FLANN search tree can hold (not installed).
#pragma once

#include <pcl/point_types.h>

#include <cmath>

namespace nimbrel_arm_util::detail {

/// Coordinates beyond this magnitude make FLANN's tree build overflow (its split arithmetic leaves the float
/// range) and abort or recurse without end; such points stay out of every search tree, as non-finite ones
/// do.
constexpr float kSearchableLimit = 1e18f;

/// True when `p` is finite and each of its coordinates lies within kSearchableLimit.
inline bool isSearchable(const pcl::PointXYZ& p) {
  return std::fabs(p.x) <= kSearchableLimit && std::fabs(p.y) <= kSearchableLimit &&
         std::fabs(p.z) <= kSearchableLimit;
}

}  // namespace nimbrel_arm_util::detail
