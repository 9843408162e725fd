// `depth` and `depth-batch`: 16-bit depth images and a camera_info file to clouds in the camera frame.
#include <fmt/format.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"

namespace nimbrel_tools {

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::PointCloudsDeal;

struct DepthArgs {
  std::string image, cameraInfo, output, outDir, format = "binary", pattern = "*.png";
  double unitsPerMetre = 1000.0;
  double minDepth = 0.0;
  double maxDepth = std::numeric_limits<double>::infinity();
};

// Beyond this median distance a depth camera's frame is most likely read at the wrong scale.
constexpr double kFarMedianDepth = 10.0;

void checkDepthArgs(const DepthArgs& a) {
  if (!(a.unitsPerMetre > 0.0 && std::isfinite(a.unitsPerMetre)))
    throw UsageError("bad --depth-scale: units per metre must be a positive number (1000 for millimetres)");
  if (!(a.minDepth >= 0.0 && a.maxDepth >= a.minDepth && std::isfinite(a.minDepth))) {
    throw UsageError(fmt::format("bad depth range {} to {} m: need 0 <= --min-depth <= --max-depth",
                                 a.minDepth, a.maxDepth));
  }
}

struct DepthResult {
  std::size_t pixels = 0;
  std::size_t points = 0;
  double medianDepth = 0.0;  // metres; 0 without points
};

DepthResult depthToCloud(const std::string& image, const CameraInfo& info, const DepthArgs& a,
                         const std::string& output) {
  cv::Mat depth = loadDepthImage(image);
  if ((info.width > 0 && info.width != depth.cols) || (info.height > 0 && info.height != depth.rows)) {
    throw ToolError(fmt::format("image {} is {}x{} but the camera info describes {}x{}", image, depth.cols,
                                depth.rows, info.width, info.height));
  }
  PointCloudsDeal deal;
  CloudPtr cloud(new Cloud);
  if (deal.getPointCloudsFromDepthMap(cloud, depth, info.camera, a.unitsPerMetre, a.minDepth, a.maxDepth) !=
      0) {
    throw ToolError(fmt::format("cannot convert {}: not a 16-bit depth image", image));
  }
  saveCloud(*cloud, output, pcdFormatNamed(a.format));
  DepthResult result;
  result.pixels = depth.total();
  result.points = cloud->size();
  if (!cloud->empty()) {
    std::vector<float> z;
    z.reserve(cloud->size());
    for (const auto& p : *cloud) z.push_back(p.z);
    const auto middle = z.begin() + static_cast<std::ptrdiff_t>(z.size() / 2);
    std::nth_element(z.begin(), middle, z.end());
    result.medianDepth = *middle;
  }
  return result;
}

std::string farWarning(const std::string& image, const DepthArgs& a, double median) {
  return fmt::format("{}: median depth {:.1f} m at {} units per metre, beyond {:.0f} m: check --depth-scale",
                     image, median, a.unitsPerMetre, kFarMedianDepth);
}

int runDepth(const DepthArgs& a) {
  checkDepthArgs(a);
  requireCloudOutput(a.output, "the cloud");
  const auto info = readCameraInfo(a.cameraInfo);
  const DepthResult r = depthToCloud(a.image, info, a, a.output);
  if (r.medianDepth > kFarMedianDepth) warn(farWarning(a.image, a, r.medianDepth));
  std::cout << fmt::format("depth: {} points, wrote {}\n", r.points, a.output);
  summary("depth", r.pixels, r.points, {{r.pixels - r.points, "pixels without a reading in the depth range"}},
          "", "pixels");
  return 0;
}

int runDepthBatch(const DepthArgs& a) {
  checkDepthArgs(a);
  std::error_code ec;
  if (!fs::is_directory(a.image, ec)) throw ToolError(fmt::format("no such directory: {}", a.image));
  if (!fs::is_directory(a.outDir, ec)) throw ToolError(fmt::format("no such directory: {}", a.outDir));
  const auto info = readCameraInfo(a.cameraInfo);
  // The pattern is matched against file names, case-insensitively ("*.png" takes a.PNG as well).
  std::vector<fs::path> images;
  for (const auto& entry : fs::directory_iterator(a.image)) {
    if (entry.is_regular_file() &&
        ::fnmatch(a.pattern.c_str(), entry.path().filename().c_str(), FNM_CASEFOLD) == 0)
      images.push_back(entry.path());
  }
  std::sort(images.begin(), images.end());
  if (images.empty()) throw ToolError(fmt::format("no images matching '{}' in {}", a.pattern, a.image));
  // Two images with one stem (a.png and a.PNG) would write one cloud, the second over the first.
  std::map<std::string, fs::path> outputs;
  for (const auto& image : images) {
    const auto [at, fresh] = outputs.emplace(image.stem().string(), image);
    if (!fresh) {
      throw ToolError(fmt::format("{} and {} would both be written as {}.pcd: rename one",
                                  at->second.string(), image.string(), at->first));
    }
  }

  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  std::size_t failed = 0;
  std::size_t points = 0, pixels = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const fs::path& image = images[i];
    if (terminal) {
      const int width = 30;
      const int filled = static_cast<int>((i * width) / images.size());
      std::cerr << fmt::format("\r[{}{}] {}/{} {:<40.40}", std::string(static_cast<std::size_t>(filled), '#'),
                               std::string(static_cast<std::size_t>(width - filled), '.'), i + 1,
                               images.size(), image.filename().string())
                << std::flush;
    }
    const fs::path output = fs::path(a.outDir) / (image.stem().string() + ".pcd");
    try {
      const DepthResult r = depthToCloud(image.string(), info, a, output.string());
      points += r.points;
      pixels += r.pixels;
      if (r.medianDepth > kFarMedianDepth) {
        if (terminal) std::cerr << '\n';
        warn(farWarning(image.string(), a, r.medianDepth));
      }
    } catch (const ToolError& e) {
      ++failed;
      if (terminal) std::cerr << '\n';
      std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
    }
  }
  if (terminal)
    std::cerr << fmt::format("\r[{}] {}/{} done{:<40}\n", std::string(30, '#'), images.size(), images.size(),
                             "");
  std::cout << fmt::format("depth-batch: {} of {} images converted ({} points), wrote {}\n",
                           images.size() - failed, images.size(), points, a.outDir);
  summary("depth-batch", pixels, points, {{pixels - points, "pixels without a reading in the depth range"}},
          failed == 0 ? "" : fmt::format("{} images failed", failed), "pixels");
  return failed == 0 ? 0 : 1;
}

