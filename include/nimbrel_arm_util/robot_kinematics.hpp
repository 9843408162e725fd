#pragma once

#include <Eigen/Core>
#include <map>
#include <string>
#include <vector>

#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_arm_util {

/// Forward kinematics of a robot description: the pose of every link in the root link's frame from the
/// positions of the robot's joints (radians for revolute and continuous joints, metres for prismatic ones).
/// Mimic joints follow the joint they name (a mimic of a mimic too); fixed joints do not move. Floating and
/// planar joints have no position here: they are taken as fixed at their origin. Built once, then only
/// read: several threads may ask at once.
class RobotKinematics {
 public:
  /// Checks that the joints connect the links into one tree rooted at `description.root` (every link but
  /// the root the child of exactly one joint, joints naming known links, mimic joints naming a movable
  /// joint, axes of non-zero length). Throws std::invalid_argument naming the joint or link at fault.
  explicit RobotKinematics(const RobotDescription& description);

  /// The joints whose positions linkPoses() needs: revolute, continuous and prismatic joints that do not
  /// mimic another, in the description's order.
  const std::vector<std::string>& jointNames() const { return jointNames_; }

  /// Every link's pose in the root link's frame (the root's is the identity). Positions of joints not in
  /// jointNames() are ignored. Throws std::invalid_argument naming a joint of jointNames() that has no
  /// position, or whose position is not finite. Limits are not enforced: the arm is where it says it is.
  std::map<std::string, Eigen::Matrix4d> linkPoses(const std::map<std::string, double>& positions) const;

 private:
  // One joint in the order a walk from the root meets it: the child's pose is the parent's (an earlier
  // step's child, or the root when `parent` is -1) times `origin` times the joint's motion.
  struct Step {
    int parent = -1;
    std::string child;
    Eigen::Matrix4d origin = Eigen::Matrix4d::Identity();
    RobotJointType type = RobotJointType::kFixed;     // fixed, revolute or prismatic only
    Eigen::Vector3d axis = Eigen::Vector3d::UnitX();  // unit length
    int source = -1;  // the position it follows: an index into jointNames_ (-1: fixed)
    double multiplier = 1.0;
    double offset = 0.0;
  };
  std::vector<Step> steps_;  // parents before children
  std::vector<std::string> jointNames_;
  std::string root_;
};

}  // namespace nimbrel_arm_util
