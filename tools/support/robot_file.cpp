#include "support/robot_file.hpp"

#include <console_bridge/console.h>
#include <fmt/format.h>
#include <pcl/conversions.h>
#include <urdf_parser/urdf_parser.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/robot_kinematics.hpp"
#include "support/files.hpp"
#include "support/yaml_entry.hpp"

namespace nimbrel_tools {

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::RobotDescription;
using nimbrel_arm_util::RobotJoint;
using nimbrel_arm_util::RobotJointType;
using nimbrel_arm_util::RobotLink;
using nimbrel_arm_util::RobotShape;

// The URDF parser reports why it failed only through console_bridge's global output; while it parses, its
// messages are kept here instead of printed, and the last error becomes the ToolError's text.
class ParserMessages : public console_bridge::OutputHandler {
 public:
  void log(const std::string& text, console_bridge::LogLevel level, const char* /*file*/,
           int /*line*/) override {
    if (level >= console_bridge::CONSOLE_BRIDGE_LOG_ERROR) lastError = text;
  }
  std::string lastError;
};

urdf::ModelInterfaceSharedPtr parseUrdf(const std::string& xml, const std::string& what) {
  static std::mutex parsing;  // the output handler is global
  const std::lock_guard<std::mutex> lock(parsing);
  ParserMessages messages;
  console_bridge::useOutputHandler(&messages);
  urdf::ModelInterfaceSharedPtr model;
  try {
    model = urdf::parseURDF(xml);
  } catch (const std::exception& e) {
    messages.lastError = e.what();
  }
  console_bridge::restorePreviousOutputHandler();
  if (!model) {
    std::string why = messages.lastError.empty() ? "not a URDF robot description" : messages.lastError;
    for (char& c : why) c = c == '\n' ? ' ' : c;
    throw ToolError(fmt::format("robot {}: {}", what, why));
  }
  return model;
}

Eigen::Matrix4d poseOf(const urdf::Pose& pose) {
  const urdf::Vector3& t = pose.position;
  const urdf::Rotation& q = pose.rotation;
  return poseFromQuaternion(Eigen::Vector3d(t.x, t.y, t.z), Eigen::Vector4d(q.x, q.y, q.z, q.w));
}

std::string environment(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr ? "" : value;
}

std::vector<std::string> searchPath(const char* variable) {
  std::vector<std::string> folders;
  std::stringstream in(environment(variable));
  std::string folder;
  while (std::getline(in, folder, ':')) {
    if (!folder.empty()) folders.push_back(folder);
  }
  return folders;
}

// Where a package://<pkg>/<rest> file may be, in the order it is searched.
std::vector<fs::path> packageCandidates(const std::string& package, const std::string& rest) {
  std::vector<fs::path> candidates;
  std::error_code ec;
  for (const std::string& prefix : searchPath("AMENT_PREFIX_PATH")) {
    const fs::path marker = fs::path(prefix) / "share/ament_index/resource_index/packages" / package;
    if (fs::exists(marker, ec)) candidates.push_back(fs::path(prefix) / "share" / package / rest);
  }
  for (const std::string& entry : searchPath("NIMBREL_PACKAGE_PATH")) {
    fs::path folder = fs::path(entry).lexically_normal();
    if (folder.filename().empty()) folder = folder.parent_path();  // written with a trailing slash
    if (fs::is_directory(folder / package, ec)) candidates.push_back(folder / package / rest);
    if (folder.filename() == package && fs::is_directory(folder, ec)) candidates.push_back(folder / rest);
  }
  return candidates;
}

// The file a mesh name stands for; throws the reason (without the link) when there is none.
std::string meshPath(const std::string& name, const fs::path& base) {
  const std::string packageScheme = "package://", fileScheme = "file://";
  std::error_code ec;
  if (name.rfind(packageScheme, 0) == 0) {
    const std::string tail = name.substr(packageScheme.size());
    const std::size_t slash = tail.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == tail.size())
      throw ToolError(fmt::format("mesh '{}' is not package://<package>/<file>", name));
    const std::string package = tail.substr(0, slash), rest = tail.substr(slash + 1);
    const std::vector<fs::path> candidates = packageCandidates(package, rest);
    for (const fs::path& candidate : candidates) {
      if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    if (candidates.empty()) {
      throw ToolError(fmt::format(
          "mesh '{}' not found (package '{}' is neither in the ament index of AMENT_PREFIX_PATH '{}' nor in "
          "NIMBREL_PACKAGE_PATH '{}')",
          name, package, environment("AMENT_PREFIX_PATH"), environment("NIMBREL_PACKAGE_PATH")));
    }
    std::vector<std::string> looked;
    for (const fs::path& candidate : candidates) looked.push_back(candidate.string());
    throw ToolError(fmt::format("mesh '{}' not found (looked in {})", name, fmt::join(looked, ", ")));
  }
  fs::path file;
  if (name.rfind(fileScheme, 0) == 0) {
    file = name.substr(fileScheme.size());
    if (file.is_relative()) throw ToolError(fmt::format("mesh '{}' is not file:///<absolute path>", name));
  } else if (name.find("://") != std::string::npos) {
    throw ToolError(fmt::format("mesh '{}': only package://, file:// and file paths are read", name));
  } else {
    file = fs::path(name).is_absolute() ? fs::path(name) : base / name;
  }
  if (!fs::is_regular_file(file, ec))
    throw ToolError(fmt::format("mesh '{}' not found (looked in {})", name, file.string()));
  return file.string();
}

// The mesh's triangles with the description's scale applied; a mirroring scale would turn every face
// inside out, so their corners are swapped back.
pcl::PolygonMesh scaledMesh(const std::string& path, const urdf::Vector3& scale) {
  pcl::PolygonMesh mesh = loadMesh(path);
  if (scale.x == 1.0 && scale.y == 1.0 && scale.z == 1.0) return mesh;
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  for (pcl::PointXYZ& v : vertices) {
    v.x = static_cast<float>(v.x * scale.x);
    v.y = static_cast<float>(v.y * scale.y);
    v.z = static_cast<float>(v.z * scale.z);
  }
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
  if (scale.x * scale.y * scale.z < 0.0) {
    for (pcl::Vertices& face : mesh.polygons) std::swap(face.vertices[1], face.vertices[2]);
  }
  return mesh;
}

RobotShape shapeOf(const urdf::Collision& collision, const fs::path& base) {
  RobotShape shape;
  shape.origin = poseOf(collision.origin);
  const urdf::Geometry& geometry = *collision.geometry;
  const auto requirePositive = [](const char* what, std::initializer_list<double> values) {
    for (double v : values) {
      if (!(std::isfinite(v) && v > 0.0)) throw ToolError(fmt::format("{} must be positive", what));
    }
  };
  switch (geometry.type) {
    case urdf::Geometry::BOX: {
      const urdf::Vector3& dim = static_cast<const urdf::Box&>(geometry).dim;
      requirePositive("box size", {dim.x, dim.y, dim.z});
      shape.kind = RobotShape::Kind::kBox;
      shape.size = Eigen::Vector3d(dim.x, dim.y, dim.z);
      break;
    }
    case urdf::Geometry::CYLINDER: {
      const auto& cylinder = static_cast<const urdf::Cylinder&>(geometry);
      requirePositive("cylinder radius and length", {cylinder.radius, cylinder.length});
      shape.kind = RobotShape::Kind::kCylinder;
      shape.size = Eigen::Vector3d(cylinder.radius, cylinder.radius, cylinder.length);
      break;
    }
    case urdf::Geometry::SPHERE: {
      const double radius = static_cast<const urdf::Sphere&>(geometry).radius;
      requirePositive("sphere radius", {radius});
      shape.kind = RobotShape::Kind::kSphere;
      shape.size = Eigen::Vector3d::Constant(radius);
      break;
    }
    case urdf::Geometry::MESH: {
      const auto& mesh = static_cast<const urdf::Mesh&>(geometry);
      const urdf::Vector3& s = mesh.scale;
      if (!(std::isfinite(s.x) && std::isfinite(s.y) && std::isfinite(s.z) && s.x != 0.0 && s.y != 0.0 &&
            s.z != 0.0)) {
        throw ToolError(fmt::format("mesh '{}' has a scale with a zero or non-finite factor", mesh.filename));
      }
      shape.kind = RobotShape::Kind::kMesh;
      shape.file = meshPath(mesh.filename, base);
      try {
        shape.mesh = scaledMesh(shape.file, s);
      } catch (const ToolError& e) {
        throw ToolError(fmt::format("mesh '{}': {}", mesh.filename, e.what()));
      }
      break;
    }
  }
  return shape;
}

RobotJointType jointType(const urdf::Joint& joint) {
  switch (joint.type) {
    case urdf::Joint::REVOLUTE:
      return RobotJointType::kRevolute;
    case urdf::Joint::CONTINUOUS:
      return RobotJointType::kContinuous;
    case urdf::Joint::PRISMATIC:
      return RobotJointType::kPrismatic;
    case urdf::Joint::FLOATING:
      return RobotJointType::kFloating;
    case urdf::Joint::PLANAR:
      return RobotJointType::kPlanar;
    case urdf::Joint::FIXED:
      return RobotJointType::kFixed;
    default:
      throw ToolError(fmt::format("joint '{}' has no known type", joint.name));
  }
}

RobotJoint jointOf(const urdf::Joint& joint) {
  RobotJoint out;
  out.name = joint.name;
  out.type = jointType(joint);
  out.parent = joint.parent_link_name;
  out.child = joint.child_link_name;
  out.origin = poseOf(joint.parent_to_joint_origin_transform);
  out.axis = Eigen::Vector3d(joint.axis.x, joint.axis.y, joint.axis.z);
  if (joint.limits) {
    out.lower = joint.limits->lower;
    out.upper = joint.limits->upper;
  }
  if (joint.mimic)
    out.mimic =
        nimbrel_arm_util::RobotMimic{joint.mimic->joint_name, joint.mimic->multiplier, joint.mimic->offset};
  return out;
}

RobotDescription readRobot(const std::string& xml, const fs::path& base, const std::string& what) {
  const urdf::ModelInterfaceSharedPtr model = parseUrdf(xml, what);
  RobotDescription robot;
  robot.name = model->getName();
  robot.root = model->getRoot()->name;

  // Links and joints in the order of a walk from the root (the parser keeps them by name only), so that
  // the joints come base first.
  std::vector<std::string> bare;
  std::vector<urdf::LinkConstSharedPtr> open{model->getRoot()};
  while (!open.empty()) {
    const urdf::LinkConstSharedPtr link = open.back();
    open.pop_back();
    RobotLink out;
    out.name = link->name;
    std::size_t index = 0;
    for (const urdf::CollisionSharedPtr& collision : link->collision_array) {
      ++index;
      if (!collision || !collision->geometry) continue;
      try {
        out.collisions.push_back(shapeOf(*collision, base));
      } catch (const ToolError& e) {
        throw ToolError(
            fmt::format("robot {}: link '{}' collision {}: {}", what, link->name, index, e.what()));
      }
    }
    if (out.collisions.empty()) bare.push_back(link->name);
    robot.links.push_back(std::move(out));
    for (const urdf::JointSharedPtr& joint : link->child_joints) {
      try {
        robot.joints.push_back(jointOf(*joint));
      } catch (const ToolError& e) {
        throw ToolError(fmt::format("robot {}: {}", what, e.what()));
      }
    }
    for (auto child = link->child_links.rbegin(); child != link->child_links.rend(); ++child)
      open.push_back(*child);
  }
  if (!bare.empty()) {
    LOG_INFO("robot {}: no collision geometry on link(s) {}; nothing of them is cut", what,
             fmt::join(bare, ", "));
  }
  try {
    const nimbrel_arm_util::RobotKinematics kinematics(robot);  // the same checks the pose queries rely on
  } catch (const std::invalid_argument& e) {
    throw ToolError(fmt::format("robot {}: {}", what, e.what()));
  }
  return robot;
}

}  // namespace

