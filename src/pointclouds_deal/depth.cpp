// Depth image to point cloud.
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {}  // namespace nimbrel_arm_util
