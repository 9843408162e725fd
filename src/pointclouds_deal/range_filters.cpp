// Axis-aligned box crops and the open z band.
#include <pcl/filters/passthrough.h>

#include "engines/point_helpers.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

// A default pass-through filter on one field; PCL holds its limits as floats, so the doubles are rounded
// to the nearest float here, once.
pcl::PassThrough<pcl::PointXYZ> makePass(const char* field, double lo, double hi) {
  pcl::PassThrough<pcl::PointXYZ> pass;
  pass.setFilterFieldName(field);
  pass.setFilterLimits(static_cast<float>(lo), static_cast<float>(hi));
  return pass;
}

// Applies the x, y and z passes in that order, each seeing the previous result.
void cropToBox(const PointCloudsDeal::CloudPtr& in, const PointCloudsDeal::CloudPtr& out, double xMin,
               double xMax, double yMin, double yMax, double zMin, double zMax) {
  pcl::PassThrough<pcl::PointXYZ> passX = makePass("x", xMin, xMax);
  pcl::PassThrough<pcl::PointXYZ> passY = makePass("y", yMin, yMax);
  pcl::PassThrough<pcl::PointXYZ> passZ = makePass("z", zMin, zMax);
  passX.setInputCloud(in);
  passX.filter(*out);
  passY.setInputCloud(out);
  passY.filter(*out);
  passZ.setInputCloud(out);
  passZ.filter(*out);
  // The passes keep only finite points but copy the input's density flag: a cloud that had holes would
  // come out flagged as still having them.
  out->is_dense = true;
}

}  // namespace

void PointCloudsDeal::rangeFilterPointClouds(CloudPtr cloud) {
  cropToBox(cloud, cloud, rangeXMin, rangeXMax, rangeYMin, rangeYMax, rangeZMin, rangeZMax);
}

void PointCloudsDeal::rangeFilterPointClouds(CloudPtr in, CloudPtr out, double xMin, double xMax, double yMin,
                                             double yMax, double zMin, double zMax) {
  cropToBox(in, out, xMin, xMax, yMin, yMax, zMin, zMax);
}

void PointCloudsDeal::rangeInZFilterPointClouds(pcl::PointCloud<pcl::PointXYZ>& in,
                                                pcl::PointCloud<pcl::PointXYZ>& out, double zMin,
                                                double zMax) {
  // One cloud may serve as both input and output: the kept points are then compacted in place. Only z is
  // looked at, so points with a non-finite x or y may be kept, and the density flag says so.
  detail::keepPoints(in, out, [&](std::size_t i) {
    const double z = in.points[i].z;
    return z < zMax && z > zMin;
  });
}

}  // namespace nimbrel_arm_util
