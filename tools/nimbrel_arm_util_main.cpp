// nimbrel_arm_util: runs the library's point-cloud operations on files.
//
//   nimbrel_arm_util depth image.png --camera-info camera.yaml -o cloud.pcd
//   nimbrel_arm_util clean cloud.pcd -o clean.pcd --box -1,1,-1,1,0.3,1.6 --leaf 0.01
//   nimbrel_arm_util transform clean.pcd -o robot.pcd --matrix camera_to_robot.txt
//   nimbrel_arm_util cut-boxes robot.pcd -o cut.pcd --box-pose box.txt --box-size 0.2,0.1,0.1
//   nimbrel_arm_util cut-meshes cut.pcd -o scene.pcd --mesh ball.ply --method fast
//   nimbrel_arm_util render robot.pcd scene.pcd -o views.png
//
// Every subcommand has --help. Errors print one line on standard error and exit with status 1 (2 for a
// usage error); outputs are written under a temporary name and renamed into place, so a failed run leaves
// no partial file.
#include <fmt/format.h>
#include <fnmatch.h>
#include <pcl/common/transforms.h>
#include <pcl/console/print.h>
#include <pcl/conversions.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>
#include <unistd.h>
#include <vtkObject.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/pointclouds_deal.hpp"
#include "scene_command.hpp"
#include "support/fields.hpp"
#include "support/files.hpp"
#include "support/render.hpp"

