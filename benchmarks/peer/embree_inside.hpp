// Inside test of closed triangle meshes written directly on Embree: a point is inside when a ray from it
// crosses the surface an odd number of times. Used as the peer of the library's plain mesh removal.
#pragma once

#include <cstddef>
#include <vector>

#include "peer/scene.hpp"

namespace nimbrel_bench {

/// Builds one Embree scene over `meshes` (one core) and returns the points of `in` that lie inside none of
/// them, in their order. The scene is built and released within the call.
std::vector<pcl::PointXYZ> keepOutsideWithEmbree(const Cloud& in, const std::vector<PlainMesh>& meshes);

}  // namespace nimbrel_bench