DepthArgs depth;

}  // namespace

void addDepthCommands(CLI::App& app, RunCommand& run) {
  const auto addDepthScale = [](CLI::App* sub) {
    sub->add_option("--depth-scale", depth.unitsPerMetre,
                    "Depth units per metre: 1000 for millimetres, 5000 for TUM frames; a median depth "
                    "beyond 10 m gives a warning")
        ->capture_default_str();
    sub->add_option("--min-depth", depth.minDepth, "Nearest depth kept, in metres (nearer pixels are holes)");
    sub->add_option("--max-depth", depth.maxDepth,
                    "Farthest depth kept, in metres (farther pixels are holes; 65535 in a 16-bit image, "
                    "a driver's no-reading marker, is always a hole)");
  };
  const char* cameraInfoHelp =
      "ROS camera_info YAML: calibration layout (camera_matrix, distortion_coefficients) or a dumped "
      "sensor_msgs/CameraInfo (k, d, width, height); distortion_model plumb_bob (5 coefficients), "
      "rational_polynomial (8, 12 or 14) or equidistant (4)";

  auto* d = app.add_subcommand("depth",
                               "Depth image (16-bit PNG) + camera_info YAML -> cloud (metres, camera frame)");
  d->add_option("image", depth.image, "16-bit single-channel PNG depth image")->required();
  d->add_option("-c,--camera-info", depth.cameraInfo, cameraInfoHelp)->required();
  d->add_option("-o,--output", depth.output, "Output cloud (.pcd or .ply)")->required();
  addDepthScale(d);
  addFormatOption(d, depth.format);
  d->callback([&] { run = [] { return runDepth(depth); }; });

  auto* db = app.add_subcommand("depth-batch",
                                "Every depth image of a folder (--pattern) -> one PCD each, with progress");
  db->add_option("folder", depth.image, "Folder of 16-bit PNG depth images")->required();
  db->add_option("-c,--camera-info", depth.cameraInfo, cameraInfoHelp)->required();
  db->add_option("-O,--out-dir", depth.outDir, "Existing folder for the PCD files (same names, .pcd)")
      ->required();
  db->add_option("--pattern", depth.pattern,
                 "File names to convert, a shell pattern matched without regard to case ('*.depth.png')")
      ->capture_default_str();
  addDepthScale(db);
  addFormatOption(db, depth.format);
  db->callback([&] { run = [] { return runDepthBatch(depth); }; });
}

}  // namespace nimbrel_tools
