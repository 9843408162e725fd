#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <rclcpp/node.hpp>
#include <rclcpp/node_options.hpp>
#include <string>

namespace nimbrel_arm_util {

/// ROS 2 node that turns depth camera frames into a clean cloud in the robot's base frame: depth image and
/// camera_info in, undistort and back-project, crop, down-sample, remove outliers, move into `base_frame`
/// with TF at the image's stamp, cut the arm's own body, the held tool, known boxes and object meshes out
/// (FramePipeline), and publish `points` with the image's stamp.
///
/// The arm comes from the `robot_description` parameter (URDF XML) or, while that is empty, from the
/// `robot_description` topic (std_msgs/String, transient local, as robot_state_publisher publishes it); a
/// new description replaces the robot, and one that cannot be used leaves the old one in place with the
/// reason logged. Each link's pose comes from TF at the image's stamp, like the scene's frames.
///
/// Topics: `depth/image_raw` and `depth/camera_info` in (sensor-data QoS); `points` out; `points_removed`,
/// `scene_markers`, `~/robot_points` (what the arm's body cut) and `~/robot_markers` (its padded shapes) only
/// while someone subscribes; `/diagnostics` once a second. Service
/// `~/reload_scene` (std_srvs/Trigger) rereads the scene file. Frames are processed on the node's own
/// worker thread, so a slow frame never holds up TF, parameter, service or diagnostic callbacks; a frame
/// that is superseded while it waits, or that cannot be used, is dropped and counted under its reason.
/// Clouds go out in stamp order: a frame older than one already published or waiting for the worker is
/// dropped (`superseded`). At most kMaxWaitingFrames frames wait for TF; a further one pushes the oldest out
/// (`tf_backlog`), so that a TF outage under a long `tf_timeout` holds a bounded number of images.
///
/// The constructor throws std::runtime_error with one line when a parameter or the scene file is invalid.
class SceneNode : public rclcpp::Node {
 public:
  explicit SceneNode(const rclcpp::NodeOptions& options = rclcpp::NodeOptions());
  ~SceneNode() override;

  /// Most frames that wait for TF at once.
  static constexpr std::size_t kMaxWaitingFrames = 4;

  /// Frames received and published, and frames dropped by reason, since the node started; frames waiting
  /// for TF now, and the most that ever waited at once.
  struct Counts {
    std::uint64_t framesIn = 0;
    std::uint64_t framesOut = 0;
    std::map<std::string, std::uint64_t> dropped;
    std::size_t waiting = 0;
    std::size_t waitingPeak = 0;
  };
  /// A snapshot of the counts; callable from any thread.
  Counts counts() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel_arm_util
