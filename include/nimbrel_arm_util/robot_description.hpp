#pragma once

#include <pcl/PolygonMesh.h>

#include <Eigen/Core>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel_arm_util {

/// One collision body of a robot link, placed in the link's frame by `origin`.
struct RobotShape {
  enum class Kind { kMesh, kBox, kCylinder, kSphere };
  Kind kind = Kind::kBox;
  /// The shape's frame in its link's frame (a rigid pose); the shape is centred on it.
  Eigen::Matrix4d origin = Eigen::Matrix4d::Identity();
  /// Box: full edge lengths along x, y, z. Cylinder: (radius, radius, length), its axis along z. Sphere:
  /// (radius, radius, radius). Metres; unused for meshes.
  Eigen::Vector3d size = Eigen::Vector3d::Zero();
  /// Mesh: the triangles in the shape's frame, in metres, the description's own scale already applied.
  pcl::PolygonMesh mesh;
  std::string file;  ///< mesh: where it was read from, for messages
};

/// A rigid body of the robot: its name (the TF frame it moves with) and its collision shapes, if any.
struct RobotLink {
  std::string name;
  std::vector<RobotShape> collisions;
};

/// How a joint moves its child link relative to its parent.
enum class RobotJointType { kFixed, kRevolute, kContinuous, kPrismatic, kFloating, kPlanar };

/// A joint that follows another: position = multiplier × the other's position + offset.
struct RobotMimic {
  std::string joint;
  double multiplier = 1.0;
  double offset = 0.0;
};

/// A joint between two links. The child's frame is the parent's frame moved by `origin`, then by the
/// joint's motion: a rotation about `axis` (revolute, continuous; radians) or a translation along it
/// (prismatic; metres), `axis` given in the joint's frame.
struct RobotJoint {
  std::string name;
  RobotJointType type = RobotJointType::kFixed;
  std::string parent;
  std::string child;
  Eigen::Matrix4d origin = Eigen::Matrix4d::Identity();
  Eigen::Vector3d axis = Eigen::Vector3d::UnitX();
  double lower = 0.0;  ///< position limits (revolute, prismatic); both 0 when none are given
  double upper = 0.0;
  std::optional<RobotMimic> mimic;
};

/// A robot as its description file gives it: the links with their collision shapes and the joints that
/// connect them into a tree rooted at `root`.
struct RobotDescription {
  std::string name;
  std::string root;  ///< the link without a parent: the frame link poses are given in
  std::vector<RobotLink> links;
  std::vector<RobotJoint> joints;
};

}  // namespace nimbrel_arm_util
