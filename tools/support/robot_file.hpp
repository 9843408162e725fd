// Robot description files (URDF) with the collision meshes they name, and the YAML files that give a robot's
// joint positions or its links' poses.
//
// Every collision of every link is read: boxes, cylinders, spheres and meshes (STL, OBJ, PLY or Collada,
// through loadMesh), each at its <origin> in the link's frame, a mesh with its scale applied to its
// vertices. A link without collision geometry is kept (the kinematics need it) and named once in the log.
//
// Mesh file names:
//   package://<pkg>/<rest>  the package's folder, searched in this order:
//                           1. the ament index: for each prefix of AMENT_PREFIX_PATH (colon-separated) that
//                              has share/ament_index/resource_index/packages/<pkg>, <prefix>/share/<pkg>;
//                           2. NIMBREL_PACKAGE_PATH (colon-separated folders): a folder that holds a folder
//                              <pkg>, or a folder whose own name is <pkg>.
//                           The first of these that holds <rest> is taken.
//   file:///<absolute path>
//   <relative path>         relative to the URDF file's folder (parseRobot: to its `baseDirectory`).
// A mesh found nowhere is refused with every place looked in.
#pragma once

#include <Eigen/Core>
#include <map>
#include <string>

#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_tools {

/// Reads a URDF file and its collision meshes. Every failure, the URDF parser's own included, is a ToolError
/// of one line naming the file and, where there is one, the link and element ("robot arm.urdf: link
/// 'forearm_link' collision 1: mesh 'package://arm/forearm.stl' not found (looked in ...)").
nimbrel_arm_util::RobotDescription loadRobot(const std::string& urdfPath);

/// The same for a URDF given as text (as a robot_description parameter holds it); relative mesh file names
/// are read from `baseDirectory`.
nimbrel_arm_util::RobotDescription parseRobot(const std::string& urdfXml, const std::string& baseDirectory);

/// Joint positions from a YAML map of joint name to position (radians or metres):
///   shoulder_pan_joint: 0.3
///   elbow_joint: -1.2
/// An empty file gives no positions. Refuses (ToolError) a value that is not a finite number and a name
/// given twice.
std::map<std::string, double> loadJointPositions(const std::string& path);

/// Link poses from a YAML map of link name to pose, each written as a scene file writes a pose: 16 numbers
/// row by row, or {position: [x, y, z], orientation: [x, y, z, w]}. Refuses (ToolError) a pose that is not
/// rigid and a name given twice.
std::map<std::string, Eigen::Matrix4d> loadLinkPoses(const std::string& path);

}  // namespace nimbrel_tools
