// Forward kinematics: the description is checked and ordered once, so that a pose query is one pass over
// the joints with no look-up but the positions given.
#include "nimbrel_arm_util/robot_kinematics.hpp"

#include <fmt/format.h>

#include <Eigen/Geometry>
#include <cmath>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace nimbrel_arm_util {

namespace {

bool isMovable(RobotJointType type) {
  return type == RobotJointType::kRevolute || type == RobotJointType::kContinuous ||
         type == RobotJointType::kPrismatic;
}

[[noreturn]] void refuse(const std::string& why) { throw std::invalid_argument("robot kinematics: " + why); }

}  // namespace

RobotKinematics::RobotKinematics(const RobotDescription& description) : root_(description.root) {
  std::set<std::string> links;
  for (const RobotLink& link : description.links) {
    if (!links.insert(link.name).second) refuse(fmt::format("link '{}' is given twice", link.name));
  }
  if (links.count(root_) == 0) refuse(fmt::format("the root link '{}' is not one of the links", root_));

  std::unordered_map<std::string, const RobotJoint*> jointNamed;
  std::unordered_map<std::string, const RobotJoint*> parentJoint;  // by child link
  for (const RobotJoint& joint : description.joints) {
    if (!jointNamed.emplace(joint.name, &joint).second)
      refuse(fmt::format("joint '{}' is given twice", joint.name));
    for (const std::string* link : {&joint.parent, &joint.child}) {
      if (links.count(*link) == 0)
        refuse(fmt::format("joint '{}' names an unknown link '{}'", joint.name, *link));
    }
    if (joint.child == root_)
      refuse(fmt::format("joint '{}' makes the root link '{}' a child", joint.name, root_));
    const auto [it, first] = parentJoint.emplace(joint.child, &joint);
    if (!first) {
      refuse(fmt::format("link '{}' is the child of two joints, '{}' and '{}'", joint.child, it->second->name,
                         joint.name));
    }
    if (isMovable(joint.type) && !(joint.axis.allFinite() && joint.axis.norm() > 1e-12))
      refuse(fmt::format("joint '{}' has an axis without length", joint.name));
    if (!joint.origin.allFinite())
      refuse(fmt::format("joint '{}' has an origin that is not finite", joint.name));
  }

  // The positions asked for, and for every mimic joint the chain down to one of them.
  for (const RobotJoint& joint : description.joints) {
    if (isMovable(joint.type) && !joint.mimic) jointNames_.push_back(joint.name);
  }
  const auto sourceOf = [&](const RobotJoint& joint, double& multiplier, double& offset) {
    multiplier = 1.0;
    offset = 0.0;
    const RobotJoint* at = &joint;
    std::set<std::string> seen;
    while (at->mimic) {
      if (!seen.insert(at->name).second)
        refuse(fmt::format("joint '{}' mimics itself through a chain of mimic joints", joint.name));
      const RobotMimic& mimic = *at->mimic;
      const auto target = jointNamed.find(mimic.joint);
      if (target == jointNamed.end())
        refuse(fmt::format("joint '{}' mimics an unknown joint '{}'", at->name, mimic.joint));
      if (!isMovable(target->second->type))
        refuse(fmt::format("joint '{}' mimics joint '{}', which does not move", at->name, mimic.joint));
      if (!std::isfinite(mimic.multiplier) || !std::isfinite(mimic.offset))
        refuse(fmt::format("joint '{}' has a mimic factor or offset that is not finite", at->name));
      // q(at) = m q(target) + o, with q(target) itself perhaps a mimic of another.
      offset += multiplier * mimic.offset;
      multiplier *= mimic.multiplier;
      at = target->second;
    }
    for (std::size_t i = 0; i < jointNames_.size(); ++i) {
      if (jointNames_[i] == at->name) return static_cast<int>(i);
    }
    return -1;  // not reached: a movable joint without a mimic is always one of jointNames_
  };

  // Parents before children, by a walk from the root; a link the walk never meets hangs in a loop of its own.
  std::unordered_map<std::string, std::vector<const RobotJoint*>> childJoints;
  for (const RobotJoint& joint : description.joints) childJoints[joint.parent].push_back(&joint);
  std::vector<std::pair<std::string, int>> open{{root_, -1}};
  while (!open.empty()) {
    const auto [link, index] = open.back();
    open.pop_back();
    for (const RobotJoint* joint : childJoints[link]) {
      Step step;
      step.parent = index;
      step.child = joint->child;
      step.origin = joint->origin;
      if (isMovable(joint->type)) {
        step.type = joint->type == RobotJointType::kPrismatic ? RobotJointType::kPrismatic
                                                              : RobotJointType::kRevolute;
        step.axis = joint->axis.normalized();
        step.source = sourceOf(*joint, step.multiplier, step.offset);
      }
      steps_.push_back(std::move(step));
      open.emplace_back(joint->child, static_cast<int>(steps_.size()) - 1);
    }
  }
  if (steps_.size() + 1 != links.size()) {
    std::set<std::string> reached{root_};
    for (const Step& step : steps_) reached.insert(step.child);
    for (const std::string& link : links) {
      if (reached.count(link) != 0) continue;
      if (parentJoint.count(link) == 0) refuse(fmt::format("link '{}' is not attached by any joint", link));
      refuse(fmt::format("link '{}' is not connected to the root link '{}' (the joints form a loop)", link,
                         root_));
    }
  }
}

std::map<std::string, Eigen::Matrix4d> RobotKinematics::linkPoses(
    const std::map<std::string, double>& positions) const {
  std::vector<double> q(jointNames_.size());
  for (std::size_t i = 0; i < jointNames_.size(); ++i) {
    const auto it = positions.find(jointNames_[i]);
    if (it == positions.end()) refuse(fmt::format("no position for joint '{}'", jointNames_[i]));
    if (!std::isfinite(it->second))
      refuse(fmt::format("the position of joint '{}' is not finite ({})", jointNames_[i], it->second));
    q[i] = it->second;
  }

  std::vector<Eigen::Matrix4d> poses(steps_.size());
  std::map<std::string, Eigen::Matrix4d> result{{root_, Eigen::Matrix4d::Identity()}};
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const Step& step = steps_[i];
    Eigen::Matrix4d pose = step.parent < 0 ? step.origin : Eigen::Matrix4d(poses[step.parent] * step.origin);
    if (step.source >= 0) {
      const double value = step.multiplier * q[step.source] + step.offset;
      Eigen::Matrix4d motion = Eigen::Matrix4d::Identity();
      if (step.type == RobotJointType::kPrismatic) {
        motion.topRightCorner<3, 1>() = value * step.axis;
      } else {
        motion.topLeftCorner<3, 3>() = Eigen::AngleAxisd(value, step.axis).toRotationMatrix();
      }
      pose = pose * motion;
    }
    poses[i] = pose;
    result.emplace(step.child, pose);
  }
  return result;
}

}  // namespace nimbrel_arm_util
