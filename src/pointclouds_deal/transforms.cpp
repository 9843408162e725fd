// Rigid transforms: into the robot frame, translation, angle report.
#include <pcl/common/transforms.h>

#include <cstdint>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {

void PointCloudsDeal::TransformToRobot(pcl::PointCloud<pcl::PointXYZ>& cloud, CloudPtr out,
                                       Eigen::Matrix4f transform) {
  // PCL reads the matrix as an affine transform (its bottom row is never used), keeps the organized layout
  // and, for a cloud not flagged dense, leaves non-finite points as they are.
  pcl::transformPointCloud(cloud, *out, transform);
}

void PointCloudsDeal::rotatePointCloud(CloudPtr /*in*/, CloudPtr /*out*/, Eigen::Vector3d angle) {
  LOG_INFO("angle:{}", angle[0]);
}

void PointCloudsDeal::translatePointCloud(CloudPtr in, CloudPtr out, Eigen::Vector3d offset) {
  // Index by index, so that `out` may be `in`: each point is read before its own slot is written.
  const std::size_t count = in->points.size();
  out->points.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    pcl::PointXYZ p = in->points[i];
    p.x = static_cast<float>(static_cast<double>(p.x) + offset[0]);
    p.y = static_cast<float>(static_cast<double>(p.y) + offset[1]);
    p.z = static_cast<float>(static_cast<double>(p.z) + offset[2]);
    out->points[i] = p;
  }
  out->width = static_cast<std::uint32_t>(count);
  out->height = count == 0 ? 0 : 1;
}

}  // namespace nimbrel_arm_util
