// What the subcommands share: their messages (result line, summary, warnings), the options several of them
// take, and reading their inputs with the warnings a user should hear.
#pragma once

#include <CLI/CLI.hpp>
#include <Eigen/Core>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel_arm_util/robot_body.hpp"
#include "nimbrel_arm_util/robot_description.hpp"
#include "support/files.hpp"

namespace nimbrel_tools {

/// -q: no summary line. Set by the program's flag.
extern bool quiet;

/// Keeps standard output for the tool's results: the library logs errors only (info with `verbose`), PCL's
/// and VTK's own diagnostics are off, and colour codes are stripped when standard output is not a terminal.
void quietLibraryLog(bool verbose);

/// "<what>: <in> -> <out> points, wrote <path>" on standard output.
void report(const std::string& what, const std::string& path, std::size_t in, std::size_t out);
/// "nimbrel_arm_util: warning: <text>" on standard error.
void warn(const std::string& text);
/// The one line a command ends with on standard error (not under -q): inputs in, points out, and each
/// non-zero count of removed points with its reason, then `note`.
void summary(const std::string& command, std::size_t in, std::size_t out,
             const std::vector<std::pair<std::size_t, std::string>>& removed, const std::string& note = "",
             const char* inputs = "points");
/// Fields a command cannot carry, said once on standard error (not under -q).
void sayDroppedFields(const std::string& command, const std::vector<std::string>& fields, const char* why);

/// Points of `in` without finite coordinates that `out` no longer holds.
std::size_t nonFiniteRemoved(const Cloud& in, const Cloud& out);
/// Gives `out` the sensor pose of `in` (the input file's VIEWPOINT).
void keepViewpoint(const Cloud& in, Cloud& out);

/// --shift x,y,z (metres); zero when not given. Throws UsageError for anything but three finite numbers.
Eigen::Vector3d shiftArgument(const std::string& text);
/// What the summary says of a shift ("" for none).
std::string shiftNote(const Eigen::Vector3d& shift);
void addShiftOption(CLI::App* sub, std::string& shift);
void addFormatOption(CLI::App* sub, std::string& format);

/// loadCloudFile, with a warning when the coordinates do not fit a float to a millimetre.
CloudFile readCloud(const std::string& path, const Eigen::Vector3d& shift);
/// What a command that turns one cloud file into another starts with, in this order: the output checked to be
/// a .pcd or .ply file, the format named, the shift parsed, and the input read (readCloud).
struct CloudCommandInput {
  PcdFormat format = PcdFormat::binary;
  Eigen::Vector3d shift = Eigen::Vector3d::Zero();
  CloudFile file;
};
CloudCommandInput readCloudCommandInput(const std::string& input, const std::string& output,
                                        const std::string& format, const std::string& shift);
/// loadCameraInfo, with the reader's warnings said.
CameraInfo readCameraInfo(const std::string& path);

/// Mesh scales: none given is 1 for every mesh, one is for every mesh, else one per mesh in order. Throws
/// UsageError for a scale that is not a positive number or a count that fits neither.
std::vector<double> meshScalesFor(const std::vector<double>& given, std::size_t meshes);
/// Scales the vertices by `scale`, then moves them by `pose` (in double, stored as float), and stores them
/// back into the mesh. Throws ToolError when a vertex leaves the float range.
void placeMesh(MeshFile& file, double scale, const Eigen::Matrix4d& pose, const std::string& path);
/// Warns of a mesh larger than any object on a robot's table: most likely in millimetres.
void warnOfHugeMesh(const Cloud& vertices, const std::string& path);
/// The mesh at `path`, scaled by `scale` (checked as --mesh-scale), with its dropped vertex fields said
/// for `command` and a warning when it is huge.
pcl::PolygonMesh readScaledMesh(const std::string& path, double scale, const std::string& command);

/// --urdf (required unless `urdfOptional`), --joints, --link-poses and --padding: the robot whose own body
/// a command cuts. Returns the --urdf option.
CLI::Option* addRobotOptions(CLI::App* sub, std::string& urdf, std::string& joints, std::string& linkPoses,
                             double& padding, bool urdfOptional = false);
/// --padding checked: metres, from 0 to 1. Throws UsageError.
double paddingArgument(double padding);
/// The robot's body, a refused configuration (a link the robot does not have) a UsageError.
nimbrel_arm_util::RobotBody robotBodyFor(const nimbrel_arm_util::RobotDescription& description,
                                         const nimbrel_arm_util::RobotBodyConfig& config);
/// The base-frame pose of each of `links` (RobotBody::links()): from a joint file through the robot's
/// kinematics (the base frame is the root link's), or read from a link pose file; exactly one of the two
/// paths is given. Throws UsageError for none or both, ToolError for a file that leaves a link unplaced.
std::map<std::string, Eigen::Matrix4d> robotLinkPoses(const nimbrel_arm_util::RobotDescription& description,
                                                      const std::vector<std::string>& links,
                                                      const std::string& joints,
                                                      const std::string& linkPoses);

}  // namespace nimbrel_tools
