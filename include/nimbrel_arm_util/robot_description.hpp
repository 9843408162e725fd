#pragma once

#include <pcl/PolygonMesh.h>

#include <Eigen/Core>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel_arm_util {

/// One collision body of a robot link, placed in the link's frame by `origin`.
struct RobotShape {
  /// The shape's kind, as the description names it.
  enum class Kind { kMesh, kBox, kCylinder, kSphere };
  Kind kind = Kind::kBox;  ///< which of the fields below describe it
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
  std::string name;                    ///< the link's name, its TF frame
  std::vector<RobotShape> collisions;  ///< its collision shapes; empty for a link without any
};

/// How a joint moves its child link relative to its parent.
enum class RobotJointType { kFixed, kRevolute, kContinuous, kPrismatic, kFloating, kPlanar };

/// A joint that follows another: position = multiplier × the other's position + offset.
struct RobotMimic {
  std::string joint;        ///< the joint followed
  double multiplier = 1.0;  ///< factor on its position
  double offset = 0.0;      ///< added after the factor
};

/// A joint between two links. The child's frame is the parent's frame moved by `origin`, then by the
/// joint's motion: a rotation about `axis` (revolute, continuous; radians) or a translation along it
/// (prismatic; metres), `axis` given in the joint's frame.
struct RobotJoint {
  std::string name;                                      ///< the joint's name, as joint positions name it
  RobotJointType type = RobotJointType::kFixed;          ///< how it moves
  std::string parent;                                    ///< the link it hangs from
  std::string child;                                     ///< the link it moves
  Eigen::Matrix4d origin = Eigen::Matrix4d::Identity();  ///< the joint's frame in the parent's frame
  Eigen::Vector3d axis = Eigen::Vector3d::UnitX();       ///< its axis, in the joint's frame
  double lower = 0.0;               ///< position limits (revolute, prismatic); both 0 when none are given
  double upper = 0.0;               ///< upper position limit
  std::optional<RobotMimic> mimic;  ///< set when the joint follows another
};

/// A robot as its description file gives it: the links with their collision shapes and the joints that
/// connect them into a tree rooted at `root`.
struct RobotDescription {
  std::string name;                ///< the robot's name
  std::string root;                ///< the link without a parent: the frame link poses are given in
  std::vector<RobotLink> links;    ///< every link, with or without collision shapes
  std::vector<RobotJoint> joints;  ///< every joint
};

}  // namespace nimbrel_arm_util
