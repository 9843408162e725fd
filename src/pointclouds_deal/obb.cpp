// Oriented bounding boxes: membership, box and tool removal, vertical extent.
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {}  // namespace nimbrel_arm_util
