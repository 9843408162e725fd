// What the subcommands share: messages, common options, and reading inputs with their warnings.
#include "commands/command_output.hpp"

#include <fmt/format.h>
#include <pcl/common/io.h>
#include <pcl/console/print.h>
#include <pcl/conversions.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>
#include <unistd.h>
#include <vtkObject.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "nimbrel/logger.hpp"
#include "nimbrel_arm_util/robot_kinematics.hpp"
#include "support/robot_file.hpp"

namespace nimbrel_tools {

bool quiet = false;

namespace {

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

// A float keeps a coordinate to within this; beyond it a cloud is warned about.
constexpr double kFloatLoss = 0.001;

// A mesh of an object on a robot's table is well under this size; a larger one is most likely in
// millimetres, and would cut away the whole scene.
constexpr double kLargeMeshSpan = 10.0;

// The largest edge of the axis-aligned bounding box of `vertices`.
double meshSpan(const Cloud& vertices) {
  if (vertices.empty()) return 0.0;
  Eigen::Array3d low = vertices[0].getVector3fMap().cast<double>().array(), high = low;
  for (const auto& v : vertices) {
    low = low.min(v.getVector3fMap().cast<double>().array());
    high = high.max(v.getVector3fMap().cast<double>().array());
  }
  return (high - low).maxCoeff();
}

}  // namespace

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

// The one line a command ends with on standard error: points in, points out, and what removed the others,
// so that a default that removes most of a cloud shows without -v.
void summary(const std::string& command, std::size_t in, std::size_t out,
             const std::vector<std::pair<std::size_t, std::string>>& removed, const std::string& note,
             const char* inputs) {
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

Eigen::Vector3d shiftArgument(const std::string& text) {
  return text.empty() ? Eigen::Vector3d::Zero() : parseVector3(text, "--shift");
}

// What the summary says of a shift: the output's coordinates are the input's minus it.
std::string shiftNote(const Eigen::Vector3d& shift) {
  if (shift.isZero(0.0)) return "";
  return fmt::format("coordinates are the input's minus the shift {},{},{}", shift.x(), shift.y(), shift.z());
}

// Reads a cloud with every field, warning when its coordinates do not fit a float to a millimetre.
CloudFile readCloud(const std::string& path, const Eigen::Vector3d& shift) {
  CloudFile file = loadCloudFile(path, shift);
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

CloudCommandInput readCloudCommandInput(const std::string& input, const std::string& output,
                                        const std::string& format, const std::string& shift) {
  requireCloudOutput(output, "the cloud");
  CloudCommandInput in;
  in.format = pcdFormatNamed(format);
  in.shift = shiftArgument(shift);
  in.file = readCloud(input, in.shift);
  return in;
}

CameraInfo readCameraInfo(const std::string& path) {
  CameraInfo info = loadCameraInfo(path);
  for (const auto& w : info.warnings) warn(w);
  return info;
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

// Placed on the decoded vertices, the mesh's cloud is encoded once, after the move.
void placeMesh(MeshFile& file, double scale, const Eigen::Matrix4d& pose, const std::string& path) {
  if (scale == 1.0 && pose.isIdentity(0.0)) return;
  for (auto& v : file.vertices) {
    const Eigen::Vector4d q = pose * Eigen::Vector4d(scale * v.x, scale * v.y, scale * v.z, 1.0);
    if (!(q.head<3>().cwiseAbs().maxCoeff() <= std::numeric_limits<float>::max())) {
      throw ToolError(fmt::format("mesh {} leaves the float range once scaled and placed", path));
    }
    v = pcl::PointXYZ(static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()));
  }
  pcl::toPCLPointCloud2(file.vertices, file.mesh.cloud);
}

void warnOfHugeMesh(const Cloud& vertices, const std::string& path) {
  const double span = meshSpan(vertices);
  if (span > kLargeMeshSpan) {
    warn(
        fmt::format("mesh {} spans {:.1f} m, more than {:.0f} m: check its units (--mesh-scale 0.001 for "
                    "millimetres)",
                    path, span, kLargeMeshSpan));
  }
}

pcl::PolygonMesh readScaledMesh(const std::string& path, double meshScale, const std::string& command) {
  const double scale = meshScalesFor({meshScale}, 1).front();
  MeshFile file = loadMeshFile(path);
  sayDroppedFields(command, file.otherFields, "meshes are read as vertex positions");
  placeMesh(file, scale, Eigen::Matrix4d::Identity(), path);
  warnOfHugeMesh(file.vertices, path);
  return std::move(file.mesh);
}

CLI::Option* addRobotOptions(CLI::App* sub, std::string& urdf, std::string& joints, std::string& linkPoses,
                             double& padding, bool urdfOptional) {
  auto* u =
      sub->add_option("--urdf", urdf,
                      "Robot description (URDF) whose collision shapes are cut; package:// meshes through "
                      "the ament index or NIMBREL_PACKAGE_PATH");
  if (!urdfOptional) u->required();
  auto* j =
      sub->add_option("--joints", joints, "YAML file of joint positions (name: value; radians, metres)");
  auto* l = sub->add_option("--link-poses", linkPoses,
                            "YAML file of link poses in the base frame, instead of --joints");
  j->excludes(l);
  j->needs(u);
  l->needs(u);
  sub->add_option("--padding", padding, "Metres cut around every collision shape")->capture_default_str();
  return u;
}

double paddingArgument(double padding) {
  if (!(padding >= 0.0 && padding <= 1.0))
    throw UsageError(fmt::format("bad --padding {}: metres, 0 to 1", padding));
  return padding;
}

nimbrel_arm_util::RobotBody robotBodyFor(const nimbrel_arm_util::RobotDescription& description,
                                         const nimbrel_arm_util::RobotBodyConfig& config) {
  try {
    return nimbrel_arm_util::RobotBody(description, config);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

std::map<std::string, Eigen::Matrix4d> robotLinkPoses(const nimbrel_arm_util::RobotDescription& description,
                                                      const std::vector<std::string>& links,
                                                      const std::string& joints,
                                                      const std::string& linkPoses) {
  if (joints.empty() == linkPoses.empty()) throw UsageError("the robot needs --joints or --link-poses (one)");
  std::map<std::string, Eigen::Matrix4d> poses;
  if (!joints.empty()) {
    try {
      poses = nimbrel_arm_util::RobotKinematics(description).linkPoses(loadJointPositions(joints));
    } catch (const std::invalid_argument& e) {
      throw ToolError(fmt::format("{}: {}", joints, e.what()));
    }
  } else {
    poses = loadLinkPoses(linkPoses);
  }
  for (const auto& link : links) {
    if (poses.find(link) == poses.end())
      throw ToolError(fmt::format("{}: no pose for link '{}'", joints.empty() ? linkPoses : joints, link));
  }
  return poses;
}

}  // namespace nimbrel_tools
