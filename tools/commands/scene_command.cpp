// `scene`: one depth image through a scene description file, offline, exactly as the ROS 2 scene node
// processes a frame.
#include <fmt/format.h>

#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/frame_pipeline.hpp"
#include "support/files.hpp"
#include "support/robot_file.hpp"
#include "support/scene_file.hpp"

namespace nimbrel_tools {

namespace {

using nimbrel_arm_util::FramePipeline;
using nimbrel_arm_util::FramePipelineConfig;

struct SceneArgs {
  std::string image, cameraInfo, scene, cameraPose, output, meshMethod = "fast", format = "binary";
  std::string urdf, joints, linkPoses;
  double padding = nimbrel_arm_util::RobotBodyConfig().padding;
  bool robotShadow = false;
  std::vector<double> crop{-2.0, 2.0, -2.0, 2.0, -2.0, 2.0};
  std::vector<std::string> frames;
  double leaf = 0.005, stddev = 1.0, unitsPerMetre = 1000.0;
  int meanK = 50;
};

SceneArgs args;

// --frame NAME=MATRIX, the pose of TF frame NAME in the base frame, for a scene whose objects name frames.
std::map<std::string, Eigen::Matrix4d> framePoses(const std::vector<std::string>& given) {
  std::map<std::string, Eigen::Matrix4d> poses;
  for (const auto& g : given) {
    const auto eq = g.find('=');
    if (eq == std::string::npos || eq == 0)
      throw UsageError(fmt::format("bad --frame '{}': need NAME=MATRIX (16 numbers or a file)", g));
    const std::string name = g.substr(0, eq);
    poses[name] = poseArgument(g.substr(eq + 1), "--frame " + name);
  }
  return poses;
}

Eigen::Matrix4d resolve(const std::string& frame, const Eigen::Matrix4d& pose,
                        const std::map<std::string, Eigen::Matrix4d>& frames, const std::string& what) {
  if (frame.empty()) return pose;
  const auto it = frames.find(frame);
  if (it == frames.end()) {
    throw ToolError(
        fmt::format("{} is given in frame '{}': add --frame {}=MATRIX (that frame's pose in the "
                    "base frame)",
                    what, frame, frame));
  }
  return it->second * pose;
}

// The pipeline, a robot body it refuses (a configuration naming a link the robot lacks) a usage error.
FramePipeline pipelineFor(FramePipelineConfig config) {
  try {
    return FramePipeline(std::move(config));
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

int runScene() {
  const SceneArgs& a = args;
  for (int axis = 0; axis < 3; ++axis) {
    if (!(a.crop[static_cast<std::size_t>(2 * axis)] <= a.crop[static_cast<std::size_t>(2 * axis + 1)]))
      throw UsageError(fmt::format("bad --crop: {} minimum is above its maximum", "xyz"[axis]));
  }
  if (!(a.leaf > 0.0)) throw UsageError("bad --leaf: must be positive");
  if (a.meanK < 1) throw UsageError("bad --mean-k: must be at least 1");
  if (!(a.unitsPerMetre > 0.0 && std::isfinite(a.unitsPerMetre)))
    throw UsageError("bad --depth-scale: units per metre must be a positive number (1000 for millimetres)");
  requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = pcdFormatNamed(a.format);
  const auto frames = framePoses(a.frames);
  const Eigen::Matrix4d cameraToBase =
      a.cameraPose.empty() ? Eigen::Matrix4d::Identity() : poseArgument(a.cameraPose, "--camera-pose");

  FramePipelineConfig config;
  std::copy(a.crop.begin(), a.crop.end(), config.cropBox.begin());
  config.leafSize = a.leaf;
  config.meanK = a.meanK;
  config.stddevMulThresh = a.stddev;
  config.meshMethod = meshMethodNamed(a.meshMethod, "--mesh-method");
  if (!a.scene.empty()) config.scene = loadScene(a.scene);
  if (!a.urdf.empty()) {
    config.robot = loadRobot(a.urdf);
    config.robotBody.padding = paddingArgument(a.padding);
    config.robotShadow = a.robotShadow;
  }
  const FramePipeline pipeline = pipelineFor(std::move(config));
  nimbrel_arm_util::FramePoses poses = pipeline.configuredPoses();
  const auto& scene = pipeline.config().scene;
  if (scene.tool) poses.tool = resolve(scene.tool->frame, scene.tool->pose, frames, "the tool");
  for (std::size_t i = 0; i < scene.boxes.size(); ++i)
    poses.boxes[i] = resolve(scene.boxes[i].frame, scene.boxes[i].pose, frames, fmt::format("box {}", i));
  for (std::size_t i = 0; i < scene.meshes.size(); ++i) {
    poses.meshes[i] = resolve(scene.meshes[i].frame, scene.meshes[i].pose, frames,
                              fmt::format("mesh {}", scene.meshes[i].name));
  }
  if (const auto* body = pipeline.robotBody())
    poses.links = robotLinkPoses(*pipeline.config().robot, body->links(), a.joints, a.linkPoses);

  const CameraInfo info = readCameraInfo(a.cameraInfo);
  cv::Mat depth = loadDepthImage(a.image);
  if ((info.width > 0 && info.width != depth.cols) || (info.height > 0 && info.height != depth.rows)) {
    throw ToolError(fmt::format("image {} is {}x{} but the camera info describes {}x{}", a.image, depth.cols,
                                depth.rows, info.width, info.height));
  }
  FramePipeline::CloudPtr cloud(new FramePipeline::Cloud);
  nimbrel_arm_util::FrameReport report;
  if (pipeline.process(depth, info.camera, a.unitsPerMetre, cameraToBase, poses, cloud, &report) != 0)
    throw ToolError(fmt::format("cannot process {}: {}", a.image, report.error));
  saveCloud(*cloud, a.output, format);
  std::cout << fmt::format("{:<30} {:>10} {:>10} {:>10}\n", "step", "points in", "points out", "ms");
  for (const auto& s : report.steps)
    std::cout << fmt::format("{:<30} {:>10} {:>10} {:>10.1f}\n", s.name, s.pointsIn, s.pointsOut,
                             s.milliseconds);
  std::cout << fmt::format("scene: {} points, wrote {}\n", cloud->size(), a.output);
  return 0;
}

}  // namespace

void addSceneCommand(CLI::App& app, RunCommand& run) {
  auto* s = app.add_subcommand(
      "scene",
      "Depth image through a scene file offline, as the ROS 2 scene node does: depth to cloud, clean, move "
      "into the base frame, cut the robot's own body (--urdf), the tool, boxes and meshes");
  s->add_option("image", args.image, "16-bit single-channel PNG depth image")->required();
  s->add_option("-c,--camera-info", args.cameraInfo,
                "ROS camera_info YAML (plumb_bob, rational_polynomial or equidistant)")
      ->required();
  s->add_option("-s,--scene", args.scene, "Scene file (tool, boxes, meshes); without it nothing is cut");
  s->add_option("-m,--camera-pose", args.cameraPose,
                "Camera frame to base frame: 4x4 matrix (16 numbers row by row) or x y z qx qy qz qw as TF "
                "gives it (the node's cloud bit for bit), inline or in a file; default identity");
  s->add_option(
      "--frame", args.frames,
      "NAME=MATRIX: pose of TF frame NAME in the base frame, for objects the scene gives in frames");
  s->add_option("-o,--output", args.output, "Output cloud in the base frame (.pcd or .ply)")->required();
  auto* urdf = addRobotOptions(s, args.urdf, args.joints, args.linkPoses, args.padding, true);
  s->add_flag(
       "--robot-shadow", args.robotShadow,
       "Also cut points seen through the robot's body from the camera (mixed pixels along its outline)")
      ->needs(urdf);
  s->add_option("--crop", args.crop,
                "Workspace box xmin,xmax,ymin,ymax,zmin,zmax in the camera frame (metres)")
      ->delimiter(',')
      ->expected(6)
      ->capture_default_str();
  s->add_option("--leaf", args.leaf, "Voxel edge length in metres")->capture_default_str();
  s->add_option("--mean-k", args.meanK, "Neighbours for the outlier statistics")->capture_default_str();
  s->add_option("--stddev", args.stddev, "Standard-deviation multiplier for outliers")->capture_default_str();
  s->add_option("--mesh-method", args.meshMethod, "For meshes that name no method: plain or fast")
      ->check(CLI::IsMember({"plain", "fast"}))
      ->capture_default_str();
  s->add_option("--depth-scale", args.unitsPerMetre, "Depth units per metre (1000 for millimetres)")
      ->capture_default_str();
  s->add_option("--format", args.format, "PCD data: binary, ascii or binary_compressed")
      ->check(CLI::IsMember({"ascii", "binary", "binary_compressed"}))
      ->capture_default_str();
  s->callback([&run] { run = [] { return runScene(); }; });
}

}  // namespace nimbrel_tools
