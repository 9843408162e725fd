#include "nimbrel_arm_util/robot_kinematics.hpp"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using nimbrel_arm_util::RobotDescription;
using nimbrel_arm_util::RobotJoint;
using nimbrel_arm_util::RobotJointType;
using nimbrel_arm_util::RobotKinematics;
using nimbrel_arm_util::RobotMimic;

constexpr double kTolerance = 1e-9;

// A pose from a translation and roll, pitch, yaw about the fixed x, y, z axes, as description files give it.
Eigen::Matrix4d origin(double x, double y, double z, double roll = 0, double pitch = 0, double yaw = 0) {
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.topLeftCorner<3, 3>() =
      (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) * Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
       Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
          .matrix();
  m.topRightCorner<3, 1>() = Eigen::Vector3d(x, y, z);
  return m;
}

RobotJoint joint(const std::string& name, RobotJointType type, const std::string& parent,
                 const std::string& child, const Eigen::Matrix4d& at,
                 const Eigen::Vector3d& axis = Eigen::Vector3d::UnitZ()) {
  RobotJoint j;
  j.name = name;
  j.type = type;
  j.parent = parent;
  j.child = child;
  j.origin = at;
  j.axis = axis;
  return j;
}

RobotDescription withLinks(RobotDescription robot, const std::vector<std::string>& links) {
  for (const std::string& name : links) robot.links.push_back({name, {}});
  robot.root = links.front();
  return robot;
}

// A six-axis industrial arm with the published joint origins of its kinematic calibration (the rounded
// quarter turns included), the frame `base` its maker's reference frame.
RobotDescription sixAxisArm() {
  const double pi = M_PI, quarter = 1.570796327;
  RobotDescription robot;
  const auto revolute = RobotJointType::kRevolute;
  const auto fixed = RobotJointType::kFixed;
  robot.joints = {
      joint("base_link-inertia", fixed, "base_link", "base_link_inertia", origin(0, 0, 0, 0, 0, pi)),
      joint("shoulder_pan", revolute, "base_link_inertia", "shoulder_link", origin(0, 0, 0.1625)),
      joint("shoulder_lift", revolute, "shoulder_link", "upper_arm_link", origin(0, 0, 0, quarter, 0, 0)),
      joint("elbow", revolute, "upper_arm_link", "forearm_link", origin(-0.425, 0, 0)),
      joint("wrist_1", revolute, "forearm_link", "wrist_1_link", origin(-0.3922, 0, 0.1333)),
      joint("wrist_2", revolute, "wrist_1_link", "wrist_2_link",
            origin(0, -0.0997, -2.044881182297852e-11, quarter, 0, 0)),
      joint("wrist_3", revolute, "wrist_2_link", "wrist_3_link",
            origin(0, 0.09959999999999999, -2.042830148012698e-11, 1.570796326589793, pi, pi)),
      joint("wrist_3-flange", fixed, "wrist_3_link", "flange", origin(0, 0, 0, 0, -pi / 2, -pi / 2)),
      joint("flange-tool0", fixed, "flange", "tool0", origin(0, 0, 0, pi / 2, 0, pi / 2)),
      joint("base_link-base", fixed, "base_link", "base", origin(0, 0, 0, 0, 0, pi)),
  };
  return withLinks(robot,
                   {"base_link", "base_link_inertia", "shoulder_link", "upper_arm_link", "forearm_link",
                    "wrist_1_link", "wrist_2_link", "wrist_3_link", "flange", "tool0", "base"});
}

// The same arm as a standard Denavit-Hartenberg table: `base` to `tool0`.
Eigen::Matrix4d sixAxisArmDh(const std::array<double, 6>& q) {
  const std::array<double, 6> d{0.1625, 0, 0, 0.1333, 0.0997, 0.0996};
  const std::array<double, 6> a{0, -0.425, -0.3922, 0, 0, 0};
  const std::array<double, 6> alpha{M_PI / 2, 0, 0, M_PI / 2, -M_PI / 2, 0};
  Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
  for (int i = 0; i < 6; ++i) {
    const double ct = std::cos(q[i]), st = std::sin(q[i]), ca = std::cos(alpha[i]), sa = std::sin(alpha[i]);
    Eigen::Matrix4d link;
    link << ct, -st * ca, st * sa, a[i] * ct, st, ct * ca, -ct * sa, a[i] * st, 0, sa, ca, d[i], 0, 0, 0, 1;
    t = t * link;
  }
  return t;
}

TEST(RobotKinematics, SixAxisArmMatchesItsDenavitHartenbergTable) {
  const RobotKinematics kinematics(sixAxisArm());
  const std::vector<std::string> names{"shoulder_pan", "shoulder_lift", "elbow",
                                       "wrist_1",      "wrist_2",       "wrist_3"};
  EXPECT_EQ(kinematics.jointNames(), names);
  const std::vector<std::array<double, 6>> joints{{0, 0, 0, 0, 0, 0},
                                                  {0.3, -1.2, 1.5, -0.7, 1.1, 0.4},
                                                  {-2.9, 0.8, -2.6, 3.1, -1.7, 5.9},
                                                  {1.0, -M_PI / 2, M_PI / 2, -M_PI / 2, -M_PI / 2, 0}};
  for (const auto& q : joints) {
    std::map<std::string, double> positions;
    for (int i = 0; i < 6; ++i) positions[names[i]] = q[i];
    const auto poses = kinematics.linkPoses(positions);
    ASSERT_EQ(poses.size(), 11u);
    EXPECT_TRUE(poses.at("base_link").isApprox(Eigen::Matrix4d::Identity(), 0.0));
    const Eigen::Matrix4d tool = poses.at("base").inverse() * poses.at("tool0");
    EXPECT_LT((tool - sixAxisArmDh(q)).cwiseAbs().maxCoeff(), kTolerance) << "q0 " << q[0] << " q1 " << q[1];
  }
}

