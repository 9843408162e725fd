// Mean neighbour distances for the statistical outlier removal (not installed). PCL-free, so that it can
// be compiled with its own floating-point flags.
#pragma once

#include <cstddef>

#include "engines/outlier_kernels.hpp"

namespace nimbrel_arm_util::detail {

/// Mean distance of each point to its `meanK` nearest searchable neighbours, exact, and rounded as the
/// point-cloud library's statistical outlier filter rounds it (equal to its result wherever its kd-tree
/// returns the true nearest neighbours; outlier_core.cpp says where it does not): the query itself is one of
/// the meanK + 1 nearest points and adds 0, the square roots are taken in double and summed in ascending
/// order, and the sum is divided by meanK even when fewer than meanK + 1 searchable points exist. Points with
/// a coordinate that is not finite or beyond kSearchLimit (point_helpers.hpp) get 0. `points` holds `count`
/// points of `stride` floats, x, y and z first. `meanK` must be positive and `count` below 2^32. Returns the
/// number of searchable points. The search runs on a grid where that pays and on a kd-tree elsewhere;
/// `treeOnly` forces the tree (the result is the same either way).
std::size_t outlierMeanDistances(const float* points, std::size_t count, std::size_t stride, int meanK,
                                 float* distances, const OutlierKernels& kernels, bool treeOnly = false);

}  // namespace nimbrel_arm_util::detail
