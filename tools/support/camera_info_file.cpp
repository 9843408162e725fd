// Camera intrinsics: ROS camera_info YAML files in the calibration layout or as a dumped message.
#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "support/files.hpp"

namespace nimbrel_tools {

namespace {

std::vector<double> yamlMatrix(const YAML::Node& node, const char* key, const std::string& path) {
  const YAML::Node entry = node[key];
  if (!entry) throw ToolError(fmt::format("bad camera info {}: no {}", path, key));
  const YAML::Node data = entry.IsMap() ? entry["data"] : entry;
  if (!data || !data.IsSequence())
    throw ToolError(fmt::format("bad camera info {}: {} has no data list", path, key));
  std::vector<double> values;
  for (const auto& v : data) {
    double d = 0.0;
    try {
      d = v.as<double>();
    } catch (const YAML::Exception&) {
      throw ToolError(fmt::format("bad camera info {}: {} holds a value that is not a number", path, key));
    }
    if (!std::isfinite(d))
      throw ToolError(fmt::format("bad camera info {}: {} holds a non-finite value", path, key));
    values.push_back(d);
  }
  return values;
}

}  // namespace

CameraInfo loadCameraInfo(const std::string& path) {
  requireFile(path);
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& e) {
    throw ToolError(fmt::format("bad camera info {}: line {}: {}", path, e.mark.line + 1, e.msg));
  }
  if (!root.IsMap()) throw ToolError(fmt::format("bad camera info {}: not a YAML mapping", path));
  // The calibration file names its matrices in full; the sensor_msgs/CameraInfo message dumped as YAML
  // (ros2 topic echo) has k and d as plain lists, and width and height (ROS 1 spelled them K and D).
  const bool message = !root["camera_matrix"] && (root["k"] || root["K"]);
  const char* matrixKey = !message ? "camera_matrix" : root["k"] ? "k" : "K";
  const char* distortionKey = !message ? "distortion_coefficients" : root["d"] ? "d" : "D";
  const char* widthKey = message ? "width" : "image_width";
  const char* heightKey = message ? "height" : "image_height";

  const std::vector<double> k = yamlMatrix(root, matrixKey, path);
  if (k.size() != 9)
    throw ToolError(fmt::format("bad camera info {}: {} needs 9 values, has {}", path, matrixKey, k.size()));
  std::vector<double> d;
  if (root[distortionKey] && !root[distortionKey].IsNull()) d = yamlMatrix(root, distortionKey, path);
  std::string model = "plumb_bob";
  if (root["distortion_model"] && !root["distortion_model"].IsNull()) {
    try {
      model = root["distortion_model"].as<std::string>();
    } catch (const YAML::Exception&) {
      throw ToolError(fmt::format("bad camera info {}: distortion_model is not a name", path));
    }
  }
  using nimbrel_arm_util::CameraModel;
  CameraInfo info;
  auto& camera = info.camera;
  if (!CameraModel::modelFromName(model, camera.distortionModel)) {
    throw ToolError(
        fmt::format("bad camera info {}: distortion model '{}' is not supported (plumb_bob, "
                    "rational_polynomial or equidistant)",
                    path, model));
  }
  // Calibration files may stop before k3 (OpenCV reads four plumb_bob coefficients as k1 k2 p1 p2): the
  // missing trailing values are 0.
  if (camera.distortionModel == nimbrel_arm_util::DistortionModel::kPlumbBob && !d.empty() && d.size() < 5)
    d.resize(5, 0.0);
  if (!CameraModel::takesCoefficientCount(camera.distortionModel, d.size())) {
    throw ToolError(
        fmt::format("bad camera info {}: distortion model {} takes {} coefficients, the file gives {}", path,
                    model, CameraModel::coefficientCounts(camera.distortionModel), d.size()));
  }
  if (d.empty()) {
    info.warnings.push_back(
        fmt::format("camera info {} gives no distortion coefficients: zero distortion assumed", path));
  }
  camera.cameraMatrix = cv::Matx33d(k.data());
  camera.coefficients = d;
  d.resize(std::max<std::size_t>(d.size(), 5), 0.0);

  auto& in = info.intrinsic;
  in.fx = static_cast<float>(k[0]);
  in.cx = static_cast<float>(k[2]);
  in.fy = static_cast<float>(k[4]);
  in.cy = static_cast<float>(k[5]);
  in.k1 = static_cast<float>(d[0]);
  in.k2 = static_cast<float>(d[1]);
  in.p1 = static_cast<float>(d[2]);
  in.p2 = static_cast<float>(d[3]);
  in.k3 = static_cast<float>(d[4]);
  try {
    if (root[widthKey]) info.width = root[widthKey].as<int>();
    if (root[heightKey]) info.height = root[heightKey].as<int>();
  } catch (const YAML::Exception&) {
    throw ToolError(fmt::format("bad camera info {}: {}/{} are not integers", path, widthKey, heightKey));
  }
  // 0 stands for a size the file leaves open; a negative size would otherwise pass as open as well.
  if (info.width < 0 || info.height < 0) {
    throw ToolError(
        fmt::format("bad camera info {}: image size {} x {} is negative", path, info.width, info.height));
  }
  // The same check as the node's on camera_info messages; a skew it lets through is below half a pixel over
  // the image's height, dropped, and said.
  const std::string why = CameraModel::cameraMatrixProblem(camera.cameraMatrix, info.height);
  if (!why.empty()) throw ToolError(fmt::format("bad camera info {}: {}", path, why));
  if (k[1] != 0.0) {
    info.warnings.push_back(
        fmt::format("camera info {}: skew {} ignored (it moves no pixel by more than half a "
                    "pixel over the image)",
                    path, k[1]));
    camera.cameraMatrix(0, 1) = 0.0;
  }
  return info;
}

void saveCameraInfo(const CameraInfo& info, const std::string& path) {
  const auto& c = info.intrinsic;
  writeAtomically(path, [&](const std::string& tmp) {
    std::ofstream out(tmp);
    out << fmt::format(
        "image_width: {}\nimage_height: {}\ncamera_name: depth_camera\n"
        "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [{}, 0, {}, 0, {}, {}, 0, 0, 1]\n"
        "distortion_model: plumb_bob\n"
        "distortion_coefficients:\n  rows: 1\n  cols: 5\n  data: [{}, {}, {}, {}, {}]\n"
        "rectification_matrix:\n  rows: 3\n  cols: 3\n  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]\n"
        "projection_matrix:\n  rows: 3\n  cols: 4\n  data: [{}, 0, {}, 0, 0, {}, {}, 0, 0, 0, 1, 0]\n",
        info.width, info.height, c.fx, c.cx, c.fy, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3, c.fx, c.cx, c.fy,
        c.cy);
    if (!out.flush()) throw ToolError(fmt::format("cannot write {}", path));
  });
}

}  // namespace nimbrel_tools
