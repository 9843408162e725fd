#include "ros_conversions.hpp"

#include <fmt/format.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "support/files.hpp"
#include "support/scene_file.hpp"

namespace nimbrel_arm_util {

namespace {

MessageProblem problem(const char* reason, std::string detail) { return {reason, std::move(detail)}; }

}  // namespace

MessageProblem depthImageView(const sensor_msgs::msg::Image& image, cv::Mat& view) {
  int type = 0;
  if (image.encoding == "16UC1" || image.encoding == "mono16") {
    type = CV_16UC1;
  } else if (image.encoding == "32FC1") {
    type = CV_32FC1;
  } else {
    return problem("unsupported_encoding",
                   fmt::format("encoding '{}': depth images are 16UC1, mono16 or 32FC1", image.encoding));
  }
  // The pixels are read in this machine's byte order, which is little-endian on every supported target.
  if (image.is_bigendian != 0) return problem("big_endian", "big-endian depth data");
  if (image.width == 0 || image.height == 0)
    return problem("empty_image", fmt::format("image of {}x{} pixels", image.width, image.height));
  const std::size_t pixel = CV_ELEM_SIZE(type);
  const std::uint64_t row = std::uint64_t{image.width} * pixel;
  if (image.width > static_cast<std::uint32_t>(std::numeric_limits<int>::max()) ||
      image.height > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
    return problem("image_too_large", fmt::format("image of {}x{} pixels", image.width, image.height));
  }
  if (image.step < row) {
    return problem("step_too_short", fmt::format("row step {} bytes, but {} pixels of {} need {}", image.step,
                                                 image.width, image.encoding, row));
  }
  // Rows that do not start on a whole pixel would be read misaligned.
  if (image.step % pixel != 0) {
    return problem("step_too_short", fmt::format("row step {} bytes is not a whole number of {}-byte pixels",
                                                 image.step, pixel));
  }
  const std::uint64_t needed = std::uint64_t{image.step} * image.height;
  if (image.data.size() < needed) {
    return problem("data_too_short", fmt::format("{} bytes of data, but {} rows of {} bytes need {}",
                                                 image.data.size(), image.height, image.step, needed));
  }
  view = cv::Mat(static_cast<int>(image.height), static_cast<int>(image.width), type,
                 const_cast<std::uint8_t*>(image.data.data()), image.step);
  return {};
}

MessageProblem cameraModelFrom(const sensor_msgs::msg::CameraInfo& info, CameraModel& camera) {
  const auto& k = info.k;
  const double fx = k[0], fy = k[4], cx = k[2], cy = k[5];
  // The tool's camera_info reader applies the same check to its files.
  const std::string why = CameraModel::cameraMatrixProblem(cv::Matx33d(k.data()), info.height);
  if (!why.empty()) {
    const char* reason = !(std::isfinite(fx) && std::isfinite(fy) && fx > 0.0 && fy > 0.0)
                             ? "bad_focal_length"
                         : !(std::isfinite(cx) && std::isfinite(cy)) ? "bad_principal_point"
                                                                     : "bad_camera_matrix";
    return problem(reason, "camera_info k: " + why);
  }
  for (double d : info.d) {
    if (!std::isfinite(d))
      return problem("bad_distortion", "camera_info distortion coefficient is not finite");
  }
  CameraModel model;
  model.cameraMatrix = cv::Matx33d(fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0);
  model.coefficients.assign(info.d.begin(), info.d.end());
  bool allZero = true;
  for (double d : info.d) allZero = allZero && d == 0.0;
  if (info.distortion_model.empty() || info.distortion_model == "none") {
    // Drivers of rectified or ideal cameras leave the model empty.
    if (!allZero) {
      return problem("unknown_distortion_model",
                     fmt::format("{} distortion coefficients without a distortion model", info.d.size()));
    }
    model.coefficients.clear();
  } else if (!CameraModel::modelFromName(info.distortion_model, model.distortionModel)) {
    return problem("unknown_distortion_model",
                   fmt::format("distortion model '{}': plumb_bob, rational_polynomial or equidistant",
                               info.distortion_model));
  } else if (!CameraModel::takesCoefficientCount(model.distortionModel, model.coefficients.size())) {
    return problem("bad_distortion",
                   fmt::format("{} coefficients for {}, which takes {}", model.coefficients.size(),
                               info.distortion_model, CameraModel::coefficientCounts(model.distortionModel)));
  }
  camera = std::move(model);
  return {};
}

sensor_msgs::msg::CameraInfo cameraInfoMessage(const CameraModel& camera, std::uint32_t width,
                                               std::uint32_t height) {
  sensor_msgs::msg::CameraInfo info;
  info.width = width;
  info.height = height;
  const cv::Matx33d& k = camera.cameraMatrix;
  std::copy(k.val, k.val + 9, info.k.begin());
  info.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  info.p = {k(0, 0), k(0, 1), k(0, 2), 0, k(1, 0), k(1, 1), k(1, 2), 0, k(2, 0), k(2, 1), k(2, 2), 0};
  info.distortion_model = CameraModel::modelName(camera.distortionModel);
  info.d = camera.coefficients;
  return info;
}

Eigen::Matrix4d transformMatrix(const geometry_msgs::msg::Transform& t) {
  return nimbrel_tools::poseFromQuaternion({t.translation.x, t.translation.y, t.translation.z},
                                           {t.rotation.x, t.rotation.y, t.rotation.z, t.rotation.w});
}

bool fillPointCloud2(const pcl::PointCloud<pcl::PointXYZ>& cloud, sensor_msgs::msg::PointCloud2& msg) {
  static_assert(sizeof(float) == 4, "PointCloud2 float32 fields");
  constexpr std::uint32_t kPointStep = 12;
  if (cloud.size() > std::numeric_limits<std::uint32_t>::max() / kPointStep) return false;
  const auto count = static_cast<std::uint32_t>(cloud.size());
  msg.height = 1;
  msg.width = count;
  msg.fields.resize(3);
  const char* names[3] = {"x", "y", "z"};
  for (std::uint32_t i = 0; i < 3; ++i) {
    msg.fields[i].name = names[i];
    msg.fields[i].offset = 4 * i;
    msg.fields[i].datatype = sensor_msgs::msg::PointField::FLOAT32;
    msg.fields[i].count = 1;
  }
  msg.is_bigendian = false;
  msg.point_step = kPointStep;
  msg.row_step = kPointStep * count;
  msg.data.resize(std::size_t{msg.row_step});
  bool dense = true;
  std::uint8_t* at = msg.data.data();
  for (const pcl::PointXYZ& p : cloud.points) {
    const float xyz[3] = {p.x, p.y, p.z};
    std::memcpy(at, xyz, kPointStep);
    at += kPointStep;
    dense = dense && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  }
  msg.is_dense = dense;
  return true;
}

geometry_msgs::msg::Pose poseMessage(const Eigen::Matrix4d& pose) {
  const Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
  geometry_msgs::msg::Pose msg;
  msg.position.x = pose(0, 3);
  msg.position.y = pose(1, 3);
  msg.position.z = pose(2, 3);
  msg.orientation.x = q.x();
  msg.orientation.y = q.y();
  msg.orientation.z = q.z();
  msg.orientation.w = q.w();
  return msg;
}

}  // namespace nimbrel_arm_util
