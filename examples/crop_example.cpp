// Builds a small cloud, crops it to a box and logs the counts.
#include <cstdio>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

int main() {
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  Cloud::Ptr cloud(new Cloud);
  for (int i = -10; i <= 10; ++i) {
    for (int j = -10; j <= 10; ++j) cloud->push_back(pcl::PointXYZ(0.1f * i, 0.1f * j, 0.5f + 0.05f * i));
  }

  nimbrel_arm_util::PointCloudsDeal deal;
  deal.setFilterRange(-0.5, 0.5, -0.5, 0.5, 0.0, 1.0);
  const std::size_t before = cloud->size();
  deal.rangeFilterPointClouds(cloud);
  LOG_INFO("cropped {} points to {} inside the box", before, cloud->size());

  Cloud band;
  deal.rangeInZFilterPointClouds(*cloud, band, 0.4, 0.6);
  LOG_INFO("{} of them lie strictly between z 0.4 and 0.6", band.size());
  return band.empty() ? 1 : 0;
}
