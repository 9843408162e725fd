// Depth image to point cloud.
#include <cmath>
#include <cstdint>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_arm_util {
namespace {

bool hasDistortion(const CameraIntrinsic& c) {
  return c.k1 != 0.0f || c.k2 != 0.0f || c.p1 != 0.0f || c.p2 != 0.0f || c.k3 != 0.0f;
}

// Removes the lens distortion from a depth image. Each output pixel takes the depth of the input pixel
// nearest to where the lens imaged it: blending depths, as bilinear interpolation does, would mix a
// surface with a hole (0) or the two sides of an object's edge into points in mid-air. Pixels that come
// from outside the image get 0, no reading.
cv::Mat undistortDepth(const cv::Mat& depth, const CameraIntrinsic& c) {
  cv::Mat cameraMatrix = cv::Mat::zeros(3, 3, CV_64F);
  cameraMatrix.at<double>(0, 0) = c.fx;
  cameraMatrix.at<double>(0, 2) = c.cx;
  cameraMatrix.at<double>(1, 1) = c.fy;
  cameraMatrix.at<double>(1, 2) = c.cy;
  cameraMatrix.at<double>(2, 2) = 1.0;
  cv::Mat coefficients = (cv::Mat_<double>(1, 5) << c.k1, c.k2, c.p1, c.p2, c.k3);

  // One interleaved float map: remap rounds each source position to the nearest pixel exactly (the
  // fixed-point maps would round at 1/32 pixel), and it is the quickest of OpenCV's layouts to build.
  cv::Mat map;
  cv::initUndistortRectifyMap(cameraMatrix, coefficients, cv::noArray(), cameraMatrix, depth.size(), CV_32FC2,
                              map, cv::noArray());
  cv::Mat undistorted;
  cv::remap(depth, undistorted, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
  return undistorted;
}

}  // namespace

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic) {
  return getPointCloudsFromDepthMap(out, depth, intrinsic, 1000.0);
}

int PointCloudsDeal::getPointCloudsFromDepthMap(CloudPtr out, cv::Mat& depth, CameraIntrinsic intrinsic,
                                                double unitsPerMetre) {
  if (!(unitsPerMetre > 0.0 && std::isfinite(unitsPerMetre))) {
    LOG_INFO(
        "getPointCloudsFromDepthMap: depth scale of {} units per metre refused, expected a positive number",
        unitsPerMetre);
    return -1;
  }
  // Reading another element type as 16-bit values would misread it and run past the end of the data.
  if (!depth.empty() && (depth.type() != CV_16UC1 || depth.dims != 2)) {
    LOG_INFO(
        "getPointCloudsFromDepthMap: depth image of type {} with {} dimensions refused, expected a 2-D "
        "CV_16UC1 image (millimetres)",
        cv::typeToString(depth.type()), depth.dims);
    return -1;
  }

  const cv::Mat image =
      (depth.empty() || !hasDistortion(intrinsic)) ? depth : undistortDepth(depth, intrinsic);

  const int count = image.empty() ? 0 : cv::countNonZero(image);
  auto& points = out->points;
  // Sized once, reusing the cloud's storage: no per-point growth and no width update per point.
  points.resize(static_cast<std::size_t>(count));

  const double invFx = 1.0 / intrinsic.fx;
  const double invFy = 1.0 / intrinsic.fy;
  std::size_t next = 0;
  for (int v = 0; v < image.rows; ++v) {
    const std::uint16_t* row = image.ptr<std::uint16_t>(v);
    // The pixel offsets are taken in float, as the camera's intrinsics are; the products in double.
    const double dy = static_cast<float>(v) - intrinsic.cy;
    for (int u = 0; u < image.cols; ++u) {
      const std::uint16_t units = row[u];
      if (units == 0) continue;
      // Divided, not multiplied by a reciprocal: with 1000 this is exactly the millimetre conversion.
      const double z = units / unitsPerMetre;
      const double dx = static_cast<float>(u) - intrinsic.cx;
      points[next++] = pcl::PointXYZ(static_cast<float>(dx * z * invFx), static_cast<float>(dy * z * invFy),
                                     static_cast<float>(z));
    }
  }

  out->width = static_cast<std::uint32_t>(count);
  out->height = count == 0 ? 0 : 1;
  return 0;
}

}  // namespace nimbrel_arm_util