RobotDescription loadRobot(const std::string& urdfPath) {
  requireFile(urdfPath);
  std::ifstream in(urdfPath, std::ios::binary);
  std::stringstream xml;
  xml << in.rdbuf();
  if (!in) throw ToolError(fmt::format("robot {}: cannot be read", urdfPath));
  return readRobot(xml.str(), fs::path(urdfPath).parent_path(), urdfPath);
}

RobotDescription parseRobot(const std::string& urdfXml, const std::string& baseDirectory) {
  return readRobot(urdfXml, fs::path(baseDirectory), "description");
}

std::map<std::string, double> loadJointPositions(const std::string& path) {
  const YAML::Node root = detail::loadYamlDocument("joint positions", path);
  std::map<std::string, double> positions;
  if (root.IsNull()) return positions;
  const detail::YamlEntry top(root, "joint positions", path, "");
  for (const std::string& joint : top.keys()) {
    positions[joint] = top.number(joint.c_str(), 0.0);
  }
  return positions;
}

std::map<std::string, Eigen::Matrix4d> loadLinkPoses(const std::string& path) {
  const YAML::Node root = detail::loadYamlDocument("link poses", path);
  std::map<std::string, Eigen::Matrix4d> poses;
  if (root.IsNull()) return poses;
  const detail::YamlEntry top(root, "link poses", path, "");
  for (const std::string& link : top.keys()) poses[link] = top.pose(link.c_str());
  return poses;
}

}  // namespace nimbrel_tools
