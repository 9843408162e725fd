// The scene node's robot: its parameters, its description as a URDF document, and its padded body drawn as
// markers. The cut itself is FramePipeline's; link poses come from TF at each image's stamp.
#pragma once

#include <Eigen/Core>
#include <map>
#include <rclcpp/node.hpp>
#include <rclcpp/parameter.hpp>
#include <std_msgs/msg/header.hpp>
#include <string>
#include <vector>
#include <visualization_msgs/msg/marker_array.hpp>

#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_arm_util {

/// The robot parameters, in the order they are declared: robot_description (URDF XML; empty: the
/// description comes from the `robot_description` topic), robot_padding, robot_scale, robot_ignored_links,
/// robot_shadow.
const std::vector<std::string>& robotParameterNames();

/// Declares the robot parameters with the defaults of `config`.
void declareRobotParameters(rclcpp::Node& node, const FramePipelineConfig& config);

/// Applies a robot parameter other than robot_description to `config`; returns why it cannot be used, or
/// "". Parameters of other names are left alone.
std::string applyRobotParameter(const rclcpp::Parameter& parameter, FramePipelineConfig& config);

/// The robot of a URDF document as robot_state_publisher publishes it: collision shapes with their meshes
/// read, `package://` resolved through the ament index, relative mesh paths against the working directory.
/// Throws nimbrel_tools::ToolError (or what the reading lets out) with the reason.
RobotDescription robotFromUrdf(const std::string& xml);

/// The body `config` cuts, link by link placed by `linkPoses` (base frame, as FramePoses::links): boxes,
/// cylinders and spheres as their marker types grown by the scale and padding, meshes as triangle lists at
/// their scale (the padding around a mesh is not drawn). Each marker gets `header` and namespace "robot".
visualization_msgs::msg::MarkerArray robotMarkers(const FramePipelineConfig& config,
                                                  const std::map<std::string, Eigen::Matrix4d>& linkPoses,
                                                  const std_msgs::msg::Header& header);

}  // namespace nimbrel_arm_util
