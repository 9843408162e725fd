// Crops a small cloud with an installed nimbrel_arm_util; exits 0 when the expected points remain.
#include <cstdio>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/nimbrel_node_thread.hpp"  // the installed headers include their ROS 2 side
#include "nimbrel_arm_util/pointclouds_deal.hpp"

int main() {
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  Cloud::Ptr cloud(new Cloud);
  for (int i = 0; i < 10; ++i) cloud->push_back(pcl::PointXYZ(0.1f * static_cast<float>(i), 0.0f, 0.5f));

  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setFilterRange(0.0, 0.45, -1.0, 1.0, 0.0, 1.0);
  deal.rangeFilterPointClouds(cloud);
  LOG_INFO("{} points inside the box", cloud->size());
  std::printf("consumer: %zu points\n", cloud->size());
  return cloud->size() == 5 ? 0 : 1;
}
