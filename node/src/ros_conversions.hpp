// Conversions between ROS 2 sensor messages and the library's types, with the checks a camera driver's
// messages need before their bytes are read: sensor_msgs/Image to cv::Mat (a view, no copy),
// sensor_msgs/CameraInfo to CameraModel, and a cloud into sensor_msgs/PointCloud2 (float32 x y z).
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <geometry_msgs/msg/pose.hpp>
#include <geometry_msgs/msg/transform.hpp>
#include <opencv2/core/mat.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <string>

#include "nimbrel_arm_util/camera_model.hpp"

namespace nimbrel_arm_util {

/// Why a message cannot be used: a short reason for counting ("unsupported_encoding") and a detail for
/// people. Both empty when the message is fine.
struct MessageProblem {
  std::string reason;
  std::string detail;
  explicit operator bool() const { return !reason.empty(); }
};

/// Points `view` at the pixels of a depth image without copying them: `16UC1` and `mono16` become
/// CV_16UC1, `32FC1` CV_32FC1. Refused (and `view` left alone): another encoding, big-endian data, an
/// empty image, a row step shorter than a row or not a whole number of pixels, data shorter than height x
/// step. The view is valid as long as `image` is alive and unchanged.
MessageProblem depthImageView(const sensor_msgs::msg::Image& image, cv::Mat& view);

/// The camera model of a camera_info message: `k` must pass CameraModel::cameraMatrixProblem (positive finite
/// focal lengths, a finite principal point, rows fx s cx / 0 fy cy / 0 0 1, a skew under half a pixel over
/// the image, which is dropped); `distortion_model` plumb_bob, rational_polynomial or equidistant with a
/// coefficient count it takes (an empty model with no coefficients, or all-zero ones, is no distortion).
MessageProblem cameraModelFrom(const sensor_msgs::msg::CameraInfo& info, CameraModel& camera);

/// The camera_info message of `camera` for images of `width` x `height` pixels (header left to the caller):
/// its matrix in `k` (and `p`, with `r` the identity: a raw camera), its distortion model by name and all its
/// coefficients, as the doubles they are. cameraModelFrom gives `camera` back from it.
sensor_msgs::msg::CameraInfo cameraInfoMessage(const CameraModel& camera, std::uint32_t width,
                                               std::uint32_t height);

/// Fills `msg` (header left to the caller) with the points of `cloud` in one pass: one row, fields x, y, z
/// float32 at offsets 0, 4, 8, 12 bytes a point, little-endian; `is_dense` tells whether every point is
/// finite. Returns false, leaving `msg` alone, when the cloud is too large for a PointCloud2's 32-bit sizes.
bool fillPointCloud2(const pcl::PointCloud<pcl::PointXYZ>& cloud, sensor_msgs::msg::PointCloud2& msg);

/// The 4x4 matrix of a TF transform: nimbrel_tools::poseFromQuaternion, as the scene file and the tool's
/// `scene --camera-pose x y z qx qy qz qw` compute it, so that the tool reproduces the node bit for bit.
Eigen::Matrix4d transformMatrix(const geometry_msgs::msg::Transform& transform);

/// The pose message of a rigid 4x4 pose: its translation, and its rotation as a quaternion (Eigen's).
geometry_msgs::msg::Pose poseMessage(const Eigen::Matrix4d& pose);

}  // namespace nimbrel_arm_util
