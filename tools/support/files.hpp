// File input and output shared by the command-line tool, the demo, the Python module and the scene node:
// clouds (PCD, PLY), meshes (PLY, OBJ, STL; Collada read only), 16-bit depth images (PNG), camera intrinsics
// (ROS camera_info YAML), and the tool's transform and vector arguments.
//
// Every loader refuses what it cannot read faithfully with a ToolError of one line that names the file and
// the problem; it never returns a partly read file. Every writer replaces its file atomically: a failed
// write leaves neither a partial file nor a temporary behind.
#pragma once

#include <pcl/PCLPointCloud2.h>
#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrel_arm_util/camera_intrinsic.hpp"
#include "nimbrel_arm_util/camera_model.hpp"

namespace nimbrel_tools {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = Cloud::Ptr;

/// A failure meant for the user: its text is one complete line, without the trailing newline.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A command line that asks for something impossible (a box with its minimum above its maximum, a negative
/// size): reported like a parse error, with exit status 2.
class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

/// Data layout of a written PCD file. Binary keeps every float exactly; ASCII keeps 8 significant digits.
enum class PcdFormat { ascii, binary, binaryCompressed };
/// "ascii", "binary" or "binary_compressed"; throws UsageError for anything else.
PcdFormat pcdFormatNamed(const std::string& name);

/// Throws UsageError unless `path` ends in .pcd or .ply, the formats saveCloud writes.
void requireCloudOutput(const std::string& path, const std::string& what);
/// Throws UsageError unless `path` ends in .ply, .obj or .stl, the formats saveMesh writes.
void requireMeshOutput(const std::string& path, const std::string& what);

/// Throws ToolError when `path` is not a readable regular file.
void requireFile(const std::string& path);

/// Runs `write(tmp)` with a temporary path next to `path` (same extension) and renames the result onto
/// `path`. A throwing or failing writer leaves neither the temporary nor a new `path` behind.
void writeAtomically(const std::string& path, const std::function<void(const std::string& tmp)>& write);

/// A cloud as read from a file: its x, y, z as the library takes them (float), and every field of every
/// point as the file holds it (colours, labels, intensities, normals), to be written back beside them.
struct CloudFile {
  CloudPtr xyz;
  pcl::PCLPointCloud2 points;
  /// The largest coordinate magnitude, and the most a coordinate loses as a float (metres): rounding a
  /// double or integer file's values, or half a float step at that magnitude for a float file.
  double largest = 0.0;
  double floatLoss = 0.0;
  /// What was subtracted from x, y, z (metres); `points` holds them as the file does.
  Eigen::Vector3d shift = Eigen::Vector3d::Zero();
};

/// Loads a PCD file (any field layout, ASCII, binary or binary_compressed) or a vertex-only PLY file (ASCII
/// or binary), with x, y, z of any numeric type: `shift` (metres) is subtracted from them exactly and the
/// result rounded to float once. The file's VIEWPOINT becomes the cloud's sensor pose. Refuses a file
/// without x, y or z, a header no PCD file has or that declares more points than the file holds, and an
/// ASCII PCD line with another number of values than the header's fields or a value that is not a number
/// (by its line number).
CloudFile loadCloudFile(const std::string& path, const Eigen::Vector3d& shift = Eigen::Vector3d::Zero());
/// The x, y, z of loadCloudFile, unshifted.
CloudPtr loadCloud(const std::string& path);
/// Half the distance from a float of this magnitude to the next: what float coordinates there can miss by.
double halfFloatStep(double magnitude);
/// Writes `cloud` atomically, as PCD or PLY by the extension of `path` (anything else is refused, as a
/// UsageError). A PCD file is written in `format`; a PLY file is binary unless `format` is ascii. A cloud
/// whose width and height do not describe its points (for example after a mesh removal) is written as width =
/// count, height 1; an empty cloud gives a valid file with no points. The cloud's sensor pose is the PCD
/// file's VIEWPOINT.
void saveCloud(const Cloud& cloud, const std::string& path, PcdFormat format = PcdFormat::binary);
/// The same for a cloud of any fields, with the sensor pose given (ASCII data: 8 significant digits).
void saveCloud(const pcl::PCLPointCloud2& cloud, const Eigen::Vector4f& origin,
               const Eigen::Quaternionf& orientation, const std::string& path, PcdFormat format);

/// A mesh file as read: the mesh, its vertices as float x, y, z (the points of mesh.cloud), and the names of
/// the vertex fields besides x, y, z that the reading dropped (normals, colours).
struct MeshFile {
  pcl::PolygonMesh mesh;
  Cloud vertices;
  std::vector<std::string> otherFields;
};
/// Loads a triangle mesh from PLY, OBJ, STL or Collada (.dae) (chosen by extension). The mesh holds float x,
/// y, z vertices only, and triangles: polygons with more than three corners are split into fans. A Collada
/// file is read in metres (its <unit> applied) with every node's transform applied, its up axis ignored
/// (the geometry as written), lines and points dropped. Refuses (ToolError) a
/// missing, unreadable or empty mesh, a non-finite vertex, a face that indexes a missing vertex, a PLY whose
/// vertex element has a list property, a binary STL whose size is not 84 + 50 x its triangle count, and an
/// OBJ vertex or normal line with fewer than three coordinates. OBJ normals and materials are not read.
MeshFile loadMeshFile(const std::string& path);
/// The mesh of loadMeshFile; `otherFields`, when given, receives its dropped vertex field names.
pcl::PolygonMesh loadMesh(const std::string& path, std::vector<std::string>* otherFields = nullptr);
/// Writes a mesh as PLY, OBJ or STL (chosen by extension), atomically. Coordinates keep every float digit,
/// and a header that names a file names `path`, not the temporary.
void saveMesh(const pcl::PolygonMesh& mesh, const std::string& path);

/// Loads a single-channel 16-bit PNG depth image (millimetres); throws ToolError for any other type.
cv::Mat loadDepthImage(const std::string& path);
/// Writes an image atomically with OpenCV (format from the extension).
void saveImage(const cv::Mat& image, const std::string& path);

/// Camera intrinsics of a ROS camera_info YAML file, plus the image size it declares (0 when absent).
struct CameraInfo {
  /// The pinhole and the first five coefficients in the record's floats: what saveCameraInfo writes.
  nimbrel_arm_util::CameraIntrinsic intrinsic{};
  int width = 0;
  int height = 0;
  /// What the reader assumed that the user should hear about (one line each).
  std::vector<std::string> warnings;
  /// The camera as the file gives it, every distortion model: what the depth conversion uses.
  nimbrel_arm_util::CameraModel camera;
};
/// Reads a camera_info YAML file in either layout: the calibration file's (camera_matrix and
/// distortion_coefficients, each with a data list; image_width, image_height) or the sensor_msgs/CameraInfo
/// message as ROS 2 dumps it (k: 9 values, d: a list; width, height). The camera matrix is 3x3 row-major,
/// without skew; distortion_model is plumb_bob (the default; 5 coefficients, missing trailing ones 0),
/// rational_polynomial (8, 12 or 14) or equidistant (4), and a coefficient count the model does not take is
/// refused with both named. A file without distortion coefficients adds a warning that zero distortion is
/// assumed. A negative image size is refused.
CameraInfo loadCameraInfo(const std::string& path);
/// Writes a camera_info YAML file in the ROS layout for `intrinsic` and the image size.
void saveCameraInfo(const CameraInfo& info, const std::string& path);

/// Parses a transform: 16 finite numbers, row-major, separated by blanks, commas, semicolons or newlines
/// (brackets are ignored), whose bottom row must be 0 0 0 1 (the transforms are rigid or affine, never
/// projective); or 7, x,y,z,qx,qy,qz,qw, a translation and a unit quaternion. Throws UsageError otherwise.
Eigen::Matrix4d parseMatrix(const std::string& text, const std::string& what);
/// Like parseMatrix, reading the numbers from a file when `text` names an existing file.
Eigen::Matrix4d matrixArgument(const std::string& text, const std::string& what);
/// The rigid transform of a translation and a quaternion (x, y, z, w; normalised first), as TF gives them.
/// The scene file, the tool and the ROS 2 node all turn quaternions into matrices here, so that the same
/// transform gives the same matrix, bit for bit. Throws ToolError for a quaternion without length.
Eigen::Matrix4d poseFromQuaternion(const Eigen::Vector3d& position, const Eigen::Vector4d& xyzw);
/// How far from orthonormal a pose's rotation R may be and still be taken as a rotation: the largest entry
/// of |R^T R - I|. Trackers and printed matrices leave about 1e-4; a scale of 1.0005 or a shear of 1e-3
/// rad reaches it.
inline constexpr double kRigidTolerance = 1e-3;
/// The one rigidity check for every pose (the commands' pose options, the scene file, the node): `m` with
/// its rotation R replaced by the nearest rotation (U V^T of R's singular value decomposition, orthonormal
/// to rounding) when R is within kRigidTolerance of orthonormal and det R > 0; the translation is kept.
/// Throws ToolError ("not a rigid pose: ...", with the lengths of its axes) for a scaled, sheared or
/// mirroring matrix.
Eigen::Matrix4d rigidPose(const Eigen::Matrix4d& m);
/// Like matrixArgument, for a pose: rigidPose of the matrix. A scaled, sheared or mirroring matrix is
/// refused (UsageError) with the lengths of its axes. A general transform (`transform --matrix`) takes
/// matrixArgument instead, which applies any affine matrix as given.
Eigen::Matrix4d poseArgument(const std::string& text, const std::string& what);
/// Parses exactly three finite numbers (for sizes and offsets); throws UsageError otherwise.
Eigen::Vector3d parseVector3(const std::string& text, const std::string& what);

/// Lower-case extension of `path` including the dot ("" when there is none).
std::string extensionOf(const std::string& path);

}  // namespace nimbrel_tools