namespace {

namespace fs = std::filesystem;
using nimbrel_arm_util::PointCloudsDeal;
using nimbrel_tools::Cloud;
using nimbrel_tools::CloudPtr;
using nimbrel_tools::PcdFormat;
using nimbrel_tools::ToolError;
using nimbrel_tools::UsageError;

// Writes the library's log lines to standard output without the terminal escape sequences (colours) that
// some of its messages carry, for output that goes to a file or a pipe.
class PlainStdoutSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::string text;
    text.reserve(formatted.size());
    for (std::size_t i = 0; i < formatted.size(); ++i) {
      if (formatted[i] != '\x1b') {
        text += formatted[i];
        continue;
      }
      // ESC [ parameters intermediates final (a control sequence), or ESC and one character.
      if (i + 1 < formatted.size() && formatted[i + 1] == '[') {
        i += 2;
        while (i < formatted.size() && !(formatted[i] >= 0x40 && formatted[i] <= 0x7e)) ++i;
      } else {
        ++i;
      }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void flush_() override { std::fflush(stdout); }
};

// The library logs through a process-wide logger configured from the environment at its first message.
// The tool keeps standard output for its own results unless the user asks for the library's messages.
void quietLibraryLog(bool verbose) {
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", verbose ? "info" : "error", 0);
  // The readers' own diagnostics would repeat, less clearly, what the tool reports in one line.
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  vtkObject::GlobalWarningDisplayOff();
  if (!verbose || ::isatty(STDOUT_FILENO) != 0) return;
  // Not a terminal: the colour codes in the library's messages would land in the file as they are.
  const auto logger = nimbrel::Logger::Instance().logger;
  if (!logger) return;
  for (spdlog::sink_ptr& sink : logger->sinks()) {
    if (std::dynamic_pointer_cast<spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>(
            sink)) {
      sink = std::make_shared<PlainStdoutSink>();
      sink->set_pattern("%v");
      sink->set_level(spdlog::level::trace);
    }
  }
}

void report(const std::string& what, const std::string& path, std::size_t in, std::size_t out) {
  std::cout << fmt::format("{}: {} -> {} points, wrote {}\n", what, in, out, path);
}

void warn(const std::string& text) { std::cerr << "nimbrel_arm_util: warning: " << text << '\n'; }

// -q: no summary line.
bool quiet = false;

// The one line a command ends with on standard error: points in, points out, and what removed the others,
// so that a default that removes most of a cloud shows without -v.
void summary(const std::string& command, std::size_t in, std::size_t out,
             const std::vector<std::pair<std::size_t, std::string>>& removed, const std::string& note = "",
             const char* inputs = "points") {
  if (quiet) return;
  std::string text = fmt::format("{}: {} {} in, {} points out", command, in, inputs, out);
  std::string reasons;
  for (const auto& [count, why] : removed) {
    if (count > 0) reasons += fmt::format("{}{} {}", reasons.empty() ? "" : ", ", count, why);
  }
  if (!reasons.empty()) text += " (removed: " + reasons + ")";
  if (!note.empty()) text += "; " + note;
  std::cerr << text << '\n';
}

// Points of `in` without finite coordinates that `out` no longer holds. The cuts drop such points (they lie
// in no box and near no mesh), so a summary names them apart from the points a cut took.
std::size_t nonFiniteRemoved(const Cloud& in, const Cloud& out) {
  const auto nonFinite = [](const Cloud& c) {
    return static_cast<std::size_t>(std::count_if(c.begin(), c.end(), [](const auto& p) {
      return !(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    }));
  };
  const std::size_t before = nonFinite(in), after = nonFinite(out);
  return before - std::min(before, after);
}

// A float keeps a coordinate to within this; beyond it a cloud is warned about.
constexpr double kFloatLoss = 0.001;

Eigen::Vector3d shiftArgument(const std::string& text) {
  return text.empty() ? Eigen::Vector3d::Zero() : nimbrel_tools::parseVector3(text, "--shift");
}

// What the summary says of a shift: the output's coordinates are the input's minus it.
std::string shiftNote(const Eigen::Vector3d& shift) {
  if (shift.isZero(0.0)) return "";
  return fmt::format("coordinates are the input's minus the shift {},{},{}", shift.x(), shift.y(), shift.z());
}

// Reads a cloud with every field, warning when its coordinates do not fit a float to a millimetre.
nimbrel_tools::CloudFile readCloud(const std::string& path, const Eigen::Vector3d& shift) {
  nimbrel_tools::CloudFile file = nimbrel_tools::loadCloudFile(path, shift);
  if (file.floatLoss > kFloatLoss) {
    warn(
        fmt::format("{}: coordinates reach {:.0f} m, where a float loses up to {:.1f} mm: give --shift x,y,z "
                    "(a point near "
                    "the cloud) to keep them exact",
                    path, file.largest, file.floatLoss * 1000.0));
  }
  return file;
}

void addShiftOption(CLI::App* sub, std::string& shift) {
  sub->add_option("--shift", shift,
                  "x,y,z in metres subtracted from every input point exactly (in double, before the float "
                  "conversion), for map-scale clouds (UTM); outputs stay shifted, as the summary says, and "
                  "every other argument is in the shifted frame");
}

// Fields the command cannot carry, said once.
void sayDroppedFields(const std::string& command, const std::vector<std::string>& fields, const char* why) {
  if (fields.empty() || quiet) return;
  std::string names;
  for (const auto& f : fields) names += (names.empty() ? "" : ", ") + f;
  std::cerr << fmt::format("{}: drops the fields {} ({})\n", command, names, why);
}

// The output cloud is the input's, changed: it keeps the sensor pose that the input file gave (VIEWPOINT).
void keepViewpoint(const Cloud& in, Cloud& out) {
  out.sensor_origin_ = in.sensor_origin_;
  out.sensor_orientation_ = in.sensor_orientation_;
}

void addFormatOption(CLI::App* sub, std::string& format) {
  sub->add_option("--format", format,
                  "PCD data: binary keeps every float exactly, ascii writes 8 significant digits, "
                  "binary_compressed packs the data (a .ply output is binary unless ascii)")
      ->check(CLI::IsMember({"ascii", "binary", "binary_compressed"}))
      ->capture_default_str();
}

// --- depth -------------------------------------------------------------------------------------------

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

DepthResult depthToCloud(const std::string& image, const nimbrel_tools::CameraInfo& info, const DepthArgs& a,
                         const std::string& output) {
  cv::Mat depth = nimbrel_tools::loadDepthImage(image);
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
  nimbrel_tools::saveCloud(*cloud, output, nimbrel_tools::pcdFormatNamed(a.format));
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

nimbrel_tools::CameraInfo readCameraInfo(const std::string& path) {
  nimbrel_tools::CameraInfo info = nimbrel_tools::loadCameraInfo(path);
  for (const auto& w : info.warnings) warn(w);
  return info;
}

int runDepth(const DepthArgs& a) {
  checkDepthArgs(a);
  nimbrel_tools::requireCloudOutput(a.output, "the cloud");
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

// --- clean, transform, cut ------------------------------------------------------------------------------

struct CleanArgs {
  std::string input, output, box = "-2,2,-2,2,-2,2", format = "binary", shift;
  double leaf = 0.005;
  int meanK = 50;
  double stddev = 1.0;
};

int runClean(const CleanArgs& a) {
  std::vector<double> b;
  {
    std::string text = a.box;
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    double v;
    while (in >> v) b.push_back(v);
    if (!in.eof() || b.size() != 6)
      throw UsageError("bad --box: need 6 numbers xmin,xmax,ymin,ymax,zmin,zmax");
  }
  for (int axis = 0; axis < 3; ++axis) {
    const double low = b[static_cast<std::size_t>(2 * axis)],
                 high = b[static_cast<std::size_t>(2 * axis + 1)];
    if (!(low <= high)) {
      throw UsageError(
          fmt::format("bad --box: {} minimum {} is above its maximum {} (the order is "
                      "xmin,xmax,ymin,ymax,zmin,zmax)",
                      "xyz"[axis], low, high));
    }
  }
  if (!(a.leaf > 0.0 && std::isfinite(a.leaf)))
    throw UsageError("bad --leaf: must be a positive length in metres");
  if (a.meanK < 1) throw UsageError("bad --mean-k: must be at least 1");
  if (!std::isfinite(a.stddev)) throw UsageError("bad --stddev: must be a finite number");
  nimbrel_tools::requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = nimbrel_tools::pcdFormatNamed(a.format);
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  const nimbrel_tools::CloudFile file = readCloud(a.input, shift);
  const CloudPtr& in = file.xyz;
  PointCloudsDeal deal;
  deal.setFilterRange(b[0], b[1], b[2], b[3], b[4], b[5]);
  deal.setLeafSize(a.leaf);
  deal.setStatisticalOutlierRemovalPara(a.meanK, a.stddev);
  CloudPtr out(new Cloud);
  deal.processPointClouds(in, out);
  if (out->empty())
    std::cerr << "nimbrel_arm_util: warning: no point of " << a.input << " is left inside the box\n";
  keepViewpoint(*in, *out);
  nimbrel_tools::saveCloud(*out, a.output, format);
  report("clean", a.output, in->size(), out->size());
  sayDroppedFields("clean", nimbrel_tools::otherFields(file.points), "the voxel grid makes new points");
  if (!quiet) {
    // The steps' own counts, from the same public steps the cleaning runs: the crop (finite points inside
    // the box), then the grid on what it kept.
    const std::size_t finite =
        static_cast<std::size_t>(std::count_if(in->begin(), in->end(), [](const auto& p) {
          return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        }));
    CloudPtr inside(new Cloud), grid(new Cloud);
    deal.rangeFilterPointClouds(in, inside, b[0], b[1], b[2], b[3], b[4], b[5]);
    std::size_t merged = 0;
    if (!inside->empty()) {
      deal.voxelGridfilterPointClouds(inside, grid);
      merged = inside->size() - std::min(inside->size(), grid->size());
    }
    const std::size_t kept = inside->size() - merged;
    summary("clean", in->size(), out->size(),
            {{finite - inside->size(), "outside the box"},
             {in->size() - finite, "non-finite"},
             {merged, "merged by the grid"},
             {kept - std::min(kept, out->size()), "outliers"}},
            shiftNote(shift));
  }
  return 0;
}

struct TransformArgs {
  std::string input, output, matrix, format = "binary", shift;
};

int runTransform(const TransformArgs& a) {
  const Eigen::Matrix4d m = nimbrel_tools::matrixArgument(a.matrix, "--matrix");
  nimbrel_tools::requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = nimbrel_tools::pcdFormatNamed(a.format);
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  const nimbrel_tools::CloudFile file = readCloud(a.input, shift);
  const CloudPtr& in = file.xyz;
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  deal.TransformToRobot(*in, out, m.cast<float>());
  keepViewpoint(*in, *out);
  std::vector<std::size_t> all(in->size());
  std::iota(all.begin(), all.end(), std::size_t{0});
  nimbrel_tools::saveCloudKeepingFields(*out, file, all, a.output, format, m);
  report("transform", a.output, in->size(), out->size());
  summary("transform", in->size(), out->size(), {}, shiftNote(shift));
  return 0;
}

struct CutBoxArgs {
  std::string input, output, boxPose, boxSize, toolPose, toolHalfSize, format = "binary", shift;
  double scale = 1.0, margin = 0.0, toolMargin = 0.0;
};

// Sizes are lengths: a negative one turns the box inside out, so that it holds nothing.
Eigen::Vector3d sizeArgument(const std::string& text, const char* what) {
  const Eigen::Vector3d v = nimbrel_tools::parseVector3(text, what);
  if ((v.array() < 0.0).any()) {
    throw UsageError(
        fmt::format("bad {}: sizes cannot be negative (got {}, {}, {})", what, v.x(), v.y(), v.z()));
  }
  return v;
}

int runCutBoxes(const CutBoxArgs& a) {
  const bool haveBox = !a.boxPose.empty() || !a.boxSize.empty();
  const bool haveTool = !a.toolPose.empty() || !a.toolHalfSize.empty();
  if (!haveBox && !haveTool)
    throw ToolError("nothing to cut: give --box-pose/--box-size, --tool-pose/--tool-half-size or both");
  if (haveBox && (a.boxPose.empty() || a.boxSize.empty()))
    throw ToolError("--box-pose and --box-size go together");
  if (haveTool && (a.toolPose.empty() || a.toolHalfSize.empty()))
    throw ToolError("--tool-pose and --tool-half-size go together");
  if (!(a.scale >= 0.0 && std::isfinite(a.scale)))
    throw UsageError(fmt::format("bad --scale {}: must be a finite number, 0 or more", a.scale));
  Eigen::Matrix4d boxPose = Eigen::Matrix4d::Identity(), toolPose = Eigen::Matrix4d::Identity();
  Eigen::Vector3d boxSize = Eigen::Vector3d::Zero(), toolSize = Eigen::Vector3d::Zero();
  if (haveBox) {
    boxPose = nimbrel_tools::poseArgument(a.boxPose, "--box-pose");
    boxSize = sizeArgument(a.boxSize, "--box-size");
  }
  if (haveTool) {
    toolPose = nimbrel_tools::poseArgument(a.toolPose, "--tool-pose");
    toolSize = sizeArgument(a.toolHalfSize, "--tool-half-size");
  }
  nimbrel_tools::requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = nimbrel_tools::pcdFormatNamed(a.format);
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  const nimbrel_tools::CloudFile file = readCloud(a.input, shift);
  const CloudPtr& in = file.xyz;
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  if (haveBox && haveTool) {
    deal.removeObbAndToolPointClouds(in, out, boxPose, boxSize.data(), a.scale, a.margin, toolPose,
                                     toolSize.data(), a.toolMargin);
  } else if (haveBox) {
    deal.removeObbPointClouds(in, out, boxPose, boxSize.data(), a.scale, a.margin);
  } else {
    // The library grows a tool box with scale 2 on half extents; the same rule applies to a tool alone.
    deal.removeObbPointClouds(in, out, toolPose, toolSize.data(), 2.0, a.toolMargin);
  }
  keepViewpoint(*in, *out);
  nimbrel_tools::saveCloudKeepingFields(*out, file, nimbrel_tools::keptPoints(*in, *out), a.output, format);
  report("cut-boxes", a.output, in->size(), out->size());
  const std::size_t nonFinite = nonFiniteRemoved(*in, *out);
  summary("cut-boxes", in->size(), out->size(),
          {{in->size() - out->size() - nonFinite, "inside the boxes"}, {nonFinite, "non-finite"}},
          shiftNote(shift));
  return 0;
}

struct CutMeshArgs {
  std::string input, output, method = "fast", format = "binary", shift;
  std::vector<std::string> meshes, poses;
  std::vector<double> meshScales;
};

// A mesh of an object on a robot's table is well under this size; a larger one is most likely in
// millimetres, and would cut away the whole scene.
constexpr double kLargeMeshSpan = 10.0;

// Scales a mesh's vertices by `scale`, then moves them by `pose` (computed in double, stored as float).
void placeMesh(pcl::PolygonMesh& mesh, double scale, const Eigen::Matrix4d& pose, const std::string& path) {
  if (scale == 1.0 && pose.isIdentity(0.0)) return;
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  for (auto& v : vertices) {
    const Eigen::Vector4d q = pose * Eigen::Vector4d(scale * v.x, scale * v.y, scale * v.z, 1.0);
    if (!(q.head<3>().cwiseAbs().maxCoeff() <= std::numeric_limits<float>::max())) {
      throw ToolError(fmt::format("mesh {} leaves the float range once scaled and placed", path));
    }
    v = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
  }
  pcl::toPCLPointCloud2(vertices, mesh.cloud);
}

// The largest edge of the mesh's axis-aligned bounding box.
double meshSpan(const pcl::PolygonMesh& mesh) {
  Cloud vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  if (vertices.empty()) return 0.0;
  Eigen::Array3d low = vertices[0].getVector3fMap().cast<double>().array(), high = low;
  for (const auto& v : vertices) {
    low = low.min(v.getVector3fMap().cast<double>().array());
    high = high.max(v.getVector3fMap().cast<double>().array());
  }
  return (high - low).maxCoeff();
}

// A mesh's scale: none given is 1 for every mesh, one is for every mesh, else one per mesh in order.
std::vector<double> meshScalesFor(const std::vector<double>& given, std::size_t meshes) {
  for (double scale : given) {
    if (!(scale > 0.0 && std::isfinite(scale)))
      throw UsageError(fmt::format("bad --mesh-scale {}: must be a positive number", scale));
  }
  if (given.size() > 1 && given.size() != meshes) {
    throw UsageError(
        fmt::format("--mesh-scale given {} times for {} meshes: give one per --mesh, one for all, or none",
                    given.size(), meshes));
  }
  return given.size() == meshes ? given : std::vector<double>(meshes, given.empty() ? 1.0 : given[0]);
}

void warnOfHugeMesh(const pcl::PolygonMesh& mesh, const std::string& path) {
  const double span = meshSpan(mesh);
  if (span > kLargeMeshSpan) {
    warn(
        fmt::format("mesh {} spans {:.1f} m, more than {:.0f} m: check its units (--mesh-scale 0.001 for "
                    "millimetres)",
                    path, span, kLargeMeshSpan));
  }
}

int runCutMeshes(const CutMeshArgs& a) {
  const std::vector<double> scales = meshScalesFor(a.meshScales, a.meshes.size());
  if (!a.poses.empty() && a.poses.size() != a.meshes.size()) {
    throw UsageError(fmt::format("--mesh-pose given {} times for {} meshes: give one per --mesh, or none",
                                 a.poses.size(), a.meshes.size()));
  }
  std::vector<Eigen::Matrix4d> poses;
  for (const auto& pose : a.poses) poses.push_back(nimbrel_tools::poseArgument(pose, "--mesh-pose"));
  nimbrel_tools::requireCloudOutput(a.output, "the cloud");
  const PcdFormat format = nimbrel_tools::pcdFormatNamed(a.format);
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  std::vector<pcl::PolygonMesh> meshes;
  for (std::size_t i = 0; i < a.meshes.size(); ++i) {
    meshes.push_back(nimbrel_tools::loadMesh(a.meshes[i]));
    placeMesh(meshes.back(), scales[i], poses.empty() ? Eigen::Matrix4d::Identity() : poses[i], a.meshes[i]);
    warnOfHugeMesh(meshes.back(), a.meshes[i]);
  }
  const nimbrel_tools::CloudFile file = readCloud(a.input, shift);
  const CloudPtr& in = file.xyz;
  if (in->empty()) CloudPtr in = nimbrel_tools::loadCloud(a.input);
  if (in->empty()) throw ToolError(fmt::format("point cloud {} has no points", a.input));
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  int result = 0;
  try {
    result = a.method == "plain" ? deal.removePointsFromMeshs(in, meshes, out)
                                 : deal.fastRemovePointsFromMeshs(in, meshes, out);
  } catch (const std::overflow_error&) {
    throw ToolError("a mesh triangle is too large to sample (check the mesh units: metres expected)");
  }
  if (result == -3) throw ToolError("a mesh is too small to sample: its surface has three points or fewer");
  if (result != 0) throw ToolError(fmt::format("mesh removal refused its input (code {})", result));
  keepViewpoint(*in, *out);
  nimbrel_tools::saveCloudKeepingFields(*out, file, nimbrel_tools::keptPoints(*in, *out), a.output, format);
  report(fmt::format("cut-meshes ({})", a.method), a.output, in->size(), out->size());
  const std::size_t nonFinite = nonFiniteRemoved(*in, *out);
  summary("cut-meshes", in->size(), out->size(),
          {{in->size() - out->size() - nonFinite,
            a.method == "plain" ? "inside or near a mesh" : "near a mesh's surface"},
           {nonFinite, "non-finite"}},
          shiftNote(shift));
  return 0;
}

// --- meshes ------------------------------------------------------------------------------------------------

struct MeshArgs {
  std::string input, output, format = "binary";
  double meshScale = 1.0;
};

// A mesh read and scaled by --mesh-scale, with the vertex fields the reading dropped said.
pcl::PolygonMesh readScaledMesh(const MeshArgs& a, const std::string& command) {
  const double scale = meshScalesFor({a.meshScale}, 1).front();
  std::vector<std::string> dropped;
  pcl::PolygonMesh mesh = nimbrel_tools::loadMesh(a.input, &dropped);
  sayDroppedFields(command, dropped, "meshes are read as vertex positions");
  placeMesh(mesh, scale, Eigen::Matrix4d::Identity(), a.input);
  warnOfHugeMesh(mesh, a.input);
  return mesh;
}

int runHull(const MeshArgs& a) {
  nimbrel_tools::requireMeshOutput(a.output, "the hull");
  std::vector<pcl::PolygonMesh> meshes{readScaledMesh(a, "hull")};
  PointCloudsDeal deal;
  std::vector<pcl::PolygonMesh> hulls;
  if (deal.convertToConvexHull(meshes, hulls) != 0 || hulls.size() != 1) {
    throw ToolError(fmt::format("no convex hull for {}: a hull needs more than three vertices", a.input));
  }
  nimbrel_tools::saveMesh(hulls.front(), a.output);
  std::cout << fmt::format("hull: {} faces -> {} faces, wrote {}\n", meshes.front().polygons.size(),
                           hulls.front().polygons.size(), a.output);
  summary("hull", std::size_t{meshes.front().cloud.width} * meshes.front().cloud.height,
          std::size_t{hulls.front().cloud.width} * hulls.front().cloud.height, {},
          "vertices of the mesh and of its hull");
  return 0;
}

int runUpsample(const MeshArgs& a) {
  nimbrel_tools::requireCloudOutput(a.output, "the surface cloud");
  const PcdFormat format = nimbrel_tools::pcdFormatNamed(a.format);
  pcl::PolygonMesh mesh = readScaledMesh(a, "upsample");
  PointCloudsDeal deal;
  CloudPtr out(new Cloud);
  try {
    deal.upSampleMesh(mesh, out);
  } catch (const std::overflow_error&) {
    throw ToolError("a mesh triangle is too large to sample (check the mesh units: metres expected)");
  }
  nimbrel_tools::saveCloud(*out, a.output, format);
  std::cout << fmt::format("upsample: {} faces -> {} points, wrote {}\n", mesh.polygons.size(), out->size(),
                           a.output);
  const std::size_t vertices = std::size_t{mesh.cloud.width} * mesh.cloud.height;
  summary("upsample", vertices, out->size(), {},
          fmt::format("{} vertices and {} surface samples", vertices, out->size() - vertices));
  return 0;
}

// --- render ------------------------------------------------------------------------------------------------

struct RenderArgs {
  std::vector<std::string> inputs;
  std::string output, title, shift;
  int width = 1000;
};

int runRender(const RenderArgs& a) {
  const std::string ext = nimbrel_tools::extensionOf(a.output);
  if (ext != ".png") throw ToolError(fmt::format("cannot write {}: the picture is a .png file", a.output));
  if (a.width < 200 || a.width > 8000) throw UsageError("bad --width: between 200 and 8000 pixels");
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  std::vector<CloudPtr> clouds;
  std::size_t points = 0;
  for (const auto& path : a.inputs) {
    clouds.push_back(readCloud(path, shift).xyz);
    points += clouds.back()->size();
  }
  std::vector<nimbrel_tools::RenderLayer> layers;
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    layers.push_back(
        {clouds[i].get(), nimbrel_tools::layerColour(i), fs::path(a.inputs[i]).filename().string(), 1});
  }
  nimbrel_tools::RenderOptions options;
  options.title = a.title;
  options.width = a.width;
  nimbrel_tools::saveImage(nimbrel_tools::renderViews(layers, options), a.output);
  std::cout << fmt::format("render: {} cloud(s), wrote {}\n", clouds.size(), a.output);
  summary("render", points, points, {}, shiftNote(shift));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the nimbrel_arm_util point-cloud operations on files: clouds are PCD or vertex-only PLY (every\n"
      "field besides x, y, z is kept by the commands that move or select points), meshes PLY/OBJ/STL, depth\n"
      "images 16-bit PNG (millimetres unless --depth-scale), intrinsics a ROS camera_info YAML file\n"
      "(calibration layout or a dumped sensor_msgs/CameraInfo message). Lengths are in metres. Each command\n"
      "ends with one summary line on standard error (-q silences it); a usage error exits 2, others 1."};
  app.name("nimbrel_arm_util");
  app.set_version_flag("--version", NIMBREL_VERSION);
  app.require_subcommand(1);
  // Options a subcommand does not know (-v) are taken by the program: -v works before or after it.
  app.fallthrough();
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's log messages");
  app.add_flag("-q,--quiet", quiet,
               "No summary line (points in, points out and what removed them) on standard error at the end");

  int (*run)() = nullptr;
  static DepthArgs depth;
  static CleanArgs clean;
  static TransformArgs transform;
  static CutBoxArgs cutBoxes;
  static CutMeshArgs cutMeshes;
  static MeshArgs hull, upsample;
  static RenderArgs render;

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

  auto* c = app.add_subcommand("clean",
                               "Crop to a box, drop non-finite points, voxel down-sample, remove outliers");
  c->add_option("input", clean.input,
                "Input cloud (.pcd or .ply); fields besides x, y, z are dropped, said in a line")
      ->required();
  c->add_option("-o,--output", clean.output, "Output cloud (.pcd or .ply)")->required();
  c->add_option("--box", clean.box,
                "Workspace box xmin,xmax,ymin,ymax,zmin,zmax in metres (min <= max, closed); the default "
                "keeps only 2 m around the origin, the summary line says how many points it cropped")
      ->capture_default_str();
  c->add_option("--leaf", clean.leaf,
                "Voxel edge length in metres (too small for the cloud's extent: no down-sampling, "
                "said under -v)")
      ->capture_default_str();
  c->add_option("--mean-k", clean.meanK, "Neighbours for the outlier statistics (a count)")
      ->capture_default_str();
  c->add_option("--stddev", clean.stddev,
                "Outlier threshold: a point goes when its mean neighbour distance exceeds the mean of all by "
                "this many standard deviations (no unit)")
      ->capture_default_str();
  addShiftOption(c, clean.shift);
  addFormatOption(c, clean.format);
  c->callback([&] { run = [] { return runClean(clean); }; });

  auto* t = app.add_subcommand("transform", "Map every point through a 4x4 matrix (e.g. camera to robot)");
  t->add_option("input", transform.input, "Input cloud (.pcd or .ply); other fields kept, normals turned")
      ->required();
  t->add_option("-o,--output", transform.output, "Output cloud (.pcd or .ply)")->required();
  t->add_option("-m,--matrix", transform.matrix,
                "16 numbers row by row (bottom row 0 0 0 1) or x,y,z,qx,qy,qz,qw (metres, unit quaternion), "
                "or a file holding them")
      ->required();
  addShiftOption(t, transform.shift);
  addFormatOption(t, transform.format);
  t->callback([&] { run = [] { return runTransform(transform); }; });

  auto* cb = app.add_subcommand(
      "cut-boxes",
      "Remove the points inside an object's oriented box and/or the tool's box. A box's z half extent is "
      "never less than 0.1 m: a flat box still cuts 0.1 m above and below its centre");
  cb->add_option("input", cutBoxes.input, "Input cloud (.pcd or .ply); other fields of kept points kept")
      ->required();
  cb->add_option("-o,--output", cutBoxes.output, "Output cloud (.pcd or .ply)")->required();
  cb->add_option("--box-pose", cutBoxes.boxPose,
                 "Object box pose, rigid: 4x4 matrix (16 numbers) or x,y,z,qx,qy,qz,qw, or a file; columns "
                 "are its axes, last its centre");
  cb->add_option("--box-size", cutBoxes.boxSize,
                 "Object box FULL edge lengths sx,sy,sz in metres (not negative)");
  cb->add_option("--scale", cutBoxes.scale, "Scale applied to the object box's edges (not negative, no unit)")
      ->capture_default_str();
  cb->add_option("--margin", cutBoxes.margin, "Metres added to each face of the object box")
      ->capture_default_str();
  cb->add_option("--tool-pose", cutBoxes.toolPose,
                 "Tool box pose, rigid: 4x4 matrix or x,y,z,qx,qy,qz,qw, or a file");
  cb->add_option("--tool-half-size", cutBoxes.toolHalfSize,
                 "Tool box HALF extents hx,hy,hz in metres (not negative; doubled into edges)");
  cb->add_option("--tool-margin", cutBoxes.toolMargin, "Metres added to each face of the tool box")
      ->capture_default_str();
  addShiftOption(cb, cutBoxes.shift);
  addFormatOption(cb, cutBoxes.format);
  cb->callback([&] { run = [] { return runCutBoxes(cutBoxes); }; });

  auto* cm =
      app.add_subcommand("cut-meshes", "Remove the points that belong to object meshes (PLY, OBJ or STL)");
  cm->add_option("input", cutMeshes.input, "Input cloud (.pcd or .ply); other fields of kept points kept")
      ->required();
  cm->add_option("-o,--output", cutMeshes.output, "Output cloud (.pcd or .ply)")->required();
  cm->add_option("-M,--mesh", cutMeshes.meshes, "Object mesh file in metres; repeat -M for each mesh")
      ->required()
      ->allow_extra_args(false);
  cm->add_option("--mesh-scale", cutMeshes.meshScales,
                 "Scale of the meshes (0.001 for millimetre CAD files): once for all, or once per -M in "
                 "order; a mesh spanning more than 10 m gives a warning")
      ->allow_extra_args(false);
  cm->add_option("--mesh-pose", cutMeshes.poses,
                 "Rigid pose of a mesh given in its own frame: 4x4 matrix or x,y,z,qx,qy,qz,qw (or a file); "
                 "one per -M, in the same order")
      ->allow_extra_args(false);
  cm->add_option("--method", cutMeshes.method,
                 "plain: inside (odd ray crossings, so only closed meshes have an inside; an open one cuts "
                 "only what lies within 0.05 m of it) or within 0.05 m of a mesh; fast: within 0.08 m of its "
                 "sampled surface (no inside: a large object's interior stays)")
      ->check(CLI::IsMember({"plain", "fast"}))
      ->capture_default_str();
  addShiftOption(cm, cutMeshes.shift);
  addFormatOption(cm, cutMeshes.format);
  cm->callback([&] { run = [] { return runCutMeshes(cutMeshes); }; });

  auto* h = app.add_subcommand("hull", "Convex hull of a mesh");
  h->add_option("mesh", hull.input, "Input mesh (PLY, OBJ or STL)")->required();
  h->add_option("-o,--output", hull.output, "Output mesh (.ply, .obj or .stl)")->required();
  h->add_option("--mesh-scale", hull.meshScale, "Scale of the mesh (0.001 for millimetres)")
      ->capture_default_str();
  h->callback([&] { run = [] { return runHull(hull); }; });

  auto* u = app.add_subcommand(
      "upsample",
      "Mesh -> dense surface cloud: its vertices, then on each face its area x 40,000 random points, "
      "rounded (area in square metres once scaled: a face under 0.25 cm^2 gets none; a millimetre mesh "
      "without --mesh-scale 0.001 asks for a million times more, refused beyond 50 million)");
  u->add_option("mesh", upsample.input, "Input mesh (PLY, OBJ or STL)")->required();
  u->add_option("-o,--output", upsample.output, "Output cloud (.pcd or .ply)")->required();
  u->add_option("--mesh-scale", upsample.meshScale, "Scale of the mesh (0.001 for millimetres)")
      ->capture_default_str();
  addFormatOption(u, upsample.format);
  u->callback([&] { run = [] { return runUpsample(upsample); }; });

  auto* r =
      app.add_subcommand("render", "Draw clouds into a PNG: top view and side view, one colour per cloud");
  r->add_option("clouds", render.inputs, "Clouds (.pcd or .ply), drawn in order (later on top)")->required();
  r->add_option("-o,--output", render.output, "Output PNG file")->required();
  r->add_option("--title", render.title, "Title written above the views");
  r->add_option("--width", render.width, "Picture width in pixels (200 to 8000)")->capture_default_str();
  addShiftOption(r, render.shift);
  r->callback([&] { run = [] { return runRender(render); }; });

  nimbrel_tools::addSceneCommand(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << " (see --help)\n";
    return 2;
  }
  quietLibraryLog(verbose);
  try {
    return run();
  } catch (const UsageError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << " (see --help)\n";
    return 2;
  } catch (const ToolError& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  } catch (const cv::Exception& e) {
    std::cerr << "nimbrel_arm_util: error: OpenCV: " << e.err << '\n';
  } catch (const std::exception& e) {
    std::cerr << "nimbrel_arm_util: error: " << e.what() << '\n';
  }
  return 1;
}
