#include "robot_description_source.hpp"

#include <fmt/format.h>
#include <pcl/conversions.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "ros_conversions.hpp"
#include "support/robot_file.hpp"

namespace nimbrel_arm_util {

namespace {

double linkValue(const std::map<std::string, double>& perLink, const std::string& link, double value) {
  const auto it = perLink.find(link);
  return it == perLink.end() ? value : it->second;
}

// The triangles of `mesh` grown by `scale` about its frame's origin and placed by `pose`.
void addTriangles(const pcl::PolygonMesh& mesh, double scale, const Eigen::Matrix4d& pose,
                  visualization_msgs::msg::Marker& m) {
  pcl::PointCloud<pcl::PointXYZ> vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  for (const auto& polygon : mesh.polygons) {
    if (polygon.vertices.size() != 3) continue;
    if (std::any_of(polygon.vertices.begin(), polygon.vertices.end(),
                    [&](std::uint32_t i) { return i >= vertices.size(); }))
      continue;
    for (const std::uint32_t i : polygon.vertices) {
      const Eigen::Vector3d p =
          (pose * (scale * vertices[i].getVector3fMap().cast<double>()).homogeneous()).head<3>();
      geometry_msgs::msg::Point point;
      point.x = p.x();
      point.y = p.y();
      point.z = p.z();
      m.points.push_back(point);
    }
  }
}

}  // namespace

const std::vector<std::string>& robotParameterNames() {
  static const std::vector<std::string> names = {"robot_description", "robot_padding", "robot_scale",
                                                 "robot_ignored_links", "robot_shadow"};
  return names;
}

void declareRobotParameters(rclcpp::Node& node, const FramePipelineConfig& config) {
  node.declare_parameter("robot_description", std::string());
  node.declare_parameter("robot_padding", config.robotBody.padding);
  node.declare_parameter("robot_scale", config.robotBody.scale);
  node.declare_parameter("robot_ignored_links", config.robotBody.ignoredLinks);
  node.declare_parameter("robot_shadow", config.robotShadow);
}

std::string applyRobotParameter(const rclcpp::Parameter& p, FramePipelineConfig& config) {
  const std::string& name = p.get_name();
  if (name == "robot_padding") {
    config.robotBody.padding = p.as_double();
    if (!(config.robotBody.padding >= 0.0 && config.robotBody.padding <= 1.0))
      return fmt::format("robot_padding {}: metres, from 0 to 1", config.robotBody.padding);
  } else if (name == "robot_scale") {
    config.robotBody.scale = p.as_double();
    if (!(config.robotBody.scale > 0.0 && config.robotBody.scale <= 10.0))
      return fmt::format("robot_scale {}: a factor above 0, at most 10 (1: the shapes as described)",
                         config.robotBody.scale);
  } else if (name == "robot_ignored_links") {
    config.robotBody.ignoredLinks = p.as_string_array();
    for (const auto& link : config.robotBody.ignoredLinks) {
      if (link.empty()) return "robot_ignored_links: a link name is empty";
    }
  } else if (name == "robot_shadow") {
    config.robotShadow = p.as_bool();
  }
  return "";
}

RobotDescription robotFromUrdf(const std::string& xml) {
  return nimbrel_tools::parseRobot(xml, std::filesystem::current_path().string());
}

visualization_msgs::msg::MarkerArray robotMarkers(const FramePipelineConfig& config,
                                                  const std::map<std::string, Eigen::Matrix4d>& linkPoses,
                                                  const std_msgs::msg::Header& header) {
  using visualization_msgs::msg::Marker;
  visualization_msgs::msg::MarkerArray array;
  Marker clear;
  clear.header = header;
  clear.action = Marker::DELETEALL;
  array.markers.push_back(clear);
  if (!config.robot) return array;
  const RobotBodyConfig& body = config.robotBody;
  for (const RobotLink& link : config.robot->links) {
    const auto pose = linkPoses.find(link.name);
    if (pose == linkPoses.end()) continue;  // ignored, or without shapes
    const double padding = linkValue(body.linkPadding, link.name, body.padding);
    const double scale = linkValue(body.linkScale, link.name, body.scale);
    for (const RobotShape& shape : link.collisions) {
      Marker m;
      m.header = header;
      m.ns = "robot";
      m.id = static_cast<int>(array.markers.size());
      m.action = Marker::ADD;
      m.color.r = 0.9f;
      m.color.g = 0.9f;
      m.color.b = 0.2f;
      m.color.a = 0.5f;
      const Eigen::Matrix4d placed = pose->second * shape.origin;
      const Eigen::Vector3d padded = scale * shape.size + Eigen::Vector3d::Constant(padding);
      switch (shape.kind) {
        case RobotShape::Kind::kBox:
          m.type = Marker::CUBE;
          m.pose = poseMessage(placed);
          m.scale.x = scale * shape.size.x() + 2.0 * padding;
          m.scale.y = scale * shape.size.y() + 2.0 * padding;
          m.scale.z = scale * shape.size.z() + 2.0 * padding;
          break;
        case RobotShape::Kind::kCylinder:  // size: radius, radius, length
          m.type = Marker::CYLINDER;
          m.pose = poseMessage(placed);
          m.scale.x = m.scale.y = 2.0 * padded.x();
          m.scale.z = scale * shape.size.z() + 2.0 * padding;
          break;
        case RobotShape::Kind::kSphere:
          m.type = Marker::SPHERE;
          m.pose = poseMessage(placed);
          m.scale.x = m.scale.y = m.scale.z = 2.0 * padded.x();
          break;
        case RobotShape::Kind::kMesh:
          m.type = Marker::TRIANGLE_LIST;
          m.pose.orientation.w = 1.0;
          m.scale.x = m.scale.y = m.scale.z = 1.0;
          addTriangles(shape.mesh, scale, placed, m);
          break;
      }
      array.markers.push_back(std::move(m));
    }
  }
  return array;
}

}  // namespace nimbrel_arm_util
