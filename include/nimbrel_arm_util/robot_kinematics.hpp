#pragma once

#include <Eigen/Core>
#include <map>
#include <string>
#include <vector>

#include "nimbrel_arm_util/robot_description.hpp"

namespace nimbrel_arm_util {

/// Forward kinematics of a robot description: the pose of every link in the root link's frame from the
/// positions of the robot's joints (radians for revolute and continuous joints, metres for prismatic ones).
/// Mimic joints follow the joint they name; fixed joints do not move. Built once, then only read: several
/// threads may ask at once.
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
  struct Step;               // one joint in the order a walk from the root meets it
  std::vector<Step> steps_;  // parents before children
  std::vector<std::string> jointNames_;
  std::string root_;
};

}  // namespace nimbrel_arm_util
