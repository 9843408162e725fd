// PCD output.
#include <pcl/exceptions.h>
#include <pcl/io/pcd_io.h>

#include <cstdint>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// Reasons for refusing a cloud before any file is opened, so that an existing file stays as it was.
const char kNoData[] = "[pcl::PCDWriter::writeASCII] Input point cloud has no data!";
const char kBadLayout[] = "[pcl::PCDWriter::writeASCII] Number of points different than width * height!";

}  // namespace

bool PointCloudsDeal::savePcdFile(CloudPtr cloud, std::string fileName) {
  // The writer only warns about an empty cloud and writes a file without points, and it multiplies width
  // by height in 32 bits, so a wrapped product could pass; both are refused here, with the writer's words.
  const char* refusal = nullptr;
  if (cloud->empty()) {
    refusal = kNoData;
  } else if (static_cast<std::uint64_t>(cloud->width) * cloud->height != cloud->size()) {
    refusal = kBadLayout;
  }
  if (refusal != nullptr) {
    LOG_INFO("write pcd error: {}", refusal);
    return false;
  }
  try {
    pcl::io::savePCDFileASCII(fileName, *cloud);
  } catch (const pcl::IOException& e) {
    LOG_INFO("write pcd error: {}", e.what());
    return false;
  }
  return true;
}

}  // namespace nimbrel_arm_util
