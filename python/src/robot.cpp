// The robot's own body: its description read from a URDF, its kinematics, and cutting it from a cloud.
#include <fmt/format.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "arrays.hpp"
#include "bindings.hpp"
#include "nimbrel_arm_util/robot_body.hpp"
#include "nimbrel_arm_util/robot_kinematics.hpp"
#include "support/files.hpp"
#include "support/robot_file.hpp"

namespace nimbrel_python {
namespace {

using nimbrel_arm_util::RobotBody;
using nimbrel_arm_util::RobotBodyConfig;
using nimbrel_arm_util::RobotDescription;
using nimbrel_arm_util::RobotKinematics;

// The description, its kinematics and its prepared body: built once, then only read (threads may share it).
struct Robot {
  Robot(RobotDescription d, const RobotBodyConfig& config)
      : description(std::move(d)), kinematics(description), body(description, config) {}
  RobotDescription description;
  RobotKinematics kinematics;
  RobotBody body;
};

RobotBodyConfig bodyConfig(py::handle padding, py::handle scale, const std::vector<std::string>& ignored) {
  RobotBodyConfig config;
  config.padding = nonNegativeArg(padding, "padding");
  config.scale = positiveArg(scale, "scale");
  config.ignoredLinks = ignored;
  return config;
}

// Reading and preparing: a file or description the library refuses is a ValueError with its reason.
template <class Read>
std::shared_ptr<Robot> makeRobot(Read&& read, const RobotBodyConfig& config) {
  try {
    py::gil_scoped_release release;
    return std::make_shared<Robot>(read(), config);
  } catch (const nimbrel_tools::ToolError& e) {
    throw py::value_error(e.what());
  } catch (const std::invalid_argument& e) {
    throw py::value_error(e.what());
  }
}

py::dict linkPoses(const Robot& robot, const std::map<std::string, double>& joints) {
  std::map<std::string, Eigen::Matrix4d> poses;
  try {
    poses = robot.kinematics.linkPoses(joints);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(fmt::format("joints: {}", e.what()));
  }
  py::dict out;
  for (const auto& [link, pose] : poses) {
    py::array_t<double> m({4, 4});
    Eigen::Map<Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(m.mutable_data()) = pose;
    out[py::str(link)] = std::move(m);
  }
  return out;
}

// Runs the cut, giving kept points or the mask of removed ones.
std::vector<std::uint8_t> cut(const Robot& robot, const CloudPtr& in, py::handle linkPoses, py::handle sensor,
                              const std::shared_ptr<Cloud>& out) {
  if (!py::isinstance<py::dict>(linkPoses))
    throw py::type_error(fmt::format("link_poses: expected a dict of link name to 4x4 pose, got {}",
                                     Py_TYPE(linkPoses.ptr())->tp_name));
  std::map<std::string, Eigen::Matrix4d> poses;
  for (const auto& [name, pose] : linkPoses.cast<py::dict>()) {
    const std::string link = py::str(name);
    poses[link] = poseArg(pose, fmt::format("link_poses['{}']", link).c_str());
  }
  for (const auto& link : robot.body.links()) {
    if (poses.find(link) == poses.end())
      throw py::value_error(fmt::format("link_poses: no pose for link '{}'", link));
  }
  std::optional<Eigen::Vector3d> origin;
  if (!sensor.is_none()) origin = vec3Arg(sensor, "sensor_origin", false);
  std::vector<std::uint8_t> removed;
  int result = 0;
  work([&] { result = robot.body.filter(*in, poses, *out, origin, &removed); });
  if (result != 0) throw py::value_error("link_poses: a pose is not rigid");
  return removed;
}

}  // namespace

void bindRobot(py::module_& m) {
  py::class_<Robot, std::shared_ptr<Robot>>(
      m, "Robot",
      "Robot(urdf, *, padding=0.01, scale=1.0, ignored_links=())\n\n"
      "A robot arm's own body from its URDF file (str or os.PathLike; package:// meshes through the ament\n"
      "index or NIMBREL_PACKAGE_PATH, relative ones beside the file): its collision shapes grown by `scale`\n"
      "about their origins and by `padding` metres, except those of `ignored_links`. Robot.from_string\n"
      "reads the URDF XML itself, as robot_state_publisher publishes it. A file or description that cannot\n"
      "be used raises ValueError with the reason.")
      .def(py::init([](py::handle urdf, py::handle padding, py::handle scale,
                       const std::vector<std::string>& ignored) {
             const std::string path = py::str(py::module_::import("os").attr("fspath")(urdf));
             return makeRobot([&] { return nimbrel_tools::loadRobot(path); },
                              bodyConfig(padding, scale, ignored));
           }),
           py::arg("urdf"), py::kw_only(), py::arg("padding") = 0.01, py::arg("scale") = 1.0,
           py::arg("ignored_links") = std::vector<std::string>())
      .def_static(
          "from_string",
          [](const std::string& xml, const std::string& base, py::handle padding, py::handle scale,
             const std::vector<std::string>& ignored) {
            return makeRobot([&] { return nimbrel_tools::parseRobot(xml, base); },
                             bodyConfig(padding, scale, ignored));
          },
          py::arg("xml"), py::arg("base_directory") = ".", py::kw_only(), py::arg("padding") = 0.01,
          py::arg("scale") = 1.0, py::arg("ignored_links") = std::vector<std::string>(),
          "from_string(xml, base_directory='.', *, padding=0.01, scale=1.0, ignored_links=()) -> Robot\n\n"
          "The robot of URDF XML text; relative mesh paths are read from `base_directory`.")
      .def_property_readonly(
          "name", [](const Robot& r) { return r.description.name; }, "The robot's name in its description.")
      .def_property_readonly(
          "links", [](const Robot& r) { return r.body.links(); },
          "The links the body cuts (with collision shapes, not ignored): the poses remove() needs.")
      .def_property_readonly(
          "joint_names", [](const Robot& r) { return r.kinematics.jointNames(); },
          "The joints link_poses() needs: movable, not mimicking another.")
      .def("link_poses", &linkPoses, py::arg("joints"),
           "link_poses(joints) -> dict[str, numpy.ndarray]\n\n"
           "Every link's 4x4 float64 pose in the root link's frame from a dict of joint positions (radians,\n"
           "metres). A missing or non-finite position raises ValueError naming the joint.")
      .def(
          "remove",
          [](const Robot& r, py::handle points, py::handle linkPoses, py::handle sensor) {
            const CloudPtr in = cloudArg(points, "points");
            const auto out = std::make_shared<Cloud>();
            cut(r, in, linkPoses, sensor, out);
            return cloudView(out);
          },
          py::arg("points"), py::arg("link_poses"), py::arg("sensor_origin") = py::none(),
          "remove(points, link_poses, sensor_origin=None) -> numpy.ndarray\n\n"
          "The points outside the robot's padded body, in order, link by link placed by `link_poses` (name "
          "to\n"
          "4x4 pose in the points' frame, as link_poses() gives them in the root frame). With "
          "`sensor_origin`\n"
          "(x, y, z) a point is also cut when its line of sight to the sensor crosses the body. Non-finite\n"
          "points are kept.")
      .def(
          "inside",
          [](const Robot& r, py::handle points, py::handle linkPoses, py::handle sensor) {
            const CloudPtr in = cloudArg(points, "points");
            const std::vector<std::uint8_t> removed =
                cut(r, in, linkPoses, sensor, std::make_shared<Cloud>());
            py::array_t<bool> mask(static_cast<py::ssize_t>(removed.size()));
            std::copy(removed.begin(), removed.end(), mask.mutable_data());
            return mask;
          },
          py::arg("points"), py::arg("link_poses"), py::arg("sensor_origin") = py::none(),
          "inside(points, link_poses, sensor_origin=None) -> numpy.ndarray\n\n"
          "Per point, whether remove() cuts it (bool, shape (N,)).");
}

}  // namespace nimbrel_python