// base -> slide (prismatic along a tilted axis) -> finger (revolute), and a second finger mimicking the
// first, mirrored and offset: what a parallel gripper's description holds.
RobotDescription gripper() {
  RobotDescription robot;
  RobotJoint slide =
      joint("slide", RobotJointType::kPrismatic, "base", "carriage", origin(0.1, 0, 0, 0, 0, M_PI / 2),
            Eigen::Vector3d(0, 3, 4));  // not of unit length: only its direction counts
  RobotJoint finger =
      joint("finger", RobotJointType::kContinuous, "carriage", "finger_a", origin(0, 0, 0.05));
  RobotJoint mirror = joint("mirror", RobotJointType::kRevolute, "carriage", "finger_b", origin(0, 0, 0.05));
  mirror.mimic = RobotMimic{"finger", -2.0, 0.25};
  RobotJoint follower = joint("follower", RobotJointType::kRevolute, "finger_b", "tip_b", origin(0.02, 0, 0));
  follower.mimic = RobotMimic{"mirror", 0.5, 0.0};
  RobotJoint planar = joint("planar", RobotJointType::kPlanar, "base", "tray", origin(0, 0, -0.1));
  robot.joints = {slide, finger, mirror, follower, planar};
  return withLinks(robot, {"base", "carriage", "finger_a", "finger_b", "tip_b", "tray"});
}

TEST(RobotKinematics, PrismaticAndMimicJointsMoveTheirChildren) {
  const RobotKinematics kinematics(gripper());
  EXPECT_EQ(kinematics.jointNames(), (std::vector<std::string>{"slide", "finger"}));
  const auto poses = kinematics.linkPoses({{"slide", 0.5}, {"finger", 0.3}, {"mirror", 9.0}, {"other", 1.0}});

  // The slide moves 0.5 along (0, 0.6, 0.8) of a frame turned a quarter about z.
  const Eigen::Vector3d carriage = poses.at("carriage").topRightCorner<3, 1>();
  EXPECT_LT((carriage - Eigen::Vector3d(0.1 - 0.3, 0, 0.4)).norm(), kTolerance);
  // The mirror ignores its own given position: -2 * 0.3 + 0.25, and its follower half of that.
  const Eigen::Matrix4d relative = poses.at("finger_b").inverse() * poses.at("tip_b");
  const double mirror = -2.0 * 0.3 + 0.25;
  EXPECT_LT((relative - origin(0.02, 0, 0, 0, 0, 0.5 * mirror)).cwiseAbs().maxCoeff(), kTolerance);
  const Eigen::Matrix4d fingers = poses.at("finger_a").inverse() * poses.at("finger_b");
  EXPECT_LT((fingers - origin(0, 0, 0, 0, 0, mirror - 0.3)).cwiseAbs().maxCoeff(), kTolerance);
  // The planar joint stays at its origin.
  EXPECT_LT((poses.at("tray") - origin(0, 0, -0.1)).cwiseAbs().maxCoeff(), kTolerance);
}

// The message of the std::invalid_argument that `call` throws ("" when it returns).
std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(RobotKinematics, RefusesWhatIsNotOneTreeAndPositionsItCannotUse) {
  std::vector<std::pair<RobotDescription, std::string>> cases(5, {gripper(), ""});
  cases[0].first.joints.push_back(
      joint("again", RobotJointType::kFixed, "base", "finger_a", origin(0, 0, 0)));
  cases[0].second = "'finger_a' is the child of two joints";
  cases[1].first = withLinks({}, {"base", "a", "b"});
  cases[1].first.joints = {joint("ab", RobotJointType::kFixed, "a", "b", origin(0, 0, 0)),
                           joint("ba", RobotJointType::kFixed, "b", "a", origin(0, 0, 0))};
  cases[1].second = "loop";
  cases[2].first.joints[2].mimic->joint = "thumb";
  cases[2].second = "unknown joint 'thumb'";
  cases[3].first.joints[1].mimic = RobotMimic{"follower", 1.0, 0.0};
  cases[3].second = "chain of mimic joints";
  cases[4].first.joints[0].axis.setZero();
  cases[4].second = "'slide' has an axis without length";
  for (const auto& [robot, why] : cases) {
    const std::string message = refusal([&] { RobotKinematics{robot}; });
    EXPECT_NE(message.find(why), std::string::npos) << "expected '" << why << "', got '" << message << "'";
  }

  const RobotKinematics kinematics(gripper());
  EXPECT_NE(refusal([&] {
              kinematics.linkPoses({{"slide", 0.5}});
            }).find("no position for joint 'finger'"),
            std::string::npos);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(refusal([&] {
              kinematics.linkPoses({{"slide", 0.5}, {"finger", nan}});
            }).find("'finger'"),
            std::string::npos);
}

}  // namespace
