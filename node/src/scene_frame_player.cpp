// scene_frame_player: plays a depth PNG to a running scene node as a camera driver would, and saves the cloud
// the node publishes, so that it can be compared with `nimbrel_arm_util scene` on the same files.
//
//   scene_frame_player depth.png camera_info.yaml camera_to_robot.txt out.pcd [frames] [rate_hz]
//
// It publishes the camera's pose (16 numbers row by row, or x y z qx qy qz qw; inline or a file) as a
// static transform base_link -> camera and prints it as TF holds it,
// camera_info and the image on depth/camera_info and depth/image_raw (sensor-data QoS), `frames` times
// (default 1) at `rate_hz` (default 30), and writes the first cloud received on `points` (binary PCD, every
// float exact). Exit status 1 when no cloud came within ten seconds of the last frame.
#include <tf2_ros/static_transform_broadcaster.h>

#include <Eigen/Geometry>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/camera_info.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <string>
#include <thread>

#include "ros_conversions.hpp"
#include "support/files.hpp"
#include "support/scene_file.hpp"

int main(int argc, char** argv) {
  const auto args = rclcpp::init_and_remove_ros_arguments(argc, argv);
  if (args.size() < 5) {
    std::fprintf(stderr,
                 "usage: %s depth.png camera_info.yaml camera_to_base.txt out.pcd [frames] [rate_hz]\n",
                 args.empty() ? "scene_frame_player" : args[0].c_str());
    return 2;
  }
  const int frames = args.size() > 5 ? std::max(1, std::atoi(args[5].c_str())) : 1;
  const double rate = args.size() > 6 ? std::atof(args[6].c_str()) : 30.0;
  cv::Mat depth;
  nimbrel_tools::CameraInfo calibration;
  Eigen::Matrix4d pose;
  try {
    depth = nimbrel_tools::loadDepthImage(args[1]);
    calibration = nimbrel_tools::loadCameraInfo(args[2]);
    pose = nimbrel_tools::poseArgument(args[3], "camera pose");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scene_frame_player: %s\n", e.what());
    return 1;
  }

  auto node = std::make_shared<rclcpp::Node>("scene_frame_player");
  auto images = node->create_publisher<sensor_msgs::msg::Image>("depth/image_raw", rclcpp::SensorDataQoS());
  auto infos =
      node->create_publisher<sensor_msgs::msg::CameraInfo>("depth/camera_info", rclcpp::SensorDataQoS());
  std::mutex mutex;
  sensor_msgs::msg::PointCloud2::ConstSharedPtr first;
  std::size_t received = 0;
  auto points = node->create_subscription<sensor_msgs::msg::PointCloud2>(
      "points", rclcpp::QoS(10), [&](sensor_msgs::msg::PointCloud2::ConstSharedPtr m) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!first) first = m;
        ++received;
      });
  tf2_ros::StaticTransformBroadcaster tf(node);
  geometry_msgs::msg::TransformStamped camera;
  camera.header.frame_id = "base_link";
  camera.child_frame_id = "camera";
  const Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
  camera.transform.translation.x = pose(0, 3);
  camera.transform.translation.y = pose(1, 3);
  camera.transform.translation.z = pose(2, 3);
  camera.transform.rotation.x = q.x();
  camera.transform.rotation.y = q.y();
  camera.transform.rotation.z = q.z();
  camera.transform.rotation.w = q.w();
  tf.sendTransform(camera);
  // `nimbrel_arm_util scene -m "<these 7 numbers>"` then uses the very matrix the node gets from TF.
  std::printf("scene_frame_player: base_link -> camera: %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n",
              pose(0, 3), pose(1, 3), pose(2, 3), q.x(), q.y(), q.z(), q.w());

  // The camera as the file gives it: its distortion model, every coefficient, in doubles.
  sensor_msgs::msg::CameraInfo info = nimbrel_arm_util::cameraInfoMessage(
      calibration.camera, static_cast<std::uint32_t>(depth.cols), static_cast<std::uint32_t>(depth.rows));
  info.header.frame_id = "camera";
  sensor_msgs::msg::Image image;
  image.header.frame_id = "camera";
  image.encoding = "16UC1";
  image.width = static_cast<std::uint32_t>(depth.cols);
  image.height = static_cast<std::uint32_t>(depth.rows);
  image.step = static_cast<std::uint32_t>(depth.step[0]);
  image.data.assign(depth.data, depth.data + depth.step[0] * static_cast<std::size_t>(depth.rows));

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  std::thread spinner([&] { executor.spin(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((images->get_subscription_count() == 0 || points->get_publisher_count() == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the static transform reaches the node
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i) {
    std::this_thread::sleep_until(next);
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / rate));
    info.header.stamp = image.header.stamp = node->now();
    infos->publish(info);
    images->publish(image);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (received >= static_cast<std::size_t>(frames)) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  executor.cancel();
  spinner.join();
  std::lock_guard<std::mutex> lock(mutex);
  std::printf("scene_frame_player: %d frames sent, %zu clouds received\n", frames, received);
  if (!first) return 1;
  if (first->point_step != 12 || first->data.size() < 12 * std::size_t{first->width} || first->height != 1) {
    std::fprintf(stderr, "scene_frame_player: the cloud is not one row of float32 x y z\n");
    return 1;
  }
  nimbrel_tools::Cloud cloud;
  cloud.resize(first->width);
  for (std::size_t i = 0; i < cloud.size(); ++i) std::memcpy(&cloud[i].x, &first->data[12 * i], 12);
  nimbrel_tools::saveCloud(cloud, args[4]);
  std::printf("scene_frame_player: first cloud, %zu points in %s, written to %s\n", cloud.size(),
              first->header.frame_id.c_str(), args[4].c_str());
  rclcpp::shutdown();
  return 0;
}
